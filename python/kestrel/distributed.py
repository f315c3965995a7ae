"""``kestrel.feols`` on a Dask DataFrame: the rows stay on the cluster's workers.

dask and distributed are an optional extra (``pip install "kestrel[dask]"``), imported only
here; ``kestrel.feols`` loads this module when its data is a Dask DataFrame.

A fit is a fixed number of passes over the partitions plus, when the fixed effects' system
stays on the workers, one round trip per iteration of the demeaning:

1. **scan**: each partition builds its design with kestrel's own formula and design code
   (terms that act row by row) and returns what must be known globally: the levels of
   ``C()``/``i()`` terms and of every identifier (fixed effects, clusters) in its usable
   rows, its counts of missing values and zero weights, the largest weight.
2. **build and shuffle**: each partition's columns with identifiers recoded to global
   int32 codes, shuffled once by the fixed effect with the most levels, so that each of its
   groups lies in one partition (checked, not assumed).
3. **sample**: singletons removed by rounds of group counts summed over partitions until
   none is left; codes renumbered over the rows used.
4. **absorb**: the largest fixed effect is eliminated exactly inside each partition (the
   engine's exact group-means stage); the others' coefficients solve the normal equations
   left. Their matrix has one entry per pair of levels sharing rows or a group of the
   largest one: when it is small enough, the workers add it up and the client solves with
   it, each pass over the data giving the exact residual and the client the correction;
   otherwise the conjugate gradient iterates with the workers, each worker returning one
   sum of sparse products over its partitions per iteration.
5. **least squares and covariance**: each partition returns the triangular factor of its
   demeaned columns, the client stacks and factors them again (a tall-skinny QR) and runs
   the engine's least-squares stage on the result; residual sums of squares, the
   heteroskedastic meat and the clusters' score sums are reductions.

The client holds only vectors the size of the identifiers' levels, k×k matrices and, when
small enough, the sparse matrix of the other fixed effects' pairs of levels.
"""

from __future__ import annotations

import ast
import itertools
import math
import uuid
import warnings
from collections.abc import Mapping
from dataclasses import dataclass, field, replace
from typing import Any, ClassVar

import dask
from dask.sizeof import sizeof
import numpy as np
import pandas as pd
from scipy import linalg, sparse
from scipy.sparse import csgraph
from scipy.sparse import linalg as splinalg
import distributed
from distributed import Client, default_client

from kestrel import _core, design, formula, iv, panel, steps
from kestrel import vcov as cov
from kestrel.data import Frame
from kestrel.progress import progress_line
from kestrel.results import Fit, FixedEffects
from kestrel.warning_types import ConvergenceWarning

NOT_SUPPORTED = "is not supported on Dask DataFrames"
# Formula functions that act row by row; the others (center, scale, poly, bs, C inside an
# interaction...) learn from the rows they see, which a partition cannot do for the data.
ROW_WISE = {"I", "Q", "exp", "exp10", "exp2", "log", "log10", "log2", "np"}
# The conjugate gradient stops when the demeaned columns' estimated energy-norm error is
# below INNER·fixef_tol of their norm.
INNER = 1e-2
WINDOW = 8  # iterations whose energy decrease estimates the remaining error
# The other fixed effects' system is decomposed on the client (dense) up to this many levels;
# beyond, the diagonal preconditions it, or its sparse factors (see FACTOR_AFTER).
GRAPH_LEVELS = 1_500
GRAPH_RANK_TOL = 1e-9  # eigenvalues below this share of the largest span the null space
# The client solves with the other fixed effects' system matrix when it has at most
# CLIENT_PAIRS entries per level (plus CLIENT_PAIRS_MIN): 12 bytes each, the size of a few
# hundred level-sized vectors, never of the rows.
CLIENT_PAIRS = 256
CLIENT_PAIRS_MIN = 1 << 22
SLICES = 16  # the system matrix is summed over this many slices of a partition's groups
REFINEMENTS = 10  # passes over the data that correct the client's solution, at most
# The client's conjugate gradient starts with the diagonal preconditioner; after this many
# iterations it factors the matrix (its factors at most FILL times its entries).
FACTOR_AFTER = 50
FILL = 20
FACTOR_ENTRIES = 1 << 25  # about 400 MB of factors on the client, at most
FACTOR_SHIFT = 1e-8  # of the diagonal: keeps the factors regular where levels are redundant
# Up to this many partitions, the rows are moved to the partition of their largest fixed
# effect's group by one task per pair of partitions, in the data's order; beyond, by dask's
# shuffle, whose tasks grow with the partitions rather than with their square.
EXCHANGE_PARTS = 64
# Arguments of the partitions' tasks this large are sent to the workers once, not in
# every task.
SHIP_BYTES = 1 << 16
# A task of the conjugate gradient on the workers holds partitions up to this share of its
# worker's memory limit at once (all of them without a limit).
BATCH_SHARE = 0.25
# Multi-way clustering keys each intersection of clusters by one int64 below this; beyond
# (product of the clusters' counts), by its row of codes.
KEY_LIMIT = 1 << 62


def is_dask_frame(data: Any) -> bool:
    """Whether ``data`` is a Dask DataFrame, judged by its type's module (dask is not
    imported to ask)."""
    return type(data).__module__.split(".")[0] in ("dask", "dask_expr")


# The call ---------------------------------------------------------------------------------
def feols(call: Mapping[str, Any]) -> Fit:
    """``kestrel.feols`` with a Dask DataFrame as ``data`` (its arguments by name)."""
    data = call["data"]
    if not hasattr(data, "map_partitions") or not hasattr(data, "columns"):
        raise TypeError(f"kestrel.feols takes a Dask DataFrame, not {type(data).__name__}")
    fml = call["fml"]
    for name in ("panel", "panel_id", "time_id", "split", "fsplit", "subset"):
        if call.get(name) is not None:
            raise ValueError(f"{name}= {NOT_SUPPORTED}; fit a pandas or polars frame")
    if panel.mentions(fml):
        raise ValueError(f"panel operators (l(), f(), d()) {NOT_SUPPORTED}")
    options = steps.check_options(call["fixef_tol"], call["fixef_maxiter"],
                                  call["drop_singletons"], call["progress"], call["lean"],
                                  call["solver"], call["weights"], call["weights_type"])
    conv = cov.as_ssc(call["ssc"])
    ns = formula.namespace(call["context"])
    if formula.expand(fml) is not None:
        raise ValueError(f"several models in one formula {NOT_SUPPORTED}; fit each model "
                         "in its own call")
    model = formula.parse(fml, slopes=True)
    if model.slopes:
        raise ValueError(f"varying slopes ({', '.join(model.fixef_labels)}) {NOT_SUPPORTED}; "
                         "fit a pandas or polars frame")
    vcov = call["vcov"]
    vc = cov.parse(vcov, model.fixef_names, call["vcov_kwargs"])
    if model.iv is not None and vc.kind != "iid":
        raise ValueError(f"instrumental variables (2SLS) with vcov={vcov!r} {NOT_SUPPORTED}; "
                         "use vcov='iid'")
    model, instruments = iv.prepare(model, vc)
    if vc.kind == "nw" or (vc.kind == "hetero" and vc.hc > 1) or vc.jackknife:
        raise ValueError(f"vcov={vcov!r} {NOT_SUPPORTED}; use 'iid', 'hetero', "
                         "{'CRV1': ...} or 'DK'")
    steps.check_weighted_vcov(vc, vcov, options)
    if conv.fixef_exact and len(model.fixef) > 1:
        raise ValueError(f"ssc(fixef_exact=True) with several fixed effects {NOT_SUPPORTED}")
    client = _client(call.get("client"))
    meta = Frame(data._meta)  # columns and dtypes, no rows
    reads = design.check(model, meta, ns, list(vc.clusters))  # unknown columns: now
    # Only the columns the fit reads are loaded (dask reads no other column of Parquet).
    needed = set(design._variables(reads)) | {p for c in vc.clusters for p in c.split("^")}
    needed |= {name for name in (options.weights, vc.time_id if vc.kind == "dk" else None)
               if name is not None}
    columns = [c for c in data.columns if c in needed]
    if len(columns) < len(data.columns):
        data = data[columns]
    plan = Plan(fml, _shipped_context(model, meta, ns), list(vc.clusters), options.weights,
                options.weights_type, vc.time_id if vc.kind == "dk" else None)
    paths = design._paths(model, meta, model.intercept or bool(model.fixef))
    for term in model.terms:
        if paths[term.label] == "formulaic":
            _check_row_wise(term, meta)
    if model.depvar.kind != "lookup":
        _check_row_wise(model.depvar, meta)
    return _Fitter(client, data, model, plan, vc, conv, options, instruments).run()


def _client(client: Any) -> Client:
    if client is not None:
        if not isinstance(client, Client):
            raise TypeError(f"client must be a distributed.Client, not {type(client).__name__}")
        return client
    try:
        return default_client()
    except ValueError:
        raise ValueError("kestrel.feols on a Dask DataFrame needs a dask.distributed client: "
                         "create one (distributed.Client(...)) or pass client=") from None


def _shipped_context(model: formula.ModelFormula, meta: Frame, ns: formula.Namespace) -> Any:
    """The namespace the workers evaluate the formula in: only the names its code reads
    (the caller's whole frame need not travel, nor pickle)."""
    if ns.restricted:
        return formula.RESTRICTED
    columns = set(meta.columns)
    names = {v for t in (model.depvar, *model.terms) if t.code for v in t.variables
             if v not in columns and v in ns.mapping and v not in formula.LANGUAGE}
    return {name: ns.mapping[name] for name in sorted(names)}


def _check_row_wise(term: formula.Term, meta: Frame) -> None:
    """Terms formulaic builds must act row by row on numeric columns."""
    for code in term.code:
        for node in ast.walk(code.tree):
            if isinstance(node, ast.Call) and isinstance(node.func, ast.Name) and \
                    node.func.id in formula.LANGUAGE and node.func.id not in ROW_WISE:
                raise ValueError(f"the term {term.label!r} uses {node.func.id}(), which learns "
                                 f"from all the rows; it {NOT_SUPPORTED} (compute the column "
                                 "first, or use C()/i() as a term of its own)")
    for name in term.variables:
        if name in meta.columns and not meta.is_numeric(name):
            raise ValueError(f"the term {term.label!r} reads the non-numeric column {name!r}; "
                             f"interactions with categories {NOT_SUPPORTED} (use i(g, x))")


@dataclass(frozen=True)
class Plan:
    """What each partition needs to build its design (small, sent with every task)."""

    fml: str
    context: Any
    cluster_names: list[str]
    weights: str | None
    weights_type: str
    time_id: str | None = None  # Driscoll–Kraay: the periods' column


