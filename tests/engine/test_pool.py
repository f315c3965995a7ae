"""The process-wide pool and the engine under concurrency: the pool size from the
environment, several Python threads at once, forked children, and a task that fails.

The pool size T is not exposed; it is read off results instead. Demeaning a problem at the
chunked size gives bit for bit the step-by-step restatement computed with T chunks, and the
restatements for different T differ, so the one a run matches names its pool size.
"""
import os
import shutil
import subprocess
import sys
import threading

import numpy as np
import pytest

from conftest import ENTRY_POINTS, SANITIZED, call_checked, same_outcome, valid_args
from kestrel import _native
from oracles import large_problem, reference_demean, run_large

TESTS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))  # where oracles.py lives
CPUS = os.cpu_count() or 1
CAP = max(CPUS, 64)  # the largest pool: sizes beyond it only cost time and memory
HUGE = ["100000", "4294967297", "18446744073709551615"]
CLEAN_ENV = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}


@pytest.fixture(scope="module")
def references():
    x, codes, groups = large_problem(200_000, 50)
    refs = {t: reference_demean(x, codes, groups, 0.0, 2, pool_size=t)
            for t in sorted({1, 2, 3, 4, CPUS, 64, CAP})}
    values = list(refs.values())
    assert all(not np.array_equal(a, b) for i, a in enumerate(values) for b in values[i + 1:])
    return refs


@pytest.mark.parametrize("env, expected", [
    ({}, CPUS), ({"RAYON_NUM_THREADS": "3"}, 3), ({"RAYON_NUM_THREADS": "+3"}, 3),
    ({"RAYON_NUM_THREADS": "003"}, 3), ({"RAYON_NUM_THREADS": "0"}, CPUS),
    ({"RAYON_NUM_THREADS": "1", "RAYON_RS_NUM_CPUS": "4"}, 1),
    ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "4"}, CPUS),
    ({"RAYON_NUM_THREADS": "three", "RAYON_RS_NUM_CPUS": "4"}, 4),
    ({"RAYON_NUM_THREADS": "-1", "RAYON_RS_NUM_CPUS": "+3"}, 3),
    ({"RAYON_NUM_THREADS": " 3", "RAYON_RS_NUM_CPUS": "4"}, 4),
    ({"RAYON_NUM_THREADS": "", "RAYON_RS_NUM_CPUS": "3"}, 3),
    ({"RAYON_NUM_THREADS": "+", "RAYON_RS_NUM_CPUS": "3"}, 3),
    ({"RAYON_NUM_THREADS": "99999999999999999999999", "RAYON_RS_NUM_CPUS": "4"}, 4),
    ({"RAYON_RS_NUM_CPUS": "3"}, 3), ({"RAYON_RS_NUM_CPUS": "0"}, CPUS),
    ({"RAYON_RS_NUM_CPUS": "x"}, CPUS), ({"RAYON_NUM_THREADS": "64"}, 64),
    *[({"RAYON_NUM_THREADS": v}, CAP) for v in HUGE],
    ({"RAYON_NUM_THREADS": "x", "RAYON_RS_NUM_CPUS": HUGE[0]}, CAP),
], ids=repr)
def test_pool_size_follows_the_environment_rules(env, expected, references, tmp_path):
    got = run_large(tmp_path, env)
    assert [t for t, ref in references.items() if np.array_equal(got, ref)] == [expected]


