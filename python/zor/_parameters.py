"""Free parameters inside formulas: shapes such as exp(c0·x) or x/(x + c0), fitted by least squares.

The search finds formulas whose constants sit outside, y = a·f + b. A law whose constants sit inside a
function (a + b·exp(−t/θ), Vm·c/(K + c), exp(A − B/(T + C))) needs its inner constants fitted as well:
here they are the ("param", index, value) tokens of a formula, fitted jointly with the scale a and the
offset b by Eigen's Levenberg–Marquardt in zor._native (fit_parameters, and fit_parameters_batch for many
fits at once on the worker pool), with exact derivatives by forward mode over the token list.

Where the shapes come from:

- every small formula the operator table builds from the variables and parameter leaves, up to a
  number of tokens and parameters (`enumerate_shapes`), the duplicates dropped by their values at fixed
  parameter values on a fixed probe, and the affine repeats (f + c, c·f) left to the outer scale and
  offset;
- the sums f + c·g of the best short one-parameter shapes (a biexponential decay; `pair_shape`);
- a cycle the periodogram shows times an envelope, started at the peak (a damped oscillator;
  zor._oscillations);
- the search's own front, with a parameter at each literal constant.

Each shape is screened on a fixed grid of parameter values (the scale and offset solved linearly at each
point) on a few rows, and the best ones are fitted from their best grid points on every row. A fit that
fails to converge, gives a non-finite value on a row, is undefined over the box the data span, or whose
parameters are not determined by the data (a singular Jacobian) is dropped. Everything is fixed by the
data and the settings, so the result is the same on every run; a time limit only cuts the stage short.

Each fitted parameter carries its standard error and 95 % interval (zor._uncertainty.Parameter), and
snaps to an exact constant only where that lies within two standard errors and lowers the description
length (zor._description_length).
"""

from __future__ import annotations

import math
import time
from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

import numpy as np

from zor import _native
from zor._domain import Box
from zor._derivatives import Array, number_parameters, parameter_count
from zor._expression import Token
from zor._parameter_fits import Fit, Problem, fit_shapes, offset_free_fits, problem_for
from zor._oscillations import envelope_cycle_shapes
from zor._parameter_snapping import formula_from_fit, snap_parameters
from zor._shapes import PARAM, SCREEN_ROWS, grid, pair_shape, pair_starts, screen, screen_rows, shapes_for

if TYPE_CHECKING:
    from zor._results import Formula
    from zor._settings import SearchSettings


# Shapes fitted in one native batch between two looks at the time limit.
FIT_BATCH = 16
# Starting points of each sum of two terms.
PAIR_STARTS = 3
# Shapes of at most this many tokens are fitted whatever their screen.
ALWAYS_FITTED = 4


@dataclass(frozen=True)
class StageSize:
    """How much work the parametric stage does: fixed, so that its result does not depend on time."""

    max_tokens: int  # the largest enumerated shape with one parameter (one more token with two or more)
    max_params: int  # parameters per formula (inner ones)
    fits: int  # shapes fitted after the screen
    pair_terms: int  # best one-parameter shapes combined in sums f + c·g (0: none)
    kept: int  # fits made formulas (snapped and checked over the box)


# On at most this many rows (those the screen takes all of) a search without a time limit gets the stage
# it gets with one. The search's short approximants fit a few noisy rows as closely as a law with a
# constant inside does (sqrt(exp(t)) + b for a·exp(c·t), a cosine for a logistic), so on such data the
# law is found here or not at all; and there the stage's cost is its fixed number of shapes (a second
# or two), not a multiple of the rows. It needs ROWS_PER_CONSTANT rows per constant of its largest fits
# (the inner parameters, a scale and an offset): on fewer, thousands of shapes with as many constants
# as rows interpolate them instead of measuring anything.
FEW_ROWS = SCREEN_ROWS
ROWS_PER_CONSTANT = 2


def stage_size(max_params: int, variables: int, climbing: bool, rows: int | None = None) -> StageSize:
    """The work of the stage: more with a time limit to climb in or on at most FEW_ROWS rows, smaller shapes
    over more variables."""
    climbing = climbing or (rows is not None and ROWS_PER_CONSTANT * (max_params + 2) <= rows <= FEW_ROWS)
    tokens = (6 if climbing else 4) - min(max(variables - 1, 0), 2)
    return StageSize(max_tokens=max(tokens, 3), max_params=max_params, fits=60 if climbing else 12,
                     pair_terms=(6 if climbing else 2) if max_params >= 3 else 0, kept=12 if climbing else 4)


# With a time limit, the share of it the search leaves to the parametric stage.
PARAMETER_SHARE = 0.15
# With a deadline, the share of the stage's time the screen may take: the fits after it are what the stage is
# for, and a screen cut short by the deadline itself would leave none of them (the screen of thousands of
# shapes costs several times what fitting the best sixty does).
SCREEN_SHARE = 0.75


