#!/usr/bin/env python3
"""Writes seed corpora of the fuzz targets (fuzz/corpus/<target>/) from the values the
unit tests use: the worked-example compressor, fact, compact text and packets, and the edge
cases the tests pin. Run it again after changing a fixture; the files are committed."""
import base64
import json
import os
import random
import shutil
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
BREAK = b"\xFE\xFD\xFC\xFB"  # the record break of the fusion-state targets


def u8(v): return struct.pack(">B", v)
def u32(v): return struct.pack(">I", v)
def u64(v): return struct.pack(">Q", v)
def f64(v): return struct.pack(">d", v)
def text(s): b = s.encode() if isinstance(s, str) else s; return u32(len(b)) + b
def opt(s): return u32(0xFFFFFFFF) if s is None else text(s)


def crc16(data, crc=0xFFFF):
    for b in data:
        crc ^= b << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) & 0xFFFF if crc & 0x8000 else (crc << 1) & 0xFFFF
    return crc


def crc8(data, crc=0):
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = ((crc << 1) ^ 0x07) & 0xFF if crc & 0x80 else (crc << 1) & 0xFF
    return crc


def config(precision=2, ms=1, units=(("celsius", "c1"),), states=(("online", "1"), ("ok", "0"))):
    out = u32(precision) + u8(ms) + u32(len(units))
    for n, c in units: out += text(n) + text(c)
    out += u32(len(states))
    for n, c in states: out += text(n) + text(c)
    return out


def fact(id="node7", s="ONLINE", ts=1700000000.0, readings=(("t1", "OK", 21.5, "Celsius"), ("h", "ok", 1000.0, "m/s2"),
                                                            ("d", "ok", -0.125, "1000m")), geohash="hi", url="https://s1", msg="xyz"):
    out = text(id) + text(s) + f64(ts) + u32(len(readings))
    for rid, rs, v, unit in readings: out += text(rid) + text(rs) + f64(v) + text(unit)
    return out + opt(geohash) + opt(url) + opt(msg)


EXAMPLE = "node7.1.AYvP5WgA|t1>0.c1:yG|h>0.m/s2:q0U|d>0.1,km:-c|&hi|#czE|@eHl6"
TS = bytes.fromhex("018BCFE56800")
AID = 305419896


def packet(cmd, body, aid=AID, tid=24, ts=TS, route=None):
    route = [aid] if route is None else route
    head = u8(cmd) + u8(len(route)) + b"".join(u32(a) for a in route) + u8(tid) + ts
    p = head + body + u8(crc8(body))
    return p + struct.pack(">H", crc16(p))


def apply_rec(aid, force, sig, values):
    return u32(aid) + u8(force) + text(sig) + u32(len(values)) + b"".join(text(v) for v in values)


def receive_rec(aid, cmd, tid, ts, body):
    return u32(aid) + u8(cmd) + u32(tid) + text(ts) + text(body)


def seed_rec(aid, templates):
    out = u32(aid) + u32(len(templates))
    for tid, sig, values in templates:
        out += u32(tid) + text(sig) + u32(len(values)) + b"".join(text(v) for v in values)
    return out


