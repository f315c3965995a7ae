"""Runs the suite: data once per case, one worker process per tool, checks, table, JSON, plot."""

from __future__ import annotations

import argparse
import importlib.metadata
import json
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

from benchmarks import data as datagen
from benchmarks import report, tools, workloads

# Set on some processors so that old OpenBLAS builds pick a safe kernel; they slow a current
# NumPy down. Workers run with both unset, so BLAS-backed peers use their native kernels.
BLAS_OVERRIDES = ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")

MODES = {
    # repeats timed after the discarded first run; seconds of timed repeats one worker may
    # spend; seconds after which a worker is stopped.
    # A tool whose time, scaled linearly from its last smaller size of the same case, would
    # exceed "cap" seconds a run is skipped at the larger size.
    "quick": {"repeats": 2, "budget": 8.0, "timeout": 60.0, "cap": 20.0},
    "smoke": {"repeats": 2, "budget": 2.0, "timeout": 30.0, "cap": 5.0},
    "long": {"repeats": 5, "budget": 90.0, "timeout": 1800.0, "cap": 400.0},
}

VERSIONED = ["kestrel", "numpy", "pandas", "pyfixest", "linearmodels", "pyhdfe", "statsmodels",
             "numba", "jax", "matplotlib"]


def _worker_env() -> dict[str, str]:
    env = dict(os.environ)
    for v in BLAS_OVERRIDES:
        env.pop(v, None)
    # Workers import this package from wherever the parent found it.
    root = str(Path(__file__).resolve().parent.parent)
    env["PYTHONPATH"] = root + (os.pathsep + env["PYTHONPATH"] if env.get("PYTHONPATH") else "")
    return env


def _machine() -> dict:
    cpu = platform.processor()
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    versions = {}
    for p in VERSIONED:
        try:
            versions[p] = importlib.metadata.version(p)
        except importlib.metadata.PackageNotFoundError:
            versions[p] = None
    return {"cpu": cpu, "cores": os.cpu_count(), "python": platform.python_version(),
            "platform": platform.platform(), "versions": versions,
            "blas_overrides_in_parent": {v: os.environ.get(v) for v in BLAS_OVERRIDES},
            "workers_unset": list(BLAS_OVERRIDES)}


def _run_worker(job: dict, jobdir: Path, timeout: float) -> dict:
    path = jobdir / (Path(job["out"]).stem + ".job.json")
    path.write_text(json.dumps(job))
    cmd = [sys.executable, "-m", "benchmarks.worker", str(path)]
    t0 = time.perf_counter()
    try:
        proc = subprocess.run(cmd, env=_worker_env(), capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"ok": False, "error": f"timeout after {timeout:.0f} s"}
    wall = time.perf_counter() - t0
    out = Path(job["out"])
    if not out.exists():
        tail = (proc.stderr or proc.stdout).strip().splitlines()[-3:]
        return {"ok": False, "error": f"worker exited {proc.returncode}: {' | '.join(tail)}"}
    res = json.loads(out.read_text())
    res["wall"] = wall
    return res


class DataCache:
    """Each distinct (generator, parameters) data set is made once and kept on disk."""

    def __init__(self, root: Path):
        self.root = root
        self.paths: dict[str, Path] = {}

    def path(self, case: workloads.Case) -> tuple[Path, float]:
        key = case.gen + json.dumps(case.gen_params, sort_keys=True)
        if key in self.paths:
            return self.paths[key], 0.0
        t0 = time.perf_counter()
        arrays = datagen.generate(case.gen, case.gen_params)
        p = self.root / f"data{len(self.paths)}.npz"
        np.savez(p, **arrays)
        self.paths[key] = p
        return p, time.perf_counter() - t0


def _select(all_cases, args) -> list[workloads.Case]:
    keep = set(args.workloads) if args.workloads else None
    out = []
    for c in all_cases:
        if keep is not None and c.workload not in keep and not (6 in keep and c.profile):
            continue
        if args.max_rows and c.n > args.max_rows or c.n < args.min_rows:
            continue
        if args.match and c.workload in (1, 2) and not any(m in c.label for m in args.match):
            continue
        out.append(c)
    return out


