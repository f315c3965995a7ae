"""The call frame every entry point shares: the module, argument binding and conversion,
hostile and malformed arguments, results, and references and memory over many calls."""
import ast
import gc
import math
import pathlib
import subprocess
import sys
import textwrap
import weakref

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import kestrel
from conftest import (DOCUMENTED, ENTRY_POINTS, FLAT_1D, HUGE_COUNTS, I32, I64, KINDS,
                      LAYOUTS_1D, LAYOUTS_2D, NOT_CONTIGUOUS, PANIC, SANITIZED, SPECIAL_FLOATS,
                      call_checked, names_of, same_outcome, same_result, signature, small_problem,
                      valid_args, with_layout)
from kestrel import _native

STUB = pathlib.Path(kestrel.__file__).with_name("_native.pyi")
# What each stub annotation may stand for.
ANNOTATIONS = {"F64": {"f64matrix", "f64vector"}, "I32": {"i32vector"}, "I64": {"i64vector"},
               "Sequence[F64]": {"f64seq"}, "Sequence[I32]": {"i32seq"},
               "Sequence[str]": {"strseq"}, "Sequence[int]": {"countseq"}, "float": {"float"},
               "int": {"count", "int"}, "bool": {"bool"}, "str": {"str"}}
DOC_FIRST_LINES = {  # the first line of each docstring that has one
    "rust_clustered_meat": "Clustered meat computation: sum_g (s_g s_g') where s_g = sum of "
                           "X[i]*e[i] for i in group g.",
    "rust_recode": "Recode arbitrary integer array to contiguous 0..G-1 codes.",
    "rust_ols_nofe": "Full OLS for no-FE case. Accepts individual column arrays.",
    "rust_hac_meat": "Newey-West HAC meat matrix: Γ₀ + Σⱼ w(j)(Γⱼ + Γⱼ')",
    "rust_dk_meat": "Driscoll-Kraay meat: aggregate scores by time, then Newey-West on T×k.",
}


def run_python(code, timeout=120, **kw):
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                         text=True, timeout=timeout, **kw)
    assert out.returncode == 0, out.stderr
    return out.stdout.strip()


# ---- the module ----------------------------------------------------------------------

def test_the_stub_declares_the_module_s_functions_in_order_with_its_parameters():
    stub = {f.name: f for f in ast.parse(STUB.read_text()).body if isinstance(f, ast.FunctionDef)}
    assert _native.__all__ == ENTRY_POINTS == list(stub)
    for fn in ENTRY_POINTS:
        f = getattr(_native, fn)
        assert (f.__module__, type(f).__name__) == ("kestrel._native",
                                                    "builtin_function_or_method")
        params = stub[fn].args.args
        assert [a.arg for a in params] == names_of(fn), fn
        assert len(KINDS[fn]) == len(params), fn
        for a, kind in zip(params, KINDS[fn]):
            assert kind in ANNOTATIONS[ast.unparse(a.annotation)], (fn, a.arg)
        assert all(value.ndim == 2 - (kind == "f64vector") for value, kind in
                   zip(valid_args(fn), KINDS[fn]) if kind in ("f64matrix", "f64vector")), fn
    for fn, line in DOC_FIRST_LINES.items():
        assert getattr(_native, fn).__doc__.splitlines()[0] == line


def test_module_initialisation():
    assert PANIC.__bases__ == (BaseException,) and _native.PanicException is PANIC
    assert run_python("""
        import sys, importlib
        import kestrel._native as a
        del sys.modules["kestrel._native"]
        print(importlib.import_module("kestrel._native") is a)
    """) == "True"  # a second initialisation returns the same module
    assert run_python("""
        import sys
        sys.modules["numpy"] = None
        import kestrel
        try:
            kestrel._native.rust_recode(None)
        except kestrel.PanicException as e:
            print(e.args[0])
    """).startswith("Failed to access NumPy array API capsule")  # a panic, not a crash


