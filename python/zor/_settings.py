"""The search settings: one frozen object from discover, ZorRegressor, the command line and the cluster
driver down to zor._native, and into DiscoveryResult.settings.

A setting is one field of SearchSettings. Its metadata says how an argument is checked and, for the
command line, how it is written; discover's and ZorRegressor's signatures and zor-discover's options
are made from the fields. The native search reads the fields it knows by name (its own options table),
so a setting the core uses is that field and one row there.
"""

from __future__ import annotations

import dataclasses
import inspect
import operator
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, get_type_hints

import numpy as np

# find_formula's settings when none are given.
DEFAULT_MAX_COMPLEXITY = 8
DEFAULT_BEAM_WIDTH = 2000
# Rows the search runs on: larger data is searched on a deterministic subsample
# of this many rows, and the formulas found are then judged on every row.
DEFAULT_MAX_ROWS = 5000
MODEL_SELECTIONS = ("best", "accuracy", "validation", "description_length")
# Free parameters inside a scaled search's formulas (see zor._parameters).
DEFAULT_MAX_PARAMETERS = 3


def count(value: Any, name: str) -> int:
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None
    if number < 0:
        raise ValueError(f"{name} must not be negative, got {number}")
    return number


def flag(value: Any, name: str) -> bool:
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be True or False, not {value!r}")
    return bool(value)


def real(value: Any, name: str) -> float:
    try:
        return float(value)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a number, not {value!r}") from None


def _optional_count(value: Any, name: str) -> int | None:
    return None if value is None else count(value, name)


def _seconds(value: Any, name: str) -> float | None:
    if value is None:
        return None
    seconds = real(value, name)
    if not seconds >= 0:
        raise ValueError(f"{name} must be a non-negative number of seconds, got {seconds}")
    return seconds


def _model_selection(value: Any, name: str) -> str | None:
    if value is not None and value not in MODEL_SELECTIONS:
        raise ValueError(f"{name} must be 'best', 'accuracy', 'validation' or 'description_length', not {value!r}")
    return value  # type: ignore[no-any-return]


def _positive_or_none(meaning: str) -> Callable[[Any, str], int | None]:
    def check(value: Any, name: str) -> int | None:
        if value is not None and count(value, name) == 0:
            raise ValueError(f"{name} must be {meaning}")
        return None if value is None else operator.index(value)

    return check


def _units(value: Any, name: str) -> str | None:
    """Units as the command line writes them: 'm=kg,v=m/s' (a mapping), or 'kg,m/s' (one per column).
    The names and strings are checked against the data by zor._units.read_units."""
    if value is None:
        return None
    if isinstance(value, Mapping):
        parts = [f"{key}={unit}" for key, unit in value.items()]
    elif isinstance(value, Sequence) and not isinstance(value, (str, bytes)):
        parts = list(value)
    elif isinstance(value, str):
        return value
    else:
        raise TypeError(f"{name} must be a mapping from variable names to unit strings, or a sequence of unit "
                        f"strings, one per column; not {type(value).__name__}")
    for part in parts:
        if not isinstance(part, str):
            raise TypeError(f"{name} must hold unit strings such as 'm/s', not {type(part).__name__}")
        if "," in part or "=" in part.partition("=")[2]:
            raise ValueError(f"{name}: {part!r} is not a unit string")
    return ",".join(parts)


def _unit(value: Any, name: str) -> str | None:
    if value is not None and not isinstance(value, str):
        raise TypeError(f"{name} must be a unit string such as 'kg*m/s', not {type(value).__name__}")
    return value


def _setting(default: Any, check: Callable[[Any, str], Any], help: str, metavar: str | None = None,
             option: str | None = None, choices: tuple[str, ...] | None = None) -> Any:
    """A field of SearchSettings: its default, the check that turns an argument into its value (or
    raises TypeError/ValueError naming it) and how the command line writes it: `option` (default
    --name-with-dashes, or --no-name for a bool that is on by default), its help text, metavar and
    choices."""
    return field(default=default, metadata={"check": check, "help": help, "metavar": metavar,
                                            "option": option, "choices": choices})


