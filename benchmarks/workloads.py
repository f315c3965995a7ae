"""The workloads, their sizes in quick and long mode, the agreement checks, and the targets."""

from __future__ import annotations

import dataclasses

import numpy as np

FE2 = ("indiv", "year")
FE3 = ("indiv", "year", "firm")


@dataclasses.dataclass
class Case:
    workload: int
    kind: str                 # adapter family in tools.TOOLS
    label: str                # what is run, e.g. "simple, 3 FE"
    n: int
    gen: str                  # data generator (data.GENERATORS)
    gen_params: dict
    warm_params: dict         # a tiny data set of the same kind, for warm-up runs
    params: dict              # model options handed to every adapter
    plot: str | None = None   # plot panel title; None for cases not on the plot
    profile: bool = False     # also run the conjugate-gradient profile (workload 6)
    tools: tuple[str, ...] | None = None  # the tools to run (None: every adapter of the kind)

    @property
    def key(self) -> str:
        return f"w{self.workload}-{self.kind}-{self.label}-{self.n}".replace(" ", "").replace(",", "_")


# Quick mode keeps the peers that the targets name: all of pyfixest's backends only where
# the "fastest backend" target is judged (simple design, 10^6 rows), and neither linearmodels
# nor pyhdfe on the difficult design with 3 fixed effects (each takes over a minute there
# already at 10^5 rows). That design needs hundreds of iterations whatever the method, so
# quick mode runs it at 10^5 and 3*10^5 rows only; demeaning alone runs at the largest quick
# size of each design. The long mode runs every adapter at every size.
QUICK_FE = ("kestrel", "kestrel.feols", "kestrel.feols[cg]", "pyfixest", "linearmodels",
            "pyhdfe+lstsq")
QUICK_FE_ALL_BACKENDS = QUICK_FE + ("pyfixest[lsmr-within]", "pyfixest[map-numba]", "pyfixest[map-jax]")
QUICK_FE_DIFFICULT3 = ("kestrel", "kestrel.feols", "kestrel.feols[cg]", "pyfixest",
                       "pyfixest[lsmr-within]")
QUICK_DEMEAN = ("kestrel", "kestrel.absorb", "kestrel.demean", "pyfixest", "pyhdfe")
QUICK_DEMEAN_DIFFICULT3 = ("kestrel", "kestrel.absorb", "kestrel.demean", "kestrel.demean[memory]",
                           "pyfixest", "pyfixest[lsmr-within]")


def _quick_fe_tools(design, n_fe, n):
    if design == "simple" and n >= 1_000_000:
        return QUICK_FE_ALL_BACKENDS
    if design == "difficult" and n_fe == 3:
        return QUICK_FE_DIFFICULT3
    return QUICK_FE


def _panel_cases(sizes, hard_sizes, demean_sizes, big_sizes, profile_sizes, quick) -> list[Case]:
    """sizes: rows of every panel; hard_sizes: rows of the difficult design with 3 FE."""
    cases = []
    for design in ("simple", "difficult"):
        for fe in (FE2, FE3):
            label = f"{design}, {len(fe)} FE"
            hard = design == "difficult" and len(fe) == 3
            ns = hard_sizes if hard else sizes
            for n in ns:
                gp = {"n": n, "design": design, "n_regressors": 2}
                warm = {"n": 2000, "design": design, "n_regressors": 2}
                cases.append(Case(1, "fe_ols", label, n, "panel", gp, warm,
                                  {"fe": fe, "n_regressors": 1, "cluster": "indiv"}, plot=f"OLS {label}",
                                  tools=_quick_fe_tools(design, len(fe), n) if quick else None))
                if n in demean_sizes or (quick and n == ns[-1]):
                    # Two fixed effects on this panel are balanced (every individual in every
                    # year): the solve takes one step and there is no iteration to time.
                    cases.append(Case(2, "demean", label, n, "panel", gp, warm, {"fe": fe},
                                      plot=f"demean {label}",
                                      profile=len(fe) == 3 and (n in profile_sizes or (quick and n == ns[-1])),
                                      tools=(QUICK_DEMEAN_DIFFICULT3 if hard else QUICK_DEMEAN)
                                      if quick else None))
    for n in big_sizes:
        for fe in (FE2, FE3):
            gp = {"n": n, "design": "simple", "n_regressors": 10}
            warm = {"n": 2000, "design": "simple", "n_regressors": 10}
            cases.append(Case(1, "fe_ols", f"simple, {len(fe)} FE, 10 regressors", n, "panel", gp,
                              warm, {"fe": fe, "n_regressors": 10, "cluster": "indiv"}))
    return cases


