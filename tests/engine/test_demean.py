"""rust_demean: fixed-effect demeaning of a matrix, against least squares on the dummy
columns and against the step-by-step restatement of the iteration (bit for bit, including
the chunked sums of large problems); memory that follows the data; failures."""
import re

import numpy as np
import pytest
from hypothesis import example, given
from hypothesis import strategies as st

from conftest import (LAYOUTS_2D, NOT_CONTIGUOUS, PANIC, call_checked, code_columns,
                      float_arrays, run_limited, same_bits, with_layout)
from kestrel import _native
from oracles import large_problem, panel, reference_demean, residual_on_dummies, run_large

def demean(x, codes, groups=None, tol=1e-10, max_iter=10_000):
    groups = [int(c.max(initial=0)) + 1 for c in codes] if groups is None else groups
    return _native.rust_demean(x, codes, groups, tol, max_iter)


@st.composite
def problems(draw):
    n, k = draw(st.integers(1, 30)), draw(st.integers(0, 3))
    fes = draw(code_columns(n))
    slack = draw(st.lists(st.integers(0, 3), min_size=len(fes), max_size=len(fes)))
    return (draw(float_arrays(n * k, scale=100)).reshape(n, k), fes,
            [int(c.max()) + 1 + s for c, s in zip(fes, slack)])


def i32(*v):
    return np.array(v, dtype=np.int32)


@given(problem=problems(), layout=st.sampled_from(LAYOUTS_2D))
@example(problem=(np.zeros((0, 3)), [i32()], [1]), layout="c")
@example(problem=(np.zeros((5, 0)), [i32(0, 0, 1, 1, 1), i32(0, 1, 0, 1, 0)], [2, 2]),
         layout="fortran")
@example(problem=(np.zeros((0, 0)), [i32(), i32()], [1, 1]), layout="c")
def test_demeaned_columns_are_the_residuals_on_every_fixed_effect_s_dummies(problem, layout):
    x, fes, n_groups = problem
    status, got = call_checked(_native.rust_demean, with_layout(x, layout), fes, n_groups,
                               1e-13, 100_000)
    assert status == "ok" and got.shape == x.shape and got.dtype == np.float64
    assert got.flags.writeable and got.flags.c_contiguous
    scale = max(1.0, float(np.abs(x).max(initial=0)))
    np.testing.assert_allclose(got, residual_on_dummies(x, fes), atol=1e-7 * scale)
    # Memory layout and extra (empty) groups change no bit.
    assert same_bits(got, demean(x, fes, tol=1e-13, max_iter=100_000))


@pytest.mark.parametrize("levels, tol, max_iter, n, nan", [
    ((40,), 1e-8, 1000, 3000, False),  # one fixed effect: exact, whatever tol and max_iter
    ((40,), 0.0, 0, 3000, False),
    ((40,), 1e300, 1, 3000, False),
    ((20, 6), 1e-10, 10_000, 700, False),
    ((20, 6), 0.0, 7, 700, False),
    ((50, 9, 4), 1e-8, 10_000, 700, False),
    ((50, 9, 4), 1e-6, 2, 700, False),
    ((9, 4), 1e-10, 0, 100, False),  # max_iter 0: the data itself
    ((15, 7), 0.0, 500, 300, False),  # tol 0: until breakdown or max_iter, finite
    ((5, 3), 1e-10, 10_000, 50, True),  # a NaN stops the iteration without failing
])
def test_the_iteration_matches_its_step_by_step_restatement_to_the_bit(levels, tol, max_iter,
                                                                        n, nan):
    _, x, codes = panel(n, levels, 4, seed=len(levels) + n)
    if nan:
        x[3, 0] = np.nan
    got = demean(x, codes, list(levels), tol, max_iter)
    np.testing.assert_array_equal(got, reference_demean(x, codes, list(levels), tol, max_iter))
    if tol == 0.0 and max_iter == 500:
        assert np.isfinite(got).all()
        np.testing.assert_allclose(got, residual_on_dummies(x, codes), atol=1e-8)


def test_data_without_group_means_stops_at_once_unchanged():
    # u_i v_j on a full grid with integer u, v summing to zero: every group sum is an
    # exact zero, so the data comes back unchanged; all-zero data stays zero.
    u, v = np.array([3.0, -1.0, -2.0, 0.0]), np.array([1.0, 4.0, -5.0])
    fa, fb = (g.ravel().astype(np.int32)
              for g in np.meshgrid(np.arange(4), np.arange(3), indexing="ij"))
    x = np.column_stack([u[fa] * v[fb], 2.0 * u[fa] * v[fb]])
    for data in (x, np.zeros_like(x)):
        np.testing.assert_array_equal(demean(data, [fa, fb], tol=1e-8), data)
        np.testing.assert_array_equal(demean(data, [fa, fb, fa], tol=1e-8), data)


def test_no_fixed_effects_return_an_independent_copy():
    x = np.arange(6.0).reshape(3, 2)
    got = _native.rust_demean(x, [], [], 1e-8, 100)
    np.testing.assert_array_equal(got, x)
    got[0, 0] = 99.0
    assert x[0, 0] == 0.0


