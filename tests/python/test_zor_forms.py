"""The forms of a zor formula built from its tokens: text, LaTeX, Python, SymPy, and evaluation."""

import math
import sys

import pytest

import zor_core
from zor import _native
from zor._expression import python_identifiers, to_latex, to_python, to_simplified_text, to_sympy, to_text


def var(k):
    return ("var", k)


def const(v):
    return ("const", v)


def op(name):
    return ("op", name)


X, Y = var(0), var(1)
SPECIAL = [0.0, -0.0, 1.0, -1.0, 0.5, 1e-301, 1e-300, -1e-300, 709.78, 709.79, 710.0, 800.0, -800.0, 1e300,
           math.pi, -3.5, 2.0]


def run_python_form(tokens, names, *row):
    namespace = {}
    exec(to_python(tokens, names), namespace)
    return namespace["f"](*row)


@pytest.mark.parametrize(
    "tokens, latex",
    [
        ([X, Y, op("Add"), X, op("Mul")], r"\left(x + y\right) \cdot x"),
        ([X, X, Y, op("Add"), op("Sub")], r"x - \left(x + y\right)"),
        ([X, X, Y, op("Sub"), op("Add")], r"x + x - y"),
        ([X, op("Neg"), Y, op("Mul")], r"-x \cdot y"),
        ([X, Y, op("Neg"), op("Mul")], r"x \cdot \left(-y\right)"),
        ([X, Y, op("Add"), op("Neg")], r"-\left(x + y\right)"),
        ([X, op("Neg"), op("Neg")], r"-\left(-x\right)"),
        ([X, Y, op("Sub"), op("Recip")], r"\frac{1}{x - y}"),
        ([X, Y, op("Div"), op("Sqrt")], r"\sqrt{\frac{x}{y}}"),
        # zor as zor_core writes it, an atom: no brackets under a factor or a minus
        ([X, const(1.0), op("Zor")], r"\mathrm{zor}\left(x, 1\right)"),
        ([X, Y, op("Zor"), X, op("Mul")], r"\mathrm{zor}\left(x, y\right) \cdot x"),
        ([X, X, Y, op("Zor"), op("Sub")], r"x - \mathrm{zor}\left(x, y\right)"),
        ([X, Y, op("Zor"), op("Neg")], r"-\mathrm{zor}\left(x, y\right)"),
        ([X, Y, op("Div"), X, Y, op("Zor"), op("Zor")],
         r"\mathrm{zor}\left(\frac{x}{y}, \mathrm{zor}\left(x, y\right)\right)"),
        # its guards are zor's own: literal arguments are written as they are
        ([X, const(-2.0), op("Zor")], r"\mathrm{zor}\left(x, -2\right)"),
        ([X, const(0.0), op("Sub"), op("Ln")], r"\ln\left(x - 0\right)"),
        ([X, op("Exp"), op("Ln"), op("Abs")], r"\left|\ln\left(\exp\left(x\right)\right)\right|"),
        ([X, op("Square"), Y, op("Mul")], r"x^{2} \cdot y"),
        ([X, Y, op("Div"), op("Square")], r"\left(\frac{x}{y}\right)^{2}"),
        ([X, op("Neg"), op("Square")], r"\left(-x\right)^{2}"),
        ([const(math.pi), X, op("Mul")], r"\pi \cdot x"),
        ([const(-0.5), X, op("Add")], r"-0.5 + x"),
        ([X, const(-0.5), op("Mul")], r"x \cdot \left(-0.5\right)"),
        ([const(2.5e-20)], r"2.5 \cdot 10^{-20}"),
    ],
)
def test_latex_puts_parentheses_where_precedence_needs_them(tokens, latex):
    assert to_latex(tokens, ["x", "y"]) == latex


@pytest.mark.parametrize("name, latex", [("m", "m"), ("mass", r"\mathrm{mass}"), ("a_1", r"\mathrm{a\_1}"),
                                         ("50%", r"\mathrm{50\%}")])
def test_latex_variable_names(name, latex):
    assert to_latex([X], [name]) == latex


