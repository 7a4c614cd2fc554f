"""zor.discover: the search driver. One native search per step of settings (the ladder when only a time
limit is given), factor searches with scaling, a cluster when given one; the candidates of every step
merged, refitted (see zor._fit) and made into a DiscoveryResult."""

from __future__ import annotations

import dataclasses
import inspect
import math
import time
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import NDArray

from zor import _native
from zor._cluster import ClusterSearch, deadline_after, require_client
from zor._data import Column, prepare, subsample_rows
from zor._description_length import operator_kinds, select_by_description_length, with_criterion
from zor._domain import box_of, defined_over, reach
from zor._expression import Token
from zor._fit import VALIDATION_FOLDS, Judge, kept_out_of_front, linear_unless_better, search_held_out_errors
from zor._fit import select_by_validation
from zor._fit import unscaled_formula
from zor._leave_one_out import best_predictor
from zor._noise import prefers_relative, relative_error, sign_of, worth_fitting
from zor._parameter_fits import Problem, log_fits, problem_for
from zor._parameter_snapping import formula_from_fit
from zor._parameters import PARAMETER_SHARE, operator_names, parametric_stage
from zor._progress import Progress, ProgressBar
from zor._results import EXACT_SHARE, DiscoveryResult, Formula, LevelReport, information_criterion, pareto_front
from zor._results import select_best
from zor._settings import DEFAULT_BEAM_WIDTH, DEFAULT_MAX_COMPLEXITY, SearchSettings, settings_from
from zor._settings import settings_parameters
from zor._periodic import periodic_terms
from zor._sums import Shape, TermPool, fit_sum, linear_shapes, residual_targets, rounds_to_zero, term_library

if TYPE_CHECKING:
    from zor._native import Candidate, Level, Outcome

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

# Free parameters when climbing (see _Run.fit_parameters): the stage runs first at the size a search without a
# time limit gives it, on the front of the ladder's first steps once they have searched as deep and as wide
# as that search (find_formula's defaults), with the time it takes; the ladder climbs on with what is left,
# and the stage runs again at its own larger size after it. A short time limit then still turns the shape the
# ladder found into a law with its parameters, where the larger stage alone would run out of time screening.
EARLY_PARAMETERS_SIZE = (DEFAULT_MAX_COMPLEXITY, DEFAULT_BEAM_WIDTH)

# Sums of terms (scaling, max_terms of 2 or more; see zor._sums): a search with a time limit leaves this
# share of it to the searches of what the best sums leave over, all of them at each size of
# RESIDUAL_SEARCHES in turn when climbing (else at the settings given, but no larger than its first size:
# there are a dozen residuals to search, and without a time limit each at (8, 20000) would cost the search
# ten times over). A formula that meets the precision goal needs no sum, and none is sought.
SUM_SHARE = 0.15
RESIDUAL_SEARCHES = ((8, 2000), (10, 5000))
# A sum of D terms is sought only on ROWS_PER_COEFFICIENT x (D + 1) rows or more: on fewer, sums of terms
# picked from hundreds fit the noise (three terms fit Kepler's eight planets to a thousandth, and on fifty
# noisy rows a held-out check chosen after them is fooled).
ROWS_PER_COEFFICIENT = 20
# The searches of residuals leave this share of that time for choosing and fitting the sums.
SUM_FIT_SHARE = 0.3
# With a time limit, on at most CHECKED_ROWS rows over two or more variables, model_selection="best" weighs
# the linear model against the search itself: the whole search runs again without each of the five folds,
# and its choice is judged on the fold (zor._fit.search_held_out_errors). On so few rows a shape picked
# from thousands on every row fits their noise, and its held-out error with only its constants refitted
# flatters it. The five searches share CHECK_SHARE of the time limit; without one they would cost five
# times the search, and the formula's own held-out error is used.
CHECKED_ROWS = 100
CHECK_SHARE = 0.25
# model_selection="best" prefers a formula defined where the next row may fall to the chosen one when their
# information criteria differ by no more than this many standard errors of the difference (see
# _Run._criterion_noise): the rows cannot tell the two apart, and the one that stays defined is the safer.
REACH_Z = 1.96