def _other_panel_cases(job_sizes, random_sizes, long) -> list[Case]:
    """The main job's worker-firm panel, clustered by firm (against pyfixest, as the job is
    what users run), and demeaning five columns on fixed effects with random codes."""
    out = []
    for n in job_sizes:
        for fe in (("worker", "firm"), ("worker", "firm", "year"))[: 2 if long else 1]:
            out.append(Case(1, "fe_ols", f"worker-firm (main job), {len(fe)} FE", n, "job",
                            {"n": n}, {"n": 2000}, {"fe": fe, "n_regressors": 3,
                                                    "cluster": "firm"},
                            tools=("kestrel", "pyfixest")))
    columns = ("y", "x1", "x2", "x3", "x4")
    for n in random_sizes:
        for fe in (("fe1", "fe2"), ("fe1", "fe2", "fe3")):
            out.append(Case(2, "demean", f"random codes, {len(fe)} FE, 5 columns", n,
                            "random_codes", {"n": n}, {"n": 2000},
                            {"fe": fe, "columns": columns}, profile=long and len(fe) == 3,
                            tools=None if long else ("kestrel", "pyfixest")))
    return out


def cases(mode: str) -> list[Case]:
    quick = mode in ("quick", "smoke")
    if mode == "smoke":
        sizes, hard, big = [10_000, 50_000], [10_000, 30_000], [50_000]
        n_nofe, n_iv, n_cov, n_ids = 100_000, 100_000, 100_000, 100_000
        job, random, n_gram = [50_000], [50_000], 20_000
        multi, stair, inference = [50_000], [100_000], [50_000]
    elif quick:
        # Not 2*10^5: there n/230 = 870 firms, a multiple of the 10 years, so the cyclic firm
        # fixes the year and the difficult design degenerates (one iteration).
        sizes, hard, big = [100_000, 1_000_000], [100_000, 300_000], []
        n_nofe, n_iv, n_cov, n_ids = 2_000_000, 1_000_000, 1_000_000, 10_000_000
        job, random, n_gram = [1_000_000], [1_000_000], 100_000
        multi, stair, inference = [1_000_000], [1_000_000], [1_000_000]
    else:
        sizes = [100_000, 500_000, 1_000_000, 2_000_000, 10_000_000]
        hard, big = sizes, [1_000_000]
        n_nofe, n_iv, n_cov, n_ids = 10_000_000, 1_000_000, 1_000_000, 10_000_000
        job, random, n_gram = [1_000_000, 10_000_000], [1_000_000, 10_000_000], 1_000_000
        multi, stair = [1_000_000, 10_000_000], [1_000_000, 10_000_000]
        inference = [1_000_000]
    # Long mode: demeaning alone at every size, the iteration profile at 10^6 rows.
    demean_sizes = [] if quick else sizes
    out = _panel_cases(sizes, hard, demean_sizes, big, [] if quick else [1_000_000], quick)
    out += _other_panel_cases(job, random, not quick)
    for vcov in ("HC1", "cluster"):
        out.append(Case(3, "nofe", vcov, n_nofe, "nofe", {"n": n_nofe, "k": 10},
                        {"n": 5000, "k": 10}, {"k": 10, "vcov": vcov}))
    for fe in ((), FE2):
        for cluster in (False, True):
            out.append(Case(4, "iv", f"{len(fe)} FE" + (", clustered" if cluster else ""), n_iv,
                            "iv", {"n": n_iv}, {"n": 2000}, {"fe": fe, "cluster": cluster}))
    cov = {"n": n_cov, "k": 10, "n_periods": 1000, "n_groups": 10_000}
    cov_warm = {"n": 5000, "k": 10, "n_periods": 50, "n_groups": 100}
    for label, params in (("Newey-West, k=10, auto bandwidth", {}),
                          ("Newey-West, rows in time order", {"sorted": True}),
                          ("Newey-West, Fortran-ordered score", {"fortran": True})):
        out.append(Case(5, "hac", label, n_cov, "scores", cov, cov_warm, params))
    for label, params in (("Driscoll-Kraay, k=10, 1000 periods", {}),
                          ("Driscoll-Kraay, sorted by period", {"sorted": True})):
        out.append(Case(5, "dk", label, n_cov, "scores", cov, cov_warm, params))
    out.append(Case(5, "cmeat", "cluster meat, k=10, G=10^4", n_cov, "scores", cov, cov_warm,
                    {"n_groups": 10_000}, tools=("kestrel", "numpy")))
    # One row per group: the meat is the score product S'S over G = n groups alone.
    for k in (5, 20, 100):
        out.append(Case(5, "cmeat", f"score product S'S, k={k}, G=n", n_gram,
                        "gram", {"n": n_gram, "k": k}, {"n": 2000, "k": k}, {"n_groups": n_gram}))
    for kind in ("dense", "sparse"):
        out.append(Case(5, "recode", f"recode {kind}", n_ids, "ids", {"n": n_ids, "kind": kind},
                        {"n": 5000, "kind": kind}, {}))
    # Multiple estimation: five outcomes in one call against one outcome, same panel.
    for n in multi:
        for outcomes in (5, 1):
            params = {"fe": ("indiv", "firm"), "n_outcomes": 5, "one_outcome": outcomes == 1}
            out.append(Case(7, "multi", f"{outcomes} outcome{'s' * (outcomes > 1)}, 2 FE", n,
                            "outcomes", {"n": n}, {"n": 2000}, params))
    # Inference after the fit, 50 state clusters (individuals nested in states). The wild
    # bootstrap's fixed effects are few (pyfixest bootstraps the dummy-variable model, one
    # dense column per level); CRV3 has the individuals, nested in the clusters.
    warm_states = {"n": 2000}
    for n in inference:
        out.append(Case(9, "wild", "wild bootstrap B=9999, 50 clusters, 2 FE", n, "states",
                        {"n": n}, warm_states, {"fe": ("state", "year"), "B": 9999,
                                                         "vcov": "CRV1"}))
        out.append(Case(9, "crv3", "CRV3, 50 clusters, FE nested", n, "states", {"n": n},
                        warm_states, {"fe": ("indiv",), "vcov": "CRV3"}))
        out.append(Case(9, "crv3", "CRV3, 50 clusters, 2 FE, one not nested", n, "states",
                        {"n": n}, warm_states, {"fe": ("indiv", "year"), "vcov": "CRV3"},
                        tools=("kestrel", "kestrel.vcov_as")))
        out.append(Case(9, "vcov_as", "iid to CRV1, 50 clusters, 2 FE", n, "states", {"n": n},
                        warm_states, {"fe": ("indiv", "year"), "vcov": "CRV1"}))
    # Regression weights and warm starts in the absorption stage, on the benchmark panel.
    weight_cases = {"smoke": [("simple", FE3, 50_000), ("difficult", FE2, 50_000)],
                    "quick": [("simple", FE3, 1_000_000), ("difficult", FE2, 1_000_000),
                              ("difficult", FE3, 300_000)]}
    for design, fe, n in weight_cases.get(mode, [(d, f, 1_000_000) for d in ("simple", "difficult")
                                                 for f in (FE2, FE3)]):
        gp = {"n": n, "design": design, "n_regressors": 2}
        out.append(Case(10, "weights", f"{design}, {len(fe)} FE", n, "panel", gp,
                        {"n": 2000, "design": design, "n_regressors": 2}, {"fe": fe}))
    # Whole weighted fits, against the same call unweighted and against pyfixest's.
    wfit_sizes = {"smoke": [50_000], "quick": [1_000_000]}.get(mode, [1_000_000, 10_000_000])
    for n in wfit_sizes:
        for design in ("simple", "difficult"):
            gp = {"n": n, "design": design, "n_regressors": 2}
            out.append(Case(10, "wfeols", f"weighted fit, {design}, 3 FE", n, "panel", gp,
                            {"n": 2000, "design": design, "n_regressors": 2},
                            {"fe": FE3, "n_regressors": 2, "cluster": "indiv"}))
    # Panel lags and split samples against the same work done by hand.
    panel_n = {"smoke": 50_000}.get(mode, 1_000_000)
    gp = {"n": panel_n, "design": "simple", "n_regressors": 2}
    for kind in ("lags", "split"):
        out.append(Case(12, kind, "simple, 3 FE", panel_n, "panel", gp,
                        {"n": 2000, "design": "simple", "n_regressors": 2},
                        {"fe": FE3, "n_regressors": 2, "cluster": "indiv"}))
    # Varying slopes: y ~ x1 + x2 | indiv[year] + firm against the same fit without slopes.
    for design in ("simple", "difficult") if mode != "smoke" else ("simple",):
        gp = {"n": panel_n, "design": design, "n_regressors": 2}
        out.append(Case(12, "slopes", f"{design}, indiv[year] + firm", panel_n, "panel", gp,
                        {"n": 2000, "design": design, "n_regressors": 2},
                        {"fe": ("indiv", "firm"), "n_regressors": 2, "cluster": "indiv"}))
    # Poisson and logit with fixed effects against pyfixest's fepois and feglm.
    n_glm = {"smoke": 50_000, "quick": 1_000_000}.get(mode, 1_000_000)
    glm_sizes = [n_glm] if mode in ("smoke", "quick") else [1_000_000, 10_000_000]
    for n in glm_sizes:
        for design, family, fe in (("simple", "poisson", FE3), ("difficult", "poisson", FE3),
                                   ("simple", "logit", ("indiv", "firm"))):
            name = "Poisson" if family == "poisson" else "logit"
            out.append(Case(11, "glm", f"{name}, {design}, {len(fe)} FE", n, "glm_panel",
                            {"n": n, "design": design}, {"n": 2000, "design": design},
                            {"family": family, "fe": fe,
                             "outcome": "c" if family == "poisson" else "b"}))
    for n in stair:
        out.append(Case(8, "singletons", "staircase, 2 FE", n, "staircase", {"n": n},
                        {"n": 2000}, {}))
        out.append(Case(8, "singletons", "random codes, 2 FE", n, "random_codes", {"n": n},
                        {"n": 2000}, {}))
    return out


