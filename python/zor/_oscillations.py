"""Oscillations whose amplitude changes: a cycle times an envelope, A(x; θ)·sin(ω·x + φ).

A damped oscillator, a growing one or beats are products, and the parametric stage's enumerated shapes
never reach them: a least-squares fit of a frequency converges only from within a fraction of its peak's
width, which no fixed grid of starts is close to. Here the frequency and phase start where the
periodogram of the data puts the cycle (zor._periodic: the peaks that stand out of white noise net of a
quadratic trend, with at least FEWEST_CYCLES cycles over the rows), and the envelope's constant where the
cycle's local amplitude puts it: the amplitude on the first and the last third of the rows (√2 times the
root mean square of what a straight line leaves there) gives the rate of e^(c·x), the power of x^c and
the c of 1/(1 + c·x) that carry the one into the other; a start without change (c = 0) is tried too. Each
envelope also takes a cycle without a phase, sin(ω·x): an oscillator let go at x = 0 has none, and a fitted
phase is never exactly 0 (nor does snapping drop a constant), so only the shorter shape can say so. Two
peaks on one variable also start beats, sin(ω₁·x + φ₁)·sin(ω₂·x + φ₂), from half their sum and half their
difference, where the stage may fit four parameters. Each shape is then fitted, snapped and judged like
every other shape of the stage. For sums (an oscillation about a drifting baseline, beats, a modulated
cycle), `envelope_cycle_terms` offers the envelope × cycle shapes fitted to what the linear model on the
raw variables leaves over, and a variable's strongest cycles fitted together beside a line, one term each,
their parameters written in, each also without its phase; the sum fits their coefficients.
"""

from __future__ import annotations

import itertools
import math
from collections.abc import Sequence

import numpy as np

from zor._derivatives import Array, number_parameters
from zor._domain import box_of
from zor._expression import Token
from zor._parameter_fits import Problem, fit_shapes
from zor._periodic import periodic_terms
from zor._shapes import PARAM

# Peaks of the periodogram taken per variable: for the stage's shapes, and for the cycles of sums fitted
# together (a cycle whose amplitude is modulated shows as a carrier and two side bands).
MOST_CYCLES = 2
MOST_CYCLES_TOGETHER = 3
# Fewest whole cycles over the range of the variable: a slower peak is what a curved trend leaves beside
# the periodogram's quadratic one (a noisy a·e^(c·t) shows half a cycle), not an oscillation.
FEWEST_CYCLES = 2.0
# Fewest rows per third for a local amplitude.
FEWEST_ROWS_PER_THIRD = 4

Shape = tuple[Token, ...]
_MUL, _ADD = ("op", "Mul"), ("op", "Add")


def _cycle(variable: int) -> list[Token]:
    """sin(c·x + c'), its parameters the frequency and the phase."""
    return [("var", variable), PARAM, _MUL, PARAM, _ADD, ("op", "Sin")]


def _cycle_from_zero(variable: int) -> list[Token]:
    """sin(c·x), its parameter the frequency: a cycle that starts at x = 0, as an oscillator let go there."""
    return [("var", variable), PARAM, _MUL, ("op", "Sin")]


def _envelopes(variable: int, x: Array) -> list[tuple[str, list[Token]]]:
    var: Token = ("var", variable)
    envelopes = [("exp", [var, PARAM, _MUL, ("op", "Exp")]),
                 ("recip", [var, PARAM, _MUL, ("const", 1.0), _ADD, ("op", "Recip")])]
    if np.all(x > 0.0):
        envelopes.append(("power", [var, ("op", "Ln"), PARAM, _MUL, ("op", "Exp")]))
    return envelopes


def _amplitudes(x: Array, y: Array) -> tuple[float, float, float, float] | None:
    """(x₁, A₁, x₃, A₃): the mean x and the local amplitude of the first and the last third of the rows
    by x; None on too few rows or a third without a cycle."""
    order = np.argsort(x, kind="stable")
    xs, ys = x[order], y[order]
    third = len(xs) // 3
    if third < FEWEST_ROWS_PER_THIRD:
        return None
    parts = []
    for part in (slice(0, third), slice(len(xs) - third, len(xs))):
        px, py = xs[part], ys[part]
        design = np.column_stack([np.ones(len(px)), px])
        residual = py - design @ np.linalg.lstsq(design, py, rcond=None)[0]
        parts.append((float(np.mean(px)), math.sqrt(2.0 * float(np.mean(residual * residual)))))
    (x1, a1), (x3, a3) = parts
    if not (a1 > 0.0 and a3 > 0.0 and x3 > x1):
        return None
    return x1, a1, x3, a3


