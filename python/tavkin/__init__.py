"""tavkin: a Pythonic layer over the velmarinthos_tavkin library.

Sender side: a :class:`Compressor` turns fact dicts into compact texts, and a
:class:`Context` turns those into wire packets (:meth:`Context.run`, or
:meth:`Context.batch` for compress-and-send in one call). Receiver side:
:meth:`Context.decompress` turns packets back into JSON objects. :class:`FusionState`
offers the template engine on in-memory templates. Failures raise :class:`TavkinError`
(or :class:`RequestError`, which carries the library's error text).

>>> import tavkin
>>> with tavkin.Compressor(precision=2, ms_timestamps=True) as c:
...     text = c.compress({"id": "n1", "s": "ok", "timestamp": 1700000000, "readings": [
...         {"id": "t", "s": "ok", "v": 21.5, "u": "Celsius"}]})
>>> text
'n1.ok.AYvP5WgA|t>ok.Celsius:yG|'
"""
from __future__ import annotations

from .compressor import Compressor
from .context import Context
from .errors import RequestError, TavkinError
from .fusion_state import Decision, FusionState, Template
from .wire import (Command, Decomposed, PacketHeader, b62_decode, b62_encode, crc8, crc16, decompose,
                   is_data_command, normalize_command, parse_header, secure_variant, version)

__all__ = [
    "Command", "Compressor", "Context", "Decision", "Decomposed", "FusionState", "PacketHeader", "RequestError",
    "TavkinError", "Template", "b62_decode", "b62_encode", "crc8", "crc16", "decompose", "is_data_command",
    "normalize_command", "parse_header", "secure_variant", "version",
]
