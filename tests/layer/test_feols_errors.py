"""Every user mistake ends in a ValueError, TypeError or KeyError that names the problem,
raised before the engine runs; nothing surfaces as PanicException."""

import re

import numpy as np
import pandas as pd
import pytest
from layer_support import panel

import kestrel


@pytest.fixture(scope="module")
def data():
    return panel(400)


def one_cluster(df):
    return df.assign(one=1)


def singletons_only(df):
    return df.assign(id=np.arange(len(df)))


MISTAKES = [
    (dict(fml=3), TypeError, "formula must be a string"),
    (dict(fml="y x1"), ValueError, "has no '~'"),
    (dict(fml="y ~ x1 ~ x2"), ValueError, "exactly one '~'"),
    (dict(fml="y ~ x1 +"), ValueError, "cannot read the regressors"),
    (dict(fml="y ~ nope"), KeyError, "column 'nope' is not in the data"),
    (dict(fml="y ~ x1 | wroker"), KeyError, "did you mean 'worker'"),
    (dict(fml="g ~ x1"), TypeError, "dependent variable 'g' must be numeric"),
    (dict(fml="y ~ x1 | firm | x2 ~ x1"), ValueError, "instruments itself"),
    (dict(fml="y ~ x1 | x2 + x3 ~ x4"), ValueError, "need at least as many excluded instr"),
    (dict(fml="y ~ x1 | x2 ~ x4", data=lambda df: df.assign(x4=2.0 * df.x1)), ValueError,
     "need at least as many excluded instruments, .* once the collinear"),
    (dict(fml="y ~ x1 | x2 ~ x3", vcov="HC3"), ValueError, "leverage of 2SLS"),
    (dict(fml="y ~ x1 | firm | firm_size ~ x3"), ValueError, "do not identify firm_size"),
    (dict(fml="y ~ i(g, ref='z')"), ValueError, "ref='z' in i.* is not a level of 'g'"),
    (dict(fml="y ~ foo(x1)"), ValueError, "cannot evaluate foo"),
    (dict(vcov="robust"), ValueError, "unknown covariance vcov='robust'; use 'iid', 'hetero'"),
    (dict(vcov="CRV1"), ValueError, r"needs the clustering variable"),
    (dict(vcov={"CRV2": "firm"}), ValueError, "unknown clustered covariance 'CRV2'"),
    (dict(vcov={"CRV1": "frim"}), KeyError, "column 'frim'"),
    (dict(vcov={"CRV1": ""}), ValueError, "empty clustering variable"),
    (dict(vcov=1), TypeError, "vcov must be a string"),
    (dict(vcov="NW"), ValueError, "needs the time variable"),
    (dict(vcov="iid", vcov_kwargs={"time_id": "year"}), ValueError, "applies to vcov='NW'"),
    (dict(vcov="DK", vcov_kwargs={"time": "year"}), ValueError, "unknown vcov_kwargs key"),
    (dict(vcov="DK", vcov_kwargs={"time_id": "year", "lag": -1}), ValueError, "at least 0"),
    (dict(vcov="DK", vcov_kwargs={"time_id": "g"}), TypeError, "must be numeric or a date"),
    (dict(vcov="NW", vcov_kwargs={"time_id": "year"}), ValueError, "repeats periods"),
    (dict(vcov="NW", vcov_kwargs={"time_id": "year", "panel_id": "firm"}), ValueError,
     "repeats a period within a series of panel_id 'firm'"),
    (dict(vcov="NW", vcov_kwargs={"time_id": "t"}, data=lambda df: df.assign(t=range(len(df)))),
     ValueError, "give the lag of a Newey-West time series"),
    (dict(fml="y ~ x1 | firm", vcov="HC3"), ValueError, "leverage of the absorbed dummies"),
    (dict(fixef_tol="1e-8"), TypeError, "fixef_tol must be a number, not str"),
    (dict(fixef_tol=-1.0), ValueError, "fixef_tol must be greater than 0"),
    (dict(fixef_maxiter=2.5), TypeError, "fixef_maxiter must be an integer"),
    (dict(fixef_maxiter=0), ValueError, "fixef_maxiter must be at least 1"),
    # Values no float or engine count holds are out of range, not OverflowErrors.
    (dict(fixef_tol=10**400), ValueError, "fixef_tol must be finite .* about 1e400"),
    (dict(fixef_tol=float("inf")), ValueError, "fixef_tol must be finite"),
    (dict(fixef_maxiter=2**64 + 5), ValueError, r"fixef_maxiter must be at most 2\*\*63 - 1"),
    (dict(vcov="DK", vcov_kwargs={"time_id": "year", "lag": 10**30}), ValueError,
     r"vcov_kwargs\['lag'\] must be at most"),
    (dict(drop_singletons="yes"), TypeError, "drop_singletons must be True or False"),
    (dict(progress="always"), TypeError, "progress must be None, True or False"),
    (dict(ssc="stata"), TypeError, r"ssc must come from kestrel.ssc"),
    (dict(ssc={"k_adjust": True}), ValueError, r"unknown ssc field"),
    (dict(data={"y": [1.0]}), TypeError, "data must be a pandas or polars DataFrame"),
    (dict(data=pd.DataFrame({"y": [], "x1": []})), ValueError, "the data has no rows"),
    (dict(fml="y ~ x1 | one", vcov={"CRV1": "one"}, data=one_cluster), ValueError,
     "needs at least two clusters"),
    (dict(fml="y ~ x1 | id", vcov="iid", drop_singletons=False, data=singletons_only),
     ValueError, "the fixed effects absorb every regressor"),
    (dict(fml="y ~ x1 | id", data=singletons_only), ValueError, "no rows left"),
    (dict(fml="y ~ firm_size | firm"), ValueError, r"absorb every regressor .*\(firm_size\)"),
    (dict(fml="y ~ x1 + x2 | f", data=pd.DataFrame({"y": [1.0, 3, 2, 5], "x1": [1.0, 2, 3, 5],
                                                    "x2": [0.0, 1, 1, 2], "f": [0, 0, 1, 1]}),
          vcov="iid"),
     ValueError, "no degrees of freedom left"),
    (dict(fml="y ~ 0"), ValueError, "has no regressors"),
    (dict(fml="y ~ Intercept + x1", data=lambda df: df.assign(Intercept=df.x2)), ValueError,
     "column 'Intercept' has the name of the intercept's coefficient"),
    (dict(fml="y ~ x1 + C(m)", data=lambda df: df.assign(m=[b"a", 1, "b", 2.5] * 100)),
     TypeError, "column 'm' mixes values of types bytes, float, int, str"),
    (dict(fml="y ~ x1 + `1`", data=lambda df: df.assign(**{"1": df.x2})), ValueError,
     "`1` alone is read as the intercept"),
    (dict(fml="y ~ x1 | `a^b`", data=lambda df: df.assign(**{"a^b": df.firm})), ValueError,
     "column 'a\\^b' cannot be a fixed effect"),
    (dict(fml="y ~ x1", data=lambda df: df.set_axis([*df.columns[:-1], 0], axis=1)
          .assign(**{"0": 1.0})), ValueError, r"duplicated column names: \['0'\]"),
]


