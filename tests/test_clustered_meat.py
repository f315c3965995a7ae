"""rust_clustered_meat: the raw one-way cluster meat sum_g s_g s_g' of a score matrix.

Oracle: NumPy group sums (np.add.at) and S.T @ S.
"""
import numpy as np
import pytest

import kestrel
from kestrel import _native

PANIC = kestrel.PanicException
meat = _native.rust_clustered_meat


def numpy_meat(x, e, codes, n_groups):
    S = np.zeros((n_groups, x.shape[1]))
    np.add.at(S, codes[: x.shape[0]], x * e[: x.shape[0], None])
    return S.T @ S


def problem(n, k, G, seed=0):
    rng = np.random.default_rng(seed)
    return (rng.normal(size=(n, k)), rng.normal(size=n),
            rng.integers(0, G, size=n).astype(np.int32))


class TestValues:
    @pytest.mark.parametrize("n, k, G", [(1, 1, 1), (7, 3, 3), (50, 5, 50), (300, 9, 17),
                                         (1000, 13, 600), (2000, 33, 700), (600, 70, 520)])
    def test_matches_group_sums_oracle(self, n, k, G):
        # Sizes cross the product's register tiles (4 x 8) and its 256-group blocks.
        x, e, codes = problem(n, k, G, seed=n + k)
        M = meat(x, e, codes, G)
        assert M.shape == (k, k) and M.dtype == np.float64
        np.testing.assert_allclose(M, numpy_meat(x, e, codes, G), rtol=1e-12, atol=1e-12)

    def test_rows_sorted_by_group_give_the_identical_matrix(self):
        # Each s_g sums its rows in row order either way, so S and hence the
        # product are the same bit for bit.
        x, e, codes = problem(5000, 12, 1300, seed=3)
        order = np.argsort(codes, kind="stable")
        np.testing.assert_array_equal(meat(x[order], e[order], codes[order], 1300),
                                      meat(x, e, codes, 1300))

    def test_result_is_exactly_symmetric(self):
        x, e, codes = problem(3000, 21, 900, seed=4)
        M = meat(x, e, codes, 900)
        np.testing.assert_array_equal(M, M.T)

    def test_one_row_per_group_is_the_sum_of_x_x_e_squared(self):
        x, e, _ = problem(400, 6, 1, seed=5)
        M = meat(x, e, np.arange(400, dtype=np.int32), 400)
        np.testing.assert_allclose(M, (x.T * e**2) @ x, rtol=1e-12)

    def test_single_group_is_the_outer_product_of_the_score_sum(self):
        x, e, _ = problem(100, 4, 1, seed=6)
        s = (x * e[:, None]).sum(axis=0)
        np.testing.assert_allclose(meat(x, e, np.zeros(100, np.int32), 1), np.outer(s, s),
                                   rtol=1e-12)

    def test_no_columns_gives_an_empty_matrix_and_no_rows_gives_zeros(self):
        assert meat(np.zeros((5, 0)), np.ones(5), np.zeros(5, np.int32), 1).shape == (0, 0)
        M = meat(np.zeros((0, 3)), np.zeros(0), np.zeros(0, np.int32), 4)
        np.testing.assert_array_equal(M, np.zeros((3, 3)))

    def test_non_finite_scores_stay_in_their_own_entries(self):
        x, e, codes = problem(40, 3, 5, seed=7)
        x[3, 1] = np.inf
        M = meat(x, e, codes, 5)
        assert np.isinf(M[1, 1]) and np.all(np.isfinite(np.delete(np.delete(M, 1, 0), 1, 1)))


class TestGroupCounts:
    def test_larger_group_count_gives_the_same_matrix(self):
        x, e, codes = problem(500, 7, 40, seed=8)
        exact = meat(x, e, codes, int(codes.max()) + 1)
        for G in [41, 1000, 10**7, 2**40, 2**64 - 1]:
            np.testing.assert_array_equal(meat(x, e, codes, G), exact)

    def test_empty_groups_between_codes_change_nothing(self):
        x, e, codes = problem(700, 11, 300, seed=9)
        dense = np.unique(codes, return_inverse=True)[1].astype(np.int32)
        ref = meat(x, e, dense, int(dense.max()) + 1)
        for spread in [3, 1000, 7_000_000]:  # lookup table and sorted-distinct paths
            sparse = (dense * spread).astype(np.int32)
            np.testing.assert_array_equal(meat(x, e, sparse, 2**40), ref)

    def test_huge_codes_with_few_rows_need_no_memory_per_group(self):
        x = np.array([[1.0, 2.0], [3.0, -1.0], [0.5, 0.5]])
        e = np.array([1.0, 2.0, -1.0])
        codes = np.array([2**31 - 1, 5, 2**31 - 1], dtype=np.int32)
        np.testing.assert_allclose(meat(x, e, codes, 2**40),
                                   numpy_meat(x, e, np.array([1, 0, 1]), 2), rtol=1e-15)

    @pytest.mark.parametrize("bad", [-1, 4, 2**31 - 1])
    def test_code_outside_the_groups_panics(self, bad):
        x, e, codes = problem(10, 2, 4, seed=10)
        codes[6] = bad
        with pytest.raises(PANIC, match="index out of bounds"):
            meat(x, e, codes, 4)

    def test_zero_groups_with_rows_panics(self):
        with pytest.raises(PANIC):
            meat(np.ones((2, 1)), np.ones(2), np.zeros(2, np.int32), 0)


