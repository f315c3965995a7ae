"""kestrel.demean: the fixed effects removed from the caller's own columns."""
import numpy as np
import pandas as pd
import pytest

import kestrel


def test_demean_equals_residuals_on_the_dummies_and_keeps_the_callers_shape():
    rng = np.random.default_rng(4)
    n = 600
    worker = rng.integers(0, 80, n)
    firm = np.array([f"firm {i}" for i in rng.integers(0, 15, n)])
    x = rng.normal(size=(n, 2))
    d = np.hstack([np.eye(80)[worker], pd.get_dummies(firm).to_numpy(float)])
    want = x - d @ np.linalg.lstsq(d, x, rcond=None)[0]
    for solver in ("auto", "cg"):
        got, info = kestrel.demean(x, [worker, firm], tol=1e-12, solver=solver,
                                   return_info=True)
        np.testing.assert_allclose(got, want, atol=1e-9)
        assert info["converged"] and info["iterations"] >= 1
    frame = pd.DataFrame(x, columns=["a", "b"], index=np.arange(n) * 2)
    got = kestrel.demean(frame, pd.DataFrame({"w": worker, "f": firm}), tol=1e-12)
    assert list(got.columns) == ["a", "b"] and got.index.equals(frame.index)
    np.testing.assert_allclose(got.to_numpy(), want, atol=1e-9)
    assert kestrel.demean(x[:, 0], worker).shape == (n,)
    # Categories without rows are empty groups, which never reach the solvers.
    unused = pd.DataFrame({"w": pd.Categorical(worker, categories=range(-5, 90)), "f": firm})
    np.testing.assert_allclose(kestrel.demean(x, unused, tol=1e-12), want, atol=1e-9)


@pytest.mark.parametrize("call, error", [
    (lambda x, f: kestrel.demean(x, f, solver="lsmr"), ValueError),
    (lambda x, f: kestrel.demean(x, [f[:-1]]), ValueError),
    (lambda x, f: kestrel.demean(np.where(x > 1, np.nan, x), f), ValueError),
    (lambda x, f: kestrel.demean(x, [np.where(f > 3, None, f).astype(object)]), ValueError),
    (lambda x, f: kestrel.demean(x, f, tol="small"), TypeError),
])
def test_demean_refuses_what_it_cannot_use(call, error):
    rng = np.random.default_rng(1)
    x = rng.normal(size=(50, 2))
    f = rng.integers(0, 5, 50)
    with pytest.raises(error):
        call(x, f)


def test_demean_warns_when_it_stops_short_of_its_tolerance():
    rng = np.random.default_rng(2)
    n = 2000
    worker = rng.integers(0, 300, n)
    firm = (worker // 3 + rng.integers(0, 2, n)) % 100  # few movers: slow to converge
    x = rng.normal(size=n)
    for solver in ("auto", "cg"):
        with pytest.warns(kestrel.ConvergenceWarning,
                          match=r"stopped at maxiter=1 iterations without reaching "
                                r"tol=1e-12; raise maxiter"):
            _, info = kestrel.demean(x, [worker, firm], tol=1e-12, maxiter=1, solver=solver,
                                     return_info=True)
        assert not info["converged"]
    # Converged: no warning (warnings are errors in the suite).
    kestrel.demean(x, [worker, firm], tol=1e-8)


@pytest.mark.parametrize("solver", ["auto", "cg"])
def test_demean_of_columns_in_any_units_is_the_same_demeaning_in_those_units(solver):
    """Columns of 2^±600 (whose squares overflow or vanish) demeaned together with one in
    ordinary units: each is the ordinary column's demeaning in its units, bit for bit."""
    rng = np.random.default_rng(5)
    n = 2000
    fe = np.column_stack([rng.integers(0, 50, n), rng.integers(0, 20, n)])
    x = rng.normal(size=n)
    base = kestrel.demean(x, fe, solver=solver)
    k = np.array([600, 0, -600, -1000])
    got = kestrel.demean(np.ldexp(x[:, None], k[None, :]), fe, solver=solver)
    np.testing.assert_array_equal(got, np.ldexp(base[:, None], k[None, :]))
