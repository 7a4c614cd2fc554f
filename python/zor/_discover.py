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
from zor._cluster import ClusterSearch, deadline_after, require_client
from zor._constants import Exact, FitStatistics, Snapped, affine_latex, affine_python, affine_sympy, affine_text, \
    affine_values, snap
from zor._data import Column, columns_for, prepare, subsample_rows
from zor._expression import UNARY, Token, to_latex, to_python, to_simplified_text, to_sympy, to_text

if TYPE_CHECKING:
    import pandas
    import sympy
    from matplotlib.axes import Axes

    from zor._native import Candidate, Level, Outcome

# find_formula's settings when none are given.
DEFAULT_MAX_COMPLEXITY = 8
DEFAULT_BEAM_WIDTH = 2000

# The settings a search given only a time limit climbs through. At each beam
# width it first goes deep (13 tokens is where laws such as
# m·(ω² + ω₀²)·x² lie), which a narrow beam does in a fraction of a second,
# then the beam widens and the depth starts again from the shallow end: a
# wide beam keeps the building blocks that rank poorly on their own, and
# costs more per level, so it gets the time that is left.
LADDER: tuple[tuple[int, int], ...] = (
    (6, 2000), (7, 5000), (8, 5000), (10, 5000), (13, 5000), (8, 20000), (11, 20000), (13, 20000),
    (9, 50000), (10, 50000), (11, 50000), (13, 50000), (9, 200000), (10, 200000), (11, 200000), (11, 500000),
    (13, 200000), (12, 500000), (13, 2000000),
)

# Factor searches (scaled ladder only): after this many steps, y / x is
# searched for every variable x of one sign, at FACTOR_PROBE, then the one
# whose quotient fits best at FACTOR_DEEP; x times what they find joins the
# candidates. A law x·g(others), m·(v² + u² + w²)/2, is then the search for
# g alone, whose parts fit g on their own where they do not fit y.
FACTOR_AFTER = 5
FACTOR_PROBE = (8, 5000)
FACTOR_DEEP = (13, 5000)

# How much lower than every simpler formula's error a formula's error must be
# to join the Pareto front.
PARETO_RELATIVE_GAIN = 1e-9

# Rows the search runs on: larger data is searched on a deterministic subsample
# of this many rows, and the formulas found are then judged on every row.
DEFAULT_MAX_ROWS = 5000

# Errors below this share of the targets' root mean square count as exact: a
# formula exact to rounding does not win over a simpler exact one by rounding.
EXACT_SHARE = 1e-12
MODEL_SELECTIONS = ("best", "accuracy")


def _short(value: float) -> str:
    return f"{value:.3g}"


