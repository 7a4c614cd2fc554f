"""The description length of a formula: how many nats it takes to send the data with it.

model_selection="description_length" picks the front entry that sends the data in the fewest nats, the
criterion of Exhaustive Symbolic Regression (Bartlett, Desmond and Ferreira 2023), as computed here:

    L = n/2 · (ln(2π σ²) + 1)                                   the residuals, Gaussian, σ² = SSE / n
      + complexity · ln(kinds)                                  the structure: one choice per token
      + Σ over fitted constants θ of max(0, ln(|θ| / Δθ))       each constant to its precision
      + Σ over exact constants p/q·factor of ln(1 + |p|) + ln(q) (+ ln(5) with a factor)

where Δθ = sqrt(12 · Var θ) and Var θ = ((JᵀJ)⁻¹)_θθ · σ² (J the Jacobian of the formula's values with
respect to its fitted constants). ESR takes 1 / Var θ from the diagonal of the Fisher information,
(JᵀJ)_θθ / σ², which, for correlated constants (the A, B and C of Antoine's law), states each far more
precisely than the data do and makes a rounded value look cheaper than the fitted one; the marginal
variance keeps a constant's cost at what its standard error says. `complexity` counts the formula's
tokens and
its scale and offset as the search does, and `kinds` the operators the search may use, the variables,
the parameter leaf and the literal constant. A fitted constant whose value is within its precision of
0 costs nothing (ESR sets it to 0). The sum of squared errors is floored at SNAP_FLOOR times the
targets' sum of squares, so that formulas exact to rounding compare by their structure and constants
alone. Lower is better.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import TYPE_CHECKING

import numpy as np
from numpy.typing import NDArray

from zor import _native
from zor._constants import FACTORS, SNAP_FLOOR, Exact
from zor._derivatives import value_and_gradient

if TYPE_CHECKING:
    from zor._results import Formula

# The leaf kinds besides the variables: a parameter and a literal constant.
LEAF_KINDS = 2


def operator_kinds(operators: int, variables: int) -> int:
    """What one token may be: an operator, a variable, a parameter or a literal constant."""
    return operators + variables + LEAF_KINDS


def exact_cost(constant: Exact) -> float:
    """Nats to send an exact constant p/q·factor: the integers p and q, and which factor."""
    p, q, factor = constant
    return math.log(1 + abs(p)) + math.log(q) + (math.log(len(FACTORS) - 1) if factor else 0.0)


def description_length(*, sse: float, rows: int, complexity: int, kinds: int, free_values: NDArray[np.float64],
                       jacobian: NDArray[np.float64], exact: Sequence[Exact], sse_floor: float) -> float:
    """The description length in nats (see the module's note) of a formula with `complexity` tokens
    whose fitted constants `free_values` (Jacobian `jacobian`, rows × constants) leave `sse` on `rows`
    rows, and which uses the exact constants `exact`."""
    sigma2 = max(sse, sse_floor, 1e-300) / max(rows, 1)
    residuals = rows / 2.0 * (math.log(2.0 * math.pi * sigma2) + 1.0)
    structure = complexity * math.log(max(kinds, 2))
    precision = 0.0
    for value, variance in zip(free_values, marginal_variances(jacobian, sigma2)):
        if value != 0.0 and variance > 0.0 and math.isfinite(variance):
            precision += max(0.0, math.log(abs(float(value))) - 0.5 * math.log(12.0 * float(variance)))
    return residuals + structure + precision + sum(exact_cost(constant) for constant in exact)


def marginal_variances(jacobian: NDArray[np.float64], sigma2: float) -> NDArray[np.float64]:
    """diag((JᵀJ)⁻¹) · σ², the columns scaled to unit length for the inversion (a pseudo-inverse: a
    constant the data do not determine gets the variance of the others' combination)."""
    if jacobian.shape[1] == 0:
        return np.zeros(0)
    with np.errstate(over="ignore"):
        norms = np.sqrt(np.sum(jacobian * jacobian, axis=0))
    norms = np.where((norms > 0.0) & np.isfinite(norms), norms, 1.0)
    scaled = jacobian / norms
    # A constant of almost no effect, whose norm squared underflows, has an infinite variance, which
    # description_length leaves out.
    with np.errstate(over="ignore", divide="ignore"):
        variances: NDArray[np.float64] = np.diag(np.linalg.pinv(scaled.T @ scaled)) / (norms * norms) * sigma2
    return variances


def formula_description_length(formula: Formula, columns: Sequence[NDArray[np.float64]],
                               target: NDArray[np.float64], kinds: int) -> float:
    """The description length of a Formula on the data: its fitted constants are its inner parameters
    that did not snap, and its scale and offset where fitted and not exact."""
    constants = formula.constants
    tokens = formula.tokens
    values = np.asarray(_native.evaluate(list(tokens), list(columns)), dtype=np.float64)
    predicted = values * constants.used_scale + constants.used_offset if constants.used_scale != 0.0 else (
        np.full(len(target), constants.used_offset))
    residual = predicted - target
    sse = float(residual @ residual) if np.all(np.isfinite(residual)) else math.inf
    if not math.isfinite(sse):
        return math.inf
    inner = [float(token[2]) for token in tokens if token[0] == "param"]  # type: ignore[misc]
    exact: list[Exact] = [p.exact for p in formula.parameters if p.exact is not None and p.name.startswith("c")]
    columns_j: list[NDArray[np.float64]] = []
    free: list[float] = []
    if inner:
        _, gradient = value_and_gradient(tokens, list(columns), np.array(inner))
        snapped = {p.name for p in formula.parameters if p.exact is not None}
        for k, value in enumerate(inner):
            if f"c{k}" not in snapped:
                columns_j.append(constants.used_scale * gradient[k])
                free.append(value)
    if constants.used_scale not in (0.0, 1.0):
        if constants.exact_scale is None:
            columns_j.append(values)
            free.append(constants.used_scale)
        else:
            exact.append(constants.exact_scale)
    if constants.used_offset != 0.0:
        if constants.exact_offset is None:
            columns_j.append(np.ones(len(target)))
            free.append(constants.used_offset)
        else:
            exact.append(constants.exact_offset)
    jacobian = np.column_stack(columns_j) if columns_j else np.zeros((len(target), 0))
    return description_length(sse=sse, rows=len(target), complexity=formula.complexity, kinds=kinds,
                              free_values=np.array(free), jacobian=jacobian, exact=exact,
                              sse_floor=SNAP_FLOOR * float(target @ target))


def select_by_description_length(front: Sequence[Formula], columns: Sequence[NDArray[np.float64]],
                                 target: NDArray[np.float64], kinds: int) -> Formula:
    """model_selection="description_length" over a front: the entry with the least description length;
    the earliest wins a tie."""
    return min(front, key=lambda formula: formula_description_length(formula, columns, target, kinds))


def with_criterion(front: Sequence[Formula], selection: str, columns: Sequence[NDArray[np.float64]],
                   target: NDArray[np.float64], kinds: int) -> tuple[Formula, ...]:
    """The front with each entry's value of the model selection's criterion: the information criterion
    for "best", the description length for "description_length", the score for "accuracy"; NaN for
    "validation", whose held-out errors are not one number per entry."""
    import dataclasses

    from zor._results import information_criterion

    rms = math.sqrt(float(np.mean(target * target)))

    def value(formula: Formula) -> float:
        if selection == "best":
            return information_criterion(formula, len(target), rms)
        if selection == "description_length":
            return formula_description_length(formula, columns, target, kinds)
        if selection == "accuracy":
            return formula.score
        return math.nan

    return tuple(dataclasses.replace(formula, criterion=value(formula)) for formula in front)
