"""The recovery benchmark's own logic: its problem tables, data, judging, runs and report."""

import math
import pathlib
import re
import sys

import numpy as np
import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "bench"))
import recovery_problems as problems  # noqa: E402
import recovery_report as report  # noqa: E402
import recovery_suites as suites  # noqa: E402

PUBLISHED_NAMES = {"exp": np.exp, "sqrt": np.sqrt, "sin": np.sin, "cos": np.cos, "pi": np.pi}


@pytest.mark.parametrize("law", problems.LAWS, ids=[law.label for law in problems.LAWS])
def test_target_is_the_published_formula_and_finite_on_the_ranges(law):
    X, _, X_fresh, y_fresh = problems.law_data(law, 0.0)
    for (name, low, high), column in zip(law.variables, X_fresh.T, strict=True):
        assert low <= column.min() and column.max() <= high, name
    published = eval(law.published, {"__builtins__": {}}, {**PUBLISHED_NAMES, **dict(zip(law.names, X_fresh.T))})
    assert np.all(np.isfinite(y_fresh))
    np.testing.assert_allclose(y_fresh, published, rtol=1e-12, atol=0)


@pytest.mark.parametrize("problem", problems.PROBLEMS, ids=[p.name for p in problems.PROBLEMS])
def test_exact_suite_data_lie_on_the_ranges_with_finite_targets(problem):
    X, y, X_fresh, y_fresh = problems.exact_suite_data(problem)
    assert X.shape == (problem.samples, len(problem.ranges)) and X_fresh.shape == (1000, len(problem.ranges))
    for (low, high), column in zip(problem.ranges, np.vstack([X, X_fresh]).T, strict=True):
        assert low <= column.min() and column.max() <= high
    assert np.all(np.isfinite(y)) and np.all(np.isfinite(y_fresh))
    # seeded by the problem's place in the table: a filtered run sees the full run's points
    np.testing.assert_array_equal(X, problems.exact_suite_data(problem)[0])


def test_table_has_thirty_equations_with_constants_and_unique_labels():
    assert sum(law.constant for law in problems.LAWS) >= 30
    assert len(problems.LAWS_BY_LABEL) == len(problems.LAWS)


def test_noise_is_one_percent_of_the_rms_on_training_targets_only():
    law = problems.LAWS_BY_LABEL["II.3.24"]
    X, clean, X_fresh, y_fresh = problems.law_data(law, 0.0)
    X_noisy, noisy, X_fresh_noisy, y_fresh_noisy = problems.law_data(law, 0.01)
    np.testing.assert_array_equal(X, X_noisy)
    np.testing.assert_array_equal(X_fresh, X_fresh_noisy)
    np.testing.assert_array_equal(y_fresh, y_fresh_noisy)
    np.testing.assert_array_equal(clean, law.target(*X.T))
    assert np.std(noisy - clean) == pytest.approx(0.01 * problems.rms(clean), rel=0.2)
    # Seeded by the label alone: the same points again, other points for another law.
    np.testing.assert_array_equal(noisy, problems.law_data(law, 0.01)[1])
    assert not np.array_equal(X, problems.law_data(problems.LAWS_BY_LABEL["II.8.31"], 0.0)[0])


Y = np.linspace(1.0, 3.0, 1000)


@pytest.mark.parametrize(("predicted", "verdict"), [
    (Y, "exact"),
    (Y * (1 + 5e-10), "exact"),
    (Y * (1 + 5e-9), "accurate"),
    (Y + 0.01 * np.sin(40 * Y), "accurate"),
    (Y + 0.1 * np.sin(40 * Y), "miss"),
    (np.full_like(Y, Y.mean()), "miss"),
    (np.float64(2.0), "miss"),
    (np.where(Y > 2.9, np.nan, Y), "miss"),
    (np.where(Y > 2.9, np.inf, Y), "miss"),
    (Y[:-1], "miss"),
])
def test_judge(predicted, verdict):
    assert problems.judge(predicted, Y)[0] == verdict


@pytest.mark.parametrize(("predicted", "error"), [
    (Y, 0.0),
    (Y + 3e-3, 1e-3),
    (np.float64(3.0), 2.0 / 3.0),  # a constant model
    (np.where(Y > 2.9, np.nan, Y), math.inf),
    (Y[:-1], math.inf),
])
def test_exact_suite_error_is_the_largest_error_over_the_largest_target(predicted, error):
    assert problems.relative_error(predicted, Y) == pytest.approx(error)


def test_judge_reports_relative_rmse_and_r2():
    _, relative, r2 = problems.judge(Y + 0.02, Y)
    assert relative == pytest.approx(0.02 / problems.rms(Y))
    assert r2 == pytest.approx(1 - 0.02**2 / np.var(Y))


@pytest.mark.parametrize(("selection", "name", "selected"), [
    ("", "III.12.43", True),
    ("I.12", "I.12.1", True),
    ("I.12", "III.12.43", False),
    ("I.12", "II.12.5", False),
    ("II.34", "II.34.29a", True),
    ("I.6.2a,II.3.24", "II.3.24", True),
    ("I.6.2a, II.3.24", "I.6.2", False),
    ("I.14.3", "Feynman I.14.3", True),
    ("Nguyen-1", "Nguyen-12", True),
])
def test_problem_selection(selection, name, selected):
    assert problems.matches(name, selection) is selected


