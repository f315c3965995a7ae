"""Ctrl-C during a long fit raises KeyboardInterrupt promptly and leaves the process usable."""

import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

CHILD = textwrap.dedent("""
    import types
    import numpy as np, pandas as pd
    import kestrel, kestrel.steps as steps

    core = steps._core
    def absorb(**kw):
        print("absorbing", flush=True)
        return core.absorb(**{**kw, "solver": "cg"})
    steps._core = types.SimpleNamespace(**{n: getattr(core, n) for n in dir(core)
                                            if not n.startswith("_")})
    steps._core.absorb = absorb

    # Firms assigned cyclically link the worker and firm graphs weakly: conjugate
    # gradient on the sweep needs hundreds of iterations, many seconds at this size
    # (the signal comes half a second in).
    n = 1_000_000
    rng = np.random.default_rng(1)
    data = pd.DataFrame({"indiv": np.repeat(np.arange(n // 10), 10),
                         "year": np.tile(np.arange(10), n // 10),
                         "firm": np.arange(n) % (n // 230), "x": rng.normal(size=n)})
    data["y"] = data.x + rng.normal(size=n)
    try:
        kestrel.feols("y ~ x | indiv + firm + year", data, fixef_tol=1e-13,
                      fixef_maxiter=10**9, progress=False)
        print("finished", flush=True)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    fit = kestrel.feols("y ~ x | indiv + firm", data.head(5000))
    print("second fit", fit.nobs, flush=True)
""")


@pytest.mark.skipif(sys.platform == "win32", reason="POSIX signals")
@pytest.mark.parametrize("threads", [None, "18446744073709551615"])
def test_sigint_interrupts_a_long_fit_and_the_next_fit_works(threads):
    """Also with a pool size far beyond the machine, whose chunks once made a single
    iteration last minutes."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    if threads is not None:
        env["RAYON_NUM_THREADS"] = threads
    proc = subprocess.Popen([sys.executable, "-c", CHILD], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=env)
    try:
        assert proc.stdout.readline().strip() == "absorbing"
        time.sleep(0.5)  # well inside the solver's iterations
        sent = time.monotonic()
        os.kill(proc.pid, signal.SIGINT)
        line = proc.stdout.readline().strip()
        waited = time.monotonic() - sent
        rest, err = proc.communicate(timeout=120)
    finally:
        proc.kill()
    assert line == "interrupted", err
    assert waited < 5.0, f"KeyboardInterrupt came {waited:.1f} s after SIGINT"
    assert rest.splitlines()[-1].startswith("second fit") and int(rest.split()[-1]) > 0
    assert proc.returncode == 0, err
