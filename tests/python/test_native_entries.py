"""zor._native's entries at the boundary: the search settings read from one
object, the keyword-only parameters, and the penalised score."""

from __future__ import annotations

import dataclasses
import types

import numpy as np
import pytest
import zor_core

from zor import _native

X = [0.5, 1.0, 1.5, 2.0, 2.5, 3.0]
COLUMNS = [X]
Y = [x * x + 1.0 for x in X]


@dataclasses.dataclass(frozen=True)
class Settings:  # like the companion's settings: the search's rows and others beside them
    max_complexity: int = 4
    beam_width: int = 60
    use_trig: bool | None = None
    time_limit: float | None = 3.0
    model_selection: str = "accuracy"


def summary(outcome):
    best = outcome["best"]
    return best["formula"], best["score"].hex(), outcome["generated"]


@pytest.mark.parametrize("options", [
    {"max_complexity": 4, "beam_width": 60},
    {"max_complexity": 4, "beam_width": 60, "use_trig": None, "scaling": None},
    types.MappingProxyType({"max_complexity": 4, "beam_width": np.uint8(60), "use_zor": True}),
    Settings(),
    types.SimpleNamespace(max_complexity=4, beam_width=60, precision_goal=None, other="ignored"),
])
def test_settings_come_from_a_mapping_or_attributes_and_none_keeps_the_default(options):
    expected = zor_core.find_formula(COLUMNS, Y, max_complexity=4, beam_width=60)
    outcome = _native.search(COLUMNS, Y, options)
    assert outcome["best"]["formula"] == expected.formula
    assert outcome["best"]["score"].hex() == expected.error.hex()
    assert summary(outcome) == summary(_native.search(COLUMNS, Y, {"max_complexity": 4, "beam_width": 60}))


def test_a_setting_changes_the_search_it_names():
    y = [3.0 * x * x + 2.0 for x in X]
    plain = _native.search(COLUMNS, y, {"max_complexity": 4, "beam_width": 60})
    scaled = _native.search(COLUMNS, y, {"max_complexity": 4, "beam_width": 60, "scaling": True})
    assert plain["best"]["scale"] == 1.0
    assert (scaled["best"]["scale"], scaled["best"]["offset"]) == pytest.approx((3.0, 2.0), rel=1e-12)
    assert _native.search(COLUMNS, Y, {"max_complexity": 1})["best"]["complexity"] == 1


@pytest.mark.parametrize("options, error, match", [
    ({"max_complexity": 4, "max_complexty": 5}, ValueError, r"^argument 'options': unknown search option 'max_complexty'$"),
    ({"max_complexity": "4"}, TypeError,
     r"^argument 'options': max_complexity must be a non-negative integer, not str$"),
    ({"beam_width": -1}, OverflowError, r"^argument 'options': beam_width must be a non-negative integer: "),
    ({"use_zor": 1}, TypeError, r"^argument 'options': use_zor must be True or False, not int$"),
    (types.SimpleNamespace(complexity_penalty=[0.1]), TypeError, "complexity_penalty must be a number, not list"),
    (8, TypeError, r"^argument 'options': expected a mapping or an object with the search settings as "
                   r"attributes, not int$"),
])
def test_bad_settings_are_refused_naming_the_setting(options, error, match):
    with pytest.raises(error, match=match):
        _native.search(COLUMNS, Y, options)
    with pytest.raises(error, match=match):
        _native.shard_open(COLUMNS, Y, options, 0, _native.SHARDS)


def test_a_failing_attribute_or_item_read_is_not_taken_for_absent():
    class Broken:
        @property
        def beam_width(self):
            raise RuntimeError("no width today")

    with pytest.raises(RuntimeError, match="no width today"):
        _native.search(COLUMNS, Y, Broken())


def test_options_after_the_third_are_keyword_only():
    with pytest.raises(TypeError, match=r"^search\(\) takes from 2 to 3 positional arguments but 4 were given$"):
        _native.search(COLUMNS, Y, None, 1.0)
    with pytest.raises(TypeError, match=r"^shard_open\(\) takes 5 positional arguments but 6 were given$"):
        _native.shard_open(COLUMNS, Y, None, 0, 1, True)
    with pytest.raises(TypeError, match="unexpected keyword argument 'scaled'"):
        _native.search(COLUMNS, Y, scaled=True)
    assert _native.search(COLUMNS, Y, {"max_complexity": 2}, keep_front=True, engine="reference")["front"]


def test_penalised_score_ranks_as_the_search_does():
    outcome = _native.search(COLUMNS, [1.0 / x + 0.01 * x for x in X], {"max_complexity": 4, "complexity_penalty": 0.05},
                             keep_front=True)
    for candidate in outcome["front"]:
        assert _native.penalised_score(candidate["rmse"], candidate["complexity"], 0.05) == candidate["score"]
    with pytest.raises(OverflowError):
        _native.penalised_score(1.0, -1, 0.1)


@pytest.mark.parametrize("dimensions, match", [
    ([[1.0]], "one list of exponents per column"),
    ([[1.0, 0.0], [1.0]], "as many exponents"),
    ([[1.0 / 3.0], [0.0]], "multiple of 2\\*\\*-20"),
    ([[float("nan")], [0.0]], "multiple of 2\\*\\*-20"),
    ([[2.0**40], [0.0]], "smaller than 2\\*\\*31"),
])
def test_dimensions_that_do_not_fit_the_columns_are_refused(dimensions, match):
    columns = [X, X[::-1]]
    with pytest.raises(ValueError, match=match):
        _native.search(columns, Y, None, dimensions=dimensions)
    with pytest.raises(ValueError, match=match):
        _native.shard_open(columns, Y, None, 0, _native.SHARDS, dimensions=dimensions)


@pytest.mark.parametrize("engine", ["fast", "reference"])
def test_with_dimensions_no_formula_adds_a_length_to_a_time(engine):
    # y = x + t exactly, x in metres and t in seconds: without units the sum is found at once; with
    # them it is never built, and every level says how many children the rules left out.
    rng = np.random.default_rng(3)
    x, t = rng.uniform(0.5, 3.0, 20), rng.uniform(0.5, 3.0, 20)
    options = {"max_complexity": 5, "beam_width": 200}
    plain = _native.search([x, t], x + t, options, engine=engine, keep_front=True)
    assert plain["best"]["rmse"] == 0.0 and plain["pruned"] == 0
    ruled = _native.search([x, t], x + t, options, engine=engine, keep_front=True,
                           dimensions=[[1.0, 0.0], [0.0, 1.0]])
    assert min(c["rmse"] for c in ruled["front"]) > 0.0 and ruled["pruned"] > 0
    assert sum(level["pruned"] for level in ruled["levels"]) == ruled["pruned"]
    same_units = _native.search([x, t], x + t, options, engine=engine, dimensions=[[1.0], [1.0]])
    assert same_units["best"]["rmse"] == 0.0
