"""Formulas with parameters as functions of their parameters: their values on rows, at one parameter
vector or a grid of them, and their derivatives with respect to the parameters by forward mode over the
tokens (the fits of zor._parameter_fits and the precision costs of zor._description_length use both)."""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np
from numpy.typing import NDArray

from zor._expression import Token, fold

Array = NDArray[np.float64]


def number_parameters(tokens: Sequence[Token], values: Sequence[float] | None = None) -> tuple[Token, ...]:
    """The tokens with their parameter leaves numbered 0, 1, ... left to right, holding `values` (0.0
    when None)."""
    result: list[Token] = []
    k = 0
    for token in tokens:
        if token[0] == "param":
            result.append(("param", k, 0.0 if values is None else float(values[k])))
            k += 1
        else:
            result.append(token)
    return tuple(result)


def parameter_count(tokens: Sequence[Token]) -> int:
    return sum(1 for token in tokens if token[0] == "param")


def apply_unary(name: str, a: Array) -> Array:
    if name == "Neg":
        return -a
    if name == "Recip":
        return 1.0 / a
    if name == "Exp":
        return np.exp(a)
    if name == "Ln":
        return np.log(a)
    if name == "Sqrt":
        return np.sqrt(a)
    if name == "Sin":
        return np.sin(a)
    if name == "Cos":
        return np.cos(a)
    if name == "Abs":
        return np.abs(a)
    if name == "Square":
        return a * a
    raise ValueError(f"unknown operator {name}")


def apply_binary(name: str, a: Array, b: Array) -> Array:
    if name == "Add":
        return a + b
    if name == "Sub":
        return a - b
    if name == "Mul":
        return a * b
    if name == "Div":
        return a / b
    if name == "Zor":  # undefined where zor's guards would take over: b <= 0 gives NaN or -inf here
        return np.exp(a) - np.log(b)
    raise ValueError(f"unknown operator {name}")


def values_at(tokens: Sequence[Token], columns: Sequence[Array], parameters: Array) -> Array:
    """The formula's values with its parameters at `parameters`: one row of values per row of a 2-D
    array of parameter vectors (grid × rows), or one vector for a 1-D one. NaN or infinities where it is
    undefined; NumPy's exp, log, ... (the native evaluation gives the values a formula is judged on)."""
    grid = parameters.ndim == 2

    def leaf(token: Token) -> Array:
        if token[0] == "var":
            return columns[int(token[1])]
        if token[0] == "param":
            k = int(token[1])
            return parameters[:, k:k + 1] if grid else np.asarray(parameters[k])
        return np.asarray(float(token[1]))

    with np.errstate(all="ignore"):
        result = fold(tokens, leaf, apply_unary, apply_binary)
    shape = (parameters.shape[0], len(columns[0])) if grid else (len(columns[0]),)
    return np.broadcast_to(result, shape)


Dual = tuple[Array, "Array | None"]  # values and their gradient (parameters × rows); None when zero


def _scaled(gradient: Array | None, factor: Array) -> Array | None:
    return None if gradient is None else gradient * factor


def _sum(a: Array | None, b: Array | None, sign: float = 1.0) -> Array | None:
    if b is None:
        return a
    if a is None:
        return sign * b
    return a + sign * b


def _unary_dual(name: str, operand: Dual) -> Dual:
    a, g = operand
    value = apply_unary(name, a)
    if g is None:
        return value, None
    return value, g * _derivative(name, a, value)


def _derivative(name: str, a: Array, value: Array) -> Array:
    """d value / d a of a unary operator at a, given its value there."""
    if name == "Neg":
        return -np.ones_like(a)
    if name == "Recip":
        return -value * value
    if name == "Exp":
        return value
    if name == "Ln":
        return 1.0 / a
    if name == "Sqrt":
        return 0.5 / value
    if name == "Sin":
        return np.cos(a)
    if name == "Cos":
        return -np.sin(a)
    if name == "Abs":
        return np.sign(a)
    return 2.0 * a  # Square


def _binary_dual(name: str, left: Dual, right: Dual) -> Dual:
    (a, ga), (b, gb) = left, right
    value = apply_binary(name, a, b)
    if name == "Add":
        return value, _sum(ga, gb)
    if name == "Sub":
        return value, _sum(ga, gb, -1.0)
    if name == "Mul":
        return value, _sum(_scaled(ga, b), _scaled(gb, a))
    if name == "Div":
        return value, _scaled(_sum(ga, _scaled(gb, value), -1.0), 1.0 / b)
    return value, _sum(_scaled(ga, np.exp(a)), _scaled(gb, 1.0 / b), -1.0)  # Zor


def value_and_gradient(tokens: Sequence[Token], columns: Sequence[Array], parameters: Array) -> tuple[Array, Array]:
    """The formula's values on the rows and their derivatives with respect to each parameter
    (parameters × rows), by forward mode over the tokens."""
    n, k = len(columns[0]), len(parameters)

    def leaf(token: Token) -> Dual:
        if token[0] == "var":
            return columns[int(token[1])], None
        if token[0] == "param":
            index = int(token[1])
            gradient = np.zeros((k, n))
            gradient[index] = 1.0
            return np.full(n, float(parameters[index])), gradient
        return np.full(n, float(token[1])), None

    with np.errstate(all="ignore"):
        value, gradient = fold(tokens, leaf, _unary_dual, _binary_dual)
    value = np.broadcast_to(value, (n,))
    return value, (np.zeros((k, n)) if gradient is None else np.broadcast_to(gradient, (k, n)))
