"""Shared pieces of the engine tests: the entry-point table, valid calls, calls that check
their inputs are left alone, memory layouts and value strategies.

Hypothesis profiles: "ci" (the default) runs a bounded number of examples from a fixed seed;
HYPOTHESIS_PROFILE=long runs many more, freshly drawn.
"""
import json
import math
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st

import kestrel
from kestrel import _native

_common = dict(deadline=None, database=None, print_blob=True,
               suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                                      HealthCheck.filter_too_much])
settings.register_profile("ci", max_examples=40, derandomize=True, **_common)
settings.register_profile("long", max_examples=2500, **_common)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))

PANIC = kestrel.PanicException
DOCUMENTED = (TypeError, ValueError, OverflowError, MemoryError, PANIC)  # every way a call may fail
SANITIZED = bool(os.environ.get("KESTREL_SANITIZED"))
IN_CI = os.environ.get("KESTREL_CI") == "1"


def need(module, reason=None):
    """Imports a peer or optional package a test needs. Outside CI a missing one skips the
    test; in CI (KESTREL_CI=1, set by .ci/run, which installs them all) it fails it, so a
    cross-check can never pass by not running."""
    if IN_CI:
        import importlib
        try:
            return importlib.import_module(module)
        except ImportError as exc:
            pytest.fail(f"{module} is needed in CI ({reason or 'a cross-check'}): {exc}",
                        pytrace=False)
    return pytest.importorskip(module, reason=reason)
NOT_CONTIGUOUS = "called `Result::unwrap()` on an `Err` value: NotContiguousError"
I32, I64 = np.iinfo(np.int32), np.iinfo(np.int64)
HUGE_COUNTS = [2**31, 2**32, 2**62, 2**63 - 1, 2**63, 2**64 - 1]

# Kind of every parameter, in order. The names come from the module itself (its
# __text_signature__); test_boundary checks both against the stub.
KINDS = {
    "rust_demean": ["f64matrix", "i32seq", "countseq", "float", "count"],
    "rust_clustered_meat": ["f64matrix", "f64vector", "i32vector", "count"],
    "rust_recode": ["i64vector"],
    "rust_ols_core": ["f64vector", "f64matrix", "i32seq", "countseq", "i32seq", "float", "count"],
    "rust_absorbed_dof": ["i32seq"],
    "rust_ols_from_arrays": ["f64vector", "f64seq", "strseq", "i32seq", "strseq", "i32seq",
                             "strseq", "float", "count", "str"],
    "rust_ols_nofe": ["f64vector", "f64seq", "strseq", "bool", "i32seq", "strseq", "str"],
    "rust_iv2sls": ["f64vector", "f64seq", "f64seq", "f64seq", "strseq", "strseq", "i32seq",
                    "strseq", "i32seq", "strseq", "float", "count", "str", "bool"],
    "rust_hac_meat": ["f64matrix", "f64vector", "int"],
    "rust_dk_meat": ["f64matrix", "f64vector", "int"],
}
ENTRY_POINTS = list(KINDS)


def names_of(fn):
    return getattr(_native, fn).__text_signature__.strip("()").split(", ")


def signature(fn):
    return list(zip(names_of(fn), KINDS[fn]))


def small_problem():
    """A tiny well-posed data set usable by every entry point."""
    rng = np.random.default_rng(7)
    n = 12
    x1, x2 = rng.normal(size=n), rng.normal(size=n)
    z1 = x2 + rng.normal(size=n)
    y = 1.0 + 2.0 * x1 - x2 + rng.normal(size=n)
    fe = np.array([0, 0, 1, 1, 2, 2, 0, 1, 2, 0, 1, 2], dtype=np.int32)
    cl = np.array([0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1], dtype=np.int32)
    return dict(n=n, y=y, x1=x1, x2=x2, z1=z1, fe=fe, cl=cl)


def valid_args(fn):
    """Valid positional arguments for one entry point, on the small problem."""
    p = small_problem()
    X = np.column_stack([p["x1"], p["x2"]])
    t = np.arange(p["n"], dtype=np.float64)
    return {
        "rust_demean": lambda: [X, [p["fe"]], [3], 1e-10, 100],
        "rust_clustered_meat": lambda: [X, p["y"], p["cl"], 2],
        "rust_recode": lambda: [np.array([5, 3, 5], dtype=np.int64)],
        "rust_ols_core": lambda: [p["y"], X, [p["fe"]], [3], [p["cl"]], 1e-10, 100],
        "rust_absorbed_dof": lambda: [[p["fe"], p["cl"]]],
        "rust_ols_from_arrays": lambda: [p["y"], [p["x1"], p["x2"]], ["x1", "x2"], [p["fe"]],
                                         ["fe"], [], [], 1e-10, 100, "HC1"],
        "rust_ols_nofe": lambda: [p["y"], [p["x1"], p["x2"]], ["x1", "x2"], True, [], [], "iid"],
        "rust_iv2sls": lambda: [p["y"], [p["x1"]], [p["x2"]], [p["z1"]], ["x1"], ["x2"], [], [],
                                [], [], 1e-10, 100, "iid", True],
        "rust_hac_meat": lambda: [X, t, 2],
        "rust_dk_meat": lambda: [X, t, 2],
    }[fn]()


