"""Fixed effects and clusters identified by columns of every dtype the data module reads,
pandas and polars: the fit equals the fit on plain integer codes of the same groups (its
coefficients, clustered standard errors and fixed-effect values), the levels come back
exactly as the caller's values (integers beyond 2**53 never through float64, time zones
kept), and predict(newdata) on the training frame equals predict() on the rows used."""

import datetime
from decimal import Decimal
from zoneinfo import ZoneInfo

import numpy as np
import pandas as pd
import pytest

import kestrel
from conftest import need

N, NA_ROWS = 240, (3, 17)


def pandas_case(name, make, levels=8):
    return pytest.param("pandas", make, levels, id=f"pandas-{name}")


def polars_case(name, make, levels=8):
    return pytest.param("polars", make, levels, id=f"polars-{name}")


def with_na(values, na, fill=None):
    return [fill if m else v for v, m in zip(values, na)]


def pl_series(values, dtype=None):
    pl = need("polars")
    if dtype == "Decimal":
        dtype = pl.Decimal(10, 2)
    return pl.Series("id", values, dtype=getattr(pl, dtype) if isinstance(dtype, str) else dtype)


def same(value, expected):
    """Equal, and an integer level stays an integer (never a float)."""
    if isinstance(expected, int) and not isinstance(expected, bool):
        return isinstance(value, (int, np.integer)) and int(value) == expected
    return bool(value == expected)