# One partition's design -----------------------------------------------------------------
@dataclass
class Local:
    """One partition's design before the columns that need global levels: its frame and
    model, the usable rows, the weights, each term's path (see kestrel.design) and the
    columns formulaic built, the identifiers' columns."""

    frame: Frame
    model: formula.ModelFormula
    keep: np.ndarray
    n_zero_weight: int
    weights: np.ndarray | None
    paths: dict[str, str]
    formulaic: dict[str, tuple[list[str], list[np.ndarray]]]
    fe_parts: list[tuple[str, ...]]
    cluster_parts: list[tuple[str, ...]]


def _local(pdf: pd.DataFrame, plan: Plan) -> Local:
    """The partition's design up to the columns that need global levels: the rows without
    missing values (and weights not 0), and the columns formulaic builds (row by row)."""
    model = formula.parse(plan.fml)
    if model.iv is not None:  # the endogenous regressors and instruments join the design
        model, _ = iv.prepare(model, cov.Vcov("iid"))
    ns = formula.namespace(plan.context)
    frame = Frame(pdf)
    # The time column of Driscoll–Kraay is an identifier like the clusters, after them.
    cluster_parts = [tuple(name.split("^")) for name in plan.cluster_names] + \
        ([(plan.time_id,)] if plan.time_id else [])
    reads = design.check(model, frame, ns, plan.cluster_names,
                         [plan.time_id] if plan.time_id else [])
    if plan.time_id:
        frame.ordered(plan.time_id, "time_id")  # numbers or dates
    variables = design._variables(reads)
    keep = np.ones(frame.n_rows, dtype=bool)
    for name in dict.fromkeys(variables + [p for ps in cluster_parts for p in ps]):
        missing = frame.missing(name)
        if missing is not None:
            keep &= ~missing
    weights, n_zero = None, 0
    if plan.weights is not None:
        weights = frame.floats(plan.weights, "weights column")
        keep &= np.isfinite(weights)
        zero = keep & (weights == 0)
        n_zero = int(np.count_nonzero(zero))
        keep &= ~zero
    with_intercept = model.intercept or bool(model.fixef)
    paths = design._paths(model, frame, with_intercept)
    built: dict[str, tuple[list[str], list[np.ndarray]]] = {}
    terms = [t for t in model.terms if paths[t.label] == "formulaic"]
    if model.depvar.kind != "lookup":
        terms.append(model.depvar)
    if terms and keep.any():
        built = design._materialise(frame, terms, model, keep, with_intercept, ns, reads, {})
    return Local(frame, model, keep, n_zero, weights, paths, built, list(model.fixef),
                 cluster_parts)


def _aliases(n_fe: int, parts: list[tuple[str, ...]]) -> list[int]:
    """For each identifier (fixed effects, then clusters and periods), the first with the
    same columns: a cluster that is also a fixed effect (the default covariance's) is
    scanned, coded, moved and counted once."""
    first: dict[tuple[str, ...], int] = {}
    out = []
    for j, p in enumerate(parts):
        out.append(first.get(p, j) if j >= n_fe else j)
        first.setdefault(p, j)
    return out


def _distinct(frame: Frame, parts: tuple[str, ...], rows: np.ndarray) -> Any:
    """An identifier's distinct values in ``rows``: an integer array for a column of
    integers, else a frame of the columns' distinct rows."""
    if len(parts) == 1:
        values = frame.values(parts[0], rows)
        if isinstance(values, np.ndarray) and values.dtype.kind in "iu":
            return np.sort(pd.unique(values))
    return _identifier(frame, parts, rows).drop_duplicates(ignore_index=True)


def _union(found: list[Any]) -> Any:
    """The distinct values of several partitions' distinct values (see :func:`_distinct`)."""
    filled = [f for f in found if len(f)] or found[:1]
    arrays = [f for f in filled if isinstance(f, np.ndarray)]
    if len(arrays) == len(filled) and np.result_type(*arrays).kind in "iu":
        joined = np.concatenate(arrays).astype(np.result_type(*arrays), copy=False)
        joined.sort(kind="stable")  # sorted runs: merged
        keep = np.ones(len(joined), dtype=bool)
        keep[1:] = joined[1:] != joined[:-1]
        return joined[keep]
    frames = [pd.DataFrame({"0": f}) if isinstance(f, np.ndarray) else f for f in filled]
    return pd.concat(frames, ignore_index=True).drop_duplicates(ignore_index=True)


def _unions(a: list[Any], b: list[Any]) -> list[Any]:
    """Two partitions' (or unions') distinct values of each identifier joined."""
    return [None if x is None else _union([x, y]) for x, y in zip(a, b)]


def _levels(found: Any, parts: tuple[str, ...]) -> Any:
    """Every level of an identifier from the union of the partitions' distinct values:
    integers as a sorted array (codes by binary search: 8 bytes a level on each worker,
    where an index's hash table takes several times that), anything else as a pandas
    index."""
    if isinstance(found, np.ndarray) and found.dtype.kind in "iu":
        return found
    table = pd.DataFrame({"0": found}) if isinstance(found, np.ndarray) else found
    return pd.MultiIndex.from_frame(table) if len(parts) > 1 else pd.Index(table["0"])


def _codes(levels: Any, frame: Frame, parts: tuple[str, ...], rows: np.ndarray) -> np.ndarray:
    """Each row's position among an identifier's ``levels`` (-1: not among them)."""
    if isinstance(levels, np.ndarray):
        values = frame.values(parts[0], rows)
        if isinstance(values, np.ndarray) and values.dtype.kind in "iu" and \
                np.result_type(values, levels).kind in "iu":
            if not len(levels):
                return np.full(len(values), -1, dtype=np.int64)
            at = np.minimum(np.searchsorted(levels, values), len(levels) - 1)
            return np.where(levels[at] == values, at, -1)
        levels = pd.Index(levels)
    ident = _identifier(frame, parts, rows)
    keys = pd.MultiIndex.from_frame(ident) if len(parts) > 1 else pd.Index(ident["0"])
    return levels.get_indexer(keys)


def _identifier(frame: Frame, parts: tuple[str, ...], rows: np.ndarray) -> pd.DataFrame:
    return pd.DataFrame({str(j): frame.values(p, rows) for j, p in enumerate(parts)})


def _scan(pdf: pd.DataFrame, plan: Plan) -> dict:
    """Pass 1: what must be known over all partitions before the columns are built."""
    loc = _local(pdf, plan)
    frame, keep = loc.frame, loc.keep
    rows = np.flatnonzero(keep)
    out: dict[str, Any] = dict(rows=frame.n_rows, kept=len(rows), zero=loc.n_zero_weight,
                               names={k: v[0] for k, v in loc.formulaic.items()},
                               bad=None, wmax=0.0)
    if loc.weights is not None:
        values = loc.weights
        finite = np.isfinite(values)
        bad = np.flatnonzero(finite & (values < 0))
        if plan.weights_type == "fweights" and not bad.size:
            bad = np.flatnonzero(finite & (values != np.floor(values)))
        if bad.size:
            out["bad"] = (pdf.index[int(bad[0])], float(values[int(bad[0])]))
        out["wmax"] = float(np.max(values, where=finite, initial=0.0))
    levels = {}
    for term in loc.model.terms:
        if loc.paths[term.label] == "indicators":
            codes, lv = frame.levels(term.var)
            present = np.unique(codes[rows])
            levels[term.label] = [lv[j] for j in present if j >= 0]
    out["levels"] = levels
    every = loc.fe_parts + loc.cluster_parts
    out["ids"] = [_distinct(frame, parts, rows) if alias == j else None
                  for j, (parts, alias) in enumerate(zip(every, _aliases(len(loc.fe_parts),
                                                                         every)))]
    return out


@dataclass(frozen=True)
class Globals:
    """What the scan found over all partitions, for building the columns."""

    x_names: list[str]
    used: dict[str, list]  # indicator term -> the levels that get a column
    ids: list[Any]  # fixed effects then clusters: every level, in a fixed order (_levels)
    weight_shift: int  # analytic weights are stored times 2^weight_shift (see steps)
    widths: dict[str, int]  # terms formulaic builds -> their number of columns


def _build(pdf: pd.DataFrame, plan: Plan, glob: Globals, width: int,
           labels: bool = True, keyed: bool = False,
           partition_info: dict | None = None) -> pd.DataFrame:
    """Pass 2: the usable rows' columns (y, then the regressors; weights) and identifiers as
    global codes; ``keyed``: with each row's place in the data (``r``: its partition's
    number, then its position), which puts the rows back in order after dask's shuffle."""
    loc = _local(pdf, plan)
    frame, keep, model = loc.frame, loc.keep, loc.model
    rows = np.flatnonzero(keep)
    cols: dict[str, np.ndarray] = {}
    if model.depvar.kind == "lookup":
        y = frame.floats(model.depvar.var)[rows]
    elif model.depvar.label in loc.formulaic:
        y = loc.formulaic[model.depvar.label][1][0][rows]
    else:
        y = np.empty(0)
    values = [y]
    if model.intercept and not model.fixef:
        values.append(np.ones(len(rows)))
    for term in model.terms:
        path = loc.paths[term.label]
        if path == "column":
            values.append(frame.floats(term.var)[rows])
        elif path == "indicators":
            codes, lv = frame.levels(term.var)
            position = {level: j for j, level in enumerate(glob.used[term.label])}
            column_of = np.array([position.get(level, -1) for level in lv] + [-1],
                                 dtype=np.intp)
            col = column_of[codes[rows]]
            x = None if term.i_x is None else frame.floats(term.i_x)[rows]
            for j in range(len(glob.used[term.label])):
                hit = (col == j).astype(np.float64)
                values.append(hit if x is None else hit * x)
        elif term.label in loc.formulaic:
            values += [c[rows] for c in loc.formulaic[term.label][1]]
        else:  # no usable row here: formulaic was not run
            values += [np.empty(0)] * glob.widths[term.label]
    if len(values) != width:
        raise ValueError(f"a partition built {len(values) - 1} regressor columns where the "
                         f"others built {width - 1}: a term of {plan.fml!r} does not act row "
                         f"by row, which {NOT_SUPPORTED}")
    for j, v in enumerate(values):
        cols[f"v{j}"] = np.asarray(v, dtype=np.float64)
    if loc.weights is not None:
        w = loc.weights[rows]
        cols["w"] = np.ldexp(w, glob.weight_shift) if glob.weight_shift else w
    every = loc.fe_parts + loc.cluster_parts
    for j, (parts, index, alias) in enumerate(zip(every, glob.ids,
                                                  _aliases(len(loc.fe_parts), every))):
        if alias != j:
            continue
        codes = _codes(index, frame, parts, rows)
        if len(codes) and codes.min() < 0:
            raise ValueError(f"a level of {'^'.join(parts)!r} changed between two reads of "
                             "the data; the Dask DataFrame must give the same rows each time")
        cols[f"c{j}"] = codes.astype(np.int32)
    if keyed:
        number = 0 if partition_info is None else int(partition_info["number"])
        cols["r"] = (np.int64(number) << np.int64(32)) + np.arange(len(rows), dtype=np.int64)
    # The fit needs no row labels: without them the shuffle moves 8 bytes less per row.
    return pd.DataFrame(cols, index=pdf.index[rows] if labels else None)


