"""examples/discover.ipynb runs in a real Jupyter kernel and shows the table and the pictures."""

import base64
import html
import pathlib

import numpy as np
import pytest

import zor
from test_zor_results import A, T, table_rows

nbclient = pytest.importorskip("nbclient")
nbformat = pytest.importorskip("nbformat")
pytest.importorskip("ipykernel")
pytest.importorskip("matplotlib")

NOTEBOOK = pathlib.Path(__file__).resolve().parents[2] / "examples" / "discover.ipynb"


def test_notebook_runs_and_shows_the_front_as_a_table_and_pictures(tmp_path, monkeypatch):
    # The kernel draws with the inline backend, which renders with Agg; MPLBACKEND would replace it.
    monkeypatch.delenv("MPLBACKEND", raising=False)
    notebook = nbformat.read(NOTEBOOK, as_version=4)
    nbclient.NotebookClient(notebook, timeout=600, kernel_name="python3",
                            resources={"metadata": {"path": str(tmp_path)}}).execute()
    outputs = [output for cell in notebook.cells if cell.cell_type == "code" for output in cell.outputs]
    assert not [output for output in outputs if output.output_type == "error"]
    # the table: its rows are the front of the same search run here
    expected = zor.discover(A.reshape(-1, 1), T, variable_names=["a"], max_complexity=10, beam_width=20000,
                            progress=False)
    tables = [output.data["text/html"] for output in outputs if "zor-front" in output.get("data", {}).get(
        "text/html", "")]
    assert len(tables) == 1
    rows = table_rows(tables[0])
    assert [html.unescape(attrs["title"]) for attrs, _ in rows] == [f.formula for f in expected.front]
    assert [cells[0] == "★" for _, cells in rows] == [f.tokens == expected.best.tokens for f in expected.front]
    # a formula as LaTeX, the two pictures, and the saved file read back with the same predictions
    assert any(output.get("data", {}).get("text/latex") == r"$\sqrt{a} \cdot a$" for output in outputs)
    images = [base64.b64decode(output.data["image/png"]) for output in outputs if "image/png" in output.get(
        "data", {})]
    assert len(images) == 2 and all(image[:8] == b"\x89PNG\r\n\x1a\n" and len(image) > 10_000 for image in images)
    assert zor.load(tmp_path / "kepler.json").best.formula == expected.best.formula
    assert outputs[-1].data["text/plain"].endswith("np.True_)")
    np.testing.assert_array_equal(zor.load(tmp_path / "kepler.json").predict(A.reshape(-1, 1)),
                                  expected.predict(A.reshape(-1, 1)))