def run(args) -> int:
    mode = dict(MODES[args.mode])
    if args.cap:
        mode["cap"] = args.cap
    repeats = args.repeats or mode["repeats"]
    timeout = args.timeout or mode["timeout"]
    outdir = Path(args.out)
    outdir.mkdir(parents=True, exist_ok=True)
    scratch = Path(tempfile.mkdtemp(prefix="kestrel-bench-"))
    cache = DataCache(scratch)
    machine = _machine()
    log = report.Progress(sys.stderr)
    log.header(args.mode, machine)

    rows: list[dict] = []
    profiles: list[dict] = []
    cases = _select(workloads.cases(args.mode), args)
    tool_filter = set(args.tools) if args.tools else None
    history: dict[tuple, tuple[int, float | None]] = {}
    started = time.time()
    try:
        for case in cases:
            only_profile = args.workloads and case.workload == 2 and 2 not in args.workloads
            data_path, gen_time = cache.path(case)
            if gen_time:
                log.note(f"data for {case.gen} {case.gen_params}: {gen_time:.1f} s")
            ref = None
            case_rows = []
            for tool in ([] if only_profile else tools.TOOLS[case.kind]):
                if tool_filter and tool.name != "kestrel" and tool.name not in tool_filter:
                    continue
                if case.tools is not None and tool.name not in case.tools:
                    continue
                lack = tools.missing(tool)
                seen = history.get((case.kind, case.label, tool.name))
                if seen and seen[1] is None:
                    row = _row(case, tool.name, {"ok": False, "error": f"skipped: failed or timed out at "
                                                 f"n={seen[0]:,}"}, tool, skipped=True)
                elif seen and seen[1] * case.n / seen[0] > mode["cap"]:
                    row = _row(case, tool.name, {"ok": False, "error": f"skipped: {seen[1]:.1f} s at "
                                                 f"n={seen[0]:,} predicts over {mode['cap']:.0f} s a run"},
                               tool, skipped=True)
                elif lack:
                    row = _row(case, tool.name, {"ok": False, "error": "not installed: " + ", ".join(lack)},
                               tool, skipped=True)
                else:
                    job = {"kind": case.kind, "tool": tool.name, "data": str(data_path), "gen": case.gen,
                           "warm_params": case.warm_params, "params": case.params, "repeats": repeats,
                           "budget": mode["budget"],
                           "out": str(scratch / f"{case.key}__{_safe(tool.name)}.json")}
                    res = _run_worker(job, scratch, timeout)
                    res["se_comparable"] = tool.se_comparable
                    res["coef_rtol"] = tool.coef_rtol
                    history[(case.kind, case.label, tool.name)] = (case.n, res.get("median"))
                    if tool.name == "kestrel":
                        ref = res
                    row = _row(case, tool.name, res, tool)
                    if tool.name != "kestrel" and ref is not None:
                        row["check_ok"], row["check"] = workloads.check(case, ref, res)
                log.row(row)
                case_rows.append(row)
            k_med = ref.get("median") if ref and ref.get("ok") else None
            for row in case_rows:
                if k_med and row.get("ok") and row.get("median"):
                    row["ratio"] = k_med / row["median"]
            rows.extend(case_rows)
            if case.profile and (not args.workloads or 6 in args.workloads) and \
                    not tools.missing(tools.get("demean", "kestrel")):
                job = {"mode": "cgprofile", "kind": case.kind, "tool": "kestrel", "data": str(data_path),
                       "gen": case.gen, "params": dict(case.params, profile_step=args.profile_step),
                       "repeats": 3, "out": str(scratch / f"{case.key}__cgprofile.json")}
                prof = _run_worker(job, scratch, timeout)
                prof.update({"label": case.label, "n": case.n, "n_fe": len(case.params["fe"])})
                profiles.append(prof)
                log.profile(prof)
                for r in rows:
                    if r["kind"] in ("demean", "fe_ols") and r["tool"] == "kestrel" and \
                            r["label"] == case.label and r["n"] == case.n and prof.get("ok"):
                        r["iterations"] = prof["iterations"]
    finally:
        if not args.keep_data:
            shutil.rmtree(scratch, ignore_errors=True)

    for r in rows:  # array paths point into the scratch directory, gone now
        r.pop("arrays", None)
    tg = workloads.targets(rows, profiles)
    summary = {"mode": args.mode, "started": time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(started)),
               "seconds": time.time() - started, "repeats": repeats, "machine": machine,
               "kestrel_tol": tools.KESTREL_TOL, "kestrel_max_iter": tools.KESTREL_MAX_ITER,
               "rows": rows, "profiles": profiles, "targets": tg}
    json_path = outdir / f"results-{args.mode}.json"
    json_path.write_text(json.dumps(summary, indent=1, default=_jsonable))
    print(report.table(rows, profiles, tg, summary))
    png = report.plot(rows, outdir / f"scaling-{args.mode}.png")
    print(f"\nJSON: {json_path}" + (f"\nplot: {png}" if png else "\nplot: none (no scaling cases, or matplotlib missing)"))
    disagree = [r for r in rows if r.get("check_ok") is False]
    return 1 if disagree else 0