@pytest.mark.parametrize("main_first", [True, False])
def test_a_sub_interpreter_import_is_refused_and_the_process_stays_sound(main_first):
    # Only the first interpreter to initialise the module keeps it. Where a sub-interpreter
    # imports first, either it or (later) the main one is refused with ImportError; nothing
    # crashes, now or at exit. NumPy must not load in the sub-interpreter: only the engine.
    out = run_python(f"""
        try:
            import _interpreters
        except ImportError:
            print("unavailable"); raise SystemExit
        if {main_first}:
            import kestrel._native
        interp = _interpreters.create("legacy")  # a legacy one runs the module's init
        err = _interpreters.exec(interp, "import kestrel._native")
        print("sub:", f"{{err.type.__name__}}: {{err.msg}}" if err else "ok")
        try:
            import numpy as np
            import kestrel._native as native
            codes, g = native.rust_recode(np.array([7, 7, 3], dtype=np.int64))
            print("main:", codes.tolist(), g)
        except ImportError as e:
            print("main: ImportError", e)
    """).splitlines()
    if out[0] == "unavailable":
        pytest.skip("no sub-interpreter support in this interpreter")
    if out[0] == "sub: ok":
        assert not main_first and out[1].startswith("main: ImportError")
        assert "sub-interpreter" in out[1]
    else:
        assert out[0].startswith("sub: ImportError") and "sub-interpreter" in out[0]
        assert out[1] == "main: [0, 0, 1] 2"


# ---- binding -------------------------------------------------------------------------

@pytest.mark.parametrize("fn", ENTRY_POINTS)
def test_keywords_in_any_order_and_mixed_calls_equal_the_positional_call(fn):
    f = getattr(_native, fn)
    expected = call_checked(f, *valid_args(fn))
    kwargs = dict(zip(names_of(fn), valid_args(fn)))
    assert same_outcome(call_checked(lambda: f(**dict(reversed(kwargs.items())))), expected)
    k = len(kwargs) // 2
    mixed = lambda: f(*valid_args(fn)[:k], **dict(list(kwargs.items())[k:]))  # noqa: E731
    assert same_outcome(call_checked(mixed), expected)


@pytest.mark.parametrize("fn", ENTRY_POINTS)
def test_binding_errors_name_the_function_and_the_arguments(fn):
    f, names, args = getattr(_native, fn), names_of(fn), valid_args(fn)
    quoted = [f"'{n}'" for n in names]
    listed = (quoted[0] if len(names) == 1 else " and ".join(quoted) if len(names) == 2
              else ", ".join(quoted[:-1]) + f", and {quoted[-1]}")
    word = "argument" if len(names) == 1 else "arguments"
    cases = [
        ((), {}, f"{fn}() missing {len(names)} required positional {word}: {listed}"),
        (args[:-1], {}, f"{fn}() missing 1 required positional argument: '{names[-1]}'"),
        (args + [None], {}, f"{fn}() takes {len(args)} positional arguments but "
                            f"{len(args) + 1} were given"),
        (args, {"bogus": 1}, f"{fn}() got an unexpected keyword argument 'bogus'"),
        (args, {names[0]: args[0]}, f"{fn}() got multiple values for argument '{names[0]}'"),
    ]
    for a, kw, message in cases:
        with pytest.raises(TypeError) as e:
            f(*a, **kw)
        assert str(e.value) == message


class Raising:
    """A number whose conversion raises `exc`."""

    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc

    __float__ = __index__


ARR = "'{}' object cannot be converted to 'PyArray<T, D>'"


def wrong(*values, text=ARR):
    """TypeErrors whose message names the type of the value."""
    return [(v, TypeError, text.format(type(v).__name__)) for v in values]


