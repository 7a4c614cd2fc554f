"""zor.discover: formula discovery with progress, a time limit and a Pareto front."""

from __future__ import annotations

import dataclasses
import importlib.util
import math
import operator
import os
import sys
import threading
import time
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field
from functools import cached_property
from typing import TYPE_CHECKING, Any, Union

import numpy as np
from numpy.typing import NDArray

from zor import _native
from zor._data import Column, columns_for, prepare
from zor._expression import Token, to_latex, to_python, to_simplified_text, to_sympy, to_text

if TYPE_CHECKING:
    import pandas
    import sympy
    from matplotlib.axes import Axes

    from zor._native import Candidate, Level, Outcome

# find_formula's settings when none are given.
DEFAULT_MAX_COMPLEXITY = 8
DEFAULT_BEAM_WIDTH = 2000

# The settings a search given only a time limit climbs through: each step widens
# the beam before the next one deepens, since a narrow beam drops building
# blocks that deeper formulas need.
LADDER: tuple[tuple[int, int], ...] = (
    (6, 2000), (7, 5000), (7, 20000), (8, 20000), (8, 50000), (9, 50000), (9, 200000),
    (10, 200000), (10, 500000), (11, 500000), (11, 2000000), (12, 2000000),
)

# How much lower than every simpler formula's error a formula's error must be
# to join the Pareto front.
PARETO_RELATIVE_GAIN = 1e-9


def _short(value: float) -> str:
    return f"{value:.3g}"


@dataclass(frozen=True, repr=False)
class Formula:
    """One discovered formula over named variables.

    `error` is the root-mean-square error on the data; `score` is what the
    search ranks by, the error times (1 + complexity x complexity_penalty),
    which find_formula reports as its `error`. `relative_error` is the error
    over the root mean square of the targets, `r2` the coefficient of
    determination, 1 - error**2 / variance of the targets (NaN for constant
    targets); both are for the data the search saw.
    """

    complexity: int
    error: float
    score: float
    formula: str
    tokens: tuple[Token, ...]
    variable_names: tuple[str, ...]
    relative_error: float = math.nan
    r2: float = math.nan

    @property
    def latex(self) -> str:
        """The formula in LaTeX, without math delimiters."""
        return to_latex(self.tokens, self.variable_names)

    @property
    def python(self) -> str:
        """Python source defining f, one argument per variable, and zor with its guards when used."""
        return to_python(self.tokens, self.variable_names)

    def to_sympy(self) -> sympy.Expr:
        """The formula as a SymPy expression (needs the `sympy` extra); zor(a, b) becomes exp(a) - log(b)."""
        return to_sympy(self.tokens, self.variable_names)

    @cached_property
    def simplified(self) -> str:
        """The formula as SymPy writes it, simplified ((L + L) is 2*L, zor(a, b) is exp(a) - log(b)),
        when the `sympy` extra is installed; otherwise `formula`, the native text."""
        if importlib.util.find_spec("sympy") is None:
            return self.formula
        return to_simplified_text(self.tokens, self.variable_names)

    def _repr_latex_(self) -> str:
        return f"${self.latex}$"

    def predict(self, X: Any) -> NDArray[np.float64]:
        """The formula's value on every row of X, with the search's guards; NaN where it is undefined.

        X takes the same forms as discover's X; a DataFrame's columns are matched by name.
        """
        columns = columns_for(X, self.variable_names)
        return np.asarray(_native.evaluate(list(self.tokens), columns), dtype=np.float64)

    def __str__(self) -> str:
        return self.formula

    def __repr__(self) -> str:
        return f"Formula({self.formula!r}, complexity={self.complexity}, error={_short(self.error)})"


@dataclass(frozen=True)
class LevelReport:
    """One finished level of the search. `step` counts the settings tried
    (always 0 unless the settings were left to discover); `elapsed_seconds`
    runs from the start of the discover call."""

    step: int
    max_complexity: int
    beam_width: int
    level: int
    generated: int
    admitted: int
    scored: int
    best: Formula | None
    elapsed_seconds: float


