"""Registry files under a receiver's registry_root when a save fails: the request still
answers, the failure is counted, no file left behind memory is trusted, and the next
change saves again. Each test uses its own context numbers (contexts are process-wide)."""
import itertools
import pathlib
import tempfile
import unittest

import tavkin
from tavkin import Compressor, Receiver, Sender, UnknownTemplate

_ctx = itertools.count(950_000)
AID = 5  # its file: <root>/00/00/5.json


def reading(v: float) -> dict:
    return {"id": "n", "s": "ok", "timestamp": 1700000000, "readings": [{"id": "t", "s": "ok", "v": v, "u": "V"}]}


class FailedSaveTest(unittest.TestCase):
    def test_file_left_by_a_failed_save_is_not_trusted(self):
        tx = Sender(Compressor(precision=2), ctx_id=next(_ctx))
        reference = Receiver(ctx_id=next(_ctx))  # no files: what every answer must be

        def send(v: float, command: int) -> tuple[bytes, dict]:
            packet = tx.send(reading(v), AID)
            self.assertEqual(packet[0], command)
            return packet, reference.receive(packet)

        with tempfile.TemporaryDirectory() as root:
            rx = Receiver(ctx_id=next(_ctx), registry_root=root)
            packet, answer = send(1.0, 63)
            self.assertEqual(rx.receive(packet), answer)
            directory = pathlib.Path(root, "00", "00")
            stale = (directory / "5.json").read_bytes()

            # The device's directory becomes a file (root may write anywhere, so no
            # permission would stop it): the save of the difference fails.
            aside = directory.with_name("00.aside")
            directory.rename(aside)
            directory.write_text("in the way")
            before = tavkin.registry_save_failures()
            packet, answer = send(2.0, 170)
            self.assertEqual(rx.receive(packet), answer)
            self.assertEqual(tavkin.registry_save_failures() - before, 1)

            # The obstacle goes and the file from before the difference is back; a
            # receiver that trusted it would answer the heartbeat with the old value.
            directory.unlink()
            aside.rename(directory)
            self.assertEqual((directory / "5.json").read_bytes(), stale)
            heartbeat, _ = send(2.0, 127)
            with self.assertRaises(UnknownTemplate):
                Receiver(ctx_id=next(_ctx), registry_root=root).receive(heartbeat)

            # The next change saves again, and a fresh receiver reads the current file.
            packet, answer = send(3.0, 170)
            self.assertEqual(rx.receive(packet), answer)
            heartbeat, answer = send(3.0, 127)
            self.assertEqual(Receiver(ctx_id=next(_ctx), registry_root=root).receive(heartbeat), answer)
            self.assertEqual(tavkin.registry_save_failures() - before, 1)


if __name__ == "__main__":
    unittest.main()
