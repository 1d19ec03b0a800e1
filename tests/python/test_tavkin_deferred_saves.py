"""A Receiver that defers its saves, saves on demand and drops its context; the refusal of
a packet its known template cannot take told apart from an unknown template; and the typed
receive export through the ctypes layer. Each test uses its own context numbers."""
import base64
import ctypes
import itertools
import json
import os
import tempfile
import unittest

from tavkin import (Compressor, MalformedPacket, NotApplicable, Receiver, SaveError, Sender, UnknownTemplate,
                    crc8, crc16, registry_save_failures)
from tavkin._lib import RECEIVE_CALLBACK, call_into_buffer, lib

_ctx = itertools.count(880_000)
AID = 4242


def fact(v):
    return {"id": "n", "s": "ok", "timestamp": 1700000000 + int(v),
            "readings": [{"id": "t", "s": "ok", "v": v, "u": "V"}]}


def packets(values, aid=AID):
    """Packets of one device: a full packet, then heartbeats and differences."""
    tx = Sender(Compressor(precision=2), ctx_id=next(_ctx), state_check=False)
    return [tx.send(fact(v), aid) for v in values]


def cut_body(packet):
    """The packet with its body cut to one byte, framed anew so that its trailer holds."""
    header, body = packet[:13], packet[13:14]
    framed = header + body + bytes([crc8(body)])
    return framed + crc16(framed).to_bytes(2, "big")


def files_under(root):
    return sorted(os.path.relpath(os.path.join(d, f), root) for d, _, names in os.walk(root) for f in names)


class DeferredSavesTest(unittest.TestCase):
    def test_files_are_written_by_save_only_and_each_change_once(self):
        full, heartbeat, diff = packets([1.0, 1.0, 2.0])
        with tempfile.TemporaryDirectory() as root:
            rx = Receiver(ctx_id=next(_ctx), registry_root=root, state_check=False, defer_saves=True)
            rx.receive(full)
            rx.receive(diff)
            self.assertEqual(files_under(root), [])
            self.assertEqual(rx.save(), 1)
            self.assertEqual(files_under(root), ["00/00/4242.json"])
            self.assertEqual(rx.save(fsync=False), 0)
            rx.receive(heartbeat)
            self.assertEqual(rx.save(), 0, "a heartbeat changes no template")
            # A receiver that saves at once writes the same file.
            with tempfile.TemporaryDirectory() as eager_root:
                eager = Receiver(ctx_id=next(_ctx), registry_root=eager_root, state_check=False)
                eager.receive(full)
                eager.receive(diff)
                self.assertEqual(eager.save(), 0, "nothing waits")
                with open(os.path.join(root, "00/00/4242.json"), "rb") as a, \
                        open(os.path.join(eager_root, "00/00/4242.json"), "rb") as b:
                    self.assertEqual(a.read(), b.read())

    def test_a_failed_save_raises_and_the_device_waits_for_the_next(self):
        full, = packets([1.0])
        with tempfile.TemporaryDirectory() as scratch:
            blocked = os.path.join(scratch, "a_file")
            with open(blocked, "w") as f:
                f.write("not a directory")
            ctx = next(_ctx)
            rx = Receiver(ctx_id=ctx, registry_root=blocked, state_check=False, defer_saves=True)
            rx.receive(full)
            failures = registry_save_failures()
            with self.assertRaises(SaveError):
                rx.save()
            self.assertEqual(registry_save_failures(), failures + 1)
            good = os.path.join(scratch, "dir")
            self.assertEqual(Receiver(ctx_id=ctx, registry_root=good, defer_saves=True).save(), 1)

    def test_drop_forgets_unsaved_templates_and_loads_saved_ones_again(self):
        full, heartbeat = packets([1.0, 1.0])
        with tempfile.TemporaryDirectory() as root:
            rx = Receiver(ctx_id=next(_ctx), registry_root=root, state_check=False, defer_saves=True)
            rx.receive(full)
            self.assertTrue(rx.drop())
            self.assertFalse(rx.drop())
            with self.assertRaises(UnknownTemplate):
                rx.receive(heartbeat)
            self.assertEqual(rx.needs_full(), {AID: 1})
            rx.drop()
            self.assertEqual(rx.needs_full(), {}, "what the dropped templates could not rebuild is forgotten")
            rx.receive(full)
            self.assertEqual(rx.save(), 1)
            self.assertTrue(rx.drop())
            self.assertEqual(rx.receive(heartbeat)["s1_v"], 0.01)

    def test_constructor_keywords(self):
        with self.assertRaises(TypeError):
            Receiver(defer_saves="yes please", ctx_id=1, registry_root=None, state_check=True, precision=None, x=1)
        with self.assertRaises(TypeError):
            Receiver(ctx_id=next(_ctx)).save(True)  # fsync is keyword-only
        self.assertEqual(Receiver(ctx_id=next(_ctx), defer_saves=True).save(), 0)


class RefusalsTest(unittest.TestCase):
    def test_not_applicable_is_told_apart_from_an_unknown_template(self):
        full, heartbeat, diff = packets([1.0, 1.0, 2.0])
        rx = Receiver(ctx_id=next(_ctx), state_check=False)
        with self.assertRaises(UnknownTemplate) as unknown:
            rx.receive(diff)
        self.assertNotIsInstance(unknown.exception, MalformedPacket)
        rx.receive(full)
        with self.assertRaises(NotApplicable) as refused:
            rx.receive(cut_body(diff))
        error = refused.exception
        self.assertIsInstance(error, MalformedPacket)
        self.assertEqual((error.aid, error.tid, error.error), (AID, diff[6], "fusion_receive_apply_failed"))
        self.assertEqual(rx.needs_full(), {}, "the full packet came; a packet it cannot take asks for none")
        results = rx.receive_many([cut_body(diff), diff, b"\x3f"])
        self.assertIsInstance(results[0], NotApplicable)
        self.assertEqual(results[1]["s1_v"], 0.02)
        self.assertIsInstance(results[2], MalformedPacket)
        self.assertNotIsInstance(results[2], NotApplicable)


class TypedReceiveExportTest(unittest.TestCase):
    def test_facts_equal_the_decompress_answers(self):
        sent = packets([1.0, 1.0, 2.0, 3.0])
        received = []

        def on_packet(_user, r):
            got = r.contents
            received.append((got.outcome, got.source_aid, ctypes.string_at(got.fact, got.fact_len) if got.fact else None))

        callback = RECEIVE_CALLBACK(on_packet)
        stream = [sent[1]] + sent  # a heartbeat before its full packet first
        framed = b"".join(len(p).to_bytes(4, "big") + p for p in stream)
        ctx = next(_ctx)
        self.assertEqual(lib.vm_receive_packets_v1(ctx, None, 0, 0, framed, len(framed), callback, None), 5)
        twin = next(_ctx)
        expected = []
        for p in stream:
            request = json.dumps({"ctx_id": twin, "packet_b64": base64.b64encode(p).decode()}).encode()
            _, answer = call_into_buffer(lib.vm_fusion_decompress_json_v1, data=request, capacity=1 << 16)
            expected.append(None if answer.startswith(b'{"error"') else answer)
        self.assertEqual([outcome for outcome, _, _ in received], [1, 0, 0, 0, 0])
        self.assertEqual({aid for _, aid, _ in received}, {AID})
        self.assertEqual([fact_json for _, _, fact_json in received], expected)
        self.assertEqual(lib.vm_context_drop_v1(ctx), 1)
        self.assertEqual(lib.vm_context_save_v1(ctx, None, 0, 1), 0)


if __name__ == "__main__":
    unittest.main()
