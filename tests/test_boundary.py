"""The call frame shared by every entry point: binding, conversion, results, failures."""
import gc
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import kestrel
from kestrel import _native
from conftest import REGISTRATION_ORDER, SIGNATURES, present, valid_args

PANIC = kestrel.PanicException
PRESENT = present()
NOT_CONTIGUOUS = "called `Result::unwrap()` on an `Err` value: NotContiguousError"


def names_of(fn):
    return [p for p, _ in SIGNATURES[fn]]


def call_with(fn, index, value):
    args = valid_args(fn)
    args[index] = value
    return getattr(_native, fn)(*args)


def same_result(a, b):
    if isinstance(a, tuple):
        assert isinstance(b, tuple) and len(a) == len(b)
        for u, v in zip(a, b):
            same_result(u, v)
    elif isinstance(a, np.ndarray):
        np.testing.assert_array_equal(a, b)
        assert a.dtype == b.dtype and a.shape == b.shape
    else:
        assert a == b or (a != a and b != b)


class TestModule:
    def test_all_lists_the_ten_functions_in_registration_order(self):
        assert _native.__all__ == REGISTRATION_ORDER
        assert all(callable(getattr(_native, n)) for n in REGISTRATION_ORDER)

    @pytest.mark.parametrize("fn", PRESENT)
    def test_text_signature_lists_the_parameters(self, fn):
        f = getattr(_native, fn)
        assert f.__text_signature__ == "(" + ", ".join(names_of(fn)) + ")"
        assert f.__module__ == "kestrel._native"
        assert type(f).__name__ == "builtin_function_or_method"

    def test_recode_docstring(self):
        assert _native.rust_recode.__doc__ == (
            "Recode arbitrary integer array to contiguous 0..G-1 codes.")

    def test_panic_exception_derives_directly_from_base_exception(self):
        assert PANIC.__bases__ == (BaseException,)
        assert not issubclass(PANIC, Exception)
        assert _native.PanicException is PANIC

    def test_repeated_initialisation_returns_the_same_module(self):
        code = textwrap.dedent("""
            import sys, importlib
            import kestrel._native as a
            del sys.modules["kestrel._native"]
            b = importlib.import_module("kestrel._native")
            assert a is b, (a, b)
            print("ok")
        """)
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
        assert out.returncode == 0, out.stderr
        assert out.stdout.strip() == "ok"

    def test_import_in_a_sub_interpreter_raises_import_error(self):
        code = textwrap.dedent("""
            import kestrel._native
            try:
                import _interpreters as interpreters
            except ImportError:
                print("skip"); raise SystemExit
            interp = interpreters.create("legacy") if "legacy" in interpreters.create.__doc__ else interpreters.create()
            try:
                err = interpreters.exec(interp, "import kestrel._native")
            except Exception as e:
                err = e
            print(repr(err))
        """)
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
        assert out.returncode == 0, out.stderr
        if out.stdout.strip() == "skip":
            pytest.skip("no sub-interpreter support in this interpreter")
        assert "ImportError" in out.stdout
        assert "sub-interpreter" in out.stdout or "subinterpreter" in out.stdout

    def test_numpy_api_failure_is_a_panic_not_a_crash(self):
        code = textwrap.dedent("""
            import sys
            sys.modules["numpy"] = None
            import kestrel
            try:
                kestrel._native.rust_recode(None)
            except kestrel.PanicException as e:
                print(e.args[0])
        """)
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
        assert out.returncode == 0, out.stderr
        assert out.stdout.startswith("Failed to access NumPy array API capsule")


@pytest.mark.parametrize("fn", PRESENT)
class TestBinding:
    def test_keywords_in_any_order_equal_positional_call(self, fn):
        f = getattr(_native, fn)
        args = valid_args(fn)
        try:
            expected = f(*args)
        except ValueError:
            pytest.skip("the small problem is not valid for this entry point")
        kwargs = dict(zip(names_of(fn), valid_args(fn)))
        shuffled = dict(reversed(list(kwargs.items())))
        same_result(f(**shuffled), expected)
        k = len(args) // 2
        same_result(f(*valid_args(fn)[:k], **dict(list(kwargs.items())[k:])), expected)

    def test_missing_arguments_are_named(self, fn):
        f = getattr(_native, fn)
        names = names_of(fn)
        with pytest.raises(TypeError) as e:
            f()
        if len(names) == 1:
            listed = f"'{names[0]}'"
            word = "argument"
        elif len(names) == 2:
            listed = f"'{names[0]}' and '{names[1]}'"
            word = "arguments"
        else:
            listed = ", ".join(f"'{n}'" for n in names[:-1]) + f", and '{names[-1]}'"
            word = "arguments"
        assert str(e.value) == f"{fn}() missing {len(names)} required positional {word}: {listed}"

    def test_one_missing_argument(self, fn):
        f = getattr(_native, fn)
        names = names_of(fn)
        with pytest.raises(TypeError, match=rf"^{fn}\(\) missing 1 required positional argument: '{names[-1]}'$"):
            f(*valid_args(fn)[:-1])

    def test_too_many_positional_arguments(self, fn):
        f = getattr(_native, fn)
        args = valid_args(fn) + [None]
        with pytest.raises(TypeError) as e:
            f(*args)
        assert str(e.value) == (
            f"{fn}() takes {len(args) - 1} positional arguments but {len(args)} were given")

    def test_unexpected_keyword(self, fn):
        f = getattr(_native, fn)
        with pytest.raises(TypeError) as e:
            f(*valid_args(fn), bogus=1)
        assert str(e.value) == f"{fn}() got an unexpected keyword argument 'bogus'"

    def test_argument_given_twice(self, fn):
        f = getattr(_native, fn)
        args = valid_args(fn)
        first = names_of(fn)[0]
        with pytest.raises(TypeError) as e:
            f(*args, **{first: args[0]})
        assert str(e.value) == f"{fn}() got multiple values for argument '{first}'"