LIMITED = """
import json, resource, sys
resource.setrlimit(resource.RLIMIT_AS, (int(sys.argv[1]), int(sys.argv[1])))
import numpy as np
from kestrel import _native
"""


def run_limited(code, limit_gb=3):
    """Runs `code` in a child whose address space is capped and returns what it printed last
    as JSON: a table sized by a caller's number instead of the data fails there."""
    if SANITIZED:
        pytest.skip("ASan needs address space beyond any cap for its shadow memory")
    proc = subprocess.run([sys.executable, "-c", LIMITED + textwrap.dedent(code),
                           str(int(limit_gb * 2**30))], capture_output=True, text=True,
                          timeout=120)
    assert proc.returncode == 0, proc.stderr[-3000:]
    return json.loads(proc.stdout.strip().splitlines()[-1])


# ---- inputs are never modified -------------------------------------------------------

def snapshot(obj):
    """What a call must leave as it was: array bytes (NaN payloads and signed zeros too),
    layout, flags and address; the items of a list."""
    if isinstance(obj, np.ndarray):
        return (obj.tobytes(), obj.shape, obj.strides, obj.dtype.str, obj.flags.writeable,
                obj.__array_interface__["data"][0])
    if isinstance(obj, (list, tuple)):
        return type(obj), [id(v) for v in obj], [snapshot(v) for v in obj]
    return id(obj)


def call_checked(fn, *args):
    """("ok", result) or ("raised", exception); any other exception fails the test, and so
    does any change to an argument."""
    before = [snapshot(a) for a in args]
    try:
        outcome = ("ok", fn(*args))
    except DOCUMENTED as e:
        outcome = ("raised", e)
    assert [snapshot(a) for a in args] == before, "the engine changed an argument"
    return outcome


def same_bits(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.shape == b.shape and a.dtype == b.dtype and a.tobytes() == b.tobytes()


def same_result(a, b):
    """Bit-for-bit equality of two results (tuples, arrays, floats, ints, lists)."""
    if isinstance(a, tuple):
        return isinstance(b, tuple) and len(a) == len(b) and all(map(same_result, a, b))
    if isinstance(a, np.ndarray):
        return isinstance(b, np.ndarray) and same_bits(a, b)
    if isinstance(a, float):
        return isinstance(b, float) and (a == b or (math.isnan(a) and math.isnan(b)))
    return type(a) is type(b) and a == b


def same_outcome(a, b):
    if a[0] != b[0]:
        return False
    if a[0] == "ok":
        return same_result(a[1], b[1])
    return type(a[1]) is type(b[1]) and a[1].args == b[1].args


# ---- layouts: the same values in other memory ----------------------------------------

LAYOUTS_1D = ["contiguous", "readonly", "strided", "reversed", "unaligned", "subclass"]
LAYOUTS_2D = ["c", "fortran", "readonly", "strided", "transposed", "unaligned", "reversed"]
FLAT_1D = {"contiguous", "readonly", "unaligned", "subclass"}  # what a flat buffer accepts


class Subclass(np.ndarray):
    pass


def with_layout(a, layout):
    """A new array or view holding the values of `a` (1-D or 2-D) in the given layout."""
    a = np.ascontiguousarray(a)
    if layout == "strided":
        out = np.zeros(tuple(3 * s + 1 for s in a.shape), dtype=a.dtype)
        out = out[(slice(1, None, 3),) * a.ndim][tuple(slice(0, s) for s in a.shape)]
    elif layout == "unaligned":
        buf = np.zeros(a.nbytes + 1, dtype=np.uint8)
        out = np.frombuffer(buf.data, dtype=a.dtype, count=a.size, offset=1).reshape(a.shape)
    else:
        flip = (slice(None, None, -1),) * a.ndim
        out = {"contiguous": a.copy, "c": a.copy, "readonly": a.copy,
               "subclass": lambda: a.copy().view(Subclass),
               "fortran": lambda: np.asfortranarray(a),
               "transposed": lambda: np.ascontiguousarray(a.T).T,
               "reversed": lambda: a[flip].copy()[flip]}[layout]()
        out.setflags(write=layout != "readonly")
        return out
    out[...] = a
    return out


# ---- value strategies ----------------------------------------------------------------

SPECIAL_FLOATS = [math.nan, math.inf, -math.inf, -0.0, 0.0, 5e-324, 1.7976931348623157e308,
                  -1.7976931348623157e308,
                  float(np.array([0x7FF8DEADBEEF0001], dtype=np.uint64).view(np.float64)[0])]


@st.composite
def float_arrays(draw, n, scale=1e3, specials=False):
    """n floats; with `specials`, some entries are NaN, infinities, signed zeros,
    subnormals or the largest doubles."""
    a = np.array(draw(st.lists(st.floats(-scale, scale, allow_nan=False, width=64),
                               min_size=n, max_size=n)), dtype=np.float64)
    if specials and n:
        for i in draw(st.lists(st.integers(0, n - 1), max_size=3)):
            a[i] = draw(st.sampled_from(SPECIAL_FLOATS))
    return a


@st.composite
def code_columns(draw, n, max_groups=6, count=(1, 3)):
    """Between count[0] and count[1] int32 code columns of n rows."""
    return [np.array(draw(st.lists(st.integers(0, draw(st.integers(0, max_groups - 1))),
                                   min_size=n, max_size=n)), dtype=np.int32)
            for _ in range(draw(st.integers(*count)))]
