"""Formulas as postfix token lists, and their forms with named variables.

A token is ``("const", value)``, ``("var", index)``, ``("param", index, stored)``
or ``("op", name)`` with the operator names of the native core. Every form here
is built from the tokens, never by rewriting another form's text.
"""

from __future__ import annotations

import keyword
import math
import re
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any, TypeVar, Union

from zor import _native
from zor._native import OPERATORS
from zor._optional import import_extra

if TYPE_CHECKING:
    import sympy

Token = Union[tuple[str, float], tuple[str, int], tuple[str, str], tuple[str, int, float]]

# The native core's operator table, in code order: every form below is written from its rows, so an
# operator is one row there (and its evaluation).
ROWS = {row["name"]: row for row in OPERATORS}
UNARY = tuple(row["name"] for row in OPERATORS if row["arity"] == 1)
BINARY = tuple(row["name"] for row in OPERATORS if row["arity"] == 2)

T = TypeVar("T")


def fold(
    tokens: Sequence[Token],
    leaf: Callable[[Token], T],
    unary: Callable[[str, T], T],
    binary: Callable[[str, T, T], T],
) -> T:
    """Evaluates the token list on a stack with the given interpretations."""
    stack: list[T] = []
    for token in tokens:
        if token[0] != "op":
            stack.append(leaf(token))
            continue
        name = str(token[1])
        if name in UNARY and stack:
            stack.append(unary(name, stack.pop()))
        elif name in BINARY and len(stack) >= 2:
            right = stack.pop()
            stack.append(binary(name, stack.pop(), right))
        else:
            raise ValueError(f"malformed formula: cannot apply {name} in {list(tokens)!r}")
    if len(stack) != 1:
        raise ValueError(f"malformed formula: {list(tokens)!r} leaves {len(stack)} values")
    return stack[0]


# zor's guards, as the native core applies them (see to_sympy).
ZOR_LOG_FLOOR = _native.ZOR_LOG_FLOOR
ZOR_EXP_FOLD = _native.ZOR_EXP_FOLD


def with_literal_zor_guards(tokens: Sequence[Token]) -> list[Token]:
    """The tokens with zor's guards applied to literal arguments, for the forms that write zor out as
    exp(a) - ln(b): a constant b <= 0 becomes max(|b|, ZOR_LOG_FLOOR), what the native core takes the
    logarithm of, and a constant a > ZOR_EXP_FOLD becomes ln(a), whose exponential the core takes.
    zor(x, 0) is then exp(x) - ln(1e-300), finite as evaluated, instead of exp(x) - ln(0)."""
    result = list(tokens)
    starts: list[int] = []  # where each operand on the stack begins
    for index, token in enumerate(tokens):
        if token[0] != "op":
            starts.append(index)
            continue
        binary = token[1] in BINARY
        if len(starts) < (2 if binary else 1):
            break  # malformed: fold reports it
        if not binary:
            continue
        right, left = starts.pop(), starts.pop()
        starts.append(left)
        if token[1] != "Zor":
            continue
        b = _literal(result[right]) if right == index - 1 else None
        if b is not None and b <= 0.0:
            result[right] = ("const", max(abs(b), ZOR_LOG_FLOOR))
        a = _literal(result[left]) if left == right - 1 else None
        if a is not None and a > ZOR_EXP_FOLD:
            result[left] = ("const", math.log(a))
    return result


def _literal(token: Token) -> float | None:
    if token[0] == "const":
        return float(token[1])
    if token[0] == "param":
        return float(token[2])  # type: ignore[misc]
    return None


def default_names(count: int) -> tuple[str, ...]:
    """x, y, z as the native core writes them; x0, x1, ... beyond three variables."""
    return ("x", "y", "z")[:count] if count <= 3 else tuple(f"x{k}" for k in range(count))


def _fixed4(value: float) -> str:
    if math.isnan(value):
        return "NaN"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    return f"{value:.4f}"


def _text_number(value: float) -> str:
    """An integer as one (1, not the core's 1.0000); any other number with four decimals."""
    if value.is_integer() and abs(value) < 2**53:
        return str(int(value))
    return _fixed4(value)


# --- plain text: the native core's layout, fully parenthesised -------------

_TEXT = {name: row["text"] for name, row in ROWS.items()}


