"""What a search finds: formulas over named variables, level reports and the result with its Pareto
front, and the rules that pick the front and the best formula from the candidates."""

from __future__ import annotations

import importlib.util
import math
import os
import sys
import warnings
from collections.abc import Sequence
from dataclasses import dataclass, field
from functools import cached_property
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import NDArray

from zor import _display, _files, _native
from zor._constants import Exact, Snapped, affine_latex, affine_python, affine_sympy, affine_values
from zor._data import columns_for
from zor._domain import defined_over, outside_note, range_text, undefined_rows
from zor._expression import Token, latex_needs_brackets, latex_parts, to_python, to_simplified_text, to_sympy
from zor._terms import Term, sum_latex, sum_python, sum_sympy
from zor._uncertainty import Parameter, parameters_text

if TYPE_CHECKING:
    import pandas
    import sympy
    from matplotlib.axes import Axes

# How much lower than every simpler formula's error a formula's error must be
# to join the Pareto front.
PARETO_RELATIVE_GAIN = 1e-9

# Errors below this share of the targets' root mean square count as exact: a
# formula exact to rounding does not win over a simpler exact one by rounding.
EXACT_SHARE = 1e-12


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

    A sum of terms, offset + a₁·f₁ + a₂·f₂ + … (see zor._sums), has its
    `terms` (each a shape with its coefficient, see zor._terms.Term), a scale
    of 1, and as `tokens` the whole sum that predict evaluates.

    `parameters` holds a formula's fitted inner parameters (its ("param",
    index, value) tokens) and, with them, its scale and offset, each with its
    standard error and 95 % interval (see zor._parameters); `criterion` is the
    value of the model selection's criterion for a front entry (lower is
    better). Where the search was given units, `units` holds the unit of
    each fitted constant, as (name, unit) pairs: the inner parameters c0,
    c1, ..., a sum's coefficients a1, a2, ..., the scale and the offset.
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
    domain: tuple[tuple[float, float], ...] | None = None
    terms: tuple[Term, ...] = ()
    parameters: tuple[Parameter, ...] = ()
    criterion: float = math.nan
    units: tuple[tuple[str, str], ...] = ()

    @property
    def constants(self) -> Snapped:
        return Snapped(self.scale, self.offset, self.exact_scale, self.exact_offset)

    @property
    def latex(self) -> str:
        """The formula in LaTeX, without math delimiters."""
        if self.terms:
            return affine_latex(sum_latex(self.terms, self.variable_names), False, self.constants)
        body, kind = latex_parts(self.tokens, self.variable_names)
        return affine_latex(body, latex_needs_brackets(kind), self.constants)

    @property
    def python(self) -> str:
        """Python source defining f, one argument per variable, and zor with its guards when used."""
        source = to_python(self.tokens, self.variable_names,
                           sum_python(self.terms, self.variable_names) if self.terms else None)
        head, _, body = source.rpartition("    return ")
        return f"{head}    return {affine_python(body.rstrip(), self.constants)}\n"

    def to_sympy(self) -> sympy.Expr:
        """The formula as a SymPy expression (needs the `sympy` extra); zor(a, b) becomes exp(a) - log(b).
        Exact constants become Rationals times pi, sqrt(2), ...; fitted ones Floats."""
        body = sum_sympy(self.terms, self.variable_names) if self.terms else to_sympy(self.tokens,
                                                                                   self.variable_names)
        return affine_sympy(body, self.constants)

    @cached_property
    def simplified(self) -> str:
        """The formula as SymPy writes it, simplified ((L + L) is 2*L, zor(a, b) is exp(a) - log(b)),
        when the `sympy` extra is installed; otherwise `formula`, the native text."""
        if importlib.util.find_spec("sympy") is None:
            return self.formula
        if (self.scale == 1.0 and self.offset == 0.0 and self.exact_scale is None and self.exact_offset is None
                and not self.terms):
            return to_simplified_text(self.tokens, self.variable_names)
        import sympy

        return str(sympy.sstr(self.to_sympy()))

    def _repr_latex_(self) -> str:
        return f"${self.latex}$"

    def predict(self, X: Any) -> NDArray[np.float64]:
        """The formula's value on every row of X; NaN where it is undefined, with a RuntimeWarning that
        names the first variable outside the range the formula was fitted on (`domain`). A zor whose
        guards take over counts as undefined unless the formula leans on them where it was fitted (as a
        search without scaling may).

        X takes the same forms as discover's X; a DataFrame's columns are matched by name.
        """
        return self._predict(X)

    def _predict(self, X: Any) -> NDArray[np.float64]:
        # Called straight from the public predict methods: a warning names their caller's line.
        columns = columns_for(X, self.variable_names)
        values = np.asarray(_native.evaluate(list(self.tokens), columns), dtype=np.float64)
        if self.domain is not None:
            undefined = undefined_rows(self.tokens, columns) if self._guard_free else ~np.isfinite(values)
            if np.any(undefined):
                values[undefined] = math.nan
                warnings.warn(f"{self.formula} is undefined at {int(np.sum(undefined))} of {len(values)} rows, "
                              f"which give NaN: {outside_note(columns, undefined, self.domain, self.variable_names)}",
                              RuntimeWarning, stacklevel=3)
        return np.asarray(affine_values(values, self.constants), dtype=np.float64)

    @cached_property
    def _guard_free(self) -> bool:
        """Whether zor's guards stay out of the formula over its domain, so that a guard taking over on
        new data is a value the formula does not have (a search without scaling may lean on them)."""
        return self.domain is not None and defined_over(self.tokens, self.domain)

    def __str__(self) -> str:
        return self.formula

    def __repr__(self) -> str:
        parameters = f", parameters={parameters_text(self.parameters)!r}" if self.parameters else ""
        units = f", units={self.units_text()!r}" if self.units_text() else ""
        return (f"Formula({self.formula!r}, complexity={self.complexity}, error={_short(self.error)}{parameters}"
                f"{units})")

    def units_latex(self) -> str:
        """units_text in LaTeX, for a line beside `latex`: \\text{scale}: \\mathrm{m}^{3}/(...)."""
        from zor._units import unit_latex

        return ",\\quad ".join(f"\\text{{{name}}}: {unit_latex(unit)}" for name, unit in self._units_used())

    def units_text(self) -> str:
        """The units of the constants the formula uses, 'scale: m³/kg/s²; c0: 1/s' (a scale of 1 and an
        offset of 0 left out); '' without units."""
        return "; ".join(f"{name}: {unit}" for name, unit in self._units_used())

    def _units_used(self) -> list[tuple[str, str]]:
        used = self.constants
        skip = {"scale"} if used.used_scale in (0.0, 1.0) and not self.terms else set()
        if used.used_offset == 0.0:
            skip.add("offset")
        return [(name, unit) for name, unit in self.units if name not in skip]


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
    pruned: int = 0  # with units: the children left out for breaking the dimension rules


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
    pruned: int = 0
    elapsed_seconds: float = 0.0
    # The discover arguments (None: left to discover), the name of the target
    # when known, and the targets' statistics behind relative_error and r2.
    settings: dict[str, Any] = field(default_factory=dict, hash=False)
    target_name: str | None = None
    target_mean_square: float = math.nan
    target_variance: float = math.nan
    # The noise the best formula was chosen for: "same" on every row, or "relative" to the value, where
    # discover found the targets' noise to grow with them and ranked formulas on ln(predicted / y).
    noise: str = "same"
    # With units: the dimensionless groups the search looked over ('π1 = a**3/(G*M)') and the factor P
    # with the target's unit ('P = ...'); empty where the search ran over the variables themselves.
    groups: tuple[str, ...] = ()

    def _require_best(self) -> Formula:
        if self.best is None:
            raise ValueError("the search found no formula (the time limit ended it before anything was scored)")
        return self.best

    def to_sympy(self) -> sympy.Expr:
        """The best formula as a SymPy expression; see Formula.to_sympy."""
        return self._require_best().to_sympy()

    def predict(self, X: Any) -> NDArray[np.float64]:
        """The best formula on new data; see Formula.predict."""
        return self._require_best()._predict(X)

    def plot(self, ax: Axes | None = None) -> Axes:
        """Draws the front, error against complexity on a log scale, each formula beside its point and the
        best marked, into `ax` (a new figure's when None); returns the Axes. Needs the `plot` extra."""
        return _display.plot_front(self, ax)

    def plot_fit(self, X: Any, y: Any, ax: Axes | None = None) -> Axes:
        """Draws the best formula's predictions on X against the actual y; returns the Axes. Needs the
        `plot` extra."""
        return _display.plot_fit(self, X, y, ax)

    def to_dataframe(self) -> pandas.DataFrame:
        """The front as a pandas DataFrame, one row per formula, with its numbers and its text, simplified,
        LaTeX and Python forms (needs the `pandas` extra)."""
        return _display.front_dataframe(self)

    def save(self, path: str | os.PathLike[str]) -> None:
        """Writes the result to a JSON file that zor.load reads back: settings, variable names, front,
        best, levels and versions. An existing file is replaced only once the new one is complete."""
        _files.save(self, path)

    def _repr_html_(self) -> str:
        return _display.result_html(self)

    def __repr__(self) -> str:
        if self.best is None:
            head = "DiscoveryResult(best=None"
        else:
            b = self.best
            head = (f"DiscoveryResult(best={b.formula!r}, complexity={b.complexity}, error={_short(b.error)}, "
                    f"score={_short(b.score)}")
        noise = ", noise='relative'" if self.noise == "relative" else ""
        lines = [f"{head}, cut_short={self.cut_short}{noise}, levels={len(self.levels)}, "
                 f"elapsed={self.elapsed_seconds:.2f}s,"]
        if self.best is not None and self.best.domain is not None:
            lines.append(f" fitted on {range_text(self.best.domain, self.variable_names)},")
        lines.append(" front=[  # complexity, error (RMSE), relative error, R², formula")
        lines.extend(f"  {f.complexity:3d}  {_short(f.error):>9}  {_short(f.relative_error):>9}  {f.r2:9.6f}  "
                     f"{f.formula}" for f in self.front)
        lines.append("])")
        return "\n".join(lines)


