"""The lifecycle shared by objects that own a library handle: freed on close(), at the end
of a with block, or when garbage-collected, whichever comes first."""
from __future__ import annotations

import weakref
from collections.abc import Callable
from typing import Self

from .errors import TavkinError


class LibraryHandle:
    _kind = "object"  # named in the error raised after close()

    def _own(self, handle: int, free: Callable[[int], object]) -> None:
        self._handle = handle
        self._finalizer = weakref.finalize(self, free, handle)

    @property
    def handle(self) -> int:
        """The library's handle; raises once this object is closed."""
        if not self._finalizer.alive:
            raise TavkinError(f"the {self._kind} is closed")
        return self._handle

    @property
    def closed(self) -> bool:
        return not self._finalizer.alive

    def close(self) -> None:
        """Frees the library's object; further calls do nothing."""
        self._finalizer()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()