# ---------------------------------------------------------------- agreement checks

def _rel(a, b) -> float:
    a, b = np.asarray(a, float), np.asarray(b, float)
    if a.shape != b.shape:
        return float("inf")
    if a.size == 0:
        return 0.0
    return float(np.max(np.abs(a - b) / np.maximum(np.abs(b), 1e-300)))


def _load(path):
    return np.load(path)


def _same_partition(a: np.ndarray, b: np.ndarray) -> bool:
    """Whether two code vectors group the rows identically (codes may be numbered apart)."""
    if a.shape != b.shape:
        return False
    if a.size == 0:
        return True
    g = int(a.max()) + 1
    m = np.full(g, -1, dtype=np.int64)
    m[a] = b
    return bool(np.array_equal(m[a], b)) and len(np.unique(m[m >= 0])) == len(np.unique(a))


# Tolerances: fixed-effect fits depend on each tool's demeaning tolerance (pyfixest's MAP
# stops at 1e-6 by default), the others are exact up to summation order.
COEF_RTOL = {"fe_ols": 1e-5, "wfeols": 1e-5, "lags": 1e-9, "split": 1e-9, "nofe": 1e-9, "iv": 1e-6, "multi": 1e-5, "crv3": 1e-5,
             "vcov_as": 1e-5, "glm": 1e-6}
