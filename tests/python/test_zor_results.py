"""Results to look at and keep: the HTML table, the pictures, the DataFrame, files and the progress bar."""

import dataclasses
import html
import json
import math
import re
import subprocess
import sys
import warnings
from pathlib import Path

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import zor
from zor._progress import ProgressBar
from zor._results import LevelReport
from zor._expression import to_text

from climb import climb

SCRIPT = Path(sys.executable).with_name("zor-discover")
A = np.array([0.387098, 0.723332, 1.0, 1.523679, 5.2044, 9.5826, 19.19126, 30.07])
T = np.array([0.240846, 0.615198, 1.000017, 1.880848, 11.862615, 29.447498, 84.016846, 164.79132])


@pytest.fixture(scope="module")
def kepler():
    return zor.discover(A.reshape(-1, 1), T, variable_names=["a"], max_complexity=8, beam_width=2000,
                        progress=False)


# --- numbers beside the error -------------------------------------------------


def test_relative_error_and_r2_follow_from_the_predictions(kepler):
    assert len(kepler.front) >= 3
    for formula in kepler.front:
        residual = formula.predict(A.reshape(-1, 1)) - T
        assert formula.error == pytest.approx(math.sqrt(np.mean(residual**2)), rel=1e-9)
        assert formula.relative_error == pytest.approx(formula.error / math.sqrt(np.mean(T**2)), rel=1e-12)
        assert formula.r2 == pytest.approx(1 - np.mean(residual**2) / np.var(T), rel=1e-9)
    constant = zor.discover([[1.0, 2.0, 3.0]], [2.0, 2.0, 2.0], max_complexity=3, progress=False)
    assert math.isnan(constant.best.r2) and constant.best.relative_error == 0.0


# --- HTML and the DataFrame -----------------------------------------------------


def table_rows(text):
    """The body rows of the table: each row's attributes and the text of its cells."""
    body = re.search(r"<tbody>(.*)</tbody>", text).group(1)
    return [(dict(re.findall(r'(\w+)="([^"]*)"', attrs)), [html.unescape(cell) for cell in re.findall(
        r"<td[^>]*>(.*?)</td>", cells)]) for attrs, cells in re.findall(r"<tr([^>]*)>(.*?)</tr>", body)]


def test_html_table_rows_are_the_front_with_the_best_marked():
    rnd = np.random.default_rng(2)
    X = rnd.uniform(0.5, 2.0, size=(30, 2))
    # names that HTML and LaTeX must escape
    result = zor.discover(X, X[:, 0] * np.exp(X[:, 1]) + 0.01 * rnd.standard_normal(30),
                          variable_names=["<b>m&", "v_1"], max_complexity=6, beam_width=500, progress=False)
    text = result._repr_html_()
    assert "<b>m&" not in text
    rows = table_rows(text)
    assert [html.unescape(attrs["title"]) for attrs, _ in rows] == [f.formula for f in result.front]
    assert [int(cells[1]) for _, cells in rows] == [f.complexity for f in result.front]
    assert [cells[7] for _, cells in rows] == [rf"\({f.latex}\)" for f in result.front]
    assert [float(cells[6]) for _, cells in rows] == pytest.approx([f.criterion for f in result.front], rel=1e-5)
    marked = [attrs.get("class") == "zor-best" and cells[0] == "★" for attrs, cells in rows]
    assert marked == [f.tokens == result.best.tokens for f in result.front] and sum(marked) == 1
    assert result.best._repr_latex_() == f"${result.best.latex}$"
    assert repr(result).startswith("DiscoveryResult(best=")  # the plain text stays


def test_dataframe_has_a_row_per_front_entry(kepler):
    pytest.importorskip("pandas")
    frame = kepler.to_dataframe()
    assert list(frame["formula"]) == [f.formula for f in kepler.front]
    assert list(frame["latex"]) == [f.latex for f in kepler.front]
    assert list(frame["python"]) == [f.python for f in kepler.front]
    assert list(frame["r2"]) == [f.r2 for f in kepler.front]
    assert frame["best"].sum() == 1 and frame.loc[frame["best"], "formula"].item() == kepler.best.formula


# --- pictures -------------------------------------------------------------------


@pytest.fixture
def agg():
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    yield plt
    plt.close("all")


def drawn_pixels(figure):
    figure.canvas.draw()
    pixels = np.asarray(figure.canvas.buffer_rgba())[..., :3]
    return int((pixels.min(axis=2) < 200).sum())  # not white or light grey


