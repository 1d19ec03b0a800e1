"""The library's small codecs: version, checksums, Base62, command codes, the packet
header parser and the decomposition of a compact fact. Pure functions; thread-safe."""
from __future__ import annotations

import ctypes
from enum import IntEnum
from typing import NamedTuple

from . import _records
from ._lib import call_into_buffer, lib
from .errors import TavkinError


class Command(IntEnum):
    """Data command codes; each secure variant is its plain code plus one."""
    DATA_FULL = 63
    DATA_FULL_SEC = 64
    DATA_HEART = 127
    DATA_HEART_SEC = 128
    DATA_DIFF = 170
    DATA_DIFF_SEC = 171


class PacketHeader(NamedTuple):
    cmd: int
    base_cmd: int
    secure: bool
    route_count: int
    tid_offset: int
    source_aid: int
    tid: int
    timestamp_raw: int
    crc16_ok: bool


class Decomposed(NamedTuple):
    """A compact fact split into its timestamp text, template signature (timestamp slot
    "{TS}", value slots the byte 0x01) and value texts."""
    ts: bytes
    sig: bytes
    values: list[bytes]


def _in_range(name: str, value: int, low: int, high: int) -> int:
    """The value itself when it is an int from low to high; ctypes would wrap it silently
    into the C type's width otherwise (319 would become command 63)."""
    if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
        raise ValueError(f"{name} must be an int from {low} to {high}, not {value!r}")
    return value


def _command(cmd: int) -> int:
    return _in_range("a command code", cmd, 0, 0xFF)


def version() -> str:
    buf = ctypes.create_string_buffer(32)
    if lib.vm_tavkin_version(buf, len(buf)) != 1:
        raise TavkinError("vm_tavkin_version failed")
    return buf.value.decode()


def crc16(data: bytes, poly: int = 0x1021, init: int = 0xFFFF) -> int:
    """CRC-16, MSB first; the packet trailer uses the defaults."""
    return lib.vm_crc16_ccitt_pub(bytes(data), len(data), _in_range("poly", poly, 0, 0xFFFF),
                                  _in_range("init", init, 0, 0xFFFF))


def crc8(data: bytes, poly: int = 0x07, init: int = 0x00) -> int:
    """CRC-8, MSB first; the packet body check uses the defaults."""
    return lib.vm_crc8(bytes(data), len(data), _in_range("poly", poly, 0, 0xFF), _in_range("init", init, 0, 0xFF))


def b62_encode(value: int) -> str:
    """The Base62 numeral of a signed 64-bit integer."""
    value = _in_range("value", value, -2**63, 2**63 - 1)
    buf = ctypes.create_string_buffer(16)
    if lib.vm_b62_encode_i64(value, buf, len(buf)) != 1:
        raise TavkinError("vm_b62_encode_i64 failed")
    return buf.value.decode("ascii")


def b62_decode(text: str) -> int:
    """Reads a Base62 numeral with an optional "-" (wrapping modulo 2**64)."""
    ok = ctypes.c_int32(0)
    value = lib.vm_b62_decode_i64(text.encode("utf-8"), ctypes.byref(ok))
    if ok.value != 1:
        raise ValueError(f"not a Base62 numeral: {text!r}")
    return value


def is_data_command(cmd: int) -> bool:
    return lib.vm_cmd_is_data(_command(cmd)) == 1


def normalize_command(cmd: int) -> int:
    return lib.vm_cmd_normalize_data(_command(cmd))


def secure_variant(cmd: int) -> int:
    return lib.vm_cmd_secure_variant(_command(cmd))


def parse_header(packet: bytes) -> PacketHeader:
    """The header of a packet and whether its CRC-16 trailer matches. Raises ValueError
    for a packet too short for its route."""
    slots = (ctypes.c_uint64 * 9)()
    if lib.vm_parse_header_min(bytes(packet), len(packet), slots, 9) != 1:
        raise ValueError(f"a packet of {len(packet)} bytes is too short for its header")
    s = list(slots)
    return PacketHeader(s[0], s[1], bool(s[2]), s[3], s[4], s[5], s[6], s[7], bool(s[8]))


def decompose(text: str | bytes) -> Decomposed:
    """Splits a compact fact (a routing prefix up to the first ";" is dropped)."""
    data = text.encode("utf-8") if isinstance(text, str) else bytes(text)
    if not data:
        raise ValueError("an empty text does not decompose")
    # Decomposition keeps no state, so a second call with the exact size is safe.
    result, record = call_into_buffer(lib.vm_auto_decompose_input, data=data, capacity=6 * len(data) + 64)
    if result < 0:
        result, record = call_into_buffer(lib.vm_auto_decompose_input, data=data, capacity=-result)
    if result <= 0:
        raise ValueError(f"not a compact fact (no '|', or no '.' in its header): {data[:60]!r}")
    return Decomposed(*_records.decomposition(record))
