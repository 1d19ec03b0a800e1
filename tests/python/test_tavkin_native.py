"""tavkin.Sender and tavkin.Receiver, the compiled road, against the C exports: random
facts sent both ways on twin contexts give the same packets, every packet received both
ways gives the same dict, the list calls equal the single ones, bad input changes nothing,
and threads on shared and separate contexts agree with a serialized replay. Each test uses
its own context numbers (contexts are process-wide)."""
import itertools
import json
import random
import threading
import unittest

import tavkin
from tavkin import (ChecksumError, Compressor, Context, MalformedPacket, Receiver, RequestError, Sender, TavkinError,
                    UnknownTemplate)
from tavkin import _records
from tavkin._lib import call_into_buffer, lib

_ctx = itertools.count(700_000)
SEED = 1212


def fresh_ctx() -> int:
    return next(_ctx)


def compressor() -> Compressor:
    return Compressor(precision=2, ms_timestamps=True, units={"celsius": "c1", "%": "pc"},
                      states={"online": "1", "ok": "0", "warn": "2"})


def export_compress(comp: Compressor, fact: dict) -> str:
    """vm_compress_fact_v1 of the fact's binary record."""
    record = _records.fact_record(fact)
    result, text = call_into_buffer(lib.vm_compress_fact_v1, comp.handle, data=record,
                                    capacity=comp.text_bound(len(record)))
    assert result > 0, result
    return text.decode()


def export_send(comp: Compressor, ctx_id: int, fact: dict, aid: int, full: bool,
                state_check: bool = False) -> bytes | Exception:
    """vm_compress_fact_v1 then vm_fusion_run_json_v1 with src_aid, or the error raised."""
    try:
        return Context(ctx_id, state_check=state_check).run(export_compress(comp, fact), src_aid=aid, full=full)
    except TavkinError as e:
        return e


def native_send(tx: Sender, fact: dict, aid: int, full: bool) -> bytes | Exception:
    try:
        return tx.send(fact, aid=aid, full=full)
    except TavkinError as e:
        return e


def export_decompress(ctx_id: int, packet: bytes) -> dict:
    """json.loads of vm_fusion_decompress_json_v1's answer."""
    import base64
    request = json.dumps({"ctx_id": ctx_id, "packet_b64": base64.b64encode(packet).decode()}).encode()
    result, answer = call_into_buffer(lib.vm_fusion_decompress_json_v1, data=request, capacity=4096)
    if result < 0:  # applying a packet twice leaves the same templates
        result, answer = call_into_buffer(lib.vm_fusion_decompress_json_v1, data=request, capacity=-result)
    assert result > 0, result
    return json.loads(answer)


def same_outcome(test: unittest.TestCase, a, b) -> None:
    if isinstance(a, Exception) or isinstance(b, Exception):
        test.assertIs(type(a), type(b), (a, b))
        test.assertEqual(getattr(a, "answer", None), getattr(b, "answer", None))
    else:
        test.assertEqual(a, b)


def typed_json(value) -> str:
    """A text that differs when types, values or member order differ (10 vs 10.0)."""
    return json.dumps(value)


class RandomFacts:
    """Facts with every part the compressor reads: odd units, all value kinds, trailers."""
    UNITS = ["Celsius", "%", "hPa", "m/s2", "1000m", "V", "", "unknown", "°C", "2.5kW", "m//s", " km / h "]
    STATES = ["ok", "warn", "OK", "Weird", ""]
    TEXTS = ["", "door opened", "ünïcode ✓", "a|b", "x;y", "{TS}", "\x01"]

    def __init__(self, seed: int):
        self.rng = random.Random(seed)

    def value(self):
        r = self.rng
        return r.choice([r.randint(-5, 5), round(r.uniform(-100, 100), r.randint(0, 4)), r.uniform(-1e6, 1e6),
                         10 ** r.randint(0, 20), 0.005, -0.125, float("nan"), float("inf")])

    def fact(self, device: int) -> dict:
        r = self.rng
        fact = {"id": f"n{device}", "s": r.choice(["online", "degraded", "online", "online"]),
                "timestamp": r.choice([1700000000 + r.randint(0, 1000), 1.7e12 + r.randint(0, 10**6), 0, -5]),
                "readings": [{"id": f"r{i}", "s": r.choice(self.STATES), "v": self.value(),
                              "u": r.choice(self.UNITS)} for i in range(r.randint(0, 5))]}
        for key in ("geohash", "url", "msg"):
            if r.random() < 0.3:
                fact[key] = r.choice(self.TEXTS + ["https://example.org/x", "http://a"])
        if r.random() < 0.05:
            fact["id"] = r.choice(self.TEXTS)
        return fact

    def stream(self, n: int, devices: int = 5):
        """n items (aid, fact, full); a device often repeats its last fact or one value."""
        last: dict[int, dict] = {}
        for _ in range(n):
            aid = self.rng.choice([1001 + d for d in range(devices)] + [0, 2**32 - 1])
            if aid in last and self.rng.random() < 0.6:
                fact = json.loads(json.dumps(last[aid]))
                if fact["readings"] and self.rng.random() < 0.5:
                    self.rng.choice(fact["readings"])["v"] = self.value()
            else:
                fact = self.fact(aid)
            last[aid] = fact
            yield aid, fact, self.rng.random() < 0.1


