"""Units of the variables and the target, read with pint (the `units` extra): the dimension of each (its
exponents over pint's base dimensions), and the units of a formula's constants, or None where the formula
adds unlike quantities or takes the exponential, logarithm, sine or cosine of a quantity with a dimension."""

from __future__ import annotations

import dataclasses
import math
import re
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from fractions import Fraction
from functools import cache, cached_property
from typing import TYPE_CHECKING, Any, cast

from zor._expression import Token
from zor._optional import import_extra

if TYPE_CHECKING:
    import pint

    from zor._results import Formula

# Exponents of a unit over pint's base dimensions, in the order of Units.base.
Dimension = tuple[Fraction, ...]

# The operators whose arguments must be numbers without a dimension.
_TRANSCENDENTAL = ("Exp", "Ln", "Sin", "Cos", "Zor")


@cache
def registry() -> pint.UnitRegistry:
    module = import_extra("pint", "units", "discover's units")
    return cast("pint.UnitRegistry", module.UnitRegistry())


def parse_unit(text: Any, what: str) -> pint.Unit:
    """`text` as a pint unit; '' and '1' are dimensionless. One ValueError naming `what` and the text
    for anything pint does not read as a unit."""
    ureg = registry()
    if hasattr(text, "dimensionality") and not isinstance(text, str):
        unit: pint.Unit = ureg.Unit(str(getattr(text, "units", text)))
        return unit
    if not isinstance(text, str):
        raise TypeError(f"the unit of {what} must be a string such as 'm/s', not {type(text).__name__}")
    if text.strip() in ("", "1"):
        return ureg.dimensionless
    try:
        parsed = ureg.parse_expression(text)
    except Exception as error:  # pint raises several kinds for text it cannot read
        raise ValueError(f"the unit {text!r} of {what} is not a unit pint knows: {error}") from None
    units = getattr(parsed, "units", None)
    if units is None or not isinstance(getattr(parsed, "magnitude", None), (int, float)):
        raise ValueError(f"the unit {text!r} of {what} is not a unit pint knows")
    try:  # °C and °F: 0 is no absence of the quantity, and pint refuses their products
        ureg.Quantity(2.0, units) * ureg.Quantity(3.0, units)
    except Exception:
        raise ValueError(f"the unit {text!r} of {what} is a temperature on an offset scale, which no law "
                         "multiplies: give it in K (or delta_degC for a difference of temperatures)") from None
    return cast("pint.Unit", units)


_SUPERSCRIPTS = str.maketrans("0123456789-/.", "⁰¹²³⁴⁵⁶⁷⁸⁹⁻ᐟ·")


def unit_text(unit: pint.Unit, base: bool = False) -> str:
    """A unit as people write it: m³/(kg·s²), or 'dimensionless'. With `base`, in base units where
    they are the same unit and no longer (N·m²/kg² is m³/(kg·s²); J and km/s stay as they are)."""
    if base:
        quantity = (1.0 * unit).to_base_units()
        same = math.isclose(float(cast(float, quantity.magnitude)), 1.0, rel_tol=1e-12)
        if same and len(dict(quantity.units._units)) <= len(dict(unit._units)):
            unit = quantity.units
    ureg = registry()

    def power(name: str, exponent: float) -> str:
        symbol = ureg.get_symbol(name)
        value = Fraction(exponent).limit_denominator(1000)
        if value == 1:
            return symbol
        return symbol + str(value).translate(_SUPERSCRIPTS)

    items = sorted((str(name), float(cast(float, exponent))) for name, exponent in dict(unit._units).items()
                   if exponent)
    numerator = [power(name, e) for name, e in items if e > 0]
    denominator = [power(name, -e) for name, e in items if e < 0]
    if not numerator and not denominator:
        return "dimensionless"
    top = "·".join(numerator) or "1"
    if not denominator:
        return top
    bottom = "·".join(denominator)
    return f"{top}/({bottom})" if len(denominator) > 1 else f"{top}/{bottom}"


_FROM_SUPERSCRIPTS = {v: k for k, v in zip("0123456789-/", "⁰¹²³⁴⁵⁶⁷⁸⁹⁻ᐟ")}
_UNIT_PART = re.compile(r"([^⁰¹²³⁴⁵⁶⁷⁸⁹⁻ᐟ·/()]+)([⁰¹²³⁴⁵⁶⁷⁸⁹⁻ᐟ]*)")


