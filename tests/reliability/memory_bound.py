"""Peak memory of requests built to be expensive, against the bound: every request peaks at
no more than 16 times its input plus a constant, or is refused.

    memory_bound.py LIBRARY [MEGABYTES]

Each case runs in a child process of its own, which builds its input, notes its peak
resident size, makes the one call and reports how far the peak rose during it. Fails (exit
1) when a case rises above 16 x input + 64 MiB or ends the process.
"""
import ctypes
import os
import resource
import struct
import subprocess
import sys
import tempfile

FACTOR = 16
CONSTANT = 64 << 20
HEADER = b"n.s.AAAAAAAA|"


def peak_bytes():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def crc8(data):
    crc = 0
    table = CRC8_TABLE
    for b in data:
        crc = table[crc ^ b]
    return crc


def _crc8_table():
    table = []
    for i in range(256):
        c = i
        for _ in range(8):
            c = ((c << 1) ^ 0x07) & 0xFF if c & 0x80 else (c << 1) & 0xFF
        table.append(c)
    return table


CRC8_TABLE = _crc8_table()


def crc16(data):
    import binascii
    return binascii.crc_hqx(data, 0xFFFF)


def many_readings(size):
    return HEADER + b">:|" * ((size - len(HEADER)) // 3)


def one_long_text(size):
    return HEADER + b"@" + b"A" * (size - len(HEADER) - 1)


def run_request(text, root):
    import json
    return json.dumps({"raw_input": text.decode(), "registry_root": root, "ctx_id": 77}).encode()


def full_packet(body):
    import base64
    import json
    packet = bytes([63, 1]) + struct.pack(">I", 7) + bytes([24]) + b"\x01\x8b\xcf\xe5\x68\x00" + body
    packet += bytes([crc8(body)])
    packet += struct.pack(">H", crc16(packet))
    return json.dumps({"ctx_id": 78, "packet_b64": base64.b64encode(packet).decode()}).encode()


def batch(lib, size):
    config = struct.pack(">IBII", 0, 0, 0, 0)
    handle = lib.vm_compressor_create_v1(config, len(config))
    fact = struct.pack(">I", 0) + struct.pack(">I", 0) + struct.pack(">d", 1.7e12) + struct.pack(">I", 0)
    fact += b"\xff\xff\xff\xff" * 3
    item_size = 9 + len(fact)
    n = (size - 24) // item_size
    head = struct.pack(">QQII", handle, 79, n, 0)
    items = b"".join(struct.pack(">IBI", aid + 1, 0, len(fact)) + fact for aid in range(n))
    return head + items


def build(case, lib, size, root):
    if case == "decompose_many_readings":
        return lib.vm_auto_decompose_input, many_readings(size)
    if case == "run_many_readings":
        return lib.vm_fusion_run_json_v1, run_request(many_readings(size), root)
    if case == "run_one_long_text":
        return lib.vm_fusion_run_json_v1, run_request(one_long_text(size), root)
    if case == "decompress_full_many_readings":
        return lib.vm_fusion_decompress_json_v1, full_packet(many_readings(size * 3 // 4))
    if case == "decompress_full_one_long_text":
        return lib.vm_fusion_decompress_json_v1, full_packet(one_long_text(size * 3 // 4))
    if case == "batch_distinct_devices":
        return lib.vm_pipeline_batch_v1, batch(lib, size)
    raise SystemExit("unknown case " + case)


CASES = ["decompose_many_readings", "run_many_readings", "run_one_long_text",
         "decompress_full_many_readings", "decompress_full_one_long_text", "batch_distinct_devices"]


def child(library, case, size):
    lib = ctypes.CDLL(library)
    for name in ("vm_auto_decompose_input", "vm_fusion_run_json_v1", "vm_fusion_decompress_json_v1",
                 "vm_pipeline_batch_v1"):
        getattr(lib, name).restype = ctypes.c_int32
        getattr(lib, name).argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_void_p, ctypes.c_size_t]
    lib.vm_compressor_create_v1.restype = ctypes.c_uint64
    lib.vm_compressor_create_v1.argtypes = [ctypes.c_char_p, ctypes.c_size_t]
    with tempfile.TemporaryDirectory() as root:
        call, data = build(case, lib, size, root)
        before = peak_bytes()
        result = call(data, len(data), None, 0)  # asks for the length only: no output buffer
        rise = max(0, peak_bytes() - before)
    print(f"{len(data)} {rise} {result}")


def main():
    if len(sys.argv) >= 4 and sys.argv[1] == "--child":
        child(sys.argv[2], sys.argv[3], int(sys.argv[4]))
        return 0
    library = sys.argv[1]
    size = int(sys.argv[2] if len(sys.argv) > 2 else 16) << 20
    failed = False
    for case in CASES:
        r = subprocess.run([sys.executable, __file__, "--child", library, case, str(size)],
                           capture_output=True, text=True)
        if r.returncode != 0:
            print(f"{case}: the process ended (exit {r.returncode}): {r.stderr.strip()[-300:]}")
            failed = True
            continue
        n, rise, result = (int(x) for x in r.stdout.split())
        bound = FACTOR * n + CONSTANT
        verdict = "ok" if rise <= bound else "ABOVE THE BOUND"
        print(f"{case}: input {n / 2**20:.1f} MiB, peak rise {rise / 2**20:.1f} MiB "
              f"({rise / n:.1f}x), bound {bound / 2**20:.0f} MiB, result {result}: {verdict}")
        failed |= rise > bound
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
