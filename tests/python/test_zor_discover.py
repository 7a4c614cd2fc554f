"""zor.discover: agreement with find_formula, the front, inputs, time limit, progress and threads."""

import math
import os
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import zor
import zor_core
from zor import _native
from zor._ladder import LADDER
from zor._domain import defined_over
from zor._expression import default_names, to_text

from discovery_model import as_core_text
from interrupt import interrupt, read_until

TARGETS = [
    lambda a, b: a * np.exp(a),
    lambda a, b: np.sin(a) * b,
    lambda a, b: a - b,
    lambda a, b: np.sqrt(a) + 1.0,
    lambda a, b: np.exp(a) - np.log(b),
    lambda a, b: a * a + 0.3 * np.sin(7 * a),
]


@st.composite
def problems(draw):
    rnd = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    n_cols = draw(st.integers(1, 3))
    n = draw(st.sampled_from([1, 2, 5, 12, 30]))
    columns = rnd.uniform(0.1, 3.0, size=(n_cols, n)).round(draw(st.sampled_from([1, 3, 17])))
    target = draw(st.sampled_from(TARGETS))(columns[0], columns[-1])
    y = target + draw(st.sampled_from([0.0, 1e-9, 1e-3])) * rnd.standard_normal(n)
    settings_ = dict(
        max_complexity=draw(st.integers(1, 5)),
        beam_width=draw(st.integers(0, 200)),
        precision_goal=draw(st.sampled_from([1e-10, 0.0, -1.0, 1e-3])),
        use_trig=draw(st.booleans()),
        use_zor=draw(st.booleans()),
        complexity_penalty=draw(st.sampled_from([0.001, 0.0, 0.05, -0.05])),
    )
    return columns, y, settings_


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(problems())
def test_best_is_find_formula_bit_for_bit(problem):
    columns, y, kwargs = problem
    expected = zor_core.find_formula([list(c) for c in columns], list(y), **kwargs)
    result = zor.discover(columns.T, y, progress=False, scaling=False, **kwargs)
    assert (as_core_text(result.best.formula), result.best.score.hex(), result.best.complexity) == (
        expected.formula, expected.error.hex(), expected.complexity)
    # both engines of the native entry agree with it as well
    reference = _native.search(list(columns), y, kwargs, engine="reference", keep_front=True)
    assert reference["best"]["formula"] == expected.formula
    assert [as_core_text(to_text(c["tokens"], default_names(len(columns)))) for c in reference["front"]] == [
        c["formula"] for c in reference["front"]]
    # the front: one entry per complexity, rising complexity, falling error, the best on it
    front = result.front
    assert [f.complexity for f in front] == sorted({f.complexity for f in front})
    assert all(b.error < a.error for a, b in zip(front, front[1:]))
    if kwargs["complexity_penalty"] > 0:
        assert result.best.formula in [f.formula for f in front]
    assert not result.cut_short


def data_3():
    rnd = np.random.default_rng(7)
    X = rnd.uniform(0.5, 2.0, size=(40, 3))
    return X, X[:, 0] * np.exp(X[:, 2]) + X[:, 1]