def unit_latex(text: str) -> str:
    """unit_text's form in LaTeX: m³/(kg·s²) is \\mathrm{m}^{3}/(\\mathrm{kg} \\cdot \\mathrm{s}^{2})."""
    if text == "dimensionless":
        return "1"

    def part(found: re.Match[str]) -> str:
        symbol, power = found.group(1), "".join(_FROM_SUPERSCRIPTS[c] for c in found.group(2))
        written = symbol if symbol.isdigit() else f"\\mathrm{{{symbol}}}"
        return written + (f"^{{{power}}}" if power else "")

    return _UNIT_PART.sub(part, text).replace("·", " \\cdot ")


@dataclass(frozen=True)
class Units:
    """The units of a search's variables (`variables`, one per column) and target, and their dimensions
    over the base dimensions `base` (pint's names, sorted: '[length]', '[mass]', ...)."""

    variables: tuple[str, ...]
    target: str
    base: tuple[str, ...]
    dimensions: tuple[Dimension, ...]
    target_dimension: Dimension

    @cached_property
    def pint_variables(self) -> tuple[pint.Unit, ...]:
        return tuple(parse_unit(text, "a variable") for text in self.variables)

    @cached_property
    def pint_target(self) -> pint.Unit:
        return parse_unit(self.target, "the target")

    def as_dict(self, names: Sequence[str]) -> dict[str, str]:
        return dict(zip(names, self.variables, strict=True))

    def exponents(self) -> list[list[float]]:
        """The variables' dimensions as the native search takes them: one list of exponents per column,
        all multiplied by their denominators' least common multiple, which leaves every one of its rules
        (equal dimensions, a dimensionless operand) as it is and makes the exponents whole numbers."""
        scale = math.lcm(*(e.denominator for dimension in self.dimensions for e in dimension))
        return [[float(e * scale) for e in dimension] for dimension in self.dimensions]


def _dimension_of(unit: pint.Unit, base: Sequence[str]) -> Dimension:
    found = dict(unit.dimensionality)
    return tuple(Fraction(float(found.get(name, 0))).limit_denominator(1000) for name in base)  # type: ignore[arg-type]


def read_units(units: Any, target_unit: Any, names: Sequence[str]) -> Units | None:
    """The units given to discover, checked against the variables; None when neither is given.

    `units` maps variable names to unit strings, or gives one string per column in order; every
    variable needs one ('' or '1' for a dimensionless column), so that a column left out by mistake is
    an error rather than a quantity taken to be a number."""
    if units is None and target_unit is None:
        return None
    if units is None:
        raise ValueError("target_unit was given without units: give the variables' units as well")
    if target_unit is None:
        raise ValueError("units were given without target_unit: give the target's unit as well "
                         "('' for a dimensionless target)")
    if isinstance(units, str):  # the settings' form: 'm=kg,v=m/s', or 'kg,m/s' one per column
        parts = units.split(",")
        if all("=" in part for part in parts):
            units = {key.strip(): unit.strip() for key, _, unit in (part.partition("=") for part in parts)}
        elif any("=" in part for part in parts):
            raise ValueError(f"units {units!r} mixes name=unit with units alone: give one form")
        else:
            units = [part.strip() for part in parts]
    if isinstance(units, Mapping):
        unknown = [str(key) for key in units if key not in names]
        if unknown:
            raise ValueError(f"units names {', '.join(map(repr, unknown))}, which is not a variable "
                             f"(the variables are {', '.join(names)})")
        missing = [name for name in names if name not in units]
        if missing:
            raise ValueError(f"units gives no unit for {', '.join(map(repr, missing))}: give '1' (or '') for "
                             "a dimensionless variable")
        given = [units[name] for name in names]
    elif isinstance(units, (str, bytes)) or not isinstance(units, Sequence):
        raise TypeError(f"units must be a mapping from variable names to unit strings, or a sequence of unit "
                        f"strings, one per column; not {type(units).__name__}")
    else:
        given = list(units)
        if len(given) != len(names):
            raise ValueError(f"units gives {len(given)} unit strings for {len(names)} variables")
    parsed = [parse_unit(text, f"variable {name!r}") for text, name in zip(given, names, strict=True)]
    target = parse_unit(target_unit, "the target")
    base = tuple(sorted({key for unit in parsed + [target] for key in dict(unit.dimensionality)}))
    return Units(tuple(_stored(unit) for unit in parsed), _stored(target), base,
                 tuple(_dimension_of(unit, base) for unit in parsed), _dimension_of(target, base))