SE_RTOL = {"fe_ols": 1e-3, "wfeols": 1e-3, "lags": 1e-9, "split": 1e-9, "nofe": 1e-6, "iv": 1e-4, "multi": 1e-3, "crv3": 1e-4,
           "vcov_as": 1e-4, "glm": 1e-3}
# Bootstrap p-values from different draws: B = 9999 puts their Monte Carlo standard error
# at 0.005 at most.
WILD_PVALUE_ATOL = 0.02
# Demeaned values of order 1: a difference above this means a different problem was solved,
# below it the printed difference shows each tool's convergence tolerance at work.
DEMEAN_ATOL = 1e-3
MEAT_RTOL = 1e-9


def check(case: Case, ref: dict, res: dict) -> tuple[bool | None, str]:
    """Compare a peer's result with kestrel's on the same data: (agrees, short text)."""
    if not ref.get("ok") or not res.get("ok"):
        return None, ""
    k = case.kind
    if k == "wfeols" and res.get("info", {}).get("weighted") != ref.get("info", {}).get("weighted"):
        return None, ""  # a weighted fit and an unweighted one estimate different things
    if k in COEF_RTOL:
        if "coef" not in res or "coef" not in ref:
            return None, ""  # a tool that reports only a ratio
        dc = _rel(res["coef"], ref["coef"])
        ok = dc <= (res.get("coef_rtol") or COEF_RTOL[k])
        text = f"coef {dc:.1e}"
        if "se" in res and "se" in ref:
            ds = _rel(res["se"], ref["se"])
            if res.get("se_comparable"):
                ok = ok and ds <= SE_RTOL[k]
                text += f", se {ds:.1e}"
            else:
                text += f", se {ds:.1e} (other convention)"
        return ok, text
    if k == "wild":
        if "pvalue" not in res.get("info", {}):
            return None, ""
        d = abs(res["info"]["pvalue"] - ref["info"]["pvalue"])
        return d <= WILD_PVALUE_ATOL, f"p {res['info']['pvalue']:.4f} vs {ref['info']['pvalue']:.4f}"
    if k == "demean":
        a, b = _load(res["arrays"]["demeaned"]), _load(ref["arrays"]["demeaned"])
        d = float(np.max(np.abs(a - b))) if a.shape == b.shape else float("inf")
        return d <= DEMEAN_ATOL, f"max|diff| {d:.1e}"
    if k in ("hac", "dk", "cmeat"):
        a, b = _load(res["arrays"]["meat"]), _load(ref["arrays"]["meat"])
        d = float(np.max(np.abs(a - b)) / np.max(np.abs(b))) if a.shape == b.shape else float("inf")
        return d <= MEAT_RTOL, f"meat rel {d:.1e}"
    if k == "singletons":
        if "mask" not in res.get("arrays", {}):
            return None, ""
        a, b = _load(res["arrays"]["mask"]), _load(ref["arrays"]["mask"])
        return bool(np.array_equal(a, b)), "same mask" if np.array_equal(a, b) else "masks differ"
    if k == "recode":
        a, b = _load(res["arrays"]["codes"]), _load(ref["arrays"]["codes"])
        exact = a.shape == b.shape and bool(np.array_equal(a, b))
        same = exact or _same_partition(b.astype(np.int64), a.astype(np.int64))
        return same, "codes identical" if exact else ("same groups" if same else "groups differ")
    return None, ""