# What the workers hold -----------------------------------------------------------------
@dataclass
class Part:
    """One partition's usable rows: ``v`` the columns (y first), ``w`` the weights, ``ids``
    global codes of the fixed effects then the clusters, ``alive`` the rows still in the
    sample (None: all)."""

    v: np.ndarray
    w: np.ndarray | None
    ids: list[np.ndarray]
    alive: np.ndarray | None = None
    # Set once the sample is final (:func:`_prepare`): the largest fixed effect's local
    # codes and group count, and the square roots of the weights.
    local: np.ndarray | None = None
    local_groups: int = 0
    root: np.ndarray | None = None
    demeaned: np.ndarray | None = None  # √w-scaled demeaned columns, once solved
    local_levels: np.ndarray | None = None  # the largest fixed effect's code of each group
    means: np.ndarray | None = None  # each group's weighted means of v − D b, once solved

    def __setstate__(self, state: dict) -> None:
        # A part dask spilled to disk (or moved between workers) comes back with arrays
        # that may start at any byte of the buffer it was read into; the engine's stages
        # take aligned arrays only, so the unaligned ones are copied (layout kept).
        self.__dict__.update({k: _aligned(v) for k, v in state.items()})


@sizeof.register(Part)
def _part_size(part: Part) -> int:
    # What the workers' memory manager counts (and spills by): the arrays, not the object;
    # codes two identifiers share, once.
    values = [x for v in vars(part).values() for x in (v if isinstance(v, list) else [v])]
    return 64 + sum(_nbytes(v) for v in {id(v): v for v in values}.values())


def _aligned(value: Any, copies: dict[int, np.ndarray] | None = None) -> Any:
    # ``copies``: an array listed twice (codes shared by two identifiers) is copied once.
    if isinstance(value, np.ndarray):
        if value.flags.aligned:
            return value
        copies = {} if copies is None else copies
        if id(value) not in copies:
            copies[id(value)] = value.copy(order="K")
        return copies[id(value)]
    if isinstance(value, list):
        copies = {} if copies is None else copies
        return [_aligned(v, copies) for v in value]
    return value


def _to_part(pdf: pd.DataFrame, width: int, aliases: list[int], weighted: bool) -> Part:
    # After dask's shuffle, the rows come in the order they arrived, which varies from run
    # to run: in the data's order, the fit's sums are the same bits every time.
    order = np.argsort(pdf["r"].to_numpy(), kind="stable") if "r" in pdf else slice(None)
    return _join(width, aliases, weighted, {k: pdf[k].to_numpy()[order] for k in pdf.columns})


def _split(pdf: pd.DataFrame, column: str, count: int) -> list[dict[str, np.ndarray]]:
    """The partition's rows for each of ``count`` parts (a row goes to part code % count of
    its ``column``), in their order."""
    target = pdf[column].to_numpy() % np.int32(count)
    order = np.argsort(target, kind="stable")
    bounds = np.searchsorted(target[order], np.arange(count + 1))
    # Each piece its own arrays: views would keep the whole partition in memory, unseen by
    # the worker's memory manager, for as long as any piece lives.
    return [{k: pdf[k].to_numpy()[order[bounds[j]:bounds[j + 1]]] for k in pdf.columns}
            for j in range(count)]


def _join(width: int, aliases: list[int], weighted: bool,
          *pieces: dict[str, np.ndarray]) -> Part:
    """One part from its pieces, in the order given (identifiers with the same columns
    share one array of codes)."""
    n = sum(len(p["v0"]) for p in pieces)
    v = np.empty((n, width), order="F")
    for j in range(width):
        v[:, j] = np.concatenate([p[f"v{j}"] for p in pieces]) if pieces else 0.0

    def column(name: str, dtype: Any) -> np.ndarray:
        return np.concatenate([p[name] for p in pieces]).astype(dtype, copy=False) \
            if pieces else np.empty(0, dtype)
    codes = {j: column(f"c{j}", np.int32) for j in sorted(set(aliases))}
    return Part(v, column("w", np.float64) if weighted else None, [codes[a] for a in aliases])


def _counts(part: Part, sizes: list[int], frequency: bool, aliases: list[int]) -> list[Any]:
    """Rows (frequency weights: their sum) of each level of each identifier, over the rows
    alive: all levels' counts, or (levels present, their counts) where few are present (the
    largest fixed effect's groups each lie in one partition); None for an identifier with
    the codes of one before it."""
    alive = part.alive
    weights = part.w if frequency else None
    out: list[Any] = []
    for j, (codes, size) in enumerate(zip(part.ids, sizes)):
        if aliases[j] != j:
            out.append(None)
            continue
        c = codes if alive is None else codes[alive]
        if weights is None:  # 4 bytes a level to send while a partition's rows allow
            found = np.bincount(c, minlength=size)
            found = found.astype(np.int32) if len(c) < 2**31 else found
        else:
            wt = weights if alive is None else weights[alive]
            found = np.bincount(c, weights=wt, minlength=size)
        present = np.flatnonzero(found)
        out.append((present.astype(np.int32), found[present]) if 3 * len(present) < size
                   else found)
    return out


def _drop(part: Part, singleton: list[np.ndarray]) -> tuple[Part, int]:
    """The rows of singleton levels out of the sample, and how many were dropped."""
    before = np.ones(len(part.v), dtype=bool) if part.alive is None else part.alive
    alive = before.copy()
    for codes, flag in zip(part.ids, singleton):
        alive &= ~flag[codes]
    return Part(part.v, part.w, part.ids, alive), int(before.sum() - alive.sum())


def _item(pair: tuple, j: int) -> Any:
    return pair[j]


def _without(found: dict, key: str) -> dict:
    return {k: v for k, v in found.items() if k != key}


def _compact(part: Part, renumber: list[np.ndarray], exponents: np.ndarray,
             largest: int | None, aliases: list[int]) -> Part:
    """The sample's rows only, identifiers renumbered over them, the columns in the units of
    :func:`kestrel.steps.scaled`, and the largest fixed effect's local codes."""
    rows = slice(None) if part.alive is None else part.alive
    v = np.asfortranarray(part.v[rows])
    for j, p in enumerate(exponents):
        if p:
            v[:, j] = np.ldexp(v[:, j], -int(p))
    ids: list[np.ndarray] = []
    for j, (c, m) in enumerate(zip(part.ids, renumber)):
        ids.append(m[c[rows]] if aliases[j] == j else ids[aliases[j]])
    w = None if part.w is None else part.w[rows]
    out = Part(v, w, ids)
    if largest is not None:
        out.local_levels, out.local = _present(ids[largest], len(renumber[largest]))
        out.local_groups = len(out.local_levels)
    out.root = None if w is None else np.sqrt(w)
    return out


def _moments(part: Part) -> dict:
    """Column maxima and weighted centred moments over the rows alive (before scaling)."""
    rows = slice(None) if part.alive is None else part.alive
    v = part.v[rows]
    w = np.ones(len(v)) if part.w is None else part.w[rows]
    total = float(np.sum(w))
    mean = (w @ v) / total if total > 0 else np.zeros(v.shape[1])
    m2 = w @ (v - mean) ** 2 if total > 0 else np.zeros(v.shape[1])
    top = np.max(np.abs(v), axis=0, initial=0.0)
    return dict(total=total, mean=mean, m2=m2, top=top, rows=len(v))


def _present(codes: np.ndarray, size: int) -> tuple[np.ndarray, np.ndarray]:
    """The values present among ``codes`` (all below ``size``), in order, and each code's
    position among them: np.unique with its inverse, without sorting the rows."""
    seen = np.zeros(size, dtype=bool)
    seen[codes] = True
    position = np.cumsum(seen, dtype=np.int64) - 1
    return np.flatnonzero(seen), position[codes].astype(np.int32)


def _local_groups(part: Part) -> int:
    return part.local_groups


def _less(part: Part, others: list[int], offsets: list[int], coef: np.ndarray | None,
          with_v: bool) -> np.ndarray:
    """v − D b (or −D b without v): the columns less the other fixed effects at ``coef``."""
    n, c = part.v.shape if part.demeaned is None else part.demeaned.shape
    u = part.v.copy(order="F") if with_v else np.zeros((n, c), order="F")
    if coef is not None:
        for f, off in zip(others, offsets):
            index = part.ids[f] if off == 0 else part.ids[f] + np.int32(off)
            for j in range(c):
                u[:, j] -= np.take(coef[:, j], index)
    return u


def _means(part: Part, u: np.ndarray) -> np.ndarray | None:
    """Each group of the largest fixed effect's weighted means of the columns ``u``."""
    if part.local is None:
        return None
    w = np.ones(len(u)) if part.w is None else part.w
    total = np.bincount(part.local, weights=w, minlength=part.local_groups)
    total[total == 0] = 1.0
    return np.column_stack([np.bincount(part.local, weights=w * u[:, j],
                                        minlength=part.local_groups) / total
                            for j in range(u.shape[1])]).reshape(part.local_groups, -1)


def _demeaned(part: Part, others: list[int], offsets: list[int], coef: np.ndarray | None,
              with_v: bool) -> np.ndarray:
    """√w·M_A(v − D b) (or −√w·M_A D b without v): the columns less the other fixed effects
    at ``coef``, with the largest one's group means removed exactly (the engine's stage)."""
    return _within(part, _less(part, others, offsets, coef, with_v))


def _within(part: Part, u: np.ndarray) -> np.ndarray:
    """√w·M_A u: the largest fixed effect's group means removed exactly (the engine's
    stage)."""
    n, c = u.shape
    if n == 0:
        return u
    if part.local is None:  # no fixed effect is local: nothing to eliminate here
        return u if part.root is None else u * part.root[:, None]
    out = steps.demean([u[:, j] for j in range(c)], np.ones(n, dtype=bool), [part.local],
                       [part.local_groups], 1e-12, 1, "auto", None, part.w)
    return np.asarray(out["data"])


