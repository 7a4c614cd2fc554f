"""Exact constants: the fitted scale and offset of a formula, snapped to simple exact values.

An exact constant is a triple ``(p, q, factor)``: the rational p/q (q > 0, in
lowest terms) times one of the factors of FACTORS ("" for 1). Its float value
is computed in the order its Python form evaluates, so the written formula and
``predict`` agree bit for bit.

The constants tried, simplest first (fewest digits; a sign and a factor
count one each, and a plain rational wins a tie, so 2*pi comes before 44/7):

- integers up to 10**6 in magnitude;
- p/q with 2 <= q <= 12 and |p| <= 100;
- those rationals (|p| <= 100, q <= 12) times pi, 1/pi, sqrt(2), sqrt(pi) or e.

A formula first drops the offset or the scale (an offset of 0, a scale of 1)
where the fit stays as good within SNAP_TOLERANCE without it; each constant it
keeps is then replaced by the simplest of them that lies within two standard
errors of its fit (at least SNAP_RELATIVE of it, on exact data), is written in
the digits the data fix (`exact_near`), and leaves the fit as good (see
`snap`); nothing snaps on a fit rougher than SNAP_GATE.
"""

from __future__ import annotations

import math
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

import numpy as np

Exact = tuple[int, int, str]

FACTORS: dict[str, float] = {"": 1.0, "pi": math.pi, "1/pi": 1.0 / math.pi, "sqrt2": math.sqrt(2.0),
                             "sqrtpi": math.sqrt(math.pi), "e": math.e}
MAX_INTEGER = 10**6
MAX_NUMERATOR = 100
MAX_DENOMINATOR = 12
# A snapped fit may raise the sum of squared errors by SNAP_TOLERANCE times
# the noise variance the fit leaves (its sum of squared errors over n - 2),
# when one constant snaps, or SNAP_TOLERANCE_BOTH when both do: constants
# within about two standard errors of their fitted values on noisy data (the
# 95 % points of chi-square with one and two degrees of freedom). On exact
# data the error is rounding, and the floor takes over: a share of 1e-22 of
# the targets' sum of squares (a relative error of 1e-11).
SNAP_TOLERANCE = 4.0
SNAP_TOLERANCE_BOTH = 6.0
SNAP_FLOOR = 1e-22
# The window of an exact value on exact data, where the standard errors are
# rounding: a nonzero constant moves by at most this share of itself, or by two
# standard errors where those are wider.
SNAP_RELATIVE = 1e-2
# Nor does anything snap when the fit's root-mean-square error exceeds this
# share of the targets' root mean square: exact constants claim a law, which
# a rough approximation is not.
SNAP_GATE = 0.02
FACTOR_COST = 1


def exact_value(constant: Exact) -> float:
    """The float of an exact constant, computed as its Python form computes it."""
    p, q, factor = constant
    if factor == "":
        return p / q
    if factor == "1/pi":
        return p / (q * math.pi)
    base = {"pi": math.pi, "sqrt2": math.sqrt(2), "sqrtpi": math.sqrt(math.pi), "e": math.e}[factor]
    return p * base / q


_TEXT_FACTOR = {"pi": "pi", "sqrt2": "sqrt(2)", "sqrtpi": "sqrt(pi)", "e": "e"}
_PY_FACTOR = {"pi": "math.pi", "sqrt2": "math.sqrt(2)", "sqrtpi": "math.sqrt(math.pi)", "e": "math.e"}
_LATEX_FACTOR = {"pi": r"\pi", "sqrt2": r"\sqrt{2}", "sqrtpi": r"\sqrt{\pi}", "e": "e"}


def _written(constant: Exact, factors: dict[str, str], pi: str) -> str:
    p, q, factor = constant
    if factor == "":
        return f"{p}" if q == 1 else f"{p}/{q}"
    if factor == "1/pi":
        return f"{p}/{pi}" if q == 1 else f"{p}/({q}*{pi})"
    numerator = factors[factor] if p == 1 else f"-{factors[factor]}" if p == -1 else f"{p}*{factors[factor]}"
    return numerator if q == 1 else f"{numerator}/{q}"


def exact_text(constant: Exact) -> str:
    """Plain text, as SymPy would parse it: 3/5, pi/4, 1/(4*pi), 2*sqrt(2)."""
    return _written(constant, _TEXT_FACTOR, "pi")


