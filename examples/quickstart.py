"""Quick start in Python: compress sensor facts, send them as packets, read them back.

Run with the build's library and the package on the path:
    PYTHONPATH=build/lib:python python3.13 examples/quickstart.py
"""
import tavkin

facts = [
    {"id": "node7", "s": "online", "timestamp": 1700000000 + 10 * i,
     "readings": [{"id": "t1", "s": "ok", "v": 21.5 + (0.25 if i == 2 else 0), "u": "Celsius"},
                  {"id": "rh", "s": "ok", "v": 48, "u": "%"}],
     "geohash": "u4pruyd"}
    for i in range(3)
]

sender = tavkin.Context(ctx_id=10)
receiver = tavkin.Context(ctx_id=20)

with tavkin.Compressor(precision=4, ms_timestamps=True, units={"celsius": "C"}, states={"ok": "0"}) as compressor:
    for fact in facts:
        text = compressor.compress(fact)
        packet = sender.run(text, src_aid=305419896)
        answer = receiver.decompress(packet)
        kind = tavkin.Command(tavkin.parse_header(packet).cmd).name
        print(f"{kind:<10} {len(packet):3} bytes  t1 = {answer['s1_v']}  {text}")
        assert answer["s1_v"] == fact["readings"][0]["v"]  # precision 4: values come back as sent

    # Many facts in one call: compress, fuse and frame under one lock of the context.
    packets = sender.batch(compressor, [(305419896, fact) for fact in facts])
    print("batch:", [tavkin.Command(p[0]).name for p in packets])

try:
    receiver.decompress(packet[:-1] + bytes([packet[-1] ^ 1]))
except tavkin.RequestError as e:
    print("damaged packet:", e.error)  # CRC16 mismatch
else:
    raise SystemExit("a damaged packet was accepted")