def _scatter(part: Part, d: np.ndarray, others: list[int], sizes: list[int]) -> np.ndarray:
    """Σ √w·d per level of each other fixed effect (stacked): D'W M_A u."""
    weighted = d if part.root is None else d * part.root[:, None]
    blocks = []
    for f, size in zip(others, sizes):
        block = np.empty((size, d.shape[1]))
        for j in range(d.shape[1]):
            block[:, j] = np.bincount(part.ids[f], weights=weighted[:, j], minlength=size)
        blocks.append(block)
    return np.vstack(blocks) if blocks else np.zeros((0, d.shape[1]))


def _products(operators: list[tuple[Any, Any]], coef: np.ndarray) -> np.ndarray:
    """Σ −D'W M_A D coef over partitions, from their pieces (see :func:`_operator`)."""
    return sum((u.T @ (u @ coef) if u is not None else 0) - rows @ coef
               for rows, u in operators)


def _start(part: Part, others: list[int], offsets: list[int], sizes: list[int],
           pairs: int) -> tuple[Part, dict, Any]:
    """The right-hand sides D'W M_A v, ‖√w M_A v‖², and this partition's share of the
    system matrix D'W M_A D (sparse: one entry per pair of levels that share rows or a
    group of the largest fixed effect): D'WD − Σ_a (D'W 1_a)(1_a' W D) / W_a. When it
    would take more than half ``pairs`` products or entries, only its diagonal, and the
    pieces of its products (see :func:`_operator`), else None."""
    d = _demeaned(part, others, offsets, None, True)
    out = dict(rhs=_scatter(part, d, others, sizes), energy=np.sum(d * d, axis=0))
    rows, u = _pieces(part, others, offsets, sizes)
    out["matrix"] = matrix = _system(rows, u, len(part.v), pairs)
    if matrix is not None:
        return part, out, None
    out["diag"] = rows.diagonal()
    if u is not None:
        out["diag"] = out["diag"] - np.asarray(u.multiply(u).sum(axis=0)).ravel()
    return part, out, (rows, u)


def _pieces(part: Part, others: list[int], offsets: list[int],
            sizes: list[int]) -> tuple[Any, Any]:
    """D'WD (sparse: each level's weight on the diagonal, each pair of levels in one row off
    it) and U = (A'WA)^-½ A'WD (one row per group of the largest fixed effect; None
    without one), whose difference D'WD − U'U is this partition's D'W M_A D."""
    size = int(sum(sizes))
    n = len(part.v) if part.demeaned is None else len(part.demeaned)
    w = np.ones(n) if part.w is None else part.w
    codes = [part.ids[f] + np.int32(off) for f, off in zip(others, offsets)]
    diag = np.bincount(np.concatenate(codes), weights=np.tile(w, len(codes)),
                       minlength=size) if n else np.zeros(size)
    rows = sparse.diags(diag).tocsr()
    for a, b in itertools.combinations(range(len(codes)), 2):
        cross = sparse.coo_matrix((w, (codes[a], codes[b])), shape=(size, size)).tocsr()
        rows = rows + cross + cross.T
    u = None
    if part.local is not None and n:
        group_w = np.bincount(part.local, weights=w, minlength=part.local_groups)
        scaled = w / np.sqrt(group_w[part.local])
        u = sparse.coo_matrix((np.tile(scaled, len(codes)),
                               (np.tile(part.local, len(codes)), np.concatenate(codes))),
                              shape=(part.local_groups, size)).tocsr()
        u.sum_duplicates()
    return rows.tocsr(), u


def _system(rows: Any, u: Any, n: int, pairs: int) -> Any:
    """A partition's D'W M_A D = D'WD − U'U (see :func:`_pieces`) as a sparse matrix, or
    None past half ``pairs``."""
    matrix = rows
    if u is not None:
        # Its work: Σ (levels per group)², against a few dozen passes over the rows.
        per_group = np.diff(u.indptr).astype(np.int64)
        if int(per_group @ per_group) > pairs + CLIENT_PAIRS * n:
            return None
        # U'U by slices of the groups: when the entries found so far, plus the last slice's
        # new ones for each slice left, pass half the limit (the partitions' sum has more),
        # the rest is not computed.
        groups = u.shape[0]
        cuts = np.linspace(0, groups, min(SLICES, max(groups, 1)) + 1).astype(np.int64)
        found = None
        for j in range(1, len(cuts)):
            piece = u[cuts[j - 1]:cuts[j]]
            product = (piece.T @ piece).tocsr()
            before = 0 if found is None else found.nnz
            found = product if found is None else (found + product).tocsr()
            if j > 1 and 2 * (found.nnz + (found.nnz - before) * (len(cuts) - 1 - j)) > pairs:
                return None
        if found is not None:
            matrix = matrix - found
    if 2 * matrix.nnz > pairs:
        return None
    return matrix


def _operator(part: Part, kept: Any, others: list[int], offsets: list[int],
              sizes: list[int]) -> tuple[Any, Any]:
    """The partition's D'WD and U (see :func:`_pieces`; ``kept``: as :func:`_start` found
    them, or None): each product D'W M_A D p is then two sparse products the size of its
    pairs of levels, not a pass over its rows. Kept apart from the part, the iterations
    read only them (from disk, when the worker spilled them)."""
    return kept if kept is not None else _pieces(part, others, offsets, sizes)


def _add(a: Any, b: Any, pairs: int) -> Any:
    """Two partitions' system matrices added (None when either is, or past ``pairs``)."""
    if a is None or b is None:
        return None
    total = (a + b).tocsr()
    return total if total.nnz <= pairs else None


def _without_matrix(start: dict) -> dict:
    """What :func:`_start` found, but its matrix: its diagonal when it has one."""
    out = {k: v for k, v in start.items() if k != "matrix"}
    if start["matrix"] is not None:
        out["diag"] = start["matrix"].diagonal()
    return out


def _finish(part: Part, others: list[int], offsets: list[int], sizes: list[int],
            coef: np.ndarray | None) -> Part:
    u = _less(part, others, offsets, coef, True)
    # The columns themselves are not read again: only their demeaned values are kept, and
    # their group means (the largest fixed effect's values, for residuals and predictions).
    # (No view of the columns either: it would keep them in memory.)
    out = Part(np.empty((0, part.v.shape[1]), order="F"), part.w, part.ids, None, part.local,
               part.local_groups, part.root)
    out.local_levels = part.local_levels
    out.means = _means(part, u)
    out.demeaned = np.asfortranarray(_within(part, u))
    return out


def _refine(part: Part, others: list[int], offsets: list[int], step: np.ndarray) -> Part:
    """The demeaned columns at the other fixed effects' coefficients moved by ``step``."""
    out = replace(part)
    u = _less(part, others, offsets, step, False)
    if part.means is not None:
        out.means = part.means + _means(part, u)
    out.demeaned = np.asfortranarray(part.demeaned + _within(part, u))
    return out


def _finish_stats(part: Part, others: list[int], sizes: list[int]) -> dict:
    d = part.demeaned
    r = np.linalg.qr(d, mode="r") if len(d) else np.zeros((0, d.shape[1]))
    return dict(r=r, sq=np.sum(d * d, axis=0), sums=np.sum(d, axis=0),
                grad=_scatter(part, d, others, sizes))


def _residual_terms(part: Part, beta: np.ndarray, x: list[int], kind: str,
                    subsets: list[tuple[int, ...]], first_cluster: int,
                    groups: list[int], frequency: bool, key_limit: int = KEY_LIMIT) -> dict:
    """The residuals' sum of squares and the meat's pieces: the heteroskedastic meat, or
    each cluster subset's score sums (one row per cluster present here, keyed by one
    integer, or by a row of codes when the subset's intersections reach ``key_limit``)."""
    d = part.demeaned
    e = d[:, 0] - d[:, x] @ beta if len(x) else d[:, 0].copy()
    out: dict[str, Any] = dict(rss=float(e @ e))
    if part.means is not None:  # the largest fixed effect's value in each group
        m = part.means
        out["effects"] = (part.local_levels, m[:, 0] - m[:, x] @ beta if len(x) else m[:, 0])
    if not len(d):
        out["meat"] = np.zeros((groups[-1] if kind == "dk" else len(x), len(x)))
        out["scores"] = [(np.zeros((0, len(s)) if _wide(s, groups, key_limit) else 0,
                                   np.int64), np.zeros((0, len(x)))) for s in subsets]
        return out
    if kind == "hetero":
        plain = e / np.sqrt(part.w) if frequency else e
        out["meat"] = np.asarray(_core.hetero_meat(data=d, x=x, resid=plain,
                                                   bread=np.zeros((0, 0)), power=0))
    elif kind == "dk":
        # Each period's score sums (the periods' codes follow the clusters').
        time = part.ids[first_cluster + len(groups) - 1]
        scores = d[:, x] * e[:, None]
        out["meat"] = np.column_stack([np.bincount(time, weights=scores[:, j],
                                                   minlength=groups[-1])
                                       for j in range(len(x))]).reshape(groups[-1], len(x))
    elif kind == "cluster":
        scores = d[:, x] * e[:, None]
        found = []
        for subset in subsets:
            size = math.prod(groups[c] for c in subset)
            if _wide(subset, groups, key_limit):
                # One integer per intersection would overflow: the rows of codes are keys.
                codes = np.column_stack([part.ids[first_cluster + c] for c in subset])
                uniq, inv = np.unique(codes.astype(np.int64), axis=0, return_inverse=True)
                inv = inv.reshape(-1)
                sums = np.empty((len(uniq), len(x)))
                for j in range(len(x)):
                    sums[:, j] = np.bincount(inv, weights=scores[:, j], minlength=len(uniq))
                found.append((uniq, sums))
                continue
            key = np.zeros(len(e), dtype=np.int64)
            for c in subset:
                key = key * groups[c] + part.ids[first_cluster + c]
            if size <= 4 * len(e) + (1 << 16):
                uniq, inv = _present(key, size)
            else:
                uniq, inv = np.unique(key, return_inverse=True)
            sums = np.empty((len(uniq), len(x)))
            for j in range(len(x)):
                sums[:, j] = np.bincount(inv, weights=scores[:, j], minlength=len(uniq))
            found.append((uniq, sums))
        out["scores"] = found
    return out


def _wide(subset: tuple[int, ...], groups: list[int], key_limit: int) -> bool:
    return math.prod(groups[c] for c in subset) >= key_limit


