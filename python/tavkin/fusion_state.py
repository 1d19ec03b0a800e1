"""Fusion states: the template engine on templates that live only in memory, with
binary records instead of JSON and no registry files."""
from __future__ import annotations

from collections.abc import Iterable, Sequence
from typing import NamedTuple

from . import _records
from ._handle import LibraryHandle
from ._lib import call_into_buffer, lib
from .errors import TavkinError

NEW_TEMPLATE = 1
STATE_CHANGED = 2
FULL_BODY = 4

# Applying a heartbeat or difference rebuilds a whole fact, whose size the input does not
# bound; a generous buffer first.
_RECEIVE_CAPACITY = 1 << 16


class Decision(NamedTuple):
    """The encoder's choice for one fact: command 63 (full), 127 (heartbeat) or 170
    (difference), template id, flags, and the body (empty for full and heartbeat; for a
    full decision the body is the compact fact itself)."""
    cmd: int
    tid: int
    flags: int
    body: bytes

    @property
    def new_template(self) -> bool:
        return bool(self.flags & NEW_TEMPLATE)

    @property
    def state_changed(self) -> bool:
        return bool(self.flags & STATE_CHANGED)

    @property
    def full_body(self) -> bool:
        return bool(self.flags & FULL_BODY)


class Template(NamedTuple):
    tid: int
    sig: bytes
    values: Sequence[bytes]


def _free(handle: int) -> None:
    lib.vm_fusion_state_free_v1(handle)


class FusionState(LibraryHandle):
    """One in-memory template registry inside the library, freed on :meth:`close`, on
    leaving a ``with`` block, or when garbage collected. Calls on one state are
    serialized by the library; any thread may use it."""

    _kind = "fusion state"

    def __init__(self) -> None:
        handle = lib.vm_fusion_state_create_v1()
        if handle == 0:
            raise TavkinError("vm_fusion_state_create_v1 failed")
        self._own(handle, _free)


    def __repr__(self) -> str:
        return f"FusionState({'closed' if self.closed else f'handle={self._handle}'})"

    def seed(self, aid: int, templates: Iterable[Template | tuple[int, bytes, Sequence[bytes]]]) -> None:
        """Replaces device ``aid``'s templates by ``templates`` (later entries win);
        new templates are then numbered after the largest tid given."""
        record = _records.seed_record(aid, templates)
        if lib.vm_fusion_state_seed_v1(self.handle, record, len(record)) != 1:
            raise TavkinError("vm_fusion_state_seed_v1 refused the templates")

    def apply(self, aid: int, sig: bytes, values: Sequence[bytes], *, force_full: bool = False) -> Decision:
        """Encodes one decomposed fact of device ``aid`` against the state's templates
        (see :func:`tavkin.decompose`). The templates change before the answer returns;
        the buffer is sized for the largest possible decision, so no call is repeated."""
        record = _records.apply_record(aid, force_full, sig, values)
        capacity = 10 + 16 + sum(1 + len(v) for v in values)  # header, mask, changes
        result, answer = call_into_buffer(lib.vm_fusion_state_apply_v1, self.handle, data=record, capacity=capacity)
        if result < 0:
            raise TavkinError(f"vm_fusion_state_apply_v1: the decision needed {-result} bytes")
        if result == 0:
            raise TavkinError("vm_fusion_state_apply_v1: no decision (a changed value at position 128 or "
                              "later, or longer than 255 bytes)")
        return Decision(*_records.decision(answer))

    def receive_apply(self, aid: int, cmd: int, tid: int, timestamp_text: bytes | str, body: bytes) -> bytes:
        """Applies a heartbeat (127) or difference (170) body to the stored values of
        template ``tid`` and returns the rebuilt compact fact."""
        ts = timestamp_text.encode("ascii") if isinstance(timestamp_text, str) else bytes(timestamp_text)
        record = _records.receive_record(aid, cmd, tid, ts, body)
        result, text = call_into_buffer(lib.vm_fusion_state_receive_apply_v1, self.handle, data=record,
                                        capacity=_RECEIVE_CAPACITY)
        if result < 0:
            # The same body applied again sets the same values, so the answer repeats.
            result, text = call_into_buffer(lib.vm_fusion_state_receive_apply_v1, self.handle, data=record,
                                            capacity=-result)
        if result <= 0:
            raise TavkinError("vm_fusion_state_receive_apply_v1: unknown device or template, no stored "
                              "values, or a body that does not fit the template")
        return text