def _jsonable(o):
    if isinstance(o, (np.integer,)):
        return int(o)
    if isinstance(o, (np.floating,)):
        return float(o)
    if isinstance(o, np.ndarray):
        return o.tolist()
    return str(o)


def _safe(name: str) -> str:
    return "".join(ch if ch.isalnum() else "_" for ch in name)


def _row(case, tool_name, res, tool, skipped=False) -> dict:
    row = {"workload": case.workload, "kind": case.kind, "label": case.label, "n": case.n,
           "tool": tool_name, "note": tool.note, "plot": case.plot, "skipped": skipped}
    for k in ("ok", "error", "median", "single_run", "times", "first", "peak_bytes", "base_rss", "peak_exact",
              "info", "coef", "se", "arrays", "blas", "wall"):
        if k in res:
            row[k] = res[k]
    return row


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(prog="python -m benchmarks",
                                 description="kestrel against its peers, on the same data in the same run.")
    g = ap.add_mutually_exclusive_group()
    g.add_argument("--quick", dest="mode", action="store_const", const="quick",
                   help="small sizes, few repeats: a few minutes on 2 cores (the default)")
    g.add_argument("--long", dest="mode", action="store_const", const="long",
                   help="the full sizes of every workload, up to 10^7 rows (an hour or more)")
    g.add_argument("--smoke", dest="mode", action="store_const", const="smoke",
                   help="tiny sizes: checks that every workload and peer runs (about a minute)")
    ap.set_defaults(mode="quick")
    ap.add_argument("--workloads", type=int, nargs="+", choices=range(1, 13), metavar="W",
                    help="run only these workloads (1-12)")
    ap.add_argument("--tools", nargs="+", metavar="TOOL",
                    help="run only these peers (kestrel always runs), e.g. pyfixest statsmodels")
    ap.add_argument("--max-rows", type=int, default=0, help="skip cases with more rows than this")
    ap.add_argument("--min-rows", type=int, default=0, help="skip cases with fewer rows than this")
    ap.add_argument("--match", nargs="+", metavar="TEXT",
                    help="run only the panel cases (workloads 1, 2) whose label contains one of "
                         "these texts, e.g. difficult")
    ap.add_argument("--repeats", type=int, default=0, help="timed repeats after the discarded first run")
    ap.add_argument("--timeout", type=float, default=0, help="seconds before a worker is stopped")
    ap.add_argument("--cap", type=float, default=0,
                    help="skip a tool at a larger size when its last time, scaled by rows, exceeds this "
                         "many seconds a run (quick 20, long 400)")
    ap.add_argument("--profile-step", type=int, default=20,
                    help="iterations between the two fixed-count runs that time one CG iteration")
    ap.add_argument("--out", default="benchmarks/results", help="directory for the JSON and the PNG")
    ap.add_argument("--keep-data", action="store_true", help="keep the scratch directory of data and results")
    return run(ap.parse_args(argv))