def _nbytes(value: Any) -> int:
    if isinstance(value, np.ndarray):
        return value.nbytes
    if isinstance(value, (list, tuple)):
        return sum(_nbytes(v) for v in value)
    if sparse.issparse(value):
        return sum(getattr(value, name).nbytes for name in ("data", "indices", "indptr", "row",
                                                             "col") if hasattr(value, name))
    return 0


def _nested_range(part: Part, fe: int, cl: int, size: int) -> tuple[np.ndarray, np.ndarray]:
    lo = np.full(size, np.iinfo(np.int64).max)
    hi = np.full(size, -1, dtype=np.int64)
    np.minimum.at(lo, part.ids[fe], part.ids[cl])
    np.maximum.at(hi, part.ids[fe], part.ids[cl])
    return lo, hi


# The client's side -------------------------------------------------------------------------
# The steps that pass over a part's rows (the others read level-sized results; and
# _operator only where _start has not kept the pieces already).
_PASSES = frozenset({_counts, _drop, _moments, _compact, _start, _finish, _refine,
                     _finish_stats, _residual_terms, _nested_range})


@dataclass
class _Fitter:
    client: Client
    data: Any
    model: formula.ModelFormula
    plan: Plan
    vc: cov.Vcov
    conv: cov.SSC
    options: steps.FitOptions
    instruments: iv.Instruments | None = None
    iterations: int = 0
    passes: int = 0  # over the parts the workers keep (the reads of the source apart)
    converged: bool = True
    stage: str = "none"
    extra: dict = field(default_factory=dict)

    def _map(self, fn: Any, parts: list, *args: Any) -> list:
        self.passes += fn in _PASSES
        args = tuple(self._shipped(a) for a in args)
        return self.client.map(fn, parts, *[[a] * len(parts) for a in args], pure=False)

    def _shipped(self, value: Any) -> Any:
        """A level-sized argument sent to the workers once, as data of its own: inside the
        graph, the scheduler would send it with every task."""
        if _nbytes(value) < SHIP_BYTES:
            return value
        return self.client.scatter(value, hash=False)

    def _gather(self, futures: list) -> list:
        return self.client.gather(futures)

    def run(self) -> Fit:
        model, plan, options = self.model, self.plan, self.options
        frequency = options.weights is not None and options.weights_type == "fweights"
        # 1. Scan.
        delayed = self.data.to_delayed()
        scanned = self.client.compute([dask.delayed(_scan)(d, plan) for d in delayed])
        # The partitions' distinct levels are joined on the workers, in pairs: the client
        # receives each identifier's levels once, whatever the rows and partitions.
        level = self._map(_item, scanned, "ids")
        while len(level) > 1:
            level = [self.client.submit(_unions, level[i], level[i + 1], pure=False)
                     if i + 1 < len(level) else level[i] for i in range(0, len(level), 2)]
        scans = self._gather(self._map(_without, scanned, "ids"))
        found_ids = self._gather(level)[0]
        del scanned, level
        n_rows = sum(s["rows"] for s in scans)
        if n_rows == 0:
            raise ValueError("the data has no rows")
        for s in scans:
            if s["bad"] is not None:
                label, value = s["bad"]
                name = options.weights
                if value < 0:
                    raise ValueError(f"the weights column {name!r} has a negative weight, "
                                     f"{value:g}, at the row labelled {label!r}; weights must "
                                     "be 0 or more")
                raise ValueError(f"the frequency weights column {name!r} has a weight that is "
                                 f"not a whole number, {value!r}, at the row labelled "
                                 f"{label!r}; use weights_type='aweights' for analytic weights")
        n_zero = sum(s["zero"] for s in scans)
        kept = sum(s["kept"] for s in scans)
        n_missing = n_rows - kept - n_zero
        if kept == 0:
            if n_zero:
                raise ValueError(f"no rows left: {n_missing:,} rows have missing values and "
                                 f"the other {n_zero:,} have weight 0 in {options.weights!r}")
            raise ValueError("no rows left: every row has a missing value in one of the "
                             "model's columns")
        shift = 0
        if options.weights is not None and options.weights_type == "aweights":
            largest = max(s["wmax"] for s in scans)
            if largest > 0:
                shift = -2 * ((int(np.frexp(largest)[1]) - 1) // 2)
        used, x_names, x_terms = self._regressors(scans)
        ids = []
        n_fe = len(model.fixef)
        every = list(model.fixef + tuple(tuple(n.split("^")) for n in plan.cluster_names)
                     + (((plan.time_id,),) if plan.time_id else ()))
        aliases = _aliases(n_fe, every)
        for j, parts in enumerate(every):
            if aliases[j] != j:
                ids.append(ids[aliases[j]])
                continue
            ids.append(_levels(found_ids[j], parts))
        if plan.time_id and isinstance(ids[-1], pd.Index):  # the periods' codes in time order
            ids[-1] = ids[-1].sort_values()
        sizes = [len(i) for i in ids]
        for name, size in zip(list(model.fixef_names) + list(plan.cluster_names), sizes):
            if size >= 2**31:  # the workers keep codes as 4-byte integers
                raise ValueError(f"{name!r} has {size:,} levels; at most 2**31 - 1 are "
                                 f"{NOT_SUPPORTED}")
        widths = {k: len(v) for s in scans if s["kept"] for k, v in s["names"].items()}
        glob = Globals(x_names, used, ids, shift, widths)
        width = 1 + len(x_names)
        if not x_names:
            raise ValueError(f"a formula without regressors {NOT_SUPPORTED}")

        # 2. Build, shuffled by the fixed effect with the most levels.
        meta = pd.DataFrame({**{f"v{j}": np.empty(0) for j in range(width)},
                             **({"w": np.empty(0)} if options.weights else {}),
                             **{f"c{j}": np.empty(0, np.int32) for j in sorted(set(aliases))}})
        # The levels travel to the workers once (not inside the graph, nor in every task).
        shared = self.client.scatter(glob, hash=False)
        largest = int(np.argmax(sizes[:n_fe])) if n_fe else None
        weighted = options.weights is not None
        count = self.data.npartitions
        keyed = largest is not None and count > EXCHANGE_PARTS
        if keyed:
            meta["r"] = np.empty(0, np.int64)
        built = self.data.map_partitions(_build, plan, shared, width, False, keyed, meta=meta)
        if keyed:
            built = built.shuffle(on=f"c{largest}")
        # The shuffled parts are kept on the workers, whatever their size: every later pass
        # reads them, not the source. Reading the source again would repeat the read, the
        # build and the shuffle on each pass; the parts hold only the model's columns, and
        # a worker short of memory spills them to its own disk and reads them back (dask's
        # memory target), which costs less. Only a lost worker's parts come from the source
        # again.
        frames = self.client.compute(built.to_delayed())
        if largest is None or keyed:
            parts = self._map(_to_part, frames, width, aliases, weighted)
        else:
            parts = self._exchange(frames, f"c{largest}", width, aliases, weighted)
        del frames

        # 3. Sample: singletons out (rounds until none is left).
        n_singletons = 0
        counts = self._counts(parts, sizes, frequency, aliases)
        if options.drop_singletons and n_fe:
            while True:
                flags = [c == 1 for c in counts[:n_fe]] + \
                    [np.zeros(s, dtype=bool) for s in sizes[n_fe:]]
                if not any(f.any() for f in flags):
                    break
                results = self._map(_drop, parts, flags)
                parts = self._map(_item, results, 0)
                n_singletons += sum(self._gather(self._map(_item, results, 1)))
                del results
                counts = self._counts(parts, sizes, frequency, aliases)
        n_used_rows = kept - n_singletons
        if n_used_rows == 0:
            raise ValueError(f"no rows left: {n_missing:,} rows have missing values"
                             + (f", {n_zero:,} have weight 0" if n_zero else "")
                             + f" and the other {n_singletons:,} are singletons of the "
                             "fixed effects")
        present = [c > 0 for c in counts]
        levels = [int(p.sum()) for p in present]
        renumber = []
        for j, p in enumerate(present):
            if aliases[j] != j:  # one array for equal codes (the parts keep them shared)
                renumber.append(renumber[aliases[j]])
                continue
            m = np.full(len(p), -1, dtype=np.int32)
            m[p] = np.arange(int(p.sum()), dtype=np.int32)
            renumber.append(m)
        for name, g in zip(plan.cluster_names, levels[n_fe:]):
            if g < 2:
                raise ValueError(f"clustering by {name!r} needs at least two clusters, but the "
                                 f"rows used have {g}")
        moments = self._gather(self._map(_moments, parts))
        top = np.max([m["top"] for m in moments], axis=0)
        exponents = np.zeros(width, dtype=np.int64)
        for j, t in enumerate(top):
            p = int(np.frexp(t)[1]) if np.isfinite(t) and t > 0 else 0
            exponents[j] = 0 if p in steps.UNSCALED_EXPONENTS else p
        total = sum(m["total"] for m in moments)
        mean = sum(m["total"] * m["mean"] for m in moments) / total
        m2 = sum(m["m2"] + m["total"] * (m["mean"] - mean) ** 2 for m in moments)
        sum_squares = np.ldexp(m2, -2 * exponents)
        local = largest if n_fe else None
        parts = self._map(_compact, parts, renumber, exponents, local, aliases)
        fe_levels = levels[:n_fe]

        # 4. Absorb.
        if n_fe:
            self._check_local(parts, largest, fe_levels[largest])
        others = [f for f in range(n_fe) if f != largest]
        other_sizes = [fe_levels[f] for f in others]
        offsets = list(np.cumsum([0] + other_sizes[:-1])) if others else []
        if others:
            with progress_line(options.progress) as callback:
                parts, stats = self._absorb(parts, others, offsets, other_sizes, callback)
            self._check_solution(stats)
        else:
            if n_fe == 1:
                self.stage = "exact"
            parts = self._map(_finish, parts, others, offsets, other_sizes, None)
            stats = self._gather(self._map(_finish_stats, parts, others, other_sizes))
        # 5. Least squares on the stacked triangular factors.
        stacked = np.vstack([s["r"] for s in stats] + [np.zeros((0, width))])
        r = np.linalg.qr(stacked, mode="r") if len(stacked) else np.zeros((0, width))
        if r.shape[0] < width:
            r = np.vstack([r, np.zeros((width - r.shape[0], width))])
        x = list(range(1, width))
        n = int(round(total)) if frequency else n_used_rows
        dof_fe = cov.fixef_dof(self.conv, fe_levels, fe_levels[0] if n_fe == 1 else 0)
        if self.instruments is not None:
            return self._two_stages(r, sum_squares, exponents, parts,
                                    n, n_used_rows, fe_levels, dof_fe, stats, x_terms,
                                    x_names, dict(n_missing=n_missing, n_zero=n_zero,
                                                  n_singletons=n_singletons,
                                                  total=total))
        ls = steps.least_squares(np.asfortranarray(r), 0, x,
                                 sum_squares if n_fe else np.empty(0), options.collin_tol)
        kept_x = [x[i] for i in ls["kept"]]
        names = [x_names[i] for i in ls["kept"]]
        dropped = steps.dropped_regressors(plan.fml, x_names, ls, stacklevel=5)
        beta = np.asarray(ls["coef"], dtype=float)
        bread = np.asarray(ls["bread"])

        # Covariance.
        n_cl = len(plan.cluster_names)
        subsets = [s for size in range(1, n_cl + 1)
                   for s in itertools.combinations(range(n_cl), size)]
        kind = self.vc.kind
        terms_out = self._gather(self._map(_residual_terms, parts, beta, kept_x, kind, subsets,
                                           n_fe, levels[n_fe:], frequency, KEY_LIMIT))
        rss = float(sum(t["rss"] for t in terms_out))
        self.extra["rows"] = dict(glob=glob, width=width, renumber=renumber[:n_fe],
                                  largest=largest, others=others, offsets=offsets,
                                  sizes=other_sizes,
                                  effects=[t["effects"] for t in terms_out if "effects" in t])
        nested = self._nested(parts, fe_levels, levels[n_fe:], n_fe)
        K = cov.dof_k(self.conv, self.vc, len(names), fe_levels, dof_fe, nested)
        if n - K <= 0:
            raise ValueError(f"no degrees of freedom left: {n:,} rows for {len(names)} "
                             f"regressors and {dof_fe:,} degrees of freedom taken by the fixed "
                             "effects")
        if kind == "iid":
            covariance = cov.iid(self.conv, bread, rss, n, K)
        elif kind == "hetero":
            meat = sum(t["meat"] for t in terms_out)
            covariance = cov.hetero(self.conv, self.vc.hc, bread, meat, n, K)
        elif kind == "dk":
            periods = levels[-1]
            if periods < 2:
                raise ValueError(f"a Driscoll-Kraay covariance needs at least two periods of "
                                 f"{self.vc.time_id!r} in the rows used, but they have "
                                 f"{periods}")
            lag = self.vc.lag if self.vc.lag is not None else cov.default_lag(periods)
            self.vc = replace(self.vc, lag=lag)
            sums = np.asfortranarray(sum(t["meat"] for t in terms_out))
            # The engine's meat of the per-period score sums, one row per period.
            meat = np.asarray(_core.driscoll_kraay_meat(
                data=sums, x=list(range(len(names))), resid=np.ones(periods),
                time=np.arange(periods, dtype=np.int32), lag=lag))
            covariance = cov.serial(self.conv, bread, meat, n, K, periods)
            self.extra["periods"] = periods
        else:
            cterms = []
            for i, subset in enumerate(subsets):
                keys = np.concatenate([t["scores"][i][0] for t in terms_out])
                sums = np.vstack([t["scores"][i][1] for t in terms_out])
                uniq, inv = np.unique(keys, return_inverse=True,
                                      axis=0 if keys.ndim == 2 else None)
                inv = inv.reshape(-1)
                total_scores = np.zeros((len(uniq), len(names)))
                np.add.at(total_scores, inv, sums)
                cterms.append(dict(subset=subset, groups=len(uniq),
                                   meat=total_scores.T @ total_scores))
            covariance = cov.clustered(self.conv, bread, cterms, n_cl, n, K)

        return self._result(beta, covariance, exponents, kept_x, names, n, n_used_rows,
                            rss, stats, sum_squares, fe_levels, levels[n_fe:], dof_fe,
                            [x_names[i] for i in dropped],
                            dict(n_missing=n_missing, n_zero=n_zero,
                                 n_singletons=n_singletons, total=total), None)

    def _result(self, beta: np.ndarray, covariance: cov.Covariance, exponents: np.ndarray,
                kept_x: list[int], names: list[str], n: int, n_used_rows: int, rss: float,
                stats: list[dict], sum_squares: np.ndarray, fe_levels: list[int],
                cl_levels: list[int], dof_fe: int, collinear: list[str], counts: dict,
                first_stage: Any) -> Fit:
        """The fit, back from the scaled units (as kestrel.linear does)."""
        model, plan, options = self.model, self.plan, self.options
        frequency = options.weights is not None and options.weights_type == "fweights"
        n_fe = len(fe_levels)
        total = counts["total"]
        p_y = int(exponents[0])
        p_x = exponents[kept_x]
        with np.errstate(over="ignore", under="ignore"):
            coef_out = np.ldexp(beta, p_y - p_x)
            vcov_out = np.ldexp(covariance.matrix, 2 * p_y - p_x[:, None] - p_x[None, :])
            se = np.ldexp(np.sqrt(np.diag(covariance.matrix)), p_y - p_x)
        sq = sum(s["sq"] for s in stats)
        sums = sum(s["sums"] for s in stats)
        tss_within = float(sq[0]) if options.weights is not None else \
            float(sq[0] - sums[0] ** 2 / n_used_rows)
        stats_out = steps.fit_statistics(dict(rss=rss, tss=tss_within), sum_squares[0], n,
                                         len(names), dof_fe, bool(n_fe))
        if options.weights is not None and not frequency:
            share = n / total
            stats_out["rss"] *= share
            stats_out["rmse"] *= math.sqrt(share)
        with np.errstate(over="ignore", under="ignore"):
            stats_out["rss"], stats_out["rmse"] = (float(np.ldexp(stats_out["rss"], 2 * p_y)),
                                                   float(np.ldexp(stats_out["rmse"], p_y)))
        return DaskFit(formula=plan.fml, depvar=model.depvar.label, coef_names=names,
                       _coef=coef_out, _vcov=vcov_out, df_t=covariance.df_t,
                       dof_k=covariance.dof_k, vcov_type=self.vc, ssc=self.conv, nobs=n,
                       n_missing=counts["n_missing"], n_zero_weight=counts["n_zero"],
                       weights=options.weights,
                       weights_type=None if options.weights is None else options.weights_type,
                       n_singletons=counts["n_singletons"],
                       fixef=dict(zip(model.fixef_names, fe_levels)), dof_fixef=dof_fe,
                       clusters=dict(zip(plan.cluster_names, cl_levels)),
                       mask=np.broadcast_to(True, (n_used_rows,)), _resid=None,
                       iterations=self.iterations, converged=self.converged,
                       passes=self.passes,
                       solver_stage=self.stage, collinear=collinear, first_stage=first_stage,
                       periods=self.extra.get("periods"),
                       _se=se, lean=options.lean,
                       _rows=self._rows(beta, coef_out, exponents, kept_x, fe_levels),
                       **stats_out)

    def _rows(self, beta: np.ndarray, coef_out: np.ndarray, exponents: np.ndarray,
              kept_x: list[int], fe_levels: list[int]) -> Any:
        """What residuals and predictions need: the coefficients, and each fixed effect's
        values over its levels (in the units of y)."""
        rows = self.extra.get("rows")
        if rows is None:  # 2SLS
            return None
        p_y = int(exponents[0])
        alphas = []
        for f, size in enumerate(fe_levels):
            if f == rows["largest"]:
                scaled = np.zeros(size)
                for levels, values in rows["effects"]:
                    scaled[levels] = values
            else:
                j = rows["others"].index(f)
                off = rows["offsets"][j]
                b = self.extra["fe_coef"][off:off + rows["sizes"][j]]
                scaled = b[:, 0] - b[:, kept_x] @ beta if kept_x else b[:, 0]
            alphas.append(np.ldexp(scaled, p_y))
        state = dict(glob=rows["glob"], width=rows["width"], renumber=rows["renumber"],
                     alphas=alphas, columns=list(kept_x), coef=np.asarray(coef_out))
        return _Rows(self.data, self.plan, state)

    def _two_stages(self, r: np.ndarray, sum_squares: np.ndarray, exponents: np.ndarray,
                    parts: list, n: int, n_used_rows: int, fe_levels: list[int], dof_fe: int,
                    stats: list[dict], x_terms: list[str], x_names: list[str],
                    counts: dict) -> Fit:
        """2SLS with the iid covariance, by kestrel's own stages on the triangular factor R
        of the demeaned columns: R'R is their cross-product matrix, so every least-squares
        stage, residual sum of squares and iid covariance on R's rows is that of the data's.
        The structural residuals' sum of squares is computed again from the rows."""
        n_fe = len(fe_levels)
        shape = _DesignShape(x_names=x_names, x_terms=x_terms)
        inference = cov.Inference(self.vc, self.conv, n, fe_levels, dof_fe, [False] * n_fe, [])
        stages = iv.two_stages(self.plan.fml, shape, self.instruments, np.asfortranarray(r),
                               sum_squares if n_fe else np.empty(0), inference, self.options.collin_tol, stacklevel=6,
                               exponents=exponents, lean=True)
        observed = [1 + j for j in stages.x_design]
        beta = np.asarray(stages.coef, dtype=float)
        terms_out = self._gather(self._map(_residual_terms, parts, beta, observed, "iid", [],
                                           n_fe, [], False))
        rss = float(sum(t["rss"] for t in terms_out))
        K = cov.dof_k(self.conv, self.vc, len(stages.names), fe_levels, dof_fe, [False] * n_fe)
        if n - K <= 0:
            raise ValueError(f"no degrees of freedom left: {n:,} rows for "
                             f"{len(stages.names)} regressors and {dof_fe:,} degrees of "
                             "freedom taken by the fixed effects")
        covariance = cov.iid(self.conv, np.asarray(stages.bread), rss, n, K)
        return self._result(beta, covariance, exponents, observed, stages.names, n,
                            n_used_rows, rss, stats, sum_squares, fe_levels, [], dof_fe,
                            stages.dropped, counts, stages.first_stage)

    # Pieces ------------------------------------------------------------------------------
    def _regressors(self, scans: list[dict]) -> tuple[dict[str, list], list[str], list[str]]:
        """The levels of each C()/i() term that get a column, the regressors' names and the
        term of each."""
        model = self.model
        with_intercept = model.intercept or bool(model.fixef)
        names_seen = [s["names"] for s in scans if s["kept"]]
        first = names_seen[0] if names_seen else {}
        for other in names_seen[1:]:
            if other != first:
                raise ValueError(f"a term of {self.plan.fml!r} builds different columns in "
                                 f"different partitions; such terms {NOT_SUPPORTED}")
        used: dict[str, list] = {}
        x_names = ["Intercept"] if model.intercept and not model.fixef else []
        x_terms = ["1"] * len(x_names)
        for term in model.terms:
            if term.label in first:
                names = first[term.label]
            elif not any(term.label in s["levels"] for s in scans):
                names = [term.label]
            else:
                used[term.label] = self._levels_used(term, scans, with_intercept)
                names = design._indicator_names(term, used[term.label])
            x_names += names
            x_terms += [term.label] * len(names)
        return used, x_names, x_terms

    @staticmethod
    def _levels_used(term: formula.Term, scans: list[dict], with_intercept: bool) -> list:
        """The levels of a C()/i() term that get a column, as kestrel.design chooses them,
        from the levels every partition saw in its usable rows."""
        values = [v for s in scans for v in s["levels"][term.label]]
        levels = pd.factorize(pd.Series(values), sort=True)[1].tolist() if values else []
        if term.kind == "i" and term.i_ref is not None:
            unknown = [r for r in term.i_ref if not any(design._same(r, lv) for lv in levels)]
            if unknown:
                shown = ", ".join(repr(lv) for lv in levels[:8])
                raise ValueError(f"ref={unknown[0]!r} in {term.label} is not a level of "
                                 f"{term.var!r} (levels: {shown}"
                                 f"{', ...' if len(levels) > 8 else ''})")
            return [lv for lv in levels if not any(design._same(r, lv) for r in term.i_ref)]
        if term.kind == "i" and (term.i_x is not None or not with_intercept):
            return levels
        return levels[1:]

    def _exchange(self, frames: list, column: str, width: int, aliases: list[int],
                  weighted: bool) -> list:
        """The partitions' rows moved so that each group of ``column`` lies in one part: each
        partition splits its rows by part, and each part joins its pieces in the partitions'
        order (the same rows in the same order on every run)."""
        count = len(frames)
        splits = self._map(_split, frames, column, count)
        pieces = [[self.client.submit(_item, s, j, pure=False) for s in splits]
                  for j in range(count)]
        del splits
        return [self.client.submit(_join, width, aliases, weighted, *row, pure=False)
                for row in pieces]

    def _counts(self, parts: list, sizes: list[int], frequency: bool,
                aliases: list[int]) -> list[np.ndarray]:
        found = self._gather(self._map(_counts, parts, sizes, frequency, aliases))
        out: list[np.ndarray] = []
        for j, size in enumerate(sizes):
            if aliases[j] != j:  # the codes of an identifier before it
                out.append(out[aliases[j]])
                continue
            total = np.zeros(size, dtype=np.float64 if frequency else np.int64)
            for f in found:
                if isinstance(f[j], tuple):
                    total[f[j][0]] += f[j][1]  # the levels present, each once
                else:
                    total += f[j]
            out.append(total.astype(np.float64))
        return out

    def _check_local(self, parts: list, largest: int, size: int) -> None:
        """Each group of the largest fixed effect lies in one partition (the shuffle's
        promise, checked: the exact elimination depends on it)."""
        if sum(self._gather(self._map(_local_groups, parts))) != size:
            raise RuntimeError("the shuffle left a group of the largest fixed effect in two "
                               "partitions; no result is returned")

    def _absorb(self, parts: list, others: list[int], offsets: list[int],
                sizes: list[int], callback: Any) -> tuple[list, list[dict]]:
        """The other fixed effects' coefficients b solving D'W M_A D b = D'W M_A v, then the
        partitions' demeaned columns at b and their statistics.

        When the system matrix is small enough (its entries are pairs of levels, not rows),
        the partitions send their shares once and the client solves with it: each pass
        over the data computes the exact residual D'W M_A (v − D b) and the client solves
        for the correction (iterative refinement), so a fit takes two or three passes
        whatever the iterations. Otherwise the conjugate gradient iterates with the
        workers, one round trip per iteration."""
        pairs = CLIENT_PAIRS * int(sum(sizes)) + CLIENT_PAIRS_MIN
        pairs_out = self._map(_start, parts, others, offsets, sizes, pairs)
        parts = self._map(_item, pairs_out, 0)
        started = self._map(_item, pairs_out, 1)
        kept = self._map(_item, pairs_out, 2)
        del pairs_out
        # The partitions' matrices are added up on the workers, in pairs: the client
        # receives one.
        level = self._map(_item, started, "matrix")
        while len(level) > 1:
            level = [self.client.submit(_add, level[i], level[i + 1], pairs, pure=False)
                     if i + 1 < len(level) else level[i] for i in range(0, len(level), 2)]
        start = self._gather(self._map(_without_matrix, started))
        matrix = self._gather(level)[0]
        del started, level
        rhs = sum(s["rhs"] for s in start)
        energy0 = sum(s["energy"] for s in start)
        diag = matrix.diagonal() if matrix is not None else sum(s["diag"] for s in start)
        del start
        active = diag > 1e-12 * max(float(diag.max(initial=0.0)), 1e-300)
        inv = np.where(active, 1.0 / np.where(active, diag, 1.0), 0.0)[:, None]
        self.extra.update(inv=inv, energy0=energy0)
        self._null_space(matrix, active, offsets, sizes)
        small = matrix is not None and len(diag) <= GRAPH_LEVELS
        precondition = self._preconditioner(matrix if small else None, diag, active, inv)
        tol = (INNER * self.options.fixef_tol) ** 2
        floor = 1e-26 * energy0
        self.converged = False
        if matrix is None:
            n = len(parts)
            operators = self.client.map(_operator, parts, kept, [others] * n, [offsets] * n,
                                        [sizes] * n, pure=False)
            del kept
            groups = self._by_worker(operators)
            coef, self.converged = self._cg(lambda p: self._product(groups, p), rhs, energy0,
                                            floor, precondition, tol,
                                            self.options.fixef_maxiter, callback)
            del groups, operators
            self.extra["fe_coef"] = coef
            parts = self._map(_finish, parts, others, offsets, sizes, coef)
            return parts, self._gather(self._map(_finish_stats, parts, others, sizes))
        self.stage = self.stage.replace("cg,", "cg on the client,")
        operator = matrix.tocsr()
        factored = False
        coef = np.zeros_like(rhs)
        residual = rhs
        stats = None
        for _ in range(REFINEMENTS):
            budget = self.options.fixef_maxiter - self.iterations
            if budget <= 0:
                break
            energy = energy0 if stats is None else sum(s["sq"] for s in stats)
            if small or factored:
                step, _ = self._cg(lambda p: operator @ p, residual, energy, floor,
                                   precondition, tol, budget, callback)
            else:
                # The diagonal first; if it is slow (levels tied by few rows, as on a chain
                # of firms), factor the matrix once and go on from there with its factors.
                step, done = self._cg(lambda p: operator @ p, residual, energy, floor,
                                      precondition, tol, min(budget, FACTOR_AFTER), callback)
                if not done and budget > FACTOR_AFTER:
                    factors = self._factored(operator, diag, active)
                    if factors is not None:
                        precondition = factors
                    left = residual - operator @ step
                    more, _ = self._cg(lambda p: operator @ p, left,
                                       energy - np.sum(step * (residual + left), axis=0),
                                       floor, precondition, tol,
                                       self.options.fixef_maxiter - self.iterations, callback)
                    step = step + more
                    factored = True  # (or could not be: the diagonal goes on)
            if stats is not None:
                # The error left at coef, in the energy norm: residual' A⁻¹ residual.
                error = np.sum(residual * step, axis=0)
                if np.all(error <= tol * np.maximum(energy, floor)):
                    self.converged = True
                    break
                parts = self._map(_refine, parts, others, offsets, step)
            else:
                parts = self._map(_finish, parts, others, offsets, sizes, step)
            coef += step
            stats = self._gather(self._map(_finish_stats, parts, others, sizes))
            residual = sum(s["grad"] for s in stats)
        self.extra["fe_coef"] = coef
        return parts, stats

    def _null_space(self, matrix: Any, active: np.ndarray, offsets: list[int],
                    sizes: list[int]) -> None:
        """The directions the system cannot see: within each connected set of levels (all of
        them without the matrix), a constant on one fixed effect's levels moves its rows'
        fitted values by a constant on groups of the largest one, which it absorbs. The
        residuals are kept free of them: rounding adds some in every product, and
        preconditioned there, they would stall the iterations' error estimate."""
        label = np.full(len(active), -1, dtype=np.int64)
        fe = np.repeat(np.arange(len(sizes)), sizes)
        if matrix is not None:
            index = np.flatnonzero(active)
            _, component = csgraph.connected_components(matrix[index][:, index],
                                                        directed=False)
            label[index] = component.astype(np.int64) * len(sizes) + fe[index]
        else:
            label[active] = fe[active]
        keep = label >= 0
        codes = label[keep]
        counts = np.bincount(codes).astype(np.float64)
        counts[counts == 0] = 1.0

        def project(r: np.ndarray) -> np.ndarray:
            out = r.copy()
            for j in range(r.shape[1]):
                means = np.bincount(codes, weights=r[keep, j]) / counts
                out[keep, j] -= means[codes]
            return out

        self._project = project

    def _product(self, groups: list, p: np.ndarray) -> np.ndarray:
        """D'W M_A D p, summed over the partitions: one task per batch of the pieces a
        worker holds (``groups``: (worker, pieces)), which sends the direction to it and
        one sum back."""
        tasks = [self.client.submit(_products, held, p, pure=False, workers=[worker],
                                    allow_other_workers=True)
                 for worker, held in groups]
        return -sum(self._gather(tasks))

    def _by_worker(self, parts: list) -> list:
        """The partitions' futures grouped by the worker that holds them, in batches of at
        most BATCH_SHARE of its memory limit: a task needs all its inputs in memory at once,
        and what the worker spilled to disk is read back a batch at a time."""
        distributed.wait(parts)
        holders = self.client.who_has(parts)
        sizes = self.client.nbytes([part.key for part in parts], summary=False)
        limits = {address: info.get("memory_limit") or 0
                  for address, info in self.client.scheduler_info()["workers"].items()}
        groups: dict[Any, list] = {}
        for part in parts:
            where = holders.get(part.key) or [None]
            groups.setdefault(sorted(where)[0], []).append(part)
        out = []
        for worker, held in groups.items():
            budget = BATCH_SHARE * limits.get(worker, 0)
            batch, total = [], 0
            for part in held:
                size = sizes.get(part.key, 0)
                if batch and budget and total + size > budget:
                    out.append((worker, batch))
                    batch, total = [], 0
                batch.append(part)
                total += size
            out.append((worker, batch))
        return out

    def _cg(self, product: Any, rhs: np.ndarray, energy: np.ndarray, floor: np.ndarray,
            precondition: Any, tol: float, maxiter: int, callback: Any) -> tuple:
        """Preconditioned conjugate gradient on A b = rhs, one system per column, all
        columns per product; ``energy``: the columns' ‖demeaned‖² where it starts (b = 0).
        Stops when the energy-norm error of each column's demeaned values, estimated from
        the decrease over the last iterations, is below INNER·fixef_tol of their norm
        (``floor``: the least norm to measure against). Returns b and whether it stopped
        so."""
        b = np.zeros_like(rhs)
        r = self._project(rhs)
        rhs = r.copy()
        z = precondition(r)
        p = z.copy()
        rz = np.sum(r * z, axis=0)
        decreases: list[np.ndarray] = []
        for it in range(1, maxiter + 1):
            q = product(p)
            pq = np.sum(p * q, axis=0)
            with np.errstate(divide="ignore", invalid="ignore"):
                alpha = np.where(pq > 0, rz / pq, 0.0)
            b += alpha * p
            r = self._project(r - alpha * q)
            z = precondition(r)
            rz_new = np.sum(r * z, axis=0)
            decreases.append(alpha * rz)
            with np.errstate(divide="ignore", invalid="ignore"):
                beta = np.where(rz > 0, rz_new / rz, 0.0)
            p = z + beta * p
            rz = rz_new
            self.iterations += 1
            left = energy - np.sum(b * (rhs + r), axis=0)  # ‖demeaned‖² at b
            scale = np.maximum(left, floor)
            window = np.sum(decreases[-WINDOW:], axis=0)
            if callback is not None:
                callback(self.iterations, float(np.sqrt(np.max(window / scale))))
            if (it >= 2 and np.all(window <= tol * scale)) or np.all(rz <= 0):
                return b, True
        return b, False

    def _factored(self, matrix: Any, diag: np.ndarray, active: np.ndarray) -> Any:
        """A preconditioner from the sparse factors of the matrix (its levels with weight,
        shifted by FACTOR_SHIFT of its diagonal: the levels' redundant directions would
        leave it singular): exact up to √FACTOR_ENTRIES levels, beyond within FILL times its
        entries and FACTOR_ENTRIES in all (past them, the factors drop their smallest
        entries). None when it cannot be factored."""
        index = np.flatnonzero(active)
        sub = matrix[index][:, index]
        fill = min(FILL, FACTOR_ENTRIES / max(sub.nnz, 1))
        if fill < 1:
            return None
        sub = (sub + sparse.diags(FACTOR_SHIFT * diag[index])).tocsc()
        try:
            # Exact factors when even dense ones would fit; beyond, incomplete ones (which
            # precondition less well) bounded in size.
            factors = splinalg.splu(sub) if len(index) ** 2 <= FACTOR_ENTRIES else \
                splinalg.spilu(sub, drop_tol=0.0, fill_factor=fill)
        except (RuntimeError, MemoryError, ValueError):
            return None

        def solve(r: np.ndarray) -> np.ndarray:
            z = np.zeros_like(r)
            z[index] = factors.solve(np.ascontiguousarray(r[index]))
            return z

        self.stage = self.stage.replace("diagonal", "factored")
        return solve

    def _preconditioner(self, matrix: Any, diag: np.ndarray, active: np.ndarray,
                        inv: np.ndarray) -> Any:
        """The system matrix's pseudo-inverse, from its eigendecomposition on the client;
        the diagonal when the levels are too many for a dense decomposition. Either way it
        changes only how fast the iterations converge, not where they stop."""
        def jacobi(r: np.ndarray) -> np.ndarray:
            return inv * r

        self.stage = "cg, diagonal preconditioner"
        if matrix is None:
            return jacobi
        index = np.flatnonzero(active)
        sub = matrix[index][:, index].toarray()
        try:
            values, vectors = linalg.eigh((sub + sub.T) / 2, check_finite=False)
        except (linalg.LinAlgError, MemoryError, ValueError):
            return jacobi
        # The pseudo-inverse: exact on the matrix's range, zero on its null space (the
        # levels' redundant directions), which an inverse would blow rounding up along.
        keep = values > GRAPH_RANK_TOL * max(float(values[-1]), 0.0)
        vectors, scale = vectors[:, keep], 1.0 / values[keep]

        def graph(r: np.ndarray) -> np.ndarray:
            z = np.zeros_like(r)
            z[index] = vectors @ (scale[:, None] * (vectors.T @ r[index]))
            return z

        self.stage = "cg, graph preconditioner"
        return graph

    def _check_solution(self, stats: list[dict]) -> None:
        """The demeaned columns' level sums for the other fixed effects, computed from the
        data (not the solver's own recursion), must be zero up to fixef_tol: otherwise the
        fit is reported unconverged, with a warning."""
        grad = sum(s["grad"] for s in stats)
        sq = sum(s["sq"] for s in stats)
        # The level sums in the preconditioner's metric, against the demeaned columns' norm
        # (and, for a column the fixed effects explain, rounding of the undemeaned one's).
        size = np.sqrt(np.sum(self.extra["inv"] * grad * grad, axis=0))
        bound = self.options.fixef_tol * np.sqrt(sq) + 1e-13 * np.sqrt(self.extra["energy0"])
        ok = bool(np.all(size <= bound))
        if not (ok and self.converged):
            self.converged = False
            if self.iterations >= self.options.fixef_maxiter:
                why = steps.demeaning_shortfall({"limit_reached": True}, self.options.fixef_tol,
                                                self.options.fixef_maxiter, "fixef_tol",
                                                "fixef_maxiter")
            else:
                why = (f"after {self.iterations:,} iterations the demeaned columns' sums over "
                       "the levels of the fixed effects, computed again from the data, are "
                       f"not zero to fixef_tol={self.options.fixef_tol:g} (rounding limits "
                       "the accuracy these data allow); results are accurate only to about "
                       "that level")
            warnings.warn(f"the fixed effects were not fully absorbed: {why}",
                          ConvergenceWarning, stacklevel=5)

    def _nested(self, parts: list, fe_levels: list[int], cl_levels: list[int],
                n_fe: int) -> list[bool]:
        vc, conv = self.vc, self.conv
        if vc.kind != "cluster" or conv.k_fixef != "nonnested":
            return [False] * n_fe
        out = [False] * n_fe
        for j, name in enumerate(self.model.fixef_names):
            for c, c_name in enumerate(self.plan.cluster_names):
                if name == c_name:
                    out[j] = True
                elif cl_levels[c] <= fe_levels[j]:
                    found = self._gather(self._map(_nested_range, parts, j, n_fe + c,
                                                   fe_levels[j]))
                    lo = np.min([f[0] for f in found], axis=0)
                    hi = np.max([f[1] for f in found], axis=0)
                    out[j] = bool(np.all(lo == hi))
                if out[j]:
                    break
        return out


def _fitted(pdf: pd.DataFrame, plan: Plan, state: dict, which: str) -> pd.Series:
    """The residuals or fitted values of a partition's rows used in the fit."""
    frame = _build(pdf, plan, state["glob"], state["width"])
    n = len(frame)
    used = np.ones(n, dtype=bool)
    fitted = np.zeros(n)
    for f, (renumber, alpha) in enumerate(zip(state["renumber"], state["alphas"])):
        codes = renumber[frame[f"c{f}"].to_numpy()]
        used &= codes >= 0  # a level left out of the sample (a singleton's) has none
        fitted += alpha[np.maximum(codes, 0)] if len(alpha) else 0.0
    for j, c in zip(state["columns"], state["coef"]):
        fitted += c * frame[f"v{j}"].to_numpy()
    values = frame["v0"].to_numpy() - fitted if which == "resid" else fitted
    return pd.Series(values[used], index=frame.index[used], name=which)


@dataclass(frozen=True)
class _Rows:
    """Residuals and predictions as lazy Dask series: the fit's data, and what each
    partition needs to compute them (sent once, as one key of the graph)."""

    data: Any
    plan: Plan
    state: dict

    def series(self, which: str) -> Any:
        shared = dask.delayed(self.state, name=f"kestrel-fit-{uuid.uuid4().hex}",
                              traverse=False)
        return self.data.map_partitions(_fitted, self.plan, shared, which,
                                        meta=pd.Series(dtype=np.float64, name=which))


@dataclass(frozen=True)
class _DesignShape:
    """What the two stages read of a design: the regressors' names and terms."""

    x_names: list[str]
    x_terms: list[str]


class _NoRows(FixedEffects):
    def __call__(self, tol: float | None = None, maxiter: int | None = None) -> Any:
        raise ValueError(f"fit.fixef() {NOT_SUPPORTED}: the fit keeps no rows")


@dataclass(frozen=True, eq=False)
class DaskFit(Fit):
    """A :class:`kestrel.Fit` of a Dask DataFrame: the estimates, covariance, statistics,
    ``summary``, ``etable``, ``coefplot``, ``wald_test`` and ``lincom``; what needs the rows
    (residuals, predictions, fixed-effect values, another covariance) raises ValueError."""

    _fixef_type: ClassVar[type] = _NoRows
    _rows: Any = field(default=None, repr=False, compare=False)
    # The fit read the source twice (the scan, then the build and shuffle) and passed this
    # many times over the rows the workers kept.
    reads: ClassVar[int] = 2
    passes: int = field(default=0, compare=False)

    def resid(self, full: bool = False) -> Any:
        """The residuals of the rows used, as a lazy Dask series indexed like the data."""
        if full:
            raise ValueError(f"fit.resid(full=True) {NOT_SUPPORTED}: fit.resid() is indexed "
                             "like the data, the rows not used left out")
        return self._lazy("resid", "fit.resid()")

    def predict(self, newdata: Any = None, context: Any = None) -> Any:
        """The fitted values of the rows used, fixed effects included, as a lazy Dask series
        indexed like the data; predictions on other data are not supported."""
        if newdata is not None:
            raise ValueError(f"fit.predict(newdata) {NOT_SUPPORTED}: predict on a pandas "
                             "frame from a fit of it, or use fit.predict() for the rows used")
        return self._lazy("fitted", "fit.predict()")

    def _lazy(self, which: str, call: str) -> Any:
        if self._rows is None:
            raise ValueError(f"{call} after 2SLS {NOT_SUPPORTED}")
        return self._rows.series(which)

    def vcov_as(self, vcov: Any, vcov_kwargs: Any = None, ssc: Any = None,
                data: Any = None) -> Fit:
        raise ValueError(f"fit.vcov_as() {NOT_SUPPORTED}: fit again with vcov=...")

    def wildboottest(self, *args: Any, **kwargs: Any) -> Any:
        raise ValueError(f"fit.wildboottest() {NOT_SUPPORTED}")
