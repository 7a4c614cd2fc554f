"""Runs examples/discover.ipynb and writes the pictures of its cells tagged
`figure:NAME` to docs/figures/NAME.png, so that the docs show what the notebook draws.

    .venv/bin/python scripts/notebook_figures.py        # or: make notebook-figures
"""

from __future__ import annotations

import base64
import pathlib
import sys
import tempfile

import nbclient
import nbformat

REPO = pathlib.Path(__file__).resolve().parents[1]
NOTEBOOK = REPO / "examples" / "discover.ipynb"
FIGURES = REPO / "docs" / "figures"


def main() -> int:
    notebook = nbformat.read(NOTEBOOK, as_version=4)
    with tempfile.TemporaryDirectory() as scratch:  # the notebook saves its result in its directory
        nbclient.NotebookClient(notebook, timeout=600, kernel_name="python3",
                                resources={"metadata": {"path": scratch}}).execute()
    written = 0
    for cell in notebook.cells:
        names = [tag.removeprefix("figure:") for tag in cell.metadata.get("tags", []) if tag.startswith("figure:")]
        images = [output["data"]["image/png"] for output in cell.get("outputs", [])
                  if "image/png" in output.get("data", {})]
        for name, image in zip(names, images, strict=True):
            path = FIGURES / f"{name}.png"
            path.write_bytes(base64.b64decode(image))
            print(f"wrote {path.relative_to(REPO)}")
            written += 1
    return 0 if written else 1


if __name__ == "__main__":
    sys.exit(main())