def test_text_form_follows_the_core_layout_with_names():
    tokens = [X, const(1.0), op("Add"), op("Sqrt"), Y, const(math.e), op("Zor"), op("Div")]
    assert to_text(tokens, ["x", "y"]) == "(sqrt((x + 1)) / zor(y, e))"
    assert to_text(tokens, ["mass", "v"]) == "(sqrt((mass + 1)) / zor(v, e))"
    assert to_text([const(math.pi), ("param", 0, 2.5), op("Mul")], ["x"]) == "(\u03c0 * c0(2.5000))"
    assert to_text([X, const(0.5), op("Mul"), const(-2.0), op("Add")], ["x"]) == "((x * 0.5000) + -2)"


@pytest.mark.parametrize("tokens", [[], [X, op("Add")], [X, Y], [op("Neg")], [X, op("Pow")]])
def test_malformed_token_lists_are_refused(tokens):
    with pytest.raises(ValueError, match="malformed formula"):
        to_text(tokens, ["x", "y"])


def test_python_identifiers_are_valid_and_distinct():
    names = ["mass (kg)", "mass [kg]", "2nd", "lambda", "math", "f", "x"]
    idents = python_identifiers(names)
    assert idents == ("mass__kg_", "mass__kg__2", "_2nd", "lambda_", "math_", "f_", "x")
    tokens = [var(k) for k in range(len(names))] + [op("Add")] * (len(names) - 1)
    assert run_python_form(tokens, names, *range(1, 8)) == 28


def test_python_form_zor_matches_the_native_guards_bit_for_bit():
    tokens = [X, Y, op("Zor")]
    xs = [a for a in SPECIAL for _ in SPECIAL]
    ys = [b for _ in SPECIAL for b in SPECIAL]
    expected = zor_core.tension_n(xs, ys)
    evaluated = _native.evaluate(tokens, [xs, ys])
    for a, b, want, native in zip(xs, ys, expected, evaluated):
        got = run_python_form(tokens, ["x", "y"], a, b)
        assert got.hex() == want.hex(), (a, b)
        # the evaluator refuses non-finite results, which the plain function returns
        assert native.hex() == want.hex() if math.isfinite(want) else math.isnan(native)


@pytest.mark.parametrize(
    "tokens",
    [
        [X, op("Exp"), X, op("Mul")],
        [X, op("Ln"), Y, op("Sqrt"), op("Div")],
        [X, op("Sin"), Y, op("Cos"), op("Sub"), op("Recip")],
        [X, op("Neg"), op("Abs"), Y, op("Zor")],
        [const(math.pi), X, op("Mul"), const(math.e), op("Add")],
        [X, Y, op("Sub"), op("Square"), Y, op("Square"), op("Div")],
    ],
)
def test_python_form_and_evaluate_agree(tokens):
    rows = [(a, b) for a in SPECIAL[:12] for b in SPECIAL[:12]]
    values = _native.evaluate(tokens, [[a for a, _ in rows], [b for _, b in rows]])
    defined = 0
    for (a, b), value in zip(rows, values):
        try:
            got = run_python_form(tokens, ["x", "y"], a, b)
        except (ValueError, ZeroDivisionError, OverflowError):
            assert math.isnan(value), (a, b)
            continue
        if math.isnan(value):
            # undefined for the evaluator: a guard failed or the plain result is not finite
            assert not math.isfinite(got) or tokens[-1] in (op("Div"), op("Recip")), (a, b, got)
        else:
            assert got.hex() == value.hex(), (a, b)
            defined += 1
    assert defined > 10


@pytest.mark.parametrize("name, arity", [(row["name"], row["arity"]) for row in _native.OPERATORS])
def test_every_operator_of_the_table_folds_evaluates_and_has_every_form(name, arity):
    # the package folds token lists by the exported arities: the evaluator takes exactly as many operands
    columns = [[0.5], [0.25], [0.125]]
    operands = [var(k) for k in range(arity + 1)]
    tokens = operands[:arity] + [op(name)]
    value = _native.evaluate(tokens, columns)[0]
    assert math.isnan(_native.evaluate(operands[: arity - 1] + [op(name)], columns)[0])
    assert math.isnan(_native.evaluate(operands + [op(name)], columns)[0])
    # and the forms written in Python know the operator and agree with the evaluator
    names = ["x", "y"]
    assert run_python_form(tokens, names, 0.5, 0.25).hex() == value.hex()
    assert float(to_sympy(tokens, names).subs({"x": 0.5, "y": 0.25})) == pytest.approx(value, rel=1e-12)
    assert to_latex(tokens, names)


