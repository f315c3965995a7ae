"""kestrel.feols on a Dask DataFrame, on a real cluster of processes (a scheduler and two
workers with a small memory limit, started here on 127.0.0.1), against the in-memory fit of
the same rows: coefficients to 1e-8 relative, standard errors to 1e-6."""

import os
import socket
import subprocess
import sys
import threading
import time

import numpy as np
import pandas as pd
import pytest

import kestrel
from conftest import SANITIZED

dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")
kestrel_distributed = pytest.importorskip("kestrel.distributed")

pytestmark = pytest.mark.filterwarnings("ignore::ResourceWarning")


def _free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# A small limit per worker; under the sanitizers (shadow memory, quarantine) a worker's
# resident size triples, and one past 80% of its limit pauses and never runs the fit.
MEMORY_LIMIT = "2GB" if SANITIZED else "400MB"


def _start_cluster(limit, local_directory=None, env=None):
    """A scheduler and two one-thread worker processes on 127.0.0.1; yields the client."""
    port = _free_port()
    address = f"tcp://127.0.0.1:{port}"
    procs = [subprocess.Popen([sys.executable, "-m", "distributed.cli.dask_scheduler",
                               "--host", "127.0.0.1", "--port", str(port),
                               "--dashboard-address", ":0", "--no-show"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)]
    extra = ["--local-directory", str(local_directory)] if local_directory else []
    for _ in range(2):
        procs.append(subprocess.Popen([sys.executable, "-m", "distributed.cli.dask_worker",
                                       address, "--nthreads", "1", "--memory-limit", limit,
                                       "--no-dashboard", "--host", "127.0.0.1", "--no-nanny",
                                       *extra],
                                      env=env, stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL))
    c = None
    try:
        deadline = time.monotonic() + 60
        while c is None:
            try:
                c = distributed.Client(address, timeout=5)
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.3)
        c.wait_for_workers(2, timeout=90)
        c.kestrel_workers = procs[1:]  # for the test that kills one
        yield c
    finally:
        if c is not None:
            c.close()
        for p in reversed(procs):
            p.terminate()
        for p in procs:
            try:
                p.wait(timeout=10)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()


@pytest.fixture(scope="module")
def client():
    yield from _start_cluster(MEMORY_LIMIT)


def _same(dask_fit, fit, coef_rtol=1e-8, se_rtol=1e-6):
    assert dask_fit.coef_names == fit.coef_names
    np.testing.assert_allclose(dask_fit.coef().to_numpy(), fit.coef().to_numpy(),
                               rtol=coef_rtol, atol=0)
    np.testing.assert_allclose(dask_fit.se().to_numpy(), fit.se().to_numpy(), rtol=se_rtol,
                               atol=0)
    assert dask_fit.nobs == fit.nobs
    assert dask_fit.n_missing == fit.n_missing
    assert dask_fit.n_singletons == fit.n_singletons
    assert dask_fit.n_zero_weight == fit.n_zero_weight
    assert dict(dask_fit.fixef) == dict(fit.fixef)
    assert dask_fit.clusters == fit.clusters
    assert dask_fit.dof_k == fit.dof_k and dask_fit.df_t == fit.df_t
    assert dask_fit.vcov_type == fit.vcov_type and dask_fit.periods == fit.periods
    for name in ("r2", "adj_r2", "rmse", "rss"):
        assert getattr(dask_fit, name) == pytest.approx(getattr(fit, name), rel=1e-8)
    if fit.fixef:
        assert dask_fit.r2_within == pytest.approx(fit.r2_within, rel=1e-7)
    assert dask_fit.converged


def _panel(n, seed, workers=600, firms=60, years=8):
    rng = np.random.default_rng(seed)
    df = pd.DataFrame({"worker": rng.integers(0, workers, n),
                       "firm": rng.integers(0, firms, n),
                       "year": rng.integers(2000, 2000 + years, n),
                       "x1": rng.normal(size=n), "x2": rng.normal(size=n),
                       "g": rng.choice(["a", "b", "c", "d"], n),
                       "wt": rng.uniform(0.2, 3.0, n), "fw": rng.integers(1, 4, n)})
    effect = rng.normal(size=workers)[df.worker] + rng.normal(size=firms)[df.firm]
    df["y"] = (0.7 * df.x1 - 0.3 * df.x2 + effect + 0.1 * (df.year - 2000)
               + rng.normal(size=n))
    return df


