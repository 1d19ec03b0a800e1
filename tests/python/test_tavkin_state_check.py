"""State checks end to end through the native Sender and Receiver: a seeded fleet over a
link that loses packets, and a receiver restarted from stale files. A receiver that
checks must refuse what a plain receiver answers wrong; the plain receiver on the same
packets shows that there was something to catch. Each test uses its own context numbers."""
import itertools
import os
import random
import shutil
import tempfile
import unittest

from tavkin import Compressor, Receiver, RequestError, Sender, StateMismatch

_ctx = itertools.count(860_000)
SEED = int(os.environ.get("TAVKIN_TEST_SEED", "20261211"))


class Fleet:
    """Devices whose readings drift a step now and then and whose states flip rarely, so
    that most packets are differences and a lost one leaves a receiver wrong for a while."""

    def __init__(self, seed, devices=20):
        self.rng = random.Random(seed)
        self.devices = []
        for aid in range(1, devices + 1):
            n = self.rng.randint(2, 4)
            self.devices.append({"aid": 5000 + aid, "t": 1_700_000_000.0,
                                 "values": [round(self.rng.uniform(-50, 50), 2) for _ in range(n)],
                                 "states": ["ok"] * n})

    def facts(self, count):
        for _ in range(count):
            d = self.rng.choice(self.devices)
            d["t"] += 1.0
            for i in range(len(d["values"])):
                if self.rng.random() < 0.3:
                    d["values"][i] = round(d["values"][i] + self.rng.choice((-0.05, 0.05)), 2)
                if self.rng.random() < 0.01:
                    d["states"][i] = "warn" if d["states"][i] == "ok" else "ok"
            yield d["aid"], {"id": f"dev{d['aid']}", "s": "ok", "timestamp": d["t"],
                             "readings": [{"id": f"r{i}", "s": s, "v": v, "u": "Celsius"}
                                          for i, (v, s) in enumerate(zip(d["values"], d["states"]))]}


def compressor():
    return Compressor(precision=2, ms_timestamps=True, units={"celsius": "c1"}, states={"ok": "0", "warn": "1"})


class Tally:
    def __init__(self):
        self.right = self.wrong = self.refused = self.mismatches = 0

    def add(self, answer, reference):
        if isinstance(answer, RequestError):
            self.refused += 1
            self.mismatches += isinstance(answer, StateMismatch)
        elif answer == reference:
            self.right += 1
        else:
            self.wrong += 1

    def __repr__(self):
        return f"right {self.right}, wrong {self.wrong}, refused {self.refused} ({self.mismatches} state mismatches)"


def receive(rx, packet):
    try:
        return rx.receive(packet)
    except RequestError as e:
        return e


class LossyLinkTest(unittest.TestCase):
    def test_one_percent_loss_gives_refusals_not_wrong_facts(self):
        facts, loss = 100_000, 0.01
        print(f"seed {SEED}")
        tx = Sender(compressor(), ctx_id=next(_ctx), keyframe_every=100)
        reference = Receiver(ctx_id=next(_ctx))
        checked = Receiver(ctx_id=next(_ctx))
        plain = Receiver(ctx_id=next(_ctx), state_check=False)
        link = random.Random(SEED + 1)
        tallies = {"checked": Tally(), "plain": Tally()}
        refused_since = {}  # device -> whether it answered again after its last refusal
        for aid, fact in Fleet(SEED).facts(facts):
            packet = tx.send(fact, aid)
            truth = reference.receive(packet)
            if link.random() < loss:
                continue
            answer = receive(checked, packet)
            tallies["checked"].add(answer, truth)
            if isinstance(answer, StateMismatch):
                self.assertEqual(answer.aid, aid)
                refused_since[aid] = False
            elif not isinstance(answer, RequestError):
                refused_since[aid] = True
            tallies["plain"].add(receive(plain, packet), truth)
        print(f"1% loss, key frames every 100: {tallies}")
        c, p = tallies["checked"], tallies["plain"]
        self.assertGreater(p.wrong, 100, "the plain receiver must meet drift for this test to mean anything")
        self.assertLessEqual(c.wrong, 0.0005 * (c.right + c.wrong))
        self.assertGreater(c.mismatches, p.wrong / 2)
        # Every device that was refused answered again after a later full packet, unless
        # its last refusal came after its last key frame.
        self.assertGreaterEqual(sum(refused_since.values()), len(refused_since) - 5)


class StaleFilesTest(unittest.TestCase):
    def test_a_receiver_restarted_from_stale_files_refuses_instead_of_answering_wrong(self):
        root = tempfile.mkdtemp(prefix="tavkin_stale_")
        self.addCleanup(shutil.rmtree, root, True)
        live, stale = os.path.join(root, "live"), os.path.join(root, "stale")
        tx = Sender(compressor(), ctx_id=next(_ctx))
        reference = Receiver(ctx_id=next(_ctx))
        first = Receiver(ctx_id=next(_ctx), registry_root=live)
        fleet = Fleet(SEED + 2)
        for aid, fact in fleet.facts(2000):
            packet = tx.send(fact, aid)
            reference.receive(packet)
            first.receive(packet)
        shutil.copytree(live, stale)  # the files as a failed save would have left them
        for aid, fact in fleet.facts(300):
            packet = tx.send(fact, aid)
            reference.receive(packet)
            first.receive(packet)
        tallies = {}
        packets = []
        for aid, fact in fleet.facts(1000):
            packet = tx.send(fact, aid)
            packets.append((packet, reference.receive(packet)))
        for name, check in (("checked", True), ("plain", False)):
            restarted_root = os.path.join(root, name)
            shutil.copytree(stale, restarted_root)
            restarted = Receiver(ctx_id=next(_ctx), registry_root=restarted_root, state_check=check)
            tally = tallies[name] = Tally()
            for packet, truth in packets:
                tally.add(receive(restarted, packet), truth)
        print(f"restarted from stale files, 1000 facts: {tallies}")
        self.assertGreater(tallies["plain"].wrong, 20)
        self.assertLessEqual(tallies["checked"].wrong, 2)
        self.assertGreater(tallies["checked"].mismatches, 0)


if __name__ == "__main__":
    unittest.main()