def test_plot_draws_the_front_with_readable_labels(kepler, agg):
    figure, ax = agg.subplots()
    assert kepler.plot(ax) is ax
    assert ax.get_yscale() == "log" and ax.get_xlabel() == "complexity (tokens)"
    labels = [text.get_text() for text in ax.texts]
    # each label is the formula's simplified text, long ones cut with an ellipsis
    assert len(labels) == len(kepler.front)
    for label, formula in zip(labels, kepler.front):
        assert label == formula.simplified or (label.endswith("…") and formula.simplified.startswith(label[:-1]))
    # the labels do not overlap one another
    figure.canvas.draw()
    boxes = [text.get_window_extent() for text in ax.texts]
    assert not any(a.overlaps(b) for k, a in enumerate(boxes) for b in boxes[k + 1:])
    assert drawn_pixels(figure) > 2000
    assert kepler.plot().figure is not figure  # a new figure when no Axes is given


def test_plot_fit_draws_predicted_against_actual(kepler, agg):
    ax = kepler.plot_fit(A.reshape(-1, 1), T)
    points = ax.lines[0].get_xydata()
    np.testing.assert_array_equal(points[:, 0], T)
    np.testing.assert_array_equal(points[:, 1], kepler.predict(A.reshape(-1, 1)))
    assert kepler.best.simplified in ax.get_title()
    assert drawn_pixels(ax.figure) > 2000
    with pytest.raises(ValueError, match="y has shape"):
        kepler.plot_fit(A.reshape(-1, 1), T[:3])