def _stored(unit: pint.Unit) -> str:
    """The unit as pint writes it in full, which it reads back: '' for a dimensionless one."""
    text = str(unit)
    return "" if text == "dimensionless" else text


def strip_quantities(X: Any, y: Any) -> tuple[Any, Any, list[str] | None, str | None]:
    """X and y with pint quantities (a Quantity target, Quantity columns, DataFrame columns of pint
    dtype) replaced by their magnitudes, and the units they carried (None where none did)."""
    target_unit = None
    if _is_quantity(y):
        target_unit, y = str(y.units), y.magnitude
    elif type(y).__module__.startswith("pandas") and getattr(getattr(y, "dtype", None), "units", None) is not None:
        target_unit, y = str(y.dtype.units), y.pint.magnitude  # a Series of pint dtype keeps its name
    units: list[str] | None = None
    if type(X).__module__.startswith("pandas") and hasattr(X, "dtypes"):
        dtype_units = [getattr(dtype, "units", None) for dtype in X.dtypes]
        if any(unit is not None for unit in dtype_units):
            units = ["" if unit is None else str(unit) for unit in dtype_units]
            X = X.copy()
            for name, unit in zip(X.columns, dtype_units, strict=True):
                if unit is not None:
                    X[name] = X[name].pint.magnitude
    elif _is_quantity(X):
        units = [str(X.units)] if getattr(X.magnitude, "ndim", 1) == 1 else [str(X.units)] * X.magnitude.shape[1]
        X = X.magnitude
    elif isinstance(X, Sequence) and not isinstance(X, (str, bytes)) and any(map(_is_quantity, X)):
        units = [str(column.units) if _is_quantity(column) else "" for column in X]
        X = [column.magnitude if _is_quantity(column) else column for column in X]
    return X, y, units, target_unit


def _is_quantity(obj: object) -> bool:
    return type(obj).__module__.startswith("pint") and hasattr(obj, "magnitude") and hasattr(obj, "units")


class _Inconsistent(Exception):
    pass


@dataclass(frozen=True)
class _Form:
    """The unit of a part of a formula: a known unit times a product of the unknown units of its
    parameters, each to a power."""

    known: Any
    powers: tuple[tuple[int, Fraction], ...] = ()

    def times(self, other: _Form, sign: int = 1) -> _Form:
        powers = dict(self.powers)
        for index, power in other.powers:
            powers[index] = powers.get(index, Fraction(0)) + sign * power
        known = self.known * other.known if sign > 0 else self.known / other.known
        return _Form(known, tuple(sorted((k, p) for k, p in powers.items() if p != 0)))

    def power(self, exponent: Fraction) -> _Form:
        return _Form(self.known ** float(exponent), tuple((k, p * exponent) for k, p in self.powers))


def constant_units(formula: Formula, units: Units, dimensionless_constants: bool = False
                   ) -> tuple[tuple[str, str], ...] | None:
    """The unit of each constant of `formula` (its parameters c0, c1, ..., its scale, its offset, or a
    sum's coefficients a1, a2, ...), or None where the formula is not dimensionally consistent: unlike
    quantities added, a quantity with a dimension inside exp, ln, sin, cos or zor, or (with
    `dimensionless_constants`) a scale or coefficient that would need a unit."""
    ureg = registry()
    variables, target = units.pint_variables, units.pint_target
    try:
        if formula.terms:
            found = []
            for k, term in enumerate(formula.terms, 1):
                shape, solved = _unit_of(term.tokens, variables, ureg)
                found += _parameter_units(solved)
                found.append((f"a{k}", _quotient(target, shape, dimensionless_constants)))
            return tuple(found) + (("offset", unit_text(target)),)
        shape, solved = _unit_of(formula.tokens, variables, ureg)
        return tuple(_parameter_units(solved)) + (("scale", _quotient(target, shape, dimensionless_constants)),
                                                   ("offset", unit_text(target)))
    except _Inconsistent:
        return None