def _envelope_starts(kind: str, amplitudes: tuple[float, float, float, float] | None) -> list[float]:
    """The envelope's constant that carries the first third's amplitude into the last's, and 0."""
    starts = [0.0]
    if amplitudes is None:
        return starts
    x1, a1, x3, a3 = amplitudes
    ratio = a3 / a1
    if kind == "exp":
        starts.append(math.log(ratio) / (x3 - x1))
    elif kind == "power" and x1 > 0.0:
        starts.append(math.log(ratio) / math.log(x3 / x1))
    elif kind == "recip" and ratio * x3 - x1 != 0.0:
        # (1 + c·x₁) / (1 + c·x₃) = A₃ / A₁
        starts.append((1.0 - ratio) / (ratio * x3 - x1))
    return [c for c in dict.fromkeys(starts) if math.isfinite(c)]


def significant_cycles(columns: Sequence[Array], target: Array, most: int) -> dict[int, list[tuple[float, float]]]:
    """Up to `most` (frequency, phase) per variable, the periodogram's significant peaks that hold at least
    FEWEST_CYCLES cycles over the variable's range, strongest first."""
    cycles: dict[int, list[tuple[float, float]]] = {}
    for shape in periodic_terms(columns, target, most):
        variable, omega = int(shape[0][1]), float(shape[1][1])
        span = float(np.max(columns[variable]) - np.min(columns[variable]))
        if omega * span >= 2.0 * math.pi * FEWEST_CYCLES:
            cycles.setdefault(variable, []).append((omega, float(shape[3][1])))
    return cycles


def _envelope_cycle_shapes(columns: Sequence[Array], target: Array, cycles: dict[int, list[tuple[float, float]]],
                           max_params: int) -> list[tuple[Shape, list[Array]]]:
    shapes: list[tuple[Shape, list[Array]]] = []
    for variable, found in cycles.items():
        x = columns[variable]
        amplitudes = _amplitudes(x, target)
        omega, phase = found[0]
        for kind, envelope in _envelopes(variable, x):
            rates = _envelope_starts(kind, amplitudes)
            shapes.append((number_parameters(envelope + _cycle(variable) + [_MUL]),
                           [np.array([c, omega, phase]) for c in rates]))
            # Without the phase, a constant less where it is 0: the fit of a phase is never exactly 0, and
            # snapping never drops a parameter.
            shapes.append((number_parameters(envelope + _cycle_from_zero(variable) + [_MUL]),
                           [np.array([c, omega]) for c in rates]))
        if len(found) > 1 and max_params >= 4:
            (w1, p1), (w2, p2) = found[:2]
            carrier, beat = (w1 + w2) / 2.0, abs(w1 - w2) / 2.0
            starts = [np.array([carrier, (p1 + p2) / 2.0, beat, shift]) for shift in (0.0, math.pi / 2.0)]
            shapes.append((number_parameters(_cycle(variable) + _cycle(variable) + [_MUL]), starts))
    return shapes


def envelope_cycle_shapes(columns: Sequence[Array], target: Array,
                          max_params: int) -> list[tuple[Shape, list[Array]]]:
    """The envelope × cycle shapes of the data's significant cycles with their starting parameters (see
    the module's text); none where the periodogram shows no cycle."""
    if max_params < 3:
        return []
    return _envelope_cycle_shapes(columns, target, significant_cycles(columns, target, MOST_CYCLES), max_params)


def _cycles_together(variable: int, found: list[tuple[float, float]], x: Array,
                     residual: Array) -> tuple[Shape, list[Array]]:
    """sin(ω₁·x + φ₁) + a₂·sin(ω₂·x + φ₂) + ..., started at the peaks and their least-squares amplitudes."""
    waves = np.column_stack([np.sin(omega * x + phase) for omega, phase in found])
    amplitudes = np.linalg.lstsq(waves, residual, rcond=None)[0]
    tokens = _cycle(variable)
    for _ in found[1:]:
        tokens += _cycle(variable) + [PARAM, _MUL, _ADD]
    # Each frequency also started a tenth of a peak's width to either side of its peak: close peaks pull
    # each other off their frequencies in the periodogram, and a joint fit started there can stop in a
    # local minimum (beats of 1.9 and 2.3 over 20 units of time show peaks at 1.891 and 2.317).
    step = 0.2 * math.pi / float(np.max(x) - np.min(x))
    starts = []
    for shifts in itertools.product((0.0, -step, step), repeat=len(found)):
        start = [found[0][0] + shifts[0], found[0][1]]
        for (omega, phase), amplitude, shift in zip(found[1:], amplitudes[1:], shifts[1:]):
            start += [omega + shift, phase, float(amplitude / amplitudes[0]) if amplitudes[0] != 0.0 else 1.0]
        starts.append(np.array(start))
    return number_parameters(tokens), starts