@pytest.mark.parametrize("kwargs,error,message", MISTAKES, ids=[m[2][:40] for m in MISTAKES])
def test_mistake_is_reported_in_plain_words(data, kwargs, error, message):
    call = dict(fml="y ~ x1 + x2", data=data, vcov=None)
    call.update(kwargs)
    if callable(call["data"]):
        call["data"] = call["data"](data)
    with pytest.raises(error, match=message):
        kestrel.feols(call.pop("fml"), call.pop("data"), call.pop("vcov"), **call)


def test_no_rows_left_when_every_row_has_a_missing_value(data):
    with pytest.raises(ValueError, match="no rows left: every row has a missing value"):
        kestrel.feols("y ~ x1", data.assign(x1=np.nan))


@pytest.mark.parametrize("kwargs,message", [
    (dict(preset="stata"), "unknown ssc preset 'stata'; use one of fixest, reghdfe, regress"),
    (dict(k_fixef="some"), r"ssc\(k_fixef='some'\) must be one of"),
    (dict(G_df="max"), r"ssc\(G_df='max'\)"),
])
def test_ssc_rejects_unknown_values(kwargs, message):
    with pytest.raises(ValueError, match=message):
        kestrel.ssc(**kwargs)
    with pytest.raises(TypeError, match="must be True or False"):
        kestrel.ssc(k_adj="yes")


