"""Noise that grows with the value. A measurement whose error is a share of what it measures,
y = law·(1 + ε), spreads the large values more than the small ones; least squares then listens to the
largest rows and the information criterion, which assumes the same noise on every row, may prefer a
wrong shape that bends to them (Antoine's law over two decades of pressure, households' spending over a
range of incomes). For targets of one sign, discover weighs the two models of the noise against each
other on the reference formula the ladder found; where the relative one explains the rows clearly
better, the formulas are fitted and ranked on ln(predicted / y), the fit the log-normal model's
likelihood asks for (Carroll and Ruppert, Transformation and Weighting in Regression, 1988)."""

from __future__ import annotations

import math
import numpy as np
from numpy.typing import NDArray

Array = NDArray[np.float64]

# The relative model must lower −2·log-likelihood by more than this many times ln(rows): as if it cost
# two parameters of the information criterion more, so that data with the same noise on every row,
# whose two models differ by chance, keep their usual fit.
MARGIN_PER_LOG_ROW = 2.0
# The rows the comparison needs: on fewer, the spread of the noise cannot be told from its size.
FEWEST_ROWS = 20


def sign_of(target: Array) -> float | None:
    """1.0 or −1.0 when every target is of that sign (none zero), else None."""
    if np.all(target > 0.0):
        return 1.0
    if np.all(target < 0.0):
        return -1.0
    return None


def log_ratios(predicted: Array, target: Array) -> Array | None:
    """ln(predicted / target) on every row; None where a prediction is of the other sign, zero or not
    finite."""
    with np.errstate(all="ignore"):
        ratio = predicted / target
        if not np.all(np.isfinite(ratio) & (ratio > 0.0)):
            return None
        return np.log(ratio)


def relative_error(predicted: Array, target: Array) -> float:
    """The root mean square of ln(predicted / target): about the relative error of a close fit; ∞ where a
    prediction does not share its target's sign."""
    ratios = log_ratios(predicted, target)
    return math.inf if ratios is None else math.sqrt(float(np.mean(ratios * ratios)))


def is_relative(predicted: Array, target: Array) -> bool:
    """Whether the noise of the target about these predictions is better told as a share of the value
    (log-normal, −2ℓ = n·ln(mean ln(ŷ/y)²) + 2·Σ ln|y|) than as the same on every row (normal,
    −2ℓ = n·ln(mean (ŷ − y)²)), by more than the margin. Both leave out the same constants."""
    n = len(target)
    if n < FEWEST_ROWS or sign_of(target) is None:
        return False
    ratios = log_ratios(predicted, target)
    residual = predicted - target
    same = float(np.mean(residual * residual))
    relative = None if ratios is None else float(np.mean(ratios * ratios))
    if relative is None or not (same > 0.0 and relative > 0.0):
        return False
    same_noise = n * math.log(same)
    relative_noise = n * math.log(relative) + 2.0 * float(np.sum(np.log(np.abs(target))))
    return relative_noise < same_noise - MARGIN_PER_LOG_ROW * math.log(n)
