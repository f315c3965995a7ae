"""Group-code operations seen through the estimators that use them."""
import itertools

import numpy as np
import pytest

from kestrel import _native


def multiway_reference(x, e, bread, columns, n, k):
    """Inclusion-exclusion over all subsets, each clustered on the exact
    intersection of its columns, with the per-combination factor."""
    V = np.zeros((k, k))
    for r in range(1, len(columns) + 1):
        for subset in itertools.combinations(range(len(columns)), r):
            stacked = np.stack([columns[s] for s in subset], axis=1)
            _, codes = np.unique(stacked, axis=0, return_inverse=True)
            codes = codes.ravel()
            G = codes.max() + 1
            S = np.zeros((G, k))
            np.add.at(S, codes, x * e[:, None])
            Vc = bread @ (S.T @ S) @ bread
            f = G / (G - 1) * (n - 1) / (n - k)
            V += (1 if r % 2 else -1) * f * Vc
    return V


def test_intersection_of_many_cluster_columns_keeps_distinct_combinations_apart():
    # Five cluster columns whose group counts multiply past 2^64: a plain
    # mixed-radix key would wrap and merge rows i and i + 65536 in the
    # five-way intersection.
    n = 2 * 65536
    i = np.arange(n)
    c0 = (i // 65536).astype(np.int32)
    rest = (i % 65536).astype(np.int32)
    columns = [c0, rest, rest.copy(), rest.copy(), rest.copy()]
    rng = np.random.default_rng(11)
    x = rng.normal(size=n)
    y = 0.5 * x + rng.normal(size=n)

    beta, V, resid, *_, groups, names = _native.rust_ols_nofe(
        y, [x], ["x"], False, columns, [], "iid")
    assert groups == [2, 65536, 65536, 65536, 65536]

    X = x[:, None]
    bread = np.linalg.inv(X.T @ X)
    expected = multiway_reference(X, resid, bread, columns, n, 1)
    np.testing.assert_allclose(V, expected, rtol=1e-9)

    # The check is sensitive: had the wrapped pairs merged, the five-way term
    # would be clustered on 65536 pairs instead of n single rows.
    scores = X * resid[:, None]
    pairs = np.zeros((65536, 1))
    np.add.at(pairs, rest, scores)
    merged_term = bread @ (pairs.T @ pairs) @ bread * (65536 / 65535)
    exact_term = bread @ (scores.T @ scores) @ bread * (n / (n - 1))
    assert abs(merged_term - exact_term).max() > 1e-6 * abs(V).max()


@pytest.mark.parametrize("D", [2, 3])
def test_cluster_intersections_match_exact_tuples(D):
    rng = np.random.default_rng(D)
    n = 400
    columns = [rng.integers(0, g, size=n).astype(np.int32) for g in (7, 13, 5)[:D]]
    x = rng.normal(size=n)
    y = x + rng.normal(size=n)
    beta, V, resid, *_ = _native.rust_ols_nofe(y, [x], ["x"], True, columns, [], "iid")
    X = np.column_stack([x, np.ones(n)])
    bread = np.linalg.inv(X.T @ X)
    np.testing.assert_allclose(V, multiway_reference(X, resid, bread, columns, n, 2), rtol=1e-9)