def to_text(tokens: Sequence[Token], names: Sequence[str]) -> str:
    """The formula laid out as the native core writes it, with `names` for the variables and integer
    constants written as integers."""

    def leaf(token: Token) -> str:
        kind = token[0]
        if kind == "var":
            return names[int(token[1])]
        if kind == "param":
            return f"c{token[1]}({_fixed4(float(token[2]))})"  # type: ignore[misc]
        value = float(token[1])
        return "\u03c0" if value == math.pi else "e" if value == math.e else _text_number(value)

    return fold(tokens, leaf, lambda op, a: _TEXT[op].format(a), lambda op, a, b: _TEXT[op].format(a, b))


# --- LaTeX: parentheses only where precedence needs them --------------------

# The bracket classes of the table's LaTeX forms: each row says the class of
# what it makes and, per operand, which classes it wraps in \left( \right).
# A _LEAF (a variable) takes an exponent without parentheses.
_SUM, _NEGATED, _PRODUCT, _ATOM, _LEAF = 1, 2, 3, 4, 5
_OPERAND = re.compile(r"#([12])")
_LATEX_SPECIALS = {"\\": r"\backslash{}", "_": r"\_", "{": r"\{", "}": r"\}", "$": r"\$", "&": r"\&",
                   "#": r"\#", "%": r"\%", "^": r"\^{}", "~": r"\~{}"}


def latex_name(name: str) -> str:
    """A variable name in LaTeX: one letter in italics, longer names upright."""
    if len(name) == 1 and name.isalpha() and name.isascii():
        return name
    escaped = "".join(_LATEX_SPECIALS.get(c, c) for c in name)
    return rf"\mathrm{{{escaped}}}"


def _latex_number(value: float) -> tuple[str, int]:
    if value == math.pi:
        return r"\pi", _ATOM
    if value == math.e:
        return "e", _ATOM
    if math.isnan(value):
        return r"\mathrm{NaN}", _ATOM
    if math.isinf(value):
        return (r"\infty", _ATOM) if value > 0 else (r"-\infty", _NEGATED)
    text = str(int(value)) if value.is_integer() and abs(value) < 2**53 else repr(value)
    if "e" in text:
        mantissa, exponent = text.split("e")
        text = rf"{mantissa} \cdot 10^{{{int(exponent)}}}"
    return text, _NEGATED if text.startswith("-") else _ATOM


def _latex_apply(op: str, *operands: tuple[str, int]) -> tuple[str, int]:
    row = ROWS[op]
    written = [rf"\left({text}\right)" if wraps >> kind & 1 else text
               for (text, kind), wraps in zip(operands, row["latex_wraps"])]
    return _OPERAND.sub(lambda match: written[int(match.group(1)) - 1], row["latex"]), row["latex_class"]


def latex_parts(tokens: Sequence[Token], names: Sequence[str]) -> tuple[str, int]:
    """The formula in LaTeX and its bracket class (_SUM, _NEGATED, ...: whether a factor in front of it
    needs parentheses)."""

    def leaf(token: Token) -> tuple[str, int]:
        if token[0] == "var":
            return latex_name(names[int(token[1])]), _LEAF
        return _latex_number(float(token[2] if token[0] == "param" else token[1]))  # type: ignore[misc]

    return fold(tokens, leaf, _latex_apply, _latex_apply)


def latex_needs_brackets(kind: int) -> bool:
    """Whether a formula of this bracket class takes parentheses as a factor: sums and negations."""
    return kind in (_SUM, _NEGATED)


def to_latex(tokens: Sequence[Token], names: Sequence[str]) -> str:
    """The formula in LaTeX (without math delimiters); zor(a, b) is written \\mathrm{zor}(a, b), as
    zor_core writes it."""
    return latex_parts(tokens, names)[0]


# --- Python: a module that runs as it stands --------------------------------

_PY_RESERVED = {"math", "zor", "safe_exp", "safe_log", "f"}

_ZOR_SOURCE = f'''

def safe_exp(a: float) -> float:
    """exp(a); an argument above {ZOR_EXP_FOLD!r} is replaced by its logarithm first, so it never overflows."""
    return math.exp(math.log(a)) if a > {ZOR_EXP_FOLD!r} else math.exp(a)


def safe_log(b: float) -> float:
    """log(b); an argument b <= 0 is replaced by max(|b|, {ZOR_LOG_FLOOR!r})."""
    return math.log(max(abs(b), {ZOR_LOG_FLOOR!r}) if b <= 0.0 else b)


def zor(a: float, b: float) -> float:
    """zor(a, b) = exp(a) - ln(b), with the guards of safe_exp and safe_log."""
    return safe_exp(a) - safe_log(b)
'''