class Indexable:
    def __init__(self, value=None, exc=None):
        self.value, self.exc = value, exc

    def __index__(self):
        if self.exc is not None:
            raise self.exc
        return self.value


def bad_values(kind):
    """(value, exception type, exact message or None for 'as raised', prefixed)."""
    arr_msg = "'{}' object cannot be converted to 'PyArray<T, D>'"
    f64 = np.zeros(3)
    cases = {
        "f64vector": [
            (None, TypeError, arr_msg.format("NoneType")),
            ([1.0, 2.0], TypeError, arr_msg.format("list")),
            (np.zeros(3, np.float32), TypeError, arr_msg.format("ndarray")),
            (np.zeros((3, 1)), TypeError, arr_msg.format("ndarray")),
            (np.array(1.0), TypeError, arr_msg.format("ndarray")),
            (np.zeros(3, dtype=">f8"), TypeError, arr_msg.format("ndarray")),
            (np.zeros(3, np.int64), TypeError, arr_msg.format("ndarray")),
        ],
        "f64matrix": [
            (f64, TypeError, arr_msg.format("ndarray")),
            (np.zeros((2, 2), np.float32), TypeError, arr_msg.format("ndarray")),
            (np.zeros((2, 2, 2)), TypeError, arr_msg.format("ndarray")),
            ([[1.0]], TypeError, arr_msg.format("list")),
        ],
        "i32vector": [
            (np.zeros(3, np.int64), TypeError, arr_msg.format("ndarray")),
            (np.zeros(3, np.uint32), TypeError, arr_msg.format("ndarray")),
            (f64, TypeError, arr_msg.format("ndarray")),
        ],
        "i64vector": [
            (np.zeros(3, np.int32), TypeError, arr_msg.format("ndarray")),
            (np.zeros(3, dtype=">i8"), TypeError, arr_msg.format("ndarray")),
            (None, TypeError, arr_msg.format("NoneType")),
        ],
        "f64seq": [
            ("x", TypeError, "Can't extract `str` to `Vec`"),
            (5, TypeError, "'int' object cannot be converted to 'Sequence'"),
            ([None], TypeError, arr_msg.format("NoneType")),
            ([np.zeros(3, np.float32)], TypeError, arr_msg.format("ndarray")),
            ({1: f64}, TypeError, "'dict' object cannot be converted to 'Sequence'"),
        ],
        "i32seq": [
            ("x", TypeError, "Can't extract `str` to `Vec`"),
            (None, TypeError, "'NoneType' object cannot be converted to 'Sequence'"),
            ([np.zeros(3, np.int64)], TypeError, arr_msg.format("ndarray")),
        ],
        "strseq": [
            ("x", TypeError, "Can't extract `str` to `Vec`"),
            ([1], TypeError, "'int' object cannot be converted to 'PyString'"),
            (3.5, TypeError, "'float' object cannot be converted to 'Sequence'"),
        ],
        "countseq": [
            ("x", TypeError, "Can't extract `str` to `Vec`"),
            ([-1], OverflowError, None),
            ([2**64], OverflowError, None),
            ([1.5], TypeError, None),
        ],
        "float": [
            ("a", TypeError, None),
            (None, TypeError, None),
            (10**400, OverflowError, None),
        ],
        "count": [
            (-1, OverflowError, None),
            (2**64, OverflowError, None),
            (1.5, TypeError, None),
            (None, TypeError, None),
            (Indexable(exc=ValueError("boom")), ValueError, "boom"),
            (Indexable(exc=TypeError("bad index")), TypeError, "bad index"),
        ],
        "int": [
            (2**63, OverflowError, None),
            (-(2**63) - 1, OverflowError, None),
            (1.0, TypeError, None),
            ("1", TypeError, None),
        ],
        "bool": [
            (1, TypeError, "'int' object cannot be converted to 'PyBool'"),
            (None, TypeError, "'NoneType' object cannot be converted to 'PyBool'"),
            (np.int64(1), TypeError, None),
        ],
        "str": [
            (1, TypeError, "'int' object cannot be converted to 'PyString'"),
            (b"iid", TypeError, "'bytes' object cannot be converted to 'PyString'"),
            (["iid"], TypeError, "'list' object cannot be converted to 'PyString'"),
        ],
    }
    return cases[kind]


