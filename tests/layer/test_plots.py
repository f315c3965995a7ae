"""kestrel.coefplot: the plotted points and intervals are the fits' estimates and confidence
intervals, event-study levels come in time order with the reference period at zero, and a
missing matplotlib says which extra to install. Checked on the drawn data, not pixels."""

import sys

import numpy as np
import pandas as pd
import pytest

import kestrel
from conftest import need

matplotlib = need("matplotlib")
matplotlib.use("Agg")
plt = need("matplotlib.pyplot")


@pytest.fixture(scope="module")
def event():
    """An event study with one treatment date: 200 units over periods -3..4, half of them
    treated from period 0 on, with an effect growing by 0.5 per period."""
    rng = np.random.default_rng(3)
    units, periods = 200, np.arange(-3, 5)
    unit = np.repeat(np.arange(units), len(periods))
    time = np.tile(periods, units)
    treat = (unit % 2).astype(float)
    y = (np.where(time >= 0, 0.5 * (time + 1), 0.0) * treat + rng.normal(size=units)[unit]
         + 0.2 * time + rng.normal(size=unit.size))
    return pd.DataFrame({"unit": unit, "time": time, "treat": treat, "y": y,
                         "y2": y + rng.normal(size=unit.size), "x": rng.normal(size=unit.size)})


def drawn(ax, j=0):
    """(x, estimate, low, high) of the j-th model's error bars."""
    bars = ax.containers[j]
    xy = bars.lines[0].get_xydata()
    segments = np.array(bars.lines[2][0].get_segments())
    return xy[:, 0], xy[:, 1], segments[:, 0, 1], segments[:, 1, 1]


def references(ax):
    return [line.get_xydata() for line in ax.lines if line.get_gid() == "reference"]


def test_event_study_in_time_order_with_the_reference_at_zero(event):
    fit = kestrel.feols("y ~ i(time, treat, ref=-1) | unit + time", event)
    fig = kestrel.coefplot(fit, level=0.9)
    ax = fig.axes[0]
    x, b, lo, hi = drawn(ax)
    np.testing.assert_array_equal(x, [-3, -2, 0, 1, 2, 3, 4])
    ci = fit.confint(0.9)
    np.testing.assert_allclose(b, fit.coef())
    np.testing.assert_allclose(lo, ci.iloc[:, 0])
    np.testing.assert_allclose(hi, ci.iloc[:, 1])
    (ref,) = references(ax)
    np.testing.assert_array_equal(ref, [[-1.0, 0.0]])
    assert ax.get_xlabel() == "time (× treat)"
    assert [line.get_xdata()[0] for line in ax.lines if line.get_linestyle() == ":"] == [-1]
    plt.close(fig)


def test_several_models_side_by_side(event):
    fits = kestrel.feols("y + y2 ~ x + i(time, treat, ref=-1) | unit + time", event)
    fig = fits.coefplot(keep=["^x$", "time"])
    ax = fig.axes[0]
    labels = [t.get_text() for t in ax.get_xticklabels()]
    assert labels[:4] == ["x", "time::-3:treat", "time::-2:treat", "time::-1:treat (ref.)"]
    for j, fit in enumerate(fits):
        x, b, lo, hi = drawn(ax, j)
        np.testing.assert_allclose(b, fit.coef())
        np.testing.assert_allclose(hi - lo, np.diff(fit.confint().to_numpy()).ravel())
        assert np.all(np.diff(x) > 0) and (x[0] < 0.0 if j == 0 else x[0] > 0.0)  # dodged
    assert [r[0, 1] for r in references(ax)] == [0.0, 0.0]
    assert [t.get_text() for t in ax.get_legend().get_texts()] == fits.keys()
    plt.close(fig)


def test_draws_into_given_axes_and_rejects_empty_selection(event):
    fit = kestrel.feols("y ~ x + treat", event, "hetero")
    fig, ax = plt.subplots()
    assert kestrel.coefplot(fit, ax=ax, drop="Intercept", title="T") is fig
    assert [t.get_text() for t in ax.get_xticklabels()] == ["x", "treat"] and ax.get_title() == "T"
    with pytest.raises(ValueError, match="no coefficient to show"):
        kestrel.coefplot(fit, keep="nothing")
    plt.close(fig)


def test_missing_matplotlib_names_the_extra(event, monkeypatch):
    fit = kestrel.feols("y ~ x", event)
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    monkeypatch.setitem(sys.modules, "matplotlib.pyplot", None)
    with pytest.raises(ImportError, match=r"pip install \"kestrel\[plot\]\""):
        kestrel.coefplot(fit)


def test_levels_that_no_float_holds_are_drawn_as_labels():
    # Levels come from the data: one beyond the float range is a label, not an OverflowError.
    rng = np.random.default_rng(5)
    n = 300
    g = np.array(["1", "2", "1" + "0" * 400])[rng.integers(0, 3, n)]
    df = pd.DataFrame({"y": rng.normal(size=n), "g": g, "x": rng.normal(size=n)})
    fit = kestrel.feols("y ~ i(g, ref='1') + x", df)
    ax = kestrel.coefplot(fit, labels={f"g::1{'0' * 400}": "huge"}).axes[0]
    assert len(drawn(ax)[0]) == 4  # the intercept, two levels and x
    assert "huge" in [t.get_text() for t in ax.get_xticklabels()]
    plt.close("all")


def test_split_models_are_told_apart_by_their_sample(event):
    fits = kestrel.feols("y ~ x", event, split="treat")
    fig = fits.coefplot()
    assert [t.get_text() for t in fig.axes[0].get_legend().get_texts()] == \
        ["y ~ x; treat = 0", "y ~ x; treat = 1"]
    plt.close(fig)
