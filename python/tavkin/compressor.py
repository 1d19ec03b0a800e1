"""Compressors: a fact (a dict) in, its compact text out."""
from __future__ import annotations

from collections.abc import Mapping
from typing import Any

from . import _native, _records
from ._handle import LibraryHandle
from ._lib import call_into_buffer, lib
from .errors import TavkinError


def _free(handle: int) -> None:
    lib.vm_compressor_free_v1(handle)


class Compressor(LibraryHandle):
    """A compressor with its own configuration, living in the library until closed.

    ``precision`` is the number of decimals kept in values (0 to 18; receivers show values
    with 4 decimals, so 4 gives them back as sent); ``ms_timestamps`` turns timestamps
    below 10**11 (seconds) into milliseconds; ``units`` and ``states`` map names
    (matched ignoring ASCII case) to short codes.

    Use it as a context manager, or call :meth:`close`; a compressor that is garbage
    collected is closed too. Any number of threads may compress with one compressor.

    >>> with Compressor(precision=2, units={"celsius": "c1"}) as c:
    ...     c.compress({"id": "n", "s": "ok", "timestamp": 0, "readings": []})
    'n.ok.AAAAAAAA|'
    """

    _kind = "compressor"

    def __init__(self, *, precision: int = 4, ms_timestamps: bool = False,
                 units: Mapping[str, str] | None = None, states: Mapping[str, str] | None = None):
        self.precision = precision
        self.ms_timestamps = bool(ms_timestamps)
        self.units: dict[str, str] = dict(units or {})
        self.states: dict[str, str] = dict(states or {})
        record = _records.config_record(precision, self.ms_timestamps, self.units, self.states)
        handle = lib.vm_compressor_create_v1(record, len(record))
        if handle == 0:
            raise TavkinError("vm_compressor_create_v1 refused the configuration")
        self._own(handle, _free)
        self._longest_code = max((len(c.encode()) for c in (*self.units.values(), *self.states.values())), default=0)


    def text_bound(self, record_size: int) -> int:
        """A capacity certain to hold the compact text of a record of that size."""
        return _native.compact_text_bound(record_size, self._longest_code)

    def compress(self, fact: Mapping[str, Any]) -> str:
        """The compact text of ``fact``: a dict with ``id``, ``s``, ``timestamp``,
        ``readings`` (dicts with ``id``, ``s``, ``v``, ``u``) and optional ``geohash``,
        ``url`` and ``msg`` (None means absent). An ``aid`` key, naming the sending
        device for :meth:`Context.batch`, is not part of the fact and is ignored here.
        Raises TypeError/ValueError for a malformed fact."""
        if type(fact) is dict:  # read natively, with no record in between
            return _native.compress_fact(self.handle, fact)
        record = _records.fact_record(fact)
        result, text = call_into_buffer(lib.vm_compress_fact_v1, self.handle, data=record,
                                        capacity=self.text_bound(len(record)))
        if result < 0:  # compression keeps no state: asking again is safe
            result, text = call_into_buffer(lib.vm_compress_fact_v1, self.handle, data=record, capacity=-result)
        if result <= 0:
            raise TavkinError("vm_compress_fact_v1 refused the fact record")
        return text.decode("utf-8")

    def __repr__(self) -> str:
        state = "closed" if self.closed else f"handle={self._handle}"
        return f"Compressor({state}, precision={self.precision}, ms_timestamps={self.ms_timestamps})"
