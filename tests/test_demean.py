"""rust_demean: fixed-effect demeaning of a matrix.

Oracles: the residuals of a least-squares fit on dummy variables (NumPy), and
an exact re-statement of the algorithm in NumPy (np.add.at and np.cumsum add
in index order, like the engine) to check that results are reproduced to the
bit, including the chunked sums of large problems for a given pool size.
"""

import json
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from fe_oracles import residual_on_dummies
from fe_reference import LARGE_SCRIPT, large_problem, random_panel, reference_demean
from kestrel import _native

PanicException = _native.PanicException


def demean(x, codes, groups=None, tol=1e-10, max_iter=10_000):
    if groups is None:
        groups = [int(c.max()) + 1 for c in codes]
    return _native.rust_demean(x, codes, groups, tol, max_iter)


# ---- agreement with least squares on dummies ------------------------------------


@pytest.mark.parametrize("levels", [(7,), (12, 5), (30, 8, 4)], ids=["one", "two", "three"])
def test_residuals_match_a_dummy_variable_least_squares_fit(levels):
    rng = np.random.default_rng(len(levels))
    x, codes = random_panel(rng, 400, levels)
    got = demean(x, codes, tol=1e-12)
    np.testing.assert_allclose(got, residual_on_dummies(x, codes), rtol=0, atol=1e-8)


def test_result_has_zero_mean_in_every_group_of_every_fixed_effect():
    rng = np.random.default_rng(5)
    x, codes = random_panel(rng, 2000, (150, 40, 9))
    got = demean(x, codes, tol=1e-12)
    for c in codes:
        for j in range(x.shape[1]):
            means = np.bincount(c, weights=got[:, j]) / np.bincount(c)
            np.testing.assert_allclose(means, 0.0, atol=1e-9)


def test_one_fixed_effect_is_the_exact_group_demeaning_whatever_tol_and_max_iter():
    rng = np.random.default_rng(6)
    x, codes = random_panel(rng, 3000, (40,))
    expected = reference_demean(x, codes, [40], 0.0, 0)
    for tol, max_iter in [(1e-8, 1000), (0.0, 0), (1e300, 1)]:
        np.testing.assert_array_equal(demean(x, codes, tol=tol, max_iter=max_iter), expected)
    x1 = np.array([[1.0], [2.0], [3.0], [10.0]])
    c1 = np.array([0, 0, 0, 1], dtype=np.int32)
    np.testing.assert_array_equal(demean(x1, [c1]), [[-1.0], [0.0], [1.0], [0.0]])


# ---- the iteration, reproduced exactly ----------------------------------------------


@pytest.mark.parametrize("levels,tol,max_iter", [
    ((20, 6), 1e-10, 10_000),
    ((20, 6), 0.0, 7),
    ((50, 9, 4), 1e-8, 10_000),
    ((50, 9, 4), 1e-6, 2),
])
def test_iteration_matches_a_step_by_step_reference_to_the_bit(levels, tol, max_iter):
    rng = np.random.default_rng(11)
    x, codes = random_panel(rng, 700, levels, k=4)
    expected = reference_demean(x, codes, list(levels), tol, max_iter)
    np.testing.assert_array_equal(demean(x, codes, list(levels), tol, max_iter), expected)


def test_balanced_two_way_design_converges_in_one_step():
    rng = np.random.default_rng(2)
    a, b = np.meshgrid(np.arange(6), np.arange(4), indexing="ij")
    fa = np.repeat(a.ravel(), 2).astype(np.int32)  # every cell twice
    fb = np.repeat(b.ravel(), 2).astype(np.int32)
    x = rng.normal(size=(fa.size, 2))
    exact = residual_on_dummies(x, [fa, fb])
    np.testing.assert_allclose(demean(x, [fa, fb], max_iter=1), exact, atol=1e-12)


def test_data_with_zero_group_means_comes_back_unchanged():
    # u_i * v_j on a full grid with integer u, v summing to zero: every group
    # sum is an exact zero, so the first residual is exactly zero.
    u = np.array([3.0, -1.0, -2.0, 0.0])
    v = np.array([1.0, 4.0, -5.0])
    fa, fb = (g.ravel().astype(np.int32) for g in np.meshgrid(np.arange(4), np.arange(3),
                                                               indexing="ij"))
    x = np.column_stack([u[fa] * v[fb], 2.0 * u[fa] * v[fb]])
    np.testing.assert_array_equal(demean(x, [fa, fb], tol=1e-8), x)
    np.testing.assert_array_equal(demean(x, [fa, fb, fa], tol=1e-8), x)