DAY = datetime.datetime(2021, 3, 1)
# Each case: how to build the identifier column from the level numbers k and the rows
# without a value (na), as (column, the value of level k as the fit should label it).
# Cases that cannot hold a missing value ignore na.
CASES = [
    pandas_case("int64", lambda k, na: (k * 7 - 20, lambda j: j * 7 - 20)),
    pandas_case("int8", lambda k, na: (k.astype(np.int8) - 4, lambda j: j - 4)),
    pandas_case("uint64-beyond-2^63", lambda k, na: (
        np.uint64(2**63) + k.astype(np.uint64) * np.uint64(3), lambda j: 2**63 + 3 * j)),
    pandas_case("Int64-beyond-2^53-with-NA", lambda k, na: (
        pd.array(with_na([2**60 + int(j) for j in k], na), dtype="Int64"),
        lambda j: 2**60 + j)),
    pandas_case("UInt64-with-NA", lambda k, na: (
        pd.array(with_na([2**64 - 1 - int(j) for j in k], na), dtype="UInt64"),
        lambda j: 2**64 - 1 - j)),
    pandas_case("int64[pyarrow]-with-NA", lambda k, na: (
        pd.array(with_na([2**60 + int(j) for j in k], na), dtype="int64[pyarrow]"),
        lambda j: 2**60 + j)),
    pandas_case("float64-with-NaN", lambda k, na: (
        np.where(na, np.nan, k + 0.25), lambda j: j + 0.25)),
    pandas_case("Float64-with-NA", lambda k, na: (
        pd.array(with_na(list(k / 8), na), dtype="Float64"), lambda j: j / 8)),
    pandas_case("str", lambda k, na: (
        pd.array(with_na([f"id{j}" for j in k], na), dtype="str"), lambda j: f"id{j}")),
    pandas_case("object-str", lambda k, na: (
        np.array(with_na([f"id{j}" for j in k], na), dtype=object), lambda j: f"id{j}")),
    pandas_case("object-mixed-int-and-str", lambda k, na: (
        np.array(with_na([int(j) if j % 2 else f"s{j}" for j in k], na), dtype=object),
        lambda j: j if j % 2 else f"s{j}")),
    pandas_case("categorical", lambda k, na: (
        pd.Categorical(with_na([f"c{j}" for j in k], na), categories=[f"c{j}" for j in
                                                                       range(7, -1, -1)]),
        lambda j: f"c{j}")),
    pandas_case("categorical-of-ints", lambda k, na: (
        pd.Categorical(with_na([2**60 + int(j) for j in k], na)), lambda j: 2**60 + j)),
    pandas_case("bool", lambda k, na: (k == 1, lambda j: j == 1), levels=2),
    pandas_case("boolean-with-NA", lambda k, na: (
        pd.array(with_na(list(k == 1), na), dtype="boolean"), lambda j: j == 1), levels=2),
    pandas_case("datetime-naive", lambda k, na: (
        pd.DatetimeIndex(with_na([DAY + datetime.timedelta(days=int(j)) for j in k], na)),
        lambda j: pd.Timestamp(DAY + datetime.timedelta(days=j)))),
    pandas_case("datetime-tz-aware", lambda k, na: (
        pd.DatetimeIndex(with_na([DAY + datetime.timedelta(hours=int(j)) for j in k], na))
        .tz_localize("America/New_York"),
        lambda j: pd.Timestamp(DAY + datetime.timedelta(hours=j), tz="America/New_York"))),
    pandas_case("datetime-tz-aware-UTC-ns", lambda k, na: (
        pd.to_datetime(np.where(na, np.nan, k * 3600e9 + 1.6e18), utc=True),
        lambda j: pd.Timestamp(int(j * 3600e9 + 1.6e18), tz="UTC"))),
    pandas_case("timedelta", lambda k, na: (
        pd.to_timedelta(np.where(na, np.nan, k), unit="min"),
        lambda j: pd.Timedelta(minutes=j))),
    pandas_case("period", lambda k, na: (
        pd.PeriodIndex(with_na([pd.Period("2020-01", "M") + int(j) for j in k], na)),
        lambda j: pd.Period("2020-01", "M") + j)),
    pandas_case("object-bytes", lambda k, na: (
        np.array(with_na([bytes([j]) for j in k], na), dtype=object), lambda j: bytes([j]))),
    pandas_case("object-decimal", lambda k, na: (
        np.array(with_na([Decimal(int(j)) / 10 for j in k], na), dtype=object),
        lambda j: Decimal(j) / 10)),
    pandas_case("object-time", lambda k, na: (
        np.array(with_na([datetime.time(int(j)) for j in k], na), dtype=object),
        lambda j: datetime.time(j))),
    polars_case("Int64-beyond-2^53-with-null", lambda k, na: (
        pl_series(with_na([2**60 + int(j) for j in k], na)), lambda j: 2**60 + j)),
    polars_case("UInt64-beyond-2^63-with-null", lambda k, na: (
        pl_series(with_na([2**63 + 3 * int(j) for j in k], na), "UInt64"),
        lambda j: 2**63 + 3 * j)),
    polars_case("Int8", lambda k, na: (pl_series([int(j) - 4 for j in k], "Int8"),
                                       lambda j: j - 4)),
    polars_case("Int128-beyond-2^64-with-null", lambda k, na: (
        pl_series(with_na([2**70 + int(j) for j in k], na), "Int128"), lambda j: 2**70 + j)),
    polars_case("Float64-with-null", lambda k, na: (
        pl_series(with_na([j + 0.25 for j in k], na)), lambda j: j + 0.25)),
    polars_case("String-with-null", lambda k, na: (
        pl_series(with_na([f"id{j}" for j in k], na)), lambda j: f"id{j}")),
    polars_case("Categorical-with-null", lambda k, na: (
        pl_series(with_na([f"c{j}" for j in k], na), "Categorical"), lambda j: f"c{j}")),
    polars_case("Enum", lambda k, na: (
        pl_series([f"c{j}" for j in k]).cast(
            __import__("polars").Enum([f"c{j}" for j in range(7, -1, -1)])),
        lambda j: f"c{j}")),
    polars_case("Boolean-with-null", lambda k, na: (
        pl_series(with_na([bool(j) for j in k], na)), lambda j: bool(j)), levels=2),
    polars_case("Date-with-null", lambda k, na: (
        pl_series(with_na([DAY.date() + datetime.timedelta(days=int(j)) for j in k], na)),
        lambda j: pd.Timestamp(DAY + datetime.timedelta(days=j)))),
    polars_case("Datetime-naive-with-null", lambda k, na: (
        pl_series(with_na([DAY + datetime.timedelta(hours=int(j)) for j in k], na)),
        lambda j: pd.Timestamp(DAY + datetime.timedelta(hours=j)))),
    polars_case("Datetime-tz-aware-with-null", lambda k, na: (
        pl_series(with_na([DAY.replace(tzinfo=ZoneInfo("Asia/Kolkata"))
                           + datetime.timedelta(minutes=int(j)) for j in k], na)),
        lambda j: pd.Timestamp(DAY + datetime.timedelta(minutes=j), tz="Asia/Kolkata"))),
    polars_case("Duration-with-null", lambda k, na: (
        pl_series(with_na([datetime.timedelta(minutes=int(j)) for j in k], na)),
        lambda j: pd.Timedelta(minutes=j))),
    polars_case("Time-with-null", lambda k, na: (
        pl_series(with_na([datetime.time(int(j)) for j in k], na)),
        lambda j: datetime.time(j))),
    polars_case("Binary-with-null", lambda k, na: (
        pl_series(with_na([bytes([j]) for j in k], na)), lambda j: bytes([j]))),
    polars_case("Decimal-with-null", lambda k, na: (
        pl_series(with_na([Decimal(int(j)) / 10 for j in k], na), "Decimal"),
        lambda j: Decimal(j) / 10)),
    polars_case("Object-with-null", lambda k, na: (
        pl_series(with_na([(int(j), "t") for j in k], na), "Object"), lambda j: (j, "t"))),
]


