"""python -m kestrel: the simulated panel job and the file form."""

import os
import re
import subprocess
import sys

import pytest

from conftest import need
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
        need("pyarrow", "Parquet files")
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


def summary_of(path_or_frame, formula, vcov=None, **kw):
    """The summary kestrel.feols prints for the same fit in this process."""
    import pandas as pd

    import kestrel

    data = pd.read_csv(path_or_frame) if not hasattr(path_or_frame, "columns") else path_or_frame
    return str(kestrel.feols(formula, data, vcov, **kw).summary())


@pytest.mark.parametrize("kind,args,kwargs", [
    ("DK", ["--time-id", "year"], {"time_id": "year"}),
    ("DK", ["--time-id", "year", "--lag", "3"], {"time_id": "year", "lag": 3}),
    ("NW", ["--time-id", "year", "--panel-id", "worker"],
     {"time_id": "year", "panel_id": "worker"}),
    ("NW", ["--time-id", "t", "--lag", "2"], {"time_id": "t", "lag": 2}),
])
def test_newey_west_and_driscoll_kraay_from_the_command_line(tmp_path, kind, args, kwargs):
    import pandas as pd

    from kestrel.simulate import simulate

    df = simulate(2000, seed=4).drop_duplicates(["worker", "year"])
    df = df.assign(t=range(len(df)))
    df.to_csv(tmp_path / "p.csv", index=False)
    fml = "log_wage ~ training + hours | firm"
    proc = run("fit", tmp_path / "p.csv", fml, "--vcov", kind, *args)
    assert proc.returncode == 0, proc.stderr
    want = summary_of(pd.read_csv(tmp_path / "p.csv"), fml, kind, vcov_kwargs=kwargs)
    assert proc.stdout.strip() == want.strip()


@pytest.mark.parametrize("args,message", [
    (["--vcov", "NW"], "--vcov NW needs --time-id COLUMN"),
    (["--vcov", "DK", "--panel-id", "worker"], "--vcov DK needs --time-id"),
    (["--vcov", "NW", "--time-id", "year"], "one time series: give its --lag"),
    (["--vcov", "hetero", "--lag", "2"], "--lag applies to --vcov NW and --vcov DK only"),
    (["--time-id", "year"], "--time-id applies to"),
    (["--vcov", "DK", "--time-id", "year", "--lag", "-1"], "--lag must be between 0"),
    (["--vcov", "DK", "--time-id", "yaer"], "column 'yaer' is not in the data"),
])
def test_serial_options_are_checked(files, args, message):
    proc = run("fit", files["csv"], "log_wage ~ training | worker", *args)
    assert proc.returncode == 2 and message in proc.stderr, proc.stderr
    assert "Traceback" not in proc.stderr


def test_hc0_from_the_command_line(files):
    proc = run("fit", files["csv"], "log_wage ~ training + hours", "--vcov", "HC0")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == summary_of(files["csv"], "log_wage ~ training + hours",
                                             "HC0").strip()
    assert "(HC0)" in proc.stdout


def test_stata_and_tab_separated_files_read_as_such(files, tmp_path):
    import pandas as pd

    df = pd.read_csv(files["csv"])
    df.to_stata(tmp_path / "panel.dta", write_index=False)
    df.to_csv(tmp_path / "panel.TSV", sep="\t", index=False)
    fml = "log_wage ~ training + hours | worker + firm"
    want = run("fit", files["csv"], fml)
    assert want.returncode == 0, want.stderr
    for name in ("panel.dta", "panel.TSV"):
        proc = run("fit", tmp_path / name, fml)
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout == want.stdout


def one_line_error(proc, status=2):
    """A usage-free error: exit status, one line on stderr, no traceback."""
    assert proc.returncode == status, proc.stderr
    lines = proc.stderr.strip().splitlines()
    assert len(lines) == 1 and "error: " in lines[0] and "Traceback" not in proc.stderr, \
        proc.stderr
    return lines[0]


