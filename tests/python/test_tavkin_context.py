"""tavkin.Context: run, relay, decompress and batch through the package, against the
worked packets and answers of the protocol description, plus the errors a caller meets.
Each test uses its own context numbers (contexts are process-wide)."""
import itertools
import json
import pathlib
import tempfile
import threading
import unittest

import tavkin
from tavkin import Compressor, Context, RequestError

_ctx = itertools.count(900_000)

ROUTED = "305419896;node7.1.AYvP5WgA|t1>0.c1:yG|h>0.m/s2:q0U|d>0.1,km:-c|"
FULL_79 = (bytes.fromhex("3f 01 12345678 18 018bcfe56800") + ROUTED.encode() + bytes.fromhex("b0 ff46"))
HEARTBEAT_16 = bytes.fromhex("7f 01 12345678 18 018bcfe56800 00 5fe7")
ANSWER = {"__packet_meta__": {"base_cmd": 63, "cmd": 63, "crc16_ok": True, "secure": False, "source_aid": 305419896,
                              "tid": 24, "timestamp_raw": 1700000000000},
          "geohash": "hi", "id": "node7", "msg": "xyz", "s": "1", "s1_id": "t1", "s1_s": "0", "s1_u": "c1",
          "s1_v": 0.215, "s2_id": "h", "s2_s": "0", "s2_u": "m/s2", "s2_v": 10.0, "s3_id": "d", "s3_s": "0",
          "s3_u": "1,km", "s3_v": -0.0012, "t_raw": 1700000000000, "url": "https://s1"}
EXAMPLE_TEXT = "node7.1.AYvP5WgA|t1>0.c1:yG|h>0.m/s2:q0U|d>0.1,km:-c|&hi|#czE|@eHl6"


def fresh() -> Context:
    return Context(next(_ctx))


def fact(t: float, temperature: float, msg=None) -> dict:
    return {"id": "n1", "s": "online", "timestamp": t, "msg": msg,
            "readings": [{"id": "t", "s": "ok", "v": temperature, "u": "Celsius"}]}


class RunTest(unittest.TestCase):
    def test_worked_full_packet_then_heartbeat(self):
        ctx = fresh()
        self.assertEqual(ctx.run(ROUTED), FULL_79)
        self.assertEqual(ctx.run(ROUTED), HEARTBEAT_16)
        self.assertEqual(ctx.run(ROUTED, full=True)[0], 63)
        other = fresh()  # relay is the same entry
        self.assertEqual(other.run(ROUTED, relay=True), FULL_79)

    def test_src_aid_and_errors(self):
        ctx = fresh()
        self.assertEqual(tavkin.parse_header(ctx.run("a.b.AAAAAAAA|x>y:1|", src_aid=7)).source_aid, 7)
        with self.assertRaises(RequestError) as e:
            ctx.run("no bar here")
        self.assertEqual(e.exception.error, "auto_decompose_failed")
        self.assertEqual(e.exception.answer, {"error": "auto_decompose_failed"})
        ctx.run("a.b.AAAAAAAA|x>y:1|", src_aid=8)
        with self.assertRaisesRegex(tavkin.TavkinError, "no packet"):
            ctx.run("a.b.AAAAAAAA|x>" + "y" * 300 + ":1|", src_aid=8)  # a 300-byte change
        with self.assertRaises(ValueError):
            ctx.run("a.b.AAAAAAAA|", src_aid=-1)
        with self.assertRaises(ValueError):
            Context(-1)