def _quotient(target: Any, shape: Any, dimensionless: bool) -> str:
    unit = target / shape
    if dimensionless and dict(unit.dimensionality):
        raise _Inconsistent
    return unit_text(unit, base=True)


def _parameter_units(solved: dict[int, Any]) -> list[tuple[str, str]]:
    return [(f"c{index}", unit_text(unit, base=True)) for index, unit in sorted(solved.items())]


def _unit_of(tokens: Sequence[Token], variables: Sequence[Any], ureg: Any) -> tuple[Any, dict[int, Any]]:
    """The unit of the tokens' value and of each parameter in them. Each sum and each argument of a
    transcendental operator gives an equation between units; parameters are solved from the equations
    in which they are the one unknown, and those left unknown are dimensionless."""
    one = ureg.dimensionless
    equations: list[tuple[_Form, _Form]] = []
    stack: list[_Form] = []
    for token in tokens:
        kind = token[0]
        if kind == "var":
            stack.append(_Form(variables[int(token[1])]))
        elif kind == "param":
            stack.append(_Form(one, ((int(token[1]), Fraction(1)),)))
        elif kind == "const":
            stack.append(_Form(one))
        else:
            name = str(token[1])
            if name in ("Add", "Sub", "Mul", "Div", "Zor"):
                right, left = stack.pop(), stack.pop()
                if name in ("Add", "Sub"):
                    equations.append((left, right))
                    stack.append(left)
                elif name == "Zor":
                    equations += [(left, _Form(one)), (right, _Form(one))]
                    stack.append(_Form(one))
                else:
                    stack.append(left.times(right, 1 if name == "Mul" else -1))
            else:
                value = stack.pop()
                if name in _TRANSCENDENTAL:
                    equations.append((value, _Form(one)))
                    value = _Form(one)
                elif name == "Recip":
                    value = value.power(Fraction(-1))
                elif name == "Sqrt":
                    value = value.power(Fraction(1, 2))
                elif name == "Square":
                    value = value.power(Fraction(2))
                stack.append(value)
    solved = _solve([left.times(right, -1) for left, right in equations], one)
    return _known(stack[-1], solved), solved


def _solve(quotients: list[_Form], one: Any) -> dict[int, Any]:
    """Parameter units that make every quotient dimensionless; raises _Inconsistent where none do."""
    solved: dict[int, Any] = {}
    pending = list(quotients)
    while pending:
        progress = False
        for form in list(pending):
            unknown = [(k, p) for k, p in form.powers if k not in solved]
            if len(unknown) > 1:
                continue
            pending.remove(form)
            progress = True
            value = _known(_Form(form.known, tuple(p for p in form.powers if p[0] in solved)), solved)
            if not unknown:
                if dict(value.dimensionality):
                    raise _Inconsistent
                continue
            index, power = unknown[0]
            solved[index] = (one / value) ** float(1 / power)
        if not progress:  # each left with two unknowns: the first is taken dimensionless
            first = pending[0].powers[0][0]
            solved[first] = one
    return solved


def _known(form: _Form, solved: dict[int, Any]) -> Any:
    unit = form.known
    for index, power in form.powers:
        unit = unit * solved.get(index, registry().dimensionless) ** float(power)
    if any(not math.isfinite(float(exponent)) for exponent in dict(unit.dimensionality).values()):
        raise _Inconsistent
    return unit


def with_units(front: tuple[Formula, ...], best: Formula | None, units: Units, dimensionless_constants: bool
               ) -> tuple[tuple[Formula, ...], Formula | None]:
    """The front and the best formula, each with the units of its constants (Formula.units)."""
    def annotated(formula: Formula) -> Formula:
        found = constant_units(formula, units, dimensionless_constants)
        return formula if found is None else dataclasses.replace(formula, units=found)

    done = {id(formula): annotated(formula) for formula in front}
    return tuple(done[id(f)] for f in front), None if best is None else done.get(id(best)) or annotated(best)


def consistent(formula: Formula, units: Units | None, dimensionless_constants: bool) -> bool:
    """Whether the formula's units agree (always, without units)."""
    return units is None or constant_units(formula, units, dimensionless_constants) is not None