def test_the_exported_guards_are_where_the_core_folds_and_floors():
    fold, floor = _native.ZOR_EXP_FOLD, _native.ZOR_LOG_FLOOR

    def zor(a, b):
        return _native.evaluate([const(a), const(b), op("Zor")], [[0.0]])[0]

    above = math.nextafter(fold, math.inf)
    assert zor(fold, 1.0) == math.exp(fold) and zor(above, 1.0) == math.exp(math.log(above))
    assert zor(0.0, 0.0) == zor(0.0, -floor / 4) == zor(0.0, -floor) == 1.0 - math.log(floor)
    assert zor(0.0, -3 * floor) == 1.0 - math.log(3 * floor)


def test_evaluate_gives_nan_for_undefined_rows_and_checks_its_input():
    assert [math.isnan(v) for v in _native.evaluate([X, op("Ln")], [[1.0, 0.0, -1.0, math.e]])] == [
        False, True, True, False]
    with pytest.raises(ValueError, match="unknown operator 'Pow'"):
        _native.evaluate([X, ("op", "Pow")], [[1.0]])
    with pytest.raises(TypeError, match="a token is a tuple"):
        _native.evaluate([X, 3], [[1.0]])
    with pytest.raises(ValueError, match="column 1 has 1 values but column 0 has 2"):
        _native.evaluate([X], [[1.0, 2.0], [1.0]])


def test_sympy_form_writes_zor_out_and_differentiates():
    sp = pytest.importorskip("sympy")
    mass, v = sp.symbols("mass v")
    expr = to_sympy([X, Y, op("Zor"), X, op("Mul")], ["mass", "v"])
    assert sp.simplify(expr - mass * (sp.exp(mass) - sp.log(v))) == 0
    assert sp.simplify(sp.diff(expr, v) + mass / v) == 0
    value = float(expr.subs({mass: 0.7, v: 2.5}))
    assert value == pytest.approx(_native.evaluate([X, Y, op("Zor"), X, op("Mul")], [[0.7], [2.5]])[0], rel=1e-14)
    assert to_sympy([const(math.pi), const(1.0), op("Add")], ["x"]) == sp.pi + 1


@pytest.mark.parametrize(
    "tokens",
    [
        [X, const(0.0), op("Zor")],
        [X, const(-2.0), op("Zor"), Y, op("Mul")],
        [const(800.0), Y, op("Zor")],
        [const(0.0), const(0.0), op("Zor"), X, op("Div")],
        [X, Y, op("Zor"), X, Y, op("Zor"), op("Add")],
    ],
)
def test_sympy_and_latex_forms_keep_the_guards_of_literal_zor_arguments(tokens):
    sp = pytest.importorskip("sympy")
    x, y = sp.symbols("x y")
    native = _native.evaluate(tokens, [[0.7], [2.5]])[0]
    assert math.isfinite(native)
    assert float(to_sympy(tokens, ["x", "y"]).subs({x: 0.7, y: 2.5})) == pytest.approx(native, rel=1e-12)
    assert r"\ln\left(0\right)" not in to_latex(tokens, ["x", "y"])


@pytest.mark.parametrize(
    "tokens, text",
    [
        ([X, X, op("Add")], "2*x"),
        ([X, op("Sqrt"), X, op("Mul")], "x**(3/2)"),
        ([X, const(1.0), op("Zor")], "exp(x)"),
        ([X, Y, op("Zor"), X, Y, op("Zor"), op("Sub")], "0"),
    ],
)
def test_simplified_text(tokens, text):
    pytest.importorskip("sympy")
    assert to_simplified_text(tokens, ["x", "y"]) == text


def test_missing_extra_is_named(monkeypatch):
    # None in sys.modules makes the import fail as for a missing package.
    monkeypatch.setitem(sys.modules, "sympy", None)
    with pytest.raises(ImportError, match=r"to_sympy\(\) needs sympy.*pip install 'zor_core\[sympy\]'"):
        to_sympy([X], ["x"])