@pytest.mark.parametrize("name,content", [
    ("bad.csv.xz", b"\xfd7zXZ\x00" + b"not xz data" * 20),
    ("bad.csv.tar", b"not a tar archive" * 40),
    ("bad.csv.gz", b"\x1f\x8b" + b"not gzip data" * 20),
    ("bad.csv.bz2", b"BZh9" + b"not bzip2 data" * 20),
    ("bad.csv.zip", b"PK\x03\x04" + b"not a zip" * 20),
    ("bad.dta", b"not a Stata file" * 40),
    ("bad.parquet", b"not a Parquet file" * 40),
    ("missing.csv", None),
])
def test_unreadable_files_are_one_line_errors(tmp_path, name, content):
    if content is not None:
        (tmp_path / name).write_bytes(content)
    line = one_line_error(run("fit", tmp_path / name, "y ~ x"))
    assert f"cannot read {tmp_path / name}" in line or "needs the pyarrow package" in line


def test_an_unknown_extension_names_the_ones_understood(tmp_path, files):
    (tmp_path / "panel.txt").write_text(files["csv"].read_text())
    line = one_line_error(run("fit", tmp_path / "panel.txt", "log_wage ~ training"))
    for ext in (".csv", ".tsv", ".gz", ".zst", ".tar.xz", ".parquet", ".pq", ".dta"):
        assert ext in line
    assert "cannot tell the format of" in line


def test_zstandard_missing_says_what_to_install(tmp_path, files):
    # Run as if zstandard were not installed, whether it is or not.
    (tmp_path / "panel.csv.zst").write_bytes(b"(\xb5/\xfd" + b"\x00" * 32)
    code = ("import sys; sys.modules['zstandard'] = None; from kestrel.__main__ import main; "
            "sys.exit(main(sys.argv[1:]))")
    proc = subprocess.run([sys.executable, "-c", code, "fit", str(tmp_path / "panel.csv.zst"),
                           "y ~ x"], capture_output=True, text=True, timeout=300)
    line = one_line_error(proc)
    assert "needs the zstandard package: pip install zstandard" in line


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="RLIMIT_AS is Linux's")
@pytest.mark.skipif(bool(os.environ.get("KESTREL_SANITIZED")),
                    reason="ASan needs address space beyond any cap for its shadow memory")
def test_rows_beyond_memory_end_in_one_line_and_status_1():
    import resource

    def limit():  # 1 GB of address space: enough to start, not for 20 million rows
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))

    proc = subprocess.run([sys.executable, "-m", "kestrel", "--rows", "20000000"],
                          capture_output=True, text=True, timeout=300, preexec_fn=limit)
    line = one_line_error(proc, status=1)
    assert "not enough memory to simulate and fit 20,000,000 rows" in line


def test_lags_and_samples_from_the_command_line(tmp_path):
    import pandas as pd

    from kestrel.simulate import simulate

    df = simulate(3000, seed=5).drop_duplicates(["worker", "year"])
    df = df.assign(recent=df["year"] >= 2012)
    df.to_csv(tmp_path / "p.csv", index=False)
    data = pd.read_csv(tmp_path / "p.csv")
    fml = "log_wage ~ l(hours) + training | firm"
    proc = run("fit", tmp_path / "p.csv", fml, "--panel-id", "worker", "--time-id", "year")
    assert proc.returncode == 0, proc.stderr
    assert "l(hours, 1)" in proc.stdout
    assert proc.stdout.strip() == summary_of(data, fml, panel_id="worker",
                                             time_id="year").strip()
    proc = run("fit", tmp_path / "p.csv", "log_wage ~ hours | firm", "--fsplit", "training",
               "--subset", "recent")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == summary_of(data, "log_wage ~ hours | firm", fsplit="training",
                                             subset="recent").strip()
    assert proc.stdout.count("kestrel.feols:") == 3
    proc = run("fit", tmp_path / "p.csv", "log_wage ~ hours", "--split", "nope")
    assert proc.returncode == 2 and "'nope'" in proc.stderr and "Traceback" not in proc.stderr
