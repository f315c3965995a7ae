"""Progress lines, the final table, and the log-log plot."""

from __future__ import annotations

from pathlib import Path

WORKLOAD_TITLES = {
    1: "1  fixed-effect OLS, benchmark panel (clustered by individual) and the main job's "
       "panel (by firm)",
    2: "2  demeaning alone ([y, x1]; five columns with random codes)",
    3: "3  OLS without fixed effects, 10 regressors + intercept",
    4: "4  2SLS, 1 endogenous, 2 instruments, HC0 or clustered",
    5: "5  covariance pieces and recoding",
    10: "10 regression weights: whole kestrel.feols fits weighted and unweighted against "
        "pyfixest's; the absorption stage ([y, x1]; w: weighted; cold/warm: a changed y from "
        "zero or from the unchanged problem's coefficients, by 1e-2 or 1e-4)",
    11: "11 Poisson (count outcome, 3 FE) and logit (2 FE) on the benchmark panel, "
        "clustered by the first fixed effect",
    12: "12 panel lags, split samples and varying slopes on the benchmark panel: a lag l(x1, 1) "
        "against the same fit on a lag column computed beforehand; split= by a 10-level column "
        "against a loop of fits over its levels written by hand; indiv[year] + firm against "
        "the same fit with indiv + firm",
}


def _mb(b):
    return f"{b / 2**20:.0f}" if b is not None else "-"


def _t(s):
    if s is None:
        return "-"
    return f"{s:.3f}" if s < 100 else f"{s:.1f}"


class Progress:
    def __init__(self, stream):
        self.s = stream

    def _p(self, text):
        print(text, file=self.s, flush=True)

    def header(self, mode, machine):
        v = machine["versions"]
        self._p(f"kestrel benchmarks, {mode} mode, {machine['cpu']}, {machine['cores']} cores, "
                f"Python {machine['python']}")
        self._p("  " + ", ".join(f"{k} {x}" for k, x in v.items() if x))
        self._p("  missing: " + (", ".join(k for k, x in v.items() if not x) or "nothing"))
        self._p("  workers run with OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE unset")

    def note(self, text):
        self._p("  " + text)

    def skip(self, case, why):
        self._p(f"  W{case.workload} {case.label} n={case.n:,}: skipped ({why})")

    def row(self, r):
        if r.get("ok"):
            self._p(f"  W{r['workload']} {r['label']} n={r['n']:,} {r['tool']}: "
                    f"{_t(r['median'])} s, peak {_mb(r.get('peak_bytes'))} MB"
                    + (f", {r['check']}" if r.get("check") else ""))
        else:
            self._p(f"  W{r['workload']} {r['label']} n={r['n']:,} {r['tool']}: {r.get('error')}")

    def profile(self, p):
        if p.get("ok") and p.get("t_iter"):
            self._p(f"  W6 {p['label']} n={p['n']:,}: {p['iterations']} iterations, "
                    f"{p['t_iter'] * 1e3:.2f} ms/iteration, bound {p['bound'] * 1e3:.2f} ms "
                    f"({p['ratio_to_bound']:.2f}x)")
        elif p.get("ok"):
            self._p(f"  W6 {p['label']} n={p['n']:,}: {p['iterations']} iteration(s), too few to time one")
        else:
            self._p(f"  W6 {p['label']} n={p['n']:,}: {p.get('error')}")


