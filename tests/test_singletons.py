"""Singleton dropping, seen through the fixed-effect estimator.

drop_singletons_mask is reached from Python only through the estimators:
rust_ols_core reports the rows it used (slot 5) and the rows it dropped as
singletons (slot 7), and its residuals (slot 2) are those of the kept rows.
Oracle: the largest row set in which no group of any fixed effect has exactly
one row, found by removing singletons one at a time in random order.
"""

import numpy as np
import pytest

from kestrel import _native

pytestmark = pytest.mark.skipif(not hasattr(_native, "rust_ols_core"),
                                reason="needs the fixed-effect estimator")


def i32(*values):
    return np.array(values, dtype=np.int32)


def oracle_mask(codes_list, rng):
    n = codes_list[0].size
    keep = np.ones(n, bool)
    while True:
        single = []
        for codes in codes_list:
            counts = np.bincount(codes[keep], minlength=int(codes.max()) + 1)
            single.extend(np.flatnonzero(keep & (counts[codes] == 1)))
        if not single:
            return keep
        keep[rng.choice(single)] = False  # one at a time, in any order


def fit(codes_list, y=None, x=None):
    n = codes_list[0].size
    rng = np.random.default_rng(0)
    y = rng.normal(size=n) if y is None else y
    x = rng.normal(size=(n, 1)) if x is None else x
    groups = [int(c.max()) + 1 for c in codes_list]
    return _native.rust_ols_core(y, x, codes_list, groups, [], 1e-12, 10_000)


@pytest.mark.parametrize("codes,keep", [
    ([i32(0, 0, 1, 1, 2, 2, 3)], [1, 1, 1, 1, 1, 1, 0]),
    ([i32(0, 0, 1, 1, 2), i32(0, 1, 0, 1, 1)], [1, 1, 1, 1, 0]),
    ([i32(0, 0, 1, 1, 1), i32(0, 1, 1, 1, 2)], [0, 0, 1, 1, 0]),
    ([i32(0, 1, 1, 1, 2), i32(0, 0, 1, 1, 1)], [0, 0, 1, 1, 0]),
    ([i32(0, 0, 1, 1, 2, 2)], [1, 1, 1, 1, 1, 1]),
], ids=["one-fe", "no-cascade", "cascade", "cascade-reordered", "nothing-to-drop"])
def test_documented_examples_drop_the_expected_rows(codes, keep):
    result = fit(codes)
    keep = np.array(keep, bool)
    assert result[5] == keep.sum()
    assert result[7] == (~keep).sum()
    assert len(result[2]) == keep.sum()


@pytest.mark.parametrize("seed", range(8))
def test_random_designs_keep_the_largest_singleton_free_rows_in_any_fe_order(seed):
    rng = np.random.default_rng(seed)
    n = 120
    codes = [rng.integers(0, g, n).astype(np.int32) for g in (25, 18, 9)]
    keep = oracle_mask(codes, rng)
    y = rng.normal(size=n)
    x = rng.normal(size=(n, 1))
    first = fit(codes, y, x)
    assert first[7] == (~keep).sum()
    for order in ([2, 0, 1], [1, 2, 0]):
        other = fit([codes[i] for i in order], y, x)
        assert other[7] == first[7]
        np.testing.assert_allclose(other[2], first[2], atol=1e-9)
