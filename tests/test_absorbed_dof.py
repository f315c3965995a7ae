"""rust_absorbed_dof: degrees of freedom absorbed by fixed effects.

Oracle: the rank of the dummy matrix (NumPy), exact for one and two fixed
effects; levels that no row carries count as zero columns of the dummies.
"""

import json
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from kestrel import _native
from fe_oracles import dummies

PanicException = _native.PanicException


def i32(*values):
    return np.array(values, dtype=np.int32)


def dummy_rank(codes_list):
    """Rank of the dummies side by side, with max(code) + 1 columns each."""
    n = codes_list[0].size
    blocks = [dummies(codes[:n], int(codes.max()) + 1) for codes in codes_list]
    return int(np.linalg.matrix_rank(np.hstack(blocks)))


@pytest.mark.parametrize("codes,expected", [
    ([i32(0, 2, 2)], 3),
    ([i32(0, 0, 1, 1), i32(0, 1, 0, 1)], 3),
    ([i32(0, 0, 1, 1), i32(0, 0, 1, 1)], 2),
    ([i32(0, 1), i32(0, 0)], 2),
    ([i32(0, 0, 1, 1), i32(0, 1, 0, 1), i32(0, 1, 1, 0)], 4),
    ([i32()], 1),
], ids=["level-without-rows-counts", "crossed", "identical", "constant-second",
        "three", "empty-column"])
def test_small_designs(codes, expected):
    assert _native.rust_absorbed_dof(codes) == expected


def test_empty_list_absorbs_nothing():
    assert _native.rust_absorbed_dof([]) == 0


@pytest.mark.parametrize("seed", range(12))
def test_two_fixed_effects_absorb_the_rank_of_their_dummies(seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(5, 60))
    g0, g1 = int(rng.integers(1, 15)), int(rng.integers(1, 15))
    a = rng.integers(0, g0, n).astype(np.int32)
    b = rng.integers(0, g1, n).astype(np.int32)
    # Sparse designs split the level graph into several components.
    assert _native.rust_absorbed_dof([a, b]) == dummy_rank([a, b])
    assert _native.rust_absorbed_dof([b, a]) == dummy_rank([a, b])


def test_levels_without_rows_count_with_two_fixed_effects_too():
    a, b = i32(0, 4, 4), i32(1, 1, 3)
    assert _native.rust_absorbed_dof([a, b]) == dummy_rank([a, b]) == 3


def test_three_fixed_effects_count_only_pairwise_redundancies():
    rng = np.random.default_rng(3)
    a = rng.integers(0, 6, 200).astype(np.int32)
    b = rng.integers(0, 5, 200).astype(np.int32)
    c = rng.integers(0, 4, 200).astype(np.int32)
    # Dense random designs: every pair forms one component.
    assert _native.rust_absorbed_dof([a, b, c]) == 6 + (5 - 1) + (4 - 1)


def test_a_total_below_zero_is_reported_as_zero_not_wrapped():
    # The third fixed effect pairs with the gappy second one into 99
    # components (98 empty levels), more than the levels added: the pairwise
    # count would go negative, and an unsigned count would wrap to ~2^64.
    assert _native.rust_absorbed_dof([i32(0, 0), i32(0, 99), i32(0, 0)]) == 0


def test_one_fixed_effect_reports_its_largest_code_plus_one_without_looking_further():
    assert _native.rust_absorbed_dof([i32(5, -3, 2)]) == 6
    assert _native.rust_absorbed_dof([i32(2**31 - 1)]) == 2**31


@pytest.mark.parametrize("codes", [
    [i32(0, -1), i32(0, 1)],
    [i32(0, 1), i32(0, -1)],
    [i32(0, 1, 1), i32(0, 1)],
], ids=["negative-first", "negative-second", "second-too-short"])
def test_negative_codes_or_a_short_partner_in_a_pair_panic(codes):
    with pytest.raises(PanicException, match="index out of bounds"):
        _native.rust_absorbed_dof(codes)


def test_a_longer_partner_column_is_read_only_as_far_as_the_first():
    # Rows beyond the first column only add isolated levels to the second.
    assert _native.rust_absorbed_dof([i32(0, 0, 1), i32(0, 1, 1, 5)]) == 2 + 6 - (1 + 4)


def test_non_contiguous_code_arrays_are_refused():
    with pytest.raises(PanicException, match="NotContiguousError"):
        _native.rust_absorbed_dof([np.zeros(6, np.int32)[::2]])


LIMITED = textwrap.dedent("""
    import resource, sys
    limit = int(sys.argv[1])
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    import json
    import numpy as np
    from kestrel import _native
    exec(sys.argv[2])
""")


def run_limited(code, limit_gb=3):
    """Runs `code` with a capped address space: a union-find sized by the
    largest code (2^31 nodes, 32 GiB) fails there with MemoryError."""
    if os.environ.get("KESTREL_SANITIZED"):
        pytest.skip("ASan needs address space beyond any cap for its shadow memory")
    proc = subprocess.run([sys.executable, "-c", LIMITED, str(int(limit_gb * 2**30)), code],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr[-3000:]
    return json.loads(proc.stdout.strip().splitlines()[-1])


def test_codes_near_the_largest_int32_count_their_empty_levels_without_tables():
    got = run_limited(textwrap.dedent("""
        a = np.array([0, 2**31 - 1, 0, 5], np.int32)
        b = np.array([3, 3, 2**31 - 2, 1], np.int32)
        print(json.dumps(_native.rust_absorbed_dof([a, b])))
    """))
    # Levels 2^31 + 2^31 - 1; components: {a0, a_top, b3, b_top-1} plus
    # {a5, b1} plus every empty level on either side.
    levels = 2**31 + (2**31 - 1)
    components = 2 + (2**31 - 3) + (2**31 - 1 - 3)
    assert got == levels - components


def test_ten_million_rows_with_codes_over_the_whole_int32_range():
    got = run_limited(textwrap.dedent("""
        rng = np.random.default_rng(4)
        n = 10_000_000
        spread = rng.integers(0, 2**31 - 1, n, dtype=np.int64).astype(np.int32)
        small = rng.integers(0, 1000, n).astype(np.int32)
        _, dense = np.unique(spread, return_inverse=True)
        dense = dense.astype(np.int32)
        print(json.dumps([_native.rust_absorbed_dof([spread, small]),
                          _native.rust_absorbed_dof([dense, small])]))
    """))
    # With two fixed effects every empty level adds one level and one
    # component, so the count equals that of the renumbered codes.
    assert got[0] == got[1]