def pareto_front(by_complexity: dict[int, Any], error: Any, exact: float = 0.0) -> list[Any]:
    """Per complexity, increasing, the entries whose error is below every simpler one's by more than
    rounding: a formula that only rewrites a simpler one, (x / (1/x)) for (x * x), differs from it in
    the last bits. Once an entry's error is at most `exact`, nothing longer joins: a term of 1e-16
    added to an exact law only fits rounding."""
    front = []
    lowest = math.inf
    for complexity in sorted(by_complexity):
        entry = by_complexity[complexity]
        if error(entry) < lowest * (1.0 - PARETO_RELATIVE_GAIN) and not lowest <= exact:
            lowest = error(entry)
            front.append(entry)
    return front


def select_best(front: Sequence[Formula], rows: int, target_rms: float) -> Formula:
    """model_selection="best" over a front: the entry with the lowest Bayesian
    information criterion, rows * ln(error**2) + complexity * ln(rows), one
    parameter per unit of complexity. A longer formula must lower the squared
    error by a factor of rows**(1/rows) per unit it adds (8 rows: 1.30; 200
    rows: 1.027), which noise fitted by extra terms rarely does. Errors below
    EXACT_SHARE of the targets' root mean square count as equal, so a formula
    exact to rounding does not win over a simpler exact one by rounding.
    The earliest entry wins a tie."""
    return min(front, key=lambda formula: information_criterion(formula, rows, target_rms))