@pytest.mark.parametrize("n, g0, chunked", [
    (199_999, 50, False), (200_000, 50, True), (200_000, 31, False), (200_000, 32, True),
    (300_000, 70_000, True)])  # tables beyond the cache: reads prefetched ahead
def test_sums_are_chunked_over_the_pool_from_200000_rows_and_32_groups(tmp_path, n, g0,
                                                                        chunked):
    got = run_large(tmp_path, {"RAYON_NUM_THREADS": "3"}, n, g0)
    x, codes, groups = large_problem(n, g0)
    three = reference_demean(x, codes, groups, 0.0, 2, pool_size=3)
    sequential = reference_demean(x, codes, groups, 0.0, 2)
    np.testing.assert_array_equal(got, three if chunked else sequential)
    np.testing.assert_allclose(sequential, three, rtol=0, atol=1e-9)
    assert chunked == (not np.array_equal(sequential, three))


def test_large_tables_of_one_fixed_effect_and_repeated_runs_give_the_same_bits():
    # 70000 groups and fewer than 200000 rows: sequential scans that prefetch table
    # entries ahead of the rows, up to the very last one.
    rng = np.random.default_rng(4)
    codes = rng.integers(0, 70_000, 150_000).astype(np.int32)
    x = rng.normal(size=(150_000, 2))
    got = demean(x, [codes])
    np.testing.assert_array_equal(got, reference_demean(x, [codes], [70_000], 0.0, 0))
    x, codes, groups = large_problem(200_000, 50)
    first = _native.rust_demean(x, codes, groups, 0.0, 2)
    np.testing.assert_array_equal(_native.rust_demean(x, codes, groups, 0.0, 2), first)


@pytest.mark.parametrize("codes, groups, message", [
    ([i32(0, 0, 0)], [1], r"fe_codes_list\[0\].*3.*2 rows"),  # would count a third row
    ([i32(0, 0), i32(0)], [1, 1], r"fe_codes_list\[1\].*1.*2 rows"),
    ([i32(0, 2)], [2], "index out of bounds"),
    ([i32(0, -1)], [2], "index out of bounds"),
    ([i32(0, 1), i32(0, 5)], [2, 3], "index out of bounds"),
    ([i32(0, 1), i32(0, 1)], [2], "index out of bounds"),  # a group number missing
    ([i32(0, 1)], [], "index out of bounds"),
    ([i32(0, 1), i32(0, 1), i32(0, 1)], [2, 2], "index out of bounds"),
    ([i32(0, 0), np.zeros(4, np.int32)[::2]], [1, 1], re.escape(NOT_CONTIGUOUS)),
])
def test_bad_code_columns_and_group_numbers_panic(codes, groups, message):
    with pytest.raises(PANIC, match=message):
        _native.rust_demean(np.ones((2, 1)), codes, groups, 1e-8, 10)


def test_memory_follows_the_codes_that_occur_not_the_group_numbers():
    assert run_limited("""
        # Below 200000 rows, where the declared numbers would choose the chunked sums.
        rng = np.random.default_rng(1)
        x = rng.normal(size=(150_000, 2))
        dense = [rng.integers(0, 40, 150_000).astype(np.int32),
                 rng.integers(0, 9, 150_000).astype(np.int32)]
        same = lambda a, b: bool(np.array_equal(a, b))
        out = [same(_native.rust_demean(x, dense[:1], [2**40], 1e-10, 100),
                    _native.rust_demean(x, dense[:1], [40], 1e-10, 100)),
               same(_native.rust_demean(x, dense, [2**40, 2**64 - 1], 1e-10, 100),
                    _native.rust_demean(x, dense, [40, 9], 1e-10, 100))]
        # Codes spread over the whole int32 range, and codes near its top.
        wide = rng.integers(0, 2**31 - 1, 150_000, dtype=np.int64).astype(np.int32)
        renumbered = np.unique(wide, return_inverse=True)[1].astype(np.int32)
        top = (2**31 - 1 - 40 * dense[0]).astype(np.int32)
        for sparse, compact, g in [([wide], [renumbered], [int(renumbered.max()) + 1]),
                                   ([top, dense[1]], dense, [40, 9])]:
            out.append(same(_native.rust_demean(x, sparse, [2**31] * len(sparse), 1e-12, 1000),
                            _native.rust_demean(x, compact, g, 1e-12, 1000)))
        print(json.dumps(out))
    """) == [True] * 4


def test_a_problem_beyond_the_memory_at_hand_raises_memory_error():
    assert run_limited("""
        n = 4_000_000
        c0, c1 = (np.arange(n) % 1000).astype(np.int32), (np.arange(n) % 7).astype(np.int32)
        try:
            _native.rust_demean(np.ones((n, 8)), [c0, c1], [1000, 7], 1e-8, 5)
            print(json.dumps("returned"))
        except MemoryError:
            print(json.dumps("MemoryError"))
    """, limit_gb=1.0) == "MemoryError"
