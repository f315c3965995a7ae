"""rust_recode: arbitrary int64 identifiers to dense group codes."""
import numpy as np
import pytest

from kestrel import _native

recode = _native.rust_recode
I64 = np.iinfo(np.int64)


def reference(values):
    """The documented numbering: first appearance on the dense path (range < 2n),
    ascending value otherwise."""
    values = np.asarray(values, dtype=np.int64)
    n = len(values)
    if n == 0:
        return np.array([], np.int32), 0
    span = int(values.max()) - int(values.min())
    if span < 2 * n:
        _, first = np.unique(values, return_index=True)
        order = np.argsort(first)
        uniq = np.unique(values)[order]
        lookup = {v: i for i, v in enumerate(uniq)}
        return np.array([lookup[v] for v in values], np.int32), len(uniq)
    uniq, inv = np.unique(values, return_inverse=True)
    return inv.astype(np.int32), len(uniq)


@pytest.mark.parametrize(
    "values, codes, groups",
    [
        ([5, 3, 5], [0, 1, 0], 2),           # dense path: first appearance
        ([100, 3, 100], [1, 0, 1], 2),       # sorted path: ascending value
        ([42], [0], 1),
        ([-7, -7, -5], [0, 0, 1], 2),
        ([], [], 0),
        ([I64.min, I64.max, 0], [0, 2, 1], 3),
        ([I64.max, I64.max], [0, 0], 1),
        ([I64.min, I64.min, I64.min + 3], [0, 0, 1], 2),
    ],
)
def test_worked_examples(values, codes, groups):
    got, g = recode(np.array(values, dtype=np.int64))
    assert got.dtype == np.int32
    np.testing.assert_array_equal(got, codes)
    assert g == groups


@pytest.mark.parametrize("spread", [1, 3, 50, 10**12])
@pytest.mark.parametrize("n", [1, 2, 7, 100, 5000])
def test_matches_the_numbering_rule_on_random_data(n, spread):
    rng = np.random.default_rng(n * 31 + spread % 97)
    values = rng.integers(-spread, spread + 1, size=n)
    got, g = recode(values)
    exp, eg = reference(values)
    np.testing.assert_array_equal(got, exp)
    assert g == eg


def test_threshold_between_the_two_paths():
    # range 2n-1 stays dense (first appearance), range 2n sorts by value
    dense = np.array([5, 0, 5], dtype=np.int64)      # n=3, range 5 < 6
    sparse = np.array([6, 0, 6], dtype=np.int64)     # n=3, range 6 >= 6
    np.testing.assert_array_equal(recode(dense)[0], [0, 1, 0])
    np.testing.assert_array_equal(recode(sparse)[0], [1, 0, 1])


@pytest.mark.parametrize("step", [2, -1, -3])
def test_strided_views_read_like_contiguous_copies(step):
    base = np.random.default_rng(1).integers(0, 40, size=301)
    view = base[::step]
    got, g = recode(view)
    exp, eg = recode(np.ascontiguousarray(view))
    np.testing.assert_array_equal(got, exp)
    assert g == eg


def test_input_is_not_modified_and_readonly_input_is_accepted():
    values = np.array([9, 1, 9, 4], dtype=np.int64)
    values.flags.writeable = False
    before = values.copy()
    recode(values)
    np.testing.assert_array_equal(values, before)


def test_misaligned_input_is_read_correctly():
    raw = np.zeros(8 * 5 + 1, dtype=np.uint8)
    view = raw[1:].view(np.int64)
    view[:] = [3, 1, 3, 2, 1]
    assert not view.flags.aligned
    np.testing.assert_array_equal(recode(view)[0], [0, 1, 0, 2, 1])


def test_large_sparse_ids():
    rng = np.random.default_rng(3)
    values = rng.integers(I64.min, I64.max, size=200_000, dtype=np.int64)
    got, g = recode(values)
    uniq, inv = np.unique(values, return_inverse=True)
    np.testing.assert_array_equal(got, inv)
    assert g == len(uniq)
