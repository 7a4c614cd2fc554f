"""One discover call's state, handed from the ladder to each stage after it and on to the front: the data
(and the subsample the searches run on), the settings, the clock and the shares of a time limit the stages
keep, the listener, and what each step adds (the ladder's merged front, the factor searches' candidates,
the parametric stage's formulas, the noise model, the sums' shapes, the search's own held-out errors)."""

from __future__ import annotations

import math
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import numpy as np

from zor import _native
from zor._constants import exact_candidates, exact_value
from zor._data import Column, rms, subsample_rows
from zor._domain import box_of, reach
from zor._expression import Token
from zor._fit import VALIDATION_FOLDS, Judge, unscaled_formula
from zor._groups import reduce
from zor._parameter_fits import Problem
from zor._parameters import PARAMETER_SHARE
from zor._progress import ProgressBar
from zor._results import Formula, LevelReport, pareto_front
from zor._settings import SearchSettings
from zor._stages import CHECK_SHARE, CHECKED_ROWS, SUM_SHARE
from zor._units import Units

if TYPE_CHECKING:
    from zor._native import Candidate, Outcome
    from zor._sums import Shape


# How near b/a must be to an exact value to be written as one, relative to its size (at least 1); an
# offset b below this share of the root mean square of y / P is rounding, and left out.
EXACT_SHIFT = 1e-12


@dataclass
class _Merged:
    """Best and per-complexity front over the steps of one discover call."""

    best: Candidate | None = None
    by_complexity: dict[int, Candidate] = field(default_factory=dict)

    def add(self, outcome: Outcome, expand: Callable[[Candidate], Candidate]) -> None:
        # Strict comparisons: among equal scores the earlier candidate stays,
        # and a NaN score neither replaces nor is replaced, as in the search.
        best = None if outcome["best"] is None else expand(outcome["best"])
        if best is not None and (self.best is None or self.best["score"] > best["score"]):
            self.best = best
        for candidate in map(expand, outcome["front"]):
            kept = self.by_complexity.get(candidate["complexity"])
            if kept is None or kept["score"] > candidate["score"]:
                self.by_complexity[candidate["complexity"]] = candidate

    def pareto(self) -> Iterator[Candidate]:
        yield from pareto_front(self.by_complexity, lambda candidate: candidate["rmse"])


