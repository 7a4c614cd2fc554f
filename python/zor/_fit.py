"""Refitting and snapping: every candidate f of the scaled search fitted as y = a·f + b on given rows,
its constants snapped to exact values where the fit stays as good (see zor._constants), and judged as
a Formula; an unscaled candidate made a Formula as the search scored it."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING

import numpy as np

from zor import _native
from zor._constants import FitStatistics, Snapped, affine_text, affine_values, snap
from zor._data import Column
from zor._domain import Box
from zor._expression import UNARY, Token, to_text
from zor._results import Formula

if TYPE_CHECKING:
    from zor._native import Candidate


class Judge:
    """Fits, snaps and scores scaled candidates on given rows."""

    def __init__(self, columns: list[Column], target: Column, names: tuple[str, ...], penalty: float,
                 domain: Box) -> None:
        self.columns, self.target, self.names, self.penalty, self.domain = columns, target, names, penalty, domain
        self.cache: dict[tuple[Token, ...], Formula | None] = {}

    def judge(self, candidate: Candidate) -> Formula | None:
        return self.judge_tokens(tuple(candidate["tokens"]), candidate.get("scale", 1.0) == 0.0)

    def judge_tokens(self, tokens: tuple[Token, ...], constant: bool = False) -> Formula | None:
        if tokens not in self.cache:
            self.cache[tokens] = self._judge(tokens, constant)
        return self.cache[tokens]

    def _judge(self, tokens: tuple[Token, ...], constant: bool) -> Formula | None:
        if constant:
            tokens = (("const", 1.0),)
        values = np.asarray(_native.evaluate(list(tokens), self.columns), dtype=np.float64)
        if not np.all(np.isfinite(values)):
            return None  # defined on the rows the search saw, not on all of them
        y = self.target
        n = len(y)
        f_mean, y_mean = float(np.mean(values)), float(np.mean(y))
        centred = values - f_mean
        sff = float(np.sum(centred * centred))
        largest = float(np.max(np.abs(values)))
        if constant or not sff > (1e-9 * largest) ** 2 * n:
            constant, scale, offset = True, 0.0, y_mean
        else:
            scale = float(np.sum(centred * (y - y_mean))) / sff
            offset = y_mean - scale * f_mean
        if not (math.isfinite(scale) and math.isfinite(offset)):
            return None
        residual = (scale * values + offset) - y
        stats = FitStatistics(n, f_mean, y_mean, sff, float(np.sum(residual * residual)), float(np.sum(y * y)))
        snapped = snap(stats, scale, offset, constant)
        flipped, snapped = _positive_scale(tokens, snapped)
        if flipped != tokens:
            tokens, values = flipped, -values
        predicted = affine_values(values, snapped)
        error = float(np.sqrt(np.mean((predicted - y) ** 2)))
        complexity = 1 if constant else len(tokens) + (snapped.used_scale != 1.0) + (snapped.used_offset != 0.0)
        mean_square, variance = float(np.mean(y * y)), float(np.var(y))
        return Formula(
            complexity=complexity,
            error=error,
            score=_native.penalised_score(error, complexity, self.penalty),
            formula=affine_text(to_text(tokens, self.names), snapped),
            tokens=tokens,
            variable_names=self.names,
            scale=snapped.scale,
            offset=snapped.offset,
            exact_scale=snapped.exact_scale,
            exact_offset=snapped.exact_offset,
            relative_error=error / math.sqrt(mean_square) if mean_square > 0 else math.nan,
            r2=1.0 - error * error / variance if variance > 0 else math.nan,
            domain=self.domain,
        )


def _positive_scale(tokens: tuple[Token, ...], snapped: Snapped) -> tuple[tuple[Token, ...], Snapped]:
    """A negative scale of a difference or a negation, moved into it:
    -a * (u - v) is a * (v - u), and -a * (-u) is a * u, bit for bit, since
    rounding is symmetric in sign; so x - y is not written as -1 * (y - x)."""
    if not snapped.used_scale < 0.0 or tokens[-1] not in (("op", "Sub"), ("op", "Neg")):
        return tokens, snapped
    if tokens[-1] == ("op", "Neg"):
        flipped = tokens[:-1]
    else:
        depth, split = 0, 0
        for i, token in enumerate(tokens[:-1]):
            depth += 1 if token[0] != "op" else 0 if token[1] in UNARY else -1
            if depth == 1:
                split = i + 1
        flipped = tokens[split:-1] + tokens[:split] + (("op", "Sub"),)
    exact = snapped.exact_scale
    return flipped, Snapped(-snapped.scale, snapped.offset, None if exact is None else (-exact[0],) + exact[1:],
                            snapped.exact_offset)


def unscaled_formula(candidate: Candidate, names: tuple[str, ...], domain: Box,
                     target_mean_square: float = math.nan, target_variance: float = math.nan) -> Formula:
    tokens = tuple(candidate["tokens"])
    error = candidate["rmse"]
    return Formula(
        complexity=candidate["complexity"],
        error=error,
        score=candidate["score"],
        formula=to_text(tokens, names),
        tokens=tokens,
        variable_names=names,
        relative_error=error / math.sqrt(target_mean_square) if target_mean_square > 0 else math.nan,
        r2=1.0 - error * error / target_variance if target_variance > 0 else math.nan,
        domain=domain,
    )
