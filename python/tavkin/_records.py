"""The library's big-endian byte records, built and read in pure Python: compressor
configuration, fact record, fusion-state records, batch input and answer, and the
decision record. Every integer is unsigned and big-endian; a string is a 4-byte length
and its bytes."""
from __future__ import annotations

import struct
from collections.abc import Iterable, Mapping, Sequence
from typing import Any

ABSENT = 0xFFFFFFFF


def _text(value: Any, where: str) -> bytes:
    if not isinstance(value, str):
        raise TypeError(f"{where} must be a str, not {type(value).__name__}")
    return value.encode("utf-8")


def _number(value: Any, where: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{where} must be a number, not {type(value).__name__}")
    return float(value)


def _counted(data: bytes) -> bytes:
    return struct.pack(">I", len(data)) + data


def u32(value: Any, where: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value <= 0xFFFFFFFF:
        raise ValueError(f"{where} must be an int from 0 to 4294967295, not {value!r}")
    return value


def config_record(precision: int, ms_timestamps: bool, units: Mapping[str, str],
                  states: Mapping[str, str]) -> bytes:
    if isinstance(precision, bool) or not isinstance(precision, int) or not 0 <= precision <= 18:
        raise ValueError(f"precision must be an int from 0 to 18, not {precision!r}")
    out = [struct.pack(">IB", precision, 1 if ms_timestamps else 0)]
    for name, table in (("units", units), ("states", states)):
        out.append(struct.pack(">I", len(table)))
        for key, code in table.items():
            out.append(_counted(_text(key, f"a name in {name}")))
            out.append(_counted(_text(code, f"{name}[{key!r}]")))
    return b"".join(out)


def fact_record(fact: Mapping[str, Any]) -> bytes:
    """The FactRecord of a fact given as a dict: ``id``, ``s``, ``timestamp``,
    ``readings`` (a list of dicts with ``id``, ``s``, ``v``, ``u``) and the optional
    ``geohash``, ``url`` and ``msg`` (None or missing means absent)."""
    if not isinstance(fact, Mapping):
        raise TypeError(f"a fact must be a dict, not {type(fact).__name__}")
    known = {"id", "s", "timestamp", "readings", "geohash", "url", "msg", "aid"}
    unknown = sorted(set(fact) - known)
    if unknown:
        raise ValueError(f"unknown fact keys: {', '.join(map(str, unknown))}")
    for key in ("id", "s", "timestamp", "readings"):
        if key not in fact:
            raise ValueError(f"a fact needs {key!r}")
    readings = fact["readings"]
    if isinstance(readings, (str, bytes)) or not isinstance(readings, Sequence):
        raise TypeError("fact['readings'] must be a list of dicts")
    out = [_counted(_text(fact["id"], "fact['id']")), _counted(_text(fact["s"], "fact['s']")),
           struct.pack(">dI", _number(fact["timestamp"], "fact['timestamp']"), len(readings))]
    for i, reading in enumerate(readings):
        where = f"fact['readings'][{i}]"
        if not isinstance(reading, Mapping):
            raise TypeError(f"{where} must be a dict")
        missing = [k for k in ("id", "s", "v", "u") if k not in reading]
        if missing or len(reading) != 4:
            raise ValueError(f"{where} needs exactly the keys id, s, v, u")
        out.append(_counted(_text(reading["id"], f"{where}['id']")))
        out.append(_counted(_text(reading["s"], f"{where}['s']")))
        out.append(struct.pack(">d", _number(reading["v"], f"{where}['v']")))
        out.append(_counted(_text(reading["u"], f"{where}['u']")))
    for key in ("geohash", "url", "msg"):
        value = fact.get(key)
        out.append(struct.pack(">I", ABSENT) if value is None else _counted(_text(value, f"fact[{key!r}]")))
    return b"".join(out)


def apply_record(aid: int, force_full: bool, sig: bytes, values: Sequence[bytes]) -> bytes:
    out = [struct.pack(">IB", u32(aid, "aid"), 1 if force_full else 0), _counted(bytes(sig)),
           struct.pack(">I", len(values))]
    out.extend(_counted(bytes(v)) for v in values)
    return b"".join(out)


def receive_record(aid: int, cmd: int, tid: int, timestamp_text: bytes, body: bytes) -> bytes:
    if not 0 <= cmd <= 255:
        raise ValueError(f"cmd must be a byte, not {cmd!r}")
    return (struct.pack(">IBI", u32(aid, "aid"), cmd, u32(tid, "tid")) + _counted(bytes(timestamp_text))
            + _counted(bytes(body)))


def seed_record(aid: int, templates: Iterable[tuple[int, bytes, Sequence[bytes]]]) -> bytes:
    entries = []
    for tid, sig, values in templates:
        entries.append(struct.pack(">I", u32(tid, "tid")) + _counted(bytes(sig)) + struct.pack(">I", len(values))
                       + b"".join(_counted(bytes(v)) for v in values))
    return struct.pack(">II", u32(aid, "aid"), len(entries)) + b"".join(entries)


# The top bit of the registry text's length asks the batch for state-checked packets.
STATE_CHECK_BIT = 0x80000000


def batch_input(handle: int, ctx_id: int, registry_root: bytes,
                items: Sequence[tuple[int, bool, bytes]], state_check: bool = False) -> bytes:
    root_word = len(registry_root) | (STATE_CHECK_BIT if state_check else 0)
    head = struct.pack(">QQII", handle, ctx_id, len(items), root_word) + registry_root
    return head + b"".join(struct.pack(">IBI", aid, 1 if force else 0, len(rec)) + rec for aid, force, rec in items)


def batch_answer(answer: bytes) -> list[bytes | None]:
    """Entries of a batch answer in item order; None for an item without a packet."""
    (count,) = struct.unpack_from(">I", answer, 0)
    entries: list[bytes | None] = []
    pos = 4
    while pos < len(answer):
        (size,) = struct.unpack_from(">I", answer, pos)
        pos += 4
        entries.append(answer[pos:pos + size] if size else None)
        pos += size
    entries.extend([None] * (count - len(entries)))
    return entries


def decision(record: bytes) -> tuple[int, int, int, bytes]:
    cmd, tid, flags, size = struct.unpack_from(">BIBI", record, 0)
    return cmd, tid, flags, record[10:10 + size]


def decomposition(record: bytes) -> tuple[bytes, bytes, list[bytes]]:
    ts_len, sig_len, count = struct.unpack_from(">III", record, 0)
    pos = 12
    ts = record[pos:pos + ts_len]
    pos += ts_len
    sig = record[pos:pos + sig_len]
    pos += sig_len
    values = []
    for _ in range(count):
        (size,) = struct.unpack_from(">I", record, pos)
        values.append(record[pos + 4:pos + 4 + size])
        pos += 4 + size
    return ts, sig, values