class Run:
    """The steps of one discover call and what they found."""

    def __init__(self, columns: list[Column], target: Column, names: tuple[str, ...], settings: SearchSettings,
                 listener: Callable[[LevelReport], Any] | None, cluster: Any, checking: bool,
                 units: Units | None = None) -> None:
        self.columns, self.target, self.names, self.listener = columns, target, names, listener
        self.settings, self.cluster = settings, cluster
        self.started = time.monotonic()
        self.levels: list[LevelReport] = []
        self.merged = _Merged()
        self.totals = {"generated": 0, "admitted": 0, "scored": 0, "pruned": 0}
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
        # With units, the ladder searches the dimensionless groups for y / P (see zor._groups), and each
        # candidate it finds is written out over the variables (`expanded`) before anything else sees it.
        self.units = units
        self.reduction = None if units is None or not settings.scaling else reduce(units, columns)
        self.groups = () if self.reduction is None else self.reduction.describe(names)
        alone = None  # y = c·P, where the units leave no other law
        if self.reduction is not None and not self.reduction.groups:
            # Offered, and the ladder runs as without units.
            alone = self.reduction.factor_tokens
            self.factored.append(alone)
            self.reduction = None
        self.ladder_columns, self.ladder_target = self.search_columns, self.search_target
        # The searches over the variables themselves never build a formula that breaks the dimension
        # rules (a sum of unequal dimensions, a dimensional operand of exp, ln, sin, cos or zor); the
        # groups are dimensionless, so over them there is nothing to leave out.
        self.variable_dimensions = None if units is None else units.exponents()
        self.ladder_dimensions = self.variable_dimensions if self.reduction is None else None
        if self.reduction is not None:
            self.ladder_columns = self.reduction.columns(self.search_columns)
            self.ladder_target = self.reduction.target(self.search_columns, self.search_target)
        self.ladder_spread = rms(self.ladder_target)
        # With scaling the precision goal is a share of the targets' root mean square, so that the
        # data's units (G = 6.674e-11 N m²/kg², or F in meganewtons) change nothing but the constants;
        # without it the search is find_formula's, whose goal is in the targets' units.
        self.goal = settings.precision_goal
        if settings.scaling:
            self.goal *= rms(self.ladder_target)
        penalty = settings.complexity_penalty
        self.domain = box_of(columns)
        self.reach = reach(columns)
        self.summing = settings.scaling and settings.max_terms >= 2
        self.fitting = settings.scaling and settings.max_parameters > 0
        self.checking = (checking and settings.scaling and settings.model_selection == "best"
                         and len(names) >= 2 and 2 * VALIDATION_FOLDS <= len(target) <= CHECKED_ROWS)
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
        # Per complexity, the formulas offered to the front with the errors it ranks them by (see zor._front.scaled_front).
        self.offered: dict[int, list[tuple[float, Formula]]] = {}
        self.last_step = (0, 0)
        self.judge = Judge(self.search_columns, self.search_target, names, penalty, self.domain)
        self.final_judge = Judge(columns, target, names, penalty, self.domain)
        formula = None if alone is None else self.judge.judge_tokens(alone)
        if formula is not None and self.goal >= formula.score:  # exact: the ladder has nothing left to find
            found: Candidate = {"formula": formula.formula, "tokens": list(formula.tokens), "score": formula.score,
                                "rmse": formula.error, "complexity": formula.complexity, "scale": formula.scale,
                                "offset": formula.offset}
            exact: Outcome = {"best": found, "front": [found]}  # type: ignore[typeddict-item]
            self.merged.add(exact, lambda candidate: candidate)
        self.ladder_judge = self.judge if self.reduction is None else Judge(
            self.ladder_columns, self.ladder_target, tuple(f"π{k + 1}" for k in range(len(self.ladder_columns))),
            penalty, box_of(self.ladder_columns))

    def expand(self, tokens: tuple[Token, ...], scale: float = 1.0, offset: float = 0.0,
               factor: tuple[Token, ...] = (), inexact: bool = True) -> tuple[Token, ...]:
        """A formula of the ladder over the variables: as it is, or P times it with each group written out.
        A formula a·f + b of the groups is P·(f + b/a) over the variables, b/a written in (as an exact
        value where it is one to rounding; a b/a that is not is left out unless `inexact`): a·P·f alone
        would lose the b·P of y = P·(a·f + b). A factor search's x·(a·g + b) is P·x·(g + b/a), its
        `factor` the tokens that multiply by x."""
        if self.reduction is None:
            return tokens + factor
        shift = self._shift(scale, offset)
        if shift is not None and (shift[1] or inexact):
            tokens = tokens + (("const", shift[0]), ("op", "Add"))
        return self.reduction.expand(tokens + factor)

    def _shift(self, scale: float, offset: float) -> tuple[float, bool] | None:
        """b/a of a formula a·f + b of the groups, and whether it is an exact value; None where b is rounding."""
        if not (abs(offset) > EXACT_SHIFT * self.ladder_spread and scale != 0.0 and math.isfinite(offset / scale)):
            return None
        shift = offset / scale
        near = list(exact_candidates(shift, EXACT_SHIFT * max(1.0, abs(shift))))
        return (exact_value(near[0]), True) if near else (shift, False)

    def expanded(self, candidate: Candidate) -> Candidate:
        """A candidate of the ladder with its tokens over the variables (see expand), its scale and offset
        snapped on y / P first where the data allow. Where b/a is no exact value (noisy data), the sum
        a·(P·f) + b·P takes its place, each coefficient fitted with its error and snapped on its own, and
        P·f is offered alone, for a b/a that is 0 within its error."""
        if self.reduction is None:
            return candidate
        tokens, scale, offset = tuple(candidate["tokens"]), candidate.get("scale", 1.0), candidate.get("offset", 0.0)
        judged = self.ladder_judge.judge_tokens(tokens) if offset != 0.0 and scale != 0.0 else None
        if judged is not None and judged.constants.used_scale != 0.0:
            tokens, scale, offset = judged.tokens, judged.constants.used_scale, judged.constants.used_offset
        return {**candidate, "tokens": list(self.written(tokens, scale, offset))}

    def written(self, tokens: tuple[Token, ...], scale: float, offset: float,
                factor: tuple[Token, ...] = ()) -> tuple[Token, ...]:
        """expand's formula, with the sum and the formula without b/a that go with it (see expanded)
        offered as well."""
        if self.reduction is None:
            return tokens + factor
        unshifted, shift = self.expand(tokens, factor=factor), self._shift(scale, offset)
        summed = self.summing and bool(self.reduction.factor_tokens)
        if shift is not None and unshifted not in self.factored:
            self.factored.append(unshifted)
        # With a factor (x_k and a Mul), the sum's second term is P·x_k.
        sum_shape = (unshifted, self.reduction.expand(factor[:-1]) if factor else self.reduction.factor_tokens)
        if shift is not None and summed and sum_shape not in self.sum_shapes:
            self.sum_shapes.append(sum_shape)
        return self.expand(tokens, scale, offset, factor, inexact=not summed)

    def remaining(self, reserve: float = 0.0) -> float | None:
        """Seconds left of the time limit, less `reserve`; None without a limit."""
        limit = self.settings.time_limit
        return None if limit is None else limit - reserve - (time.monotonic() - self.started)

    def reached_goal(self) -> bool:
        best = self.merged.best
        return best is not None and self.goal >= best["score"]

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

    def search(self, columns: list[Column], target: Column, settings: SearchSettings,
               dimensions: list[list[float]] | None = None, **control: Any) -> Outcome:
        """One native search; every call of _native.search goes through here. `dimensions`: the columns'
        (ladder_dimensions or variable_dimensions), None without units."""
        return _native.search(columns, target, settings, keep_front=True, memory_limit=settings.memory_limit or 0,
                              dimensions=dimensions, **control)