def test_inputs_and_names_agree_across_forms():
    pd = pytest.importorskip("pandas")
    X, y = data_3()
    kw = dict(max_complexity=6, beam_width=300, progress=False, scaling=False)
    by_array = zor.discover(X, y, **kw)
    by_columns = zor.discover([list(X[:, k]) for k in range(3)], list(y), **kw)
    frame = pd.DataFrame(X, columns=["mass", "v", "t"])
    by_frame = zor.discover(frame, pd.Series(y), **kw)
    named = zor.discover(X, y, variable_names=["mass", "v", "t"], **kw)
    assert as_core_text(by_array.best.formula) == as_core_text(by_columns.best.formula) == zor_core.find_formula(
        list(X.T), list(y), 6, 300).formula
    assert by_array.best.tokens == by_frame.best.tokens == named.best.tokens
    assert by_frame.best.formula == named.best.formula == "((exp(t) * mass) + v)"
    assert by_frame.variable_names == ("mass", "v", "t")
    assert by_frame.best.python.count("def f(mass: float, v: float, t: float)") == 1
    # predict: by position, a DataFrame by name whatever its column order
    np.testing.assert_array_equal(by_frame.predict(X), by_array.predict(X))
    np.testing.assert_array_equal(by_frame.predict(frame[["t", "mass", "v"]]), by_array.predict(X))
    namespace = {}
    exec(by_frame.best.python, namespace)
    assert [namespace["f"](*row) for row in X[:5]] == list(by_frame.predict(X[:5]))
    assert zor.discover([1.0, 2.0, 3.0], [2.0, 3.0, 4.0], progress=False, scaling=False).best.formula == "(x + 1)"
    assert zor.discover([1.0, 2.0, 3.0], [2.0, 3.0, 4.0], progress=False).best.formula == "(x + 1)"


def test_more_than_three_variables_get_numbered_names():
    rnd = np.random.default_rng(3)
    X = rnd.uniform(1.0, 2.0, size=(10, 4))
    result = zor.discover(X, X[:, 3] * X[:, 2], max_complexity=3, progress=False)
    assert result.variable_names == ("x0", "x1", "x2", "x3")
    assert result.best.formula in ("(x3 * x2)", "(x2 * x3)")


@pytest.mark.parametrize(
    "X, y, kwargs, error, match",
    [
        ([[1.0, 2.0], [1.0]], [1.0, 2.0], {}, ValueError, "variable 'y' has 1 values but y has 2"),
        ([[1.0, 2.0]], [1.0, 2.0, 3.0], {}, ValueError, "has 2 values but y has 3"),
        ([[1.0, math.nan]], [1.0, 2.0], {}, ValueError, "variable 'x' holds nan at row 1"),
        ([[1.0, 2.0]], [1.0, math.inf], {}, ValueError, "y holds inf at row 1"),
        # squares of such targets overflow: an OverflowError from deep inside before, or "0" without scaling
        ([[1.0, 2.0, 3.0]], [1e160, -2e160, 3e160], {}, ValueError, r"y holds 3e\+160 at row 2: .* at most 1e\+150"),
        ([[1.0, 2.0, 3.0]], [1e160, -2e160, 3e160], {"scaling": False}, ValueError, "y holds 3e"),
        ([[1.0]], [], {}, ValueError, "does not match|y is empty|has 1 values"),
        ([[1.0, 2.0]], [1.0, 2.0], {"variable_names": ["a", "b"]}, ValueError, "2 variable names for 1"),
        ([[1.0], [2.0]], [1.0], {"variable_names": ["a", "a"]}, ValueError, "must be distinct"),
        ([[1.0, 2.0]], [1.0, 2.0], {"max_complexity": -1}, ValueError, "max_complexity must not be negative"),
        ([[1.0, 2.0]], [1.0, 2.0], {"use_trig": 1}, TypeError, "use_trig must be True or False"),
        ([[1.0, 2.0]], [1.0, 2.0], {"time_limit": -1.0}, ValueError, "time_limit must be a non-negative"),
        ("abc", [1.0], {}, TypeError, "X must be a sequence of columns"),
        ([["a", "b"]], [1.0, 2.0], {}, ValueError, "must hold numbers"),
    ],
)
def test_bad_input_is_refused_before_searching(X, y, kwargs, error, match):
    with pytest.raises(error, match=match):
        zor.discover(X, y, progress=False, **kwargs)


def hard_problem(n=200):
    i = np.arange(n)
    cols = [np.sin(0.1 * i + k) * (k + 1) for k in range(3)]
    return cols, np.sin(i * i * 0.37)