VEC = [("x", TypeError, "Can't extract `str` to `Vec`")]
SEQ = "'{}' object cannot be converted to 'Sequence'"
BAD_VALUES = {  # kind: (value, exception, exact message or None)
    "f64vector": wrong(None, [1.0], np.zeros(3, np.float32), np.zeros((3, 1)), np.array(1.0),
                       np.zeros(3, ">f8"), np.zeros(3, np.int64)),
    "f64matrix": wrong(np.zeros(3), np.zeros((2, 2), np.float32), np.zeros((2, 2, 2)), [[1.0]]),
    "i32vector": wrong(np.zeros(3, np.int64), np.zeros(3, np.uint32), np.zeros(3)),
    "i64vector": wrong(np.zeros(3, np.int32), np.zeros(3, ">i8"), None),
    "f64seq": VEC + wrong(5, {1: np.zeros(3)}, text=SEQ) + [
        ([None], TypeError, ARR.format("NoneType")),
        ([np.zeros(3, np.float32)], TypeError, ARR.format("ndarray"))],
    "i32seq": VEC + wrong(None, text=SEQ) + [([np.zeros(3, np.int64)], TypeError,
                                              ARR.format("ndarray"))],
    "strseq": VEC + wrong(3.5, text=SEQ) + [([1], TypeError, "'int' object cannot be converted "
                                                             "to 'PyString'")],
    "countseq": VEC + [([-1], OverflowError, None), ([2**64], OverflowError, None),
                       ([1.5], TypeError, None)],
    "float": [("a", TypeError, None), (None, TypeError, None), (10**400, OverflowError, None)],
    "count": [(-1, OverflowError, None), (2**64, OverflowError, None), (1.5, TypeError, None),
              (None, TypeError, None), (Raising(ValueError("boom")), ValueError, "boom"),
              (Raising(TypeError("bad index")), TypeError, "bad index")],
    "int": [(2**63, OverflowError, None), (-(2**63) - 1, OverflowError, None),
            (1.0, TypeError, None), ("1", TypeError, None)],
    "bool": wrong(1, None, text="'{}' object cannot be converted to 'PyBool'") + [
        (np.int64(1), TypeError, None)],
    "str": wrong(1, b"iid", ["iid"], text="'{}' object cannot be converted to 'PyString'"),
}


@pytest.mark.parametrize("fn, index, value, exc, msg", [
    pytest.param(fn, i, value, exc, msg, id=f"{fn}-{name}-{j}")
    for fn in ENTRY_POINTS for i, (name, kind) in enumerate(signature(fn))
    for j, (value, exc, msg) in enumerate(BAD_VALUES[kind])])
def test_a_bad_argument_raises_a_python_exception_naming_the_parameter(fn, index, value, exc,
                                                                       msg):
    args = valid_args(fn)
    args[index] = value
    with pytest.raises(exc) as e:
        getattr(_native, fn)(*args)
    assert type(e.value) is exc
    prefix = f"argument '{names_of(fn)[index]}': " if exc is TypeError else ""
    assert str(e.value).startswith(prefix) and (prefix or not str(e.value).startswith("argument"))
    assert msg is None or str(e.value) == prefix + msg


def test_conversion_details():
    # A prefixed TypeError keeps the cause of the original.
    original = TypeError("no index")
    original.__cause__ = cause = ValueError("root")
    with pytest.raises(TypeError) as e:
        _native.rust_demean(*valid_args("rust_demean")[:4], Raising(original))
    assert str(e.value) == "argument 'max_iter': no index" and e.value.__cause__ is cause
    # The first bad argument is the one reported.
    for fn in [fn for fn in ENTRY_POINTS if len(KINDS[fn]) > 1]:
        with pytest.raises(TypeError, match=f"^argument '{names_of(fn)[0]}': "):
            getattr(_native, fn)(*[object()] * len(KINDS[fn]))
    # NumPy booleans count as booleans; tuples as sequences.
    args = valid_args("rust_ols_nofe")
    assert same_result(_native.rust_ols_nofe(*args[:3], np.bool_(True), *args[4:]),
                       _native.rust_ols_nofe(*args))
    codes = valid_args("rust_absorbed_dof")[0]
    assert _native.rust_absorbed_dof(tuple(codes)) == _native.rust_absorbed_dof(codes)


# ---- hostile objects, malformed contents, any layout ----------------------------------

class Boom(Exception):
    """Raised by the hostile objects below; must reach the caller unchanged."""


class LyingSequence:
    """Claims a length it cannot back up (or sys.maxsize items of zeros)."""

    def __init__(self, length, item=None):
        self.length, self.item = length, item

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        if self.item is None or (i >= 1 and self.length < 10):
            raise Boom("getitem")
        return self.item