@pytest.fixture(scope="module")
def panel():
    return _panel(6000, 1)


@pytest.mark.parametrize("fml, options", [
    ("y ~ x1 + x2 | worker", {}),
    ("y ~ x1 + x2 | worker + firm", {}),
    ("y ~ x1 + x2 + C(g) | worker + firm + year", {"vcov": "hetero"}),
    ("y ~ x1 + i(g, x2, ref='b') + x1:x2 + np.log(wt) | firm + year", {"vcov": "iid"}),
    ("y ~ x1 + x2 | worker + firm^year", {"vcov": {"CRV1": "firm+year"}}),
    ("y ~ x1 + x2 | worker + firm", {"weights": "wt"}),
    ("y ~ x1 + x2 | worker + firm", {"weights": "fw", "weights_type": "fweights",
                                     "vcov": "hetero"}),
    ("y ~ x1 + C(g)", {"vcov": {"CRV1": "firm"}}),
    ("y ~ x1 + x2 | worker + firm", {"vcov": "DK", "vcov_kwargs": {"time_id": "year"}}),
    ("y ~ x1 + x2 | worker", {"vcov": "DK", "weights": "wt",
                              "vcov_kwargs": {"time_id": "year", "lag": 3}}),
])
def test_agrees_with_the_in_memory_fit(client, panel, fml, options):
    ddf = dd.from_pandas(panel, npartitions=4)
    _same(kestrel.feols(fml, ddf, **options), kestrel.feols(fml, panel, **options))


@pytest.mark.parametrize("fml", ["y ~ x1 | worker + firm | x2 ~ z1 + z2",
                                 "y ~ x1 + C(g) | x2 ~ z1"])
def test_two_stage_least_squares_agrees_with_the_in_memory_fit(client, panel, fml):
    rng = np.random.default_rng(5)
    df = panel.assign(z1=panel.x2 + rng.normal(size=len(panel)),
                      z2=rng.normal(size=len(panel)))
    fit = kestrel.feols(fml, df, vcov="iid")
    dask_fit = kestrel.feols(fml, dd.from_pandas(df, npartitions=3), vcov="iid")
    _same(dask_fit, fit)
    assert dask_fit.first_stage["x2"].f_stat == pytest.approx(fit.first_stage["x2"].f_stat,
                                                              rel=1e-8)


@pytest.mark.parametrize("shipped", ["inside the tasks", "as data of their own"])
def test_missing_values_singletons_across_partitions_and_one_partition_levels(client,
                                                                            monkeypatch,
                                                                            shipped):
    if shipped == "as data of their own":  # level-sized arguments (flags, codes, coefficients)
        monkeypatch.setattr(kestrel.distributed, "SHIP_BYTES", 0)
    df = _panel(5000, 2, workers=2500)  # about two rows per worker: many singletons
    rng = np.random.default_rng(3)
    df.loc[rng.random(len(df)) < 0.05, "x1"] = np.nan
    df.loc[rng.random(len(df)) < 0.03, "firm"] = pd.NA
    df["firm"] = df["firm"].astype("Int64")
    df.loc[rng.random(len(df)) < 0.02, "wt"] = 0.0
    # Rows sorted by firm: most firms' rows lie in one partition.
    df = df.sort_values("firm", kind="stable").reset_index(drop=True)
    ddf = dd.from_pandas(df, npartitions=5, sort=False)
    fit = kestrel.feols("y ~ x1 + x2 | worker + firm + year", df, weights="wt")
    assert fit.n_singletons > 100 and fit.n_missing > 0 and fit.n_zero_weight > 0
    _same(kestrel.feols("y ~ x1 + x2 | worker + firm + year", ddf, weights="wt"), fit)


