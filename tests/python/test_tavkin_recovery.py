"""The sender's key frames, the receiver's record of devices that need a full packet, and
readings at the sender's precision. Each test uses its own context numbers."""
import itertools
import unittest

from tavkin import Compressor, Receiver, Sender, UnknownTemplate

_ctx = itertools.count(800_000)


def fact(v=1.0):
    return {"id": "n", "s": "ok", "timestamp": 1700000000, "readings": [{"id": "t", "s": "ok", "v": v, "u": "V"}]}


class Clock:
    def __init__(self):
        self.now = 0.0

    def __call__(self):
        return self.now


class KeyFrameTest(unittest.TestCase):
    def commands(self, tx, times, clock=None, aid=1):
        out = []
        for t in times:
            if clock is not None:
                clock.now = t
            out.append(tx.send(fact(), aid)[0])
        return out

    def test_every_n_packets_per_device(self):
        comp = Compressor(precision=2)
        tx = Sender(comp, ctx_id=next(_ctx), keyframe_every=3)
        self.assertEqual(self.commands(tx, range(9)), [63, 127, 127] * 3)
        # Devices count apart; send_many counts like single sends, and a full packet asked
        # for restarts the count.
        tx = Sender(comp, ctx_id=next(_ctx), keyframe_every=3)
        packets = tx.send_many([(1, fact()), (2, fact()), (1, fact()), (1, fact(), True), (1, fact()), (2, fact()),
                                (2, fact()), (1, fact()), (1, fact())])
        self.assertEqual([p[0] for p in packets], [63, 63, 127, 63, 127, 127, 127, 127, 63])
        self.assertEqual([p[0] for p in Sender(comp, ctx_id=next(_ctx), keyframe_every=1).send_many(
            [(1, fact())] * 3)], [63, 63, 63])

    def test_every_t_seconds_on_the_given_clock(self):
        clock = Clock()
        tx = Sender(Compressor(precision=2), ctx_id=next(_ctx), keyframe_seconds=10, clock=clock)
        self.assertEqual(self.commands(tx, [0, 5, 9.9, 10, 15, 19.99, 20.5], clock), [63, 127, 127, 63, 127, 127, 63])
        # Both settings: whichever comes first.
        clock = Clock()
        tx = Sender(Compressor(precision=2), ctx_id=next(_ctx), keyframe_every=4, keyframe_seconds=10, clock=clock)
        self.assertEqual(self.commands(tx, [0, 1, 2, 3, 4, 15, 16], clock), [63, 127, 127, 127, 63, 63, 127])

    def test_off_by_default_and_bad_settings(self):
        tx = Sender(Compressor(precision=2), ctx_id=next(_ctx))
        self.assertEqual(self.commands(tx, range(5)), [63] + [127] * 4)
        comp = Compressor()
        for kwargs, error in [({"keyframe_every": 0}, ValueError), ({"keyframe_every": 1.5}, ValueError),
                              ({"keyframe_seconds": 0}, ValueError), ({"keyframe_seconds": "1"}, ValueError),
                              ({"keyframe_seconds": 1, "clock": 5}, TypeError)]:
            with self.subTest(kwargs=kwargs), self.assertRaises(error):
                Sender(comp, ctx_id=1, **kwargs)

    def test_a_failing_clock_fails_the_call_before_anything_is_sent(self):
        def broken():
            raise RuntimeError("clock down")
        ctx = next(_ctx)
        tx = Sender(Compressor(precision=2), ctx_id=ctx, keyframe_seconds=1, clock=broken)
        with self.assertRaisesRegex(RuntimeError, "clock down"):
            tx.send(fact(), 1)
        with self.assertRaisesRegex(RuntimeError, "clock down"):
            tx.send_many([(1, fact())])
        self.assertEqual(Sender(Compressor(precision=2), ctx_id=ctx).send(fact(), 1)[0], 63)


class NeedsFullTest(unittest.TestCase):
    def test_devices_that_lost_state_are_reported_until_a_full_packet(self):
        comp = Compressor(precision=2)
        tx = Sender(comp, ctx_id=next(_ctx))
        first = {aid: tx.send(fact(), aid) for aid in (7, 8)}
        rx = Receiver(ctx_id=next(_ctx))  # never saw the full packets
        self.assertEqual(rx.needs_full(), {})
        for i in range(3):
            with self.assertRaises(UnknownTemplate) as e:
                rx.receive(tx.send(fact(2.0 + i), 7))
            self.assertEqual((e.exception.aid, e.exception.tid), (7, 24))
        results = rx.receive_many([tx.send(fact(), 8), tx.send(fact(9.0), 7)])
        self.assertTrue(all(isinstance(r, UnknownTemplate) for r in results))
        self.assertEqual(rx.needs_full(), {7: 4, 8: 1})
        # A full packet of device 8 (the one it sent first will do) mends it; 7 still waits.
        self.assertEqual(rx.receive(first[8])["__packet_meta__"]["cmd"], 63)
        self.assertEqual(rx.needs_full(), {7: 4})
        packet = tx.send(fact(5.0), 7, full=True)
        self.assertEqual(rx.receive_many([packet])[0]["s1_v"], 0.05)
        self.assertEqual(rx.needs_full(), {})
        self.assertEqual(rx.receive(tx.send(fact(6.0), 7))["s1_v"], 0.06)


class PrecisionTest(unittest.TestCase):
    def test_readings_come_back_at_the_senders_precision(self):
        values = [21.37, -3.26, 0.0, -0.126, 1234.5678, -98765.4321, 7.0]
        for precision in (0, 2, 4, 6):
            with self.subTest(precision=precision):
                tx = Sender(Compressor(precision=precision), ctx_id=next(_ctx))
                sent = {"id": "n", "s": "ok", "timestamp": 1,
                        "readings": [{"id": f"r{i}", "s": "ok", "v": v, "u": "V"} for i, v in enumerate(values)]}
                packet = tx.send(sent, 3)
                scaled = Receiver(ctx_id=next(_ctx), precision=precision)
                library = Receiver(ctx_id=next(_ctx))
                got, view = scaled.receive(packet), library.receive(packet)
                for i, v in enumerate(values):
                    integer = round(v * 10**precision)
                    self.assertEqual(got[f"s{i + 1}_v"], integer / 10**precision)
                    self.assertEqual(view[f"s{i + 1}_v"], integer / 10**4)
                self.assertEqual(scaled.receive_many([tx.send(sent, 3)])[0]["s2_v"], round(-3.26 * 10**precision)
                                 / 10**precision)

    def test_bad_precision(self):
        for p in (-1, 19, 2.0, True):
            with self.subTest(p=p), self.assertRaises(ValueError):
                Receiver(precision=p)


if __name__ == "__main__":
    unittest.main()
