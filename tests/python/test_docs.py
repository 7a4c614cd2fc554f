"""Every `>>>` example in the README and the docs/ pages runs as written."""

import doctest
import importlib.util
import pathlib

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
PAGES = [REPO / "README.md"] + sorted((REPO / "docs").glob("*.md"))
# Pages about the companion package run once it is installed.
NEEDS = {"zor.md": "zor", "constants.md": "zor"}


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
    prose_only = {"README.md", "install.md", "recovery.md"}
    without = [p.name for p in PAGES[1:] if ">>> " not in p.read_text() and p.name not in prose_only]
    assert without == []
