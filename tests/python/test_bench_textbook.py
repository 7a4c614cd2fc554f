"""The textbook benchmark's loaders, models and scoring (bench/textbook.py, bench/textbook_sets.py)."""

import math
import pathlib
import sys

import numpy as np
import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "bench"))
import textbook  # noqa: E402
import textbook_sets  # noqa: E402

# What each textbook model says about its data, checked on the constants fitted to all rows.
CLAIMS = {
    "engel": lambda c: 0.0 < c["b"] < 1.0,  # food is a necessity: income elasticity below one
    "sunspots": lambda c: 10.0 < c["P"] < 12.0,  # Schwabe's cycle
    "co2": lambda c: c["b"] > 0.0 and c["c"] > 0.0 and 2.0 < abs(c["d"]) < 4.0,  # rising, faster, ±3 ppm a year
    "phillips": lambda c: c["b"] > 0.0,  # less unemployment, more inflation
    "elnino": lambda c: 2.0 < abs(c["b"]) < 4.0,  # an annual swing of a few degrees
}


def test_every_set_has_a_claim():
    assert set(CLAIMS) == set(textbook_sets.TEXTBOOKS)


@pytest.mark.parametrize("entry", textbook_sets.SETS, ids=[e.source.name for e in textbook_sets.SETS])
def test_set_loads_finite_rows_and_its_model_fits_as_the_textbook_says(entry):
    pytest.importorskip("statsmodels")
    data = textbook_sets.load(entry.source.name)
    assert data.X.shape == (entry.rows, 1) and data.y.shape == (entry.rows,)
    assert np.all(np.isfinite(data.X)) and np.all(np.isfinite(data.y))
    assert data.features == [entry.feature]
    x = data.X[:, 0]
    constants = textbook_sets.fit(entry, x, data.y)
    predicted = entry.model(x, *constants)
    r2 = 1.0 - np.sum((data.y - predicted) ** 2) / np.sum((data.y - data.y.mean()) ** 2)
    assert r2 >= entry.r2_floor
    assert CLAIMS[entry.source.name](dict(zip(entry.constants, constants)))
    # The fit improves on its start, or the start was already the optimum.
    start = entry.model(x, *entry.start(x, data.y))
    assert np.sum((data.y - predicted) ** 2) <= np.sum((data.y - start) ** 2) * (1 + 1e-12)


@pytest.mark.parametrize("phase", [0.3, 2.0, -2.5, -0.7])
@pytest.mark.parametrize("powers", [0, 2])
def test_harmonic_start_recovers_offset_trend_amplitude_and_phase(phase, powers):
    t = np.linspace(0.0, 10.0, 200)
    trend = [4.0, 0.5, -0.02][: powers + 1]
    y = sum(c * t**k for k, c in enumerate(trend)) + 1.5 * np.sin(2 * np.pi * t + phase)
    start = textbook_sets._harmonic_start(t, y, 2 * np.pi * t, powers)
    np.testing.assert_allclose(start, trend + [1.5, phase], rtol=1e-9, atol=1e-9)


Y = np.array([1.0, 2.0, 3.0, 4.0])


@pytest.mark.parametrize(("predicted", "mse", "r2", "nonfinite"), [
    (Y, 0.0, 1.0, 0),
    (Y + 1.0, 1.0, 0.2, 0),
    (np.full(4, 2.5), 1.25, 0.0, 0),
    (np.array([1.0, np.nan, 3.0, 4.0]), math.inf, -math.inf, 1),
    (np.array([np.inf, 2.0, -np.inf, 4.0]), math.inf, -math.inf, 2),
    (Y[:3], math.inf, -math.inf, 4),
])
def test_held_out_error(predicted, mse, r2, nonfinite):
    found = textbook.held_out(predicted, Y)
    assert found["mse"] == pytest.approx(mse) and found["r2"] == pytest.approx(r2)
    assert found["nonfinite"] == nonfinite


def folds(*sses):
    return [{"sse": sse} for sse in sses]


@pytest.mark.parametrize(("tool", "reference", "median", "pooled", "verdict"), [
    (folds(1, 1, 1, 1, 1), folds(1, 1, 1, 1, 1), 1.0, 1.0, "PASS"),
    (folds(1.04, 2.08, 1.04, 1.04, 1.04), folds(1, 2, 1, 1, 1), 1.04, 1.04, "PASS"),
    (folds(1.06, 2.12, 1.06, 1.06, 1.06), folds(1, 2, 1, 1, 1), 1.06, 1.06, "fail"),
    # One bad fold lifts the pooled ratio but not the median.
    (folds(1, 1, 1, 1, 7), folds(1, 1, 1, 1, 1), 1.0, 11 / 5, "fail"),
    (folds(1, 1, math.inf, 1, 1), folds(1, 1, 1, 1, 1), 1.0, math.inf, "fail"),
    ([{"failure": "killed"}] + folds(1, 1, 1, 1), folds(1, 1, 1, 1, 1), 1.0, math.inf, "fail"),
    (folds(0.5, 0.5, 0.5, 0.5, 0.5), folds(1, 1, 1, 1, 1), 0.5, 0.5, "PASS"),
])
def test_ratios_and_verdict(tool, reference, median, pooled, verdict):
    assert textbook.ratios(tool, reference) == pytest.approx((median, pooled))
    results = {}
    for name, outcomes in (("zor", tool), ("textbook", reference)):
        for fold, outcome in enumerate(outcomes):
            results[textbook.key("s", fold, name)] = {"seconds": 1.0, "r2": 0.5, **outcome}
    row = textbook.summarise("s", 10, results)
    assert textbook.verdict(row) == verdict
    assert row["pyoperon"] is None and "| — |" in textbook.markdown_table([row])


def test_a_tool_missing_a_fold_has_no_row_entry():
    results = {textbook.key("s", fold, "zor"): {"sse": 1.0, "seconds": 1.0} for fold in range(textbook.FOLDS - 1)}
    assert textbook.folds_of(results, "s", "zor") is None
    assert textbook.verdict(textbook.summarise("s", 10, results)) == "—"


def test_a_tool_run_without_the_textbook_model_still_gets_a_table():
    # pyoperon run alone into a new results file: its R² is shown, its ratios cannot be.
    results = {textbook.key("s", fold, "pyoperon"): {"sse": 1.0, "seconds": 1.0, "r2": 0.5, "size": 9}
               for fold in range(textbook.FOLDS)}
    table = textbook.markdown_table([textbook.summarise("s", 10, results)])
    assert "| 0.500 |" in table and "| — | — |" in table


def test_folds_split_every_row_once_as_the_real_data_benchmark_does():
    import realdata

    held = np.concatenate([textbook.fold_rows(43, fold)[1] for fold in range(textbook.FOLDS)])
    np.testing.assert_array_equal(np.sort(held), np.arange(43))
    for fold in range(textbook.FOLDS):
        for ours, theirs in zip(textbook.fold_rows(43, fold), realdata.fold_rows(43, fold)):
            np.testing.assert_array_equal(ours, theirs)


@pytest.mark.parametrize("argv", [["--sets", "engel,nosuch"], ["--tools", "zor,gplearn"], ["--time-limit", "0"]])
def test_bad_flags_are_refused(argv, capsys):
    with pytest.raises(SystemExit):
        textbook.main(argv)
    assert "error" in capsys.readouterr().err