def exact_python(constant: Exact) -> str:
    """A Python expression whose value is exact_value(constant), bit for bit."""
    p, q, factor = constant
    if factor == "":
        return f"({p} / {q})" if q != 1 else f"{p}.0" if p >= 0 else f"({p}.0)"
    if factor == "1/pi":
        return f"({p} / ({q} * math.pi))"
    return f"({p} * {_PY_FACTOR[factor]} / {q})"


def exact_latex(constant: Exact) -> str:
    p, q, factor = constant
    sign = "-" if p < 0 else ""
    magnitude = abs(p)
    if factor == "":
        return f"{sign}{magnitude}" if q == 1 else rf"{sign}\frac{{{magnitude}}}{{{q}}}"
    if factor == "1/pi":
        return rf"{sign}\frac{{{magnitude}}}{{{'' if q == 1 else q}\pi}}"
    top = _LATEX_FACTOR[factor] if magnitude == 1 else f"{magnitude} {_LATEX_FACTOR[factor]}"
    return f"{sign}{top}" if q == 1 else rf"{sign}\frac{{{top}}}{{{q}}}"


def exact_sympy(constant: Exact) -> Any:
    from zor._optional import import_extra

    sp: Any = import_extra("sympy", "sympy", "to_sympy()")
    p, q, factor = constant
    rational = sp.Rational(p, q)
    if factor == "":
        return rational
    if factor == "1/pi":
        return rational / sp.pi
    return rational * {"pi": sp.pi, "sqrt2": sp.sqrt(2), "sqrtpi": sp.sqrt(sp.pi), "e": sp.E}[factor]


def exact_cost(constant: Exact) -> int:
    """How complicated an exact constant reads: its digits, a sign, a factor."""
    p, q, factor = constant
    return len(str(abs(p))) + (len(str(q)) if q != 1 else 0) + (p < 0) + (FACTOR_COST if factor else 0)


def exact_near(value: float, error: float, slack: float = 0.5) -> list[Exact]:
    """The exact values a constant fitted as value ± error (its standard error) may snap to, simplest
    first: within two standard errors (at least SNAP_RELATIVE of it), and written in hardly more digits
    than the data fix it to (log10(|value| / error), `slack` digits more; a factor such as pi counts as
    two digits, a sign as none), so that a constant known to two or three digits reads as 3/4 but never as
    5·sqrt(pi)/9, nor as pi/4 where the data cannot tell it from 25/32."""
    if not math.isfinite(error) or not error > 0.0:
        return list(exact_candidates(value))
    digits = math.log10(abs(value) / error) + slack if abs(value) > error else 0.0
    return [c for c in exact_candidates(value, max(SNAP_RELATIVE * abs(value), 2.0 * error))
            if exact_cost(c) - (c[0] < 0) + (c[2] != "") <= digits]


def scale_or_offset_near(value: float, error: float) -> list[Exact]:
    """The exact values a fitted scale or offset may snap to (see exact_near), with a digit more of slack
    than an inner parameter: the constant of a whole law is often a familiar factor such as 1/(4*pi), which
    data good to three digits name, while an offset of 1.76 ± 0.45 may be 2, never sqrt(pi), and a scale of
    2.006 ± 0.002 never 63/(10*pi)."""
    return exact_near(value, error, slack=1.5)


def exact_candidates(value: float, window: float | None = None) -> Iterator[Exact]:
    """The exact constants nearest to `value` in every form, within `window` of it (default
    SNAP_RELATIVE of it), simplest first."""
    if window is None:
        window = SNAP_RELATIVE * abs(value)
    found: dict[Exact, int] = {}
    if not math.isfinite(value):
        return iter(())
    for factor, base in FACTORS.items():
        ratio = value / base
        for q in range(1, MAX_DENOMINATOR + 1):
            p = round(ratio * q)
            if p == 0 or math.gcd(p, q) != 1:
                continue
            if abs(p) > (MAX_INTEGER if factor == "" and q == 1 else MAX_NUMERATOR):
                continue
            candidate = (p, q, factor)
            if abs(exact_value(candidate) - value) <= window:
                found.setdefault(candidate, exact_cost(candidate))
    return iter(sorted(found, key=lambda c: (found[c], list(FACTORS).index(c[2]), c[1])))