@dataclass(frozen=True, repr=False)
class DiscoveryResult:
    """What discover found: the best formula, the Pareto front of error against
    complexity and the level reports. `cut_short` is True when the time limit
    ended the search."""

    best: Formula | None
    front: tuple[Formula, ...]
    levels: tuple[LevelReport, ...]
    cut_short: bool
    variable_names: tuple[str, ...]
    generated: int = 0
    admitted: int = 0
    scored: int = 0
    elapsed_seconds: float = 0.0
    # The discover arguments (None: left to discover), the name of the target
    # when known, and the targets' statistics behind relative_error and r2.
    settings: dict[str, Any] = field(default_factory=dict, hash=False)
    target_name: str | None = None
    target_mean_square: float = math.nan
    target_variance: float = math.nan

    def _require_best(self) -> Formula:
        if self.best is None:
            raise ValueError("the search found no formula (the time limit ended it before anything was scored)")
        return self.best

    def to_sympy(self) -> sympy.Expr:
        """The best formula as a SymPy expression; see Formula.to_sympy."""
        return self._require_best().to_sympy()

    def predict(self, X: Any) -> NDArray[np.float64]:
        """The best formula on new data; see Formula.predict."""
        return self._require_best().predict(X)

    def plot(self, ax: Axes | None = None) -> Axes:
        """Draws the front, error against complexity on a log scale, each formula beside its point and the
        best marked, into `ax` (a new figure's when None); returns the Axes. Needs the `plot` extra."""
        from zor._display import plot_front

        return plot_front(self, ax)

    def plot_fit(self, X: Any, y: Any, ax: Axes | None = None) -> Axes:
        """Draws the best formula's predictions on X against the actual y; returns the Axes. Needs the
        `plot` extra."""
        from zor._display import plot_fit

        return plot_fit(self, X, y, ax)

    def to_dataframe(self) -> pandas.DataFrame:
        """The front as a pandas DataFrame, one row per formula, with its numbers and its text, simplified,
        LaTeX and Python forms (needs the `pandas` extra)."""
        from zor._display import front_dataframe

        return front_dataframe(self)

    def save(self, path: str | os.PathLike[str]) -> None:
        """Writes the result to a JSON file that zor.load reads back: settings, variable names, front,
        best, levels and versions. An existing file is replaced only once the new one is complete."""
        from zor._files import save

        save(self, path)

    def _repr_html_(self) -> str:
        from zor._display import result_html

        return result_html(self)

    def __repr__(self) -> str:
        if self.best is None:
            head = "DiscoveryResult(best=None"
        else:
            b = self.best
            head = (f"DiscoveryResult(best={b.formula!r}, complexity={b.complexity}, error={_short(b.error)}, "
                    f"score={_short(b.score)}")
        lines = [f"{head}, cut_short={self.cut_short}, levels={len(self.levels)}, "
                 f"elapsed={self.elapsed_seconds:.2f}s,"]
        lines.append(" front=[  # complexity, error (RMSE), relative error, R², formula")
        lines.extend(f"  {f.complexity:3d}  {_short(f.error):>9}  {_short(f.relative_error):>9}  {f.r2:9.6f}  "
                     f"{f.formula}" for f in self.front)
        lines.append("])")
        return "\n".join(lines)


@dataclass
class _Merged:
    """Best and per-complexity front over the steps of one discover call."""

    best: Candidate | None = None
    by_complexity: dict[int, Candidate] = field(default_factory=dict)

    def add(self, outcome: Outcome) -> None:
        # Strict comparisons: among equal scores the earlier candidate stays,
        # and a NaN score neither replaces nor is replaced, as in the search.
        best = outcome["best"]
        if best is not None and (self.best is None or self.best["score"] > best["score"]):
            self.best = best
        for candidate in outcome["front"]:
            kept = self.by_complexity.get(candidate["complexity"])
            if kept is None or kept["score"] > candidate["score"]:
                self.by_complexity[candidate["complexity"]] = candidate

    def pareto(self) -> Iterator[Candidate]:
        """Per complexity, increasing, the candidates whose error is below every
        simpler one's by more than rounding: a formula that only rewrites a
        simpler one, (x / (1/x)) for (x * x), differs from it in the last bits."""
        lowest = math.inf
        for complexity in sorted(self.by_complexity):
            candidate = self.by_complexity[complexity]
            if candidate["rmse"] < lowest * (1.0 - PARETO_RELATIVE_GAIN):
                lowest = candidate["rmse"]
                yield candidate


Progress = Union[bool, Callable[[LevelReport], Any]]


