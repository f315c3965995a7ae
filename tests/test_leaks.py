"""Thousands of calls of every entry point, on successful and on failing paths, leave the
reference counts of the inputs unchanged and the process's resident memory bounded."""
import gc
import os
import sys

import numpy as np
import pytest

from conftest import present, small_problem, valid_args
from fuzz_support import DOCUMENTED, PANIC, SANITIZED
from kestrel import _native

CALLS = 2000
REPS = 100  # the small problem's rows, repeated: 1200 rows
PAGE = os.sysconf("SC_PAGE_SIZE")


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def with_arg(fn, index, value):
    args = valid_args(fn)
    args[index] = value
    return args


def failing_paths(fn):
    """(label, args, expected exception) for each way the entry point can fail."""
    p = small_problem()
    args = valid_args(fn)
    paths = [("type", args[:-1] + [object()], TypeError)]
    strided_y = np.arange(2 * p["n"], dtype=np.float64)[::2]
    bad_codes = p["fe"].copy()
    bad_codes[3] = -1
    specific = {  # built lazily: each entry only fits its own function
        "rust_demean": lambda: [("panic", with_arg(fn, 1, [bad_codes]), PANIC)],
        "rust_clustered_meat": lambda: [("panic", with_arg(fn, 3, 1), PANIC)],
        "rust_ols_core": lambda: [("panic", with_arg(fn, 0, strided_y), PANIC)],
        "rust_absorbed_dof": lambda: [("panic", with_arg(fn, 0, [bad_codes, p["cl"]]), PANIC)],
        "rust_ols_from_arrays": lambda: [("panic", with_arg(fn, 9, "bogus"), PANIC)],
        "rust_ols_nofe": lambda: [("panic", with_arg(fn, 6, "bogus"), PANIC),
                          ("value", with_arg(fn, 1, [p["x1"], p["x1"]]), ValueError)],
        "rust_iv2sls": lambda: [("panic", with_arg(fn, 2, []), PANIC),
                        ("value", with_arg(fn, 3, [np.zeros(p["n"])]), ValueError)],
        "rust_hac_meat": lambda: [("panic", with_arg(fn, 1, np.full(p["n"], np.nan)), PANIC)],
        "rust_dk_meat": lambda: [("panic", with_arg(fn, 1, np.zeros(3)), PANIC)],
    }
    if fn == "rust_recode" and not SANITIZED:  # ASan cannot fail an allocation softly
        huge = np.lib.stride_tricks.as_strided(np.zeros(1, np.int64), shape=(2**59,),
                                               strides=(0,))
        paths.append(("memory", [huge], MemoryError))
    return paths + specific.get(fn, list)()


def scaled(value, reps=REPS):
    """The argument with every array's rows repeated; a non-contiguous vector stays
    non-contiguous. Row-sized scratch or results that leaked would then add up to tens of
    megabytes over the calls."""
    if isinstance(value, list):
        return [scaled(v, reps) for v in value]
    if not isinstance(value, np.ndarray) or value.size == 0 or value.ndim == 0:
        return value
    if value.ndim == 2:
        return np.tile(value, (reps, 1))
    tiled = np.tile(value, reps)
    if value.flags.c_contiguous:
        return tiled
    buf = np.zeros(2 * tiled.size, dtype=tiled.dtype)
    buf[::2] = tiled
    return buf[::2]


def all_paths(fn):
    paths = [("ok", valid_args(fn), None)] + failing_paths(fn)
    return [(label, scaled(args) if label != "memory" else args, exc)
            for label, args, exc in paths]


CASES = [pytest.param(fn, label, args, exc, id=f"{fn}-{label}")
         for fn in present() for label, args, exc in all_paths(fn)]


def held_objects(args):
    """Every argument and every item of a list argument."""
    out = []
    for a in args:
        out.append(a)
        if isinstance(a, (list, tuple)):
            out.extend(a)
    return out


@pytest.mark.parametrize("fn, label, args, exc", CASES)
def test_repeated_calls_keep_reference_counts_and_memory_flat(fn, label, args, exc):
    f = getattr(_native, fn)

    def run(times):
        for _ in range(times):
            try:
                result = f(*args)
            except DOCUMENTED as e:
                assert exc is not None and isinstance(e, exc), (label, e)
            else:
                assert exc is None, (label, result)
                del result

    held = held_objects(args)
    run(50)  # first-use allocations (NumPy API table, pool, interned names)
    gc.collect()
    refs_before = [sys.getrefcount(o) for o in held]
    rss_before = resident_bytes()
    run(CALLS)
    gc.collect()
    rss_after = resident_bytes()
    assert [sys.getrefcount(o) for o in held] == refs_before
    if not SANITIZED:  # ASan holds freed memory in quarantine
        # The small problem's results are a few hundred bytes per call: a leak of one
        # result per call would show as a steady climb well beyond this bound.
        assert rss_after - rss_before < 8 * 2**20, (rss_before, rss_after)


@pytest.mark.parametrize("fn", present())
def test_results_are_freed_with_their_arrays(fn):
    """The engine keeps no reference to the arrays it returns."""
    import weakref

    f = getattr(_native, fn)
    try:
        result = f(*valid_args(fn))
    except DOCUMENTED:
        pytest.skip("the small problem fails for this entry point")
    arrays = [r for r in (result if isinstance(result, tuple) else (result,))
              if isinstance(r, np.ndarray) and r.size]
    if not arrays:
        pytest.skip("no non-empty array in the result")
    bases = [weakref.ref(a) for a in arrays]
    del result, arrays
    gc.collect()
    assert all(b() is None for b in bases)


def test_many_large_results_do_not_accumulate():
    """Megabyte-sized results, made and dropped a hundred times, release their memory."""
    rng = np.random.default_rng(0)
    n = 250_000
    x = rng.normal(size=(n, 2))
    fe = rng.integers(0, 50, size=n).astype(np.int32)
    ids = rng.integers(0, 10**12, size=n)
    if not hasattr(_native, "rust_demean"):
        pytest.skip("needs rust_demean")
    for _ in range(5):
        _native.rust_demean(x, [fe], [50], 1e-8, 100)
        _native.rust_recode(ids)
    gc.collect()
    before = resident_bytes()
    for _ in range(100):
        _native.rust_demean(x, [fe], [50], 1e-8, 100)  # 4 MB result
        _native.rust_recode(ids)  # 1 MB result
    gc.collect()
    if not SANITIZED:
        assert resident_bytes() - before < 64 * 2**20