@dataclass
class StageReport:
    """What the stage did: shapes enumerated, screened and fitted, formulas kept, seconds, and whether
    the time limit cut it short."""

    enumerated: int = 0
    screened: int = 0
    fitted: int = 0
    kept: int = 0
    seconds: float = 0.0
    cut_short: bool = False
    # Seconds of each part: enumeration and screen, fits of the enumerated shapes, of the sums of two
    # terms, of the cycles times envelopes, of the search's front with parameters, and snapping with the
    # making of formulas.
    parts: dict[str, float] = field(default_factory=dict)
    # Formulas kept from each source.
    sources: dict[str, int] = field(default_factory=dict)

    def lap(self, part: str, since: float) -> float:
        now = time.monotonic()
        self.parts[part] = self.parts.get(part, 0.0) + now - since
        return now


def _criterion(sse: float, rows: int, complexity: int, floor: float) -> float:
    """The information criterion the stage ranks fits by (as model_selection="best" ranks formulas)."""
    return rows * math.log(max(sse, floor, 1e-300) / rows) + complexity * math.log(rows)


def parametric_formulas(problem: Problem, size: StageSize, operators: Sequence[str],
                        front_tokens: Sequence[tuple[Token, ...]], deadline: float | None,
                        report: StageReport | None = None) -> list[object]:
    """The parametric stage: shapes enumerated and screened, the most promising fitted, sums of the best
    one-parameter terms and the search's front with parameters fitted too; the best fits snapped and
    made Formulas. Stops early (report.cut_short) once time.monotonic() passes `deadline`; the screen stops
    at SCREEN_SHARE of the time to it, so that the best of the shapes screened are fitted."""
    report = report if report is not None else StageReport()
    started = time.monotonic()
    y = problem.target
    n = len(y)
    if n < 4 or not problem.variance > 0.0 or size.max_params <= 0:
        return []
    rows = screen_rows(n)
    screen_columns = [np.ascontiguousarray(column[rows]) for column in problem.columns]
    screen_y = np.ascontiguousarray(y[rows])
    m = len(screen_y)
    floor = problem.sse_floor

    def late() -> bool:
        past = deadline is not None and time.monotonic() > deadline
        report.cut_short = report.cut_short or past
        return past

    shapes = shapes_for(len(problem.columns), size.max_tokens, size.max_params, tuple(operators), deadline)
    if shapes is None:
        report.cut_short = True
        report.seconds = time.monotonic() - started
        return []
    report.enumerated = len(shapes)
    # For noise relative to the value the screen weighs each row by 1/y², the first-order form of the
    # Σ ln(m / y)² the shapes are fitted on: unweighted, it ranks shapes by the largest values alone, and
    # a law that holds over decades (a·x^c) ranks below shapes that only bend to the top rows.
    weights = 1.0 / (screen_y * screen_y) if problem.relative else None
    grids = {count: grid(count) for count in range(1, size.max_params + 1)}
    screened: list[tuple[float, int, tuple[Token, ...], Array]] = []
    screen_until = None if deadline is None else time.monotonic() + SCREEN_SHARE * (deadline - time.monotonic())
    for order, shape in enumerate(shapes):
        if order % 64 == 0 and (late() or (screen_until is not None and time.monotonic() > screen_until)):
            report.cut_short = True  # the best of the shapes screened so far are fitted in the time left
            break
        count = parameter_count(shape)  # one parameter's grid is fine already
        points = screen(shape, screen_columns, screen_y, grids[count], 1, refine=count > 1, weights=weights)
        report.screened += 1
        if points:
            sse, start = points[0]
            screened.append((_criterion(sse * n / m, n, len(shape) + 2, floor), order, shape, start))
    # The shortest shapes are fitted whatever their screen, then the others by it.
    screened.sort(key=lambda entry: (len(entry[2]) > ALWAYS_FITTED, entry[0], entry[1]))
    fits: list[tuple[float, int, Fit]] = []
    source: dict[int, str] = {}
    clock = report.lap("screen", started)

    def add(fitted: Fit | None, kind: str) -> None:
        report.fitted += 1
        if fitted is not None:
            source[len(fits)] = kind
            fits.append((_criterion(fitted.sse, n, len(fitted.tokens) + 2, floor), len(fits), fitted))

    def fit_all(items: Iterator[tuple[tuple[Token, ...], list[Array]]], kind: str) -> None:
        """Fits the shapes FIT_BATCH at a time, the time limit looked at before each shape."""
        batch: list[tuple[tuple[Token, ...], list[Array]]] = []
        for item in items:
            if late():
                break
            batch.append(item)
            if len(batch) == FIT_BATCH:
                for fitted in fit_shapes(problem, batch):
                    add(fitted, kind)
                batch = []
        for fitted in fit_shapes(problem, batch):
            add(fitted, kind)

    fit_all(((shape, [start]) for _, _, shape, start in screened[:size.fits]), "enumerated")
    clock = report.lap("enumerated", clock)
    singles = sorted((entry for entry in fits if parameter_count(entry[2].tokens) == 1
                      and len(entry[2].tokens) <= ALWAYS_FITTED), key=lambda e: e[:2])
    terms = [entry[2].tokens for entry in singles[:size.pair_terms]]
    fit_all(((pair_shape(first, second), pair_starts(first, second, screen_columns, screen_y, PAIR_STARTS))
             for i, first in enumerate(terms) for second in terms[i:]), "sums")
    clock = report.lap("sums", clock)
    fit_all(iter(envelope_cycle_shapes(problem.columns, y, size.max_params)), "cycles")
    clock = report.lap("cycles", clock)

    def front_shapes() -> Iterator[tuple[tuple[Token, ...], list[Array]]]:
        for tokens in front_tokens:
            constants = [float(token[1]) for token in tokens if token[0] == "const"]
            if 1 <= len(constants) <= size.max_params:
                yield number_parameters([PARAM if token[0] == "const" else token for token in tokens]), [np.array(constants)]

    fit_all(front_shapes(), "front")
    clock = report.lap("front", clock)
    if not late():
        for order, fitted in zip([entry[1] for entry in fits], offset_free_fits(problem, [entry[2] for entry in fits])):
            if fitted is not None:
                source[len(fits)] = source[order]
                fits.append((_criterion(fitted.sse, n, len(fitted.tokens) + 1, floor), len(fits), fitted))
        clock = report.lap("offset free", clock)
    fits.sort(key=lambda entry: entry[:2])
    formulas: list[object] = []
    seen: set[bytes] = set()
    for _, order, fitted in fits:
        if len(formulas) >= size.kept:
            break
        # Past the deadline the fits made so far still become formulas, without the refits of snapping.
        snapped, exact, original = (fitted, {}, fitted) if late() else snap_parameters(problem, fitted)
        formula = formula_from_fit(problem, snapped, exact, original)
        if formula is None:
            continue
        key = np.round(np.asarray(formula.predict(problem.columns)) / (math.sqrt(problem.mean_square) or 1.0),  # type: ignore[attr-defined]
                       10).tobytes()
        if key not in seen:  # a reparametrisation of a formula already kept
            seen.add(key)
            formulas.append(formula)
            report.sources[source[order]] = report.sources.get(source[order], 0) + 1
    report.lap("formulas", clock)
    report.kept = len(formulas)
    report.seconds = time.monotonic() - started
    return formulas


