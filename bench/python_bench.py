"""The Python roads side by side, in one run, on the same fleet facts: the compiled API
(Sender.send, send_many, Receiver.receive, receive_many), the ctypes road of Context
(compress + run request, batch, decompress request with JSON and Base64), and the
standard-library peer (json.dumps + zlib level 3 with a preset dictionary trained on
another sample of the fleet; zlib + json.loads back). Prints per-fact medians, bytes per
fact, ratios and the targets with their verdicts.

Usage: python_bench.py [LIBRARY_DIR]   (the directory holding the built library; the
tavkin package is taken from python/ next to this script). Times are CPU time of the
calling thread (time.thread_time), except the thread-scaling rows (wall time)."""
from __future__ import annotations

import base64
import json
import os
import pathlib
import random
import statistics
import sys
import threading
import time
import zlib

HERE = pathlib.Path(__file__).resolve().parent
sys.path[:0] = [sys.argv[1] if len(sys.argv) > 1 else str(HERE.parent / "build-bench" / "lib"), str(HERE.parent / "python")]

import tavkin  # noqa: E402
from tavkin._lib import call_into_buffer, lib  # noqa: E402

REPETITIONS = 5
STEADY = 20_000
WARM = 4_096
CHUNK = 256
MEMORY_CALLS = int(os.environ.get("MEMORY_CALLS", 1_000_000))

KINDS = [("t", "Celsius", 21.50, 0.01), ("h", "%", 45.00, 0.10), ("p", "hPa", 1013.25, 0.05),
         ("a", "m/s2", 9.81, 0.01), ("alt", "1000m", 0.35, 0.01), ("bat", "V", 3.70, 0.01)]
STEPS = {k[0]: k[3] for k in KINDS}
MESSAGES = ["door opened", "battery low", "maintenance due"]
GEOHASHES = ["u4pruydqqvj", "u4pruydqqvm", "u33dc0cppj", "gcpvj0duq5", "dr5regw3pp", "9q8yyk8ytp", "xn774c06kf",
             "r3gx2f77bn"]


def fleet(seed: int, n: int) -> list[tuple[int, dict]]:
    """n facts of 8 devices with 3-5 sensors each, one per device per second: a value moves
    25% per reading, a reading's state flips 1%, the node degrades 0.5% (recovers 20%), a
    message 3%, the status url 1%."""
    rng = random.Random(seed)
    devices = []
    for d in range(8):
        readings = [{"id": k[0], "s": "ok", "v": k[2], "u": k[1]} for k in
                    (KINDS[(d + i) % len(KINDS)] for i in range(3 + d % 3))]
        devices.append({"aid": 1001 + d, "id": f"node{d + 1}", "s": "online", "readings": readings,
                        "geohash": GEOHASHES[d]})
    out = []
    for i in range(n):
        dev = devices[i % 8]
        for r in dev["readings"]:
            if rng.random() < 0.25:
                r["v"] = round(r["v"] + rng.choice([-1, 1]) * rng.randint(1, 3) * STEPS[r["id"]], 2)
            if rng.random() < 0.01:
                r["s"] = "warn" if r["s"] == "ok" else "ok"
        if dev["s"] == "online" and rng.random() < 0.005:
            dev["s"] = "degraded"
        elif dev["s"] == "degraded" and rng.random() < 0.2:
            dev["s"] = "online"
        fact = {"id": dev["id"], "s": dev["s"], "timestamp": 1_700_000_000 + i // 8,
                "readings": [dict(r) for r in dev["readings"]], "geohash": dev["geohash"]}
        if rng.random() < 0.03:
            fact["msg"] = rng.choice(MESSAGES)
        if rng.random() < 0.01:
            fact["url"] = f"https://status.example.org/{dev['id']}"
        out.append((dev["aid"], fact))
    return out


def compressor() -> tavkin.Compressor:
    return tavkin.Compressor(precision=2, ms_timestamps=True, units={"celsius": "c1", "%": "pc", "hpa": "hP"},
                             states={"online": "1", "ok": "0", "warn": "2", "degraded": "3"})


def per_item(run, items: int) -> float:
    """Median over repetitions of CPU µs per item of run()."""
    samples = []
    for _ in range(REPETITIONS):
        start = time.thread_time_ns()
        run()
        samples.append((time.thread_time_ns() - start) / items / 1000)
    return statistics.median(samples)


def drain(results) -> None:
    """Runs a generator of calls, keeping no result (as a receiver handling a stream would)."""
    for _ in results:
        pass


def chunks(seq, size):
    return [seq[i:i + size] for i in range(0, len(seq), size)]


def rss_kb() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


_ctx_ids = iter(range(50_000, 10**9))