# ---------------------------------------------------------------- targets

def _median(rows, **match):
    for r in rows:
        if all(r.get(k) == v for k, v in match.items()) and r.get("ok"):
            return r["median"]
    return None


def _verdict(ratio, limit):
    if ratio is None:
        return "n/a"
    return "met" if ratio <= limit else "missed"


def targets(rows: list[dict], profiles: list[dict]) -> list[dict]:
    """Evaluate the issue's targets on the rows of one run."""
    out = []

    def add(target, case, ratio, limit, detail=""):
        out.append({"target": target, "case": case, "ratio": ratio, "limit": limit,
                    "verdict": _verdict(ratio, limit), "detail": detail})

    def ratio_to(row_sel, peer, tool="kestrel"):
        k = _median(rows, **row_sel, tool=tool)
        p = _median(rows, **row_sel, tool=peer)
        return None if k is None or p is None else k / p

    def row_of(**match):
        return next((r for r in rows if all(r.get(k) == v for k, v in match.items())
                     and r.get("ok")), None)

    def alternated_or(sel, peer):
        """The ratio of calls alternated in one process (kestrel[alternating]) where it ran,
        else that of the two workers' medians (run one after the other, under whatever load
        each met); and a note giving the latter beside the former."""
        separate = ratio_to(sel, peer)
        alt = row_of(**sel, tool="kestrel[alternating]")
        alternated = alt["info"].get("alternated_ratio") if alt else None
        if alternated is None:
            return separate, ""
        return alternated, ("" if separate is None else
                            f"alternated in one process; separate workers {separate:.2f}x")

    fe_cases = sorted({(r["label"], r["n"]) for r in rows if r["kind"] == "fe_ols"})
    for label, n in fe_cases:
        sel = {"kind": "fe_ols", "label": label, "n": n}
        if label in ("simple, 2 FE", "simple, 3 FE") and n >= 1_000_000:
            pyf = [r for r in rows if r["kind"] == "fe_ols" and r["label"] == label and r["n"] == n
                   and r["tool"].startswith("pyfixest") and r.get("ok")]
            if pyf:
                best = min(pyf, key=lambda r: r["median"])
                add("W1 simple: <= 0.5x fastest pyfixest", f"{label}, n={n}",
                    ratio_to(sel, best["tool"]), 0.5, f"fastest: {best['tool']}")
            add("W1 simple: <= 0.1x linearmodels", f"{label}, n={n}", ratio_to(sel, "linearmodels"), 0.1)
        if label == "difficult, 3 FE" and n in (500_000, 1_000_000):
            add("W1 difficult 3 FE: <= 0.2x pyfixest default", f"{label}, n={n}",
                ratio_to(sel, "pyfixest"), 0.2)
        kp = [r for r in rows if r["kind"] == "fe_ols" and r["label"] == label and r["n"] == n
              and r["tool"] in ("kestrel", "pyfixest") and r.get("ok")]
        if len(kp) == 2:
            km = next(r for r in kp if r["tool"] == "kestrel")["peak_bytes"]
            pm = next(r for r in kp if r["tool"] == "pyfixest")["peak_bytes"]
            add("FE fit peak memory <= pyfixest's", f"{label}, n={n}", km / pm if pm else None, 1.0,
                f"{km / 2**20:.0f} MB vs {pm / 2**20:.0f} MB")
        # kestrel.feols, the whole call from a DataFrame (issues 14 and 16).
        if n >= 1_000_000 and label == "simple, 3 FE":
            add("feols: <= 0.5x pyfixest default", f"{label}, n={n}",
                ratio_to(sel, "pyfixest", "kestrel.feols"), 0.5)
            f = row_of(**sel, tool="kestrel.feols")
            p = row_of(**sel, tool="pyfixest")
            if f and f.get("info", {}).get("engine_s"):
                i = f["info"]
                add("feols: layer's own time <= 0.15x the engine's", f"{label}, n={n}",
                    i["layer_s"] / i["engine_s"], 0.15,
                    f"layer {i['layer_s'] * 1e3:.0f} ms, engine {i['engine_s'] * 1e3:.0f} ms")
            if f and p:
                add("feols: peak memory <= pyfixest's", f"{label}, n={n}",
                    f["peak_bytes"] / p["peak_bytes"] if p["peak_bytes"] else None, 1.0,
                    f"{f['peak_bytes'] / 2**20:.0f} MB vs {p['peak_bytes'] / 2**20:.0f} MB")
        if n >= 1_000_000 and label == "difficult, 3 FE":
            f = row_of(**sel, tool="kestrel.feols")
            detail = f"{f['info'].get('iterations')} it, stage {f['info'].get('stage')}" if f else ""
            add("feols difficult 3 FE: <= 0.5x pyfixest[lsmr-within]", f"{label}, n={n}",
                ratio_to(sel, "pyfixest[lsmr-within]", "kestrel.feols"), 0.5, detail)
            add("feols difficult 3 FE: <= 0.1x pyfixest default", f"{label}, n={n}",
                ratio_to(sel, "pyfixest", "kestrel.feols"), 0.1, detail)
        if n >= 1_000_000 and label in ("simple, 2 FE", "simple, 3 FE"):
            add("feols simple: solver auto <= 1.05x cg", f"{label}, n={n}",
                ratio_to(sel, "kestrel.feols[cg]", "kestrel.feols"), 1.05)
    # Demeaning alone through the layer (issue 16): against the fastest pyfixest demeaner,
    # with the iterations of both stages and the graph preconditioner's set-up time; and the
    # preconditioner's peak memory against the size of the data it demeans.
    demean_cases = sorted({(r["label"], r["n"]) for r in rows if r["kind"] == "demean"})
    for label, n in demean_cases:
        if n < 1_000_000 or not label.endswith("3 FE"):
            continue
        sel = {"kind": "demean", "label": label, "n": n}
        pyf = [r for r in rows if r["kind"] == "demean" and r["label"] == label and r["n"] == n
               and r["tool"].startswith("pyfixest") and r.get("ok")]
        # Like for like: pyfixest's demeaners get their codes prepared, and so does the
        # layer's demeaning stage (kestrel.absorb); kestrel.demean also recodes the
        # identifiers, its ratio is given beside.
        k = row_of(**sel, tool="kestrel.absorb")
        user = row_of(**sel, tool="kestrel.demean")
        if pyf and k:
            best = min(pyf, key=lambda r: r["median"])
            i = k.get("info", {})
            whole = f"; kestrel.demean {user['median'] / best['median']:.2f}x" if user else ""
            add("demean: <= 0.5x fastest pyfixest demeaner", f"{label}, n={n}",
                k["median"] / best["median"], 0.5,
                f"fastest: {best['tool']}; {i.get('stage_diagonal')} + {i.get('stage_graph')} "
                f"it, set-up {i.get('setup_s', 0.0) * 1e3:.0f} ms{whole}")
        mem = row_of(**sel, tool="kestrel.demean[memory]")
        if mem and mem.get("info", {}).get("data_bytes") and mem["info"].get("stage") == "graph":
            i = mem["info"]
            add("demean: preconditioner peak <= data size", f"{label}, n={n}",
                i["preconditioner_bytes"] / i["data_bytes"], 1.0,
                f"{i['preconditioner_bytes'] / 2**20:.1f} MB vs {i['data_bytes'] / 2**20:.1f} MB")
    for label in ("HC1", "cluster"):
        for r in rows:
            if r["kind"] == "nofe" and r["label"] == label and r["tool"] == "kestrel":
                add("W3: <= 0.3x statsmodels", f"{label}, n={r['n']}",
                    ratio_to({"kind": "nofe", "label": label}, "statsmodels"), 0.3)
    for label in ("0 FE", "2 FE"):
        if any(r["kind"] == "iv" and r["label"] == label for r in rows):
            add("W4: <= 0.3x linearmodels", label, ratio_to({"kind": "iv", "label": label}, "linearmodels"), 0.3)
    for r in rows:
        if r["kind"] == "iv" and r["label"] == "2 FE" and r["tool"] == "kestrel.feols":
            add("feols IV 2 FE: <= 0.5x pyfixest's IV", f"n={r['n']}",
                ratio_to({"kind": "iv", "label": "2 FE", "n": r["n"]}, "pyfixest",
                         "kestrel.feols"), 0.5)
        if r["kind"] == "multi" and r["label"].startswith("5") and r["tool"] == "kestrel":
            one = _median(rows, kind="multi", label="1 outcome, 2 FE", n=r["n"], tool="kestrel")
            add("multiple estimation: 5 outcomes <= 1.5x one fit", f"n={r['n']}",
                r["median"] / one if one and r.get("ok") else None, 1.5)
        if r["kind"] == "singletons" and r["tool"] == "kestrel" and r["label"].startswith("stair"):
            # Linear time: the adversarial staircase costs what random codes of the same size
            # cost (a removal that repeats full passes would need n/2 of them).
            sel = {"kind": "singletons", "n": r["n"]}
            random = _median(rows, **sel, label="random codes, 2 FE", tool="kestrel")
            passes = ratio_to({**sel, "label": r["label"]}, "numpy one pass")
            add("staircase singletons: <= 1.5x random codes", f"n={r['n']}",
                r["median"] / random if random and r.get("ok") else None, 1.5,
                f"{passes:.1f}x one pass over the codes" if passes else "")
    # GLMs (workload 11): the whole call against pyfixest's, with the IRLS iterations, the
    # demeaning's iterations over all of them and the share of time spent demeaning.
    for r in rows:
        if r["kind"] != "glm" or r["tool"] != "kestrel" or not r.get("ok"):
            continue
        i = r.get("info", {})
        detail = (f"{i.get('irls')} IRLS it, {i.get('inner')} demeaning it, "
                  f"{100 * i.get('demean_s', 0.0) / r['median']:.0f}% of the time demeaning")
        limit = 0.2 if r["label"].startswith("Poisson") else 0.3
        ratio, note = alternated_or({"kind": "glm", "label": r["label"], "n": r["n"]},
                                    "pyfixest")
        add(f"W11 {r['label'].split(',')[0]}: <= {limit}x pyfixest", f"{r['label']}, n={r['n']}",
            ratio, limit, detail + (f"; {note}" if note else ""))
    # Regression weights (workload 10): whole fits weighted against the same call
    # unweighted and against pyfixest's weighted fit; warm starts against cold ones.
    for r in rows:
        if r["kind"] == "wfeols" and r["tool"] == "kestrel" and r.get("ok"):
            sel = {"kind": "wfeols", "label": r["label"], "n": r["n"]}
            ratio, note = alternated_or(sel, "kestrel.feols")
            add("weighted fit: <= 1.2x the unweighted fit", f"{r['label']}, n={r['n']}",
                ratio, 1.2, note)
            add("weighted fit: <= 0.5x pyfixest's weighted fit", f"{r['label']}, n={r['n']}",
                ratio_to(sel, "pyfixest"), 0.5)
        if r["kind"] == "weights" and r["tool"].startswith("kestrel[w,warm") and r.get("ok"):
            cold = row_of(kind="weights", label=r["label"], n=r["n"],
                          tool=r["tool"].replace("warm", "cold"))
            if cold and cold.get("ok"):
                it_w, it_c = r["info"].get("iterations"), cold["info"].get("iterations")
                change = r["tool"].removeprefix("kestrel[w,warm").strip(",]") or "1e-2"
                add("warm start: <= 1/3 the iterations of a cold start",
                    f"{r['label']}, change {change}, n={r['n']}",
                    it_w / it_c if it_c else None, 1 / 3, f"{it_w} vs {it_c} iterations")
    # Panel lags and split samples (workload 12): what they add to the fits they feed.
    for r in rows:
        if r["tool"] != "kestrel" or not r.get("ok"):
            continue
        sel = {"kind": r["kind"], "label": r["label"], "n": r["n"]}
        if r["kind"] == "lags":
            ratio, note = alternated_or(sel, "kestrel[column]")
            add("lags: <= 1.1x the fit on a lag column", f"n={r['n']}", ratio, 1.1, note)
        if r["kind"] == "slopes":
            ratio, note = alternated_or(sel, "kestrel[no slopes]")
            add("slopes: <= 2x the fit without slopes", f"{r['label']}, n={r['n']}", ratio,
                2.0, note)
        if r["kind"] == "split":
            ratio, note = alternated_or(sel, "kestrel[loop]")
            add("split: <= 1.1x a loop of fits on subsets", f"n={r['n']}", ratio, 1.1, note)
    # Inference after the fit (workload 9).
    for r in rows:
        if r["tool"] != "kestrel" or not r.get("ok"):
            continue
        sel = {"kind": r["kind"], "label": r["label"], "n": r["n"]}
        if r["kind"] == "wild":
            add("wild bootstrap: <= 0.2x pyfixest's wildboottest", f"n={r['n']}",
                ratio_to(sel, "pyfixest"), 0.2)
            add("wild bootstrap: <= 2x the fit", f"n={r['n']}",
                ratio_to(sel, "kestrel.feols"), 2.0)
        if r["kind"] == "crv3" and "nested" in r["label"] and "not" not in r["label"]:
            add("CRV3 nested: <= 0.3x pyfixest's CRV3", f"n={r['n']}",
                ratio_to(sel, "pyfixest"), 0.3)
        if r["kind"] == "vcov_as":
            add("vcov_as: <= 0.1x a new fit", f"n={r['n']}", ratio_to(sel, "kestrel.feols"), 0.1)
    for kind in ("hac", "dk"):
        if any(r["kind"] == kind for r in rows):
            add(f"W5 {kind.upper()}: <= 0.2x statsmodels", kind, ratio_to({"kind": kind}, "statsmodels"), 0.2)
    if any(r["kind"] == "recode" for r in rows):
        add("W5 recode dense: <= 1.0x pandas.factorize", "recode dense",
            ratio_to({"kind": "recode", "label": "recode dense"}, "pandas.factorize"), 1.0)
    for p in profiles:
        if p.get("ok") and p.get("t_iter"):
            add("W6: time/iteration <= 1.5x memory-pass bound", f"{p['label']}, n={p['n']}",
                p["ratio_to_bound"], 1.5,
                f"{p['iterations']} it, {p['t_iter'] * 1e3:.2f} ms/it, bound {p['bound'] * 1e3:.2f} ms")
    return out