class _ProgressBar:
    """A tqdm bar on standard error for each step of settings in turn: the step's levels done out of its
    maximum, candidates per second, the best formula of the whole call so far (a later, wider step starts
    its own search, whose early levels are worse) and, with a time limit, the seconds left."""

    TICK_SECONDS = 0.5

    def __init__(self, steps: Sequence[tuple[int, int]], time_limit: float | None) -> None:
        from tqdm.auto import tqdm

        self._steps = steps
        self._started = time.monotonic()
        self._deadline = None if time_limit is None else self._started + time_limit
        self._bar = tqdm(total=steps[0][0], unit=" levels", file=sys.stderr, leave=False, dynamic_ncols=True)
        self._lock = threading.Lock()
        self._step = -1
        self._admitted = 0
        self._rate = 0.0
        self._best: Formula | None = None
        self._start_step(0)
        self._done = threading.Event()
        # Levels can take long: the countdown is redrawn between them.
        self._ticker = None
        if self._deadline is not None:
            self._ticker = threading.Thread(target=self._tick, name="zor-progress", daemon=True)
            self._ticker.start()

    def _start_step(self, step: int) -> None:
        complexity, width = self._steps[step]
        self._step = step
        steps = f"step {step + 1}/{len(self._steps)}, " if len(self._steps) > 1 else ""
        self._bar.set_description(f"{steps}complexity {complexity}, beam {width:,}", refresh=False)
        self._bar.reset(total=complexity)

    def _postfix(self) -> str:
        best = self._best.formula if self._best is not None else "-"
        if len(best) > 48:
            best = best[:45] + "..."
        parts = [f"{self._rate:,.0f} candidates/s", f"best {best}"]
        if self._deadline is not None:
            parts.append(f"{max(self._deadline - time.monotonic(), 0.0):.0f} s left")
        return ", ".join(parts)

    def __call__(self, report: LevelReport) -> None:
        with self._lock:
            if report.step != self._step:
                self._start_step(report.step)
            self._admitted += report.admitted
            self._rate = self._admitted / report.elapsed_seconds if report.elapsed_seconds > 0 else 0.0
            # As the search's own best: a strictly lower score replaces it, a NaN never does.
            if report.best is not None and (self._best is None or self._best.score > report.best.score):
                self._best = report.best
            self._bar.set_postfix_str(self._postfix(), refresh=False)
            self._bar.update(1)

    def _tick(self) -> None:
        while not self._done.wait(self.TICK_SECONDS):
            with self._lock:
                self._bar.set_postfix_str(self._postfix(), refresh=True)

    def close(self) -> None:
        self._done.set()
        if self._ticker is not None:
            self._ticker.join()
        self._bar.close()


def _setting(value: Any, name: str) -> int:
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None
    if number < 0:
        raise ValueError(f"{name} must not be negative, got {number}")
    return number


def _flag(value: Any, name: str) -> bool:
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be True or False, not {value!r}")
    return bool(value)


def _number(value: Any, name: str) -> float:
    try:
        return float(value)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a number, not {value!r}") from None


def discover(
    X: Any,
    y: Any,
    *,
    variable_names: Sequence[str] | None = None,
    max_complexity: int | None = None,
    beam_width: int | None = None,
    precision_goal: float = 1e-10,
    use_trig: bool = True,
    use_zor: bool = True,
    complexity_penalty: float = 0.001,
    time_limit: float | None = None,
    progress: Progress = True,
) -> DiscoveryResult:
    """Search for the formula over the columns of X that best fits y.

    X is a list of columns (like zor_core.find_formula's x_data), a 2-D array
    of samples x features, a 1-D array or flat list (one variable) or a pandas
    DataFrame, whose column names become the variable names unless
    `variable_names` is given; y is a list, 1-D array or Series. Every value
    must be finite, and each column as long as y.

    The settings are find_formula's. `time_limit` (seconds) stops the search
    at its next check and returns the best so far, marked `cut_short`. When
    both max_complexity and beam_width are left out and a time limit is given,
    the search climbs a ladder of settings (zor._discover.LADDER) until the
    time is up and returns the front merged over the steps; without a time
    limit the missing settings take find_formula's defaults (8 and 2000).
    With equal settings the best formula, its score and complexity are those
    of find_formula, bit for bit.

    `progress`: True shows a progress bar on standard error, False nothing; a
    callable receives each LevelReport instead. An exception it raises ends the
    search and propagates. The interpreter lock is released while the search
    runs; Ctrl-C raises KeyboardInterrupt within a few hundredths of a second.
    """
    columns, target, names = prepare(X, y, variable_names)
    if time_limit is not None:
        time_limit = _number(time_limit, "time_limit")
        if not time_limit >= 0:
            raise ValueError(f"time_limit must be a non-negative number of seconds, got {time_limit}")
    climbing = max_complexity is None and beam_width is None and time_limit is not None
    if climbing:
        steps = list(LADDER)
    else:
        steps = [(_setting(DEFAULT_MAX_COMPLEXITY if max_complexity is None else max_complexity, "max_complexity"),
                  _setting(DEFAULT_BEAM_WIDTH if beam_width is None else beam_width, "beam_width"))]
    bar = _ProgressBar(steps, time_limit) if progress is True else None
    run = _Run(columns, target, names, bar if bar is not None else progress if callable(progress) else None,
               _number(precision_goal, "precision_goal"), _flag(use_trig, "use_trig"), _flag(use_zor, "use_zor"),
               _number(complexity_penalty, "complexity_penalty"))
    try:
        for step, (complexity, width) in enumerate(steps):
            if not run.step(step, complexity, width, time_limit):
                break
    finally:
        if bar is not None:
            bar.close()
    settings = {"max_complexity": None if max_complexity is None else steps[0][0],
                "beam_width": None if beam_width is None else steps[0][1], "precision_goal": run.precision_goal,
                "use_trig": run.use_trig, "use_zor": run.use_zor, "complexity_penalty": run.complexity_penalty,
                "time_limit": time_limit}
    target_name = getattr(y, "name", None) if hasattr(y, "to_numpy") else None
    return dataclasses.replace(run.result(), settings=settings,
                               target_name=target_name if isinstance(target_name, str) else None)


