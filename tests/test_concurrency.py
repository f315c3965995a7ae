"""The engine under several Python threads, in sub-interpreters and in forked children."""
import os
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

from conftest import present, valid_args
from fuzz_support import DOCUMENTED, same_result
from kestrel import _native

PRESENT = present()


def outcome(f, args):
    try:
        return ("ok", f(*args))
    except DOCUMENTED as e:
        return ("raised", type(e), e.args)


def same_outcome(a, b):
    if a[0] != b[0]:
        return False
    return same_result(a[1], b[1]) if a[0] == "ok" else a[1:] == b[1:]


def large_demean_problem(seed=0):
    # At or above the parallel threshold (200000 rows, 32 groups), so that the pool runs.
    rng = np.random.default_rng(seed)
    n = 200_000
    x = rng.normal(size=(n, 2))
    fe1 = rng.integers(0, 40, size=n).astype(np.int32)
    fe2 = rng.integers(0, 33, size=n).astype(np.int32)
    return x, fe1, fe2


def workload():
    """(name, function, args) for every entry point: valid, failing and large calls."""
    jobs = []
    for fn in PRESENT:
        f = getattr(_native, fn)
        jobs.append((fn, f, valid_args(fn)))
        bad = valid_args(fn)
        bad[-1] = object()
        jobs.append((fn + "-type", f, bad))
    if "rust_demean" in PRESENT:
        x, fe1, fe2 = large_demean_problem()
        jobs.append(("demean-1fe", _native.rust_demean, [x, [fe1], [40], 1e-8, 50]))
        jobs.append(("demean-2fe", _native.rust_demean, [x, [fe1, fe2], [40, 33], 1e-8, 50]))
    if "rust_ols_from_arrays" in PRESENT:
        x, fe1, fe2 = large_demean_problem(1)
        y = x[:, 0] + 0.5 * x[:, 1]
        jobs.append(("ols-fe", _native.rust_ols_from_arrays,
                     [y, [x[:, 1].copy()], ["x"], [fe1, fe2], ["a", "b"], [fe1], ["c"], 1e-8, 50,
                      "iid"]))
    return jobs


def test_threads_calling_every_entry_point_at_once_get_the_serial_results():
    jobs = workload()
    serial = [outcome(f, args) for _, f, args in jobs]
    n_threads = 4
    rounds = 3
    results = [[None] * len(jobs) for _ in range(n_threads)]
    errors = []
    start = threading.Barrier(n_threads)

    def worker(t):
        try:
            start.wait()
            for r in range(rounds):
                # Each thread walks the jobs in its own order, so different entry points
                # overlap.
                order = list(range(len(jobs)))[t::1] + list(range(len(jobs)))[:t]
                for i in (order if r % 2 == 0 else order[::-1]):
                    got = outcome(jobs[i][1], jobs[i][2])
                    if results[t][i] is None:
                        results[t][i] = got
                    elif not same_outcome(results[t][i], got):
                        errors.append((t, jobs[i][0], "differs between rounds"))
        except BaseException as e:  # noqa: BLE001 - reported below, with the thread
            errors.append((t, "crashed", repr(e)))

    threads = [threading.Thread(target=worker, args=(t,)) for t in range(n_threads)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert errors == []
    for t in range(n_threads):
        for i, (name, _, _) in enumerate(jobs):
            assert same_outcome(results[t][i], serial[i]), (t, name)


def run_python(code, timeout=120, env=None):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=timeout, env=env)


SUBINTERPRETER = """
import sys

def run_in_subinterpreter(code):
    '''Runs code in a legacy sub-interpreter (which calls the module's init); returns
    the text of the exception it raised, or "" when it raised none, or None when this
    interpreter offers no way to do it.'''
    try:
        import _interpreters
    except ImportError:
        _interpreters = None
    if _interpreters is not None:
        try:
            interp = _interpreters.create("legacy")
        except TypeError:
            interp = _interpreters.create()
        try:
            err = _interpreters.exec(interp, code)
        finally:
            _interpreters.destroy(interp)
        return "" if err is None else f"{err.type.__name__}: {err.msg}"
    try:
        import _testcapi
    except ImportError:
        return None
    wrapped = ("try:\\n" + "".join("    " + l + "\\n" for l in code.splitlines()) +
               "except BaseException as e:\\n"
               "    import os; os.write(3, (type(e).__name__ + ': ' + str(e)).encode())\\n")
    import os
    r, w = os.pipe()
    os.dup2(w, 3)
    _testcapi.run_in_subinterp(wrapped)
    os.close(3); os.close(w)
    return os.read(r, 10000).decode()
"""


def test_import_in_a_sub_interpreter_fails_cleanly_and_the_main_one_keeps_working():
    out = run_python(SUBINTERPRETER + """
import numpy as np
import kestrel._native as native
err = run_in_subinterpreter("import kestrel._native")
if err is None:
    print("unavailable"); raise SystemExit
print(err)
codes, g = native.rust_recode(np.array([7, 7, 3], dtype=np.int64))
assert codes.tolist() == [0, 0, 1] and g == 2
print("main ok")
""")
    assert out.returncode == 0, out.stderr
    if out.stdout.startswith("unavailable"):
        pytest.skip("no way to run a sub-interpreter here")
    first, last = out.stdout.strip().splitlines()[0], out.stdout.strip().splitlines()[-1]
    assert first.startswith("ImportError") and "sub-interpreter" in first
    assert last == "main ok"