class SendTest(unittest.TestCase):
    def test_send_equals_compress_then_run_request(self):
        print(f"seed {SEED}")
        comp = compressor()
        for state_check in (True, False):
            with self.subTest(state_check=state_check):
                ours, theirs = fresh_ctx(), fresh_ctx()
                tx = Sender(comp, ctx_id=ours, state_check=state_check)
                kinds = set()
                for aid, fact, full in RandomFacts(SEED).stream(1500):
                    a = native_send(tx, fact, aid, full)
                    b = export_send(comp, theirs, fact, aid, full, state_check)
                    same_outcome(self, a, b)
                    self.assertEqual(comp.compress(fact), export_compress(comp, fact))
                    kinds.add(a[0] if isinstance(a, bytes) else type(a).__name__)
                self.assertTrue({63, 127, 170} <= kinds, kinds)

    def test_worked_example(self):
        comp = Compressor(precision=2, ms_timestamps=True, units={"celsius": "c1"}, states={"online": "1", "ok": "0"})
        fact = {"id": "node7", "s": "ONLINE", "timestamp": 1700000000.0, "geohash": "hi", "url": "https://s1",
                "msg": "xyz", "readings": [{"id": "t1", "s": "OK", "v": 21.5, "u": "Celsius"},
                                           {"id": "h", "s": "ok", "v": 1000.0, "u": "m/s2"},
                                           {"id": "d", "s": "ok", "v": -0.125, "u": "1000m"}]}
        text = b"node7.1.AYvP5WgA|t1>0.c1:yG|h>0.m/s2:q0U|d>0.1,km:-c|&hi|#czE|@eHl6"
        tx = Sender(comp, ctx_id=fresh_ctx())
        packet = tx.send(fact, 305419896)
        self.assertEqual(packet[:13], bytes.fromhex("3f 01 12345678 18 018bcfe56800"))
        self.assertEqual(packet[13:-3], text)
        self.assertEqual(len(tx.send(fact, 305419896)), 16)
        self.assertEqual(tx.send(fact, 305419896, full=True)[0], 63)

    def test_send_many_equals_single_sends(self):
        comp = compressor()
        items = list(RandomFacts(SEED + 1).stream(600))
        many = Sender(comp, ctx_id=fresh_ctx()).send_many(items[:300]) + \
            Sender(comp, ctx_id=fresh_ctx()).send_many([])
        single_tx = Sender(comp, ctx_id=fresh_ctx())
        singles = []
        for aid, fact, full in items[:300]:
            outcome = native_send(single_tx, fact, aid, full)
            singles.append(outcome if isinstance(outcome, bytes) else None)
        self.assertEqual(many, singles)
        self.assertIn(None, many)  # undecomposable facts are in the stream
        # Two-element items mean full=False.
        a, b = Sender(comp, ctx_id=fresh_ctx()), Sender(comp, ctx_id=fresh_ctx())
        self.assertEqual(a.send_many([(aid, fact) for aid, fact, _ in items[300:]]),
                         b.send_many([(aid, fact, False) for aid, fact, _ in items[300:]]))

    def test_contexts_and_compressors_are_shared_with_the_exports(self):
        comp = compressor()
        ctx = fresh_ctx()
        fact = RandomFacts(5).fact(1)
        fact["readings"] = [{"id": "t", "s": "ok", "v": 1.5, "u": "Celsius"}]
        full = Context(ctx).run(export_compress(comp, fact), src_aid=9)  # the template, learnt through the export
        self.assertEqual(full[0], 63)
        self.assertEqual(len(Sender(comp, ctx_id=ctx).send(fact, 9)), 16)  # ... is known to the native road
        comp.close()  # a sender keeps the compressor it was given
        tx = Sender.__new__(Sender)
        with self.assertRaisesRegex(TavkinError, "closed"):
            tx.__init__(comp, ctx_id=ctx)

    def test_registry_root_is_written_and_read(self):
        import tempfile
        comp = compressor()
        fact = {"id": "n", "s": "ok", "timestamp": 1, "readings": [{"id": "t", "s": "ok", "v": 2, "u": "V"}]}
        other = {**fact, "geohash": "u4pr"}
        with tempfile.TemporaryDirectory() as root:
            first = Sender(comp, ctx_id=fresh_ctx(), registry_root=root).send_many([(77, fact), (77, other)])
            self.assertEqual([(p[0], p[6]) for p in first], [(63, 24), (63, 25)])
            # Another context reads the device's file: the second signature keeps its number
            # (a template loaded from a file travels whole once, then as heartbeats).
            tx = Sender(comp, ctx_id=fresh_ctx(), registry_root=root)
            self.assertEqual(tx.send(other, 77)[6], 25)
            self.assertEqual(len(tx.send(other, 77)), 16)


