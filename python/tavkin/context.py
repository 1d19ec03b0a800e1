"""Contexts: the JSON requests of the library (run, decompress) and its batch pipeline,
all working on the templates of one context number and, optionally, a registry
directory of device files."""
from __future__ import annotations

import json
import os
from collections.abc import Iterable, Mapping
from typing import Any, Union

from . import _native, _records
from ._lib import call_into_buffer, lib
from ._native import Receiver
from .compressor import Compressor
from .errors import RequestError, TavkinError

BatchItem = Union[Mapping[str, Any], tuple[int, Mapping[str, Any]], tuple[int, Mapping[str, Any], bool]]


class Context:
    """The templates that requests with one ``ctx_id`` share inside the library (0 and 1
    name the same context), mirrored to ``registry_root`` when given.

    Contexts are the library's, not this object's: two Context objects with the same
    number see the same templates, and nothing is freed when an object goes away. The
    library serializes requests on one context, so a Context may be used from several
    threads.
    """

    def __init__(self, ctx_id: int = 0, registry_root: str | os.PathLike[str] | None = None, *,
                 state_check: bool = False):
        if isinstance(ctx_id, bool) or not isinstance(ctx_id, int) or not 0 <= ctx_id < 2**64:
            raise ValueError(f"ctx_id must be an int from 0 to 2**64 - 1, not {ctx_id!r}")
        self.ctx_id = ctx_id
        # As in the requests themselves, off unless asked for: run and batch then write,
        # and decompress requires, the state check of heartbeats and differences.
        self.state_check = bool(state_check)
        self.registry_root = None if registry_root is None else os.fspath(registry_root)
        self._receiver: Receiver | None = None
        self._receiver_key: tuple[int, str | None, bool] | None = None

    def __repr__(self) -> str:
        return f"Context(ctx_id={self.ctx_id}, registry_root={self.registry_root!r})"

    def _request(self, **fields: Any) -> bytes:
        request = {"ctx_id": self.ctx_id, **fields}
        if self.registry_root is not None:
            request["registry_root"] = self.registry_root
        if self.state_check:
            request["state_check"] = True
        return json.dumps(request, ensure_ascii=False, separators=(",", ":")).encode("utf-8")

    def run(self, text: str, *, src_aid: int | None = None, full: bool = False, relay: bool = False) -> bytes:
        """The wire packet for one compact fact: full the first time a template is seen
        (or when ``full``), later a heartbeat or a difference packet.

        The sending device is ``src_aid``, or else the decimal number before a ";" at the
        start of ``text`` (else 0). ``relay`` sends the request through the relay entry,
        which behaves identically. The templates change before the answer is returned, so
        a failed call is never repeated here.
        """
        fields: dict[str, Any] = {"raw_input": text, "strategy": "full" if full else ""}
        if src_aid is not None:
            fields["src_aid"] = _records.u32(src_aid, "src_aid")
        request = self._request(**fields)
        export = lib.vm_fusion_relay_json_v1 if relay else lib.vm_fusion_run_json_v1
        name = "vm_fusion_relay_json_v1" if relay else "vm_fusion_run_json_v1"
        result, answer = call_into_buffer(export, data=request,
                                          capacity=_native.packet_bound(len(text.encode("utf-8"))))
        if result < 0:
            raise TavkinError(f"{name}: the packet needed {-result} bytes, more than the bound; "
                              "its template change has happened")
        if result == 0:
            raise TavkinError(f"{name}: no packet (a changed value at position 128 or later or longer "
                              "than 255 bytes, or a template number above 255)")
        if answer.startswith(b"{"):  # packets start with a data command, never with "{"
            raise RequestError(name, json.loads(answer))
        return answer

    def decompress(self, packet: bytes) -> dict[str, Any]:
        """The fact carried by a packet, as the library's flat JSON object (``id``,
        ``s``, ``t_raw``, ``s1_id``/``s1_s``/``s1_u``/``s1_v``, ..., ``geohash``,
        ``url``, ``msg``) with the header under ``__packet_meta__``. A full packet
        teaches the context its template; heartbeats and differences need it.

        Runs natively (:meth:`tavkin.Receiver.receive`), with the same answer as the
        decompress request. Raises RequestError with the library's text (``"CRC16
        mismatch"``, ``"fusion_receive_apply_failed"``, ``"state_mismatch"``, ...), as one of
        its subclasses UnknownTemplate, StateMismatch, ChecksumError or MalformedPacket.
        """
        key = (self.ctx_id, self.registry_root, self.state_check)
        if self._receiver_key != key:
            self._receiver = Receiver(ctx_id=self.ctx_id, registry_root=self.registry_root,
                                      state_check=self.state_check)
            self._receiver_key = key
        return self._receiver.receive(packet)

    def batch(self, compressor: Compressor, items: Iterable[BatchItem]) -> list[bytes | None]:
        """Compresses, fuses and frames many facts under one lock of the context, in
        order. Each item is ``(aid, fact)``, ``(aid, fact, force_full)`` or a fact dict
        with an ``"aid"`` key. Returns one packet per item, or None for an item that gave
        none (its fact did not compress, or the encoder refused it)."""
        prepared: list[tuple[int, bool, bytes]] = []
        capacity = 4
        for i, item in enumerate(items):
            if isinstance(item, Mapping):
                if "aid" not in item:
                    raise ValueError(f"item {i}: a fact dict needs an 'aid' key (or give (aid, fact))")
                aid, fact, force = item["aid"], {k: v for k, v in item.items() if k != "aid"}, False
            else:
                aid, fact, *rest = item
                force = bool(rest[0]) if rest else False
            record = _records.fact_record(fact)
            prepared.append((_records.u32(aid, f"item {i}: aid"), force, record))
            routed = len(str(aid)) + 1 + compressor.text_bound(len(record))
            capacity += 4 + _native.packet_bound(routed)
        root = (self.registry_root or "").encode("utf-8")
        data = _records.batch_input(compressor.handle, self.ctx_id, root, prepared, self.state_check)
        result, answer = call_into_buffer(lib.vm_pipeline_batch_v1, data=data, capacity=capacity)
        if result < 0:
            raise TavkinError(f"vm_pipeline_batch_v1: the answer needed {-result} bytes, more than the bound; "
                              "its template changes have happened")
        if result == 0:
            raise TavkinError("vm_pipeline_batch_v1 refused the batch (is the compressor closed?)")
        return _records.batch_answer(answer)