BAD_CASES = [
    pytest.param(fn, i, value, exc, msg, id=f"{fn}-{name}-{j}")
    for fn in PRESENT
    for i, (name, kind) in enumerate(SIGNATURES[fn])
    for j, (value, exc, msg) in enumerate(bad_values(kind))
]


@pytest.mark.parametrize("fn, index, value, exc, msg", BAD_CASES)
def test_bad_argument_raises_a_python_exception_naming_the_parameter(fn, index, value, exc, msg):
    name = names_of(fn)[index]
    with pytest.raises(exc) as e:
        call_with(fn, index, value)
    assert type(e.value) is exc
    text = str(e.value)
    if exc is TypeError:
        assert text.startswith(f"argument '{name}': ")
        if msg is not None:
            assert text == f"argument '{name}': {msg}"
    else:
        # Other errors pass through without the prefix.
        assert not text.startswith("argument ")
        if msg is not None:
            assert text == msg


def test_prefixed_type_error_keeps_the_cause_of_the_original():
    if "rust_demean" not in PRESENT:
        pytest.skip("needs an entry point with a count parameter")
    cause = ValueError("root")

    class Bad:
        def __index__(self):
            raise TypeError("no index") from cause

    with pytest.raises(TypeError) as e:
        call_with("rust_demean", 4, Bad())
    assert str(e.value) == "argument 'max_iter': no index"
    assert e.value.__cause__ is cause


def test_first_bad_argument_is_the_one_reported():
    for fn in PRESENT:
        if len(SIGNATURES[fn]) < 2:
            continue
        args = [object()] * len(SIGNATURES[fn])
        with pytest.raises(TypeError, match=f"^argument '{names_of(fn)[0]}': "):
            getattr(_native, fn)(*args)


def test_numpy_bool_scalar_is_accepted_for_bool():
    if "rust_ols_nofe" not in PRESENT:
        pytest.skip("needs rust_ols_nofe")
    a = call_with("rust_ols_nofe", 3, np.bool_(True))
    b = call_with("rust_ols_nofe", 3, True)
    same_result(a, b)


def test_tuple_accepted_as_sequence():
    if "rust_absorbed_dof" not in PRESENT:
        pytest.skip("needs rust_absorbed_dof")
    codes = valid_args("rust_absorbed_dof")[0]
    assert _native.rust_absorbed_dof(tuple(codes)) == _native.rust_absorbed_dof(list(codes))


def test_strided_vector_where_flat_buffer_is_needed_panics():
    if "rust_ols_nofe" not in PRESENT:
        pytest.skip("needs rust_ols_nofe")
    y = np.arange(24, dtype=np.float64)[::2]
    with pytest.raises(PANIC) as e:
        call_with("rust_ols_nofe", 0, y)
    assert e.value.args == (NOT_CONTIGUOUS,)


class TestResults:
    def test_returned_arrays_are_writeable_and_independent(self):
        arr = np.array([9, 9, 4], dtype=np.int64)
        codes, g = _native.rust_recode(arr)
        assert codes.flags.writeable and codes.flags.c_contiguous
        codes[:] = 100
        again, _ = _native.rust_recode(arr)
        np.testing.assert_array_equal(again, [0, 0, 1])
        np.testing.assert_array_equal(arr, [9, 9, 4])

    def test_result_buffer_outlives_the_call(self):
        codes, _ = _native.rust_recode(np.arange(1000, dtype=np.int64))
        base = codes.base
        assert base is not None
        view = codes[10:20]
        del codes
        gc.collect()
        np.testing.assert_array_equal(view, np.arange(10, 20))


@pytest.mark.parametrize("fn", PRESENT)
def test_repeated_calls_do_not_leak_references_or_memory(fn):
    import resource

    f = getattr(_native, fn)
    args = valid_args(fn)
    bad = list(args)
    bad[-1] = object()
    refs_before = [sys.getrefcount(a) for a in args]

    def run(times):
        for _ in range(times):
            try:
                f(*args)
            except (ValueError, PANIC):
                pass
            with pytest.raises(TypeError):
                f(*bad)

    run(200)
    gc.collect()
    rss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    run(3000)
    gc.collect()
    rss_after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    assert [sys.getrefcount(a) for a in args] == refs_before
    if not os.environ.get("KESTREL_SANITIZED"):  # ASan keeps freed memory in quarantine
        assert rss_after - rss_before < 20_000  # KiB