class SendErrorsTest(unittest.TestCase):
    GOOD = {"id": "n", "s": "ok", "timestamp": 1, "readings": [{"id": "t", "s": "ok", "v": 2, "u": "V"}]}

    def bad(self, **changes):
        fact = json.loads(json.dumps(self.GOOD))
        for key, value in changes.items():
            if key.startswith("r_"):
                fact["readings"][0][key[2:]] = value
            elif value is KeyError:
                del fact[key]
            else:
                fact[key] = value
        return fact

    def test_each_bad_input_raises_and_changes_nothing(self):
        reading_missing_u = self.bad()
        del reading_missing_u["readings"][0]["u"]
        cases = [
            ([1, 2], 1, TypeError, r"a fact must be a dict, not list"),
            (self.bad(id=KeyError), 1, ValueError, r"fact needs 'id'"),
            (self.bad(id=5), 1, TypeError, r"fact\['id'\] must be a str, not int"),
            (self.bad(s=None), 1, TypeError, r"fact\['s'\] must be a str, not NoneType"),
            (self.bad(timestamp="1"), 1, TypeError, r"fact\['timestamp'\] must be a number, not str"),
            (self.bad(timestamp=10**400), 1, OverflowError, r"fact\['timestamp'\] is too large"),
            (self.bad(readings={"a": 1}), 1, TypeError, r"fact\['readings'\] must be a list of dicts"),
            (self.bad(readings=["x"]), 1, TypeError, r"fact\['readings'\]\[0\] must be a dict, not str"),
            (self.bad(r_v="2"), 1, TypeError, r"fact\['readings'\]\[0\]\['v'\] must be a number, not str"),
            (self.bad(r_v=True), 1, TypeError, r"fact\['readings'\]\[0\]\['v'\] must be a number, not bool"),
            (self.bad(r_u=b"V"), 1, TypeError, r"fact\['readings'\]\[0\]\['u'\] must be a str, not bytes"),
            (self.bad(r_x=1), 1, ValueError, r"fact\['readings'\]\[0\] needs exactly the keys id, s, v, u"),
            (reading_missing_u, 1, ValueError, r"needs exactly the keys"),
            (self.bad(geohash=1), 1, TypeError, r"fact\['geohash'\] must be a str, not int"),
            (self.bad(msg="\ud800"), 1, ValueError, r"fact\['msg'\] is not valid UTF-8"),
            (self.bad(extra=1), 1, ValueError, r"unknown fact keys: extra"),
            (self.GOOD, -1, ValueError, r"aid must be an int from 0 to 4294967295"),
            (self.GOOD, 2**32, ValueError, r"aid must be an int"),
            (self.GOOD, "1", ValueError, r"aid must be an int"),
            (self.GOOD, True, ValueError, r"aid must be an int"),
        ]
        comp = compressor()
        for fact, aid, error, message in cases:
            with self.subTest(message=message):
                ctx = fresh_ctx()
                tx = Sender(comp, ctx_id=ctx)
                with self.assertRaisesRegex(error, message):
                    tx.send(fact, aid)
                # In a list, the item is named, and nothing before it was sent either.
                with self.assertRaisesRegex(error, "item 2: .*" + message.removeprefix("fact")):
                    tx.send_many([(5, self.GOOD), (6, self.GOOD), (aid, fact)])
                # The context is as new: the good fact is a full packet of the first template.
                packets = tx.send_many([(5, self.GOOD), (6, self.GOOD)])
                self.assertEqual([(p[0], p[6]) for p in packets], [(63, 24), (63, 24)])

    def test_bad_arguments(self):
        tx = Sender(compressor(), ctx_id=fresh_ctx())
        cases = [
            (lambda: tx.send(self.GOOD), TypeError, "missing required argument 'aid'"),
            (lambda: tx.send(self.GOOD, 1, nope=1), TypeError, "unexpected keyword argument 'nope'"),
            (lambda: tx.send(self.GOOD, 1, aid=1), TypeError, "multiple values for argument 'aid'"),
            (lambda: tx.send_many([(1,)]), TypeError, r"item 0: must be a tuple \(aid, fact\)"),
            (lambda: tx.send_many(5), TypeError, "send_many"),
            (lambda: Sender(compressor(), ctx_id=-1), ValueError, "ctx_id must be an int"),
            (lambda: Sender(compressor(), ctx_id=1, registry_root=5), TypeError, "PathLike"),
            (lambda: Receiver(ctx_id=2**64), ValueError, "ctx_id must be an int"),
            (lambda: Receiver().receive("text"), TypeError, "bytes-like"),
            (lambda: Receiver().receive_many([b"", 1]), TypeError, "item 1"),
        ]
        for call, error, message in cases:
            with self.subTest(message=message), self.assertRaisesRegex(error, message):
                call()


