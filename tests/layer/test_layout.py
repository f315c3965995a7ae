"""The package's layout: kestrel's modules import each other without a cycle (counting
imports inside functions), the modules that show fits know no estimator, and importing
kestrel loads none of the optional extras."""

import ast
import subprocess
import sys
from pathlib import Path

import kestrel

PACKAGE = Path(kestrel.__file__).resolve().parent
# The modules that fit: those that read fits must not import them.
ESTIMATORS = {"estimation", "linear", "multiple", "iv", "glm", "steps", "samples", "demeaning"}
READERS = {"results", "tables", "plots", "prediction"}


def _modules() -> dict[str, Path]:
    """Module name (relative to kestrel; "__init__" for the package) -> file."""
    return {str(p.relative_to(PACKAGE).with_suffix("")).replace("/", "."): p
            for p in PACKAGE.rglob("*.py")}


def _type_checking(node: ast.AST) -> bool:
    test = getattr(node, "test", None)
    return isinstance(node, ast.If) and (
        (isinstance(test, ast.Name) and test.id == "TYPE_CHECKING")
        or (isinstance(test, ast.Attribute) and test.attr == "TYPE_CHECKING"))


def _imports(tree: ast.AST, name: str, known: set[str]) -> list[tuple[str, bool]]:
    """The kestrel modules a module imports, each with whether the import sits inside a
    function. Imports under ``if TYPE_CHECKING:`` never run and are left out."""
    package = name.rsplit(".", 1)[0] if "." in name else ""
    found: list[tuple[str, bool]] = []

    def add(target: str, nested: bool) -> None:
        if target.startswith("kestrel."):
            target = target[len("kestrel."):]
        elif target == "kestrel":
            target = "__init__"
        else:
            return
        while target and target not in known and "." in target:
            target = target.rsplit(".", 1)[0]
        if target in known:
            found.append((target, nested))

    def visit(node: ast.AST, nested: bool) -> None:
        for child in ast.iter_child_nodes(node):
            if _type_checking(child):
                for sub in child.orelse:
                    visit(sub, nested)
                continue
            inner = nested or isinstance(child, (ast.FunctionDef, ast.AsyncFunctionDef,
                                                 ast.Lambda))
            if isinstance(child, ast.Call) and isinstance(child.func, ast.Attribute) and \
                    child.func.attr == "import_module" and child.args and \
                    isinstance(child.args[0], ast.Constant) and \
                    isinstance(child.args[0].value, str):
                # importlib.import_module("kestrel.x") with a constant name: an import too.
                add(child.args[0].value, nested)
            if isinstance(child, ast.Import):
                for alias in child.names:
                    add(alias.name, nested)
            elif isinstance(child, ast.ImportFrom):
                base = child.module or ""
                if child.level:
                    parts = ["kestrel", *package.split(".")] if package else ["kestrel"]
                    parts = parts[:len(parts) - (child.level - 1)]
                    base = ".".join(parts + ([base] if base else []))
                for alias in child.names:
                    # "from kestrel import design" imports a module, "from kestrel.design
                    # import build" a name of one.
                    whole = f"{base}.{alias.name}"
                    if whole.startswith("kestrel.") and whole[len("kestrel."):] in known:
                        add(whole, nested)
                    else:
                        add(base, nested)
            visit(child, inner)

    visit(tree, False)
    return found


def _graph() -> tuple[dict[str, set[str]], dict[str, set[str]]]:
    modules = _modules()
    known = set(modules)
    edges: dict[str, set[str]] = {}
    nested: dict[str, set[str]] = {}
    for name, path in modules.items():
        tree = ast.parse(path.read_text(encoding="utf-8"), filename=str(path))
        found = _imports(tree, name, known)
        edges[name] = {t for t, _ in found if t != name}
        nested[name] = {t for t, inside in found if inside and t != name}
    return edges, nested


def _cycle(edges: dict[str, set[str]]) -> list[str] | None:
    state: dict[str, int] = {}  # 1: on the path, 2: done
    path: list[str] = []

    def walk(node: str) -> list[str] | None:
        state[node] = 1
        path.append(node)
        for nxt in sorted(edges.get(node, ())):
            if state.get(nxt) == 1:
                return path[path.index(nxt):] + [nxt]
            if nxt not in state:
                found = walk(nxt)
                if found:
                    return found
        path.pop()
        state[node] = 2
        return None

    for node in sorted(edges):
        if node not in state:
            found = walk(node)
            if found:
                return found
    return None


def test_the_import_graph_reads_from_the_bottom_up():
    edges, nested = _graph()
    # The graph sees what the package holds (a parse that found nothing would pass).
    assert {"steps", "formula", "results", "warning_types"} <= set(edges)
    assert {"steps", "linear", "multiple", "formula"} <= edges["estimation"]
    cycle = _cycle(edges)
    assert cycle is None, "import cycle: " + " -> ".join(cycle)
    for reader in READERS:
        assert not edges[reader] & ESTIMATORS, (reader, sorted(edges[reader] & ESTIMATORS))
    # Every estimator composes the steps; none reaches into another's module.
    assert "estimation" not in set().union(*(edges[m] for m in edges if m != "__init__"))
    for lower in ("glm", "multiple", "demeaning", "iv", "inference"):
        assert not edges[lower] & {"estimation", "glm", "multiple", "samples"}, lower
    # Imports inside functions: only the command line's, which keeps its startup light, and
    # feols's dispatch of Dask DataFrames to the module that imports dask.
    assert {m for m, targets in nested.items() if targets} <= {"__main__", "estimation"}, nested
    assert nested["estimation"] == {"distributed"}, nested["estimation"]
    assert not edges["warning_types"], "the warning classes sit at the bottom"


def test_the_graph_sees_imports_inside_functions_and_skips_type_checking():
    tree = ast.parse("from typing import TYPE_CHECKING\n"
                     "from kestrel import results\n"
                     "if TYPE_CHECKING:\n    from kestrel.glm import GlmFit\n"
                     "def f():\n    from kestrel.tables import etable\n"
                     "    import kestrel.plots\n"
                     "    importlib.import_module('kestrel.distributed')\n")
    found = _imports(tree, "x", {"results", "glm", "tables", "plots", "distributed"})
    assert sorted(found) == [("distributed", True), ("plots", True), ("results", False),
                             ("tables", True)]
    assert _cycle({"a": {"b"}, "b": {"c"}, "c": {"a"}}) == ["a", "b", "c", "a"]
    assert _cycle({"a": {"b"}, "b": set()}) is None


def test_import_kestrel_loads_no_optional_extra():
    code = ("import sys, kestrel\n"
            "loaded = [m for m in ('matplotlib', 'dask', 'pyarrow.parquet') "
            "if m in sys.modules]\n"
            "print(','.join(loaded))\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         timeout=120, check=True)
    assert out.stdout.strip() == ""