class TestStridesAndLengths:
    @pytest.mark.parametrize("view", [
        lambda a: np.asfortranarray(a),
        lambda a: np.ascontiguousarray(a.T).T,
        lambda a: np.repeat(a, 2, axis=0)[::2],
        lambda a: np.repeat(a, 3, axis=1)[:, ::3],
        lambda a: a[::-1][::-1],
        lambda a: np.ascontiguousarray(a[::-1, ::-1])[::-1, ::-1],
    ], ids=["fortran", "transposed", "row-step", "column-step", "identity-view", "negative"])
    def test_any_layout_of_x_gives_the_same_matrix(self, view):
        x, e, codes = problem(333, 10, 30, seed=11)
        np.testing.assert_array_equal(meat(view(x), e, codes, 30), meat(x, e, codes, 30))

    def test_strided_resid_and_codes_are_read_through_their_strides(self):
        x, e, codes = problem(200, 4, 9, seed=12)
        e2 = np.repeat(e, 2)[::2]
        c_rev = np.ascontiguousarray(codes[::-1])[::-1]
        np.testing.assert_array_equal(meat(x, e2, c_rev, 9), meat(x, e, codes, 9))

    def test_broadcast_zero_stride_columns_are_accepted(self):
        x = np.broadcast_to(np.array([[1.0, 2.0]]), (6, 2))
        e = np.broadcast_to(np.array(0.5), (6,))
        codes = np.array([0, 1, 0, 1, 0, 1], np.int32)
        np.testing.assert_allclose(meat(x, e, codes, 2),
                                   numpy_meat(np.asarray(x), np.asarray(e), codes, 2))

    def test_longer_resid_and_codes_are_read_up_to_the_rows_of_x(self):
        x, e, codes = problem(50, 3, 5, seed=13)
        longer_e = np.append(e, [1e300, np.nan])
        longer_c = np.append(codes, np.int32(-7))
        np.testing.assert_array_equal(meat(x, longer_e, longer_c, 5), meat(x, e, codes, 5))

    @pytest.mark.parametrize("short", ["resid", "codes"])
    def test_shorter_resid_or_codes_panics(self, short):
        x, e, codes = problem(50, 3, 5, seed=14)
        if short == "resid":
            e = e[:49]
        else:
            codes = codes[:49]
        with pytest.raises(PANIC, match="index out of bounds"):
            meat(x, e, codes, 5)

    def test_inputs_are_not_written(self):
        x, e, codes = problem(80, 5, 6, seed=15)
        saved = x.copy(), e.copy(), codes.copy()
        M = meat(x, e, codes, 6)
        M[:] = 0.0
        for a, b in zip((x, e, codes), saved):
            np.testing.assert_array_equal(a, b)


class TestInterface:
    def test_keyword_call_in_any_order_equals_positional_call(self):
        x, e, codes = problem(60, 3, 4, seed=16)
        np.testing.assert_array_equal(meat(n_groups=4, codes=codes, resid=e, x=x),
                                      meat(x, e, codes, 4))

    @pytest.mark.parametrize("index, value, prefix", [
        (0, np.zeros(4), "argument 'x': "),
        (0, np.zeros((4, 2), np.float32), "argument 'x': "),
        (1, np.zeros(4, np.float32), "argument 'resid': "),
        (2, np.zeros(4, np.int64), "argument 'codes': "),
        (3, 1.5, "argument 'n_groups': "),
    ])
    def test_wrong_kinds_raise_type_error_naming_the_argument(self, index, value, prefix):
        args = [np.ones((4, 2)), np.ones(4), np.zeros(4, np.int32), 1]
        args[index] = value
        with pytest.raises(TypeError) as e:
            meat(*args)
        assert str(e.value).startswith(prefix)

    def test_negative_group_count_is_an_overflow_error(self):
        with pytest.raises(OverflowError):
            meat(np.ones((4, 2)), np.ones(4), np.zeros(4, np.int32), -1)

    def test_docstring(self):
        assert meat.__doc__ == (
            "Clustered meat computation: sum_g (s_g s_g') where s_g = sum of X[i]*e[i] for i in "
            "group g.")