def discover(X: Any, y: Any, *, variable_names: Sequence[str] | None = None, progress: Progress = True,
             cluster: Any = None, **settings: Any) -> DiscoveryResult:
    """Search for the formula over the columns of X that best fits y.

    X is a list of columns (like zor_core.find_formula's x_data), a 2-D array
    of samples x features, a 1-D array or flat list (one variable) or a pandas
    DataFrame, whose column names become the variable names unless
    `variable_names` is given; y is a list, 1-D array or Series. Every value
    must be finite, and each column as long as y.

    The settings (the fields of zor._settings.SearchSettings) include
    find_formula's: max_complexity, beam_width, precision_goal, use_trig,
    use_zor and complexity_penalty; with scaling, precision_goal is relative:
    the search stops once its best score is at or below precision_goal times
    the targets' root mean square, so the data's units change nothing but the
    constants (without scaling it is in the targets' units, as in
    find_formula). `time_limit` (seconds) stops the search
    at its next check and returns the best so far, marked `cut_short`. When
    both max_complexity and beam_width are left out and a time limit is given,
    the search climbs a ladder of settings (zor._search.LADDER) until the
    time is up and returns the front merged over the steps (with scaling,
    after its first steps it also searches y / x for every variable x of one
    sign, and offers x times what it finds: see FACTOR_AFTER); without a time
    limit the missing settings take find_formula's defaults (8 and 2000).

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
    select_best): the law rather than an overfit on noisy data; but where the
    least-squares linear model on the raw variables has the lower error on
    held-out rows (five folds, as for "validation"), that model is the best
    (see zor._fit.linear_unless_better); on at most 100 rows with a time
    limit, the search itself runs again without each fold, in the last
    quarter of the time, and must beat the linear model on the folds by more
    than their noise (see CHECKED_ROWS); on at most 20 rows, the simplest
    front entry no larger than its choice that predicts each row left out
    about as well as the best does is taken (see zor._leave_one_out). Where
    the choice is undefined just past the rows, a formula defined there
    whose criterion is within the noise of the difference is taken instead
    (see _Run._prefer_defined_past_rows). With targets of one sign, "best"
    first weighs noise relative to the value against the same noise on
    every row (see zor._noise); where it is clearly the better model, the
    formulas' constants are fitted to minimise the sum of ln(predicted/y)²,
    the front and the criterion use that relative error, and the result's
    `noise` is "relative". "accuracy"
    picks the lowest score. "validation" picks the entry with the lowest
    error on held-out rows: each entry's scale and offset are refitted on
    four fifths of the rows and judged on the fifth, in turn (see
    select_by_validation). The default is "best" with scaling and
    "accuracy" without.

    `max_parameters` (default 3; scaling only): after the search, formulas
    with up to this many fitted parameters inside them, such as
    a + b·exp(c0·t), b·x/(x + c0) or b·exp(c0/(T + c1)), are fitted by
    least squares and join the front, each parameter with its standard error
    and 95 % interval (Formula.parameters); a parameter snaps to an exact
    value only within two standard errors and where that shortens the
    description length. A search climbing to a time limit fits them first
    as a search without one does, as soon as its ladder has searched as
    deep and wide, with the time that takes, and again on a larger set of
    shapes in 15 % of the limit at the end (zor._parameters.PARAMETER_SHARE):
    a short limit still finds what no limit finds. Without a time limit,
    data over one variable that a short formula of the search already fits
    to their noise level skip them (on 100 rows or more, where that level
    is known to 10 %). 0 leaves them out.
    model_selection="description_length" picks the front entry that sends
    the data in the fewest nats (see zor._description_length). Each front
    entry's `criterion` holds the value the model selection ranked it by.

    `max_rows` (default 5000; None for no limit): larger data is searched on a
    deterministic subsample of that many rows; the formulas are then judged,
    fitted and snapped on every row.

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
    chosen = settings_from("discover", settings)
    columns, target, names = prepare(X, y, variable_names)
    target_name = getattr(y, "name", None) if hasattr(y, "to_numpy") else None
    return dataclasses.replace(_discover(columns, target, names, chosen, progress, client),
                               settings=chosen.as_dict(), target_name=target_name if isinstance(target_name, str) else None)


def _discover(columns: list[Column], target: Column, names: tuple[str, ...], chosen: SearchSettings,
              progress: Progress, client: Any, checking: bool = True) -> DiscoveryResult:
    """discover on prepared data; `checking` False leaves out the searches without each fold (the
    search run again inside that check)."""
    steps = chosen.steps(LADDER)
    bar = None
    try:  # a Ctrl-C from the bar's first drawing on still closes it
        bar = ProgressBar(steps, chosen.time_limit) if progress is True else None
        run = _Run(columns, target, names, chosen,
                   bar if bar is not None else progress if callable(progress) else None, client, checking)
        stopped = _climb(run, steps, 0)
        run.weigh_noise()
        run.fit_parameters()
        run.find_sums()
        if stopped is not None and run.resume():
            _climb(run, steps, stopped)  # the time the stages left over goes back to the ladder
        run.check_search()
    finally:
        if bar is not None:
            bar.close()
    return run.result()


def _climb(run: _Run, steps: list[tuple[int, int]], first: int) -> int | None:
    """Runs the steps from `first` on; the step the time cut short, if it did before the goal was met."""
    early = _early_parameters_step(steps)
    for step in range(first, len(steps)):
        climbing = run.settings.climbing and run.settings.scaling
        if climbing and step == early:
            run.early_parameters()
        if (climbing and step == FACTOR_AFTER and not run.factor_searches()) or not run.step(step, *steps[step]):
            return step if run.cut_short and not run.reached_goal() else None
    return None


def _relative_item(formula: Formula) -> tuple[tuple[Token, ...], Column, NDArray[np.bool_]]:
    """The (tokens, constants, free ones) of a formula refitted for noise relative to the value: its inner
    parameters, and its scale and offset unless exact (an exact offset under a fitted scale is fitted too:
    see zor._parameter_fits.log_fits)."""
    used = formula.constants
    inner = [float(token[2]) for token in formula.tokens if token[0] == "param"]  # type: ignore[misc]
    k = len(inner)
    full = np.array(inner + [used.used_scale, used.used_offset])
    # A formula without an offset (one fitted as scale·f alone, see zor._parameter_fits.offset_free_fits) keeps none.
    free = np.array([True] * k + [used.exact_scale is None, used.exact_offset is None and used.used_offset != 0.0])
    if free[k] and not free[k + 1] and full[k + 1] != 0.0:
        free[k + 1] = True
    return tuple(formula.tokens), full, free


def _early_parameters_step(steps: list[tuple[int, int]]) -> int | None:
    """The step before which the climb fits parameters early: the one after the first to search at least
    EARLY_PARAMETERS_SIZE (see there)."""
    complexity, width = EARLY_PARAMETERS_SIZE
    return next((k + 1 for k, step in enumerate(steps) if step[0] >= complexity and step[1] >= width), None)


discover.__signature__ = inspect.Signature(  # type: ignore[attr-defined]
    [p for p in inspect.signature(discover).parameters.values() if p.kind != inspect.Parameter.VAR_KEYWORD]
    + settings_parameters(), return_annotation=DiscoveryResult)


def _rms(values: Column) -> float:
    return math.sqrt(float(np.mean(values * values)))


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
        yield from pareto_front(self.by_complexity, lambda candidate: candidate["rmse"])


class _Run:
    """The steps of one discover call and what they found."""

    def __init__(self, columns: list[Column], target: Column, names: tuple[str, ...], settings: SearchSettings,
                 listener: Callable[[LevelReport], Any] | None, cluster: Any, checking: bool) -> None:
        self.columns, self.target, self.names, self.listener = columns, target, names, listener
        self.settings, self.cluster = settings, cluster
        self.started = time.monotonic()
        self.levels: list[LevelReport] = []
        self.merged = _Merged()
        self.totals = {"generated": 0, "admitted": 0, "scored": 0}
        self.cut_short = False
        self.parametric: list[Formula] = []
        self.early_seconds: float | None = None  # what the climb's first parametric stage took
        self.target_mean_square = float(np.mean(target * target))
        self.target_variance = float(np.var(target))
        # Candidates x·g from the factor searches, as token lists.
        self.factored: list[tuple[Token, ...]] = []
        self.search_columns, self.search_target = columns, target
        rows = subsample_rows(len(target), settings.max_rows)
        if rows is not None:
            self.search_columns = [np.ascontiguousarray(column[rows]) for column in columns]
            self.search_target = np.ascontiguousarray(target[rows])
        # With scaling the precision goal is a share of the targets' root mean square, so that the
        # data's units (G = 6.674e-11 N m²/kg², or F in meganewtons) change nothing but the constants;
        # without it the search is find_formula's, whose goal is in the targets' units.
        self.goal = settings.precision_goal
        if settings.scaling:
            self.goal *= _rms(self.search_target)
        penalty = settings.complexity_penalty
        self.domain = box_of(columns)
        self.reach = reach(columns)
        self.summing = settings.scaling and settings.max_terms >= 2
        self.fitting = settings.scaling and settings.max_parameters > 0
        self.checking = (checking and settings.scaling and settings.model_selection == "best"
                         and settings.time_limit is not None and len(names) >= 2 and 2 * VALIDATION_FOLDS <= len(target) <= CHECKED_ROWS)
        self.search_errors: Column | None = None  # the search's own held-out errors (check_search)
        # Noise relative to the value (weigh_noise): the problem formulas are then refitted and ranked on.
        self.relative: Problem | None = None
        # What the ladder leaves of a time limit: PARAMETER_SHARE for the parameters, then SUM_SHARE for
        # sums, then CHECK_SHARE for the check.
        limit = settings.time_limit or 0.0
        self.sum_reserve = SUM_SHARE * limit if self.summing else 0.0
        self.check_reserve = CHECK_SHARE * limit if self.checking else 0.0
        self.reserve = self.sum_reserve + self.check_reserve + (PARAMETER_SHARE * limit if self.fitting else 0.0)
        self.sum_shapes: list[tuple[Shape, ...]] = []
        self.linear: Formula | None = None  # the least-squares linear model on the raw variables
        # Per complexity, the formulas offered to the front with the errors it ranks them by (see _scaled_front).
        self.offered: dict[int, list[tuple[float, Formula]]] = {}
        self.last_step = (0, 0)
        self.judge = Judge(self.search_columns, self.search_target, names, penalty, self.domain)
        self.final_judge = Judge(columns, target, names, penalty, self.domain)

    def remaining(self, reserve: float = 0.0) -> float | None:
        """Seconds left of the time limit, less `reserve`; None without a limit."""
        limit = self.settings.time_limit
        return None if limit is None else limit - reserve - (time.monotonic() - self.started)

    def weigh_noise(self, stage_formulas: Sequence[Formula] = ()) -> None:
        """For model_selection="best" with scaling, whether the noise grows with the value (see
        zor._noise.prefers_relative), each formula of the ladder's front (and `stage_formulas`, the
        parametric stage's) weighed under both models; the formulas are then fitted and ranked on their
        relative errors, the stage's formulas so far refitted."""
        settings = self.settings
        if not (settings.scaling and settings.model_selection == "best") or self.reached_goal() or (
                self.relative is not None):
            return
        judged = [f for f in map(self.judge.judge, self.merged.pareto()) if f is not None] + list(stage_formulas)
        if not judged or sign_of(self.target) is None or sign_of(self.search_target) is None:
            return
        operators = operator_names(settings.use_trig, settings.use_zor)
        searched = problem_for(self.search_columns, self.search_target, self.names, self.domain,
                               settings.complexity_penalty, operators, relative=True)
        # Each formula under both models: its least-squares fit, and its constants refitted on the log
        # ratios (as _relative_formula refits them), in one batch.
        refitted = log_fits(searched, [_relative_item(formula) for formula in judged])
        n = len(self.search_target)
        fits = []
        for formula, log_fit in zip(judged, refitted):
            with np.errstate(all="ignore"):
                residual = np.asarray(formula.predict(self.search_columns), dtype=np.float64) - self.search_target
            fits.append((formula.complexity, float(np.mean(residual * residual)),
                         None if log_fit is None else log_fit.sse / n))
        if prefers_relative(fits, self.search_target):
            self.relative = problem_for(self.columns, self.target, self.names, self.domain,
                                        settings.complexity_penalty, operators, relative=True)
            self.parametric = [self._relative_formula(formula) or formula for formula in self.parametric]

    def early_parameters(self) -> None:
        """The climb's first parametric stage, at the size a search without a time limit gives it (see
        EARLY_PARAMETERS_SIZE); once."""
        if self.early_seconds is not None:
            return
        started = time.monotonic()
        self.weigh_noise()
        self._parametric_stage(dataclasses.replace(self.settings, time_limit=None))
        self.early_seconds = time.monotonic() - started

    def fit_parameters(self) -> None:
        """With scaling, formulas with parameters inside (see zor._parameters), unless the search
        already reached its goal. When climbing, the stage at the size of a search without a time limit
        first, unless it ran early, then at the ladder's own size if the time left to it is more than the
        first took: the larger stage screens thousands of shapes and with less would run out of time
        before it fitted one."""
        if not self.settings.climbing:
            self._parametric_stage(self.settings)
            return
        self.early_parameters()
        left = self.remaining(self.sum_reserve + self.check_reserve)
        if left is not None and self.early_seconds is not None and left > self.early_seconds:
            self._parametric_stage(self.settings)

    def _parametric_stage(self, settings: SearchSettings) -> None:
        """The parametric stage at the size these settings give it, on the ladder's front so far, until the
        time limit less the shares of the stages after it; its formulas join those of earlier runs."""
        best = self.merged.best
        found = [(c["complexity"], c["rmse"]) for c in self.merged.by_complexity.values()]
        if not self.fitting or (best is not None and (
                self.goal >= best["score"]
                or not worth_fitting(self.settings, self.search_columns, self.search_target, found))):
            return
        limit = self.settings.time_limit
        self.announce("free parameters")
        front = [tuple(candidate["tokens"]) for candidate in self.merged.pareto()]
        formulas, cut_short = parametric_stage(
            self.search_columns, self.search_target, self.names, self.domain, settings, front,
            None if limit is None else self.started + limit - self.sum_reserve - self.check_reserve, self.columns, self.target,
            relative=self.relative is not None)
        self.parametric += formulas
        self.cut_short = self.cut_short or cut_short
        # A law with a constant inside may show noise relative to the value that the ladder's approximants,
        # fitted to the largest values, hide (a logistic from 1 % to 99 % of its plateau).
        self.weigh_noise(formulas)

    def reached_goal(self) -> bool:
        best = self.merged.best
        return best is not None and self.goal >= best["score"]

    def resume(self) -> bool:
        """Whether the ladder, cut short to leave the stages their shares of the time limit, may go on
        with what they left over (all but the check's share); it then may."""
        self.reserve = self.check_reserve
        remaining = self.remaining(self.reserve)
        return remaining is not None and remaining > 0.0 and not self.reached_goal()

    def announce(self, stage: str) -> None:
        """Names a stage after the ladder on the progress bar, if there is one."""
        if isinstance(self.listener, ProgressBar):
            self.listener.stage(stage)

    def formula(self, candidate: Candidate) -> Formula | None:
        """The candidate as a Formula: with scaling, fitted and snapped on the search's rows."""
        if not self.settings.scaling:
            return unscaled_formula(candidate, self.names, self.domain, self.target_mean_square,
                                    self.target_variance)
        return self.judge.judge(candidate)

    def search(self, columns: list[Column], target: Column, settings: SearchSettings, **control: Any) -> Outcome:
        """One native search; every call of _native.search goes through here."""
        return _native.search(columns, target, settings, keep_front=True, memory_limit=settings.memory_limit or 0,
                              **control)

    def step(self, step: int, complexity: int, width: int) -> bool:
        """Runs one search; True when the next step should follow."""
        offset = time.monotonic() - self.started
        self.last_step = (complexity, width)
        remaining = self.remaining(self.reserve)
        remaining = None if remaining is None else max(remaining, 0.0)
        settings = self.settings.at(complexity, width, precision_goal=self.goal)

        def on_level(report: Level) -> None:
            best = report["best"]
            level = LevelReport(step, complexity, width, report["level"], report["generated"], report["admitted"],
                                report["scored"], None if best is None else self.formula(best),
                                offset + report["elapsed_seconds"])
            self.levels.append(level)
            if self.listener is not None:
                self.listener(level)

        shards = None
        try:
            if self.cluster is not None:
                shards = ClusterSearch(self.cluster, self.search_columns, self.search_target, settings,
                                       deadline_after(remaining))
            outcome = self.search(self.search_columns, self.search_target, settings, time_limit=remaining,
                                  on_level=on_level, cluster=shards,
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
        for key in self.totals:
            self.totals[key] += outcome[key]  # type: ignore[literal-required]
        if outcome["cut_short"]:
            self.cut_short = True
            return False
        best = self.merged.best
        return best is None or not self.goal >= best["score"]

    def factor_searches(self) -> bool:
        """Searches y / x for the variables x of one sign (see FACTOR_AFTER); True when the ladder
        should go on. These searches run in this process, also for a cluster search, and report no
        levels: they are small next to the ladder's later steps."""
        fits: list[tuple[float, int]] = []
        for k, column in enumerate(self.search_columns):
            if not (np.all(column > 0.0) or np.all(column < 0.0)):
                continue
            fit = self._factor_search(k, *FACTOR_PROBE)
            if fit is None:
                return False
            fits.append((fit, k))
        if fits:
            fitted, k = min(fits)
            if math.isfinite(fitted) and self._factor_search(k, *FACTOR_DEEP) is None:
                return False
        scores = [formula.score for formula in map(self.judge.judge_tokens, self.factored) if formula is not None]
        return not any(self.goal >= score for score in scores)

    def _factor_search(self, k: int, complexity: int, width: int) -> float | None:
        """One scaled search of y / x_k; the relative error of its best fit, or None when the time is up."""
        remaining = self.remaining(self.reserve)
        if remaining is not None and remaining <= 0.0:
            self.cut_short = True
            return None
        quotient = np.ascontiguousarray(self.search_target / self.search_columns[k])
        try:
            goal = self.settings.precision_goal * _rms(quotient)
            outcome = self.search(self.search_columns, quotient,
                                  self.settings.at(complexity, width, scaling=True, precision_goal=goal),
                                  time_limit=remaining)
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
        rms = _rms(quotient)
        return math.inf if best is None or not rms > 0.0 else best["rmse"] / rms

    def find_sums(self) -> None:
        """The sums worth refitting on every row (see zor._sums), unless a single formula meets the
        precision goal: the linear model on the raw variables always, which costs one least-squares fit;
        then, unless the time is up, a pool of terms from the library, the ladder's shapes and searches of
        what the best sums leave over, screened and searched exactly."""
        best = self.merged.best
        if not self.summing or (best is not None and self.goal >= best["score"]):
            return
        rows, variables = len(self.search_target), len(self.names)
        if variables >= 2 and rows > variables + 1:
            self.sum_shapes.append(linear_shapes(variables))
        remaining = self.remaining(self.check_reserve)
        if remaining is not None and remaining <= 0.0:
            return
        terms = min(self.settings.max_terms, rows // ROWS_PER_COEFFICIENT - 1)
        if terms < 2:
            return
        self.announce("sums of terms")
        pool = TermPool(self.search_columns, self.search_target, terms)
        pool.add(term_library(len(self.names), self.settings.use_trig))
        if self.settings.use_trig:
            pool.add(periodic_terms(self.search_columns, self.search_target, terms))
        library = len(pool.shapes)
        pool.add(tuple(c["tokens"]) for c in self.merged.by_complexity.values() if c["scale"] != 0.0)
        pool.add(self.factored)
        first = RESIDUAL_SEARCHES[0]
        sizes = RESIDUAL_SEARCHES if self.settings.climbing else (
            (min(self.last_step[0], first[0]), min(self.last_step[1], first[1])),)
        for size in sizes:
            for residual in residual_targets(pool, self.search_target, library):
                shapes = self._residual_search(np.ascontiguousarray(residual), size)
                if shapes is None:
                    break
                pool.add_found(shapes, residual)
        self.sum_shapes += pool.candidates(library)

    def _residual_search(self, residual: Column, size: tuple[int, int]) -> list[Shape] | None:
        """The shapes of one scaled search of a residual, or None when the time is up."""
        remaining = self.remaining(SUM_FIT_SHARE * self.sum_reserve + self.check_reserve)
        if remaining is not None and remaining <= 0.0:
            self.cut_short = True
            return None
        rms = _rms(residual)
        if not rms > 0.0:
            return []
        try:
            outcome = self.search(self.search_columns, residual, self.settings.at(
                *size, scaling=True, precision_goal=self.settings.precision_goal * rms), time_limit=remaining)
        except MemoryError:
            return []
        return [tuple(c["tokens"]) for c in outcome["front"] if c["scale"] != 0.0]

    def check_search(self) -> None:
        """On few rows, the search's own held-out error (see CHECKED_ROWS), for model_selection="best" to
        weigh the linear model against; each of the five searches gets a fifth of the time left."""
        if not self.checking:
            return
        remaining = self.remaining()
        if remaining is None or remaining <= 0.0:
            return  # no time left: the formula's own held-out error stands in
        self.announce("the search without each fold")
        inner = dataclasses.replace(self.settings, time_limit=remaining / VALIDATION_FOLDS)

        def search(columns: list[Column], target: Column) -> Formula | None:
            return _discover(columns, target, self.names, inner, False, None, checking=False).best

        self.search_errors = search_held_out_errors(search, self.columns, self.target)

    def result(self) -> DiscoveryResult:
        if self.settings.scaling:
            front = self._scaled_front()
        else:
            front = tuple(unscaled_formula(candidate, self.names, self.domain, self.target_mean_square,
                                           self.target_variance) for candidate in self.merged.pareto())
        selection = str(self.settings.model_selection)
        kinds = operator_kinds(len(operator_names(self.settings.use_trig, self.settings.use_zor)), len(self.names))
        if self.relative is not None:
            front = tuple(dataclasses.replace(f, criterion=self._relative_criterion(f)) for f in front)
        elif self.settings.scaling:
            front = with_criterion(front, selection, self.columns, self.target, kinds)
        if self.settings.model_selection == "validation" and front:
            best: Formula | None = select_by_validation(front, self.columns, self.target)
        elif self.settings.model_selection == "description_length" and front:
            best = select_by_description_length(front, self.columns, self.target, kinds)
        elif self.settings.model_selection == "best" and front:
            chosen = min(front, key=lambda f: f.criterion) if self.relative is not None else select_best(
                front, len(self.target), math.sqrt(self.target_mean_square))
            chosen = best_predictor(chosen, front, self.columns, self.target, self.relative is not None)
            chosen = self._prefer_defined_past_rows(chosen, front)
            best = linear_unless_better(chosen, self.linear, self.columns, self.target, self.search_errors)
            if best not in front:  # the linear model, which simpler formulas beat on the rows but not beyond
                front = tuple(sorted(front + (best,), key=lambda formula: formula.complexity))
        elif self.settings.scaling:
            best = min(front, key=lambda f: (math.isnan(f.score), f.score), default=None)
        else:
            best = None if self.merged.best is None else unscaled_formula(
                self.merged.best, self.names, self.domain, self.target_mean_square, self.target_variance)
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
            noise="same" if self.relative is None else "relative",
        )

    def _scaled_front(self) -> tuple[Formula, ...]:
        """The candidates of every step, fitted and snapped on every row and
        defined over the box the data span and the gap beyond it where the next
        row may fall (see zor._domain.reach), then per complexity the lowest
        error (relative error, for noise relative to the value), kept where it
        beats every simpler one."""
        candidates = list(self.merged.by_complexity.values())
        if self.merged.best is not None:
            candidates.append(self.merged.best)
        judged = [(tuple(c["tokens"]), c.get("scale", 1.0) == 0.0) for c in candidates]
        judged += [(tokens, False) for tokens in self.factored]
        by_complexity: dict[int, tuple[float, Formula]] = {}
        self.offered = {}

        def offer(formula: Formula) -> None:
            error = self._ranking_error(formula)
            self.offered.setdefault(formula.complexity, []).append((error, formula))
            kept = by_complexity.get(formula.complexity)
            if kept is None or kept[0] > error:
                by_complexity[formula.complexity] = (error, formula)

        seen: set[tuple[Token, ...]] = set()
        for tokens, constant in judged:
            if tokens in seen:
                continue
            seen.add(tokens)
            formula = self.final_judge.judge_tokens(tokens, constant)
            if formula is None or not defined_over(formula.tokens, self.domain):
                continue  # undefined on a row, or between the rows
            if rounds_to_zero(formula.tokens, self.columns):
                continue  # zor(ln x, exp x) is rounding noise, which a scale of 1e23 fits to anything
            if kept_out_of_front(formula, self.columns, self.target):
                continue
            if self.relative is not None:
                formula = self._relative_formula(formula) or formula
            offer(formula)
        for formula in self.parametric:  # fitted and checked over the box by zor._parameters
            if not kept_out_of_front(formula, self.columns, self.target):
                offer(formula)
        linear = None
        for shapes in self.sum_shapes:
            formula = fit_sum(shapes, self.columns, self.target, self.names, self.settings.complexity_penalty,
                              self.domain)
            if formula is None:
                continue
            if shapes == linear_shapes(len(self.names)):
                linear = formula  # the baseline stays whatever its leverage
            elif kept_out_of_front(formula, self.columns, self.target):
                continue
            offer(formula)
        exact = EXACT_SHARE * (1.0 if self.relative is not None else math.sqrt(self.target_mean_square))
        front = tuple(formula for _, formula in pareto_front(by_complexity, lambda entry: entry[0], exact))
        self.linear = linear
        return front

    def _past_rows_front(self, front: tuple[Formula, ...]) -> tuple[Formula, ...]:
        """The Pareto front of the formulas offered to the front that stay defined on the reach, less those
        of `front`: per complexity, the lowest error among them (checked in order of error, so that the
        box check runs only as far as it must)."""
        past_rows: dict[int, tuple[float, Formula]] = {}
        for complexity, offered in self.offered.items():
            for error, formula in sorted(offered, key=lambda entry: entry[0]):
                if self._defined_past_rows(formula):
                    past_rows[complexity] = (error, formula)
                    break
        exact = EXACT_SHARE * (1.0 if self.relative is not None else math.sqrt(self.target_mean_square))
        return tuple(formula for _, formula in pareto_front(past_rows, lambda entry: entry[0], exact)
                     if formula not in front)

    def _defined_past_rows(self, formula: Formula) -> bool:
        """Whether the formula stays defined where the next row may fall (see zor._domain.reach); a formula
        exact to the precision goal is the law, and counts as defined wherever it is."""
        return not formula.error > self.goal or defined_over(formula.tokens, self.reach)

    def _prefer_defined_past_rows(self, chosen: Formula, front: tuple[Formula, ...]) -> Formula:
        """`chosen`, unless it is undefined just past the rows (ln(year) on years from 1, 1/√a on distances
        from near 0) and the formula defined there with the lowest criterion is within the noise of the
        difference of their criteria (see _criterion_noise). The next row may fall there, but the rows
        cannot tell what happens beyond them: a law that fits clearly better stays chosen, and predict
        answers such a row with NaN and a warning."""
        if self._defined_past_rows(chosen):
            return chosen
        kinds = operator_kinds(len(operator_names(self.settings.use_trig, self.settings.use_zor)), len(self.names))
        others = [f for f in front if f is not chosen and self._defined_past_rows(f)]
        past_rows = self._past_rows_front(front)
        if self.relative is not None:
            others += [dataclasses.replace(f, criterion=self._relative_criterion(f)) for f in past_rows]
        else:
            others += with_criterion(past_rows, "best", self.columns, self.target, kinds)
        alternative = min(others, key=lambda formula: formula.criterion, default=None)
        if alternative is not None and alternative.criterion - chosen.criterion <= self._criterion_noise(chosen,
                                                                                                      alternative):
            return alternative
        return chosen

    def _criterion_noise(self, first: Formula, second: Formula) -> float:
        """How far apart the two formulas' information criteria may lie by chance: REACH_Z times the
        standard error of their difference, −2 times the sum over the rows of the difference of their
        Gaussian log-likelihoods (Vuong's test of non-nested models, Econometrica 57, 1989)."""
        n = len(self.target)
        residuals = []
        for formula in (first, second):
            with np.errstate(all="ignore"):
                predicted = np.asarray(formula.predict(self.columns), dtype=np.float64)
            if self.relative is not None:
                residuals.append(np.log(predicted / self.target))
            else:
                residuals.append(predicted - self.target)
        terms = []
        for residual in residuals:
            variance = float(np.mean(residual * residual))
            if not (np.all(np.isfinite(residual)) and variance > 0.0):
                return 0.0
            terms.append(math.log(variance) + residual * residual / variance)  # −2 × the row's log-likelihood
        return REACH_Z * math.sqrt(n) * float(np.std(terms[0] - terms[1]))

    def _ranking_error(self, formula: Formula) -> float:
        """The error the front ranks a formula by: its root mean square error, or for noise relative to
        the value its relative error (see zor._noise)."""
        if self.relative is None:
            return formula.error
        return relative_error(np.asarray(formula.predict(self.columns)), self.target)

    def _relative_criterion(self, formula: Formula) -> float:
        """The information criterion of model_selection="best" on the relative error."""
        return information_criterion(dataclasses.replace(formula, error=self._ranking_error(formula)),
                                     len(self.target), 1.0)

    def _relative_formula(self, formula: Formula) -> Formula | None:
        """A formula of the ladder with its constants refitted for noise relative to the value; its exact
        scale and offset stay (an exact offset under a fitted scale is fitted too); None where the refit
        fails."""
        assert self.relative is not None
        used = formula.constants
        tokens, full, free = _relative_item(formula)
        k = len(full) - 2
        fitted = log_fits(self.relative, [(tokens, full, free)])[0]
        if fitted is None:
            return None
        exact = {k + i: value for i, value in enumerate((used.exact_scale, used.exact_offset))
                 if value is not None and not free[k + i]}
        refitted: Formula | None = formula_from_fit(self.relative, fitted, exact, fitted)  # type: ignore[assignment]
        return refitted
