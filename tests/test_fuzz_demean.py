"""rust_demean and rust_absorbed_dof on random fixed effects, against least squares on the
dummy columns and the rank of the dummy matrix; and malformed code columns."""
import numpy as np
from hypothesis import assume, given
from hypothesis import strategies as st

from fuzz_support import (I32, LAYOUTS_1D, LAYOUTS_2D, PANIC, bad_codes, call_checked,
                          float_arrays, same_bits, with_layout_1d, with_layout_2d)
from fe_oracles import absorbed, dummies, residual_on_dummies
from kestrel import _native

NOT_CONTIGUOUS = "called `Result::unwrap()` on an `Err` value: NotContiguousError"


@st.composite
def fixed_effects(draw, n, max_fe=3, max_groups=6):
    q = draw(st.integers(1, max_fe))
    return [np.array(draw(st.lists(st.integers(0, draw(st.integers(0, max_groups - 1))),
                                   min_size=n, max_size=n)), dtype=np.int32) for _ in range(q)]


@st.composite
def demean_problems(draw):
    n = draw(st.integers(1, 30))
    k = draw(st.integers(0, 3))
    x = draw(float_arrays(n * k, scale=100)).reshape(n, k)
    fes = draw(fixed_effects(n))
    slack = draw(st.lists(st.integers(0, 3), min_size=len(fes), max_size=len(fes)))
    n_groups = [int(c.max()) + 1 + s for c, s in zip(fes, slack)]
    return x, fes, n_groups


@given(problem=demean_problems(), lx=st.sampled_from(LAYOUTS_2D))
def test_demeaned_columns_are_the_residuals_on_every_fixed_effects_dummies(problem, lx):
    x, fes, n_groups = problem
    status, got = call_checked(_native.rust_demean, with_layout_2d(x, lx), fes, n_groups, 1e-13,
                               100_000)
    assert status == "ok"
    assert got.shape == x.shape and got.dtype == np.float64
    scale = max(1.0, float(np.abs(x).max(initial=0)))
    if x.size:
        np.testing.assert_allclose(got, residual_on_dummies(x, fes), atol=1e-7 * scale)
    # Memory layout and extra (empty) groups change no bit.
    exact = [int(c.max()) + 1 for c in fes]
    assert same_bits(got, _native.rust_demean(x, fes, exact, 1e-13, 100_000))


@given(problem=demean_problems())
def test_max_iter_zero_leaves_several_fixed_effects_undone(problem):
    x, fes, n_groups = problem
    got = _native.rust_demean(x, fes, n_groups, 1e-8, 0)
    if len(fes) >= 2:
        assert same_bits(got, x)


@given(problem=demean_problems(), data=st.data())
def test_bad_code_columns_panic(problem, data):
    x, fes, n_groups = problem
    n = x.shape[0]
    q = data.draw(st.integers(0, len(fes) - 1))
    what = data.draw(st.sampled_from(["code", "short", "strided", "groups"]))
    fes = list(fes)
    if what == "code":
        fes[q] = data.draw(bad_codes(n, n_groups[q]))
    elif what == "short":
        fes[q] = fes[q][: n - 1]
    elif what == "strided":
        fes[q] = with_layout_1d(fes[q], "strided")
        assume(n > 1)
    else:
        n_groups = n_groups[: data.draw(st.integers(0, len(fes) - 1))]
    status, err = call_checked(_native.rust_demean, x, fes, n_groups, 1e-8, 100)
    assert status == "raised" and isinstance(err, PANIC), err
    if what == "strided":
        assert err.args == (NOT_CONTIGUOUS,)


# ---- absorbed degrees of freedom ---------------------------------------------------------

@given(n=st.integers(1, 40), data=st.data())
def test_absorbed_dof_is_the_dummy_rank_for_two_and_the_pairwise_rule_beyond(n, data):
    fes = data.draw(fixed_effects(n, max_fe=4, max_groups=8))
    layouts = [data.draw(st.sampled_from(["contiguous", "readonly", "unaligned"])) for _ in fes]
    status, got = call_checked(_native.rust_absorbed_dof,
                               [with_layout_1d(c, lay) for c, lay in zip(fes, layouts)])
    assert status == "ok"
    assert got == absorbed(fes)
    if len(fes) == 2:
        D = np.hstack([dummies(c, int(c.max()) + 1) for c in fes])
        # A level without rows is a zero column and a component of its own: it adds to
        # neither side.
        assert got == np.linalg.matrix_rank(D)


@given(n=st.integers(1, 30), data=st.data())
def test_absorbed_dof_with_bad_later_columns_panics(n, data):
    fes = data.draw(fixed_effects(n, max_fe=3))
    assume(len(fes) >= 2)
    j = data.draw(st.integers(1, len(fes) - 1))
    what = data.draw(st.sampled_from(["negative", "short", "strided"]))
    if what == "negative":
        fes[j] = fes[j].copy()
        fes[j][data.draw(st.integers(0, n - 1))] = data.draw(st.sampled_from([-1, I32.min]))
    elif what == "short":
        fes[j] = fes[j][: n - 1]
    else:
        assume(n > 1)
        fes[j] = with_layout_1d(fes[j], "strided")
    status, err = call_checked(_native.rust_absorbed_dof, fes)
    assert status == "raised" and isinstance(err, PANIC), err