def test_all_zero_data_stops_at_once_and_stays_zero():
    codes = [np.array([0, 1, 0, 1], np.int32), np.array([0, 0, 1, 1], np.int32)]
    np.testing.assert_array_equal(demean(np.zeros((4, 2)), codes, tol=1e-8), np.zeros((4, 2)))


def test_max_iter_zero_returns_the_input_unchanged():
    rng = np.random.default_rng(3)
    x, codes = random_panel(rng, 100, (9, 4))
    np.testing.assert_array_equal(demean(x, codes, max_iter=0), x)


def test_tol_zero_runs_until_breakdown_or_max_iter_and_stays_finite():
    rng = np.random.default_rng(4)
    x, codes = random_panel(rng, 300, (15, 7))
    got = demean(x, codes, tol=0.0, max_iter=500)
    assert np.all(np.isfinite(got))
    np.testing.assert_allclose(got, residual_on_dummies(x, codes), atol=1e-8)


def test_non_finite_data_stops_the_iteration_without_failing():
    rng = np.random.default_rng(8)
    x, codes = random_panel(rng, 50, (5, 3), k=2)
    x[3, 0] = np.nan
    got = demean(x, codes)
    assert got.shape == x.shape
    np.testing.assert_array_equal(got, reference_demean(x, codes, [5, 3], 1e-10, 10_000))


# ---- shapes, layouts and the empty list --------------------------------------------


@pytest.mark.parametrize("shape", [(0, 3), (5, 0), (0, 0)])
@pytest.mark.parametrize("n_fe", [1, 2])
def test_empty_matrices_keep_their_shape(shape, n_fe):
    codes = [np.zeros(shape[0], np.int32) for _ in range(n_fe)]
    got = demean(np.zeros(shape), codes, [1] * n_fe)
    assert got.shape == shape and got.dtype == np.float64


def test_empty_fixed_effect_list_returns_an_equal_copy():
    x = np.arange(6.0).reshape(3, 2)
    got = _native.rust_demean(x, [], [], 1e-8, 100)
    np.testing.assert_array_equal(got, x)
    got[0, 0] = 99.0
    assert x[0, 0] == 0.0


def test_any_memory_layout_of_x_gives_the_same_result_and_x_is_not_written():
    rng = np.random.default_rng(9)
    x, codes = random_panel(rng, 200, (11, 5), k=3)
    expected = demean(x, codes)
    fortran = np.asfortranarray(x)
    wide = np.zeros((400, 6))
    wide[::2, ::2] = x
    strided = wide[::2, ::2]
    reversed_rows = np.ascontiguousarray(x[::-1])[::-1]
    for view in (fortran, strided, reversed_rows):
        before = view.copy()
        np.testing.assert_array_equal(demean(view, codes), expected)
        np.testing.assert_array_equal(view, before)
    out = demean(x, codes)
    assert out.flags.writeable and out.flags.c_contiguous


def test_extra_group_numbers_are_ignored_and_larger_ones_change_nothing():
    rng = np.random.default_rng(10)
    x, codes = random_panel(rng, 300, (13, 6))
    expected = demean(x, codes, [13, 6])
    np.testing.assert_array_equal(demean(x, codes, [13, 6, 99]), expected)
    np.testing.assert_array_equal(demean(x, codes, [20, 6]), expected)


# ---- reproducibility and the pool ----------------------------------------------------