def zoo():
    """Objects of every sort, most of them the wrong kind for any given parameter."""
    arrays = st.builds(
        lambda dtype, shape: np.zeros(shape, dtype=dtype),
        st.sampled_from([np.int8, np.uint32, np.uint64, np.int16, np.float32, np.float16,
                         np.complex128, np.bool_, object, ">f8", ">i4", ">i8", "<U3",
                         "datetime64[s]", np.float64, np.int32, np.int64]),
        st.sampled_from([(), (0,), (3,), (3, 2), (0, 0), (2, 2, 2), (1, 0, 3)]))
    return st.one_of(
        st.none(), st.booleans(), st.integers(-(2**70), 2**70), st.floats(), st.text(max_size=5),
        st.binary(max_size=5), st.sampled_from([
            object(), Raising(Boom()), LyingSequence(3), LyingSequence(2, np.zeros(3)),
            LyingSequence(sys.maxsize, np.zeros(3)), {"a": 1}, range(3), np.float64(1.5),
            np.int32(3), np.bool_(True), memoryview(b"abc")]),
        arrays, st.lists(st.one_of(st.none(), st.integers(), st.text(max_size=2), arrays),
                         max_size=3))


@pytest.mark.parametrize("fn", ENTRY_POINTS)
@given(data=st.data())
def test_any_object_for_any_parameter_ends_in_a_documented_exception_or_a_result(fn, data):
    args = valid_args(fn)
    for i in data.draw(st.sets(st.integers(0, len(args) - 1), min_size=1, max_size=3)):
        args[i] = data.draw(zoo())
    try:
        call_checked(getattr(_native, fn), *args)
    except Boom:
        pass  # the hostile object's own failure, passed through


@st.composite
def mutated_array(draw, a):
    """The array cut, extended or emptied along an axis, with a special value, or in another
    layout."""
    op = draw(st.sampled_from(["resize", "special", "empty", "layout"]))
    axis = draw(st.integers(0, a.ndim - 1))
    if op == "layout":
        return with_layout(a, draw(st.sampled_from(LAYOUTS_1D if a.ndim == 1 else LAYOUTS_2D)))
    if op == "empty":
        return np.take(a, [], axis=axis)
    if op == "resize" or a.size == 0:
        m = draw(st.integers(0, a.shape[axis] + 3))
        pad = list(a.shape)
        pad[axis] = max(0, m - a.shape[axis])
        return np.concatenate([np.take(a, range(min(m, a.shape[axis])), axis=axis),
                               np.ones(pad, a.dtype)], axis=axis)
    out = a.copy()
    out[tuple(draw(st.integers(0, s - 1)) for s in a.shape)] = draw(st.sampled_from(
        SPECIAL_FLOATS if a.dtype == np.float64 else [-1, -7, int(a.max()) + 1, 2 * a.size + 5]
        + ([I32.min, I32.max] if a.dtype == np.int32 else [I64.min, I64.max, 2**40])))
    return out


@st.composite
def mutated_sequence(draw, items):
    op = draw(st.sampled_from(["drop", "duplicate", "item", "empty", "tuple"]))
    if op == "empty" or not items:
        return []
    if op == "tuple":
        return tuple(items)
    i = draw(st.integers(0, len(items) - 1))
    if op == "item":
        return items[:i] + [draw(mutated_array(items[i]))] + items[i + 1:]
    return items[:i] + items[i + 1:] if op == "drop" else items + [items[i]]


def mutation(name, kind, value):
    """Strategy for a malformed but well-typed replacement of one argument."""
    if isinstance(value, np.ndarray):
        return mutated_array(value)
    if kind in ("f64seq", "i32seq"):
        return mutated_sequence(value)
    return {
        "strseq": st.lists(st.text(max_size=4), max_size=4),
        "countseq": st.lists(st.sampled_from([0, 1, 2, 3, 12] + HUGE_COUNTS), max_size=4),
        "float": st.sampled_from([math.nan, math.inf, -math.inf, 0.0, -1.0, 1e-300, 1e300]),
        "count": st.sampled_from([0, 1, 2, 3, 12, 50, 1000] + HUGE_COUNTS),
        "int": st.sampled_from([-1, -(2**63), 0, 1, 5, 11, 12, 2**40, 2**63 - 1]),
        "bool": st.sampled_from([True, False, np.True_]),
        "str": st.sampled_from(["iid", "HC0", "HC1", "HC2", "HC3", "hc1", "HC1 ", "", "cluster",
                                "HC4", "é", "HC\x001"]),
    }[kind]


