"""The process-wide pool: its size from the environment, and fork safety.

The pool size T is not exposed; it is read off results instead. Demeaning a
problem at the chunked size gives bit-for-bit the step-by-step reference
computed with T chunks, and the references for different T differ, so the
reference a run matches names its pool size.
"""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from fe_reference import LARGE_SCRIPT, large_problem, reference_demean

TESTS_DIR = os.path.dirname(__file__)
CPUS = os.cpu_count() or 1


@pytest.fixture(scope="module")
def references():
    x, codes, groups = large_problem(200_000, 50)
    sizes = sorted({1, 2, 3, 4, CPUS})
    return {t: reference_demean(x, codes, groups, 0.0, 2, pool_size=t) for t in sizes}


def pool_size_under(env_vars, references, tmp_path):
    env = {k: v for k, v in os.environ.items()
           if k not in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")}
    env.update(env_vars)
    out = tmp_path / "out.npy"
    subprocess.run([sys.executable, "-c", LARGE_SCRIPT, "200000", "50", str(out), TESTS_DIR],
                   env=env, check=True, timeout=120)
    got = np.load(out)
    matches = [t for t, ref in references.items() if np.array_equal(got, ref)]
    assert len(matches) == 1, matches
    return matches[0]


@pytest.mark.parametrize("env,expected", [
    ({}, CPUS),
    ({"RAYON_NUM_THREADS": "3"}, 3),
    ({"RAYON_NUM_THREADS": "+3"}, 3),
    ({"RAYON_NUM_THREADS": "003"}, 3),
    ({"RAYON_NUM_THREADS": "0"}, CPUS),
    ({"RAYON_NUM_THREADS": "1", "RAYON_RS_NUM_CPUS": "4"}, 1),
    ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "4"}, CPUS),
    ({"RAYON_NUM_THREADS": "three", "RAYON_RS_NUM_CPUS": "4"}, 4),
    ({"RAYON_NUM_THREADS": "-1", "RAYON_RS_NUM_CPUS": "+3"}, 3),
    ({"RAYON_NUM_THREADS": " 3", "RAYON_RS_NUM_CPUS": "4"}, 4),
    ({"RAYON_NUM_THREADS": "", "RAYON_RS_NUM_CPUS": "3"}, 3),
    ({"RAYON_NUM_THREADS": "+", "RAYON_RS_NUM_CPUS": "3"}, 3),
    ({"RAYON_NUM_THREADS": "99999999999999999999999", "RAYON_RS_NUM_CPUS": "4"}, 4),
    ({"RAYON_RS_NUM_CPUS": "3"}, 3),
    ({"RAYON_RS_NUM_CPUS": "0"}, CPUS),
    ({"RAYON_RS_NUM_CPUS": "x"}, CPUS),
], ids=lambda v: repr(v) if isinstance(v, dict) else str(v))
def test_pool_size_follows_the_environment_rules(env, expected, references, tmp_path):
    assert pool_size_under(env, references, tmp_path) == expected


FORK_SCRIPT = textwrap.dedent("""
    import multiprocessing, os, sys
    import numpy as np
    sys.path.insert(0, sys.argv[1])
    from fe_reference import large_problem
    from kestrel import _native

    x, codes, groups = large_problem(200_000, 50)

    def run(_):
        return _native.rust_demean(x, codes, groups, 0.0, 2)

    parent = run(0)  # the pool and its threads exist from here on

    pid = os.fork()
    if pid == 0:
        os._exit(0 if np.array_equal(run(0), parent) else 3)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0, status

    with multiprocessing.get_context("fork").Pool(2) as pool:
        for got in pool.map(run, range(4)):
            assert np.array_equal(got, parent)
    assert np.array_equal(run(0), parent)  # and the parent's pool still works
    print("ok")
""")


@pytest.mark.parametrize("threads", ["1", "2", "4"])
def test_a_forked_child_uses_the_engine_after_its_parent_did_and_finishes(threads):
    env = dict(os.environ, RAYON_NUM_THREADS=threads)
    proc = subprocess.run([sys.executable, "-W", "ignore", "-c", FORK_SCRIPT, TESTS_DIR],
                          env=env, capture_output=True, text=True, timeout=180)
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert proc.stdout.strip() == "ok"