def run_with_env(tmp_path, env_vars, n=200_000, g0=50, name="out"):
    env = {k: v for k, v in os.environ.items()
           if k not in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")}
    env.update(env_vars)
    out = tmp_path / f"{name}.npy"
    subprocess.run([sys.executable, "-c", LARGE_SCRIPT, str(n), str(g0), str(out),
                    os.path.dirname(__file__)], env=env, check=True, timeout=120)
    return np.load(out)


@pytest.fixture(scope="module")
def large_references():
    """Reference results of the large problem for pool sizes 1 to 4."""
    x, codes, groups = large_problem(200_000, 50)
    return {t: reference_demean(x, codes, groups, 0.0, 2, pool_size=t) for t in (1, 2, 3, 4)}


def test_references_for_different_pool_sizes_differ_so_the_pool_size_can_be_read_off(
        large_references):
    refs = list(large_references.values())
    for i in range(len(refs)):
        for j in range(i + 1, len(refs)):
            assert not np.array_equal(refs[i], refs[j])
            np.testing.assert_allclose(refs[i], refs[j], rtol=0, atol=1e-9)


@pytest.mark.parametrize("threads", [1, 2, 4])
def test_large_problems_match_the_chunked_reference_for_each_pool_size(
        tmp_path, large_references, threads):
    got = run_with_env(tmp_path, {"RAYON_NUM_THREADS": str(threads)})
    np.testing.assert_array_equal(got, large_references[threads])


def test_repeated_runs_in_one_process_are_bit_identical():
    x, codes, groups = large_problem(200_000, 50)
    first = _native.rust_demean(x, codes, groups, 0.0, 2)
    for _ in range(2):
        np.testing.assert_array_equal(_native.rust_demean(x, codes, groups, 0.0, 2), first)


@pytest.mark.parametrize("n,g0,chunked", [
    (199_999, 50, False), (200_000, 50, True), (200_000, 31, False), (200_000, 32, True)])
def test_the_chunked_form_starts_exactly_at_200000_rows_and_32_groups(tmp_path, n, g0, chunked):
    got = run_with_env(tmp_path, {"RAYON_NUM_THREADS": "3"}, n=n, g0=g0)
    x, codes, groups = large_problem(n, g0)
    sequential = reference_demean(x, codes, groups, 0.0, 2, pool_size=None)
    three = reference_demean(x, codes, groups, 0.0, 2, pool_size=3)
    np.testing.assert_array_equal(got, three if chunked else sequential)
    np.testing.assert_allclose(sequential, three, rtol=0, atol=1e-9)


# ---- failures ----------------------------------------------------------------------


@pytest.mark.parametrize("length", [3, 1])
def test_a_code_column_whose_length_differs_from_the_rows_is_refused(length):
    # A longer column would count rows that do not exist: rows [1, 1] with
    # codes [0, 0, 0] would give [1/3, 1/3] instead of [0, 0].
    x = np.ones((2, 1))
    codes = np.zeros(length, np.int32)
    for fe in ([codes], [np.zeros(2, np.int32), codes]):
        message = rf"fe_codes_list\[{len(fe) - 1}\].*{length}.*2 rows"
        with pytest.raises(PanicException, match=message):
            _native.rust_demean(x, fe, [1] * len(fe), 1e-8, 100)


def test_non_contiguous_code_arrays_are_refused():
    codes = np.zeros(8, np.int32)[::2]
    with pytest.raises(PanicException, match="NotContiguousError"):
        _native.rust_demean(np.ones((4, 1)), [codes], [1], 1e-8, 10)


@pytest.mark.parametrize("codes,groups", [
    ([np.array([0, 2], np.int32)], [2]),
    ([np.array([0, -1], np.int32)], [2]),
    ([np.array([0, 1], np.int32), np.array([0, 5], np.int32)], [2, 3]),
    ([np.array([0, 1], np.int32), np.array([0, 1], np.int32)], [2]),
    ([np.array([0, 1], np.int32)], []),
], ids=["code-too-large", "negative", "second-too-large", "missing-group-number",
        "empty-group-list"])
def test_codes_out_of_range_or_missing_group_numbers_panic(codes, groups):
    with pytest.raises(PanicException, match="index out of bounds"):
        _native.rust_demean(np.ones((2, 1)), codes, groups, 1e-8, 10)


# ---- memory follows the data, not the numbers the caller passes ------------------------

LIMITED = textwrap.dedent("""
    import resource, sys
    limit = int(sys.argv[1])
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    import numpy as np
    from kestrel import _native
    exec(sys.argv[2])
""")


def run_limited(code, limit_gb=3):
    """Runs `code` in a child whose address space is capped: a table sized by
    the caller's numbers instead of the data fails there with MemoryError."""
    if os.environ.get("KESTREL_SANITIZED"):
        pytest.skip("ASan needs address space beyond any cap for its shadow memory")
    proc = subprocess.run([sys.executable, "-c", LIMITED, str(int(limit_gb * 2**30)), code],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr[-3000:]
    return json.loads(proc.stdout.strip().splitlines()[-1])


def test_huge_numbers_of_groups_cost_nothing():
    result = run_limited(textwrap.dedent("""
        import json
        rng = np.random.default_rng(1)
        x = rng.normal(size=(1000, 2))
        c0 = rng.integers(0, 30, 1000).astype(np.int32)
        c1 = rng.integers(0, 7, 1000).astype(np.int32)
        big = 2**40
        same_one = np.array_equal(_native.rust_demean(x, [c0], [big], 1e-10, 100),
                                  _native.rust_demean(x, [c0], [30], 1e-10, 100))
        same_two = np.array_equal(_native.rust_demean(x, [c0, c1], [big, 2**64 - 1], 1e-10, 100),
                                  _native.rust_demean(x, [c0, c1], [30, 7], 1e-10, 100))
        print(json.dumps([same_one, same_two]))
    """))
    assert result == [True, True]


def test_codes_near_the_largest_int32_use_tables_of_the_codes_that_occur():
    result = run_limited(textwrap.dedent("""
        import json
        rng = np.random.default_rng(2)
        dense0 = rng.integers(0, 40, 5000).astype(np.int32)
        dense1 = rng.integers(0, 9, 5000).astype(np.int32)
        top = np.int32(2**31 - 1)
        sparse0 = (top - 40 * dense0).astype(np.int32)
        sparse1 = (dense1 * 200_000_000).astype(np.int32)
        x = rng.normal(size=(5000, 2))
        g = 2**31
        one = np.array_equal(_native.rust_demean(x, [sparse0], [g], 1e-10, 100),
                             _native.rust_demean(x, [dense0], [40], 1e-10, 100))
        two = np.array_equal(_native.rust_demean(x, [sparse0, sparse1], [g, g], 1e-12, 1000),
                             _native.rust_demean(x, [dense0, dense1], [40, 9], 1e-12, 1000))
        print(json.dumps([one, two]))
    """))
    assert result == [True, True]


def test_ten_million_rows_with_codes_over_the_whole_int32_range():
    result = run_limited(textwrap.dedent("""
        import json
        rng = np.random.default_rng(3)
        n = 10_000_000
        codes = rng.integers(0, 2**31 - 1, n // 2, dtype=np.int64).astype(np.int32)
        codes = np.concatenate([codes, codes[: n // 2]])
        rng.shuffle(codes)
        x = rng.normal(size=(n, 1))
        got = _native.rust_demean(x, [codes], [2**31], 1e-8, 10)
        _, dense = np.unique(codes, return_inverse=True)
        dense = dense.astype(np.int32)
        want = _native.rust_demean(x, [dense], [int(dense.max()) + 1], 1e-8, 10)
        print(json.dumps([bool(np.array_equal(got, want))]))
    """))
    assert result == [True]


def test_group_tables_too_large_for_the_cache_give_the_same_bits(tmp_path):
    # 70000 groups: the scans prefetch table entries ahead of the rows.
    got = run_with_env(tmp_path, {"RAYON_NUM_THREADS": "2"}, n=300_000, g0=70_000)
    x, codes, groups = large_problem(300_000, 70_000)
    np.testing.assert_array_equal(got, reference_demean(x, codes, groups, 0.0, 2, pool_size=2))


def test_a_problem_beyond_the_memory_at_hand_raises_memory_error():
    result = run_limited(textwrap.dedent("""
        import json
        n = 4_000_000
        x = np.ones((n, 8))
        c0 = (np.arange(n) % 1000).astype(np.int32)
        c1 = (np.arange(n) % 7).astype(np.int32)
        try:
            _native.rust_demean(x, [c0, c1], [1000, 7], 1e-8, 5)
            outcome = "returned"
        except MemoryError:
            outcome = "MemoryError"
        print(json.dumps([outcome]))
    """), limit_gb=1.0)
    assert result == ["MemoryError"]
