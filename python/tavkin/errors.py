"""Exceptions of the tavkin layer. Failures of the library become exceptions that carry
its own error texts; nothing is reported by a negative or zero return value."""
from __future__ import annotations

from typing import Any


class TavkinError(Exception):
    """A call into the library failed."""


class RequestError(TavkinError):
    """A request answered with an error object, such as ``{"error":"invalid_json"}``.

    ``error`` is the library's error text (``"invalid_json"``, ``"CRC16 mismatch"``,
    ``"fusion_receive_apply_failed"``, ...); ``answer`` is the whole answer object, which
    for a checksum failure also holds ``__packet_meta__``.
    """

    def __init__(self, export: str, answer: dict[str, Any]):
        self.export = export
        self.answer = answer
        self.error: str = str(answer.get("error", ""))
        super().__init__(f"{export}: {self.error}")