def test_empty_partitions(client, panel):
    df = panel.sort_values("x1").reset_index(drop=True)
    ddf = dd.from_pandas(df, npartitions=6, sort=False)
    ddf = ddf[ddf.x1 > df.x1.quantile(0.5)]  # the first three partitions are empty
    kept = df[df.x1 > df.x1.quantile(0.5)]
    _same(kestrel.feols("y ~ x1 + x2 | worker + firm", ddf),
          kestrel.feols("y ~ x1 + x2 | worker + firm", kept))


@pytest.mark.parametrize("exchange", ["pairs of partitions", "dask's shuffle"])
def test_the_same_bits_on_every_run(client, panel, monkeypatch, exchange):
    # The rows reach their part in a different order from run to run unless the fit puts
    # them in the data's order; sums in another order differ in their last bits.
    if exchange == "dask's shuffle":
        monkeypatch.setattr(kestrel.distributed, "EXCHANGE_PARTS", 0)
    ddf = dd.from_pandas(panel, npartitions=6)
    fits = [kestrel.feols("y ~ x1 + x2 | worker + firm + year", ddf, vcov="hetero")
            for _ in range(3)]
    for fit in fits[1:]:
        assert fit.coef().to_numpy().tobytes() == fits[0].coef().to_numpy().tobytes()
        assert fit.se().to_numpy().tobytes() == fits[0].se().to_numpy().tobytes()
    _same(fits[0], kestrel.feols("y ~ x1 + x2 | worker + firm + year", panel, vcov="hetero"))


@pytest.mark.parametrize("keys", ["one integer", "rows of codes"])
def test_three_way_clustering_however_its_intersections_are_keyed(client, panel, monkeypatch,
                                                                  keys):
    # Intersections of many clusters' levels overflow one int64 key (three clusters of
    # 2**21 levels do): they are then keyed by their codes.
    if keys == "rows of codes":
        monkeypatch.setattr(kestrel.distributed, "KEY_LIMIT", 2)
    vcov = {"CRV1": "worker+firm+year"}
    _same(kestrel.feols("y ~ x1 + x2 | firm", dd.from_pandas(panel, npartitions=4), vcov=vcov),
          kestrel.feols("y ~ x1 + x2 | firm", panel, vcov=vcov))


def test_rows_arriving_in_any_order_are_kept_in_the_datas_order():
    # dask's shuffle delivers a part's rows in the order they arrive over the network.
    rng = np.random.default_rng(4)
    key = (np.repeat(np.arange(3, dtype=np.int64), 20) << 32) + np.tile(np.arange(20), 3)
    frame = pd.DataFrame({"v0": rng.normal(size=60), "c0": rng.integers(0, 5, 60,
                                                                        dtype=np.int32),
                          "r": key})
    part = kestrel.distributed._to_part(frame.sample(frac=1.0, random_state=1), 1, [0], False)
    np.testing.assert_array_equal(part.v[:, 0], frame.v0.to_numpy())
    np.testing.assert_array_equal(part.ids[0], frame.c0.to_numpy())


def _chain(firms, per=30):
    # Workers move only between neighbouring firms along a chain: the firms' effects are
    # tied together by few moves, the slow case of every demeaning method.
    rng = np.random.default_rng(4)
    rows = []
    for w in range(firms * per):
        home = w // per
        for t in range(6):
            firm = home + (1 if t >= 3 and rng.random() < 0.1 and home + 1 < firms else 0)
            rows.append((w, firm, t))
    df = pd.DataFrame(rows, columns=["worker", "firm", "year"])
    df["x"] = rng.normal(size=len(df)) + 0.1 * df.firm
    df["y"] = 0.5 * df.x + 0.2 * df.firm + rng.normal(size=len(df))
    return df


def _over_the_data(monkeypatch):
    # The system matrix is never sent to the client: one pass over the data per iteration.
    monkeypatch.setattr(kestrel_distributed, "CLIENT_PAIRS", 0)
    monkeypatch.setattr(kestrel_distributed, "CLIENT_PAIRS_MIN", 0)


@pytest.mark.parametrize("preconditioner, where", [("graph", "on the client"),
                                                   ("factored", "on the client"),
                                                   ("factored", "incomplete"),
                                                   ("diagonal", "on the client"),
                                                   ("diagonal", "over the data")])
