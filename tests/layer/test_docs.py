"""The documentation site builds with warnings as errors: every page in the navigation, no
broken link or anchor, and an API reference whose docstrings all render."""

import subprocess
import sys
from pathlib import Path

import pytest

from conftest import need

ROOT = Path(__file__).resolve().parents[2]


def test_the_docs_build_strictly(tmp_path):
    if not (ROOT / "mkdocs.yml").is_file():
        pytest.skip("the tests run outside the repository: no mkdocs.yml beside them")
    need("mkdocs", "the documentation site")
    need("mkdocstrings", "the documentation's API reference")
    proc = subprocess.run([sys.executable, "-m", "mkdocs", "build", "--strict", "--site-dir",
                           str(tmp_path / "site")], cwd=ROOT, capture_output=True, text=True,
                          timeout=300)
    assert proc.returncode == 0, proc.stdout[-3000:] + proc.stderr[-3000:]
    api = (tmp_path / "site" / "api" / "index.html").read_text(encoding="utf-8")
    for name in ("feols", "Fit", "FitList", "etable", "coefplot", "demean", "ssc"):
        assert f'id="kestrel.{name}"' in api, name
    # The fit steps are public, each documented.
    for name in ("FitOptions", "check_options", "sample", "absorb", "least_squares",
                 "inference"):
        assert f'id="kestrel.steps.{name}"' in api, name