@dataclass(frozen=True)
class FitStatistics:
    """What snapping needs of a formula's values f and the targets y: the
    centred sums of the least-squares fit y ≈ a·f + b and its error."""

    n: int
    f_mean: float
    y_mean: float
    sff: float  # sum of (f - f_mean)**2
    sse: float  # sum of squared errors of the least-squares fit
    syy: float  # sum of y**2

    def increase(self, scale: float, fitted_scale: float, offset: float) -> float:
        """How much the sum of squared errors grows from the least-squares fit to (scale, offset):
        (a - a*)^2 Sff + n (b - (y_mean - a f_mean))^2, free of cancellation."""
        return (scale - fitted_scale) ** 2 * self.sff + self.n * (offset - (self.y_mean - scale * self.f_mean)) ** 2

    def allowed(self, snapped: int) -> float:
        """How much `snapped` (1 or 2) exact constants may raise the sum of squared errors."""
        return snap_allowance(snapped, self.sse, self.n - 2, self.syy)

    @property
    def sum_ff(self) -> float:
        """The sum of f**2: what fixes a scale under a fixed offset."""
        return self.sff + self.n * self.f_mean**2

    def scale_for(self, offset: float, fitted_scale: float) -> float:
        """The least-squares scale with the offset held at `offset` (fitted_scale: the free fit's)."""
        return (fitted_scale * self.sff + self.n * self.f_mean * (self.y_mean - offset)) / self.sum_ff

    def refitted(self, refit: float, fitted: float, increase: float) -> float:
        """A scale refitted for a fixed offset, or the least-squares one where fixing the offset moved the
        fit by rounding only (exact data keep their fitted constants bit for bit)."""
        return fitted if increase <= SNAP_FLOOR * self.syy else refit

    def noise_variance(self) -> float:
        """The noise variance the least-squares fit leaves, SSE / (n - 2), at least the rounding floor."""
        return max(self.sse, SNAP_FLOOR * self.syy) / max(self.n - 2, 1)


def snap_allowance(snapped: int, sse: float, freedom: int, syy: float) -> float:
    """How much `snapped` exact constants may raise a least-squares fit's sum of squared errors `sse`,
    which leaves `freedom` degrees of freedom: about the 95 % point of chi-square with `snapped` degrees
    times the noise variance (SNAP_TOLERANCE, SNAP_TOLERANCE_BOTH, then k + 2·sqrt(2k)), plus the
    rounding floor."""
    tolerance = (SNAP_TOLERANCE if snapped == 1 else SNAP_TOLERANCE_BOTH if snapped == 2
                 else snapped + 2.0 * math.sqrt(2.0 * snapped))
    return tolerance * sse / max(freedom, 1) + SNAP_FLOOR * syy


@dataclass(frozen=True)
class Snapped:
    scale: float  # the fitted scale: the least-squares one unless the offset is fixed without it (then refitted)
    offset: float  # the least-squares offset, refitted for the exact scale when there is one
    exact_scale: Exact | None
    exact_offset: Exact | None

    @property
    def used_scale(self) -> float:
        return self.scale if self.exact_scale is None else exact_value(self.exact_scale)

    @property
    def used_offset(self) -> float:
        return self.offset if self.exact_offset is None else exact_value(self.exact_offset)


ONE: Exact = (1, 1, "")
ZERO: Exact = (0, 1, "")


def snap(stats: FitStatistics, scale: float, offset: float, constant: bool) -> Snapped:
    """The exact constants of the least-squares fit scale·f + offset (see `structure` and `snap_kept`);
    a constant model (scale 0) keeps its scale and snaps its offset alone. Nothing snaps when the fit is
    rougher than SNAP_GATE."""
    if not stats.sse <= SNAP_GATE**2 * stats.syy:
        return Snapped(scale, offset, None, None)
    if constant:
        spread = math.sqrt(stats.noise_variance() / stats.n)
        for candidate in [ZERO] + scale_or_offset_near(offset, spread):
            if stats.increase(0.0, 0.0, exact_value(candidate)) <= stats.allowed(1):
                return Snapped(scale, offset, None, candidate)
        return Snapped(scale, offset, None, None)
    return snap_kept(stats, scale, offset, *structure(stats, scale))