def seeds():
    s = {}
    units = ["1500W", "2.5kW", "0.5mA", " m / s2 ", "2", "m//s", "Unknown", "unknown", "info", "nanometer",
             "2.5", "2 km", "10^3m", "\u00b0C", "1e5x", ""]
    s["config_record"] = [config(), config(0, 0, (), ()), config(18, 0, (), ()), config(19, 0, (), ()),
                          config(2, 0, (("KM", "a"), ("km", "b")), ()), config() + b"\x00", config()[:-3],
                          u32(2) + u8(0) + u32(0xFFFFFFFF)]
    s["fact_record"] = [u8(1) + fact(), u8(0) + fact("n", "s", 0.0, (), None, None, None),
                        u8(2) + fact(readings=[("u%d" % i, "ok", 1.5 * i, unit) for i, unit in enumerate(units)]),
                        u8(0) + fact(url="http://a", msg=None), u8(1) + fact(url="https://", geohash=""),
                        u8(1) + fact(ts=99999999999.0), u8(1) + fact(ts=float("nan")), u8(0) + fact(ts=2.0 ** 64),
                        u8(0) + fact(ts=2.0 ** 48 + 5), u8(1) + fact() + b"\x00", u8(1) + fact()[:-1],
                        u8(0) + text("n") + text("s") + f64(0) + u32(0xFFFFFFFF)]
    s["decompose"] = [t.encode() for t in ["a.b.T|", "x;a.b.T|s>u:v|", "a.b.T", "ab|x", "a.b.|", "a.b.T||s>a:b:c||",
                                           "a.b.T|s>nocolon|plain|", EXAMPLE, "305419896;" + EXAMPLE]] + [b"a.b.T|\xff|"]
    sig = "x.{TS}|\x01|"
    s["fusion_seed"] = [seed_rec(7, []), seed_rec(7, [(30, sig, ["5"]), (26, "y.{TS}|", [])]),
                        seed_rec(7, [(0xFFFFFFFF, sig, ["1"])]), seed_rec(7, [(24, sig, ["1"]), (24, "z.{TS}|", [])]),
                        seed_rec(1, [(24, "d1.{TS}|t>\x01:\x01|", ["ok", "42"])]) + b"\x00", u32(7) + u32(0xFFFFFFFF)]
    nine = "n.{TS}|" + "\x01|" * 9
    s["fusion_apply"] = [apply_rec(7, 0, sig, ["5"]),
                         apply_rec(7, 0, "d.{TS}|" + "\x01|" * 3, ["1", "2", "3"]) + BREAK +
                         apply_rec(7, 0, "d.{TS}|" + "\x01|" * 3, ["1", "5", "3"]),
                         apply_rec(7, 0, nine, list("abcdefghi")) + BREAK + apply_rec(7, 0, nine, ["x"] + list("bcdefgh") + ["y"]),
                         apply_rec(7, 0, sig, ["a"]) + BREAK + apply_rec(7, 0, sig, ["b" * 255]) + BREAK +
                         apply_rec(7, 0, sig, ["c" * 256]),
                         apply_rec(7, 0, sig, ["a"]) + BREAK + apply_rec(7, 1, sig, ["a"]) + BREAK + apply_rec(7, 0, sig, [""]),
                         apply_rec(7, 0, "e.{TS}||", []) + BREAK + apply_rec(7, 0, "e.{TS}||", []),
                         apply_rec(7, 0, "w.{TS}|" + "\x01|" * 130, [str(i) for i in range(130)]) + BREAK +
                         apply_rec(7, 0, "w.{TS}|" + "\x01|" * 130, [str(i + 1) for i in range(130)]),
                         apply_rec(7, 0, sig, ["5"]) + b"\x00", u32(7) + u8(0) + text(sig) + u32(0xFFFFFFFF)]
    s["fusion_receive"] = [receive_rec(7, 127, 24, "AAAAAAAB", ""), receive_rec(7, 170, 24, "AAAAAAAB", b"\x02\x0243"),
                           receive_rec(7, 170, 24, "AAAAAAAB", b"\x02\x0543"), receive_rec(7, 170, 24, "T", b"\x00"),
                           receive_rec(7, 171, 24, "T", b"\x02\x0243"), receive_rec(7, 170, 25, "T", b"\x01\x01\x01x\x01y"),
                           receive_rec(7, 170, 26, "T", b"\x00" * 17), receive_rec(7, 127, 26, "T", b""),
                           receive_rec(7, 127, 27, "T", b""), receive_rec(7, 127, 28, "T", b""),
                           receive_rec(7, 127, 29, "T", b""), receive_rec(0, 170, 0, "\x01", b"\x01\x01\x01"),
                           receive_rec(8, 127, 24, "T", b""),
                           receive_rec(7, 170, 24, "T", b"\x01\x01z") + BREAK + receive_rec(7, 127, 24, "T", b"")]
    full = packet(63, EXAMPLE.encode())
    heart = packet(127, b"")
    diff = packet(170, b"\x02\x02zz")
    def dreq(p, **extra):
        return json.dumps(dict({"packet_b64": base64.b64encode(p).decode()}, **extra), separators=(",", ":")).encode()
    s["decompress_request"] = [dreq(full), dreq(full, ctx_id=3), dreq(heart, ctx_id=3), dreq(packet(64, EXAMPLE.encode())),
                               dreq(packet(63, ("relay1;" + EXAMPLE).encode()), registry_root="registry"),
                               dreq(packet(1, b"x")), dreq(packet(63, b"\xff\xfe")),
                               dreq(packet(63, b"x", route=[]), ctx_id=0), dreq(packet(63, b"x", route=[1, 2])),
                               b'["' + base64.b64encode(full) + b'",1]', b'[5,"' + base64.b64encode(heart) + b'",null]',
                               b'{"packet_b64":"QQ"}', b'{"packet_b64":"AAAA"}', b'{"packet_b64":1}', b"{}", b"[]",
                               b' {"ctx_id":1,"ctx_id":2,"packet_b64":""} ', b'{"packet_b64":"' + base64.b64encode(b"\x3f\x00" + b"\x00" * 9) + b'"}',
                               u8(1) + full, u8(3) + heart, u8(3) + diff, u8(9) + full, u8(0) + full[:-1] + b"\x00",
                               u8(1) + packet(63, b"x", route=[]), u8(1) + packet(128, b"")]
    raw = "305419896;node7.1.AYvP5WgA|t1>0.c1:yG|h>0.m/s2:q0U|d>0.1,km:-c|"
    def rreq(**fields):
        return json.dumps(fields, separators=(",", ":")).encode()
    s["run_request"] = [rreq(raw_input=raw), rreq(raw_input=raw, ctx_id=4, strategy="FULL_PACKET"),
                        rreq(raw_input="  42 ;" + EXAMPLE, src_aid=None), rreq(raw_input=EXAMPLE, src_aid=7, strategy="full packet"),
                        rreq(raw_input=raw, registry_root="registry"), rreq(raw_input=1), rreq(raw_input=raw, ctx_id=-1),
                        rreq(raw_input=raw, other={"a": [1, {"b": None}]}), rreq(raw_input="no bar"),
                        rreq(raw_input="a.b.\x01\x01\x01\x01\x01\x01\x01\x01|"), rreq(raw_input="x.y.AYvP5WgA|" + "v>a:" + "b" * 300 + "|"),
                        b'[0,"' + raw.encode() + b'","",7,null]', b'[0,"' + raw.encode() + b'","",7,null,1]',
                        u8(0) + raw.encode(), u8(4) + EXAMPLE.encode(), u8(16) + u32(9) + EXAMPLE.encode(), u8(32) + raw.encode(),
                        u8(8) + ("12;" + EXAMPLE).encode(), u8(0) + b"a{TS}b.s.AYvP5WgA|t>0.c:1|"]
    s["request_record"] = [r for r in s["decompress_request"] + s["run_request"] if r[:1] in b"{[ "] + \
        [b' {"zz":1,"zz":2,"raw_input":"x"} ', b'{"raw_input":"a\\u0062","ctx_id":01,"packet_b64":"QQ=="}',
         b'{"ctx_id":18446744073709551615,"raw_input":"x","src_aid":4294967296}']
    def batch(items, n=None, root=b"", handle=1, ctx=11):
        body = b"".join(u32(aid) + u8(ff) + u32(len(rec)) + rec for aid, ff, rec in items)
        return u64(handle) + u64(ctx) + u32(len(items) if n is None else n) + u32(len(root)) + root + body
    ex = fact()
    s["batch_request"] = [batch([]), batch([(7, 0, ex)]), batch([(7, 0, ex), (7, 0, ex[:-1]), (7, 1, ex)]),
                          batch([(7, 0, ex), (8, 0, ex)], n=3), batch([(7, 0, ex)])[:-5], batch([(7, 0, ex)], root=b"\xff"),
                          batch([(7, 0, ex), (7, 0, fact(readings=[("t1", "OK", 22.5, "Celsius")]))], root=b"registry"),
                          batch([(7, 1, ex)], handle=3) [:23], u8(1) + batch([(7, 0, ex)])[1:]]
    s["parse_header"] = [packet(63, b"", route=[]), packet(63, b"x", route=[]), packet(63, b"", route=[]) [:-1],
                         packet(63, b"x"), packet(64, b"x"), packet(5, b"x"), full, packet(63, b"x", route=[1, 2, 3]),
                         heart[:-1] + b"\x00"]
    s["b62_decode"] = [t.encode() for t in ["Z", "10", "100", "4c92", "-1", "aZl8N0y58M7", "-aZl8N0y58M8", "-0", "",
                                            "-", "aZl8N0y58M8", "1 ", "+1", "--1", "007", "zzzzzzzzzzzzzzzzzzzz"]]
    rng = random.Random(20240601)
    s["round_trip"] = [bytes(rng.randrange(256) for _ in range(n)) for n in (8, 24, 64, 96, 128, 200)] + \
                      [b"\x00" * 32, b"\x01\x05" + b"\x03" * 60, b"\xff" * 48]
    mark = b">\x01:\x01"
    s["direct_fact"] = [
        u8(4) + b"gw;n1.OK.{TS}|temp" + mark + b"|hum" + mark + b"|&u4pruyd@ZG9vcg|\x0021.C\x005Bf\x003.pct\x00-Q2",
        u8(0x42) + b"a.b.{TS}|x\x01y>\x01:z\x01|#\x01|t" + mark + b"\x00q\x00w.e\x00r:\x00t\x00AAAAAAAA",
        u8(0x81) + b"{TS}.{TS}|\x01|&\x01||#aHR0cDovL3g@\x01@z\x00..",
        u8(0xC3) + b"n.s.{TS}|:>" + mark + b"|" + mark + b"\x00a.b.c\x00::\x00"]
    return s


def main():
    for target, inputs in seeds().items():
        folder = os.path.join(HERE, "corpus", target)
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        for i, data in enumerate(inputs):
            with open(os.path.join(folder, "seed-%02d" % i), "wb") as f:
                f.write(data)
        os.makedirs(os.path.join(HERE, "regressions", target), exist_ok=True)
        keep = os.path.join(HERE, "regressions", target, ".gitkeep")
        if not os.listdir(os.path.dirname(keep)):
            open(keep, "w").close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