def information_criterion(formula: Formula, rows: int, target_rms: float) -> float:
    """The criterion of select_best: rows * ln(error**2) + complexity * ln(rows), plus Hurvich and Tsai's
    correction for few rows, 2p(p + 1)/(rows − p − 1) for the formula's p fitted constants (Biometrika 76,
    1989): on 8 rows, four constants fit rounding noise that the asymptotic penalty lets through, while on
    200 rows the correction is a fifth of a unit. A formula with rows − 1 or more fitted constants
    interpolates the rows, and its criterion is infinite."""
    floor = max(EXACT_SHARE * target_rms, sys.float_info.min)
    n = max(rows, 2)
    error = max(formula.error, floor) if math.isfinite(formula.error) else math.inf
    fitted = fitted_constants(formula)
    if fitted >= n - 1:
        return math.inf
    return n * 2.0 * math.log(error) + formula.complexity * math.log(n) + 2.0 * fitted * (fitted + 1) / (n - fitted - 1)


def fitted_constants(formula: Formula) -> int:
    """How many constants of the formula were fitted to the rows: inner parameters, coefficients of terms,
    a scale and an offset, each unless it snapped to an exact value (or is a scale of 1, an offset of 0)."""
    if formula.parameters:
        return sum(1 for parameter in formula.parameters if parameter.exact is None)
    used = formula.constants
    offset = used.exact_offset is None and used.used_offset != 0.0
    if formula.terms:
        return sum(1 for term in formula.terms if term.exact is None) + offset
    scale = used.exact_scale is None and used.used_scale not in (0.0, 1.0)
    return scale + offset


def load(path: str | os.PathLike[str]) -> DiscoveryResult:
    """Reads a result that DiscoveryResult.save wrote. Raises ResultFileError, with one line naming the
    file, for a file that is missing, unreadable, not JSON, truncated, edited into the wrong shape, or
    written by a newer format version."""
    result: DiscoveryResult = _files.load(path, DiscoveryResult)
    return result