class ReceiveTest(unittest.TestCase):
    def packets(self, seed: int, n: int) -> list[bytes]:
        comp = compressor()
        tx = Sender(comp, ctx_id=fresh_ctx())
        out = []
        for aid, fact, full in RandomFacts(seed).stream(n):
            packet = native_send(tx, fact, aid, full)
            if isinstance(packet, bytes):
                out.append(packet)
        return out

    def test_receive_equals_the_decompress_export(self):
        packets = self.packets(SEED + 2, 1200)
        rng = random.Random(SEED)
        damaged = []
        for p in packets[::7]:  # some damage: flipped bits, cut packets, packets out of order
            b = bytearray(p)
            b[rng.randrange(len(b))] ^= 1 << rng.randrange(8)
            damaged += [bytes(b), p[:rng.randrange(len(p))]]
        strangers = self.packets(SEED + 4, 300)[150:]  # diffs of templates never seen here
        stream = packets[:50] + damaged + strangers + packets[50:]
        ours, theirs = Receiver(ctx_id=fresh_ctx()), fresh_ctx()
        seen = set()
        for packet in stream:
            expected = export_decompress(theirs, packet)
            try:
                got = ours.receive(packet)
            except RequestError as e:
                self.assertIn("error", expected)
                self.assertEqual(e.answer, expected)
                seen.add(type(e).__name__)
                continue
            self.assertEqual(typed_json(got), typed_json(expected))
            seen.add("fact")
        self.assertTrue({"fact", "ChecksumError", "MalformedPacket", "UnknownTemplate"} <= seen, seen)

    def test_readings_at_the_senders_precision_agree_on_every_road(self):
        """The decompress request's "precision" and the typed receive's precision flag give
        exactly the Receiver(precision=P) readings."""
        import base64
        import ctypes
        from tavkin._lib import RECEIVE_CALLBACK

        def typed_receive(ctx_id: int, packet: bytes, precision: int) -> dict | None:
            answers = []
            callback = RECEIVE_CALLBACK(lambda _user, r: answers.append(
                ctypes.string_at(r.contents.fact, r.contents.fact_len) if r.contents.outcome == 0 else None))
            flags = 1 | (precision + 1) << 8  # VM_RECEIVE_STATE_CHECK | VM_RECEIVE_PRECISION(precision)
            self.assertEqual(lib.vm_receive_packet_v1(ctx_id, None, 0, flags, packet, len(packet), callback, None), 1)
            return json.loads(answers[0]) if answers[0] is not None else None

        for precision in (0, 2, 4, 9, 18):
            with self.subTest(precision=precision):
                comp = Compressor(precision=precision, units={"celsius": "c1"}, states={"ok": "0"})
                tx = Sender(comp, ctx_id=fresh_ctx())
                ours, request_ctx, typed_ctx = Receiver(ctx_id=fresh_ctx(), precision=precision), fresh_ctx(), fresh_ctx()
                readings = 0
                for aid, fact, full in RandomFacts(SEED + 7 + precision).stream(300):
                    packet = native_send(tx, fact, aid, full)
                    if not isinstance(packet, bytes):
                        continue
                    request = json.dumps({"ctx_id": request_ctx, "packet_b64": base64.b64encode(packet).decode(),
                                          "state_check": True, "precision": precision}).encode()
                    result, answer = call_into_buffer(lib.vm_fusion_decompress_json_v1, data=request, capacity=1 << 16)
                    self.assertGreater(result, 0)
                    expected = ours.receive(packet)
                    self.assertEqual(typed_json(json.loads(answer)), typed_json(expected))
                    self.assertEqual(typed_json(typed_receive(typed_ctx, packet, precision)), typed_json(expected))
                    readings += sum(key.endswith("_v") for key in expected)
                self.assertGreater(readings, 100)

    def test_receive_many_equals_single_receives(self):
        packets = self.packets(SEED + 3, 400)
        stream = packets[:30] + [b"", b"\x01" * 20, bytearray(packets[3]), memoryview(packets[4])] + packets[30:]
        many = Receiver(ctx_id=fresh_ctx()).receive_many(stream)
        single_rx = Receiver(ctx_id=fresh_ctx())
        self.assertEqual(len(many), len(stream))
        for packet, got in zip(stream, many):
            try:
                expected = single_rx.receive(packet)
            except RequestError as e:
                self.assertIs(type(got), type(e))
                self.assertEqual(got.answer, e.answer)
                continue
            self.assertEqual(typed_json(got), typed_json(expected))
        self.assertEqual(Receiver(ctx_id=fresh_ctx()).receive_many([]), [])

    def test_typed_errors(self):
        comp = compressor()
        fact = {"id": "n", "s": "ok", "timestamp": 1700000000, "readings": [{"id": "t", "s": "ok", "v": 2, "u": "V"}]}
        tx = Sender(comp, ctx_id=fresh_ctx())
        full = tx.send(fact, 4242)
        fact["readings"][0]["v"] = 3
        diff = tx.send(fact, 4242)
        self.assertEqual(diff[0], 170)
        rx = Receiver(ctx_id=fresh_ctx())

        with self.assertRaises(UnknownTemplate) as e:
            rx.receive(diff)
        self.assertEqual((e.exception.aid, e.exception.tid, e.exception.error), (4242, 24, "fusion_receive_apply_failed"))

        damaged = bytearray(full)
        damaged[15] ^= 4
        with self.assertRaises(ChecksumError) as e:
            rx.receive(bytes(damaged))
        self.assertEqual((e.exception.cmd, e.exception.source_aid, e.exception.tid, e.exception.timestamp_raw),
                         (63, 4242, 24, 1700000000000))
        self.assertFalse(e.exception.meta["crc16_ok"])
        self.assertEqual(list(e.exception.answer), ["__packet_meta__", "error"])

        unknown = bytes([1]) + full[1:-2]
        unknown += tavkin.crc16(unknown).to_bytes(2, "big")
        for packet, text in [(full[:4], "Packet too short"), (full[:11], "Incomplete Binary Header"),
                             (unknown, "unknown_command")]:
            with self.subTest(text=text), self.assertRaises(MalformedPacket) as e:
                rx.receive(packet)
            self.assertEqual(e.exception.answer, {"error": text})

        self.assertEqual(rx.receive(full)["s1_v"], 0.02)
        # A diff of the known template whose body is cut: malformed, not unknown.
        cut = diff[:13] + diff[14:-2]
        cut += tavkin.crc16(cut).to_bytes(2, "big")
        with self.assertRaises(MalformedPacket) as e:
            rx.receive(cut)
        self.assertEqual(e.exception.error, "fusion_receive_apply_failed")
        self.assertEqual(rx.receive(diff)["s1_v"], 0.03)
        for error in (UnknownTemplate, ChecksumError, MalformedPacket):
            self.assertTrue(issubclass(error, RequestError) and issubclass(error, TavkinError))