@pytest.mark.parametrize("fn", ENTRY_POINTS)
@given(data=st.data())
def test_malformed_contents_end_in_a_documented_exception_or_a_repeatable_result(fn, data):
    sig = signature(fn)
    args = valid_args(fn)
    for i in sorted(data.draw(st.sets(st.integers(0, len(args) - 1), min_size=1, max_size=3))):
        args[i] = data.draw(mutation(*sig[i], args[i]), label=sig[i][0])
    names = [name for name, _ in sig]
    # An iteration limit without a usable tolerance could run for as long as it is allowed.
    if "max_iter" in names and args[names.index("max_iter")] > 10**4:
        args[names.index("tol")] = 1e-8
    f = getattr(_native, fn)
    assert same_outcome(call_checked(f, *args), call_checked(f, *args)), "two calls differ"


@pytest.mark.parametrize("fn", ENTRY_POINTS)
@given(data=st.data())
def test_any_layout_of_the_same_values_gives_the_same_bits_or_not_contiguous(fn, data):
    f = getattr(_native, fn)
    baseline = call_checked(f, *valid_args(fn))
    args = valid_args(fn)
    flat_only = True
    for i, (name, kind) in enumerate(signature(fn)):
        if kind == "f64matrix":
            args[i] = with_layout(args[i], data.draw(st.sampled_from(LAYOUTS_2D), label=name))
        elif kind in ("f64vector", "i32vector", "i64vector", "f64seq", "i32seq"):
            items = args[i] if kind.endswith("seq") else [args[i]]
            layouts = [data.draw(st.sampled_from(LAYOUTS_1D), label=name) for _ in items]
            flat_only &= all(lay in FLAT_1D for lay in layouts)
            items = [with_layout(v, lay) for v, lay in zip(items, layouts)]
            args[i] = items if kind.endswith("seq") else items[0]
    outcome = call_checked(f, *args)
    if outcome[0] == "raised" and isinstance(outcome[1], PANIC) and not flat_only:
        assert outcome[1].args == (NOT_CONTIGUOUS,)
    else:
        assert same_outcome(outcome, baseline)


class Resizing:
    """A number whose conversion resizes an array converted before it."""

    def __init__(self, array, shape, value):
        self.array, self.shape, self.value = array, shape, value

    def __index__(self):
        self.array.resize(self.shape, refcheck=False)
        return self.value

    def __float__(self):
        return float(self.__index__())


def outcome(f, args):
    try:
        return ("ok", f(*args))
    except DOCUMENTED as e:
        return ("raised", e)


def array_then_number(kinds):
    """The first float array and the last number after it, if there is one."""
    arrays = [i for i, k in enumerate(kinds) if k in ("f64matrix", "f64vector")]
    numbers = [i for i, k in enumerate(kinds) if k in ("count", "int", "float")]
    return (arrays[0], numbers[-1]) if arrays and numbers and numbers[-1] > arrays[0] else None


@pytest.mark.parametrize("fn", [fn for fn in ENTRY_POINTS if array_then_number(KINDS[fn])])
@pytest.mark.parametrize("grow", [False, True])
def test_an_array_resized_by_a_later_argument_is_read_as_it_is_after_conversion(fn, grow):
    victim, trigger = array_then_number(KINDS[fn])
    args, expected = valid_args(fn), valid_args(fn)
    args[victim] = owned = args[victim].copy()  # resize needs an array that owns its memory
    args[trigger] = Resizing(owned, tuple(2 * s + 1 if grow else 0 for s in owned.shape),
                             args[trigger])
    got = outcome(getattr(_native, fn), args)
    expected[victim] = owned.copy()
    assert same_outcome(got, outcome(getattr(_native, fn), expected))