class _Run:
    """The steps of one discover call and what they found."""

    def __init__(self, columns: list[Column], target: Column, names: tuple[str, ...],
                 listener: Callable[[LevelReport], Any] | None, precision_goal: float, use_trig: bool,
                 use_zor: bool, complexity_penalty: float) -> None:
        self.columns, self.target, self.names, self.listener = columns, target, names, listener
        self.precision_goal, self.use_trig, self.use_zor = precision_goal, use_trig, use_zor
        self.complexity_penalty = complexity_penalty
        self.started = time.monotonic()
        self.levels: list[LevelReport] = []
        self.merged = _Merged()
        self.totals = {"generated": 0, "admitted": 0, "scored": 0}
        self.cut_short = False
        self.target_mean_square = float(np.mean(target * target))
        self.target_variance = float(np.var(target))

    def formula(self, candidate: Candidate) -> Formula:
        return _formula(candidate, self.names, self.target_mean_square, self.target_variance)

    def step(self, step: int, complexity: int, width: int, time_limit: float | None) -> bool:
        """Runs one search; True when the next step should follow."""
        offset = time.monotonic() - self.started
        remaining = None if time_limit is None else max(time_limit - offset, 0.0)

        def on_level(report: Level) -> None:
            best = report["best"]
            level = LevelReport(step, complexity, width, report["level"], report["generated"], report["admitted"],
                                report["scored"], None if best is None else self.formula(best),
                                offset + report["elapsed_seconds"])
            self.levels.append(level)
            if self.listener is not None:
                self.listener(level)

        try:
            outcome = _native.search(self.columns, self.target, complexity, width, self.precision_goal,
                                     self.use_trig, self.use_zor, self.complexity_penalty, time_limit=remaining,
                                     on_level=on_level, keep_front=True)
        except MemoryError:
            if step == 0:
                raise
            return False  # a wider step than the machine can hold: keep what the earlier steps found
        self.merged.add(outcome)
        self.totals["generated"] += outcome["generated"]
        self.totals["admitted"] += outcome["admitted"]
        self.totals["scored"] += outcome["scored"]
        if outcome["cut_short"]:
            self.cut_short = True
            return False
        best = self.merged.best
        return best is None or not self.precision_goal >= best["score"]

    def result(self) -> DiscoveryResult:
        best = self.merged.best
        return DiscoveryResult(
            best=None if best is None else self.formula(best),
            front=tuple(self.formula(candidate) for candidate in self.merged.pareto()),
            levels=tuple(self.levels),
            cut_short=self.cut_short,
            variable_names=self.names,
            generated=self.totals["generated"],
            admitted=self.totals["admitted"],
            scored=self.totals["scored"],
            elapsed_seconds=time.monotonic() - self.started,
            target_mean_square=self.target_mean_square,
            target_variance=self.target_variance,
        )


def _formula(candidate: Candidate, names: tuple[str, ...], target_mean_square: float = math.nan,
             target_variance: float = math.nan) -> Formula:
    tokens = tuple(candidate["tokens"])
    error = candidate["rmse"]
    return Formula(
        complexity=candidate["complexity"],
        error=error,
        score=candidate["score"],
        formula=to_text(tokens, names),
        tokens=tokens,
        variable_names=names,
        relative_error=error / math.sqrt(target_mean_square) if target_mean_square > 0 else math.nan,
        r2=1.0 - error * error / target_variance if target_variance > 0 else math.nan,
    )
