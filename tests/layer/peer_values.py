"""Reference numbers from the peers, stored beside the tests so that the core conventions are
checked even where a peer cannot be installed: coefficients and standard errors of one
panel under each covariance, from pyfixest (its own demeaning run to a tight tolerance),
statsmodels and linearmodels.

    python tests/layer/peer_values.py     # rewrites peer_values.json from the installed peers

The data come from NumPy's PCG64 generator, whose streams are fixed across NumPy versions.
"""
import json
import pathlib
import warnings

import numpy as np
import pandas as pd

STORE = pathlib.Path(__file__).with_name("peer_values.json")


def data():
    rng = np.random.default_rng(20261208)
    n = 600
    df = pd.DataFrame({"unit": np.repeat(np.arange(60), 10), "t": np.tile(np.arange(10), 60)})
    df["firm"] = rng.integers(0, 25, n)
    df["region"] = df.unit % 7
    df["z"] = rng.normal(size=n)
    df["w"] = rng.normal(size=n)
    u = rng.normal(size=n)
    df["x"] = 0.7 * df.z + 0.5 * u + rng.normal(size=n) + 0.05 * df.unit
    df["y"] = (1 + 0.5 * df.x - 0.3 * df.w + 0.1 * df.unit - 0.2 * df.firm % 3 + u
               + rng.normal(size=n) * (1 + np.abs(df.w)))
    return df


# (name, formula, vcov, vcov_kwargs, peer)
CASES = [
    ("iid_two_way", "y ~ x + w | unit + firm", "iid", None, "pyfixest"),
    ("hetero_two_way", "y ~ x + w | unit + firm", "hetero", None, "pyfixest"),
    ("crv1_one_way", "y ~ x + w | unit + firm", {"CRV1": "unit"}, None, "pyfixest"),
    ("crv1_two_way", "y ~ x + w | unit + firm", {"CRV1": "unit+firm"}, None, "pyfixest"),
    ("crv1_nested", "y ~ x + w | unit", {"CRV1": "region"}, None, "pyfixest"),
    ("iv_crv1", "y ~ w | unit | x ~ z", {"CRV1": "unit"}, None, "pyfixest"),
    ("iv_hetero_no_fe", "y ~ w | x ~ z", "hetero", None, "pyfixest"),
    ("dk", "y ~ x + w | unit", "DK", {"time_id": "t", "panel_id": "unit", "lag": 2}, "pyfixest"),
    ("nw_panel", "y ~ x + w", "NW", {"time_id": "t", "panel_id": "unit", "lag": 2}, "pyfixest"),
    ("hc1_no_fe", "y ~ x + w", "HC1", None, "statsmodels"),
    ("hc3_no_fe", "y ~ x + w", "HC3", None, "statsmodels"),
    ("iv_unadjusted", "y ~ w | x ~ z", "iid", None, "linearmodels"),
]


def from_peer(df, fml, vcov, kw, peer):
    if peer == "pyfixest":
        import pyfixest as pf
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            fit = pf.feols(fml, df, vcov=vcov, vcov_kwargs=kw,
                           demeaner=pf.MapDemeaner(fixef_tol=1e-14, fixef_maxiter=100_000))
        return fit.coef().to_dict(), fit.se().to_dict()
    if peer == "statsmodels":
        import statsmodels.formula.api as smf
        fit = smf.ols(fml, df).fit(cov_type=vcov)
        return fit.params.to_dict(), fit.bse.to_dict()
    if peer == "linearmodels":
        from linearmodels.iv import IV2SLS
        fit = IV2SLS.from_formula("y ~ 1 + w + [x ~ z]", df).fit(cov_type="unadjusted",
                                                                   debiased=True)
        return fit.params.to_dict(), fit.std_errors.to_dict()
    raise ValueError(peer)


def main():
    import importlib.metadata as md
    df = data()
    out = {"versions": {p: md.version(p) for p in ("pyfixest", "statsmodels", "linearmodels")},
           "cases": {}}
    for name, fml, vcov, kw, peer in CASES:
        coef, se = from_peer(df, fml, vcov, kw, peer)
        out["cases"][name] = {"peer": peer, "coef": coef, "se": se}
    STORE.write_text(json.dumps(out, indent=1, sort_keys=True) + "\n")


if __name__ == "__main__":
    main()
