"""Periodic terms for sums: sinusoids sin(ω·x + φ) whose frequency is read off a periodogram.

A least-squares fit of a sinusoid has, in ω, a narrow minimum for every number of cycles the rows could
hold, each about 2π / (the range of x) wide: a fit converges to the true ω only from a start within a
fraction of that width. Over a long record no fixed grid of starts is that close (43 years of monthly
readings need 2π to about 0.4 %), so the searches, which try a handful of constants, miss cycles that a
periodogram shows at once. Here each variable's periodogram is taken of what a quadratic trend in it (and
the linear model on the others) leaves over: the floating-mean Lomb–Scargle periodogram, the share of that
residual a sinusoid of each resolvable frequency explains beyond the trend (Zechmeister & Kürster 2009). A peak whose
false-alarm probability under white noise is below FALSE_ALARM is refined on a finer grid, joins the trend,
and the next peak is looked for (prewhitening, as time-series astronomy finds several cycles); each
sinusoid found is a term the sums may use, its phase from the least-squares fit beside the trend.
"""

from __future__ import annotations

import math
from collections.abc import Sequence

import numpy as np
from numpy.typing import NDArray

from zor._data import Column
from zor._expression import Token

Shape = tuple[Token, ...]

# Frequencies per independent one: the grid's step is a fifth of the width of a peak.
OVERSAMPLING = 5
# A periodogram is taken on at most this many rows (evenly chosen) and frequencies.
MOST_ROWS = 1000
MOST_FREQUENCIES = 5000
# A variable with fewer distinct values holds no cycle worth a term of its own.
FEWEST_DISTINCT = 8
# The chance, under white noise, that the highest peak of the periodogram is at least as high.
FALSE_ALARM = 0.01
# Rows of the periodogram's sines and cosines computed at a time.
CHUNK_VALUES = 2_000_000


def orthonormal_basis(design: NDArray[np.float64]) -> NDArray[np.float64]:
    """An orthonormal basis of the span of the design's columns (those it depends on)."""
    u, singular, _ = np.linalg.svd(design, full_matrices=False)
    return u[:, singular > 1e-10 * singular[0]]


def _resolvable(x: Column) -> tuple[float, float, float]:
    """The lowest and highest angular frequency the rows resolve and the grid's step: from half a cycle
    over the range of x (a cycle as long as the record sampled at whole periods, twelve months numbered 1
    to 12, spans one period less one step) up to the Nyquist frequency of the median spacing."""
    distinct = np.unique(x)
    span = float(distinct[-1] - distinct[0])
    return math.pi / span, math.pi / float(np.median(np.diff(distinct))), 2.0 * math.pi / span / OVERSAMPLING


def periodogram(x: Column, residual: Column, omegas: NDArray[np.float64],
                basis: NDArray[np.float64]) -> NDArray[np.float64]:
    """At each angular frequency, the share of the residual (orthogonal to the basis) that c·sin ωx +
    d·cos ωx explains beyond the basis: the sines and cosines are projected off it first, so a cycle is
    measured net of the trend the basis holds."""
    total = float(residual @ residual)
    power = np.empty(len(omegas))
    chunk = max(1, CHUNK_VALUES // len(x))
    with np.errstate(all="ignore"):
        for start in range(0, len(omegas), chunk):
            angle = np.outer(omegas[start:start + chunk], x)
            s, c = np.sin(angle), np.cos(angle)
            s -= (s @ basis) @ basis.T
            c -= (c @ basis) @ basis.T
            ss, cc, sc = np.sum(s * s, axis=1), np.sum(c * c, axis=1), np.sum(s * c, axis=1)
            sr, cr = s @ residual, c @ residual
            determinant = ss * cc - sc * sc
            explained = (cc * sr * sr - 2.0 * sc * sr * cr + ss * cr * cr) / determinant
            power[start:start + chunk] = np.where(determinant > 1e-12 * ss * cc, explained / total, 0.0)
    return np.clip(np.nan_to_num(power, nan=0.0), 0.0, 1.0)


def false_alarm(power: float, freedom: int, frequencies: int) -> float:
    """The chance that white noise gives a peak this high somewhere among `frequencies` frequencies of
    OVERSAMPLING per independent one: (1 − P)^(ν/2) at one frequency, for a residual of ν degrees of
    freedom beyond the sinusoid (the periodogram's distribution under the null), for about frequencies /
    OVERSAMPLING independent ones."""
    single = math.exp(0.5 * freedom * math.log1p(-power)) if power < 1.0 else 0.0
    independent = max(1.0, frequencies / OVERSAMPLING)
    return -math.expm1(independent * math.log1p(-single)) if single < 1.0 else 1.0


def sinusoid_shape(variable: int, omega: float, phase: float) -> Shape:
    return (("var", variable), ("const", omega), ("op", "Mul"), ("const", phase), ("op", "Add"), ("op", "Sin"))


def _trend_basis(columns: Sequence[Column], variable: int) -> NDArray[np.float64]:
    """The raw variables, the square of `variable` and the offset: the trend a cycle is measured against
    (without the square, a curved trend comes out as the slowest sinusoid first)."""
    return orthonormal_basis(np.column_stack(list(columns) + [columns[variable] ** 2, np.ones(len(columns[0]))]))


def periodic_terms(columns: Sequence[Column], target: Column, most: int) -> list[Shape]:
    """Up to `most` sinusoids per variable, each a significant peak of the periodogram of what the trend
    and the sinusoids found before leave over (see the module's text)."""
    shapes: list[Shape] = []
    rows = np.linspace(0, len(target) - 1, min(len(target), MOST_ROWS)).round().astype(np.intp)
    y = np.ascontiguousarray(target[rows])
    for variable, column in enumerate(columns):
        if len(np.unique(column)) < FEWEST_DISTINCT or not np.all(np.isfinite(column)):
            continue
        chosen = [np.ascontiguousarray(c[rows]) for c in columns]
        x = chosen[variable]
        low, high, step = _resolvable(x)
        count = max(1, min(int((high - low) / step) + 1, MOST_FREQUENCIES))
        omegas = low + step * np.arange(count, dtype=np.float64)
        basis = _trend_basis(chosen, variable)
        for _ in range(most):
            residual = y - basis @ (basis.T @ y)
            power = periodogram(x, residual, omegas, basis)
            peak = int(np.argmax(power))
            freedom = len(y) - basis.shape[1] - 2
            if freedom <= 0 or false_alarm(float(power[peak]), freedom, len(omegas)) >= FALSE_ALARM:
                break
            # The peak's top, to a fortieth of the grid's step.
            fine = np.clip(omegas[peak] + step * np.linspace(-1.0, 1.0, 81), low, high)
            omega = float(fine[int(np.argmax(periodogram(x, residual, fine, basis)))])
            waves = np.column_stack([np.sin(omega * x), np.cos(omega * x)])
            waves -= basis @ (basis.T @ waves)
            c, d = np.linalg.lstsq(waves, residual, rcond=None)[0]
            shapes.append(sinusoid_shape(variable, omega, math.atan2(float(d), float(c))))
            basis = orthonormal_basis(np.column_stack([basis, np.sin(omega * x), np.cos(omega * x)]))
    return shapes
