"""The fitted constants of a parametric formula snapped to exact values where the description length says
the data cannot tell them apart (an offset of 0 and a scale of 1 first, then each inner parameter, then
the scale and offset), and the fit made a Formula with its parameters' standard errors and intervals."""

from __future__ import annotations

import math
from collections.abc import Sequence

import numpy as np

from zor import _native
from zor._constants import ONE, SNAP_GATE, ZERO, Exact, Snapped, affine_text, exact_near, exact_text
from zor._constants import exact_value, snap_allowance
from zor._description_length import description_length
from zor._domain import defined_over
from zor._derivatives import number_parameters
from zor._expression import ROWS, Token, fold
from zor._parameter_fits import Fit, Problem, refit, standard_errors, t_quantile
from zor._uncertainty import Parameter


def _complexity(tokens: Sequence[Token], scale: float, offset: float) -> int:
    """The tokens, one more for each free parameter (a fitted real says more than the literal it
    replaces: (chi + c0) fitted to noise must not pass for the exact (chi + 1) at its complexity), and
    one each for a scale other than 1 and an offset other than 0."""
    return len(tokens) + sum(token[0] == "param" for token in tokens) + (scale != 1.0) + (offset != 0.0)


def _dl(problem: Problem, fitted: Fit, exact: dict[int, Exact]) -> float:
    k = len(fitted.full) - 2
    return description_length(
        sse=fitted.sse, rows=len(problem.target), complexity=_complexity(fitted.tokens, fitted.full[k],
                                                                         fitted.full[k + 1]),
        kinds=problem.kinds, free_values=fitted.full[fitted.free], jacobian=fitted.jacobian,
        exact=list(exact.values()), sse_floor=problem.sse_floor)


def snap_parameters(problem: Problem, fitted: Fit) -> tuple[Fit, dict[int, Exact], Fit]:
    """The fit's structure first (see `_structure`: an offset of 0 or a scale of 1 where the fit stays as
    good without it), then each inner parameter in turn replaced by the simplest exact constant within two
    standard errors of it whose refit (the others free) lowers the description length, then the scale and
    the offset the same way (see `_snap_outer`), every one within two standard errors of the structure's
    fit, which keeps the others free. Nothing snaps on a fit rougher than SNAP_GATE. Returns the final fit,
    the exact constants by position, and the structure's fit (whose standard errors the parameters
    report)."""
    exact = dict[int, Exact]()
    if not fitted.sse <= SNAP_GATE**2 * problem.syy:
        return fitted, exact, fitted
    k = len(fitted.full) - 2
    fitted, exact = _structure(problem, fitted)
    judged = fitted
    current_dl = _dl(problem, fitted, exact)
    errors, _ = standard_errors(judged, problem)
    error_of = dict(zip(np.flatnonzero(judged.free), errors))
    for position in range(k):
        if fitted.free[position]:
            found = _snapped_at(problem, fitted, exact, position, error_of[position], current_dl)
            if found is not None:
                fitted, exact, current_dl = found
    return *_snap_outer(problem, fitted, exact, current_dl, error_of), judged


def _structure(problem: Problem, fitted: Fit) -> tuple[Fit, dict[int, Exact]]:
    """The fit without its offset (an exact 0), its scale (an exact 1) or both, the others refitted, where
    that raises the sum of squared errors by at most snap_allowance of one constant (of two for both): the
    fewest constants win, then the least error. An offset of 0 is no term at all, which the scale must
    not be forced to make up for by snapping first."""
    k = len(fitted.full) - 2
    rows, count = fitted.jacobian.shape
    options = [(0, fitted.sse, fitted, dict[int, Exact]())]
    for positions in ([k + 1], [k], [k, k + 1]):
        if not all(fitted.free[position] for position in positions):
            continue
        start, free = fitted.full.copy(), fitted.free.copy()
        start[positions] = [1.0 if position == k else 0.0 for position in positions]
        free[positions] = False
        refitted = refit(problem, fitted.tokens, start, free)
        if refitted is None or not refitted.sse - fitted.sse <= snap_allowance(len(positions), fitted.sse,
                                                                                 rows - count, problem.syy):
            continue
        options.append((len(positions), refitted.sse, refitted, {p: ONE if p == k else ZERO for p in positions}))
    _, _, chosen, exact = min(options, key=lambda option: (-option[0], option[1]))
    return chosen, exact


def _snapped_at(problem: Problem, fitted: Fit, exact: dict[int, Exact], position: int, error: float,
                current_dl: float) -> tuple[Fit, dict[int, Exact], float] | None:
    """The refit with the constant at `position` replaced by the simplest exact value within two standard
    errors (`error`) of it (among the first of exact_near) that lowers the description length below
    `current_dl`, with its exact constants and description length; None when none does."""
    value = float(fitted.full[position])
    for candidate in exact_near(value, error)[:4]:
        target = exact_value(candidate)
        if not abs(target - value) <= 2.0 * error:
            continue
        start = fitted.full.copy()
        start[position] = target
        free = fitted.free.copy()
        free[position] = False
        snapped = refit(problem, fitted.tokens, start, free)
        if snapped is None:
            continue
        trial = {**exact, position: candidate}
        trial_dl = _dl(problem, snapped, trial)
        if trial_dl < current_dl:
            return snapped, trial, trial_dl
    return None


