"""kestrel.etable: the numbers in the table are the fits' own, in the right row and column,
and the layout of a small example computed by hand stays as written below."""

import re

import numpy as np
import pandas as pd
import pytest
from layer_support import panel

import kestrel


@pytest.fixture(scope="module")
def by_hand():
    """y = 1 + 0.5 x + e and y2 = 1 + 3 x + e with e = (1, -1, 0, -1, 1), orthogonal to 1 and
    x = (-2, -1, 0, 1, 2), so both fits are exactly (1, 0.5) and (1, 3) with RSS = 4:
    s² = 4/3, se(intercept) = sqrt(s²/5) = 0.516398, se(x) = sqrt(s²/10) = 0.365148;
    t(x) = 1.369 and 8.216 on 3 degrees of freedom, p = 0.264 and 0.0038 (***);
    t(intercept) = 1.936, p = 0.148; R² = 1 - 4/6.5 = 0.384615 and 1 - 4/94 = 0.957447."""
    df = pd.DataFrame({"x": [-2.0, -1, 0, 1, 2], "y": [1.0, -0.5, 1, 0.5, 3],
                       "y2": [-4.0, -3, 1, 3, 8]})
    return kestrel.feols("y + y2 ~ x", df)


# Written by hand from the values in by_hand's docstring, 4 significant digits.
GOLDEN_TEXT = """\
                      y            y2
                    (1)           (2)
----------------------------------------
Intercept         1.000         1.000
               (0.5164)      (0.5164)
x                0.5000         3.000***
               (0.3651)      (0.3651)
----------------------------------------
S.E. type           iid           iid
Observations          5             5
R²               0.3846        0.9574
----------------------------------------
Standard errors in parentheses. *** p < 0.01, ** p < 0.05, * p < 0.1."""


def test_layout_of_a_table_computed_by_hand(by_hand):
    assert by_hand.etable() == GOLDEN_TEXT
    assert kestrel.etable(list(by_hand)) == GOLDEN_TEXT
    md = kestrel.etable(by_hand, type="md").splitlines()
    assert md[:3] == ["|  | y | y2 |", "|:---|---:|---:|", "|  | (1) | (2) |"]
    assert "| x | 0.5000 | 3.000\\*\\*\\* |" in md
    tex = kestrel.etable(by_hand, type="tex", stat="t").splitlines()
    assert tex[:2] == [r"\begin{tabular}{lcc}", r"\toprule"]
    assert r"x & 0.5000 & 3.000$^{***}$ \\" in tex
    assert r" & (1.369) & (8.216) \\" in tex
    assert r"R$^2$ & 0.3846 & 0.9574 \\" in tex
    assert tex[-3:-1] == [r"\bottomrule", r"\multicolumn{3}{l}{\footnotesize t statistics in "
                          r"parentheses. *** p $<$ 0.01, ** p $<$ 0.05, * p $<$ 0.1.} \\"]


def md_rows(table):
    """Label -> cells of a Markdown table (the label repeats for the row below a
    coefficient), numbers parsed."""
    rows, last = {}, None
    for line in table.splitlines()[3:]:
        if not line.startswith("|"):
            continue
        label, *cells = [c.strip() for c in line.strip("|").split(" | ")]
        cells = [c.replace("\\*", "").replace(",", "").strip("()") for c in cells]
        key = label or f"{last} (below)"
        last = label or last
        rows[key] = [float(c) if re.fullmatch(r"-?[\d.]+(e[-+]\d+)?", c) else c for c in cells]
    return rows


def test_numbers_are_the_fits_own_in_their_row_and_column():
    df = panel()
    fits = [*kestrel.feols("y + y2 ~ x1 + csw(x2, x3) | firm + year", df, {"CRV1": "firm"}),
            kestrel.feols("y ~ x2 + x3", df, "hetero")]
    for stat, method in (("se", "se"), ("t", "tstat")):
        rows = md_rows(kestrel.etable(fits, type="md", stat=stat, digits=15, stars=False))
        for j, fit in enumerate(fits):
            for name in ("x1", "x2", "x3", "Intercept"):
                if name in fit.coef_names:
                    np.testing.assert_allclose(rows[name][j], fit.coef()[name], rtol=1e-13)
                    np.testing.assert_allclose(rows[f"{name} (below)"][j],
                                               getattr(fit, method)()[name], rtol=1e-13)
                else:
                    assert rows[name][j] == ""
            assert rows["Observations"][j] == fit.nobs
            np.testing.assert_allclose(rows["R²"][j], fit.r2, rtol=1e-13)
            assert rows["Within R²"][j] == (pytest.approx(fit.r2_within, rel=1e-13)
                                            if fit.fixef else "-")
            assert rows["firm"][j] == ("x" if fit.fixef else "-")
    assert rows["S.E. type"] == ["by: firm"] * 4 + ["HC1"]


def test_the_intercept_comes_first_even_when_the_first_model_has_none():
    df = panel(600)
    fits = [kestrel.feols("y ~ x2 + x3 | firm", df), kestrel.feols("y ~ x3 + x1", df),
            kestrel.feols("y ~ x2", df)]
    labels = [line.split()[0] for line in kestrel.etable(fits).splitlines()[3:11:2]]
    assert labels == ["Intercept", "x2", "x3", "x1"]
    rows = md_rows(kestrel.etable(fits, type="md", digits=15, stars=False))
    assert list(rows)[:2] == ["Intercept", "Intercept (below)"]
    np.testing.assert_allclose(rows["Intercept"][1:], [f.coef()["Intercept"] for f in fits[1:]],
                               rtol=1e-13)
    assert rows["Intercept"][0] == ""


def test_selection_labels_stars_and_escaping(by_hand):
    text = kestrel.etable(by_hand, keep="^x", labels={"x": "log_size", "y": "wage"},
                          stars={"+": 0.5})
    assert "Intercept" not in text and "log_size" in text and "wage" in text
    assert "0.5000+" in text and "3.000+" in text and text.endswith("+ p < 0.5.")
    assert "Intercept" in kestrel.etable(by_hand, drop=["^x$"]) and \
        "\nx " not in kestrel.etable(by_hand, drop=["^x$"])
    tex = kestrel.etable(by_hand, type="tex", labels={"x": "log_size", "y2": "y"})
    assert r"log\_size" in tex and r"\multicolumn{2}{c}{y}" in tex and r"\cmidrule(lr){2-3}" in tex
    assert "*" not in kestrel.etable(by_hand, stars=False, notes="")


@pytest.mark.parametrize("call,error,message", [
    (lambda f: kestrel.etable(f, type="html"), ValueError, "must be one of 'text', 'md', 'tex'"),
    (lambda f: kestrel.etable(f, stat="p"), ValueError, "must be 'se' or 't'"),
    (lambda f: kestrel.etable(f, digits=0), ValueError, "integer from 1 to 15"),
    (lambda f: kestrel.etable(f, stars={"*": 5}), ValueError, "p-value thresholds"),
    (lambda f: kestrel.etable(f, keep="("), ValueError, "regular expressions"),
    (lambda f: kestrel.etable([]), ValueError, "at least one fit"),
    (lambda f: kestrel.etable([f[0], "model"]), TypeError, "not str"),
    (lambda f: kestrel.etable(3), TypeError, "takes a Fit, a list of fits or a FitList"),
])
def test_mistakes(by_hand, call, error, message):
    with pytest.raises(error, match=message):
        call(by_hand)
