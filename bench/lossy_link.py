"""Facts over a link that loses packets: what a receiver answers right, refuses and answers
wrong, with the state check and without it, beside a receiver that gets every packet.

A seeded fleet of 20 devices (2-4 readings each; a reading moves a step in 30% of facts,
its state flips in 1%) sends through one Sender with state checks on; receiver A gets
every packet, receiver B loses a seeded share. B is run twice on the same packets: once
requiring the check, once ignoring it as a receiver of the published packets does. Run:
    PYTHONPATH=build/lib:python python3.13 bench/lossy_link.py [facts]
"""
from __future__ import annotations

import random
import sys

import tavkin

LINKS = [(0.001, None), (0.01, None), (0.01, 100), (0.05, 100)]


def fleet(seed: int, count: int, devices: int = 20):
    rng = random.Random(seed)
    state = []
    for aid in range(1, devices + 1):
        n = rng.randint(2, 4)
        state.append({"aid": 5000 + aid, "t": 1_700_000_000.0,
                      "values": [round(rng.uniform(-50, 50), 2) for _ in range(n)], "states": ["ok"] * n})
    for _ in range(count):
        d = rng.choice(state)
        d["t"] += 1.0
        for i in range(len(d["values"])):
            if rng.random() < 0.3:
                d["values"][i] = round(d["values"][i] + rng.choice((-0.05, 0.05)), 2)
            if rng.random() < 0.01:
                d["states"][i] = "warn" if d["states"][i] == "ok" else "ok"
        yield d["aid"], {"id": f"dev{d['aid']}", "s": "ok", "timestamp": d["t"],
                         "readings": [{"id": f"r{i}", "s": s, "v": v, "u": "Celsius"}
                                      for i, (v, s) in enumerate(zip(d["values"], d["states"]))]}


def run(facts: int, loss: float, keyframe_every: int | None, seed: int, ctx: int) -> dict[str, list[int]]:
    comp = tavkin.Compressor(precision=2, ms_timestamps=True, units={"celsius": "c1"},
                             states={"ok": "0", "warn": "1"})
    tx = tavkin.Sender(comp, ctx_id=ctx, keyframe_every=keyframe_every)
    a = tavkin.Receiver(ctx_id=ctx + 1)
    receivers = {"checked": tavkin.Receiver(ctx_id=ctx + 2), "plain": tavkin.Receiver(ctx_id=ctx + 3, state_check=False)}
    tally = {name: [0, 0, 0] for name in receivers}  # right, wrong, refused
    link = random.Random(seed + 1)
    for aid, fact in fleet(seed, facts):
        packet = tx.send(fact, aid)
        truth = a.receive(packet)
        if link.random() < loss:
            continue
        for name, rx in receivers.items():
            try:
                answer = rx.receive(packet)
            except tavkin.RequestError:
                tally[name][2] += 1
                continue
            tally[name][0 if answer == truth else 1] += 1
    return tally


def main() -> None:
    facts = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    print(f"Lossy link: {facts} facts, 20 devices, seed 7; receiver B against receiver A (every packet)")
    print(f"{'link':<34}{'receiver B':<10}{'answered':>10}{'wrong':>8}{'wrong %':>9}{'refused':>9}")
    for i, (loss, every) in enumerate(LINKS):
        tally = run(facts, loss, every, 7, 970_000 + 10 * i)
        link = f"{loss:.1%} lost" + (f", key frame every {every}" if every else "")
        for name, (right, wrong, refused) in tally.items():
            answered = right + wrong
            print(f"{link:<34}{name:<10}{answered:>10}{wrong:>8}{100 * wrong / max(answered, 1):>8.3f}%{refused:>9}")


if __name__ == "__main__":
    main()