@dataclass(frozen=True)
class SearchSettings:
    """Every setting of a search. The native search reads those of its options table by name
    (max_complexity, beam_width, precision_goal, use_trig, use_zor, complexity_penalty, scaling);
    the others steer the driver around it."""

    max_complexity: int | None = _setting(
        None, _optional_count, "largest formula size in tokens (default 8)", "N")
    beam_width: int | None = _setting(
        None, _optional_count, "candidates kept per level, a quarter of them as parents (default 2000)", "N")
    precision_goal: float = _setting(
        1e-10, real, "stop once the best score is at or below F, in units of the targets' root mean square "
                     "with scaling and of the targets without (default 1e-10)", "F")
    use_trig: bool = _setting(True, flag, "leave out sin and cos", option="--no-trig")
    use_zor: bool = _setting(True, flag, "leave out zor(a, b) = exp(a) - ln(b)", option="--no-zor")
    complexity_penalty: float = _setting(
        0.001, real, "score = RMSE x (1 + complexity x F) (default 0.001)", "F")
    time_limit: float | None = _setting(
        None, _seconds, "stop after this long with the best so far; without --max-complexity and "
                        "--beam-width the settings grow by themselves until the time is up", "SECONDS")
    scaling: bool = _setting(
        True, flag, "search the formulas themselves, without a fitted scale and offset "
                    "(as zor_core.find_formula does)")
    model_selection: str | None = _setting(
        None, _model_selection, "the formula reported: 'best' picks the law over an overfit on noisy data, "
                                "'accuracy' the lowest score, 'validation' the lowest error on held-out rows, "
                                "'description_length' the fewest nats to send the data "
                                "(default: best with scaling, accuracy without)",
        choices=MODEL_SELECTIONS)
    max_terms: int = _setting(
        3, count, "with scaling, also offer sums of up to N searched terms, each with its coefficient "
                  "(default 3; 1: single formulas only)", "N")
    max_rows: int | None = _setting(
        DEFAULT_MAX_ROWS, _positive_or_none("positive (or None for no limit)"),
        f"search a deterministic subsample of N rows of larger data, then judge the formulas on every row "
        f"(default {DEFAULT_MAX_ROWS}; 0: every row)", "N")
    memory_limit: int | None = _setting(
        None, _positive_or_none("a positive number of bytes (or None for the default)"),
        "bytes the search's own data may take (default: most of the memory available)", "BYTES")

    max_parameters: int = _setting(
        DEFAULT_MAX_PARAMETERS, count, "fitted parameters inside a formula, such as the rate of exp(c0*t), with "
                                       "scaling (0: none; default 3)", "N")

    units: str | None = _setting(
        None, _units, "the variables' units, name=unit separated by commas (such as 'm=kg,v=m/s'; '1' for a "
                      "dimensionless one): the search then keeps to formulas whose units agree, over "
                      "dimensionless groups of the variables where it can (needs the units extra)", "UNITS")
    target_unit: str | None = _setting(None, _unit, "the target's unit, with --units", "UNIT")
    dimensionless_constants: bool = _setting(
        False, flag, "with units: no fitted scale may carry a unit (every physical constant is a column)")

    def __post_init__(self) -> None:
        for f in dataclasses.fields(self):
            object.__setattr__(self, f.name, f.metadata["check"](getattr(self, f.name), f.name))
        if self.model_selection is None:
            object.__setattr__(self, "model_selection", "best" if self.scaling else "accuracy")

    @property
    def climbing(self) -> bool:
        """Whether the search climbs the ladder of settings: a time limit and neither size given."""
        return self.max_complexity is None and self.beam_width is None and self.time_limit is not None

    def steps(self, ladder: tuple[tuple[int, int], ...]) -> list[tuple[int, int]]:
        """The (max_complexity, beam_width) of each search to run: the ladder when climbing, else one
        step with find_formula's defaults in place of a size left out."""
        if self.climbing:
            return list(ladder)
        return [(DEFAULT_MAX_COMPLEXITY if self.max_complexity is None else self.max_complexity,
                 DEFAULT_BEAM_WIDTH if self.beam_width is None else self.beam_width)]

    def at(self, max_complexity: int, beam_width: int, **changes: Any) -> SearchSettings:
        """These settings for one step of the search."""
        return dataclasses.replace(self, max_complexity=max_complexity, beam_width=beam_width, **changes)

    def as_dict(self) -> dict[str, Any]:
        return {f.name: getattr(self, f.name) for f in dataclasses.fields(self)}


def settings_fields() -> Iterator[dataclasses.Field[Any]]:
    return iter(dataclasses.fields(SearchSettings))


def check_setting_names(caller: str, names: Iterable[str]) -> None:
    """Refuses a keyword argument that is no setting, as Python refuses an unknown parameter."""
    known = {f.name for f in settings_fields()}
    for name in names:
        if name not in known:
            raise TypeError(f"{caller}() got an unexpected keyword argument {name!r}")


def settings_from(caller: str, arguments: dict[str, Any]) -> SearchSettings:
    """SearchSettings from keyword arguments."""
    check_setting_names(caller, arguments)
    return SearchSettings(**arguments)


def settings_parameters() -> list[inspect.Parameter]:
    """The settings as keyword-only parameters, for the signatures made from them."""
    hints = get_type_hints(SearchSettings)
    return [inspect.Parameter(f.name, inspect.Parameter.KEYWORD_ONLY, default=f.default, annotation=hints[f.name])
            for f in settings_fields()]