@pytest.mark.clock
def test_time_limit_returns_the_best_so_far_marked_cut_short():
    cols, y = hard_problem()
    started = time.monotonic()
    result = zor.discover(cols, y, max_complexity=12, beam_width=40000, time_limit=0.4, progress=False)
    # the overruns are what a level in progress takes to notice the limit and the stages to see none
    # left, with room for a machine several times slower
    assert time.monotonic() - started < 2.0
    assert result.cut_short and result.best is not None
    assert result.levels[-1].elapsed_seconds < 1.4
    # the seeds cost nothing and are scored before the first check
    seeds_only = zor.discover(cols, y, max_complexity=12, beam_width=40000, time_limit=0.0, progress=False)
    assert seeds_only.cut_short and [level.level for level in seeds_only.levels] == [1]
    # the seeds' best, or the linear model on the raw variables, a candidate even with no time left
    assert seeds_only.best is not None and (seeds_only.best.complexity == 1 or len(seeds_only.best.terms) == 3)


@pytest.mark.clock
def test_settings_left_out_climb_the_ladder_until_the_time_is_up():
    cols, y = hard_problem(60)
    result = zor.discover(cols, y, time_limit=1.5, progress=False, model_selection="accuracy")
    steps = sorted({(level.step, level.max_complexity, level.beam_width) for level in result.levels})
    assert len(steps) >= 2 and [s[1:] for s in steps] == list(LADDER[: len(steps)])
    assert result.cut_short
    # the merged best is no worse than any step's finished levels (a step cut
    # short mid-level may have found a better one in the unfinished level)
    # among the formulas defined over the data's box, the only ones the front keeps
    bests = [level.best for level in result.levels
             if level.best is not None and defined_over(level.best.tokens, result.best.domain)]
    assert result.best.score <= min(b.score for b in bests)
    # with the goal met the ladder stops early and is not cut short
    easy = zor.discover(cols, cols[0] * cols[0], time_limit=30.0, progress=False)
    assert easy.best.formula == "(x^2)" and not easy.cut_short
    assert {level.step for level in easy.levels} == {0}


def test_progress_callable_gets_each_level_and_its_exception_ends_the_search():
    cols, y = hard_problem(50)
    seen = []
    result = zor.discover(cols, y, max_complexity=5, beam_width=200, progress=seen.append, scaling=False)
    assert [r.level for r in seen] == list(range(1, len(seen) + 1)) and tuple(seen) == result.levels
    assert seen[-1].best.formula == result.best.formula
    assert all(a.elapsed_seconds <= b.elapsed_seconds for a, b in zip(seen, seen[1:]))

    class Stop(Exception):
        pass

    def stop_at_level_2(report):
        if report.level == 2:
            raise Stop

    with pytest.raises(Stop):
        zor.discover(cols, y, max_complexity=8, beam_width=4000, progress=stop_at_level_2)
    assert zor.discover([[1.0, 2.0]], [2.0, 3.0], progress=False, scaling=False).best.formula == "(x + 1)"


def test_progress_bar_goes_to_standard_error(capfd):
    zor.discover([[1.0, 2.0, 3.0]], [1.0, 4.0, 9.0], max_complexity=3, progress=True)
    out, err = capfd.readouterr()
    assert out == "" and "levels" in err


def test_other_threads_run_during_a_search():
    cols, y = hard_problem()
    ticks = []
    done = threading.Event()

    def count():
        while not done.is_set():
            ticks.append(None)
            time.sleep(0.001)

    class Enough(Exception):
        pass

    ticks_at_report = []

    def count_ticks_within_levels(report):
        ticks_at_report.append(len(ticks))
        # Between two reports the main thread is inside the core, apart from the few Python lines that make a
        # report. Had the core kept the interpreter lock, the other thread would tick once or twice there.
        if len(ticks_at_report) >= 2 and ticks_at_report[-1] - ticks_at_report[-2] >= 25:
            raise Enough

    thread = threading.Thread(target=count)
    thread.start()
    try:
        # One variable: level 4, the first large one, takes about a second, the whole search a few.
        with pytest.raises(Enough):
            zor.discover(cols[:1], y, max_complexity=12, beam_width=20000, scaling=False,
                         progress=count_ticks_within_levels)
    finally:
        done.set()
        thread.join()