def _snap_outer(problem: Problem, fitted: Fit, exact: dict[int, Exact], current_dl: float,
                error_of: dict[int, float]) -> tuple[Fit, dict[int, Exact]]:
    """The scale and the offset the fit keeps free, snapped: each judged with the other free (see
    _snapped_at), and then the other judged with it fixed; both where that lowers the description length
    further (the scale's sequence tried first), otherwise the one whose refit leaves the smaller error, so
    that a snapped constant never leaves the other to make up for it."""
    k = len(fitted.full) - 2
    singles = [(position, found) for position in (k, k + 1) if fitted.free[position]
               and (found := _snapped_at(problem, fitted, exact, position, error_of[position], current_dl)) is not None]
    for position, (first, first_exact, first_dl) in singles:
        other = 2 * k + 1 - position
        if first.free[other]:
            both = _snapped_at(problem, first, first_exact, other, error_of[other], first_dl)
            if both is not None:
                return both[0], both[1]
    if not singles:
        return fitted, exact
    _, (best, best_exact, _) = min(singles, key=lambda single: single[1][0].sse)
    return best, best_exact


def formula_from_fit(problem: Problem, fitted: Fit, exact: dict[int, Exact], original: Fit) -> object | None:
    """The fit as a Formula with its parameters, judged by the native evaluation on the rows; None when
    it is not finite there or undefined over the data's box."""
    from zor._results import Formula

    k = len(fitted.full) - 2
    inner = [exact_value(exact[i]) if i in exact else float(fitted.full[i]) for i in range(k)]
    tokens = number_parameters(fitted.tokens, inner)
    if not defined_over(tokens, problem.domain):
        return None
    values = np.asarray(_native.evaluate(list(tokens), problem.columns), dtype=np.float64)
    if not np.all(np.isfinite(values)):
        return None
    scale, offset = float(fitted.full[k]), float(fitted.full[k + 1])
    snapped = Snapped(scale, offset, exact.get(k), exact.get(k + 1))
    from zor._constants import affine_values

    predicted = affine_values(values, snapped)
    y = problem.target
    error = float(np.sqrt(np.mean((predicted - y) ** 2)))
    if not math.isfinite(error):
        return None
    complexity = _complexity(tokens, snapped.used_scale, snapped.used_offset)
    parameters = _parameters(problem, fitted, original, exact, inner, snapped)
    return Formula(
        complexity=complexity,
        error=error,
        score=_native.penalised_score(error, complexity, problem.penalty),
        formula=affine_text(parameter_text(tokens, problem.names, exact), snapped),
        tokens=tokens,
        variable_names=problem.names,
        scale=scale,
        offset=offset,
        exact_scale=snapped.exact_scale,
        exact_offset=snapped.exact_offset,
        relative_error=error / math.sqrt(problem.mean_square) if problem.mean_square > 0 else math.nan,
        r2=1.0 - error * error / problem.variance if problem.variance > 0 else math.nan,
        domain=problem.domain,
        parameters=parameters,
    )


def _parameters(problem: Problem, final: Fit, original: Fit, exact: dict[int, Exact], inner: list[float],
                snapped: Snapped) -> tuple[Parameter, ...]:
    """Every constant of the formula, the inner ones, and the scale and offset where the formula has
    them (a scale of 1 or an offset of 0 only where the fit before snapping fitted it): a fitted one with
    its value from the final fit (the formula's own, the snapped constants fixed) and the larger of its
    standard errors there and before snapping, a snapped one with its fitted value, standard error and
    interval from the fit before snapping, which its exact value lies within. The exact values were chosen
    on the same rows, within their own errors: holding them fixed must not narrow the others' intervals (3
    and 2 snapped in 3·e^(c·t) + 2 leave c's error a third of what it is with them fitted, and on 1 % noise
    its interval then missed the true rate on 3 of 20 draws)."""
    k = len(original.full) - 2

    def errors_of(fit: Fit) -> tuple[dict[int, float], float]:
        errors, dof = standard_errors(fit, problem)
        return dict(zip(np.flatnonzero(fit.free), errors)), t_quantile(dof)

    final_errors, final_t = errors_of(final)
    original_errors, original_t = (final_errors, final_t) if original is final else errors_of(original)
    used = inner + [snapped.used_scale, snapped.used_offset]
    names = [f"c{i}" for i in range(k)] + ["scale", "offset"]
    result = []
    for position, name in enumerate(names):
        if position == k and snapped.used_scale == 1.0 or position == k + 1 and snapped.used_offset == 0.0:
            if position not in exact or not original.free[position]:
                continue  # a scale of 1 or an offset of 0 that was never fitted: the formula has none
        source, errors, t = (original, original_errors, original_t) if position in exact else (
            final, final_errors, final_t)
        fitted_value = float(source.full[position])
        error = float(errors.get(position, math.nan))
        before = original_errors.get(position)
        if position not in exact and before is not None and before > error:
            error, t = float(before), original_t
        result.append(Parameter(name, float(used[position]), fitted_value, error, fitted_value - t * error,
                                fitted_value + t * error, exact.get(position)))
    return tuple(result)


def parameter_text(tokens: Sequence[Token], names: Sequence[str], exact: dict[int, Exact] | None = None) -> str:
    """The formula as the native core lays it out, each parameter written as its value in full (or its
    exact constant)."""
    exact = exact or {}
    text = {name: row["text"] for name, row in ROWS.items()}

    def leaf(token: Token) -> str:
        if token[0] == "var":
            return names[int(token[1])]
        if token[0] == "param":
            index = int(token[1])
            return exact_text(exact[index]) if index in exact else repr(float(token[2]))  # type: ignore[misc]
        value = float(token[1])
        return str(int(value)) if value.is_integer() and abs(value) < 2**53 else repr(value)

    return fold(tokens, leaf, lambda op, a: text[op].format(a), lambda op, a, b: text[op].format(a, b))
