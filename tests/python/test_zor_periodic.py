"""Cycles read off the periodogram: found to a fraction of a peak's width beside a trend, never in noise,
and a trend plus a cycle over decades comes back as a sum that predicts new times."""

import math

import numpy as np
import pytest

import zor
from zor import _periodic

MONTHS = np.arange(0.5, 43 * 12) / 12.0  # 43 years, mid-month


def keeling(t):
    return 315.0 + 0.8 * t + 0.012 * t * t + 2.8 * np.sin(2.0 * math.pi * t - 0.5)


@pytest.mark.parametrize("t, omega, phase, noise", [
    (MONTHS, 2.0 * math.pi, -0.5, 0.3),
    (np.arange(309.0), 2.0 * math.pi / 11.0, 1.2, 20.0),  # yearly counts, an eleven-year cycle
])
def test_a_cycle_beside_a_trend_is_found_within_a_fraction_of_its_peak(t, omega, phase, noise):
    rng = np.random.default_rng(1)
    y = 50.0 + 0.8 * t + 0.01 * t * t + 30.0 * np.sin(omega * t + phase) * noise / 10.0 + rng.normal(0.0, noise, len(t))
    shapes = _periodic.periodic_terms([t], y, 1)
    assert len(shapes) == 1
    found_omega, found_phase = shapes[0][1][1], shapes[0][3][1]
    width = 2.0 * math.pi / (t[-1] - t[0])
    assert abs(found_omega - omega) < 0.05 * width
    assert abs(math.remainder(found_phase - phase, 2.0 * math.pi)) < 0.2


@pytest.mark.parametrize("seed", range(4))
def test_noise_beside_a_trend_holds_no_cycle(seed):
    rng = np.random.default_rng(seed)
    t = np.sort(rng.uniform(0.0, 100.0, 300))
    assert _periodic.periodic_terms([t], 3.0 + 0.2 * t + rng.standard_t(3, len(t)), 3) == []


def test_a_trend_and_a_cycle_over_decades_predict_new_times():
    rng = np.random.default_rng(4)
    y = keeling(MONTHS) + rng.normal(0.0, 0.05, len(MONTHS))
    best = zor.discover(MONTHS.reshape(-1, 1), y, variable_names=["t"], progress=False).best
    fresh = np.linspace(0.1, 42.9, 997)
    error = best.predict(fresh.reshape(-1, 1)) - keeling(fresh)
    assert "sin" in best.formula and np.sqrt(np.mean(error**2)) < 0.1, best