def test_searches_in_several_threads_give_their_own_results():
    rnd = np.random.default_rng(5)
    problems = [(X, np.sin(X[:, 0]) * X[:, 1] + 0.1 * k * X[:, 0])
                for k, X in enumerate(rnd.uniform(0.2, 2.0, size=(3, 100, 2)))]
    results = [None] * len(problems)

    def search(k):
        results[k] = zor.discover(*problems[k], max_complexity=6, beam_width=1000, progress=False, scaling=False)

    threads = [threading.Thread(target=search, args=(k,)) for k in range(len(problems))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for (X, y), result in zip(problems, results, strict=True):
        expected = zor_core.find_formula(list(X.T), list(y), 6, 1000)
        assert (as_core_text(result.best.formula), result.best.score) == (expected.formula, expected.error)


INTERRUPTED = textwrap.dedent(
    """
    import sys, time
    import numpy as np
    import zor
    i = np.arange(200)
    cols = [np.sin(0.1 * i + k) * (k + 1) for k in range(3)]
    print("ready", flush=True)
    searching = lambda report: report.level == 1 and print("searching", flush=True)
    try:
        zor.discover(cols, np.sin(i * i * 0.37), max_complexity=12, beam_width=40000, progress=searching)
    except KeyboardInterrupt:
        print("KeyboardInterrupt", time.monotonic(), flush=True)
        print(zor.discover([[1.0, 2.0]], [2.0, 3.0], progress=False, scaling=False).best.formula, flush=True)
        sys.exit(3)
    print("finished", flush=True)
    """
)


@pytest.mark.clock
@pytest.mark.skipif(os.name != "posix", reason="needs POSIX signals")
def test_ctrl_c_raises_keyboard_interrupt_promptly():
    child = subprocess.Popen([sys.executable, "-c", INTERRUPTED], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True)
    assert child.stdout.readline().strip() == "ready"
    out, err, sent = interrupt(child, lambda: read_until(child.stdout, "searching\n"))
    assert child.returncode == 3, (out, err)
    first, after = out.splitlines()
    word, stamp = first.split()
    assert word == "KeyboardInterrupt" and after == "(x + 1)"
    # a tenth of a second on an idle machine; the margin is for a loaded one several times slower, such as
    # the instrumented build of make test-sanitize
    assert float(stamp) - sent < 1.5


def test_repr_lists_the_best_and_the_front():
    result = zor.discover([[0.5, 1.0, 1.5, 2.0]], [0.82, 2.72, 6.72, 14.78], max_complexity=4, progress=False)
    text = repr(result)
    assert text.startswith("DiscoveryResult(best='(exp(x) * x)', complexity=4, error=")
    assert all(f.formula in text for f in result.front)
    assert repr(result.best) == f"Formula('(exp(x) * x)', complexity=4, error={result.best.error:.3g})"


@pytest.mark.clock
def test_the_time_the_stages_leave_goes_back_to_the_ladder(monkeypatch):
    # 50 rows are too few for sums, and no parameters are fitted: the share the ladder leaves the sums
    # would otherwise go unused. Half the limit here, so that the overrun of the step it cuts short, longer
    # on a slow machine, still leaves time to resume.
    monkeypatch.setattr(zor._run, "SUM_SHARE", 0.5)
    cols, y = hard_problem(50)
    result = zor.discover(cols[:1], y, time_limit=2.0, progress=False, max_parameters=0)
    # the step the reserve cut short starts again: its first level is reported twice
    starts = [level.step for level in result.levels if level.level == 1]
    assert len(starts) > len(set(starts))
    # the overrun is what a level in progress takes to notice the limit, a fraction of a second
    assert result.elapsed_seconds < 2.0 + 1.5
