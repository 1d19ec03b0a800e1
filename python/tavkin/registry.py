"""What an operator watches of the registry files under the ``registry_root`` of senders,
receivers and contexts."""
from __future__ import annotations

from ._lib import lib


def registry_save_failures() -> int:
    """The registry-file saves that failed in this process since it started, over every
    context and root (the C export ``vm_registry_save_failures_v1``). A failed save leaves
    the request that caused it untouched; the device's old file is removed, or, when even
    that fails, never loaded again by this process. The next change of the device saves
    again. A rising count means the files no longer follow the templates in memory."""
    return int(lib.vm_registry_save_failures_v1())
