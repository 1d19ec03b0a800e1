"""tavkin.FusionState: the in-memory template engine through the package, sender and
receiver in lock step, with the decisions of the protocol's worked examples."""
import unittest

import tavkin
from tavkin import FusionState

SIG = b"d1.{TS}|t>\x01:\x01|"


class FusionStateTest(unittest.TestCase):
    def test_first_fact_full_then_heartbeat_then_forced_full(self):
        with FusionState() as state:
            first = state.apply(7, b"x.{TS}|\x01|", [b"5"])
            self.assertEqual(first, tavkin.Decision(63, 24, 7, b""))
            self.assertTrue(first.new_template and first.state_changed and first.full_body)
            self.assertEqual(state.apply(7, b"x.{TS}|\x01|", [b"5"]), (127, 24, 0, b""))
            self.assertEqual(state.apply(7, b"x.{TS}|\x01|", [b"5"], force_full=True), (63, 24, 4, b""))

    def test_difference_and_receiver_in_lock_step(self):
        with FusionState() as sender, FusionState() as receiver:
            sender.seed(9, [(30, SIG, [b"ok", b"42"])])
            receiver.seed(9, [tavkin.Template(30, SIG, [b"ok", b"42"])])
            decision = sender.apply(9, SIG, [b"ok", b"43"])
            self.assertEqual(decision, (170, 30, 2, b"\x02\x0243"))
            self.assertEqual(receiver.receive_apply(9, decision.cmd, decision.tid, "AAAAAAAB", decision.body),
                             b"d1.AAAAAAAB|t>ok:43|")
            self.assertEqual(receiver.receive_apply(9, 127, 30, b"AAAAAAAC", b""), b"d1.AAAAAAAC|t>ok:43|")

    def test_failures_raise_with_the_reason(self):
        with FusionState() as state:
            state.seed(9, [(30, SIG, [b"ok", b"42"])])
            with self.assertRaisesRegex(tavkin.TavkinError, "unknown device or template"):
                state.receive_apply(9, 170, 30, b"AAAAAAAB", b"\x02\x0543")  # change runs past the body
            with self.assertRaisesRegex(tavkin.TavkinError, "unknown device or template"):
                state.receive_apply(9, 171, 30, b"AAAAAAAB", b"")  # secure codes are not normalised here
            self.assertEqual(state.receive_apply(9, 127, 30, b"AAAAAAAB", b""), b"d1.AAAAAAAB|t>ok:42|")
            with self.assertRaisesRegex(tavkin.TavkinError, "no decision"):
                state.apply(9, SIG, [b"ok", b"x" * 256])
            with self.assertRaises(ValueError):
                state.apply(2**32, SIG, [])

    def test_handles_close_once_and_refuse_use_after(self):
        state = FusionState()
        handle = state.handle
        self.assertGreaterEqual(handle, 1000000)
        state.close()
        state.close()
        self.assertTrue(state.closed)
        self.assertEqual(tavkin._lib.lib.vm_fusion_state_free_v1(handle), 0)  # already freed
        with self.assertRaisesRegex(tavkin.TavkinError, "closed"):
            state.apply(1, SIG, [])

    def test_garbage_collected_state_is_freed(self):
        import gc
        state = FusionState()
        handle = state.handle
        del state
        gc.collect()
        self.assertEqual(tavkin._lib.lib.vm_fusion_state_free_v1(handle), 0)

    def test_large_rebuilt_fact_fits(self):
        # A heartbeat rebuilds a fact far larger than its record: the answer buffer grows.
        values = [b"v" * 200] * 400
        sig = b"n.{TS}|" + b"r>\x01:\x01|" * 200
        with FusionState() as state:
            state.seed(1, [(24, sig, values)])
            text = state.receive_apply(1, 127, 24, b"AAAAAAAA", b"")
            self.assertEqual(len(text), len(b"n.AAAAAAAA|") + 200 * (len(b"r>:|") + 400))


if __name__ == "__main__":
    unittest.main()