class DecompressTest(unittest.TestCase):
    def test_worked_answer(self):
        sender, receiver = fresh(), fresh()
        packet = sender.run(EXAMPLE_TEXT, src_aid=305419896)
        self.assertEqual(receiver.decompress(packet), ANSWER)
        beat = receiver.decompress(sender.run(EXAMPLE_TEXT, src_aid=305419896))
        self.assertEqual(beat["__packet_meta__"]["cmd"], 127)
        self.assertEqual({k: v for k, v in beat.items() if k != "__packet_meta__"},
                         {k: v for k, v in ANSWER.items() if k != "__packet_meta__"})

    def test_errors_carry_the_library_text(self):
        receiver = fresh()
        damaged = bytearray(FULL_79)
        damaged[20] ^= 1
        cases = [
            (HEARTBEAT_16, "fusion_receive_apply_failed"),
            (bytes(damaged), "CRC16 mismatch"),
            (FULL_79[:4], "Packet too short"),
            (FULL_79[:15], "Incomplete Binary Header"),
            (bytes([1]) + FULL_79[1:-2] + tavkin.crc16(bytes([1]) + FULL_79[1:-2]).to_bytes(2, "big"),
             "unknown_command"),
        ]
        raised = {}
        for packet, error in cases:
            with self.subTest(error=error), self.assertRaises(RequestError) as e:
                receiver.decompress(packet)
            self.assertEqual(e.exception.error, error)
            raised[error] = e.exception
        meta = raised["CRC16 mismatch"].answer["__packet_meta__"]
        self.assertEqual((meta["crc16_ok"], meta["cmd"], meta["source_aid"]), (False, 63, 305419896))

    def test_large_answer_from_a_small_packet(self):
        # A heartbeat of 16 bytes rebuilds a fact whose JSON is far over the first buffer.
        sender, receiver = fresh(), fresh()
        text = "n.s.AAAAAAAA|" + "".join(f"r{i}>ok.u:{i}|" for i in range(4000))
        receiver.decompress(sender.run(text, src_aid=3))
        beat = sender.run(text, src_aid=3)
        self.assertEqual(len(beat), 16)
        answer = receiver.decompress(beat)
        self.assertEqual(answer["s4000_id"], "r3999")
        self.assertGreater(len(json.dumps(answer)), 1 << 16)

    def test_registry_files(self):
        with tempfile.TemporaryDirectory() as root:
            sender = Context(next(_ctx), pathlib.Path(root) / "s")
            sender.run(ROUTED)
            path = pathlib.Path(root) / "s" / "03" / "05" / "305419896.json"
            self.assertEqual(json.loads(path.read_text())["templates"]["24"]["last_vals_bin"][1], "eUc=")
            # A new context with the same directory starts from the file: a restart frame
            # (the template's first packet after a load travels whole), then a heartbeat.
            reloaded = Context(next(_ctx), pathlib.Path(root) / "s")
            self.assertEqual(reloaded.run(ROUTED)[0], 63)
            self.assertEqual(reloaded.run(ROUTED), HEARTBEAT_16)


class BatchTest(unittest.TestCase):
    def test_batch_matches_decompressed_facts(self):
        sender, receiver = fresh(), fresh()
        facts = [fact(1700000000 + i, 20 + (i // 3) * 0.5, msg="hi" if i == 4 else None) for i in range(9)]
        with Compressor(precision=4, units={"celsius": "C"}) as c:
            packets = sender.batch(c, [(11, f) for f in facts])
            self.assertEqual([p[0] for p in packets], [63, 127, 127, 170, 63, 127, 170, 127, 127])
            for f, p in zip(facts, packets):
                answer = receiver.decompress(p)
                self.assertEqual(answer["s1_v"], f["readings"][0]["v"])
                self.assertEqual(answer.get("msg"), f["msg"])
            again = sender.batch(c, [{"aid": 11, **facts[-1]}, (11, facts[-1], True)])
            self.assertEqual([p[0] for p in again], [127, 63])
            self.assertTrue(again[1][13:].startswith(b"11;n1.online."))  # a full body carries its route

    def test_item_without_packet_is_none(self):
        with Compressor() as c:
            ok = fact(1, 1.0)
            long_state = {**ok, "readings": [{"id": "t", "s": "x" * 300, "v": 1.0, "u": "Celsius"}]}
            self.assertEqual([p is None for p in fresh().batch(c, [(5, ok), (5, long_state), (5, ok)])],
                             [False, True, False])
            with self.assertRaisesRegex(ValueError, "needs an 'aid'"):
                fresh().batch(c, [ok])
        with self.assertRaisesRegex(tavkin.TavkinError, "closed"):
            fresh().batch(c, [(5, ok)])

    def test_threads_on_separate_contexts(self):
        errors = []

        def sender_receiver():
            try:
                s, r = fresh(), fresh()
                with Compressor(precision=4) as c:
                    for i in range(100):
                        f = fact(1700000000 + i, 20 + i % 7)
                        self.assertEqual(r.decompress(s.run(c.compress(f), src_aid=1))["s1_v"], 20 + i % 7)
            except Exception as e:  # reported below; assertions in threads do not fail the test
                errors.append(e)

        threads = [threading.Thread(target=sender_receiver) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(errors, [])


if __name__ == "__main__":
    unittest.main()