def test_a_hard_design_a_chain_of_firms(client, monkeypatch, preconditioner, where):
    if preconditioner != "graph":  # more levels than the dense decomposition takes
        monkeypatch.setattr(kestrel_distributed, "GRAPH_LEVELS", 0)
    if where == "incomplete":  # factors bounded below what exact ones could take
        monkeypatch.setattr(kestrel_distributed, "FACTOR_ENTRIES", 1000)
        where = "on the client"
    if preconditioner == "diagonal":  # never factored
        monkeypatch.setattr(kestrel_distributed, "FACTOR_AFTER", 10**9)
    if where == "over the data":
        _over_the_data(monkeypatch)
    df = _chain(40)
    fml = "y ~ x | worker + firm + year"
    dask_fit = kestrel.feols(fml, dd.from_pandas(df, npartitions=4))
    assert preconditioner in dask_fit.solver_stage
    assert ("on the client" in dask_fit.solver_stage) == (where == "on the client")
    if preconditioner != "graph":
        assert dask_fit.iterations > 20  # hard indeed
    fit = kestrel.feols(fml, df, fixef_tol=1e-12)
    _same(dask_fit, fit)
    np.testing.assert_allclose(dask_fit.predict().compute().to_numpy(), fit.predict(),
                               rtol=0, atol=1e-8 * float(df.y.abs().max()))


@pytest.mark.parametrize("where", ["on the client", "over the data"])
def test_an_unfinished_demeaning_is_reported_not_passed_off(client, monkeypatch, where):
    monkeypatch.setattr(kestrel_distributed, "GRAPH_LEVELS", 0)
    if where == "over the data":
        _over_the_data(monkeypatch)
    fml = "y ~ x | worker + firm + year"
    ddf = dd.from_pandas(_chain(40), npartitions=3)
    with pytest.warns(kestrel.ConvergenceWarning, match="fixef_maxiter=2"):
        fit = kestrel.feols(fml, ddf, fixef_maxiter=2)
    assert not fit.converged and fit.iterations == 2
    assert "NOT converged" in str(fit.summary())


def test_the_fit_is_a_kestrel_fit_and_shows_like_one(client, panel):
    ddf = dd.from_pandas(panel, npartitions=3)
    fit = kestrel.feols("y ~ x1 + x2 | worker + firm", ddf)
    assert isinstance(fit, kestrel.Fit)
    text = str(fit.summary())
    assert "Fixed effects    worker" in text and "x1" in text
    table = kestrel.etable([fit, kestrel.feols("y ~ x1 + x2 | worker + firm", panel)])
    assert "x1" in str(table)
    assert fit.wald_test("x1 = 0").statistic > 0
    for call in (fit.fixef, lambda: fit.vcov_as("iid"), lambda: fit.resid(full=True),
                 lambda: fit.predict(panel)):
        with pytest.raises(ValueError, match="not supported on Dask DataFrames"):
            call()


@pytest.mark.parametrize("options, message", [
    ({"vcov": "HC3"}, "not supported on Dask"),
    ({"vcov": "NW", "vcov_kwargs": {"time_id": "year"}}, "not supported on Dask"),
    ({"vcov": "DK", "vcov_kwargs": {"time_id": "year"}, "weights": "fw",
      "weights_type": "fweights"}, "no time order"),
    ({"vcov": {"CRV3": "firm"}}, "not supported on Dask"),
    ({"split": "g"}, "split= is not supported on Dask"),
    ({"fml": "y ~ x1 | firm | x2 ~ wt", "vcov": "hetero"}, "2SLS"),
    ({"fml": "y ~ center(x1) | firm"}, "center"),
    ({"fml": "y ~ x1:g | firm"}, "non-numeric"),
    ({"fml": "y + x2 ~ x1 | firm"}, "several models"),
    ({"fml": "y ~ nothere | firm"}, "nothere"),
    ({"fml": "y ~ x1 | worker[x2] + firm"}, "varying slopes .* not supported on Dask"),
])
def test_what_is_not_supported_is_refused(client, panel, options, message):
    options = dict(options)
    fml = options.pop("fml", "y ~ x1 | firm")
    ddf = dd.from_pandas(panel, npartitions=2)
    with pytest.raises((ValueError, KeyError), match=message):
        kestrel.feols(fml, ddf, **options)


