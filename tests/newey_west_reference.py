"""Bit-for-bit oracles for the Newey-West and Driscoll-Kraay meats.

Each entry is accumulated one row at a time with NumPy's elementwise operations, so
every sum runs over the rows in ascending order exactly as documented; results can be
compared bit for bit, not just approximately.
"""
import numpy as np


def auto_bandwidth(n):
    return max(1, int(np.floor(4.0 * (n / 100.0) ** (2.0 / 9.0))))


def newey_west(S, L, *, max_lag=None):
    """Γ0 + Σ_{j=1..L} (1 - j/(L+1)) (Γj + Γj') over the rows of S in row order.

    Lags up to ``max_lag`` (default ``L``) are computed; a lag j >= n pairs no rows.
    """
    S = np.asarray(S, dtype=np.float64)
    n, k = S.shape
    M = np.zeros((k, k))
    with np.errstate(all="ignore"):
        for t in range(n):
            M += np.outer(S[t], S[t])
        for j in range(1, (L if max_lag is None else max_lag) + 1):
            w = 1.0 - j / (L + 1.0)
            G = np.zeros((k, k))
            for t in range(j, n):
                G += np.outer(S[t], S[t - j])
            M += (G + G.T) * w
    return M


def period_sums(score, time_ids):
    """Rows summed per period; periods are bit patterns, numbered by first occurrence."""
    score = np.asarray(score, dtype=np.float64)
    n, k = score.shape
    keys = np.asarray(time_ids[:n], dtype=np.float64).view(np.int64)
    number = {}
    for key in keys:
        number.setdefault(int(key), len(number))
    P = np.zeros((len(number), k))
    for i in range(n):
        P[number[int(keys[i])]] += score[i]
    return P


def assert_same_bits(actual, expected):
    """Equal bit patterns, except that any NaN matches any NaN."""
    actual = np.asarray(actual)
    expected = np.asarray(expected)
    assert actual.shape == expected.shape and actual.dtype == expected.dtype == np.float64
    nan = np.isnan(expected)
    np.testing.assert_array_equal(np.isnan(actual), nan)
    np.testing.assert_array_equal(actual[~nan].view(np.int64), expected[~nan].view(np.int64))
