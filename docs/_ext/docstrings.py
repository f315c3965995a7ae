"""Griffe extension for the API reference: kestrel's docstrings are plain text written for
``help()``, with Sphinx-style roles (:func:`kestrel.ssc`) and one line per parameter
(``name: what it is``, continued on lines indented by two spaces). Before they are rendered
as Markdown, the roles become code (linked when they name an object of the reference page)
and the parameter lines a list, so that neither runs into the paragraph around it."""

from __future__ import annotations

import re
from typing import Any

from griffe import Extension

# The names the reference page documents: a role naming one of them links to it.
DOCUMENTED = {"feols", "ssc", "SSC", "demean", "Fit", "FitList", "Summary", "etable",
              "coefplot", "CollinearityWarning", "ConvergenceWarning", "LeverageWarning",
              "PanicException"}
ROLE = re.compile(r":(?:func|class|meth|mod|data|attr|exc|obj):`~?([\w.]+)`")
PARAMETER = re.compile(r"^([A-Za-z_]\w*(?:, [A-Za-z_]\w*)*): (.*)$")


def _role(match: re.Match) -> str:
    target = match.group(1)
    parts = target.split(".")
    if len(parts) == 2 and parts[0] == "kestrel" and parts[1] in DOCUMENTED:
        return f"[`{target}`][{target}]"
    return f"`{target}`"


def _names(obj: Any) -> set[str]:
    names: set[str] = set()
    try:
        names |= {p.name for p in obj.parameters}
    except Exception:  # not callable, or no __init__ of its own
        pass
    if obj.is_class:
        names |= {n for n, m in obj.members.items() if not n.startswith("_")}
    names.discard("self")
    return names


def rewrite(text: str, names: set[str]) -> str:
    """``text`` with its roles as code and its parameter lines as a Markdown list."""
    text = ROLE.sub(_role, text)
    out: list[str] = []
    in_item = False
    for line in text.splitlines():
        match = PARAMETER.match(line)
        if match and all(n in names for n in match.group(1).split(", ")):
            if out and out[-1].strip() and not in_item:
                out.append("")  # a list needs a blank line after a paragraph
            params = ", ".join(f"`{n}`" for n in match.group(1).split(", "))
            out.append(f"- {params}: {match.group(2)}")
            in_item = True
        elif in_item and line.startswith("  ") and line.strip():
            out.append("  " + line.strip())
        else:
            if in_item and line.strip():
                out.append("")  # the paragraph after a list starts anew
            in_item = False
            out.append(line)
    return "\n".join(out)


class KestrelDocstrings(Extension):
    def on_package(self, *, pkg: Any, **kwargs: Any) -> None:
        stack = [pkg]
        seen: set[int] = set()
        while stack:
            obj = stack.pop()
            if id(obj) in seen or obj.is_alias:
                continue
            seen.add(id(obj))
            if obj.docstring is not None:
                obj.docstring.value = rewrite(obj.docstring.value, _names(obj))
            stack.extend(m for m in obj.members.values() if not m.is_alias)

    # The same hook under its name in older Griffe releases.
    def on_package_loaded(self, *, pkg: Any, **kwargs: Any) -> None:
        self.on_package(pkg=pkg)