def test_client_argument_is_checked(client, panel):
    with pytest.raises(TypeError, match="distributed.Client"):
        kestrel.feols("y ~ x1 | firm", dd.from_pandas(panel, npartitions=2), client="x")
    with pytest.raises(ValueError, match="Dask DataFrames only"):
        kestrel.feols("y ~ x1 | firm", panel, client=client)


def test_a_worker_killed_mid_fit_never_gives_a_wrong_result(client, monkeypatch):
    # Last in the module: it leaves the cluster one worker.
    monkeypatch.setattr(kestrel_distributed, "GRAPH_LEVELS", 0)
    _over_the_data(monkeypatch)
    df = _chain(150)
    fml = "y ~ x | worker + firm + year"
    expected = kestrel.feols(fml, df, fixef_tol=1e-12)
    outcome = {}

    def fit():
        try:
            outcome["fit"] = kestrel.feols(fml, dd.from_pandas(df, npartitions=6))
        except Exception as exc:  # noqa: BLE001 (what it raises is checked below)
            outcome["error"] = exc

    # The iterations signal their start and are slowed on the client, so that the worker
    # dies in their middle however fast the machine.
    iterating, killed = threading.Event(), threading.Event()
    product = kestrel_distributed._Fitter._product

    def slow_product(self, *args):
        iterating.set()
        if not killed.is_set():
            time.sleep(0.1)
        return product(self, *args)

    monkeypatch.setattr(kestrel_distributed._Fitter, "_product", slow_product)
    thread = threading.Thread(target=fit)
    thread.start()
    assert iterating.wait(timeout=120), "the fit never reached its iterations"
    time.sleep(0.5)
    assert thread.is_alive(), "the fit ended before the worker was killed"
    victim = client.kestrel_workers[0]
    victim.kill()
    victim.wait(timeout=20)
    killed.set()
    thread.join(timeout=300)
    assert not thread.is_alive()
    if "fit" in outcome:
        _same(outcome["fit"], expected)
    else:
        assert str(outcome["error"]), outcome["error"]


@pytest.mark.parametrize("fml, options", [
    ("y ~ x1 + x2 | worker + firm + year", {}),
    ("y ~ x1 + x2 | worker", {"weights": "wt"}),
    ("y ~ x1 + C(g)", {}),
])
def test_residuals_and_predictions_are_lazy_series_of_the_rows_used(client, fml, options):
    df = _panel(5000, 6, workers=2000)  # singletons, and missing values below
    df.loc[np.random.default_rng(7).random(len(df)) < 0.05, "x2"] = np.nan
    fit = kestrel.feols(fml, df, **options)
    dask_fit = kestrel.feols(fml, dd.from_pandas(df, npartitions=4), **options)
    resid, fitted = dask_fit.resid(), dask_fit.predict()
    assert isinstance(resid, dd.Series) and isinstance(fitted, dd.Series)
    resid, fitted = resid.compute(), fitted.compute()
    used = df.index[fit.mask]
    assert list(resid.index) == list(used) and list(fitted.index) == list(used)
    scale = float(df.y.abs().max())
    np.testing.assert_allclose(resid.to_numpy(), fit.resid(), rtol=0, atol=1e-8 * scale)
    np.testing.assert_allclose(fitted.to_numpy(), fit.predict(), rtol=0, atol=1e-8 * scale)


def test_residuals_after_two_stages_are_refused(client, panel):
    df = panel.assign(z1=panel.x2 + np.random.default_rng(5).normal(size=len(panel)))
    fit = kestrel.feols("y ~ x1 | worker | x2 ~ z1", dd.from_pandas(df, npartitions=2),
                        vcov="iid")
    with pytest.raises(ValueError, match="2SLS"):
        fit.resid()


