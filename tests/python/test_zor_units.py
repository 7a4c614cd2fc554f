"""Units: read with pint, dimensionless groups searched for y / P, formulas over the original variables with
the units of their constants, and formulas whose units disagree kept off the front."""

import json
import subprocess
import sys
from fractions import Fraction

import numpy as np
import pytest

import zor
from zor._groups import combine_monomials, reduce
from zor._results import Formula
from zor._units import constant_units, read_units

F = Fraction

pint = pytest.importorskip("pint")

SMALL = {"max_complexity": 8, "beam_width": 2000, "progress": False}
RNG = np.random.default_rng(7)
ROWS = 120
M1, M2, R, G = (RNG.uniform(1.0, 5.0, ROWS) for _ in range(4))


@pytest.mark.parametrize("units, target_unit, message", [
    ({"m1": "kg", "m2": "kg", "r": "furlongs per fortnite"}, "N", r"'furlongs per fortnite' of variable 'r'"),
    ({"m1": "kg", "m2": "kg", "r": "m", "q": "C"}, "N", r"units names 'q', which is not a variable"),
    ({"m1": "kg", "r": "m"}, "N", r"no unit for 'm2': give '1'"),
    (["kg", "kg"], "N", r"gives 2 unit strings for 3 variables"),
    ({"m1": "kg", "m2": "kg", "r": "m"}, "newtonz", r"'newtonz' of the target"),
    ({"m1": "kg", "m2": "kg", "r": "degC"}, "N", r"'degC' of variable 'r' is a temperature on an offset scale"),
    ({"m1": "kg", "m2": "kg", "r": "m"}, None, r"without target_unit"),
    (None, "N", r"without units"),
    (None, None, r"give units and target_unit too"),
    ("m1=kg,kg,r=m", "N", r"mixes name=unit"),
    # A force from masses and a distance needs a constant with a unit, which this setting forbids.
    ({"m1": "kg", "m2": "kg", "r": "m"}, "N", r"unit 'N', so with dimensionless_constants=True no formula can"),
])
def test_bad_units_give_one_error_naming_the_column_and_the_text(units, target_unit, message):
    with pytest.raises(ValueError, match=message):
        zor.discover(np.c_[M1, M2, R], M1, variable_names=["m1", "m2", "r"], units=units, target_unit=target_unit,
                     dimensionless_constants=True, **SMALL)


def test_without_pint_units_name_the_extra(monkeypatch):
    from zor import _units

    _units.registry.cache_clear()
    monkeypatch.setitem(sys.modules, "pint", None)
    try:
        with pytest.raises(ImportError, match=r"zor_core\[units\]"):
            read_units(["m"], "m", ["x"])
    finally:
        _units.registry.cache_clear()


def newton(**settings):
    return zor.discover(np.c_[M1, M2, R, G], G * M1 * M2 / R**2, variable_names=["m1", "m2", "r", "G"],
                        units={"m1": "kg", "m2": "kg", "r": "m", "G": "m**3/(kg*s**2)"}, target_unit="N",
                        **SMALL, **settings)


def test_newton_with_g_as_a_column_needs_no_constant_over_one_group():
    result = newton(dimensionless_constants=True)
    best = result.best
    assert result.groups and result.groups[-1].startswith("P = ")
    assert best.relative_error < 1e-12 and best.constants.used_scale == 1.0 and best.constants.used_offset == 0.0, best
    assert {token[1] for token in best.tokens if token[0] == "var"} == {0, 1, 2, 3}
    assert best.units_text() == "" and dict(best.units)["scale"] == "dimensionless"


def test_a_fitted_constant_carries_the_unit_the_formula_leaves_it():
    y = 6.674e-11 * M1 * M2 / R**2
    best = zor.discover(np.c_[M1, M2, R], y, variable_names=["m1", "m2", "r"], units=["kg", "kg", "m"],
                        target_unit="N", **SMALL).best
    assert best.relative_error < 1e-12
    assert dict(best.units)["scale"] == "m³/(kg·s²)" and "m³/(kg·s²)" in repr(best)
    assert best.units_latex() == r"\text{scale}: \mathrm{m}^{3}/(\mathrm{kg} \cdot \mathrm{s}^{2})"