class ThreadTest(unittest.TestCase):
    def test_threads_on_shared_and_separate_contexts_match_a_serial_replay(self):
        comp = compressor()
        shared_tx, shared_rx = fresh_ctx(), fresh_ctx()
        plans = []
        for t in range(4):
            # Threads 0 and 1 share a context (with devices of their own), 2 and 3 have theirs.
            tx_ctx, rx_ctx = (shared_tx, shared_rx) if t < 2 else (fresh_ctx(), fresh_ctx())
            items = [(aid + 100 * t, fact, full) for aid, fact, full in RandomFacts(SEED + 10 + t).stream(300, 3)
                     if aid not in (0, 2**32 - 1)]
            plans.append((tx_ctx, rx_ctx, items))
        results: list = [None] * 4

        def run(t: int) -> None:
            tx_ctx, rx_ctx, items = plans[t]
            tx, rx = Sender(comp, ctx_id=tx_ctx), Receiver(ctx_id=rx_ctx)
            packets = []
            for start in range(0, len(items), 50):
                chunk = items[start:start + 50]
                if start % 100 == 0:
                    packets += tx.send_many(chunk)
                else:
                    packets += [native_send(tx, fact, aid, full) for aid, fact, full in chunk]
            packets = [p if isinstance(p, bytes) else None for p in packets]
            sent = [p for p in packets if p is not None]
            facts = rx.receive_many(sent[:100]) + [rx.receive(p) for p in sent[100:]]
            results[t] = (packets, facts)

        threads = [threading.Thread(target=run, args=(t,)) for t in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()

        for t, (_, _, items) in enumerate(plans):
            tx, rx = Sender(comp, ctx_id=fresh_ctx()), Receiver(ctx_id=fresh_ctx())
            packets = [native_send(tx, fact, aid, full) for aid, fact, full in items]
            packets = [p if isinstance(p, bytes) else None for p in packets]
            self.assertEqual(results[t][0], packets)
            facts = [rx.receive(p) for p in packets if p is not None]
            self.assertEqual([typed_json(f) for f in results[t][1]], [typed_json(f) for f in facts])


class LeakTest(unittest.TestCase):
    def test_calls_keep_no_python_objects(self):
        """Every road, errors included, run many times: Python memory stays flat (a leaked
        reference keeps its object, which tracemalloc counts)."""
        import tracemalloc
        comp = compressor()
        items = [(aid, fact) for aid, fact, _ in RandomFacts(SEED + 20).stream(64, 3) if aid not in (0, 2**32 - 1)]
        tx, rx = Sender(comp, ctx_id=fresh_ctx()), Receiver(ctx_id=fresh_ctx())
        stranger = Receiver(ctx_id=fresh_ctx())

        def round_trip():
            packets = tx.send_many(items)
            sent = [p for p in packets if p is not None]
            rx.receive_many(sent)
            for p in sent:
                rx.receive(p)
            damaged = sent[0][:-1] + bytes([sent[0][-1] ^ 1])
            stranger.receive_many(sent[-4:] + [b"xx", damaged])
            for bad in ({"id": 1}, {"id": "n", "s": "s", "timestamp": 0, "readings": [{"id": "r", "v": 1}]}):
                with self.assertRaises((TypeError, ValueError)):
                    tx.send(bad, 1)
            with self.assertRaises(ChecksumError):
                stranger.receive(damaged)
            comp.compress(items[0][1])

        for _ in range(20):
            round_trip()
        tracemalloc.start()
        try:
            before = tracemalloc.get_traced_memory()[0]
            for _ in range(200):
                round_trip()
            growth = tracemalloc.get_traced_memory()[0] - before
        finally:
            tracemalloc.stop()
        self.assertLess(growth, 64 * 1024, f"{growth} bytes kept over 200 rounds")


class HelpTest(unittest.TestCase):
    def test_docstrings_and_names(self):
        self.assertEqual(tavkin.Sender.send.__text_signature__, "($self, fact, aid, full=False)")
        self.assertIn("UnknownTemplate", tavkin.Receiver.receive.__doc__)
        self.assertEqual(tavkin.Sender.__module__, "tavkin")
        self.assertIn("compressor", str(__import__("inspect").signature(tavkin.Sender)))
        self.assertEqual(repr(Receiver(ctx_id=3)), "Receiver(ctx_id=3, registry_root=None)")


if __name__ == "__main__":
    unittest.main()
