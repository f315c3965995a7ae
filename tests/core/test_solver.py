"""The "auto" demeaning solver of kestrel._core.absorb: conjugate gradient on the system left
once the largest fixed effect is eliminated, preconditioned by its diagonal (stage "diagonal")
and, once that stalls, by the fixed-effect graph (stage "graph").

Oracles: least squares on explicit dummy columns (tests/oracles.py) on small hard
designs, SciPy's LSQR on sparse dummies where the dense ones would be too large, and today's
CG path run to a much tighter tolerance on a benchmark panel."""
import json
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from oracles import residual_on_dummies
from kestrel import _core

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def absorb(columns, fe, solver="auto", tol=1e-8, max_iter=10_000, progress=None):
    n = len(fe[0])
    s = _core.sample(fe=[np.asarray(c, dtype=np.int32) for c in fe], clusters=[],
                     keep=np.ones(n, dtype=bool), drop_singletons=False)
    return s, _core.absorb(columns=list(columns), mask=s["mask"], fe=s["fe"],
                           fe_groups=s["fe_groups"], tol=tol, max_iter=max_iter, solver=solver,
                           progress=progress)


def ring_panel(n_workers, n_firms, spells, stay=1):
    """Workers observed `spells` times, moving one firm along a ring every `stay` spells:
    the worker-firm graph is a long ring, the design on which the sweep stalls."""
    w = np.repeat(np.arange(n_workers), spells)
    t = np.tile(np.arange(spells), n_workers)
    f = (w * (spells // stay) + t // stay) % n_firms
    return w, t, f


def designs():
    rng = np.random.default_rng(3)
    w, t, f = ring_panel(300, 97, 6)
    yield "ring, 3 FE", [w, f, t]
    yield "ring, 2 FE", [w, f]
    w = np.repeat(np.arange(200), 4)
    f = np.minimum(w // 2 + np.tile([0, 0, 1, 1], 200), 99)  # a chain of firms
    yield "chain, 2 FE", [w, f]
    yield "chain, 3 FE", [w, f, np.tile(np.arange(4), 200)]
    w = np.repeat(np.arange(300), 2)
    f = np.where(np.tile([0, 1], 300) == 0, 0, 1 + np.arange(600) // 2 % 60)  # a star
    yield "star, 2 FE", [w, f]
    w = np.repeat(np.arange(400), 3)
    f = (w // 8) * 4 + rng.integers(0, 4, 1200)  # 50 separate worker-firm components
    yield "many components, 3 FE", [w, f, np.tile(np.arange(3), 400)]
    yield "random, 4 FE", [rng.integers(0, 80, 1000), rng.integers(0, 30, 1000),
                           rng.integers(0, 7, 1000), rng.integers(0, 5, 1000)]
    # More than 256 firms: the firm Laplacian is built row by row, not as a dense matrix.
    w, t, f = ring_panel(700, 281, 3)
    yield "ring of 281 firms, 3 FE", [w, f, t]
    # Rows not grouped by worker: the reduced products take two passes.
    perm = rng.permutation(len(w))
    yield "ring, rows shuffled", [w[perm], f[perm], t[perm]]


@pytest.mark.parametrize("name,fe", list(designs()), ids=[d[0] for d in designs()])
def test_auto_agrees_with_dummy_least_squares_on_small_hard_designs(name, fe):
    rng = np.random.default_rng(11)
    n = len(fe[0])
    x = rng.standard_normal((n, 2)) + 5.0 * rng.standard_normal(int(fe[0].max()) + 1)[fe[0]][:, None]
    s, out = absorb([x[:, 0], x[:, 1]], fe, tol=1e-12)
    assert out["converged"]
    expected = residual_on_dummies(x, [np.asarray(c) for c in fe])
    np.testing.assert_allclose(out["data"], expected, rtol=0, atol=1e-9 * np.abs(x).max())


def test_the_preconditioned_solver_takes_over_on_a_ring_and_not_on_a_random_design():
    rng = np.random.default_rng(5)
    w, t, f = ring_panel(20_000, 1_499, 10)
    y = rng.standard_normal(len(w))
    _, ring = absorb([y], [w, t, f])
    assert ring["stage"] == "graph"
    assert ring["converged"]
    assert 1 <= ring["stages"]["graph"] <= 20
    assert ring["iterations"] == ring["stages"]["diagonal"] + ring["stages"]["graph"]

    f_random = rng.integers(0, 1_500, len(w))
    _, simple = absorb([y], [w, t, f_random])
    assert simple["stage"] == "diagonal"
    assert simple["stages"]["graph"] == 0
    assert simple["setup_seconds"] == 0.0


def test_progress_sees_both_stages_numbered_on_and_an_exception_in_it_propagates():
    rng = np.random.default_rng(6)
    w, t, f = ring_panel(5_000, 401, 10)
    y = rng.standard_normal(len(w))
    seen = []
    _, out = absorb([y], [w, t, f], progress=lambda i, r: seen.append((i, r)))
    assert out["stage"] == "graph"
    assert [i for i, _ in seen] == list(range(1, out["iterations"] + 1))

    class Stop(Exception):
        pass

    def stop_in_second_stage(i, r):
        if i > out["stages"]["diagonal"]:
            raise Stop

    with pytest.raises(Stop):
        absorb([y], [w, t, f], progress=stop_in_second_stage)


def test_coefficients_agree_with_the_converged_cg_path_on_the_difficult_panel():
    sys.path.insert(0, ROOT)
    from benchmarks.data import panel

    d = panel(100_000, "difficult")
    fe = [d["indiv"], d["year"], d["firm"]]
    cols = [d["y"], d["x1"], d["x2"]]
    _, auto = absorb(cols, fe, tol=1e-8)
    _, cg = absorb(cols, fe, solver="cg", tol=1e-13, max_iter=100_000)
    assert auto["stage"] == "graph" and auto["converged"]

    def coef(data):
        return np.linalg.lstsq(data[:, 1:], data[:, 0], rcond=None)[0]

    np.testing.assert_allclose(coef(auto["data"]), coef(cg["data"]), rtol=1e-8)


def test_an_unreachable_tolerance_ends_not_converged_well_before_the_cap():
    rng = np.random.default_rng(7)
    w, t, f = ring_panel(3_000, 211, 10)
    y = rng.standard_normal(len(w))
    _, out = absorb([y], [w, t, f], tol=1e-300, max_iter=10**9)
    assert not out["converged"]
    assert out["stage"] == "graph"
    assert out["iterations"] < 500


def clusters_panel(rng, clusters=10, firms=60, workers=200, spells=5):
    """Dense clusters of firms (workers move at random within their cluster), one mover
    per cluster to the next: the firm Laplacian is too dense for its memory share, and
    the slow modes are the clusters' levels."""
    w = np.repeat(np.arange(clusters * workers), spells)
    t = np.tile(np.arange(spells), clusters * workers)
    c = w // workers
    f = c * firms + rng.integers(0, firms, len(w))
    moves = (w % workers == 0) & (t >= 3)
    f = np.where(moves, (c + 1) % clusters * firms + rng.integers(0, firms, len(w)), f)
    return w, f, t


def lsqr_residual(x, fes):
    """x minus its least-squares fit on sparse dummy columns (SciPy's LSQR)."""
    from scipy.sparse import csr_matrix, hstack
    from scipy.sparse.linalg import lsqr

    n = len(x)
    d = hstack([csr_matrix((np.ones(n), (np.arange(n), c)), shape=(n, int(c.max()) + 1))
                for c in fes]).tocsr()
    return x - d @ lsqr(d, x, atol=1e-15, btol=1e-15, iter_lim=200_000)[0]


def test_a_block_too_dense_for_its_memory_share_is_sampled_and_still_solves():
    rng = np.random.default_rng(8)
    w, f, t = clusters_panel(rng)
    y = rng.standard_normal(len(w)) + rng.standard_normal(f.max() + 1)[f]
    _, out = absorb([y], [w, f, t], tol=1e-10)
    assert out["stage"] == "graph" and out["converged"]
    expected = lsqr_residual(y, [w, f, t])
    np.testing.assert_allclose(out["data"][:, 0], expected, rtol=0, atol=1e-7 * np.abs(y).max())


DETERMINISM = """
import hashlib, json, sys
import numpy as np
sys.path.insert(0, {root!r})
from benchmarks.data import panel
from kestrel import _core
d = panel(300_000, "difficult")
fe = [d["indiv"], d["year"], d["firm"]]
s = _core.sample(fe=fe, clusters=[], keep=np.ones(len(d["y"]), bool), drop_singletons=False)
perm = np.random.default_rng(0).permutation(len(d["y"]))
shuffled = [c[perm] for c in fe]
t = _core.sample(fe=shuffled, clusters=[], keep=np.ones(len(d["y"]), bool), drop_singletons=False)
digests = {{"sorted": [], "shuffled": []}}
for _ in range(3):
    for key, smp, cols in (("sorted", s, [d["y"], d["x1"]]),
                           ("shuffled", t, [d["y"][perm], d["x1"][perm]])):
        r = _core.absorb(columns=cols, mask=smp["mask"], fe=smp["fe"],
                         fe_groups=smp["fe_groups"], tol=1e-8, max_iter=10000, solver="auto",
                         progress=None)
        assert r["stage"] == "graph"
        digests[key].append(hashlib.sha256(r["data"].tobytes()).hexdigest())
print(json.dumps(digests))
"""


@pytest.mark.parametrize("threads", ["1", "2", "4"])
def test_repeated_runs_give_the_same_bits_for_a_given_thread_count(threads):
    env = dict(os.environ, RAYON_NUM_THREADS=threads)
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(DETERMINISM.format(root=ROOT))],
                          capture_output=True, text=True, env=env, timeout=600)
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout)
    assert len(set(out["sorted"])) == 1
    assert len(set(out["shuffled"])) == 1
