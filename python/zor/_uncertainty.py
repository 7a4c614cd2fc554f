"""A fitted parameter of a formula with its uncertainty, and how it is written."""

from __future__ import annotations

import math
from dataclasses import dataclass

from zor._constants import Exact, exact_text


@dataclass(frozen=True)
class Parameter:
    """One fitted constant of a formula: an inner parameter c0, c1, ... (a ("param", index, value)
    token of the formula) or its outer `scale` and `offset`.

    `value` is what the formula uses: `fitted`, or the exact constant `exact` (p, q, factor; see
    zor._constants) it snapped to. `standard_error` comes from the Jacobian of the least-squares fit
    at its optimum: the larger of sqrt(diag((JᵀJ)⁻¹) · SSE / (n − p)) and the heteroscedasticity-consistent
    (HC3) error, which holds where the noise grows with the value; `low` and `high` bound the 95 % interval
    fitted ± t(0.975, n − p) · standard_error. For a fitted constant that fit is the formula's own (its
    snapped constants fixed), its error no smaller than before they snapped; for a snapped one, the fit
    before it snapped, whose interval holds `value`.
    """

    name: str
    value: float
    fitted: float
    standard_error: float
    low: float
    high: float
    exact: Exact | None = None

    def text(self) -> str:
        """name = value ± standard error [low, high], or name = exact (snapped from value ± error)."""
        error = _number(self.standard_error)
        if self.exact is not None:
            return f"{self.name} = {exact_text(self.exact)} (snapped; fitted {_number(self.fitted)} ± {error})"
        return f"{self.name} = {_number(self.value)} ± {error} [{_number(self.low)}, {_number(self.high)}]"


def _number(value: float) -> str:
    return "nan" if math.isnan(value) else f"{value:.6g}"


def parameters_text(parameters: tuple[Parameter, ...]) -> str:
    """The parameters one after another, separated by semicolons."""
    return "; ".join(parameter.text() for parameter in parameters)