def python_identifiers(names: Sequence[str]) -> tuple[str, ...]:
    """Distinct Python identifiers for the variable names, each as close to its name as possible."""
    taken: set[str] = set()
    result = []
    for name in names:
        ident = "".join(c if (c.isalnum() or c == "_") and c.isascii() else "_" for c in name) or "_"
        if ident[0].isdigit():
            ident = "_" + ident
        if keyword.iskeyword(ident) or ident in _PY_RESERVED:
            ident += "_"
        base, suffix = ident, 2
        while ident in taken:
            ident, suffix = f"{base}_{suffix}", suffix + 1
        taken.add(ident)
        result.append(ident)
    return tuple(result)


def _python_number(value: float) -> str:
    if value == math.pi:
        return "math.pi"
    if value == math.e:
        return "math.e"
    if math.isnan(value):
        return "math.nan"
    if math.isinf(value):
        return "math.inf" if value > 0 else "(-math.inf)"
    text = repr(value)
    return f"({text})" if text.startswith("-") else text


def python_expression(tokens: Sequence[Token], names: Sequence[str]) -> str:
    """The formula as one Python expression over the identifiers python_identifiers(names) gives."""
    idents = python_identifiers(names)

    def leaf(token: Token) -> str:
        if token[0] == "var":
            return idents[int(token[1])]
        return _python_number(float(token[2] if token[0] == "param" else token[1]))  # type: ignore[misc]

    return fold(tokens, leaf, lambda op, a: ROWS[op]["python"].format(a),
                lambda op, a, b: ROWS[op]["python"].format(a, b))


def to_python(tokens: Sequence[Token], names: Sequence[str], body: str | None = None) -> str:
    """Python source defining f(<one argument per variable>), with zor and its guards when it is used;
    it returns `body` when given (an expression over the same identifiers), else the formula itself."""
    idents = python_identifiers(names)
    if body is None:
        body = python_expression(tokens, names)
    helpers = _ZOR_SOURCE if ("op", "Zor") in tokens else ""
    arguments = ", ".join(f"{ident}: float" for ident in idents)
    return f"import math\n{helpers}\n\ndef f({arguments}) -> float:\n    return {body}\n"


# --- SymPy ------------------------------------------------------------------


def to_sympy(tokens: Sequence[Token], names: Sequence[str]) -> sympy.Expr:
    """The formula as a SymPy expression over symbols named as the variables.

    zor(a, b) is written out as exp(a) - log(b). Its guards are part of the
    expression only for literal arguments (see with_literal_zor_guards): where
    a > 709.78 the native evaluation takes exp(log(a)), and where b <= 0 it
    takes log(max(|b|, 1e-300)); elsewhere the two agree.
    """
    sp: Any = import_extra("sympy", "sympy", "to_sympy()")
    symbols = [sp.Symbol(name) for name in names]

    def leaf(token: Token) -> Any:
        if token[0] == "var":
            return symbols[int(token[1])]
        value = float(token[2] if token[0] == "param" else token[1])  # type: ignore[misc]
        if value == math.pi:
            return sp.pi
        if value == math.e:
            return sp.E
        if math.isnan(value):
            return sp.nan
        if math.isinf(value):
            return sp.oo if value > 0 else -sp.oo
        return sp.Integer(int(value)) if value.is_integer() else sp.Float(value)

    forms = _sympy_forms(sp)
    return fold(with_literal_zor_guards(tokens), leaf, lambda op, a: forms[op](a), lambda op, a, b: forms[op](a, b))


def _sympy_forms(sp: Any) -> dict[str, Callable[..., Any]]:
    """Each operator's SymPy form from the table, as a function of its operands a and b."""
    namespace = {name: getattr(sp, name) for name in dir(sp) if not name.startswith("_")}
    return {name: eval(f"lambda a, b=None: {row['sympy']}", namespace)  # noqa: S307 - the native table's own text
            for name, row in ROWS.items()}


def to_simplified_text(tokens: Sequence[Token], names: Sequence[str]) -> str:
    """The SymPy form as text, which SymPy has already simplified as it built it: (L + L) is 2*L,
    (sqrt(a) * a) is a**(3/2), zor(x, 1) is exp(x). Needs the `sympy` extra."""
    sp: Any = import_extra("sympy", "sympy", "the simplified form")
    return str(sp.sstr(to_sympy(tokens, names)))