def test_a_sub_interpreter_that_imports_first_leaves_the_process_sound():
    # The first interpreter to initialise the module keeps it. CPython 3.13 runs the
    # initialisation of a single-phase module in the main interpreter first, so the
    # sub-interpreter is refused and the main one can import and use the module; where
    # the sub-interpreter keeps it instead, the main one must be refused with ImportError.
    # Either way nothing crashes, now or at exit.
    out = run_python(SUBINTERPRETER + """
# NumPy refuses to be loaded by a second interpreter, and would then be unusable in the
# main one too: the sub-interpreter imports only the engine.
err = run_in_subinterpreter("import kestrel._native")
if err is None:
    print("unavailable"); raise SystemExit
print("sub:", err or "ok")
try:
    import numpy as np
    import kestrel._native as native
    codes, g = native.rust_recode(np.array([7, 7, 3], dtype=np.int64))
    print("main: imported", codes.tolist(), g)
except ImportError as e:
    print("main: ImportError", e)
""")
    assert out.returncode == 0, out.stderr
    if out.stdout.startswith("unavailable"):
        pytest.skip("no way to run a sub-interpreter here")
    lines = out.stdout.strip().splitlines()
    if lines[0] == "sub: ok":
        assert lines[1].startswith("main: ImportError") and "sub-interpreter" in lines[1]
    else:
        assert lines[0].startswith("sub: ImportError") and "sub-interpreter" in lines[0]
        assert lines[1] == "main: imported [0, 0, 1] 2"


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
@pytest.mark.skipif("rust_demean" not in PRESENT, reason="needs the pool (rust_demean)")
def test_a_forked_child_uses_the_pool_and_gets_the_parents_results():
    out = run_python("""
import os, sys, warnings
import numpy as np
warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads running
from kestrel import _native
rng = np.random.default_rng(0)
n = 200_000
x = rng.normal(size=(n, 2))
fe1 = rng.integers(0, 40, size=n).astype(np.int32)
fe2 = rng.integers(0, 33, size=n).astype(np.int32)
one = _native.rust_demean(x, [fe1], [40], 1e-8, 50)           # creates the pool
two = _native.rust_demean(x, [fe1, fe2], [40, 33], 1e-8, 50)
pids = []
for child in range(2):
    pid = os.fork()
    if pid == 0:
        ok = True
        for _ in range(2):
            ok &= _native.rust_demean(x, [fe1], [40], 1e-8, 50).tobytes() == one.tobytes()
            ok &= _native.rust_demean(x, [fe1, fe2], [40, 33], 1e-8, 50).tobytes() == two.tobytes()
        os._exit(0 if ok else 3)
    pids.append(pid)
codes = [os.waitstatus_to_exitcode(os.waitpid(p, 0)[1]) for p in pids]
# The parent's pool still works after the children went.
again = _native.rust_demean(x, [fe1, fe2], [40, 33], 1e-8, 50)
print(codes, again.tobytes() == two.tobytes())
""", timeout=300)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "[0, 0] True"


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
@pytest.mark.skipif("rust_demean" not in PRESENT, reason="needs the pool (rust_demean)")
def test_fork_while_another_thread_runs_the_pool_leaves_a_working_child():
    out = run_python("""
import os, threading, warnings
import numpy as np
warnings.simplefilter("ignore", DeprecationWarning)
from kestrel import _native
rng = np.random.default_rng(0)
n = 200_000
x = rng.normal(size=(n, 2))
fe = rng.integers(0, 40, size=n).astype(np.int32)
expected = _native.rust_demean(x, [fe], [40], 1e-8, 50).tobytes()
stop = False
def busy():
    while not stop:
        _native.rust_demean(x, [fe], [40], 1e-8, 50)
t = threading.Thread(target=busy)
t.start()
codes = []
for _ in range(5):
    pid = os.fork()
    if pid == 0:
        ok = _native.rust_demean(x, [fe], [40], 1e-8, 50).tobytes() == expected
        os._exit(0 if ok else 3)
    codes.append(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
stop = True
t.join()
print(codes)
""", timeout=300)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "[0, 0, 0, 0, 0]"


@pytest.mark.parametrize("threads", ["1", "3", "7"])
@pytest.mark.skipif("rust_demean" not in PRESENT, reason="needs the pool (rust_demean)")
def test_pool_sizes_give_the_same_one_fixed_effect_result_up_to_rounding(threads):
    code = """
import numpy as np
from kestrel import _native
rng = np.random.default_rng(0)
n = 200_000
x = rng.normal(size=(n, 2))
fe = rng.integers(0, 40, size=n).astype(np.int32)
np.save(__import__("sys").stdout.buffer, _native.rust_demean(x, [fe], [40], 1e-8, 50))
"""
    env = dict(os.environ, RAYON_NUM_THREADS=threads)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, env=env, timeout=120)
    assert out.returncode == 0, out.stderr
    import io
    got = np.load(io.BytesIO(out.stdout))
    x, fe, _ = large_demean_problem()
    means = np.zeros((40, 2))
    np.add.at(means, fe, x)
    means /= np.bincount(fe, minlength=40)[:, None]
    np.testing.assert_allclose(got, x - means[fe], rtol=1e-12, atol=1e-12)