def test_an_offset_of_the_groups_is_kept_over_the_variables(tmp_path):
    # E = m·v²/2 + m·g·h is P·(π + 1/2) with P = m·v², π = g·h/v².
    m, v, g, h = (RNG.uniform(1.0, 3.0, ROWS) for _ in range(4))
    X = np.c_[m, v, g, h]
    result = zor.discover(X, m * v**2 / 2 + m * g * h, variable_names=["m", "v", "g", "h"],
                          units=["kg", "m/s", "m/s**2", "m"], target_unit="J", **SMALL)
    assert result.groups == ("π1 = ((g * h) / (v^2))", "P = (m * (v^2))")
    assert result.best.relative_error < 1e-12, result.best
    # ... written as the sum m·g·h + (1/2)·m·v², each coefficient exact.
    assert [term.exact for term in result.best.terms] == [(1, 1, ""), (1, 2, "")]
    assert "units: a1: dimensionless" in result._repr_html_() and "π1 = ((g * h) / (v^2))" in result._repr_html_()
    assert result.to_dataframe()["units"].iloc[-1] == "a1: dimensionless; a2: dimensionless"
    estimator = zor.ZorRegressor(units="m=kg,v=m/s,g=m/s**2,h=m", target_unit="J", max_complexity=8, beam_width=2000)
    frame = pytest.importorskip("pandas").DataFrame(X, columns=["m", "v", "g", "h"])
    assert estimator.fit(frame, m * v**2 / 2 + m * g * h).result_.best.formula == result.best.formula
    path = tmp_path / "energy.json"
    result.save(path)
    loaded = zor.load(path)
    assert loaded.best.units == result.best.units and loaded.groups == result.groups
    np.testing.assert_array_equal(loaded.predict(X), result.predict(X))


def test_where_the_units_leave_one_law_an_exact_fit_of_it_needs_no_search():
    # Kepler's third law: a, G and M make no group, and c·√(a³/(G·M)) is the one law of their units.
    a, G_, M = (RNG.uniform(1.0, 3.0, ROWS) for _ in range(3))
    result = zor.discover(np.c_[a, G_, M], 2 * np.pi * np.sqrt(a**3 / (G_ * M)), variable_names=["a", "G", "M"],
                          units=["m", "m**3/(kg*s**2)", "kg"], target_unit="s", **SMALL)
    assert result.groups == ("P = sqrt(((a * (a^2)) / (G * M)))",) and result.levels == ()
    assert result.best.exact_scale == (2, 1, "pi") and result.best.relative_error < 1e-12


def test_over_the_variables_the_search_never_builds_what_the_units_forbid(tmp_path):
    # A pendulum's period from its length alone: no group, so the ladder searches L itself, and every
    # sum of unequal dimensions and every function of a length is left out before it is scored.
    L = RNG.uniform(0.2, 2.0, 40)
    T = 2 * np.pi * np.sqrt(L / 9.81)
    plain = zor.discover(L.reshape(-1, 1), T, variable_names=["L"], **SMALL)
    result = zor.discover(L.reshape(-1, 1), T, variable_names=["L"], units=["m"], target_unit="s", **SMALL)
    assert plain.pruned == 0 and result.groups == ()
    assert result.pruned > 0 and sum(level.pruned for level in result.levels) == result.pruned
    assert result.best.formula == plain.best.formula and result.best.relative_error < 1e-12
    assert all(not {"exp", "ln", "sin", "cos", "zor"} & set(f.formula.replace("(", " ").split()) for f in result.front)
    path = tmp_path / "pendulum.json"
    result.save(path)
    assert zor.load(path).pruned == result.pruned


def test_a_parameter_inside_a_function_of_a_group_is_fitted_over_the_variables():
    m, v, g, h = (RNG.uniform(1.0, 3.0, 150) for _ in range(4))
    y = m * v**2 * np.exp(-0.7 * g * h / v**2)
    y = y + 0.01 * np.std(y) * RNG.standard_normal(150)
    best = zor.discover(np.c_[m, v, g, h], y, variable_names=["m", "v", "g", "h"],
                        units=["kg", "m/s", "m/s**2", "m"], target_unit="J", **SMALL).best
    (rate,) = [p for p in best.parameters if p.name == "c0"]
    assert rate.low <= -0.7 <= rate.high and "exp" in best.formula, best
    assert dict(best.units)["c0"] == "dimensionless"