def frames(lib, make, levels):
    """The data with the identifier ``id`` and, for the reference fit, the same groups as
    integer codes ``k`` on the rows where ``id`` has a value."""
    rng = np.random.default_rng(7)
    k = np.arange(N) % levels
    rng.shuffle(k)
    na = np.zeros(N, dtype=bool)
    na[list(NA_ROWS)] = True
    column, label = make(k, na)
    x = rng.normal(size=N)
    h = rng.integers(0, 3, N)
    y = x + 0.3 * k + 0.2 * h + rng.normal(size=N)
    if lib == "pandas":
        df = pd.DataFrame({"y": y, "x": x, "h": h, "id": column})
    else:
        pl = need("polars")
        df = pl.DataFrame({"y": y, "x": x, "h": h}).with_columns(column.alias("id"))
    missing = np.asarray(pd.isna(pd.Series(nw_values(df["id"]))), dtype=bool)
    ref = pd.DataFrame({"y": y, "x": x, "h": h, "k": k})[~missing]
    return df, ref, label, missing


def nw_values(series):
    return series.to_list() if hasattr(series, "to_list") else list(series)


@pytest.mark.parametrize("lib,make,levels", CASES)
def test_identifier_of_any_dtype_fits_labels_predicts_and_clusters_as_integer_codes(
        lib, make, levels):
    df, ref, label, missing = frames(lib, make, levels)
    fit = kestrel.feols("y ~ x | id", df, {"CRV1": "id"})
    expected = kestrel.feols("y ~ x | k", ref, {"CRV1": "k"})
    assert fit.n_missing == missing.sum() and fit.nobs == expected.nobs
    assert fit.clusters == {"id": levels}
    np.testing.assert_allclose(fit.coef(), expected.coef(), rtol=1e-12)
    np.testing.assert_allclose(fit.se(), expected.se(), rtol=1e-12)

    # Levels: exactly the caller's values, sorted where they have an order.
    values, reference = fit.fixef()["id"], expected.fixef()["k"]
    labels = list(values.index)
    assert len(labels) == levels
    for j in range(levels):
        hits = [p for p, v in enumerate(labels) if same(v, label(j))]
        assert len(hits) == 1, (j, label(j), labels)
        assert values.iloc[hits[0]] == pytest.approx(reference[j], abs=1e-12)
    if all(isinstance(label(j), type(label(0))) for j in range(levels)) and \
            not isinstance(label(0), tuple):
        assert labels == sorted(labels)

    # predict(newdata) on the training frame is predict() on the rows used.
    for f in (fit, kestrel.feols("y ~ x | id^h", df)):
        pred = f.predict(df)
        assert np.isnan(pred[missing]).all()
        np.testing.assert_allclose(pred[f.mask], f.predict(), rtol=0, atol=1e-12)


def refused_columns():
    pl = need("polars")
    return {
        "List": pl.Series("id", [[j, 1] for j in range(N)]),
        "Array": pl.Series("id", [[j, 1] for j in range(N)], dtype=pl.Array(pl.Int64, 2)),
        "Struct": pl.Series("id", [{"a": j % 4, "b": "s"} for j in range(N)]),
    }


@pytest.mark.parametrize("kind", ["List", "Array", "Struct", "pandas-lists"])
@pytest.mark.parametrize("role", ["fixed effect", "cluster"])
def test_identifiers_without_usable_values_are_refused_by_name(kind, role):
    rng = np.random.default_rng(1)
    base = {"y": rng.normal(size=N), "x": rng.normal(size=N), "g": np.arange(N) % 4}
    if kind == "pandas-lists":
        df = pd.DataFrame(base).assign(id=[[j % 4] for j in range(N)])
        match = "column 'id' of type Object cannot identify groups"
    else:
        pl = need("polars")
        df = pl.DataFrame(base).with_columns(refused_columns()[kind])
        match = rf"column 'id' of type {kind}\(.*\) cannot identify groups"
    fml, vcov = ("y ~ x | id", "iid") if role == "fixed effect" else ("y ~ x | g", {"CRV1": "id"})
    with pytest.raises(ValueError, match=match):
        kestrel.feols(fml, df, vcov)