def structure(stats: FitStatistics, scale: float) -> tuple[bool, bool]:
    """Whether the formula keeps its scale and its offset: an offset of 0 or a scale of 1 (with the
    other refitted) where the sum of squared errors stays within stats.allowed(1) of the least-squares
    fit's, both where it stays within stats.allowed(2). The fewest constants win, then the least error."""
    options = [(2, 0.0, True, True)]
    without_offset = stats.increase(stats.scale_for(0.0, scale), scale, 0.0)
    if without_offset <= stats.allowed(1):
        options.append((1, without_offset, True, False))
    without_scale = stats.increase(1.0, scale, stats.y_mean - stats.f_mean)
    if without_scale <= stats.allowed(1):
        options.append((1, without_scale, False, True))
    without_both = stats.increase(1.0, scale, 0.0)
    if without_both <= stats.allowed(2):
        options.append((0, without_both, False, False))
    _, _, has_scale, has_offset = min(options, key=lambda option: option[:2])
    return has_scale, has_offset


def snap_kept(stats: FitStatistics, scale: float, offset: float, has_scale: bool, has_offset: bool) -> Snapped:
    """The constants a formula keeps (see `structure`) snapped, each to the simplest exact value that
    exact_near allows for it as fitted with the other free (or absent) and whose refit raises the sum of
    squared errors by at most stats.allowed(1) over that fit's, and by at most stats.allowed(constants
    dropped or snapped) over the least-squares fit's. Both snap where a pair passes; otherwise the one
    whose refit leaves the smaller error, so that a snapped constant never leaves the other to make up
    for it. `scale` and `offset` are the least-squares fit's."""
    n, f_mean, y_mean = stats.n, stats.f_mean, stats.y_mean
    variance, allowed = stats.noise_variance(), stats.allowed
    if not has_scale and not has_offset:
        return Snapped(scale, y_mean - f_mean, ONE, ZERO)
    if not has_scale:
        free = y_mean - f_mean
        for candidate in scale_or_offset_near(free, math.sqrt(variance / n)):
            b = exact_value(candidate)
            if n * (b - free) ** 2 <= allowed(1) and stats.increase(1.0, scale, b) <= allowed(2):
                return Snapped(scale, free, ONE, candidate)
        return Snapped(scale, free, ONE, None)
    if not has_offset:
        free = stats.scale_for(0.0, scale)
        for candidate in scale_or_offset_near(free, math.sqrt(variance / stats.sum_ff)):
            a = exact_value(candidate)
            if (a - free) ** 2 * stats.sum_ff <= allowed(1) and stats.increase(a, scale, 0.0) <= allowed(2):
                return Snapped(scale, y_mean - a * f_mean, candidate, ZERO)
        return Snapped(stats.refitted(free, scale, stats.increase(free, scale, 0.0)), offset, None, ZERO)

    def with_scale(candidate: Exact) -> float:  # the increase with this scale, the offset refitted
        a = exact_value(candidate)
        return stats.increase(a, scale, y_mean - a * f_mean)

    def with_offset(candidate: Exact) -> float:  # the increase with this offset, the scale refitted
        b = exact_value(candidate)
        return stats.increase(stats.scale_for(b, scale), scale, b)

    scales = [c for c in scale_or_offset_near(scale, math.sqrt(variance / stats.sff)) if with_scale(c) <= allowed(1)]
    offsets = [c for c in scale_or_offset_near(offset, math.sqrt(variance * (1.0 / n + f_mean**2 / stats.sff)))
               if with_offset(c) <= allowed(1)]
    for exact_scale in scales:
        for exact_offset in [ZERO] + offsets:  # no offset at all, beside an exact scale, as a pair
            if stats.increase(exact_value(exact_scale), scale, exact_value(exact_offset)) <= allowed(2):
                return Snapped(scale, y_mean - exact_value(exact_scale) * f_mean, exact_scale, exact_offset)
    if scales and (not offsets or with_scale(scales[0]) <= with_offset(offsets[0])):
        return Snapped(scale, y_mean - exact_value(scales[0]) * f_mean, scales[0], None)
    if offsets:
        refit = stats.scale_for(exact_value(offsets[0]), scale)
        return Snapped(stats.refitted(refit, scale, with_offset(offsets[0])), offset, None, offsets[0])
    return Snapped(scale, offset, None, None)