@pytest.mark.parametrize("tokens, units", [
    # exp(c0·t): c0 has the unit 1/t, and the scale the target's.
    ((("param", 0, 0.5), ("var", 1), ("op", "Mul"), ("op", "Exp")), {"c0": "1/s", "scale": "m"}),
    # m + r adds a mass to a length.
    ((("var", 0), ("var", 2), ("op", "Add")), None),
    # exp(m) of a mass, and zor(t, t) of times.
    ((("var", 0), ("op", "Exp")), None),
    ((("var", 1), ("var", 1), ("op", "Zor")), None),
    # sqrt(r)·sqrt(r) + r is a length; the scale is m/m.
    ((("var", 2), ("op", "Sqrt"), ("var", 2), ("op", "Sqrt"), ("op", "Mul"), ("var", 2), ("op", "Add")),
     {"scale": "dimensionless"}),
    # m·c0 + r: c0 is a length per mass.
    ((("var", 0), ("param", 0, 1.0), ("op", "Mul"), ("var", 2), ("op", "Add")),
     {"c0": "m/kg", "scale": "dimensionless"}),
])
def test_a_formula_s_units_are_checked_and_its_constants_given_theirs(tokens, units):
    read = read_units({"m": "kg", "t": "s", "r": "m"}, "m", ["m", "t", "r"])
    formula = Formula(1, 0.0, 0.0, "f", tokens, ("m", "t", "r"), scale=2.0)
    found = constant_units(formula, read)
    if units is None:
        assert found is None
    else:
        assert {name: unit for name, unit in found if name != "offset"} == units


@pytest.mark.parametrize("units, target, groups, shortest", [
    # A pendulum's period: no group, and the mass has nothing to pair with.
    (["m", "m/s**2", "kg"], "s", (), "P = sqrt((x0 / x1))"),
    # Newton with G as a column: one group, the mass ratio.
    (["kg", "kg", "m", "m**3/(kg*s**2)"], "N", ("π1 = (x1 / x0)",), None),
    # A dimensionless column stays a group of its own.
    (["m", "1", "m"], "m", ("π1 = x1", "π2 = (x2 / x0)"), "P = x0"),
])
def test_groups_keep_whole_variables_and_short_products(units, target, groups, shortest):
    read = read_units(units, target, [f"x{k}" for k in range(len(units))])
    columns = [RNG.uniform(1.0, 2.0, 20) for _ in units]
    reduction = reduce(read, columns)
    lines = reduction.describe([f"x{k}" for k in range(len(units))])
    assert lines[:len(groups)] == groups
    if shortest is not None:
        assert lines[-1] == shortest
    assert reduce(read, columns, shortest=False) is not None


def test_a_square_root_of_a_square_is_combined_only_for_a_positive_variable():
    tokens = (("var", 0), ("op", "Square"), ("op", "Sqrt"), ("var", 1), ("op", "Mul"))
    assert combine_monomials(tokens, 2, frozenset({0, 1})) == (("var", 0), ("var", 1), ("op", "Mul"))
    assert combine_monomials(tokens, 2, frozenset({1})) == tokens


def test_quantities_carry_their_units_in():
    ureg = pint.UnitRegistry()
    result = zor.discover([M1 * ureg.kg, R * ureg.m], (M1 / R**2) * ureg.N, variable_names=["m", "r"], **SMALL)
    assert result.settings["units"] == "kilogram,meter" and result.settings["target_unit"] == "newton"
    assert dict(result.best.units)["scale"] == "m³/s²"


def test_dataframe_columns_of_pint_dtype_carry_their_units_in():
    pd = pytest.importorskip("pandas")
    pytest.importorskip("pint_pandas")
    frame = pd.DataFrame({"m": pd.Series(M1, dtype="pint[kg]"), "r": pd.Series(R, dtype="pint[m]")})
    force = pd.Series(6.674e-11 * M1 / R**2, dtype="pint[N]", name="F")
    result = zor.discover(frame, force, **SMALL)
    assert result.settings["units"] == "kilogram,meter" and result.settings["target_unit"] == "newton"
    assert result.target_name == "F" and dict(result.best.units)["scale"] == "m³/s²"


def test_the_command_line_reads_units_from_the_header_and_reports_them(tmp_path):
    path = tmp_path / "newton.csv"
    rows = "\n".join(f"{a},{b},{c},{6.674e-11 * a * b / c**2}"
                     for a, b, c in zip(M1.tolist(), M2.tolist(), R.tolist()))
    path.write_text("m1 [kg],m2 [kg],r [m],F [N]\n" + rows + "\n")
    command = [sys.executable, "-m", "zor.cli", str(path), "--max-complexity", "8", "--beam-width", "2000"]
    report = subprocess.run(command, capture_output=True, text=True, check=True).stdout
    assert "units: scale: m³/(kg·s²)" in report
    document = json.loads(subprocess.run(command + ["--json"], capture_output=True, text=True, check=True).stdout)
    assert document["best"]["units"]["scale"] == "m³/(kg·s²)"
    bad = subprocess.run(command + ["--units", "m1=kg,m2=kg,r=parsec-ish", "--target-unit", "N"],
                         capture_output=True, text=True)
    assert bad.returncode == 1 and bad.stderr.count("\n") == 1 and "'parsec-ish' of variable 'r'" in bad.stderr


