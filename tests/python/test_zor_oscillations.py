"""Cycles whose amplitude decays or grows: an envelope times a sinusoid, started at the periodogram's peak."""

import numpy as np
import pytest

import zor
from zor._domain import box_of
from zor._oscillations import envelope_cycle_shapes
from zor._parameter_fits import fit_shape, problem_for


def holds(parameters, value: float) -> bool:
    """Some parameter's interval holds `value` (up to its sign for a frequency), or it snapped to it."""
    return any(p.low <= v <= p.high or (p.exact is not None and np.isclose(p.value, v, rtol=1e-12))
               for p in parameters for v in (value, -value))


# The inner constants: a phase of 0 is no constant at all.
@pytest.mark.parametrize("name, law, rate, frequency, inner, times", [
    ("damped, 200 even rows", lambda t: 2 * np.exp(-0.15 * t) * np.sin(1.3 * t), -0.15, 1.3, 2,
     np.linspace(0.0, 20.0, 200)),
    ("growing, 50 uneven rows", lambda t: 0.5 * np.exp(0.08 * t) * np.sin(2.1 * t + 0.4), 0.08, 2.1, 3,
     np.sort(np.random.default_rng(3).uniform(0.0, 20.0, 50))),
])
def test_an_oscillation_in_an_envelope_comes_back_with_its_rate_and_frequency(name, law, rate, frequency, inner,
                                                                                times):
    rng = np.random.default_rng(1)
    y = law(times) + 0.01 * np.std(law(times)) * rng.standard_normal(len(times))
    best = zor.discover(times.reshape(-1, 1), y, variable_names=["t"], progress=False).best
    assert "exp" in best.formula and "sin" in best.formula and best.complexity <= 16, best.formula
    fresh = np.linspace(0.0, 20.0, 1000)
    truth = law(fresh)
    r2 = 1.0 - np.mean((best.predict(fresh.reshape(-1, 1)) - truth) ** 2) / np.var(truth)
    assert r2 >= 0.9999
    assert holds(best.parameters, rate) and holds(best.parameters, frequency), best.parameters
    assert sum(p.name.startswith("c") for p in best.parameters) == inner, best.formula


def beats(t):
    return np.sin(1.9 * t) + np.sin(2.3 * t)


EVEN = np.linspace(0.0, 20.0, 200)
# 50 rows: too few for sums of terms picked from the whole pool, enough for sums of the cycle's own terms.
UNEVEN = np.sort(np.random.default_rng(3).uniform(0.0, 20.0, 50))


def drifting(t):
    return 0.3 * t + 1 + 2 * np.exp(-0.2 * t) * np.cos(1.7 * t)


@pytest.mark.parametrize("name, law, terms, least_r2, t", [
    ("beats", beats, 2, 0.99999, EVEN),
    ("modulated: carrier and side bands", lambda t: (1 + 0.5 * np.sin(0.3 * t)) * np.sin(3.0 * t), 3, 0.9999, EVEN),
    ("damped about a drift", drifting, 2, 0.9999, EVEN),
    ("beats, 50 uneven rows", beats, 2, 0.9999, UNEVEN),
    # The envelope's constants are fitted to what the line leaves, not beside it: on 50 rows its rate is
    # 0.215 for 0.2.
    ("damped about a drift, 50 uneven rows", drifting, 2, 0.999, UNEVEN),
])
def test_oscillations_that_are_sums_come_back_as_their_terms(name, law, terms, least_r2, t):
    y = law(t) + 0.01 * np.std(law(t)) * np.random.default_rng(1).standard_normal(len(t))
    best = zor.discover(t.reshape(-1, 1), y, variable_names=["t"], progress=False).best
    assert len(best.terms) == terms, best.formula
    fresh = np.linspace(0.0, 20.0, 1000)
    truth = law(fresh)
    assert 1.0 - np.mean((best.predict(fresh.reshape(-1, 1)) - truth) ** 2) / np.var(truth) >= least_r2


@pytest.mark.parametrize("noise", [0.0, 0.01])
def test_cycles_in_phase_at_zero_come_back_without_a_phase(noise):
    y = beats(EVEN) + noise * np.std(beats(EVEN)) * np.random.default_rng(1).standard_normal(len(EVEN))
    best = zor.discover(EVEN.reshape(-1, 1), y, variable_names=["t"], progress=False).best
    assert [term.tokens[2:] for term in best.terms] == [(("op", "Mul"), ("op", "Sin"))] * 2, best.formula


def test_fewer_rows_get_no_sum_of_a_cycle():
    t = UNEVEN[::2]
    y = drifting(t) + 0.01 * np.std(drifting(t)) * np.random.default_rng(1).standard_normal(len(t))
    assert zor.discover(t.reshape(-1, 1), y, variable_names=["t"], progress=False).best.terms == ()


def test_beats_fitted_as_a_product_start_at_half_the_sum_and_half_the_difference_of_their_peaks():
    t = np.linspace(0.0, 20.0, 200)
    tokens, starts = envelope_cycle_shapes([t], beats(t), 4)[-1]
    problem = problem_for([t], beats(t), ("t",), box_of([t]), 0.0, ["Sin", "Mul", "Add"])
    fitted = fit_shape(problem, tokens, starts)
    assert fitted is not None and fitted.sse < 1e-12
    assert np.allclose(np.abs(fitted.inner[[0, 2]]), [2.1, 0.2], atol=1e-9)


@pytest.mark.parametrize("law", [lambda t: 120 * np.exp(0.45 * t), lambda t: 3 * t ** 0.75 + 1])
def test_data_without_a_cycle_start_no_oscillation(law):
    t = np.linspace(0.1, 7.0, 40)
    y = law(t) * (1 + 0.03 * np.random.default_rng(0).standard_normal(40))
    assert envelope_cycle_shapes([t], y, 3) == []