# --- a formula with its constants: scale * f + offset ----------------------
#
# Every form, and predict, leaves out a scale that is exactly 1 and an offset
# that is exactly 0, so that the formula without constants stays itself, bit
# for bit (adding 0.0 would turn -0.0 into 0.0).


def _float_text(value: float) -> str:
    return repr(float(value))


def _constant_text(value: float, exact: Exact | None) -> str:
    return exact_text(exact) if exact is not None else _float_text(value)


def affine_text(body: str, snapped: Snapped) -> str:
    """The plain text of scale * body + offset: exact constants as exact_text
    writes them, fitted ones in full precision."""
    if snapped.used_scale == 0.0:
        return _constant_text(snapped.offset, snapped.exact_offset)
    text = body
    if snapped.used_scale == -1.0:
        text = f"(-{body})"
    elif snapped.used_scale != 1.0:
        scale = _constant_text(snapped.scale, snapped.exact_scale)
        if snapped.exact_scale is not None and not scale.lstrip("-").isdigit():
            scale = f"({scale})"
        text = f"({scale} * {body})"
    if snapped.used_offset == 0.0:
        return text
    offset = _constant_text(snapped.offset, snapped.exact_offset)
    return f"({text} - {offset[1:]})" if offset.startswith("-") else f"({text} + {offset})"


def _latex_constant(value: float, exact: Exact | None) -> str:
    if exact is not None:
        return exact_latex(exact)
    mantissa, _, exponent = _float_text(value).partition("e")
    return rf"{mantissa} \cdot 10^{{{int(exponent)}}}" if exponent else mantissa


def affine_latex(body: str, body_is_sum: bool, snapped: Snapped) -> str:
    """LaTeX of scale * body + offset; `body_is_sum` puts the body in parentheses under a scale."""
    if snapped.used_scale == 0.0:
        return _latex_constant(snapped.offset, snapped.exact_offset)
    inner = rf"\left({body}\right)" if body_is_sum else body
    text = body
    if snapped.used_scale == -1.0:
        text = f"-{inner}"
    elif snapped.used_scale != 1.0:
        text = rf"{_latex_constant(snapped.scale, snapped.exact_scale)} \cdot {inner}"
    if snapped.used_offset == 0.0:
        return text
    offset = _latex_constant(snapped.offset, snapped.exact_offset)
    return f"{text} - {offset[1:]}" if offset.startswith("-") else f"{text} + {offset}"


def affine_python(body: str, snapped: Snapped) -> str:
    """A Python expression computing scale * body + offset exactly as predict does."""
    text = body
    if snapped.used_scale != 1.0:
        scale = exact_python(snapped.exact_scale) if snapped.exact_scale else f"({_float_text(snapped.scale)})"
        text = f"{scale} * {text}"
    if snapped.used_offset != 0.0:
        offset = exact_python(snapped.exact_offset) if snapped.exact_offset else f"({_float_text(snapped.offset)})"
        text = f"{text} + {offset}"
    return text


def affine_values(values: Any, snapped: Snapped) -> Any:
    """scale * values + offset on an array, in the order of affine_python. A product past the largest double
    is ±inf, as the native evaluation gives it, without numpy's warning."""
    if snapped.used_scale != 1.0:
        with np.errstate(over="ignore"):
            values = snapped.used_scale * values
    if snapped.used_offset != 0.0:
        values = values + snapped.used_offset
    return values


def affine_sympy(expression: Any, snapped: Snapped) -> Any:
    from zor._optional import import_extra

    sp: Any = import_extra("sympy", "sympy", "to_sympy()")

    def number(value: float, exact: Exact | None) -> Any:
        return exact_sympy(exact) if exact is not None else sp.Float(value, 17)

    if snapped.used_scale == 0.0:
        return number(snapped.offset, snapped.exact_offset)
    result = expression
    if snapped.used_scale != 1.0:
        result = number(snapped.scale, snapped.exact_scale) * result
    if snapped.used_offset != 0.0:
        result = result + number(snapped.offset, snapped.exact_offset)
    return result