def test_corrections_from_the_data_reach_the_in_memory_fit(client, monkeypatch):
    # The client's solves stopped short: passes over the data correct them until the
    # residual computed from the rows is small enough.
    monkeypatch.setattr(kestrel_distributed, "GRAPH_LEVELS", 0)
    cg = kestrel_distributed._Fitter._cg
    passes = []

    def short(self, product, rhs, energy, floor, precondition, tol, maxiter, callback):
        passes.append(maxiter)
        return cg(self, product, rhs, energy, floor, precondition, tol, min(maxiter, 4),
                  callback)

    monkeypatch.setattr(kestrel_distributed._Fitter, "_cg", short)
    df = _panel(6000, 8)
    fml = "y ~ x1 + x2 | worker + firm + year"
    dask_fit = kestrel.feols(fml, dd.from_pandas(df, npartitions=3), weights="wt")
    fit = kestrel.feols(fml, df, weights="wt")
    assert len(passes) > 2 and "on the client" in dask_fit.solver_stage
    _same(dask_fit, fit)
    scale = float(df.y.abs().max())
    np.testing.assert_allclose(dask_fit.resid().compute().to_numpy(), fit.resid(), rtol=0,
                               atol=1e-8 * scale)


# Larger than memory: workers of SMALL_LIMIT each, and Parquet files whose rows take about
# two and a half times the two limits together once read. Pausing (a worker past 80% of its limit
# stops running tasks) is turned off: a worker's own interpreter and libraries already
# take more than such a limit, more again under the sanitizers, and it would never resume.
# Spilling stays on, and decides by the size of the data the worker holds.
SMALL_LIMIT = 16 * 2**20
SMALL_ROWS = 1_500_000


@pytest.fixture(scope="module")
def small_client(tmp_path_factory):
    env = dict(os.environ, DASK_DISTRIBUTED__WORKER__MEMORY__PAUSE="False")
    yield from _start_cluster(str(SMALL_LIMIT), tmp_path_factory.mktemp("spill"), env)


@pytest.fixture(scope="module")
def parquet_files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("parquet")
    rng = np.random.default_rng(12)
    files = 15  # parts well under a worker's limit: a task needs its inputs in memory
    for i in range(files):
        n = SMALL_ROWS // files
        df = pd.DataFrame({"worker": rng.integers(0, SMALL_ROWS // 15, n),
                           "firm": rng.integers(0, 300, n), "year": rng.integers(0, 10, n),
                           "x1": rng.normal(size=n), "x2": rng.normal(size=n),
                           "wt": rng.uniform(0.5, 2.0, n)})
        df["y"] = (0.5 * df.x1 - 0.2 * df.x2 + 1e-4 * df.worker + 0.01 * df.firm
                   + rng.normal(size=n))
        df.to_parquet(folder / f"part{i}.parquet")
    return folder


def _disk_bytes(client):
    return client.run(lambda dask_worker: (
        dask_worker.data.cumulative_metrics[("disk-write", "bytes")],
        dask_worker.data.cumulative_metrics[("disk-read", "bytes")]))


@pytest.mark.parametrize("fml, options, where", [
    # Clustered by a fixed effect: the two share their codes in parts spilled and read back.
    ("y ~ x1 + x2 | worker + firm + year", {"vcov": {"CRV1": "worker"}}, "on the client"),
    ("y ~ x1 + x2 | worker + firm", {"weights": "wt", "vcov": {"CRV1": "firm"}},
     "over the data"),
])
def test_data_larger_than_the_workers_memory(small_client, parquet_files, monkeypatch, fml,
                                             options, where):
    if where == "over the data":  # the system's matrix kept in the workers' parts too
        _over_the_data(monkeypatch)
    df = pd.read_parquet(parquet_files)
    assert df.memory_usage(deep=True).sum() > 2 * (2 * SMALL_LIMIT)
    before = _disk_bytes(small_client)
    dask_fit = kestrel.feols(fml, dd.read_parquet(parquet_files), client=small_client,
                             **options)
    after = _disk_bytes(small_client)
    _same(dask_fit, kestrel.feols(fml, df, **options))
    assert (where == "on the client") == ("on the client" in dask_fit.solver_stage)
    # Each worker put parts on its disk and read them back.
    for worker, (written, read) in after.items():
        assert written > before[worker][0] and read > before[worker][1], worker