@dataclass(frozen=True, repr=False)
class Formula:
    """One discovered formula over named variables: scale * f + offset, where f
    is the searched expression (`tokens`).

    `error` is the root-mean-square error on the data; `score` is what the
    search ranks by, the error times (1 + complexity x complexity_penalty),
    which find_formula reports as its `error`. `scale` and `offset` are the
    least-squares constants (the offset refitted for the exact scale when the
    scale was snapped); `exact_scale` and `exact_offset` their exact forms
    (p, q, factor) when they snapped (see zor._constants), which the text,
    LaTeX, Python and SymPy forms and predict use. Without scaling, the scale
    is 1 and the offset 0, and every form is that of f alone. `relative_error` is
    the error over the root mean square of the targets, `r2` the coefficient
    of determination, 1 - error**2 / variance of the targets (NaN for
    constant targets); both are for the data the search saw.
    """

    complexity: int
    error: float
    score: float
    formula: str
    tokens: tuple[Token, ...]
    variable_names: tuple[str, ...]
    scale: float = 1.0
    offset: float = 0.0
    exact_scale: Exact | None = None
    exact_offset: Exact | None = None
    relative_error: float = math.nan
    r2: float = math.nan

    @property
    def constants(self) -> Snapped:
        return Snapped(self.scale, self.offset, self.exact_scale, self.exact_offset)

    @property
    def latex(self) -> str:
        """The formula in LaTeX, without math delimiters."""
        body = to_latex(self.tokens, self.variable_names)
        top = self.tokens[-1] if self.tokens else ("const", 0.0)
        body_is_sum = top[0] == "op" and top[1] in ("Add", "Sub", "Neg", "Zor")
        return affine_latex(body, body_is_sum, self.constants)

    @property
    def python(self) -> str:
        """Python source defining f, one argument per variable, and zor with its guards when used."""
        source = to_python(self.tokens, self.variable_names)
        head, _, body = source.rpartition("    return ")
        return f"{head}    return {affine_python(body.rstrip(), self.constants)}\n"

    def to_sympy(self) -> sympy.Expr:
        """The formula as a SymPy expression (needs the `sympy` extra); zor(a, b) becomes exp(a) - log(b).
        Exact constants become Rationals times pi, sqrt(2), ...; fitted ones Floats."""
        return affine_sympy(to_sympy(self.tokens, self.variable_names), self.constants)

    @cached_property
    def simplified(self) -> str:
        """The formula as SymPy writes it, simplified ((L + L) is 2*L, zor(a, b) is exp(a) - log(b)),
        when the `sympy` extra is installed; otherwise `formula`, the native text."""
        if importlib.util.find_spec("sympy") is None:
            return self.formula
        if self.scale == 1.0 and self.offset == 0.0 and self.exact_scale is None and self.exact_offset is None:
            return to_simplified_text(self.tokens, self.variable_names)
        import sympy

        return str(sympy.sstr(self.to_sympy()))

    def _repr_latex_(self) -> str:
        return f"${self.latex}$"

    def predict(self, X: Any) -> NDArray[np.float64]:
        """The formula's value on every row of X, with the search's guards; NaN where it is undefined.

        X takes the same forms as discover's X; a DataFrame's columns are matched by name.
        """
        columns = columns_for(X, self.variable_names)
        values = np.asarray(_native.evaluate(list(self.tokens), columns), dtype=np.float64)
        return np.asarray(affine_values(values, self.constants), dtype=np.float64)

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
    scaling: bool = True,
    model_selection: str | None = None,
    max_rows: int | None = DEFAULT_MAX_ROWS,
    memory_limit: int | None = None,
    cluster: Any = None,
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
    time is up and returns the front merged over the steps (with scaling,
    after its first steps it also searches y / x for every variable x of one
    sign, and offers x times what it finds: see FACTOR_AFTER); without a time
    limit the missing settings take find_formula's defaults (8 and 2000).
    With equal settings the best formula, its score and complexity are those
    of find_formula, bit for bit.

    `progress`: True shows a progress bar on standard error, False nothing; a
    callable receives each LevelReport instead. An exception it raises ends the
    search and propagates. The interpreter lock is released while the search
    runs; Ctrl-C raises KeyboardInterrupt within a few hundredths of a second.

    `scaling` (default True) fits every candidate f as y ≈ a·f + b by least
    squares while the search runs, so formulas carry constants: the search
    finds the shape, the fit its scale and offset, and both are then snapped
    to simple exact values (1/2, 3/5, pi/4, 1/(4*pi), ...) where that keeps
    the fit as good (see zor._constants). In this mode a formula never leans
    on a numeric guard of zor, and each constant other than a scale of 1 or an
    offset of 0 counts as one unit of complexity. scaling=False searches the
    formulas themselves, as find_formula does: with equal settings the best
    formula, its score and complexity are find_formula's, bit for bit.

    `model_selection`: "best" picks the front entry with the lowest Bayesian
    information criterion, rows x ln(error²) + complexity x ln(rows) (see
    select_best): the law rather than an overfit on noisy data. "accuracy"
    picks the lowest score. The default is "best" with scaling and
    "accuracy" without.

    `max_rows` (default DEFAULT_MAX_ROWS; None for no limit): larger data is
    searched on a deterministic subsample of that many rows; the formulas are
    then judged, fitted and snapped on every row.

    `memory_limit` (bytes; default most of the memory available) bounds the
    search's own data: a search that would outgrow it raises MemoryError
    before the level that would.

    `cluster`: a dask.distributed.Client (extra `cluster`). The seen set is
    then split among the client's workers, each holding its part within its
    own memory_limit, and each level runs on all of them at once; the result
    is the one-machine search's, bit for bit. A worker lost mid-search ends it
    with zor.ClusterError. See docs/cluster.md.
    """
    client = None if cluster is None else require_client(cluster)
    if memory_limit is not None and _setting(memory_limit, "memory_limit") == 0:
        raise ValueError("memory_limit must be a positive number of bytes (or None for the default)")
    columns, target, names = prepare(X, y, variable_names)
    scaling = _flag(scaling, "scaling")
    if model_selection is None:
        model_selection = "best" if scaling else "accuracy"
    if model_selection not in MODEL_SELECTIONS:
        raise ValueError(f"model_selection must be 'best' or 'accuracy', not {model_selection!r}")
    if max_rows is not None and _setting(max_rows, "max_rows") == 0:
        raise ValueError("max_rows must be positive (or None for no limit)")
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
    run.configure(scaling, model_selection, max_rows)
    run.memory_limit, run.cluster = memory_limit, client
    try:
        for step, (complexity, width) in enumerate(steps):
            if climbing and scaling and step == FACTOR_AFTER and not run.factor_searches(time_limit):
                break
            if not run.step(step, complexity, width, time_limit):
                break
    finally:
        if bar is not None:
            bar.close()
    settings = {"max_complexity": None if max_complexity is None else steps[0][0],
                "beam_width": None if beam_width is None else steps[0][1], "precision_goal": run.precision_goal,
                "use_trig": run.use_trig, "use_zor": run.use_zor, "complexity_penalty": run.complexity_penalty,
                "time_limit": time_limit, "scaling": scaling, "model_selection": model_selection,
                "max_rows": max_rows, "memory_limit": memory_limit}
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
        self.scaling = False
        self.model_selection = "accuracy"
        self.search_columns, self.search_target = columns, target
        self.memory_limit: int | None = None
        self.cluster: Any = None
        self.target_mean_square = float(np.mean(target * target))
        self.target_variance = float(np.var(target))
        # Candidates x·g from the factor searches, as token lists.
        self.factored: list[tuple[Token, ...]] = []

    def configure(self, scaling: bool, model_selection: str, max_rows: int | None) -> None:
        self.scaling, self.model_selection = scaling, model_selection
        rows = subsample_rows(len(self.target), max_rows)
        if rows is not None:
            self.search_columns = [np.ascontiguousarray(column[rows]) for column in self.columns]
            self.search_target = np.ascontiguousarray(self.target[rows])
        self.judge = _Judge(self.search_columns, self.search_target, self.names, self.complexity_penalty)
        self.final_judge = _Judge(self.columns, self.target, self.names, self.complexity_penalty)

    def formula(self, candidate: Candidate) -> Formula | None:
        """The candidate as a Formula: with scaling, fitted and snapped on the search's rows."""
        if not self.scaling:
            return _formula(candidate, self.names, self.target_mean_square, self.target_variance)
        return self.judge.judge(candidate)

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

        shards = None
        options = {"max_complexity": complexity, "beam_width": width, "precision_goal": self.precision_goal,
                   "use_trig": self.use_trig, "use_zor": self.use_zor,
                   "complexity_penalty": self.complexity_penalty, "scaling": self.scaling}
        try:
            if self.cluster is not None:
                shards = ClusterSearch(self.cluster, self.search_columns, self.search_target, options,
                                       deadline_after(remaining))
            outcome = _native.search(self.search_columns, self.search_target, options,
                                     time_limit=remaining, on_level=on_level, keep_front=True,
                                     memory_limit=self.memory_limit or 0, cluster=shards,
                                     cluster_memory=None if shards is None else shards.cluster_memory())
        except MemoryError as error:
            if step == 0:
                if len(self.search_target) < len(self.target) or len(self.target) > 1000:
                    raise MemoryError(f"{error}, or max_rows (the search ran on {len(self.search_target):,} "
                                      f"rows)") from None
                raise
            return False  # a wider step than the machine can hold: keep what the earlier steps found
        finally:
            if shards is not None:
                shards.close()
        self.merged.add(outcome)
        self.totals["generated"] += outcome["generated"]
        self.totals["admitted"] += outcome["admitted"]
        self.totals["scored"] += outcome["scored"]
        if outcome["cut_short"]:
            self.cut_short = True
            return False
        best = self.merged.best
        return best is None or not self.precision_goal >= best["score"]

    def factor_searches(self, time_limit: float | None) -> bool:
        """Searches y / x for the variables x of one sign (see FACTOR_AFTER); True when the ladder
        should go on. These searches run in this process, also for a cluster search, and report no
        levels: they are small next to the ladder's later steps."""
        fits: list[tuple[float, int]] = []
        for k, column in enumerate(self.search_columns):
            if not (np.all(column > 0.0) or np.all(column < 0.0)):
                continue
            fit = self._factor_search(k, *FACTOR_PROBE, time_limit)
            if fit is None:
                return False
            fits.append((fit, k))
        if fits:
            fitted, k = min(fits)
            if math.isfinite(fitted) and self._factor_search(k, *FACTOR_DEEP, time_limit) is None:
                return False
        scores = [formula.score for formula in map(self.judge.judge_tokens, self.factored) if formula is not None]
        return not any(self.precision_goal >= score for score in scores)

    def _factor_search(self, k: int, complexity: int, width: int, time_limit: float | None) -> float | None:
        """One scaled search of y / x_k; the relative error of its best fit, or None when the time is up."""
        remaining = None if time_limit is None else time_limit - (time.monotonic() - self.started)
        if remaining is not None and remaining <= 0.0:
            self.cut_short = True
            return None
        quotient = np.ascontiguousarray(self.search_target / self.search_columns[k])
        try:
            options = {"max_complexity": complexity, "beam_width": width, "precision_goal": self.precision_goal,
                       "use_trig": self.use_trig, "use_zor": self.use_zor,
                       "complexity_penalty": self.complexity_penalty, "scaling": True}
            outcome = _native.search(self.search_columns, quotient, options, time_limit=remaining,
                                     keep_front=True, memory_limit=self.memory_limit or 0)
        except MemoryError:
            return math.inf
        factor: tuple[Token, ...] = (("var", k), ("op", "Mul"))
        for candidate in outcome["front"]:
            if candidate["scale"] != 0.0:
                self.factored.append(tuple(candidate["tokens"]) + factor)
        if outcome["cut_short"]:
            self.cut_short = True
            return None
        best = outcome["best"]
        rms = math.sqrt(float(np.mean(quotient * quotient)))
        return math.inf if best is None or not rms > 0.0 else best["rmse"] / rms

    def result(self) -> DiscoveryResult:
        if self.scaling:
            front = self._scaled_front()
        else:
            front = tuple(_formula(candidate, self.names, self.target_mean_square, self.target_variance)
                          for candidate in self.merged.pareto())
        if self.model_selection == "best" and front:
            best: Formula | None = select_best(front, len(self.target),
                                               float(np.sqrt(np.mean(self.target * self.target))))
        elif self.scaling:
            best = min(front, key=lambda f: (math.isnan(f.score), f.score), default=None)
        else:
            best = None if self.merged.best is None else _formula(self.merged.best, self.names,
                                                                  self.target_mean_square, self.target_variance)
        return DiscoveryResult(
            best=best,
            front=front,
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

    def _scaled_front(self) -> tuple[Formula, ...]:
        """The candidates of every step, fitted and snapped on every row, then
        per complexity the lowest error, kept where it beats every simpler one."""
        candidates = list(self.merged.by_complexity.values())
        if self.merged.best is not None:
            candidates.append(self.merged.best)
        judged = [(tuple(c["tokens"]), c.get("scale", 1.0) == 0.0) for c in candidates]
        judged += [(tokens, False) for tokens in self.factored]
        by_complexity: dict[int, Formula] = {}
        seen: set[tuple[Token, ...]] = set()
        for tokens, constant in judged:
            if tokens in seen:
                continue
            seen.add(tokens)
            formula = self.final_judge.judge_tokens(tokens, constant)
            if formula is None:
                continue
            kept = by_complexity.get(formula.complexity)
            if kept is None or kept.error > formula.error:
                by_complexity[formula.complexity] = formula
        front = []
        lowest = math.inf
        for complexity in sorted(by_complexity):
            formula = by_complexity[complexity]
            if formula.error < lowest * (1.0 - PARETO_RELATIVE_GAIN):
                lowest = formula.error
                front.append(formula)
        return tuple(front)


def select_best(front: Sequence[Formula], rows: int, target_rms: float) -> Formula:
    """model_selection="best" over a front: the entry with the lowest Bayesian
    information criterion, rows * ln(error**2) + complexity * ln(rows), one
    parameter per unit of complexity. A longer formula must lower the squared
    error by a factor of rows**(1/rows) per unit it adds (8 rows: 1.30; 200
    rows: 1.027), which noise fitted by extra terms rarely does. Errors below
    EXACT_SHARE of the targets' root mean square count as equal, so a formula
    exact to rounding does not win over a simpler exact one by rounding.
    The earliest entry wins a tie."""
    floor = max(EXACT_SHARE * target_rms, sys.float_info.min)
    n = max(rows, 2)

    def criterion(formula: Formula) -> float:
        error = max(formula.error, floor) if math.isfinite(formula.error) else math.inf
        return n * 2.0 * math.log(error) + formula.complexity * math.log(n)

    return min(front, key=criterion)


class _Judge:
    """Fits, snaps and scores scaled candidates on given rows."""

    def __init__(self, columns: list[Column], target: Column, names: tuple[str, ...], penalty: float) -> None:
        self.columns, self.target, self.names, self.penalty = columns, target, names, penalty
        self.cache: dict[tuple[Token, ...], Formula | None] = {}

    def judge(self, candidate: Candidate) -> Formula | None:
        return self.judge_tokens(tuple(candidate["tokens"]), candidate.get("scale", 1.0) == 0.0)

    def judge_tokens(self, tokens: tuple[Token, ...], constant: bool = False) -> Formula | None:
        if tokens not in self.cache:
            self.cache[tokens] = self._judge(tokens, constant)
        return self.cache[tokens]

    def _judge(self, tokens: tuple[Token, ...], constant: bool) -> Formula | None:
        if constant:
            tokens = (("const", 1.0),)
        values = np.asarray(_native.evaluate(list(tokens), self.columns), dtype=np.float64)
        if not np.all(np.isfinite(values)):
            return None  # defined on the rows the search saw, not on all of them
        y = self.target
        n = len(y)
        f_mean, y_mean = float(np.mean(values)), float(np.mean(y))
        centred = values - f_mean
        sff = float(np.sum(centred * centred))
        largest = float(np.max(np.abs(values)))
        if constant or not sff > (1e-9 * largest) ** 2 * n:
            constant, scale, offset = True, 0.0, y_mean
        else:
            scale = float(np.sum(centred * (y - y_mean))) / sff
            offset = y_mean - scale * f_mean
        if not (math.isfinite(scale) and math.isfinite(offset)):
            return None
        residual = (scale * values + offset) - y
        stats = FitStatistics(n, f_mean, y_mean, sff, float(np.sum(residual * residual)), float(np.sum(y * y)))
        snapped = snap(stats, scale, offset, constant)
        flipped, snapped = _positive_scale(tokens, snapped)
        if flipped != tokens:
            tokens, values = flipped, -values
        predicted = affine_values(values, snapped)
        error = float(np.sqrt(np.mean((predicted - y) ** 2)))
        complexity = 1 if constant else len(tokens) + (snapped.used_scale != 1.0) + (snapped.used_offset != 0.0)
        mean_square, variance = float(np.mean(y * y)), float(np.var(y))
        return Formula(
            complexity=complexity,
            error=error,
            score=error * (complexity * self.penalty + 1.0),
            formula=affine_text(to_text(tokens, self.names), snapped),
            tokens=tokens,
            variable_names=self.names,
            scale=snapped.scale,
            offset=snapped.offset,
            exact_scale=snapped.exact_scale,
            exact_offset=snapped.exact_offset,
            relative_error=error / math.sqrt(mean_square) if mean_square > 0 else math.nan,
            r2=1.0 - error * error / variance if variance > 0 else math.nan,
        )


def _positive_scale(tokens: tuple[Token, ...], snapped: Snapped) -> tuple[tuple[Token, ...], Snapped]:
    """A negative scale of a difference or a negation, moved into it:
    -a * (u - v) is a * (v - u), and -a * (-u) is a * u, bit for bit, since
    rounding is symmetric in sign; so x - y is not written as -1 * (y - x)."""
    if not snapped.used_scale < 0.0 or tokens[-1] not in (("op", "Sub"), ("op", "Neg")):
        return tokens, snapped
    if tokens[-1] == ("op", "Neg"):
        flipped = tokens[:-1]
    else:
        depth, split = 0, 0
        for i, token in enumerate(tokens[:-1]):
            depth += 1 if token[0] != "op" else 0 if token[1] in UNARY else -1
            if depth == 1:
                split = i + 1
        flipped = tokens[split:-1] + tokens[:split] + (("op", "Sub"),)
    exact = snapped.exact_scale
    return flipped, Snapped(-snapped.scale, snapped.offset, None if exact is None else (-exact[0],) + exact[1:],
                            snapped.exact_offset)


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
