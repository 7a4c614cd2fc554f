"""A sum of terms, a₁·f₁ + a₂·f₂ + … (its offset is the formula's): each term a searched shape f with its
coefficient, fitted or exact, and the sum's token list and forms.

The token list is what predict evaluates: each term c·f with c = |a| (f alone when |a| is 1), joined by
Add or Sub by the sign of a, left to right; the first term keeps its sign in c (or a Neg for -1). The
text, LaTeX, Python and SymPy forms are written term by term, so exact coefficients read as exact
(pi/4, not 0.7854), and the Python form computes, operation for operation, what predict computes.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

from zor._constants import Exact, Snapped, affine_latex, affine_python, affine_sympy, affine_text, exact_value
from zor._expression import Token, latex_needs_brackets, latex_parts, python_expression, to_sympy, to_text


@dataclass(frozen=True)
class Term:
    """One term of a sum: `coefficient` times the shape `tokens`; `exact` is the coefficient's exact
    form (p, q, factor) when it snapped (see zor._constants), which every form and predict use."""

    tokens: tuple[Token, ...]
    coefficient: float
    exact: Exact | None = None

    @property
    def used(self) -> float:
        return self.coefficient if self.exact is None else exact_value(self.exact)

    def magnitude(self) -> Snapped:
        """|coefficient| as the scale of the term's shape, for the terms after the first."""
        exact = None if self.exact is None else (abs(self.exact[0]),) + self.exact[1:]
        return Snapped(abs(self.coefficient), 0.0, exact, None)

    def signed(self) -> Snapped:
        return Snapped(self.coefficient, 0.0, self.exact, None)


def sum_tokens(terms: Sequence[Term]) -> tuple[Token, ...]:
    tokens: list[Token] = []
    for k, term in enumerate(terms):
        used = term.used
        scale = used if k == 0 else abs(used)
        if scale == 1.0:
            tokens += term.tokens
        elif scale == -1.0:
            tokens += term.tokens + (("op", "Neg"),)
        else:
            tokens += (("const", scale),) + term.tokens + (("op", "Mul"),)
        if k > 0:
            tokens.append(("op", "Sub" if used < 0.0 else "Add"))
    return tuple(tokens)


def sum_complexity(terms: Sequence[Term]) -> int:
    """Each shape's tokens, one for each coefficient other than ±1, one for each + or - between terms."""
    return sum(len(term.tokens) + (abs(term.used) != 1.0) for term in terms) + len(terms) - 1


def _joined(parts: Sequence[tuple[bool, str]]) -> str:
    """The terms' forms, each after the first with its sign: a + b - c."""
    text = parts[0][1]
    for negative, part in parts[1:]:
        text += f" - {part}" if negative else f" + {part}"
    return text


def sum_text(terms: Sequence[Term], names: Sequence[str]) -> str:
    return _joined([(False, affine_text(to_text(terms[0].tokens, names), terms[0].signed()))] + [
        (term.used < 0.0, affine_text(to_text(term.tokens, names), term.magnitude())) for term in terms[1:]])


def sum_latex(terms: Sequence[Term], names: Sequence[str]) -> str:
    def latex(term: Term, snapped: Snapped) -> str:
        body, kind = latex_parts(term.tokens, names)
        return affine_latex(body, latex_needs_brackets(kind), snapped)

    return _joined([(False, latex(terms[0], terms[0].signed()))] + [
        (term.used < 0.0, latex(term, term.magnitude())) for term in terms[1:]])


def sum_python(terms: Sequence[Term], names: Sequence[str]) -> str:
    """A Python expression that computes the sum in the order of sum_tokens: (c * (f)) per term, the
    terms added or subtracted left to right."""
    def python(term: Term, snapped: Snapped) -> str:
        body = f"({python_expression(term.tokens, names)})"
        return f"(-{body})" if snapped.used_scale == -1.0 else affine_python(body, snapped)

    return _joined([(False, python(terms[0], terms[0].signed()))] + [
        (term.used < 0.0, python(term, term.magnitude())) for term in terms[1:]])


def sum_sympy(terms: Sequence[Term], names: Sequence[str]) -> Any:
    total: Any = 0
    for term in terms:
        total = total + affine_sympy(to_sympy(term.tokens, names), term.signed())
    return total