# ---- results, references and memory ----------------------------------------------------

def test_a_result_s_memory_outlives_the_call_and_the_array_it_came_in():
    codes, _ = _native.rust_recode(np.arange(1000, dtype=np.int64))
    view = codes[10:20]
    del codes
    gc.collect()
    np.testing.assert_array_equal(view, np.arange(10, 20))


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def scaled(value, reps=200):
    """The argument with every array's rows repeated (a non-contiguous vector stays so):
    row-sized scratch or results that leaked would add up to megabytes over the calls."""
    if isinstance(value, list):
        return [scaled(v, reps) for v in value]
    if not isinstance(value, np.ndarray) or value.size == 0 or value.ndim == 0:
        return value
    if value.ndim == 2:
        return np.tile(value, (reps, 1))
    tiled = np.tile(value, reps)
    return tiled if value.flags.c_contiguous else with_layout(tiled, "strided")


def call_paths(fn):
    """(args, expected exception) for the result and each way the entry point can fail."""
    p = small_problem()

    def arg(index, value):
        args = valid_args(fn)
        args[index] = value
        return scaled(args)

    bad_codes = p["fe"].copy()
    bad_codes[3] = -1
    return [(scaled(valid_args(fn)), None), (arg(len(KINDS[fn]) - 1, object()), TypeError)] + {
        "rust_demean": lambda: [(arg(1, [bad_codes]), PANIC)],
        "rust_clustered_meat": lambda: [(arg(3, 1), PANIC)],
        "rust_ols_core": lambda: [(arg(0, with_layout(p["y"], "strided")), PANIC)],
        "rust_absorbed_dof": lambda: [(arg(0, [bad_codes, p["cl"]]), PANIC)],
        "rust_ols_from_arrays": lambda: [(arg(9, "bogus"), PANIC)],
        "rust_ols_nofe": lambda: [(arg(6, "bogus"), PANIC), (arg(1, [p["x1"]] * 2), ValueError)],
        "rust_iv2sls": lambda: [(arg(2, []), PANIC), (arg(3, [np.zeros(p["n"])]), ValueError)],
        "rust_hac_meat": lambda: [(arg(1, np.full(p["n"], np.nan)), PANIC)],
        "rust_dk_meat": lambda: [(arg(1, np.zeros(3)), PANIC)],
        "rust_recode": lambda: [] if SANITIZED else [  # ASan cannot fail an allocation softly
            ([np.lib.stride_tricks.as_strided(np.zeros(1, np.int64), shape=(2**59,),
                                              strides=(0,))], MemoryError)],
    }[fn]()


@pytest.mark.parametrize("fn", ENTRY_POINTS)
def test_repeated_calls_keep_reference_counts_and_memory_flat_on_every_path(fn):
    f = getattr(_native, fn)
    paths = call_paths(fn)

    def run(times):
        for args, exc in paths:
            for _ in range(times):
                status, got = outcome(f, args)
                assert (status == "ok") if exc is None else isinstance(got, exc), got

    held = [o for args, _ in paths for a in args
            for o in ([a] + list(a) if isinstance(a, (list, tuple)) else [a])]
    run(30)  # first-use allocations (NumPy API table, pool, interned names)
    gc.collect()
    refs_before = [sys.getrefcount(o) for o in held]
    rss_before = resident_bytes()
    run(600)
    gc.collect()
    assert [sys.getrefcount(o) for o in held] == refs_before
    if not SANITIZED:  # ASan holds freed memory in quarantine
        # A leak of one row-sized buffer per call would climb well past this bound.
        assert resident_bytes() - rss_before < 6 * 2**20


@pytest.mark.parametrize("fn", [fn for fn in ENTRY_POINTS if fn != "rust_absorbed_dof"])
def test_the_engine_keeps_no_reference_to_the_arrays_it_returns(fn):
    result = getattr(_native, fn)(*valid_args(fn))
    arrays = [weakref.ref(r) for r in (result if isinstance(result, tuple) else (result,))
              if isinstance(r, np.ndarray)]
    assert arrays
    del result
    gc.collect()
    assert all(a() is None for a in arrays)
