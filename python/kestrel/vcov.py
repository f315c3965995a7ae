"""Covariance types and the small-sample conventions applied to them.

The engine returns unscaled pieces (the bread (X'X)^-1 and the meats); this module names
the covariance the user asked for, counts the degrees of freedom the chosen convention
counts, and assembles V = c · bread · meat · bread. The factors (README, "Conventions"):

  iid        V = RSS/(N−1) · bread · adj,        adj = (N−1)/(N−K)     if k_adj
  HC1..HC3   V = bread · Σ w_i x_i x_i' · bread · adj,  adj = N/(N−K)  if k_adj
  CRV1       V = Σ_c ±bread · M_c · bread · adj · G_c/(G_c−1),
             adj = (N−1)/(N−K) if k_adj; G_c/(G_c−1) if G_adj, with G_c the groups of
             each term of the inclusion–exclusion sum (G_df="conventional") or the fewest
             groups of any one clustering variable (G_df="min")

K counts the kept regressors plus, per k_fixef, the fixed effects: none ("none"), all
("full"), or all but those nested in a clustering variable, each of which counts one
("nonnested", for clustered covariances only). The fixed effects count their levels minus
one per fixed effect after the first (fixest's count), or the exact rank of their dummies
with ``fixef_exact`` (reghdfe's). t and p use N−K degrees of freedom, or G−1 (the fewest
groups of any clustering variable) when clustered. Multi-way clustering follows Cameron,
Gelbach and Miller (2011), inclusion–exclusion over the non-empty subsets of variables.
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, replace
from typing import Any

import numpy as np

_HETERO = {"hetero": 1, "hc1": 1, "hc2": 2, "hc3": 3}
_LATER = {"nw": "Newey-West ('NW')", "dk": "Driscoll-Kraay ('DK')", "crv3": "CRV3"}
_NAMES_HINT = ("'iid', 'hetero' (= 'HC1'), 'HC2', 'HC3', or {'CRV1': 'var'} / "
               "{'CRV1': 'var1+var2'} for clustered standard errors")


@dataclass(frozen=True)
class Vcov:
    """A requested covariance: ``kind`` is "iid", "hetero" (with ``hc`` 1, 2 or 3) or
    "cluster" (with the clustering variables, each a column or columns joined by ^)."""

    kind: str
    hc: int = 0
    clusters: tuple[str, ...] = ()

    @property
    def label(self) -> str:
        if self.kind == "cluster":
            return "CRV1"
        return f"HC{self.hc}" if self.kind == "hetero" else "iid"

    def describe(self, groups: Sequence[int] = ()) -> str:
        if self.kind == "iid":
            return "iid"
        if self.kind == "hetero":
            return f"heteroskedasticity-robust (HC{self.hc})"
        by = ", ".join(f"{name} ({g:,} clusters)" if groups else name
                       for name, g in zip(self.clusters, groups or [0] * len(self.clusters)))
        return f"clustered by {by}, CRV1"


def parse(vcov: Any, fixef_names: Sequence[str]) -> Vcov:
    """Read ``vcov=``; None means clustered by the first fixed effect, else iid (fixest's
    default). Misspelt names raise ``ValueError`` listing the valid ones."""
    if vcov is None:
        return Vcov("cluster", clusters=(fixef_names[0],)) if fixef_names else Vcov("iid")
    if isinstance(vcov, str):
        key = vcov.strip().lower()
        if key == "iid":
            return Vcov("iid")
        if key in _HETERO:
            return Vcov("hetero", hc=_HETERO[key])
        if key in ("crv1", "cluster"):
            raise ValueError(f"vcov={vcov!r} needs the clustering variable: write "
                             "vcov={'CRV1': 'firm'}")
        if key in _LATER:
            raise ValueError(f"{_LATER[key]} covariances are not supported yet; use {_NAMES_HINT}")
        raise ValueError(f"unknown covariance vcov={vcov!r}; use {_NAMES_HINT}")
    if isinstance(vcov, Mapping):
        if len(vcov) != 1:
            raise ValueError(f"vcov={vcov!r} must have exactly one entry, such as "
                             "{'CRV1': 'firm'}")
        (kind, spec), = vcov.items()
        if not isinstance(kind, str) or kind.strip().upper() not in ("CRV1", "CRV3"):
            raise ValueError(f"unknown clustered covariance {kind!r} in vcov={vcov!r}; "
                             "use {'CRV1': 'firm'}")
        if kind.strip().upper() == "CRV3":
            raise ValueError(f"CRV3 covariances are not supported yet; use {{'CRV1': {spec!r}}}")
        return Vcov("cluster", clusters=_cluster_names(spec, vcov))
    raise TypeError(f"vcov must be a string such as 'hetero' or a dict such as "
                    f"{{'CRV1': 'firm'}}, not {type(vcov).__name__}")


def _cluster_names(spec: Any, vcov: Any) -> tuple[str, ...]:
    if isinstance(spec, str):
        names = [p.strip() for p in spec.split("+")]
    elif isinstance(spec, Sequence) and all(isinstance(p, str) for p in spec):
        names = [p.strip() for p in spec]
    else:
        raise TypeError(f"the clustering variables in vcov={vcov!r} must be a string such as "
                        "'firm' or 'firm+year'")
    names = ["^".join(part.strip() for part in name.split("^")) for name in names]
    if not names or any(not n or "" in n.split("^") for n in names):
        raise ValueError(f"vcov={vcov!r} has an empty clustering variable")
    if len(set(names)) != len(names):
        raise ValueError(f"vcov={vcov!r} lists a clustering variable twice")
    return tuple(names)


@dataclass(frozen=True)
class SSC:
    """Small-sample conventions; build with :func:`kestrel.ssc`."""

    k_adj: bool = True
    k_fixef: str = "nonnested"
    G_adj: bool = True
    G_df: str = "min"
    fixef_exact: bool = False


_PRESETS = {
    # fixest and pyfixest (their defaults).
    "fixest": SSC(),
    # Stata's reghdfe, vce(cluster): fixed effects nested in a cluster do not count, the
    # others count with the exact rank of their dummies.
    "reghdfe": SSC(fixef_exact=True),
    # Stata's regress with the fixed effects as dummy variables, vce(cluster): every
    # dummy counts.
    "regress": SSC(k_fixef="full", fixef_exact=True),
}


def ssc(preset: str = "fixest", *, k_adj: bool | None = None, k_fixef: str | None = None,
        G_adj: bool | None = None, G_df: str | None = None,
        fixef_exact: bool | None = None) -> SSC:
    """Small-sample corrections of the covariance, by preset and/or field.

    ``preset``: "fixest" (the default, as fixest and pyfixest), "reghdfe" or "regress"
    (Stata's commands with ``vce(cluster)``). Fields given override the preset's:
    ``k_adj`` (scale by (N−1)/(N−K), N/(N−K) for HC), ``k_fixef`` ("none", "full",
    "nonnested": which fixed effects K counts), ``G_adj`` (scale clustered terms by
    G/(G−1)), ``G_df`` ("min" or "conventional": which G), ``fixef_exact`` (count the
    fixed effects by the exact rank of their dummies rather than levels minus one per
    extra fixed effect).
    """
    if not isinstance(preset, str) or preset not in _PRESETS:
        raise ValueError(f"unknown ssc preset {preset!r}; use one of {', '.join(_PRESETS)}")
    base = _PRESETS[preset]
    fields: dict[str, Any] = {}
    for name, value in (("k_adj", k_adj), ("G_adj", G_adj), ("fixef_exact", fixef_exact)):
        if value is not None:
            if not isinstance(value, (bool, np.bool_)):
                raise TypeError(f"ssc({name}=...) must be True or False, not {value!r}")
            fields[name] = bool(value)
    for name, value, allowed in (("k_fixef", k_fixef, ("none", "full", "nonnested")),
                                 ("G_df", G_df, ("min", "conventional"))):
        if value is not None:
            if value not in allowed:
                raise ValueError(f"ssc({name}={value!r}) must be one of "
                                 f"{', '.join(map(repr, allowed))}")
            fields[name] = value
    return replace(base, **fields)


def as_ssc(value: Any) -> SSC:
    """``ssc=`` as given to feols: None, an :class:`SSC`, or a dict of its fields (such as
    pyfixest's ``ssc()`` returns)."""
    if value is None:
        return SSC()
    if isinstance(value, SSC):
        return value
    if isinstance(value, Mapping):
        unknown = set(value) - {"k_adj", "k_fixef", "G_adj", "G_df", "fixef_exact"}
        if unknown:
            raise ValueError(f"unknown ssc field(s) {sorted(unknown)}; use kestrel.ssc(...)")
        return ssc(**value)
    raise TypeError(f"ssc must come from kestrel.ssc(...), not {type(value).__name__}")


def fixef_dof(conv: SSC, levels: Sequence[int], exact: int) -> int:
    """Degrees of freedom the fixed effects take under the convention."""
    if not levels:
        return 0
    return exact if conv.fixef_exact else sum(levels) - (len(levels) - 1)


def dof_k(conv: SSC, spec: Vcov, k: int, levels: Sequence[int], dof_fe: int,
          nested: Sequence[bool]) -> int:
    """K of the small-sample factors: regressors plus the fixed effects counted."""
    if conv.k_fixef == "none" or not levels:
        return k
    if conv.k_fixef == "nonnested" and spec.kind == "cluster" and any(nested):
        return k + dof_fe - sum(g for g, n in zip(levels, nested) if n) + sum(nested)
    return k + dof_fe


@dataclass(frozen=True)
class Covariance:
    matrix: np.ndarray
    df_t: float  # degrees of freedom of t and p
    dof_k: int


def iid(conv: SSC, bread: np.ndarray, rss: float, n: int, K: int) -> Covariance:
    factor = (n - 1) / (n - K) if conv.k_adj else 1.0
    return Covariance(bread * (rss / (n - 1) * factor), n - K, K)


def hetero(conv: SSC, bread: np.ndarray, meat: np.ndarray, n: int, K: int) -> Covariance:
    factor = n / (n - K) if conv.k_adj else 1.0
    return Covariance(_sandwich(bread, meat) * factor, n - K, K)


def clustered(conv: SSC, bread: np.ndarray, terms: Sequence[Mapping[str, Any]],
              n_vars: int, n: int, K: int) -> Covariance:
    """``terms``: the engine's cluster meats, one per non-empty subset of the variables."""
    g_single = [t["groups"] for t in terms if len(t["subset"]) == 1]
    g_min = min(g_single)
    adj = (n - 1) / (n - K) if conv.k_adj else 1.0
    total = np.zeros_like(bread)
    for t in terms:
        g = g_min if conv.G_df == "min" else t["groups"]
        factor = adj * (g / (g - 1) if conv.G_adj and g > 1 else 1.0)
        sign = 1.0 if len(t["subset"]) % 2 else -1.0
        total += sign * factor * _sandwich(bread, np.asarray(t["meat"]))
    return Covariance(total, g_min - 1, K)


def _sandwich(bread: np.ndarray, meat: np.ndarray) -> np.ndarray:
    v = bread @ meat @ bread
    return (v + v.T) / 2  # exactly symmetric, whatever the rounding of the products


def check_number(name: str, value: Any, *, integer: bool = False, minimum: float = 0.0,
                 strict: bool = True) -> None:
    """A numeric option: TypeError for a non-number (a string, a bool), ValueError out of range."""
    kind = numbers.Integral if integer else numbers.Real
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, kind):
        want = "an integer" if integer else "a number"
        raise TypeError(f"{name} must be {want}, not {type(value).__name__} ({value!r})")
    if not math.isfinite(value) or value < minimum or (strict and value == minimum):
        bound = f"greater than {minimum:g}" if strict else f"at least {minimum:g}"
        raise ValueError(f"{name} must be {bound}, not {value!r}")