def test_threads_calling_every_entry_point_at_once_get_the_serial_results():
    rng = np.random.default_rng(0)
    x = rng.normal(size=(200_000, 2))
    fe1, fe2 = (rng.integers(0, g, 200_000).astype(np.int32) for g in (40, 33))
    jobs = [(getattr(_native, fn), valid_args(fn)) for fn in ENTRY_POINTS]
    jobs += [(f, a[:-1] + [object()]) for f, a in jobs] + [  # failing calls, and large ones
        (_native.rust_demean, [x, [fe1], [40], 1e-8, 50]),
        (_native.rust_ols_from_arrays, [x[:, 0], [x[:, 1].copy()], ["x"], [fe1, fe2], ["a", "b"],
                                        [fe1], ["c"], 1e-8, 50, "iid"])]
    serial = [call_checked(f, *a) for f, a in jobs]
    errors, start = [], threading.Barrier(4)

    def worker(t):
        start.wait()
        order = list(range(t, len(jobs))) + list(range(t))  # different calls overlap
        for r in range(3):
            for i in order[:: 1 if r % 2 == 0 else -1]:
                if not same_outcome(call_checked(jobs[i][0], *jobs[i][1]), serial[i]):
                    errors.append((t, i))

    threads = [threading.Thread(target=worker, args=(t,)) for t in range(4)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert errors == []


FORK_SCRIPT = """
import multiprocessing, os, sys, threading, warnings
import numpy as np
warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads running
sys.path.insert(0, sys.argv[1])
from oracles import large_problem
from kestrel import _native

x, codes, groups = large_problem(200_000, 50)

def run(_=None):
    return _native.rust_demean(x, codes, groups, 0.0, 2)

parent = run()  # the pool and its threads exist from here on
with multiprocessing.get_context("fork").Pool(2) as pool:
    assert all(np.array_equal(got, parent) for got in pool.map(run, range(4)))
stop = False  # children forked while another thread keeps the pool busy
def busy():
    while not stop:
        run()
t = threading.Thread(target=busy)
t.start()
for _ in range(4):
    if (pid := os.fork()) == 0:
        os._exit(0 if np.array_equal(run(), parent) and np.array_equal(run(), parent) else 3)
    assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0
stop = True
t.join()
assert np.array_equal(run(), parent)  # and the parent's pool still works
print("ok")
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
@pytest.mark.parametrize("threads", ["1", "4"])
def test_forked_children_use_the_engine_after_their_parent_did(threads):
    proc = subprocess.run([sys.executable, "-c", FORK_SCRIPT, TESTS], capture_output=True,
                          text=True, timeout=300, env=dict(CLEAN_ENV, RAYON_NUM_THREADS=threads))
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert proc.stdout.strip() == "ok"


# Interposes memcpy: while armed, a call from any thread but the arming one throws, as an
# allocation or a check failing inside a pool task would. The engine's pool tasks are the
# only other threads in the process.
FAULT_SHIM = r"""
#include <atomic>
#include <cstddef>
#include <dlfcn.h>
#include <pthread.h>
#include <stdexcept>
using Copy = void* (*)(void*, const void*, std::size_t);
static Copy real_copy;
static std::atomic<int> armed{0};
static std::atomic<long> thrown{0};
static pthread_t owner;
extern "C" void fault_arm(int on) { owner = pthread_self(); armed = on; }
extern "C" long fault_thrown() { return thrown; }
__attribute__((constructor)) static void init() {
  real_copy = reinterpret_cast<Copy>(dlsym(RTLD_NEXT, "memcpy"));
}
extern "C" void* memcpy(void* d, const void* s, std::size_t n) {
  if (armed.load() && !pthread_equal(pthread_self(), owner)) {
    armed = 0, ++thrown;
    throw std::runtime_error("injected failure in a pool task");
  }
  auto* out = static_cast<volatile char*>(d);  // before init: byte by byte
  for (std::size_t i = 0; !real_copy && i < n; ++i) out[i] = static_cast<const char*>(s)[i];
  return real_copy ? real_copy(d, s, n) : d;
}
"""

FAULT_SCRIPT = """
import ctypes, os
import numpy as np
from kestrel import _native
shim = ctypes.CDLL(os.environ["FAULT_SHIM"])
rng = np.random.default_rng(0)
score, t = rng.normal(size=(200_000, 2)), rng.permutation(200_000).astype(float)
expected = _native.rust_hac_meat(score, t, 3)  # rows copied into time order by pool tasks
faults = 0
for _ in range(20):
    before = shim.fault_thrown()
    shim.fault_arm(1)
    try:
        got = _native.rust_hac_meat(score, t, 3)
        outcome = "same" if np.array_equal(got, expected) else "different"
    except BaseException as e:
        outcome = f"{type(e).__name__}: {e}"
    shim.fault_arm(0)
    if shim.fault_thrown() > before:  # a task failed: the call must say so
        faults += 1
        assert outcome == "PanicException: injected failure in a pool task", outcome
    else:
        assert outcome == "same", outcome
print(faults)
"""


@pytest.mark.skipif(SANITIZED, reason="ASan's own memcpy comes first")
@pytest.mark.skipif(shutil.which("c++") is None, reason="needs a C++ compiler")
def test_an_exception_in_a_pool_task_reaches_the_caller(tmp_path):
    src, lib = tmp_path / "shim.cpp", tmp_path / "shim.so"
    src.write_text(FAULT_SHIM)
    subprocess.run(["c++", "-O2", "-fno-builtin", "-shared", "-fPIC", "-o", str(lib), str(src),
                    "-ldl"], check=True, timeout=120)
    env = dict(CLEAN_ENV, LD_PRELOAD=str(lib), FAULT_SHIM=str(lib), RAYON_NUM_THREADS="8")
    proc = subprocess.run([sys.executable, "-c", FAULT_SCRIPT], capture_output=True, text=True,
                          timeout=300, env=env)
    assert proc.returncode == 0, proc.stderr[-3000:]
    if CPUS < 2:
        pytest.skip("one processor: the pool runs every task on the calling thread")
    assert int(proc.stdout.split()[-1]) > 0, "no pool task ran on a worker thread"


FIT_BITS = """
import hashlib, resource, sys
if sys.argv[1] == "limit":  # a runaway allocation fails instead of taking the machine
    resource.setrlimit(resource.RLIMIT_AS, (8 << 30, 8 << 30))
import kestrel
from kestrel.simulate import simulate
fit = kestrel.feols("log_wage ~ hours + training | worker + firm + year",
                    simulate(250_000, seed=2), progress=False)
print(fit.solver_stage, hashlib.sha256(fit.coef().to_numpy().tobytes()
                                       + fit.se().to_numpy().tobytes()).hexdigest())
"""


def test_a_fit_with_a_pool_size_far_beyond_the_machine_is_the_fit_at_the_largest_pool():
    """The layer's solver chunks its sums by the pool size too: a size of 2^64 - 1 once
    built that many chunk boundaries."""
    limit = "none" if SANITIZED else "limit"  # the sanitizers reserve vast address space
    runs = {v: subprocess.run([sys.executable, "-c", FIT_BITS, limit], capture_output=True,
                              text=True, timeout=600, env=dict(CLEAN_ENV, RAYON_NUM_THREADS=v))
            for v in [str(CAP), HUGE[-1]]}
    assert [r.returncode for r in runs.values()] == [0, 0], [r.stderr[-2000:] for r in
                                                             runs.values()]
    assert runs[str(CAP)].stdout == runs[HUGE[-1]].stdout
