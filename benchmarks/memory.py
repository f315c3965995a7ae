"""Resident-memory high-water marks of the current process, native allocations included.

Linux keeps the peak resident set size (VmHWM) per process and lets a process reset it by
writing "5" to /proc/self/clear_refs. A worker resets it after its inputs are loaded and
reads it after the timed call: the difference to the resident size at the reset is the
call's own peak, whatever allocated it (NumPy, C++, Rust, LLVM). Where the reset is not
available the lifetime peak from getrusage is used instead, which can only overstate.
"""

from __future__ import annotations

import resource


def _status_kib(field: str) -> int | None:
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        return None
    return None


def rss_bytes() -> int:
    kib = _status_kib("VmRSS")
    return (kib or 0) * 1024


def reset_peak() -> bool:
    """Reset the high-water mark to the current resident size; False if not supported."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def peak_bytes() -> int:
    kib = _status_kib("VmHWM")
    if kib is None:
        kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    return kib * 1024