def test_pictures_name_the_extra_they_need(kepler, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib.pyplot", None)
    with pytest.raises(ImportError, match=r"plot\(\) needs matplotlib.pyplot.*zor_core\[plot\]"):
        kepler.plot()


# --- files ----------------------------------------------------------------------

NAMES = st.text(st.characters(codec="utf-8", exclude_categories=["Cs"]), min_size=1, max_size=6)


@st.composite
def results(draw):
    rnd = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    n_cols = draw(st.integers(1, 3))
    X = rnd.uniform(-3.0, 3.0, size=(draw(st.sampled_from([2, 7, 20])), n_cols))
    y = draw(st.sampled_from([np.sin, np.exp, np.abs]))(X[:, 0]) * X[:, -1] + rnd.standard_normal(len(X))
    names = draw(st.lists(NAMES, min_size=n_cols, max_size=n_cols, unique=True))
    result = zor.discover(X, y, variable_names=names, max_complexity=draw(st.integers(1, 6)),
                          beam_width=draw(st.integers(0, 300)), use_trig=draw(st.booleans()),
                          complexity_penalty=draw(st.sampled_from([0.001, 0.0, -0.05])), progress=False)
    # and a formula with any constant, whose every bit must survive
    constant = draw(st.floats(allow_nan=False) | st.sampled_from([math.pi, -0.0, 5e-324, math.nan]))
    tokens = (("const", constant), ("var", 0), ("op", "Mul"))
    extra = zor.Formula(3, draw(st.floats()), math.inf, to_text(tokens, names), tokens, tuple(names))
    return dataclasses.replace(result, front=(*result.front, extra)), n_cols


def exact(value):
    """A value compared bit for bit: floats by their hex form, dataclasses field by field."""
    if dataclasses.is_dataclass(value):
        return (type(value).__name__, *(exact(getattr(value, f.name)) for f in dataclasses.fields(value)))
    if isinstance(value, float):
        return value.hex()
    if isinstance(value, (tuple, list)):
        return tuple(exact(item) for item in value)
    if isinstance(value, dict):
        return tuple((key, exact(item)) for key, item in value.items())
    return value


@settings(max_examples=30, deadline=None, suppress_health_check=[HealthCheck.too_slow,
                                                                  HealthCheck.function_scoped_fixture])
@given(results(), st.integers(0, 2**32 - 1))
@pytest.mark.filterwarnings("ignore:.* is undefined at:RuntimeWarning")  # rows chosen to be undefined
def test_saved_and_loaded_results_predict_bit_for_bit(tmp_path, drawn, seed):
    result, n_cols = drawn
    path = tmp_path / "result.json"
    result.save(path)
    loaded = zor.load(path)
    # every field, non-finite numbers and the exact bits of every float included
    assert exact(loaded) == exact(result)
    # new data with rows where formulas are undefined (NaN): the same bits everywhere
    X = np.random.default_rng(seed).uniform(-5.0, 5.0, size=(50, n_cols))
    X[0] = 0.0
    with warnings.catch_warnings():
        warnings.filterwarnings("error", "overflow", RuntimeWarning)  # ±inf, as the native evaluation gives it
        for original, again in zip((result.best, *result.front), (loaded.best, *loaded.front), strict=True):
            assert original.predict(X).tobytes() == again.predict(X).tobytes()
    assert loaded._repr_html_() == result._repr_html_() and repr(loaded) == repr(result)
    assert not list(tmp_path.glob(".*.tmp"))


def test_a_prediction_past_the_largest_double_is_inf_without_a_warning():
    x = np.linspace(1.0, 2.0, 20)
    best = zor.discover(x, 1e140 * x, progress=False, max_complexity=3).best
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert best.predict(np.array([1.5, 1e170])).tolist() == [pytest.approx(1.5e140), math.inf]


def test_a_saved_file_records_settings_versions_and_levels(tmp_path, kepler):
    kepler.save(tmp_path / "k.json")
    document = json.loads((tmp_path / "k.json").read_text())
    assert document["format"] == "zor.DiscoveryResult" and document["format_version"] == 6
    assert set(document["versions"]) == {"zor_core", "python", "numpy"}
    saved = document["result"]
    assert saved["settings"]["max_complexity"] == 8 and saved["settings"]["time_limit"] is None
    assert saved["variable_names"] == ["a"] and len(saved["levels"]) == len(kepler.levels)
    assert saved["best"]["tokens"] == [["var", 0], ["op", "Sqrt"], ["var", 0], ["op", "Mul"]]


def test_a_version_1_file_loads_without_domains(tmp_path, kepler):
    kepler.save(tmp_path / "k.json")
    document = json.loads((tmp_path / "k.json").read_text())
    assert document["result"]["best"].pop("domain") == [[min(A), max(A)]]
    for formula in document["result"]["front"]:
        del formula["domain"]
    for level in document["result"]["levels"]:
        if level["best"] is not None:
            del level["best"]["domain"]
    (tmp_path / "v1.json").write_text(json.dumps({**document, "format_version": 1}))
    loaded = zor.load(tmp_path / "v1.json")
    assert loaded.best.domain is None and loaded.best.tokens == kepler.best.tokens
    rows = np.array([[0.0], [4.0]])
    assert loaded.predict(rows).tolist() == kepler.predict(rows).tolist()


def test_saving_replaces_a_file_only_when_complete(tmp_path, kepler):
    path = tmp_path / "k.json"
    path.write_text("the old content")
    (tmp_path / "sub").mkdir()
    with pytest.raises(IsADirectoryError):
        kepler.save(tmp_path / "sub")
    with pytest.raises(TypeError, match="cannot hold"):
        zor.DiscoveryResult(None, (), (), False, ("x",), settings={"f": print}).save(path)
    assert path.read_text() == "the old content" and sorted(p.name for p in tmp_path.iterdir()) == ["k.json", "sub"]


def edit(change):
    def apply(document):
        change(document["result"])
        return json.dumps(document)

    return apply


BROKEN = {
    "truncated": (lambda doc: json.dumps(doc)[:400], "the JSON ends early at line 1 (truncated?)"),
    "newer version": (lambda doc: json.dumps({**doc, "format_version": 7}),
                      "written in result format 7 by a newer zor; this one reads format 6 (upgrade zor_core)"),
    "domain of another size": (edit(lambda r: r["best"].update(domain=[[1.0, 2.0], [3.0, 4.0]])),
                               "result.best.domain: 2 ranges for 1 variables"),
    "version as text": (lambda doc: json.dumps({**doc, "format_version": "1"}),
                        "format_version: expected an integer, found a string"),
    "complexity as text": (edit(lambda r: r["best"].update(complexity="4")),
                           "result.best.complexity: expected an integer, found a string"),
    "error as list": (edit(lambda r: r["front"][1].update(error=[1])),
                      "result.front[1].error: expected a number, found a list"),
    "unknown operator": (edit(lambda r: r["best"]["tokens"].__setitem__(1, ["op", "__import__('os')"])),
                         "result.best.tokens[1]: unknown operator \"__import__('os')\""),
    "bad token": (edit(lambda r: r["best"]["tokens"].__setitem__(0, ["var"])),
                  'result.best.tokens[0]: not a token: ["var"]'),
    "variable out of range": (edit(lambda r: r["best"]["tokens"].__setitem__(0, ["var", 3])),
                              "result.best.tokens[0]: variable 3 of 1"),
    "malformed formula": (edit(lambda r: r["best"].update(tokens=[["op", "Add"]])),
                          "result.best.tokens: not a well-formed formula"),
    "huge number": (lambda doc: json.dumps(doc).replace('"error": ', '"error": 1e999 ', 1).replace(
        '1e999 ', "1e999, \"x\": ", 1), "the number 1e999 is out of range"),
    "huge integer": (lambda doc: json.dumps(doc).replace('"admitted": ', '"admitted": 1' + "0" * 40 + ", \"y\": ",
                                                         1), f"the integer 1{'0' * 19}... is out of range"),
    "NaN literal": (edit(lambda r: r.update(elapsed_seconds=math.nan)), "NaN is not a JSON number"),
    "missing field": (edit(lambda r: r.pop("front")), "result: missing field 'front'"),
    "unexpected field": (edit(lambda r: r.update(run="rm -rf /")), "result: unexpected field 'run'"),
    "names differ": (edit(lambda r: r.update(variable_names=["b"])),
                     "result.best: its variable names differ from the result's"),
    "names repeated": (edit(lambda r: r["best"].update(variable_names=["a", "a"])),
                       "result.best.variable_names: variable names must be distinct: ['a', 'a']"),
    "not ours": (lambda doc: json.dumps({"format": "other"}),
                 'not a result file (a JSON object with "format": "zor.DiscoveryResult" is expected)'),
    "not JSON": (lambda doc: "a,T\n1,2\n", "not valid JSON: Expecting value at line 1, column 1"),
    "empty": (lambda doc: "", "the file is empty"),
    "not text": (lambda doc: b"\x89PNG\r\n\x1a\n", "not a result file: not UTF-8 text (byte 0x89 at offset 0)"),
    "deeply nested": (lambda doc: "[" * 100000 + "]" * 100000, "nested too deeply to be a result file"),
    "a directory": (None, "is a directory, not a result file"),
    "missing": ("missing", "no such file"),
}


@pytest.mark.parametrize("case", list(BROKEN))
def test_broken_files_get_one_line_naming_the_file(tmp_path, kepler, case):
    kepler.save(tmp_path / "good.json")
    document = json.loads((tmp_path / "good.json").read_text())
    make, message = BROKEN[case]
    path = tmp_path / "result.json"
    if make is None:
        path.mkdir()
    elif make != "missing":
        content = make(document)
        path.write_bytes(content if isinstance(content, bytes) else content.encode())
    with pytest.raises(zor.ResultFileError) as raised:
        zor.load(path)
    assert str(raised.value) == f"{path}: {message}"
    assert isinstance(raised.value, ValueError)
    done = subprocess.run([str(SCRIPT), "--load", str(path)], capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout, done.stderr) == (1, "", f"zor-discover: {path}: {message}\n")


# --- the command line -------------------------------------------------------------


def run(*args, **kwargs):
    return subprocess.run([str(SCRIPT), *args], capture_output=True, text=True, timeout=120, **kwargs)


def test_cli_saves_plots_loads_and_predicts(tmp_path):
    pytest.importorskip("matplotlib")
    data = tmp_path / "planets.csv"
    data.write_text("a,T\n" + "".join(f"{float(a)!r},{float(t)!r}\n" for a, t in zip(A, T)))
    saved, picture = tmp_path / "kepler.json", tmp_path / "front.png"
    done = run(str(data), "--max-complexity", "6", "--save", str(saved), "--plot", str(picture))
    assert done.returncode == 0, done.stderr
    assert picture.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    result = zor.load(saved)
    assert result.target_name == "T" and result.best.formula == "(sqrt(a) * a)"
    assert done.stdout.startswith("T = (sqrt(a) * a)\n")
    new = tmp_path / "new.csv"
    new.write_text("name,a\nx,4\ny,2.5\nz,-1\n")
    predicted = run("--load", str(saved), "--predict", str(new))
    assert predicted.returncode == 0 and predicted.stderr == (
        "zor-discover: warning: (sqrt(a) * a) is undefined at 1 of 3 rows, which give NaN: a = -1 is outside the "
        "range [0.387098, 30.07] the formula was fitted on\n")
    rows = predicted.stdout.splitlines()
    with pytest.warns(RuntimeWarning, match="a = -1 is outside"):
        expected = result.predict(np.array([[4.0], [2.5], [-1.0]]))
    assert rows[0] == "a,predicted_T"
    assert [float(row.split(",")[1]).hex() for row in rows[1:]] == [float(v).hex() for v in expected]
    output = tmp_path / "out.csv"
    assert run("--load", str(saved), "--predict", str(new), "--output", str(output)).stdout == ""
    assert output.read_text() == predicted.stdout
    loaded_report = run("--load", str(saved))
    assert loaded_report.returncode == 0 and loaded_report.stdout.splitlines()[:2] == done.stdout.splitlines()[:2]


@pytest.mark.parametrize(
    "args, status, message",
    [
        (["--load", "{saved}", "--predict", "{nofeature}"], 1,
         "zor-discover: {nofeature}: no column named 'a', a variable of the formula (columns: b)\n"),
        (["--load", "{saved}", "--save", "{dir}"], 1, "zor-discover: {dir}: cannot write it: Is a directory\n"),
        (["--load", "{saved}", "extra.csv"], 2, "--load reads the formula from its file"),
        (["--load", "{saved}", "--output", "x.csv"], 2, "--output is where --predict writes"),
    ],
)
def test_cli_misuse_gets_one_line(tmp_path, kepler, args, status, message):
    paths = {"saved": tmp_path / "k.json", "nofeature": tmp_path / "b.csv", "dir": tmp_path}
    kepler.save(paths["saved"])
    paths["nofeature"].write_text("b\n1\n")
    done = run(*(arg.format(**paths) for arg in args))
    assert done.returncode == status and done.stdout == "" and "Traceback" not in done.stderr
    if status == 1:
        assert done.stderr == message.format(**paths)
    else:
        assert message in done.stderr


# --- the progress bar ---------------------------------------------------------------


def test_progress_bar_keeps_the_best_over_steps_and_counts_levels_per_step(capfd):
    good, worse = zor.discover([[1.0, 2.0]], [2.0, 4.0], max_complexity=3, progress=False).front[-2:]
    assert good.score > worse.score  # swap so that `good` is the better one
    good, worse = worse, good
    bar = ProgressBar([(3, 10), (5, 20)], time_limit=60.0)
    try:
        bar(LevelReport(0, 3, 10, 1, 5, 5, 5, good, 0.1))
        bar(LevelReport(1, 5, 20, 1, 5, 5, 5, worse, 0.2))  # the wider step starts over
        shown = str(bar._bar)
    finally:
        bar.close()
    assert shown.startswith("step 2/2, complexity 5, beam 20: ") and "1/5" in shown and ": :" not in shown
    assert f"best {good.formula}" in shown and "s left" in shown


def test_progress_bar_of_a_step_resumed_after_the_stages_starts_it_over():
    # The stages cut the second step short; the time they leave over resumes it from its first level, after
    # the bar named a stage: counted on past the step's total, tqdm would drop the total ("name: : 5 levels").
    bar = ProgressBar([(3, 10), (5, 20)], time_limit=None)
    try:
        for level in (1, 2, 3):
            bar(LevelReport(0, 3, 10, level, 5, 5, 5, None, 0.1 * level))
        bar(LevelReport(1, 5, 20, 1, 5, 5, 5, None, 0.4))
        bar.stage("free parameters")
        for level in (1, 2, 3, 4, 5):
            bar(LevelReport(1, 5, 20, level, 5, 5, 5, None, 0.5 + 0.1 * level))
        shown = str(bar._bar)
    finally:
        bar.close()
    assert shown.startswith("step 2/2, complexity 5, beam 20: ") and "5/5" in shown and ": :" not in shown


def test_progress_bar_of_a_ladder_counts_down(capfd, monkeypatch):
    i = np.arange(60)
    # the ladder alone: no stages after it
    zor.discover([np.sin(0.1 * i + k) for k in range(2)], np.sin(i * i * 0.37), progress=True, max_parameters=0,
                 max_terms=1, model_selection="accuracy", **climb(monkeypatch, 2))
    err = capfd.readouterr().err
    assert "step 1/2, complexity 6, beam 2,000: " in err and "step 2/2, complexity 7, beam 5,000: " in err
    assert "s left" in err and ": :" not in err


def test_progress_bar_names_the_stages_after_the_ladder(capfd, monkeypatch):
    rng = np.random.default_rng(5)
    X = rng.uniform(1.0, 3.0, (40, 2))
    zor.discover(X, X[:, 0] + np.exp(0.3 * X[:, 1]) + rng.normal(scale=0.1, size=40), progress=True,
                 **climb(monkeypatch, 1))
    err = capfd.readouterr().err
    assert "free parameters" in err and "the search without each fold" in err