def _separate_cycles(tokens: Shape) -> list[Shape]:
    """The sinusoids of a fitted sum of cycles (its parameters written in), each a term of its own."""
    return [tokens[k - 5:k + 1] for k, token in enumerate(tokens) if token == ("op", "Sin")]


def _without_phase(cycle: Shape) -> Shape:
    """A written-in sin(ω·x + φ) (laid out as _cycle lays it out) as sin(ω·x)."""
    return cycle[:3] + cycle[5:]


def _written(tokens: Sequence[Token], inner: Array) -> Shape:
    """The tokens with their parameters written in as constants."""
    return tuple(("const", float(inner[int(token[1])])) if token[0] == "param" else token for token in tokens)


def envelope_cycle_terms(columns: Sequence[Array], target: Array) -> list[Shape]:
    """Terms for sums, their parameters written in as constants: each envelope × cycle shape of three
    parameters, fitted to what the linear model on the raw variables leaves, and the sinusoids of a
    variable with several cycles fitted together (close peaks, as in beats, pull each other off their
    frequencies in the periodogram) beside a straight line in every variable (fitted to what the line
    leaves, they would take up the part of them the line took); none without a cycle. A sum counts a
    term's constants as tokens, not as fitted values: an envelope × cycle term fitted as closely as the
    parametric stage fits the same shape would pass its own formula, which counts them, by a token line,
    and lose it its intervals. So the stage judges a lone envelope × cycle, and a sum gets one beside a
    trend."""
    design = np.column_stack([*columns, np.ones(len(target))])
    residual = np.ascontiguousarray(target - design @ np.linalg.lstsq(design, target, rcond=None)[0])
    cycles = significant_cycles(columns, residual, MOST_CYCLES_TOGETHER)
    if not cycles:
        return []
    envelopes = _envelope_cycle_shapes(columns, residual, {v: found[:1] for v, found in cycles.items()}, 3)
    # The strongest two and, where there are more, all: a spurious weaker peak can keep the fit of all from
    # converging.
    together = [_cycles_together(v, found[:count], columns[v], residual) for v, found in cycles.items()
                for count in range(2, len(found) + 1)]
    line = [token for v in range(len(columns)) for token in (("var", v), PARAM, _MUL, _ADD)]
    beside_line = [(number_parameters(list(tokens) + line), [np.concatenate([start, np.zeros(len(columns))])
                                                            for start in starts])
                   for tokens, starts in together]
    terms: list[Shape] = []
    for fitted in fit_shapes(Problem(list(columns), residual, (), box_of(columns), 0.0, 2), envelopes):
        if fitted is not None:
            terms.append(_written(fitted.tokens, fitted.inner))
    offered: list[tuple[int, float]] = []  # (variable, frequency) of the sinusoids offered so far
    problem = Problem(list(columns), np.ascontiguousarray(target), (), box_of(columns), 0.0, 2)
    for fitted in fit_shapes(problem, beside_line):
        if fitted is None:
            continue
        for cycle in _separate_cycles(_written(fitted.tokens[:len(fitted.tokens) - len(line)], fitted.inner)):
            # A frequency within a tenth of a peak's width of one offered is the same cycle refitted.
            variable, omega = int(cycle[0][1]), abs(float(cycle[1][1]))
            span = float(np.max(columns[variable]) - np.min(columns[variable]))
            if all(v != variable or abs(omega - w) * span > 0.2 * math.pi for v, w in offered):
                offered.append((variable, omega))
                # And without its phase: where the phase is 0 to rounding the pool keeps the shorter term
                # alone, and otherwise the sums weigh the phase's constant against what it explains.
                terms += [cycle, _without_phase(cycle)]
    return terms
