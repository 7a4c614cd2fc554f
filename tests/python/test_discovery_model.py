"""Checks of the plain-Python discovery model against hand-worked values.

The model is the oracle of the find_formula comparisons, so its pieces are
pinned here on cases whose answers are known independently.
"""

import math

import pytest

import discovery_model as m
from discovery_model import const, op, var

X0 = [var(0)]


@pytest.mark.parametrize(
    "expr, row, expected",
    [
        ([], [1.0], None),
        ([const(2.5)], [], 2.5),
        ([var(1)], [1.0], None),
        ([var(0), op(m.LN)], [0.0], None),
        ([var(0), op(m.LN)], [-1.0], None),
        ([var(0), op(m.LN)], [1.0], 0.0),
        ([var(0), op(m.SQRT)], [-1e-300], None),
        ([var(0), op(m.RECIP)], [1e-301], None),
        ([var(0), op(m.RECIP)], [1e-300], 1 / 1e-300),
        ([const(1), var(0), op(m.DIV)], [0.0], None),
        ([const(1), var(0), op(m.DIV)], [5e-301], None),
        ([var(0), const(1), op(m.SUB)], [5.0], 4.0),
        ([var(0), var(0), op(m.ZOR)], [1.0], 2.718281828459045),
        ([const(0), const(0), op(m.ZOR)], [], 1 - math.log(1e-300)),
        ([const(710), const(1), op(m.ZOR)], [], math.exp(math.log(710))),
        ([const(710), op(m.EXP)], [], None),
        ([const(1), op(m.ADD)], [], None),
        ([const(1), const(2)], [], None),
        ([const(math.inf), op(m.SIN)], [], None),
        ([var(0), const(-0.0), op(m.ZOR)], [2.0], math.exp(2.0) - math.log(1e-300)),
        ([var(0), const(-3.0), op(m.ZOR)], [2.0], math.exp(2.0) - math.log(3.0)),
    ],
)
def test_evaluate(expr, row, expected):
    got = m.evaluate(expr, row)
    if expected is None:
        assert got is None
    else:
        assert got is not None and m.bits(got) == m.bits(expected)


def test_evaluate_leaf_is_not_finiteness_checked_and_sqrt_keeps_negative_zero():
    assert math.isnan(m.evaluate(X0, [math.nan]))
    assert m.bits(m.evaluate([var(0), op(m.SQRT)], [-0.0])) == m.bits(-0.0)


def test_params_and_columns():
    p = [m.param(0, 2.5)]
    assert m.evaluate(p, []) == 2.5 and m.evaluate(p, [], [7.0]) == 7.0
    assert m.evaluate_columns([var(0), var(1), op(m.MUL)], [[1, 2, 3], [4, 5, 6]]) == [4, 10, 18]
    assert m.evaluate_columns([var(0), op(m.LN)], [[1.0, 0.0, 2.0]]) is None


@pytest.mark.parametrize(
    "expr, text",
    [
        ([var(0)], "x"),
        ([var(1)], "y"),
        ([var(2)], "z"),
        ([var(3)], "{"),
        ([var(7)], "\x7f"),
        ([var(8)], "\x80"),
        ([var(136)], "\x00"),
        ([const(1), var(0), op(m.SUB)], "(1.0000 - x)"),
        ([var(0), op(m.NEG)], "(-x)"),
        ([var(0), op(m.RECIP)], "(1/x)"),
        ([var(0), var(0), op(m.ZOR)], "zor(x, x)"),
        ([const(math.pi)], "π"),
        ([const(math.e)], "e"),
        ([const(3.1416)], "3.1416"),
        ([var(0), op(m.ADD)], "( + x)"),
        ([], "?"),
        ([const(1), const(2)], "2.0000"),
        ([const(1.23456)], "1.2346"),
        ([const(-0.0)], "-0.0000"),
        ([const(1e20)], "100000000000000000000.0000"),
        ([const(0.00005)], "0.0001"),  # the double is a little above the tie
        ([const(0.03125)], "0.0312"),  # exact ties go to the even digit
        ([const(0.09375)], "0.0938"),
        ([const(-0.03125)], "-0.0312"),
        ([const(math.nan)], "NaN"),
        ([const(-math.inf)], "-inf"),
        ([m.param(0, 2.5)], "c0(2.5000)"),
        ([var(0), op(m.ABS)], "abs(x)"),
    ],
)
def test_render(expr, text):
    assert m.render_formula(expr) == text