def main() -> None:
    warm, steady = fleet(1, WARM), fleet(1, WARM + STEADY)[WARM:]
    comp = compressor()
    rows: dict[str, float] = {}

    # Native sending: warm a context, then replay the steady facts.
    ctx = next(_ctx_ids)
    tx = tavkin.Sender(comp, ctx_id=ctx)
    for aid, fact in warm:
        tx.send(fact, aid)
    packets = [tx.send(fact, aid) for aid, fact in steady]
    rows["send"] = per_item(lambda: drain(tx.send(fact, aid) for aid, fact in steady), STEADY)
    batches = chunks(steady, CHUNK)
    rows["send_many"] = per_item(lambda: drain(tx.send_many(b) for b in batches), STEADY)

    # Native receiving: a receiver that learnt the warm-up, then the steady packets.
    # The steady packets are received again and again, each round onto the state the last one
    # left: a state-checking receiver rightly refuses that replay, so this one reads the road alone.
    rx = tavkin.Receiver(ctx_id=next(_ctx_ids), state_check=False)
    warm_tx = tavkin.Sender(comp, ctx_id=next(_ctx_ids))
    for aid, fact in warm:
        rx.receive(warm_tx.send(fact, aid))
    rx.receive_many(packets)
    rows["receive"] = per_item(lambda: drain(rx.receive(p) for p in packets), STEADY)
    packet_batches = chunks(packets, CHUNK)
    rows["receive_many"] = per_item(lambda: drain(rx.receive_many(b) for b in packet_batches), STEADY)

    # The ctypes road of Context.
    ctypes_ctx = tavkin.Context(next(_ctx_ids))
    for aid, fact in warm:
        ctypes_ctx.run(comp.compress(fact), src_aid=aid)
    rows["ctypes run"] = per_item(lambda: drain(ctypes_ctx.run(comp.compress(f), src_aid=a) for a, f in steady),
                                  STEADY)
    batch_items = [chunks([(a, f) for a, f in steady], CHUNK)]
    rows["ctypes batch"] = per_item(lambda: drain(ctypes_ctx.batch(comp, b) for b in batch_items[0]), STEADY)
    json_rx = next(_ctx_ids)

    def ctypes_decompress(packet: bytes) -> dict:
        request = json.dumps({"ctx_id": json_rx, "packet_b64": base64.b64encode(packet).decode("ascii")},
                             separators=(",", ":")).encode()
        result, answer = call_into_buffer(lib.vm_fusion_decompress_json_v1, data=request, capacity=1 << 14)
        return json.loads(answer)

    warm_tx2 = tavkin.Sender(comp, ctx_id=next(_ctx_ids))
    for aid, fact in warm:
        ctypes_decompress(warm_tx2.send(fact, aid))
    rows["ctypes decompress"] = per_item(lambda: drain(ctypes_decompress(p) for p in packets), STEADY)

    # The peer: json + zlib level 3 with a dictionary from another sample of the fleet.
    sample = b"".join(json.dumps(f, separators=(",", ":")).encode() for _, f in fleet(2, 2000))
    zdict = sample[-32768:]
    zdict_facts = [(a, f) for a, f in steady]

    def peer_send(fact) -> bytes:
        c = zlib.compressobj(3, zdict=zdict)
        return c.compress(json.dumps(fact, separators=(",", ":")).encode()) + c.flush()

    def peer_receive(data: bytes) -> dict:
        d = zlib.decompressobj(zdict=zdict)
        return json.loads(d.decompress(data) + d.flush())

    def peer_send_plain(fact) -> bytes:
        return zlib.compress(json.dumps(fact, separators=(",", ":")).encode(), 3)

    def peer_receive_plain(data: bytes) -> dict:
        return json.loads(zlib.decompress(data))

    plain_packets = [peer_send_plain(f) for _, f in zdict_facts]
    peer_packets = [peer_send(f) for _, f in zdict_facts]
    assert peer_receive(peer_packets[0]) == zdict_facts[0][1]
    rows["peer send"] = per_item(lambda: drain(peer_send(f) for _, f in zdict_facts), STEADY)
    rows["peer receive"] = per_item(lambda: drain(peer_receive(p) for p in peer_packets), STEADY)
    rows["peer send, no dictionary"] = per_item(lambda: drain(peer_send_plain(f) for _, f in zdict_facts), STEADY)
    rows["peer receive, no dictionary"] = per_item(lambda: drain(peer_receive_plain(p) for p in plain_packets), STEADY)

    # Two threads on two contexts against one, each calling send_many (wall time).
    def sender_on_new_context():
        s = tavkin.Sender(comp, ctx_id=next(_ctx_ids))
        s.send_many(warm)
        return s

    def wall(threads_n: int) -> float:
        senders = [sender_on_new_context() for _ in range(threads_n)]
        barrier = threading.Barrier(threads_n + 1)

        def work(s):
            barrier.wait()
            for _ in range(3):
                for b in batches:
                    s.send_many(b)

        threads = [threading.Thread(target=work, args=(s,)) for s in senders]
        for t in threads:
            t.start()
        barrier.wait()
        start = time.perf_counter()
        for t in threads:
            t.join()
        return (time.perf_counter() - start) / (3 * STEADY * threads_n) * 1e6

    one = statistics.median(wall(1) for _ in range(3))
    two = statistics.median(wall(2) for _ in range(3))
    rows["send_many, 1 thread (wall)"] = one
    rows["send_many, 2 threads (wall)"] = two

    # Memory over 10^6 send and receive calls after a warm-up.
    mem_tx, mem_rx = tavkin.Sender(comp, ctx_id=next(_ctx_ids)), tavkin.Receiver(ctx_id=next(_ctx_ids))
    for aid, fact in warm:
        mem_rx.receive(mem_tx.send(fact, aid))

    def churn(calls: int) -> None:
        n = len(steady)
        for i in range(calls // 2):
            aid, fact = steady[i % n]
            mem_rx.receive(mem_tx.send(fact, aid))

    churn(100_000)
    before = rss_kb()
    churn(MEMORY_CALLS)
    growth = rss_kb() - before

    ours_bytes = statistics.fmean(len(p) for p in packets)
    peer_bytes = statistics.fmean(len(p) for p in peer_packets)
    plain_bytes = statistics.fmean(len(p) for p in plain_packets)

    load = os.getloadavg()
    print(f"Python {sys.version.split()[0]}; {os.cpu_count()} logical CPUs; load average {load[0]:.2f} {load[1]:.2f}"
          f" {load[2]:.2f}")
    print(f"Fleet: 8 devices, 3-5 sensors; {STEADY} steady facts after {WARM} warm-up; lists of {CHUNK}; "
          f"{REPETITIONS} repetitions, medians")
    print()
    print(f"{'road (CPU µs per fact; wall where marked)':48}{'µs/fact':>10}")
    print("-" * 58)
    for name, value in rows.items():
        print(f"{name:48}{value:10.3f}")
    print()
    print(f"{'side by side':48}{'ours':>10}{'peer':>10}{'ratio':>9}")
    print("-" * 77)
    for name, ours, peer in (("send vs json.dumps + zlib", rows["send"], rows["peer send"]),
                             ("send_many vs the same", rows["send_many"], rows["peer send"]),
                             ("receive vs zlib + json.loads", rows["receive"], rows["peer receive"]),
                             ("receive_many vs the same", rows["receive_many"], rows["peer receive"]),
                             ("send vs the peer without a dictionary", rows["send"], rows["peer send, no dictionary"]),
                             ("receive vs the peer without a dictionary", rows["receive"],
                              rows["peer receive, no dictionary"]),
                             ("bytes per fact", ours_bytes, peer_bytes),
                             ("bytes per fact, peer without a dictionary", ours_bytes, plain_bytes)):
        print(f"{name:48}{ours:10.2f}{peer:10.2f}{ours / peer:9.3f}")
    print()
    scaling = one * 2 / two
    targets = [
        ("send (µs/fact)", rows["send"], "<= 1.5", rows["send"] <= 1.5),
        ("send / peer send", rows["send"] / rows["peer send"], "<= 0.15 x", rows["send"] / rows["peer send"] <= 0.15),
        ("send_many (µs/fact)", rows["send_many"], "<= 0.7", rows["send_many"] <= 0.7),
        ("receive (µs/packet)", rows["receive"], "<= 1.5", rows["receive"] <= 1.5),
        ("receive / peer receive", rows["receive"] / rows["peer receive"], "<= 0.3 x",
         rows["receive"] / rows["peer receive"] <= 0.3),
        ("receive_many (µs/packet)", rows["receive_many"], "<= 1.0", rows["receive_many"] <= 1.0),
        ("send_many, 2 threads / 1 (throughput)", scaling, ">= 1.7 x", scaling >= 1.7),
        (f"memory growth over {MEMORY_CALLS:,} calls (KB)", growth, "<= 1024", growth <= 1024),
    ]
    print(f"{'Targets':48}{'measured':>10}{'target':>12}")
    print("-" * 78)
    for name, value, target, ok in targets:
        print(f"{name:48}{value:10.3f}{target:>12}    {'holds' if ok else 'MISSES'}")


if __name__ == "__main__":
    main()