@pytest.mark.parametrize("exponents, positive, text", [
    ((2, -1, 0), {0, 1}, "((x0^2) / x1)"),
    ((0, -1, -1), {0, 1, 2}, "(1/(x1 * x2))"),
    ((F(3, 2), F(-1, 2), 0), {0, 1}, "sqrt(((x0 * (x0^2)) / x1))"),
    # A half power of a variable that is not positive everywhere stays a square root of its own.
    ((F(1, 2), 1, 0), {0}, "(sqrt(x0) * x1)"),
    ((F(1, 3), 0, 0), {0}, None),
    ((5, 0, 0), {0}, None),
])
def test_products_of_powers_are_written_in_few_tokens(exponents, positive, text):
    from zor._expression import to_text
    from zor._groups import _product_tokens

    tokens = _product_tokens(tuple(F(e) for e in exponents), frozenset(positive))
    assert (None if tokens is None else to_text(tokens, ["x0", "x1", "x2"])) == text


@pytest.mark.parametrize("units, target, columns", [
    (["1", ""], "", [[1.0, 2.0], [3.0, 4.0]]),  # nothing has a dimension
    (["m"], "m", [[1.0, 2.0]]),  # one variable
    (["kg", "m"], "s", [[1.0, 2.0], [3.0, 4.0]]),  # no product of them is a time
    (["m", "m"], "1/m", [[0.0, 2.0], [3.0, 0.0]]),  # every P divides by a column holding 0
])
def test_no_reduction_where_it_cannot_help(units, target, columns):
    read = read_units(units, target, [f"x{k}" for k in range(len(units))])
    assert reduce(read, [np.array(c) for c in columns]) is None


@pytest.mark.parametrize("unit, text", [
    ("N*m**2/kg**2", "m³/(kg·s²)"), ("J", "J"), ("km/s", "km/s"), ("", "dimensionless"), ("m**1.5", "m³ᐟ²"),
])
def test_units_are_written_as_people_write_them(unit, text):
    from zor._units import parse_unit, unit_text

    assert unit_text(parse_unit(unit, "x"), base=True) == text


@pytest.mark.parametrize("text, latex", [
    ("m³/(kg·s²)", r"\mathrm{m}^{3}/(\mathrm{kg} \cdot \mathrm{s}^{2})"), ("1/s", r"1/\mathrm{s}"),
    ("m³ᐟ²", r"\mathrm{m}^{3/2}"), ("dimensionless", "1"),
])
def test_units_in_latex(text, latex):
    from zor._units import unit_latex

    assert unit_latex(text) == latex


@pytest.mark.parametrize("given, stored", [
    ({"a": "m", "b": "s"}, "a=m,b=s"), (["m", "1"], "m,1"), ("a=m, b=s", "a=m, b=s"), (None, None),
])
def test_units_settings_keep_one_text_form(given, stored):
    from zor._settings import SearchSettings

    assert SearchSettings(units=given).units == stored


@pytest.mark.parametrize("bad, error", [(["m", 3], TypeError), (["m,s"], ValueError), (42, TypeError)])
def test_units_settings_refuse_what_is_not_unit_strings(bad, error):
    from zor._settings import SearchSettings

    with pytest.raises(error):
        SearchSettings(units=bad)


@pytest.mark.parametrize("cells, names, units", [
    (["v [m/s]", "t[s]", "n"], ["v", "t", "n"], {"v": "m/s", "t": "s"}),
    (["a [ ]", "[weird]"], ["a", "[weird]"], {"a": ""}),
])
def test_a_csv_header_gives_units_in_brackets(cells, names, units):
    from zor._csv import header_units

    assert header_units(cells) == (names, units)


def test_a_sum_gives_each_coefficient_its_unit_and_dimensionless_constants_refuses_them():
    from zor._terms import Term

    read = read_units({"m": "kg", "t": "s"}, "m", ["m", "t"])
    terms = (Term((("var", 0),), 2.0), Term((("var", 1), ("op", "Square")), 3.0))
    formula = Formula(3, 0.0, 0.0, "f", (), ("m", "t"), terms=terms)
    assert dict(constant_units(formula, read)) == {"a1": "m/kg", "a2": "m/s²", "offset": "m"}
    assert constant_units(formula, read, dimensionless_constants=True) is None
