"""The pipeline stages of kestrel._core against oracles written from their definitions:
iterative singleton removal, dummy-variable least squares, NumPy sums over rows."""
import numpy as np
import pandas as pd
import pytest

from kestrel import _core
from oracles import (cluster_meat, dummies, first_appearance, keep_mask, newey_west,
                     residual_on_dummies)


@pytest.mark.parametrize("design", ["random", "staircase"])
def test_sample_keeps_what_iterative_removal_keeps_and_renumbers_by_first_appearance(design):
    rng = np.random.default_rng(3)
    n = 3000
    if design == "random":
        fe = [rng.integers(0, 900, n), rng.integers(0, 1200, n), rng.integers(0, 40, n)]
    else:  # each pass of a naive removal drops only the ends of the chain
        i = np.arange(n)
        fe = [i // 2, (i + 1) // 2 + 5]
        fe[0][-7:] = 3  # leaves a core that survives
    fe = [c.astype(np.int32) for c in fe]
    keep = rng.random(n) > 0.05
    s = _core.sample(fe=fe, clusters=[fe[0]], keep=keep, drop_singletons=True)
    want = keep.copy()
    want[keep] = keep_mask([c[keep] for c in fe])
    np.testing.assert_array_equal(s["mask"], want)
    assert s["n"] == want.sum() and s["n_singletons"] == keep.sum() - want.sum()
    for got, c in zip(s["fe"], fe):
        np.testing.assert_array_equal(got, first_appearance(c[want]))
    if s["n"]:
        d = np.hstack([dummies(c, c.max() + 1) for c in s["fe"][:2]])
        assert s["absorbed_dof"] >= np.linalg.matrix_rank(d)


@pytest.mark.parametrize("values", [
    np.array([2.5, np.nan, -0.0, 2.5, 0.0, 1e300, np.nan]),
    np.array([7, 2**62, -(2**62), 2**62, 7, 0], dtype=np.int64)[::-1],
    np.array([5, -3, 5, 2_000_000_000], dtype=np.int32)])
def test_recode_gives_equal_values_one_dense_code_and_leaves_nan_out(values):
    codes, g = _core.recode(values)
    want, uniques = pd.factorize(values)  # -0.0 and 0.0 are one value, NaN none
    assert g == len(uniques)
    np.testing.assert_array_equal(codes < 0, want < 0)
    pairs = set(zip(codes[want >= 0], want[want >= 0]))
    assert len(pairs) == g and {c for c, _ in pairs} == set(range(g))


@pytest.fixture(scope="module")
def panel():
    rng = np.random.default_rng(11)
    n = 400
    f1 = rng.integers(0, 30, n).astype(np.int32)
    f2 = rng.integers(0, 12, n).astype(np.int32)
    x = rng.normal(size=(n, 2))
    within_f1 = rng.normal(size=30)[f1]  # absorbed by the first fixed effect
    y = x @ [1.5, -0.5] + rng.normal(size=30)[f1] + rng.normal(size=12)[f2] + rng.normal(size=n)
    return f1, f2, x, within_f1, y


def test_absorb_and_least_squares_agree_with_dummy_variable_regression(panel):
    f1, f2, x, within_f1, y = panel
    keep = np.ones(len(y), bool)
    s = _core.sample(fe=[f1, f2], clusters=[], keep=keep, drop_singletons=True)
    tiny = np.random.default_rng(5).normal(size=len(y)) * 1e-9
    cols = [y, x[:, 0], x[:, 1], within_f1, tiny, x[:, 0] + 2 * x[:, 1]]
    a = _core.absorb(columns=cols, mask=s["mask"], fe=s["fe"], fe_groups=s["fe_groups"],
                     tol=1e-12, max_iter=10_000, solver="cg", progress=None)
    assert a["data"].flags.f_contiguous and a["converged"]
    d = np.hstack([dummies(c, c.max() + 1) for c in s["fe"]])
    used = [c[s["mask"]] for c in cols]
    np.testing.assert_allclose(a["data"], residual_on_dummies(np.column_stack(used), s["fe"]),
                               atol=1e-9)
    np.testing.assert_allclose(a["sum_squares"], [((u - u.mean()) ** 2).sum() for u in used])

    ls = _core.least_squares(data=a["data"], y=0, x=[1, 2, 3, 4, 5],
                             sum_squares=a["sum_squares"], collin_tol=1e-10)
    # within_f1 is absorbed; the rescaled column is kept (the rule is relative to scale);
    # the combination of x1 and x2 is collinear with them.
    assert ls["absorbed"] == [2] and ls["collinear"] == [4] and ls["kept"] == [0, 1, 3]
    # (fixest's absolute pivot rule would drop the tiny-scaled column as well)
    full = np.column_stack([used[1], used[2], used[4], d])
    beta = np.linalg.lstsq(full, used[0], rcond=None)[0]
    np.testing.assert_allclose(ls["coef"][:2], beta[:2], rtol=1e-8)
    np.testing.assert_allclose(ls["resid"], used[0] - full @ beta, atol=1e-7)


def test_meats_are_the_sums_they_name(panel):
    f1, f2, x, _, y = panel
    data = np.asfortranarray(np.column_stack([y, np.ones_like(y), x]))
    ls = _core.least_squares(data=data, y=0, x=[1, 2, 3], sum_squares=np.empty(0),
                             collin_tol=1e-10)
    e, X, B = ls["resid"], data[:, 1:], ls["bread"]
    h = np.einsum("ia,ab,ib->i", X, B, X)
    for power in (0, 1, 2):
        w = e**2 / (1 - h) ** power
        got = _core.hetero_meat(data=data, x=[1, 2, 3], resid=e, bread=B, power=power)
        np.testing.assert_allclose(got, (X * w[:, None]).T @ X, rtol=1e-12)
    meats = _core.cluster_meats(data=data, x=[1, 2, 3], resid=e, clusters=[f1, f2])
    assert [m["subset"] for m in meats] == [[0], [1], [0, 1]]
    for m, codes in zip(meats, [f1, f2, f1 * 100 + f2]):
        assert m["groups"] == len(np.unique(codes))
        np.testing.assert_allclose(m["meat"], cluster_meat(X * e[:, None], codes), rtol=1e-10)


def test_progress_sees_every_step_and_its_exception_ends_the_solve(panel):
    f1, f2, x, _, y = panel
    mask = np.ones(len(y), bool)
    seen = []
    a = _core.absorb(columns=[y], mask=mask, fe=[f1, f2], fe_groups=[30, 12], tol=1e-14,
                     max_iter=3, solver="cg", progress=lambda i, r: seen.append((i, r)))
    assert [i for i, _ in seen] == [1, 2, 3] and a["iterations"] == 3
    assert not a["converged"] and a["stage"] == "cg" and a["stages"] == {"cg": 3}

    def stop(i, r):
        raise RuntimeError("stop")

    with pytest.raises(RuntimeError, match="stop"):
        _core.absorb(columns=[y], mask=mask, fe=[f1, f2], fe_groups=[30, 12], tol=1e-14,
                     max_iter=50, solver="cg", progress=stop)


def test_bad_input_is_a_plain_value_error_without_a_report(panel, capfd):
    f1, f2, x, _, y = panel
    bad = f1.copy()
    bad[3] = 99
    with pytest.raises(ValueError):
        _core.absorb(columns=[y], mask=np.ones(len(y), bool), fe=[bad, f2], fe_groups=[30, 12],
                     tol=1e-8, max_iter=10, solver="cg", progress=None)
    with pytest.raises(ValueError, match="negative code"):
        _core.sample(fe=[np.full(len(y), -1, np.int32)], clusters=[],
                     keep=np.ones(len(y), bool), drop_singletons=False)
    with pytest.raises(ValueError, match="solver"):
        _core.absorb(columns=[y], mask=np.ones(len(y), bool), fe=[], fe_groups=[],
                     tol=1e-8, max_iter=10, solver="lsmr", progress=None)
    assert capfd.readouterr().err == ""


def test_serial_meats_are_newey_west_sums_in_time_order_within_panels():
    rng = np.random.default_rng(2)
    n, lag = 300, 3
    data = np.asfortranarray(rng.normal(size=(n, 3)))
    e = rng.normal(size=n)
    s = data * e[:, None]
    panel = rng.integers(0, 4, n).astype(np.int32)
    time = np.zeros(n, np.int32)
    for g in range(4):
        rows = np.flatnonzero(panel == g)
        time[rows] = rng.permutation(len(rows))
    got = _core.newey_west_meat(data=data, x=[0, 1, 2], resid=e, time=time, panel=[panel],
                                lag=lag)
    want = sum(newey_west(s[panel == g][np.argsort(time[panel == g])], lag)
               for g in range(4))
    np.testing.assert_allclose(got, want, rtol=1e-12)
    periods = rng.integers(0, 25, n).astype(np.int32)
    sums = pd.DataFrame(s).groupby(periods).sum().sort_index().to_numpy()
    got = _core.driscoll_kraay_meat(data=data, x=[0, 1, 2], resid=e, time=periods, lag=lag)
    np.testing.assert_allclose(got, newey_west(sums, lag), rtol=1e-12)
    with pytest.raises(ValueError, match="repeats a period within a panel"):
        _core.newey_west_meat(data=data, x=[0], resid=e, time=np.zeros(n, np.int32),
                              panel=[panel], lag=1)


LEAST_SQUARES_BITS = """
import sys, numpy as np
from kestrel import _core
rng = np.random.default_rng(3)
data = np.asfortranarray(rng.normal(size=(100_003, 4)) + [5.0, 0.0, 1.0, -2.0])
ls = _core.least_squares(data=data, y=0, x=[1, 2, 3], sum_squares=np.empty(0), collin_tol=1e-10)
parts = [ls["coef"], ls["bread"].ravel(), ls["resid"], [ls["rss"], ls["tss"]]]
sys.stdout.write(np.concatenate([np.asarray(p, float).ravel() for p in parts]).tobytes().hex())
"""


def test_least_squares_over_many_row_chunks_is_lstsq_and_the_same_bits_on_any_thread_count():
    """Rows are summed in fixed chunks on the pool: several chunks and a ragged last one,
    against NumPy, and bit for bit whatever the number of threads."""
    import os
    import subprocess
    import sys
    runs = {t: subprocess.run([sys.executable, "-c", LEAST_SQUARES_BITS], capture_output=True,
                              text=True, check=True,
                              env={**os.environ, "RAYON_NUM_THREADS": t}).stdout
            for t in ("1", "2", "3")}
    assert runs["1"] == runs["2"] == runs["3"]
    got = np.frombuffer(bytes.fromhex(runs["1"]), dtype=float)
    rng = np.random.default_rng(3)
    data = rng.normal(size=(100_003, 4)) + [5.0, 0.0, 1.0, -2.0]
    y, X = data[:, 0], data[:, 1:]
    beta = np.linalg.lstsq(X, y, rcond=None)[0]
    e = y - X @ beta
    np.testing.assert_allclose(got[:3], beta, rtol=1e-12)
    np.testing.assert_allclose(got[3:12], np.linalg.inv(X.T @ X).ravel(), rtol=1e-10)
    np.testing.assert_allclose(got[12:-2], e, rtol=1e-9, atol=1e-12)
    np.testing.assert_allclose(got[-2:], [e @ e, ((y - y.mean()) ** 2).sum()], rtol=1e-12)


# ---- the interpreter lock ---------------------------------------------------------------
# Every stage gives up the interpreter lock for its numerical work. A ticker thread wakes
# every TICK seconds and counts the wakes that find a stage running: with the lock held
# through the stage it can only wake between calls (a tick or two), without it about as
# often as the stage's duration allows.

TICK = 0.002


def _ticks_while(calls):
    """Runs each call in its own thread; returns the ticks during which all of them were
    inside their stage, and how many the ticker could have made over the longest."""
    import threading
    import time

    inside = [False] * len(calls)
    state = {"ticks": 0, "stop": False}
    seconds = [0.0] * len(calls)
    go = threading.Barrier(len(calls))

    def ticker():
        while not state["stop"]:
            time.sleep(TICK)
            state["ticks"] += all(inside)

    def run(j):
        go.wait()
        inside[j] = True
        start = time.perf_counter()
        calls[j]()
        seconds[j] = time.perf_counter() - start
        inside[j] = False

    threads = [threading.Thread(target=run, args=(j,)) for j in range(len(calls))]
    tick = threading.Thread(target=ticker)
    tick.start()
    try:
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        state["stop"] = True
        tick.join()
    return state["ticks"], max(seconds) / TICK


@pytest.fixture(scope="module")
def big():
    rng = np.random.default_rng(5)
    n, k = 600_000, 12
    data = np.asfortranarray(rng.normal(size=(n, k + 1)))
    f1 = rng.integers(0, 30_000, n).astype(np.int32)
    f2 = rng.integers(0, 3_000, n).astype(np.int32)
    ls = _core.least_squares(data=data, y=0, x=list(range(1, k + 1)), sum_squares=np.empty(0),
                             collin_tol=1e-10)
    return dict(n=n, x=list(range(1, k + 1)), data=data, f1=f1, f2=f2, ls=ls, rng=rng)


def _stage_calls(b):
    n, x, data, ls, f1, f2 = b["n"], b["x"], b["data"], b["ls"], b["f1"], b["f2"]
    k = len(x)
    e = ls["resid"]
    keep = np.ones(n, bool)
    time = np.repeat(np.arange(n // 100, dtype=np.int32), 100)
    return {
        "recode": lambda: _core.recode(b["rng"].integers(0, 2**62, 2_000_000)),
        "sample": lambda: _core.sample(fe=[np.tile(f1, 6), np.tile(f2, 6), np.repeat(f2, 6)],
                                       clusters=[np.tile(f1, 6)], keep=np.tile(keep, 6),
                                       drop_singletons=True),
        # every column: a few CG steps each, long enough to count ticks on a fast moment
        "absorb": lambda: _core.absorb(columns=[data[:, j] for j in range(k + 1)], mask=keep,
                                       fe=[f1, f2], fe_groups=[30_000, 3_000], tol=1e-300,
                                       max_iter=12, solver="cg", progress=None),
        "least_squares": lambda: _core.least_squares(data=data, y=0, x=x * 3,
                                                     sum_squares=np.empty(0), collin_tol=1e-10),
        "residuals": lambda: _core.residuals(data=data, y=0, x=x * 12,
                                             coef=np.tile(ls["coef"], 12)),
        "hetero_meat": lambda: _core.hetero_meat(data=data, x=x, resid=e, bread=ls["bread"],
                                                 power=2),
        "cluster_meats": lambda: _core.cluster_meats(data=data, x=x, resid=e, clusters=[f1, f2]),
        "newey_west_meat": lambda: _core.newey_west_meat(
            data=data, x=x, resid=e, time=b["rng"].permutation(n).astype(np.int32), panel=[],
            lag=10),
        "driscoll_kraay_meat": lambda: _core.driscoll_kraay_meat(data=data, x=x * 4, resid=e,
                                                                 time=time, lag=200),
        "fixef_values": lambda: _core.fixef_values(
            resid=data[:, 0].copy(), fe=[f1, f2], fe_groups=[30_000, 3_000],
            preference=[np.arange(30_000, dtype=np.int32), np.arange(3_000, dtype=np.int32)],
            tol=1e-300, max_iter=100),
    }


STAGES = ["recode", "sample", "absorb", "least_squares", "residuals", "hetero_meat",
          "cluster_meats", "newey_west_meat", "driscoll_kraay_meat", "fixef_values"]


def test_every_stage_is_listed():
    assert sorted(STAGES) == sorted(_core.__all__)


@pytest.mark.parametrize("stage", STAGES)
def test_a_ticker_thread_runs_while_a_stage_computes(stage, big):
    ticks, possible = _ticks_while([_stage_calls(big)[stage]])
    assert possible >= 25, f"{stage} ran too briefly to tell ({possible * TICK:.3f} s)"
    assert ticks >= 0.2 * possible, (ticks, possible)


def test_two_threads_demean_at_the_same_time(big):
    """Two fits' absorptions overlap: the ticker finds both inside their stage at once."""
    call = _stage_calls(big)["absorb"]
    ticks, possible = _ticks_while([call, call])
    assert possible >= 25
    assert ticks >= 0.1 * possible, (ticks, possible)


def test_least_squares_and_absorb_take_columns_of_any_magnitude():
    """Columns of 1e±300 (whose squares overflow or vanish) give the coefficients and bread
    of the same fit in ordinary units, scaled; none is taken as absorbed or collinear."""
    rng = np.random.default_rng(4)
    n = 500
    f = rng.integers(0, 9, n).astype(np.int32)
    y, x1, x2 = rng.normal(size=(3, n))
    y = y + x1 - x2
    keep = np.ones(n, bool)
    base = _core.absorb(columns=[y, x1, x2], mask=keep, fe=[f], fe_groups=[9], tol=1e-10,
                        max_iter=100, solver="auto", progress=None)
    want = _core.least_squares(data=base["data"], y=0, x=[1, 2],
                               sum_squares=base["sum_squares"], collin_tol=1e-10)
    D = dummies(f, 9)
    X = np.column_stack([x1, x2, D])
    np.testing.assert_allclose(want["coef"], np.linalg.lstsq(X, y, rcond=None)[0][:2],
                               rtol=1e-12)
    for sy, s1, s2 in [(1.0, 1e300, 1e-300), (1e-300, 1e-150, 1.0), (1e150, 1.0, 1e-150)]:
        got = _core.absorb(columns=[y * sy, x1 * s1, x2 * s2], mask=keep, fe=[f],
                           fe_groups=[9], tol=1e-10, max_iter=100, solver="auto",
                           progress=None)
        ls = _core.least_squares(data=got["data"], y=0, x=[1, 2],
                                 sum_squares=got["sum_squares"], collin_tol=1e-10)
        assert (ls["kept"], ls["absorbed"], ls["collinear"]) == ([0, 1], [], [])
        np.testing.assert_allclose(ls["coef"], want["coef"] * sy / [s1, s2], rtol=1e-12)
        scale = np.array([s1, s2])
        with np.errstate(over="ignore", under="ignore"):  # compared where representable
            expected_bread = want["bread"] / scale[:, None] / scale[None, :]
        normal = (np.abs(expected_bread) > 1e-300) & np.isfinite(expected_bread)
        np.testing.assert_allclose(ls["bread"][normal], expected_bread[normal], rtol=1e-12)
        np.testing.assert_allclose(ls["resid"], want["resid"] * sy, rtol=1e-9,
                                   atol=1e-12 * sy)


DAEMON = """
import threading, time
import numpy as np
from kestrel import _core
rng = np.random.default_rng(0)
n = 300_000
f1, f2 = rng.integers(0, 30_000, n).astype(np.int32), rng.integers(0, 3_000, n).astype(np.int32)
started = threading.Event()
def fit():
    _core.absorb(columns=[rng.normal(size=n)], mask=np.ones(n, bool), fe=[f1, f2],
                 fe_groups=[30_000, 3_000], tol=1e-300, max_iter=10**9, solver="cg",
                 progress=lambda i, r: started.set())
threading.Thread(target=fit, daemon=True).start()
started.wait()
time.sleep(0.3)
print("leaving", flush=True)
"""


def test_the_interpreter_exits_cleanly_while_a_daemon_thread_is_demeaning():
    """The daemon thread asks for the lock back at every progress call; once the interpreter
    is shutting down it must wait, not crash the exit."""
    import subprocess
    import sys
    for _ in range(2):
        proc = subprocess.run([sys.executable, "-c", DAEMON], capture_output=True, text=True,
                              timeout=120)
        assert (proc.returncode, proc.stdout) == (0, "leaving\n"), proc.stderr[-2000:]
