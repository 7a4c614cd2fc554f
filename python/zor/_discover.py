"""zor.discover: formula discovery with progress, a time limit and a Pareto front."""

from __future__ import annotations

import math
import operator
import sys
import time
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Union

import numpy as np
from numpy.typing import NDArray

from zor import _native
from zor._data import Column, columns_for, prepare
from zor._expression import Token, to_latex, to_python, to_sympy, to_text

if TYPE_CHECKING:
    import sympy

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
    which find_formula reports as its `error`.
    """

    complexity: int
    error: float
    score: float
    formula: str
    tokens: tuple[Token, ...]
    variable_names: tuple[str, ...]

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

    def __repr__(self) -> str:
        if self.best is None:
            head = "DiscoveryResult(best=None"
        else:
            b = self.best
            head = (f"DiscoveryResult(best={b.formula!r}, complexity={b.complexity}, error={_short(b.error)}, "
                    f"score={_short(b.score)}")
        lines = [f"{head}, cut_short={self.cut_short}, levels={len(self.levels)}, "
                 f"elapsed={self.elapsed_seconds:.2f}s,"]
        lines.append(" front=[")
        lines.extend(f"  {f.complexity:3d}  {_short(f.error):>9}  {f.formula}" for f in self.front)
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
    """A tqdm bar on standard error: one step per level, candidates per second and the best so far."""

    def __init__(self, total: int | None) -> None:
        from tqdm.auto import tqdm

        self._bar = tqdm(total=total, unit=" levels", file=sys.stderr, leave=False, dynamic_ncols=True)
        self._admitted = 0

    def __call__(self, report: LevelReport) -> None:
        self._admitted += report.admitted
        rate = self._admitted / report.elapsed_seconds if report.elapsed_seconds > 0 else 0.0
        if report.step or self._bar.total is None:
            self._bar.set_description(
                f"step {report.step + 1}, complexity {report.max_complexity}, beam {report.beam_width}", refresh=False
            )
        best = report.best.formula if report.best is not None else "-"
        if len(best) > 48:
            best = best[:45] + "..."
        self._bar.set_postfix_str(f"{rate:,.0f} candidates/s, best {best}", refresh=False)
        self._bar.update(1)

    def close(self) -> None:
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
    bar = _ProgressBar(None if climbing else steps[0][0]) if progress is True else None
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
    return run.result()


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

    def step(self, step: int, complexity: int, width: int, time_limit: float | None) -> bool:
        """Runs one search; True when the next step should follow."""
        offset = time.monotonic() - self.started
        remaining = None if time_limit is None else max(time_limit - offset, 0.0)

        def on_level(report: Level) -> None:
            best = report["best"]
            level = LevelReport(step, complexity, width, report["level"], report["generated"], report["admitted"],
                                report["scored"], None if best is None else _formula(best, self.names),
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
            best=None if best is None else _formula(best, self.names),
            front=tuple(_formula(candidate, self.names) for candidate in self.merged.pareto()),
            levels=tuple(self.levels),
            cut_short=self.cut_short,
            variable_names=self.names,
            generated=self.totals["generated"],
            admitted=self.totals["admitted"],
            scored=self.totals["scored"],
            elapsed_seconds=time.monotonic() - self.started,
        )


def _formula(candidate: Candidate, names: tuple[str, ...]) -> Formula:
    tokens = tuple(candidate["tokens"])
    return Formula(
        complexity=candidate["complexity"],
        error=candidate["rmse"],
        score=candidate["score"],
        formula=to_text(tokens, names),
        tokens=tokens,
        variable_names=names,
    )
