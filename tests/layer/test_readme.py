"""The Python examples of the README and of every page of the documentation (docs/) run as
written and print what the page shows. Each page runs in one namespace, its blocks in order
(later ones reuse earlier names, as a reader pasting them into one session would); every
page starts afresh."""

import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from conftest import need

need("linearmodels")
need("matplotlib")
pytestmark = pytest.mark.peers

ROOT = Path(__file__).resolve().parents[2]
README = ROOT / "README.md"
PAGES = [README, *sorted((ROOT / "docs").glob("*.md"))]
BLOCK = re.compile(r"```(python|text)\n(.*?)```", re.S)

# Each block runs in the one process; its output comes back between markers.
RUNNER = """
import sys
blocks = {blocks!r}
namespace = {{"__name__": "__main__"}}
for i, code in enumerate(blocks):
    print(f"\\x00{{i}}\\x00", flush=True)
    exec(compile(code, f"{page} block {{i}}", "exec"), namespace)
"""


def examples(page):
    """(code, expected output or None) for every python block of ``page``, the text block
    right after it being its output."""
    found = [(m.group(1), m.group(2)) for m in BLOCK.finditer(page.read_text(encoding="utf-8"))]
    out = []
    for i, (kind, body) in enumerate(found):
        if kind == "python":
            after = found[i + 1] if i + 1 < len(found) else None
            out.append((body, after[1] if after and after[0] == "text" else None))
    return out


def normalised(text):
    return [line.rstrip() for line in text.strip().splitlines()]


def test_the_readme_and_the_docs_have_examples():
    assert examples(README), "the README's quick start has no python block"
    assert sum(len(examples(page)) for page in PAGES) >= 10


@pytest.mark.parametrize("page", [p for p in PAGES if examples(p)],
                         ids=lambda p: str(p.relative_to(ROOT)))
def test_examples_run_and_print_what_the_page_shows(page, tmp_path):
    blocks = examples(page)
    name = str(page.relative_to(ROOT))
    script = textwrap.dedent(RUNNER).format(blocks=[code for code, _ in blocks], page=name)
    proc = subprocess.run([sys.executable, "-c", script], cwd=tmp_path, capture_output=True,
                          text=True, timeout=600, env={**os.environ, "MPLBACKEND": "Agg"})
    assert proc.returncode == 0, proc.stderr[-3000:]
    printed = proc.stdout.split("\x00")[2::2]
    assert len(printed) == len(blocks)
    for (code, expected), got in zip(blocks, printed):
        if expected is not None:
            assert normalised(got) == normalised(expected), f"{name}:\n{code}"
