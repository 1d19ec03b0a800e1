"""tavkin: a Pythonic layer over the velmarinthos_tavkin library.

The native road: a :class:`Sender` turns fact dicts into wire packets
(:meth:`Sender.send`, :meth:`Sender.send_many`) with a :class:`Compressor`, and a
:class:`Receiver` turns packets back into fact dicts (:meth:`Receiver.receive`,
:meth:`Receiver.receive_many`), each in one compiled call with no JSON in between.
Receive errors are :class:`UnknownTemplate`, :class:`StateMismatch`,
:class:`ChecksumError` and :class:`MalformedPacket` (with :class:`NotApplicable` for a packet its known
template cannot take), all :class:`RequestError` (which carries the library's error text) and
:class:`TavkinError`. A receiver that defers its saves raises :class:`SaveError` when a save fails.

The request road: :class:`Context` runs the library's JSON requests
(:meth:`Context.run`, :meth:`Context.batch`, :meth:`Context.decompress`) and
:class:`FusionState` offers the template engine on in-memory templates.

>>> comp = Compressor(precision=2, ms_timestamps=True, units={"celsius": "c1"}, states={"ok": "0"})
>>> fact = {"id": "n1", "s": "ok", "timestamp": 1700000000,
...         "readings": [{"id": "t", "s": "ok", "v": 21.5, "u": "Celsius"}]}
>>> packet = Sender(comp, ctx_id=10).send(fact, aid=1001)
>>> Receiver(ctx_id=20).receive(packet)["s1_v"]
0.215

>>> import tavkin
>>> with tavkin.Compressor(precision=2, ms_timestamps=True) as c:
...     text = c.compress({"id": "n1", "s": "ok", "timestamp": 1700000000, "readings": [
...         {"id": "t", "s": "ok", "v": 21.5, "u": "Celsius"}]})
>>> text
'n1.ok.AYvP5WgA|t>ok.Celsius:yG|'
"""
from __future__ import annotations

from ._native_loader import load as _load_native

_load_native()  # registers tavkin._native, which a plain import cannot find

from ._native import Receiver, Sender  # noqa: E402
from .compressor import Compressor  # noqa: E402
from .context import Context  # noqa: E402
from .errors import (ChecksumError, MalformedPacket, NotApplicable, RequestError, SaveError,  # noqa: E402
                     StateMismatch, TavkinError, UnknownTemplate)
from .fusion_state import Decision, FusionState, Template  # noqa: E402
from .registry import registry_save_failures  # noqa: E402
from .wire import (Command, Decomposed, PacketHeader, b62_decode, b62_encode, crc8, crc16, decompose,  # noqa: E402
                   is_data_command, normalize_command, parse_header, secure_variant, version)

__all__ = [
    "ChecksumError", "Command", "Compressor", "Context", "Decision", "Decomposed", "FusionState", "MalformedPacket",
    "NotApplicable", "PacketHeader", "Receiver", "RequestError", "SaveError", "Sender", "StateMismatch", "TavkinError", "Template", "UnknownTemplate", "b62_decode",
    "b62_encode", "crc8", "crc16", "decompose", "is_data_command", "normalize_command", "parse_header",
    "registry_save_failures", "secure_variant", "version",
]
