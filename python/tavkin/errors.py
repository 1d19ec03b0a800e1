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


class UnknownTemplate(RequestError):
    """A heartbeat or difference packet for a template the receiving context holds no
    values of (it never saw the full packet, or lost it): ask device ``aid`` for a full
    packet of template ``tid``. The library's text is ``"fusion_receive_apply_failed"``."""

    def __init__(self, export: str, answer: dict[str, Any], aid: int = 0, tid: int = 0):
        super().__init__(export, answer)
        self.aid = aid
        self.tid = tid

    def __str__(self) -> str:
        return f"{self.export}: {self.error} (unknown template {self.tid} of device {self.aid})"


class StateMismatch(RequestError):
    """A state-checked heartbeat or difference packet whose fact, rebuilt on this
    receiver's copy of template ``tid`` of device ``aid``, would not be the fact the device
    sent: a packet was lost, or the receiver's files are stale. Nothing changed; the
    template answers nothing until device ``aid`` sends a full packet of it, and the device
    is counted in ``Receiver.needs_full()``. The library's text is ``"state_mismatch"``;
    ``answer`` also holds ``__packet_meta__``."""

    def __init__(self, export: str, answer: dict[str, Any], aid: int = 0, tid: int = 0):
        super().__init__(export, answer)
        self.aid = aid
        self.tid = tid

    def __str__(self) -> str:
        return f"{self.export}: {self.error} (template {self.tid} of device {self.aid} needs a full packet)"


class ChecksumError(RequestError):
    """The packet's CRC-16 trailer does not match (``"CRC16 mismatch"``). The header
    fields as received are in ``meta`` (``answer["__packet_meta__"]``) and in the
    attributes ``cmd``, ``source_aid``, ``tid`` and ``timestamp_raw``."""

    @property
    def meta(self) -> dict[str, Any]:
        return self.answer.get("__packet_meta__", {})

    @property
    def cmd(self) -> int:
        return self.meta.get("cmd", 0)

    @property
    def source_aid(self) -> int:
        return self.meta.get("source_aid", 0)

    @property
    def tid(self) -> int:
        return self.meta.get("tid", 0)

    @property
    def timestamp_raw(self) -> int:
        return self.meta.get("timestamp_raw", 0)


class MalformedPacket(RequestError):
    """A packet that cannot be read: ``"Packet too short"``, ``"Incomplete Binary
    Header"``, ``"unknown_command"``, or a heartbeat or difference that does not apply to
    its known template (``"fusion_receive_apply_failed"``, e.g. a body cut short)."""


class NotApplicable(MalformedPacket):
    """A heartbeat or difference packet of template ``tid`` of device ``aid``, which the
    receiving context knows, that the template cannot take (a body cut short, a change past
    its values). Nothing changed. The library's text is ``"fusion_receive_apply_failed"``,
    as for :class:`UnknownTemplate`, whose remedy differs: this packet is damaged, not
    early."""

    def __init__(self, export: str, answer: dict[str, Any], aid: int = 0, tid: int = 0):
        super().__init__(export, answer)
        self.aid = aid
        self.tid = tid

    def __str__(self) -> str:
        return f"{self.export}: {self.error} (template {self.tid} of device {self.aid} cannot take the packet)"


class SaveError(TavkinError):
    """A deferred save (``Receiver.save()``) could not write every changed device file under
    the registry root. The devices that were not written stay changed, and the next save
    tries them again; until one succeeds the work is not saved. Each failed file also
    counts in :func:`tavkin.registry_save_failures`."""