def test_names_are_case_insensitive_and_misspelt_ones_leave_the_process_usable(data):
    for name in ("hc1", "Hetero", "IID"):
        kestrel.feols("y ~ x1", data, name)
    with pytest.raises(ValueError):
        kestrel.feols("y ~ x1", data, "HC4")
    assert kestrel.feols("y ~ x1", data, "HC1").nobs > 0


# Every numeric option of the layer with values that used to escape as OverflowError (or a
# message Python cannot print: integers beyond 4,300 digits), or to be taken silently.
HUGE = 10**5000
OPTIONS = [
    ("fixef_tol", lambda f, d, v: kestrel.feols("y ~ x1 | firm", d, fixef_tol=v),
     [HUGE, -HUGE, float("nan")]),
    ("fixef_maxiter", lambda f, d, v: kestrel.feols("y ~ x1 | firm", d, fixef_maxiter=v),
     [HUGE, 2**63, -5, 0, 2.5, "10"]),
    ("vcov_kwargs['lag']", lambda f, d, v: kestrel.feols(
        "y ~ x1 | firm", d, "NW", vcov_kwargs={"time_id": "year", "panel_id": "worker",
                                               "lag": v}), [HUGE, 2**64, -1, 1.5]),
    ("tol", lambda f, d, v: kestrel.demean(d[["x2"]], d[["firm"]], tol=v),
     [HUGE, float("inf"), 0]),
    ("maxiter", lambda f, d, v: kestrel.demean(d[["x2"]], d[["firm"]], maxiter=v),
     [HUGE, 2**64, 0, 2.5, True]),
    ("tol", lambda f, d, v: f.fixef(tol=v), [HUGE, 10**400, float("nan"), -1.0, "1e-8"]),
    ("maxiter", lambda f, d, v: f.fixef(maxiter=v), [HUGE, 2**64 + 5, -5, 0, 2.5, True, "3"]),
    ("confint", lambda f, d, v: f.confint(v), [HUGE, 2]),
    ("etable(digits=", lambda f, d, v: kestrel.etable(f, digits=v), [HUGE, 0, 2.5]),
    ("etable(stars=", lambda f, d, v: kestrel.etable(f, stars={"*": v}), [HUGE, 1.5]),
    ("coefplot(level=", lambda f, d, v: kestrel.coefplot(f, level=v), [HUGE, 1]),
]


@pytest.mark.parametrize("name,call,values", OPTIONS, ids=[o[0] for o in OPTIONS])
def test_numeric_options_out_of_range_name_the_option(data, name, call, values):
    fit = kestrel.feols("y ~ x1 | firm", data)
    for value in values:
        with pytest.raises((ValueError, TypeError), match=re.escape(name)) as caught:
            call(fit, data, value)
        assert "limit" not in str(caught.value)  # not Python's refusal to print the value
    # The options' own range still works, large as it may be.
    kestrel.feols("y ~ x1 | firm", data, fixef_maxiter=2**63 - 1, fixef_tol=1e300)
    fit.fixef(maxiter=np.int64(10), tol=np.float32(1e-6))
    kestrel.etable(fit, digits=np.int64(3))