def table(rows, profiles, targets, summary) -> str:
    out = []
    w = out.append
    w(f"\nkestrel benchmarks ({summary['mode']} mode, {summary['repeats']} timed repeats after a "
      f"discarded first run, medians; {summary['machine']['cpu']}, {summary['machine']['cores']} cores)")
    w("ratio = kestrel median / tool median (below 1: kestrel faster); peak = resident-memory "
      "high-water of the call above its inputs")
    hdr = f"{'case':<34} {'n':>11}  {'tool':<22} {'median s':>9} {'ratio':>7} {'iters':>6} {'peak MB':>8}  check"
    for wl in sorted({r["workload"] for r in rows}):
        w("")
        w(WORKLOAD_TITLES.get(wl, str(wl)))
        w(hdr)
        w("-" * len(hdr))
        last = None
        for r in [r for r in rows if r["workload"] == wl]:
            case = (r["label"], r["n"])
            lab = r["label"] if case != last else ""
            nn = f"{r['n']:,}" if case != last else ""
            last = case
            if not r.get("ok"):
                w(f"{lab:<34} {nn:>11}  {r['tool']:<22} {'-':>9} {'-':>7} {'':>6} {'':>8}  "
                  f"{'skipped: ' if r.get('skipped') else ''}{r.get('error', '')}")
                continue
            ratio = f"{r['ratio']:.2f}" if r.get("ratio") is not None else "-"
            it = str(r.get("iterations", "")) if r.get("iterations") is not None else ""
            info = r.get("info") or {}
            if not it and info.get("iterations") is not None:
                it = str(info["iterations"])
            if not it and info.get("stage_diagonal") is not None:  # the auto solver's stages
                it = f"{info['stage_diagonal']}+{info['stage_graph']}"
            chk = r.get("check", "")
            if r.get("check_ok") is False:
                chk = "DISAGREE: " + chk
            elif r.get("check_ok"):
                chk = "ok: " + chk
            med = _t(r["median"]) + ("*" if r.get("single_run") else "")
            w(f"{lab:<34} {nn:>11}  {r['tool']:<22} {med:>9} {ratio:>7} {it:>6} "
              f"{_mb(r.get('peak_bytes')):>8}  {chk}")
    if any(r.get("single_run") for r in rows):
        w("")
        w("* one run only: the first run alone exceeded the time budget of the repeats")
    if profiles:
        w("")
        w("6  memory-pass bound of one conjugate-gradient iteration (rust_demean on [y, x1])")
        h = (f"{'case':<22} {'n':>11} {'iters':>6} {'s total':>8} {'ms/iter':>8} {'MB/iter':>8} "
             f"{'GB/s 1 thr':>10} {'GB/s 2 thr':>10} {'bound ms':>9} {'ratio':>6}")
        w(h)
        w("-" * len(h))
        for p in profiles:
            if not p.get("ok"):
                w(f"{p['label']:<22} {p['n']:>11,}  {p.get('error')}")
                continue
            ti = p.get("t_iter")
            ms = f"{ti * 1e3:.2f}" if ti else "-"
            vs_bound = f"{ti / p['bound']:.2f}" if ti else "-"
            w(f"{p['label']:<22} {p['n']:>11,} {p['iterations']:>6} {p['t_converged']:>8.3f} "
              f"{ms:>8} {p['bytes_per_iter'] / 2**20:>8.1f} "
              f"{p['triad_bw_1thread'] / 1e9:>10.2f} {p['triad_bw_2threads'] / 1e9:>10.2f} "
              f"{p['bound'] * 1e3:>9.2f} {vs_bound:>6}")
        w("ms/iter = (converged time - time capped at 1 iteration) / (iterations - 1); '-' when the "
          "solve takes under 3 iterations")
        w("bytes/iteration = rows x columns x (32 x (2Q-1) + 88); bound = bytes / the faster of "
          "two NumPy triads a = b + s*c (40 bytes an element; one thread, and two threads on halves) "
          "on arrays of the same size, in the same process")
    if targets:
        w("")
        w("Targets")
        for t in targets:
            ratio = f"{t['ratio']:.2f}" if t["ratio"] is not None else "-"
            w(f"  {t['verdict']:<7} {t['target']:<48} {t['case']:<30} {ratio:>6} (limit {t['limit']})"
              + (f"  {t['detail']}" if t["detail"] else ""))
    bad = [r for r in rows if r.get("check_ok") is False]
    w("")
    w(f"{len(bad)} disagreement(s) with kestrel" + (": " + "; ".join(
        f"W{r['workload']} {r['label']} n={r['n']} {r['tool']}" for r in bad) if bad else ""))
    return "\n".join(out)


def plot(rows, path: Path):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return None
    # A panel needs at least two sizes to show a slope.
    sizes = {}
    for r in rows:
        if r.get("plot") and r.get("ok"):
            sizes.setdefault(r["plot"], set()).add(r["n"])
    order = ["simple, 2 FE", "simple, 3 FE", "difficult, 2 FE", "difficult, 3 FE"]
    panels = sorted((p for p, ns in sizes.items() if len(ns) >= 2),
                    key=lambda p: (not p.startswith("OLS"),
                                   next((i for i, o in enumerate(order) if p.endswith(o)), 9), p))
    if not panels:
        return None
    ncols = min(4, len(panels))
    nrows = -(-len(panels) // ncols)
    fig, axes = plt.subplots(nrows, ncols, figsize=(4.2 * ncols, 3.6 * nrows), squeeze=False)
    tools = sorted({r["tool"] for r in rows if r.get("plot")}, key=lambda t: (t != "kestrel", t))
    colors = {t: plt.cm.tab10(i % 10) for i, t in enumerate(tools)}
    for ax, panel in zip(axes.flat, panels):
        for tool in tools:
            pts = sorted((r["n"], r["median"]) for r in rows
                         if r.get("plot") == panel and r["tool"] == tool and r.get("ok"))
            if pts:
                xs, ys = zip(*pts)
                ax.plot(xs, ys, marker="o", label=tool, color=colors[tool],
                        linewidth=2.5 if tool == "kestrel" else 1.2)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_title(panel, fontsize=10)
        ax.set_xlabel("rows")
        ax.set_ylabel("median time (s)")
        ax.grid(True, which="both", alpha=0.3)
    for ax in list(axes.flat)[len(panels):]:
        ax.axis("off")
    handles, labels = [], []
    for ax in axes.flat:
        for h, l in zip(*ax.get_legend_handles_labels()):
            if l not in labels:
                handles.append(h)
                labels.append(l)
    ncol = min(len(labels), 5)
    fig.legend(handles, labels, loc="lower center", ncol=ncol, fontsize=9)
    legend_rows = -(-len(labels) // ncol)
    fig.tight_layout(rect=(0, (0.15 + 0.22 * legend_rows) / fig.get_figheight(), 1, 1))
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return path
