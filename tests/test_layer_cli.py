"""python -m kestrel: the simulated panel job and the file form."""

import re
import subprocess
import sys

import pytest

from kestrel.simulate import TRUE_BETA


def run(*args, timeout=300):
    return subprocess.run([sys.executable, "-m", "kestrel", *map(str, args)],
                          capture_output=True, text=True, timeout=timeout)


def table(out):
    """name -> (estimate, true, std. error) from the summary's coefficient rows."""
    rows = re.findall(r"^(experience|training|hours)\s+(\S+)\s+(\S+)\s+(\S+)", out, re.M)
    return {name: tuple(map(float, cells)) for name, *cells in rows}


@pytest.mark.parametrize("n_fe", [1, 2, 3])
def test_job_prints_the_summary_beside_the_true_values(n_fe):
    proc = run("--rows", 20000, "--fixed-effects", n_fe, "--seed", 3)
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout
    assert "worker (" in out and "clustered by firm" in out and "Within R²" in out
    rows = table(out)
    assert list(rows) == list(TRUE_BETA)
    for name, (est, true, se) in rows.items():
        assert true == TRUE_BETA[name] and se > 0
        if n_fe >= 2:  # with the firm effect absorbed every regressor is exogenous
            assert abs(est - true) < 5 * se
    assert ("Biased on purpose" in out) == (n_fe == 1)


def test_same_seed_prints_the_same_table():
    a, b = run("--rows", 5000, "--seed", 7), run("--rows", 5000, "--seed", 7)
    assert table(a.stdout) == table(b.stdout) != {}


@pytest.mark.parametrize("args,message", [
    (["--seed", "-1"], "--seed must be between 0"),
    (["--rows", "10"], "--rows must be between 100"),
    (["--rows", "1e12"], "--rows must be a whole number"),
    (["--fixed-effects", "4"], "invalid choice"),
    (["fit"], "the following arguments are required: file, formula"),
])
def test_bad_options_are_usage_errors(args, message):
    proc = run(*args)
    assert proc.returncode == 2 and "usage:" in proc.stderr and message in proc.stderr
    assert "Traceback" not in proc.stderr


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    from kestrel.simulate import simulate

    path = tmp_path_factory.mktemp("data")
    df = simulate(3000, seed=1)
    df.to_csv(path / "panel.csv", index=False)
    out = {"csv": path / "panel.csv"}
    try:
        df.to_parquet(path / "panel.parquet")
        out["parquet"] = path / "panel.parquet"
    except ImportError:
        pass
    return out


@pytest.mark.parametrize("kind", ["csv", "parquet"])
def test_fit_prints_the_summary_of_a_file(files, kind):
    if kind not in files:
        pytest.skip("pyarrow is not installed")
    proc = run("fit", files[kind], "log_wage ~ training + hours | worker + firm",
               "--vcov", "CRV1:firm+year")
    assert proc.returncode == 0, proc.stderr
    assert "clustered by firm" in proc.stdout and "year (10 clusters)" in proc.stdout
    assert re.search(r"^training\s+\S+", proc.stdout, re.M)


@pytest.mark.parametrize("args,message", [
    (["log_wage ~ trianing | worker"], "column 'trianing' is not in the data; did you mean"),
    (["log_wage ~ training", "--vcov", "robust"], "unknown covariance"),
])
def test_fit_reports_mistakes_without_a_traceback(files, args, message):
    proc = run("fit", files["csv"], *args)
    assert proc.returncode == 2 and message in proc.stderr and "Traceback" not in proc.stderr