def operator_names(use_trig: bool, use_zor: bool) -> list[str]:
    """The operators the stage builds shapes from, by the search's settings."""
    names = []
    for row in _native.OPERATORS:
        name = row["name"]
        if (name in ("Sin", "Cos") and not use_trig) or (name == "Zor" and not use_zor):
            continue
        names.append(name)
    return names


def parametric_stage(columns: Sequence[Array], target: Array, names: tuple[str, ...], domain: Box,
                     settings: SearchSettings, front_tokens: Sequence[tuple[Token, ...]],
                     deadline: float | None, all_columns: Sequence[Array] | None = None,
                     all_target: Array | None = None, relative: bool = False,
                     size: StageSize | None = None) -> tuple[list[Formula], bool]:
    """The parametric stage of a scaled search with these settings (see parametric_formulas), fitted on
    the rows the search ran on (for noise relative to the value when `relative`); its formulas, judged on
    every row (`all_columns`, `all_target`) when those are more, and whether the deadline cut it short.
    `size`: the stage's size (default: stage_size's for these settings, columns and rows)."""
    if settings.max_parameters == 0 or not settings.scaling:
        return [], False
    operators = operator_names(settings.use_trig, settings.use_zor)
    problem = problem_for(columns, target, names, domain, settings.complexity_penalty, operators, relative)
    report = StageReport()
    formulas: list[Formula] = parametric_formulas(  # type: ignore[assignment]
        problem, size or stage_size(settings.max_parameters, len(columns), settings.climbing, len(target)), operators,
        front_tokens, deadline, report)
    if all_columns is not None and all_target is not None and len(all_target) > len(target):
        judged = (judged_on(formula, all_columns, all_target, settings.complexity_penalty) for formula in formulas)
        formulas = [formula for formula in judged if formula is not None]
    return formulas, report.cut_short


def judged_on(formula: Formula, columns: Sequence[Array], target: Array, penalty: float) -> Formula | None:
    """The formula with its error, relative error, R² and score on these rows; None where it is not
    finite on one of them."""
    import dataclasses

    predicted = formula.predict(list(columns))
    if not np.all(np.isfinite(predicted)):
        return None
    error = float(np.sqrt(np.mean((predicted - target) ** 2)))
    mean_square, variance = float(np.mean(target * target)), float(np.var(target))
    return dataclasses.replace(
        formula, error=error, score=_native.penalised_score(error, formula.complexity, penalty),
        relative_error=error / math.sqrt(mean_square) if mean_square > 0 else math.nan,
        r2=1.0 - error * error / variance if variance > 0 else math.nan)