@pytest.mark.parametrize(
    "formula, latex",
    [
        ("(exp(x) / sqrt(ln(x)))", "(\\exp(x) / \\sqrt{\\ln(x)})"),
        ("sqrt((x + 1.0000))", "\\sqrt{(x + 1.0000)}"),
        ("sqrt(sqrt((1/x)))", "\\sqrt{\\sqrt{(1/x)}}"),
        ("(sqrt(x) * sqrt((-x)))", "(\\sqrt{x} * \\sqrt{(-x)})"),
        ("zor(x, x)", "\\mathrm{zor}(x, x)"),
        ("abs((-x))", "abs((-x))"),
        ("(sin(x) - cos(x))", "(\\sin(x) - \\cos(x))"),
    ],
)
def test_to_latex(formula, latex):
    assert m.to_latex(formula) == latex


def test_to_python():
    assert m.to_python("(x * exp(sin(x)))") == "import math\nf = lambda x: (x * math.exp(math.sin(x)))"
    assert m.to_python("ln((x + 1.0000))") == "import math\nf = lambda x: math.log((x + 1.0000))"


@pytest.mark.parametrize(
    "value, text",
    [(1.23456e-12, "1.23e-12"), (0.5, "5.00e-1"), (12345.6, "1.23e4"), (0.0, "0.00e0"), (-0.0, "-0.00e0"),
     (0.000123456, "1.23e-4"), (9.9999e-5, "1.00e-4"), (math.nan, "NaN"), (-math.inf, "-inf")],
)
def test_exponent_form(value, text):
    assert m.exponent2(value) == text


@pytest.mark.parametrize(
    "expr, words",
    [
        ([const(0)], [0] * 10),
        ([const(1)], [1072693248, 0] * 5),
        ([const(0), op(m.NEG)], [-2147483648, 0] * 5),
        ([var(0)], [0x3FE2788C, 0xFC6FB618, 0x3FF484D2, 0x4F2FD873, 0x3FF9E377, 0x9B97F4A8,
                    0x3FE62E42, 0xFEFA39EF, 0x3FF33BA0, 0x04F00621]),
    ],
)
def test_fingerprint_words(expr, words):
    assert m.fingerprint_words(m.fingerprint(expr, 1)) == words


@pytest.mark.parametrize(
    "expr",
    [
        [var(0), const(1), op(m.SUB), op(m.LN)],
        [var(0), const(1), op(m.SUB), op(m.SQRT)],
        [const(1), const(0), op(m.DIV)],
        X0 + [op(m.EXP)] * 4,
        [var(1)],
    ],
)
def test_fingerprint_absent(expr):
    assert m.fingerprint(expr, 1) is None


def test_fingerprint_collisions():
    fp = lambda e: m.fingerprint(e, 2)  # noqa: E731
    for e in ([const(0), op(m.EXP)], [const(1), op(m.SQRT)], [const(1), op(m.RECIP)], [const(0), op(m.COS)]):
        assert fp(e) == fp([const(1)])
    for e in ([const(1), op(m.LN)], [const(0), op(m.SIN)], [var(0), var(0), op(m.SUB)]):
        assert fp(e) == fp([const(0)])
    assert fp([var(0)]) != fp([var(1)])
    assert fp([var(0), var(0), op(m.ADD)]) == fp([var(1)])  # 2p is exactly p + p


def test_score_lengths():
    # targets beyond the samples count in m only; the constant 0 scores sqrt(5/3)
    s = m.score_candidate([const(0)], [[1.0, 2.0]], [1.0, 2.0, 5.0], 0.0)
    assert s.score == math.sqrt(5 / 3)
    assert m.score_candidate([var(0)], [[1.0, 2.0]], [1.0, 2.0, 5.0], 0.0).score == 0.0
    assert m.bits(m.score_candidate([var(0)], [[]], [3.0], 0.001).score) == m.bits(-0.0)
    assert math.isnan(m.score_candidate([var(0)], [[1.0]], [], 0.001).score)
    # an extra sample can still make the expression fail
    assert m.score_candidate([var(0), op(m.SQRT)], [[4.0, -1.0]], [2.0], 0.0) is None