def test_writing_one_section_leaves_the_others_as_they_were():
    page = (f"# title\n{report.CONSTANTS_START}\nold table\n{report.CONSTANTS_END}\n\n## exact\n"
            f"{report.RESULTS_START}\nexact table\n{report.RESULTS_END}\nreading\n")
    written = report.replace_between(page, report.CONSTANTS_START, report.CONSTANTS_END, "new table")
    assert written == page.replace("old table", "new table")
    with pytest.raises(ValueError, match="markers"):
        report.replace_between("no markers here", report.CONSTANTS_START, report.CONSTANTS_END, "x")
    with pytest.raises(ValueError, match="markers"):
        report.replace_between(f"{report.CONSTANTS_END} {report.CONSTANTS_START}", report.CONSTANTS_START,
                                 report.CONSTANTS_END, "x")


def test_totals_count_exact_among_accurate():
    laws = [problems.LAWS_BY_LABEL[label] for label in ("I.12.1", "I.12.2", "I.12.4")]
    verdicts = {"I.12.1": "exact", "I.12.2": "accurate", "I.12.4": "miss"}
    results = {(law.label, noise, tool): {"verdict": verdicts[law.label] if noise == 0 else "miss"}
               for law in laws for noise in problems.NOISE_LEVELS for tool in ("a", "b")}
    assert report.constants_counts(laws, results, ["a", "b"]) == {t: {0.0: (1, 2), 0.01: (0, 0)} for t in "ab"}
    table = report.constants_markdown(laws, results, ["a", "b"]).splitlines()
    assert table[-2] == "| **exact** | | **1 / 3** | **0 / 3** | **1 / 3** | **0 / 3** |"
    assert table[-1] == "| **accurate** | | **2 / 3** | **0 / 3** | **2 / 3** | **0 / 3** |"
    assert "| I.12.1 ° |" in table[2]  # no numeric constant


def test_regression_row_names_what_scaling_loses_and_gains():
    found = {"A": {False: True, True: True}, "B": {False: True, True: False}, "C": {False: False, True: True}}
    line = report.regression_line(found, 20)
    assert "recovers 2 of 3 exact-suite problems (A, B)" in line
    assert "Lost with scaling on: B." in line
    assert "Recovered only with scaling on: C." in line
    assert "Every one" in report.regression_line({"A": {False: True, True: True}}, 20)


def test_cost_row_compares_against_the_target():
    assert "**1.20×**, within" in report.cost_line(1.0, 1.2)
    assert "**2.00×**, over" in report.cost_line(1.0, 2.0)
    assert "not measured" in report.cost_line(math.nan, 1.0)


def test_child_runs_a_tool_and_reports_its_failures():
    job = {"kind": "law", "law": "I.12.1", "noise": 0.0, "tool": "discover", "budget": 2.0, "cores": 1}
    answer = suites.run_child(job, 1, 120.0)
    assert answer["verdict"] == "exact", answer  # mu*Nn needs no constant
    assert answer["seconds"] < 10
    assert "KeyError" in suites.run_child({**job, "tool": "no such tool"}, 1, 120.0)["failure"]
    assert suites.run_child({**job, "budget": 60.0, "law": "II.24.17"}, 1, 0.5) == {"failure": "killed after 0.5 s"}


def test_exact_suite_runs_discover_without_constants_and_judges_on_fresh_points():
    problem = next(p for p in problems.PROBLEMS if p.name == "Feynman I.14.3")
    recovered, seconds, model, error = suites.run_exact("discover", *problems.exact_suite_data(problem), 5.0)
    assert recovered and error <= problems.EXACT, (model, error)
    assert re.fullmatch(r"\(\(\w \* \w\) \* \w\) \[\d+, \d+\]", model), model  # m·g·z, then the step that found it
    assert seconds < 5.0 + 2.0


def test_exact_suite_table_counts_what_each_tool_recovered():
    first, second = problems.PROBLEMS[:2]
    results = [(first, {"a": (True, 0.5, "", 0.0), "b": (False, 10.0, "", 2e-7)}),
               (second, {"a": (False, 10.0, "", math.inf), "b": (False, 10.0, "", 0.03)})]
    table = report.exact_markdown(results, ["a", "b"]).splitlines()
    assert table[0] == "| problem | formula | a | b |"
    assert table[2] == f"| {first.name} | {first.formula} | **yes** 0.50 s | no · 2e-07 |"
    assert table[3].endswith("| no · inf | no · 3e-02 |")
    assert table[-1] == "| **recovered** | | **1 / 2** | **0 / 2** |"


def test_unknown_tools_are_refused_by_name():
    assert suites.chosen_tools("") == ["discover", "pyoperon", "gplearn"]
    assert suites.chosen_tools("gplearn, discover") == ["gplearn", "discover"]
    with pytest.raises(SystemExit, match="unknown tools \\['find_formula'\\]"):
        suites.chosen_tools("discover,find_formula")
