"""Every `>>>` example in the README and the docs/ pages runs as written, and so does the demo."""

import doctest
import importlib.util
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
PAGES = [REPO / "README.md"] + sorted((REPO / "docs").glob("*.md"))
# Pages about the companion package run once it is installed.
NEEDS = {"zor.md": "zor", "constants.md": "zor", "parameters.md": "zor", "cluster.md": "distributed",
         "units.md": "pint"}


@pytest.mark.parametrize("page", PAGES, ids=[p.name if p.parent.name != "docs" else "docs/" + p.name for p in PAGES])
def test_examples_in_page_run(page):
    needed = NEEDS.get(page.name)
    if needed and importlib.util.find_spec(needed) is None:
        pytest.skip(f"the {needed} package is not installed")
    result = doctest.testfile(str(page), module_relative=False, encoding="utf-8", verbose=False,
                              optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    assert result.failed == 0, f"{result.failed} of {result.attempted} examples in {page.name} failed (see above)"


def test_every_docs_page_has_examples_or_is_listed_as_reference():
    # A page without runnable examples must be one that explains rather than shows.
    prose_only = {"README.md", "install.md", "recovery.md", "realdata.md", "architecture.md"}
    without = [p.name for p in PAGES[1:] if ">>> " not in p.read_text() and p.name not in prose_only]
    assert without == []


def test_readme_layout_table_names_every_folder_of_the_repository():
    if shutil.which("git") is None or not (REPO / ".git").exists():
        pytest.skip("needs the git checkout")
    tracked = subprocess.run(["git", "ls-files"], cwd=REPO, capture_output=True, text=True, check=True).stdout
    folders = {str(pathlib.PurePosixPath(name).parent) + "/" for name in tracked.splitlines() if "/" in name}
    # the seed corpus folders, one per fuzz target, share one row
    folders = {f for f in folders if not f.startswith("tests/fuzz/corpus/") or f == "tests/fuzz/corpus/"}
    folders.add("tests/fuzz/corpus/")
    layout = (REPO / "README.md").read_text().split("## Layout", 1)[1].split("\n## ", 1)[0]
    rows = set(re.findall(r"^\| `([^`]+/)` \|", layout, flags=re.MULTILINE))
    assert rows == folders


def test_demo_runs_and_its_python_forms_agree_with_predict():
    done = subprocess.run([sys.executable, str(REPO / "examples" / "demo.py")], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    sections = done.stdout.split("\n== ")
    checks = [line for line in done.stdout.splitlines() if line.lstrip().startswith("check  :")]
    assert len(sections) == 4 and len(checks) == 4
    # each Python form, run as printed, gives predict's value bit for bit
    assert all("(the same)" in line for line in checks), checks
    assert "| def f(P: float, r: float) -> float:" in done.stdout
    assert "| def zor(a: float, b: float) -> float:" in done.stdout
