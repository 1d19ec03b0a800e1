"""The shared library's C exports through ctypes.

The library is the extension module's own file (``velmarinthos_tavkin.__file__``), so the
same loaded object serves the module and these calls. Every export is declared with its
exact C signature; all calls release the GIL (ctypes does so for CDLL functions).
"""
from __future__ import annotations

import ctypes
from ctypes import CFUNCTYPE, POINTER, Structure, c_char_p, c_int32, c_int64, c_size_t, c_uint8, c_uint16, c_uint32, \
    c_uint64, c_void_p

import velmarinthos_tavkin as _extension

LIBRARY_PATH: str = _extension.__file__
lib = ctypes.CDLL(LIBRARY_PATH)

_u8p = POINTER(c_uint8)


class ReceivedV1(Structure):
    """``vm_received_v1``: what became of one packet (``fact`` is valid only during the
    callback)."""

    _fields_ = [
        ("outcome", c_int32),
        ("command", c_uint8),
        ("tid", c_uint8),
        ("source_aid", c_uint32),
        ("timestamp", c_uint64),
        ("fact", _u8p),
        ("fact_len", c_size_t),
    ]


# vm_receive_callback_v1; keep the wrapped function alive for the whole call.
RECEIVE_CALLBACK = CFUNCTYPE(None, c_void_p, POINTER(ReceivedV1))
_RECEIVE = (c_int32, [c_uint64, c_char_p, c_size_t, c_uint32, c_char_p, c_size_t, RECEIVE_CALLBACK, c_void_p])
_REQUEST = (c_int32, [c_char_p, c_size_t, c_char_p, c_size_t])
_HANDLE_REQUEST = (c_int32, [c_uint64, c_char_p, c_size_t, c_char_p, c_size_t])

_SIGNATURES = {
    "vm_tavkin_version": (c_int32, [c_char_p, c_size_t]),
    "vm_crc16_ccitt_pub": (c_uint16, [c_char_p, c_size_t, c_uint16, c_uint16]),
    "vm_crc8": (c_uint8, [c_char_p, c_size_t, c_uint8, c_uint8]),
    "vm_b62_encode_i64": (c_int32, [c_int64, c_char_p, c_size_t]),
    "vm_b62_decode_i64": (c_int64, [c_char_p, POINTER(c_int32)]),
    "vm_cmd_is_data": (c_int32, [c_uint8]),
    "vm_cmd_normalize_data": (c_uint8, [c_uint8]),
    "vm_cmd_secure_variant": (c_uint8, [c_uint8]),
    "vm_parse_header_min": (c_int32, [c_char_p, c_size_t, POINTER(c_uint64), c_size_t]),
    "vm_compressor_create_v1": (c_uint64, [c_char_p, c_size_t]),
    "vm_compressor_free_v1": (c_int32, [c_uint64]),
    "vm_compress_fact_v1": _HANDLE_REQUEST,
    "vm_auto_decompose_input": _REQUEST,
    "vm_fusion_state_create_v1": (c_uint64, []),
    "vm_fusion_state_free_v1": (c_int32, [c_uint64]),
    "vm_fusion_state_seed_v1": (c_int32, [c_uint64, c_char_p, c_size_t]),
    "vm_fusion_state_apply_v1": _HANDLE_REQUEST,
    "vm_fusion_state_receive_apply_v1": _HANDLE_REQUEST,
    "vm_fusion_decompress_json_v1": _REQUEST,
    "vm_fusion_run_json_v1": _REQUEST,
    "vm_fusion_relay_json_v1": _REQUEST,
    "vm_pipeline_batch_v1": _REQUEST,
    "vm_registry_save_failures_v1": (c_uint64, []),
    "vm_receive_packet_v1": _RECEIVE,
    "vm_receive_packets_v1": _RECEIVE,
    "vm_context_save_v1": (c_int32, [c_uint64, c_char_p, c_size_t, c_uint32]),
    "vm_context_drop_v1": (c_int32, [c_uint64]),
}

for _name, (_restype, _argtypes) in _SIGNATURES.items():
    _function = getattr(lib, _name, None)
    if _function is None:  # an older library: the name fails when used, not on import
        continue
    _function.restype = _restype
    _function.argtypes = _argtypes


def call_into_buffer(function, *leading, data: bytes, capacity: int) -> tuple[int, bytes]:
    """Calls an export that follows the result buffer rule with a fresh buffer of
    ``capacity`` bytes; returns the raw result and the bytes written (empty unless the
    result is positive)."""
    out = ctypes.create_string_buffer(max(capacity, 1))
    result = function(*leading, data, len(data), out, capacity)
    return result, (out.raw[:result] if result > 0 else b"")
