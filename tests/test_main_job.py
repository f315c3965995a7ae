"""python -m kestrel: the simulated worker-firm panel job."""

import re
import subprocess
import sys

import pytest


def run(*args):
    return subprocess.run([sys.executable, "-m", "kestrel", *args], capture_output=True,
                          text=True, timeout=120)


def field(out, label):
    m = re.search(rf"^\s+{label}\s+([\d,.]+)", out, re.M)
    assert m, f"no '{label}' line in:\n{out}"
    return float(m.group(1).replace(",", ""))


@pytest.mark.parametrize("n_fe", [1, 3])
def test_job_prints_counts_and_a_coefficient_table_near_the_true_values(n_fe):
    proc = run("--rows", "20000", "--fixed-effects", str(n_fe), "--seed", "3")
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout
    n, removed = field(out, "observations"), field(out, "singletons removed")
    assert n + removed == 20000 and removed > 0
    assert field(out, "absorbed dof") > 2000
    assert 0.0 < field(out, "within R²") < 1.0
    assert "firm (" in out and "time taken" in out
    rows = re.findall(r"^\s+(experience|training|hours)\s+(\S+)\s+(\S+)\s+(\S+)\s+(\S+)$", out,
                      re.M)
    assert [r[0] for r in rows] == ["experience", "training", "hours"]
    for _, est, se, t, true in rows:
        est, se, t, true = map(float, (est, se, t, true))
        assert se > 0 and t == pytest.approx(est / se, rel=0.01)
        if n_fe >= 2:  # with the firm effect absorbed every regressor is exogenous
            assert abs(est - true) < 5 * se


def test_the_same_seed_prints_the_same_table_and_bad_options_are_usage_errors():
    a, b = run("--rows", "5000", "--seed", "7"), run("--rows", "5000", "--seed", "7")
    assert a.stdout[a.stdout.index("variable"):] == b.stdout[b.stdout.index("variable"):]
    for args in (["--fixed-effects", "4"], ["--fixed-effects", "0"], ["--rows", "10"]):
        proc = run(*args)
        assert proc.returncode == 2 and "usage:" in proc.stderr
