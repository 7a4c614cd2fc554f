"""Real data sets bundled inside statsmodels, each with the nonlinear model a textbook fits to it.

Nothing is downloaded: every loader reads the copy statsmodels ships (its `get_rdataset` would need the network
and is not used). Each entry of SETS describes its data with a `realdata_sets.Source` (what is regressed on what,
and why) and its model: the function scipy.optimize.curve_fit fits, the names of its constants, why the model is
the textbook one, and how its starting values are found. Every set has one feature, so the model, zor and any
other tool see the same single column.

Starting values: a model that is linear once one constant is fixed (a period, an exponent) starts from the
least-squares solution of its linear part, so curve_fit begins at the best fit with that constant at its textbook
value (a sinusoid b·sin(ωt + φ) is linear as c·sin ωt + d·cos ωt, giving b = hypot(c, d) and φ = atan2(d, c)).
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Callable

import numpy as np

from realdata_sets import DataSet, Source

TWO_PI = 2.0 * np.pi
SUNSPOT_CYCLE_YEARS = 11.0  # Schwabe's cycle, the textbook period the fit starts from
MONTHS = ("JAN", "FEB", "MAR", "APR", "MAY", "JUN", "JUL", "AUG", "SEP", "OCT", "NOV", "DEC")


@dataclass(frozen=True)
class Textbook:
    source: Source
    feature: str  # the one column the model and every tool see
    rows: int  # rows after loading (a check on the loader)
    model: Callable[..., np.ndarray]  # model(x, *constants)
    constants: tuple[str, ...]
    formula: str  # the model as a reader writes it
    model_why: str  # why this is the textbook model of the data
    start: Callable[[np.ndarray, np.ndarray], list[float]]  # curve_fit's p0 from the training rows
    start_why: str
    r2_floor: float  # the model fitted on all rows has at least this R² (the smoke test holds it to it)


def _linear(columns: list[np.ndarray], y: np.ndarray) -> np.ndarray:
    return np.linalg.lstsq(np.column_stack(columns), y, rcond=None)[0]


def _sinusoid(sin_part: float, cos_part: float) -> list[float]:
    """Amplitude and phase of c·sin θ + d·cos θ written as b·sin(θ + φ)."""
    return [float(np.hypot(sin_part, cos_part)), float(np.arctan2(cos_part, sin_part))]


def _harmonic_start(t: np.ndarray, y: np.ndarray, angle: np.ndarray, trend_powers: int) -> list[float]:
    """Offset, polynomial trend coefficients, amplitude and phase of the least-squares fit at a fixed frequency."""
    columns = [t**power for power in range(trend_powers + 1)] + [np.sin(angle), np.cos(angle)]
    coefficients = _linear(columns, y)
    return [float(c) for c in coefficients[:-2]] + _sinusoid(*coefficients[-2:])


# --- the models -----------------------------------------------------------------------


def power_law(x, a, b):
    return a * x**b


def start_power_law(x, y):
    # The straight line through (ln x, ln y): the log-log fit that textbooks draw first.
    slope, intercept = np.polyfit(np.log(x), np.log(y), 1)
    return [float(np.exp(intercept)), float(slope)]


def cycle(t, a, b, period, phase):
    return a + b * np.sin(TWO_PI * t / period + phase)


def start_cycle(t, y):
    offset, amplitude, phase = _harmonic_start(t, y, TWO_PI * t / SUNSPOT_CYCLE_YEARS, 0)
    return [offset, amplitude, SUNSPOT_CYCLE_YEARS, phase]


def trend_and_season(t, a, b, c, d, phase):
    return a + b * t + c * t * t + d * np.sin(TWO_PI * t + phase)


def start_trend_and_season(t, y):
    return _harmonic_start(t, y, TWO_PI * t, 2)


def phillips(u, a, b):
    return a + b / u


def start_phillips(u, y):
    return [float(c) for c in _linear([np.ones_like(u), 1.0 / u], y)]


def annual_cycle(month, a, b, phase):
    return a + b * np.sin(TWO_PI * month / 12.0 + phase)


def start_annual_cycle(month, y):
    return _harmonic_start(month, y, TWO_PI * month / 12.0, 0)


# --- the loaders: (x, y) ----------------------------------------------------------------


def _statsmodels(name: str):
    import statsmodels.api as sm

    return getattr(sm.datasets, name).load_pandas().data


def load_engel():
    frame = _statsmodels("engel")
    return frame["income"].to_numpy(float), frame["foodexp"].to_numpy(float)


def load_sunspots():
    frame = _statsmodels("sunspots")
    return frame["YEAR"].to_numpy(float) - 1700.0, frame["SUNACTIVITY"].to_numpy(float)


def load_co2():
    # Weekly readings with gaps: monthly means, months without a reading dropped, time at the middle of the month.
    series = _statsmodels("co2")["co2"].resample("MS").mean().dropna()
    years = series.index.year.to_numpy(float) + (series.index.month.to_numpy(float) - 0.5) / 12.0
    return years - 1958.0, series.to_numpy(float)


def load_phillips():
    frame = _statsmodels("macrodata")
    # The first quarter has no previous price level, and the set stores its inflation as 0.
    frame = frame.iloc[1:]
    frame = frame[frame["year"] <= 1969]
    return frame["unemp"].to_numpy(float), frame["infl"].to_numpy(float)


def load_elnino():
    frame = _statsmodels("elnino")
    months = np.tile(np.arange(1.0, 13.0), len(frame))
    temperatures = frame[list(MONTHS)].to_numpy(float).reshape(-1)
    keep = np.isfinite(temperatures)
    return months[keep], temperatures[keep]


LOADERS: dict[str, Callable[[], tuple[np.ndarray, np.ndarray]]] = {
    "engel": load_engel, "sunspots": load_sunspots, "co2": load_co2, "phillips": load_phillips,
    "elnino": load_elnino,
}

SETS: tuple[Textbook, ...] = (
    Textbook(
        Source("engel", "statsmodels", "foodexp",
               "annual food expenditure of 235 Belgian working-class households against their income (Engel 1857)"),
        "income", 235, power_law, ("a", "b"), "a·income^b",
        "Engel's law: the share spent on food falls as income rises, and the Engel curve is fitted as a constant "
        "income elasticity b < 1, the power law (linear in logs)",
        start_power_law, "the straight line through (ln income, ln foodexp)", 0.8),
    Textbook(
        Source("sunspots", "statsmodels", "SUNACTIVITY",
               "yearly mean sunspot number 1700-2008 against the years since 1700"),
        "year", 309, cycle, ("a", "b", "P", "phi"), "a + b·sin(2π·year/P + φ)",
        "Schwabe's solar cycle: sunspot numbers rise and fall with a period of about eleven years, the one "
        "sinusoid with its period fitted",
        start_cycle, "P = 11 years; a, b and φ from the linear least-squares fit at that period", 0.2),
    Textbook(
        Source("co2", "statsmodels", "co2",
               "atmospheric CO₂ (ppm) at Mauna Loa 1958-2001, weekly readings averaged per month, against the "
               "years since 1958 at the middle of each month"),
        "t", 521, trend_and_season, ("a", "b", "c", "d", "phi"), "a + b·t + c·t² + d·sin(2π·t + φ)",
        "the Keeling curve: an accelerating rise (a quadratic trend) plus the annual cycle of the northern "
        "hemisphere's vegetation, one sinusoid of period one year with a fitted phase",
        start_trend_and_season, "the linear least-squares fit of the trend and the annual sinusoid", 0.99),
    Textbook(
        Source("phillips", "statsmodels", "infl",
               "US quarterly inflation (annualised, %) against the unemployment rate (%), 1959 Q2 to 1969 Q4, from "
               "statsmodels' macrodata; the first quarter is left out (no previous price level, stored as 0) and the "
               "years after 1969 too (from the 1970s stagflation no curve fits)"),
        "unemp", 43, phillips, ("a", "b"), "a + b/unemp",
        "the Phillips curve in Samuelson and Solow's (1960) form: inflation falls hyperbolically as unemployment "
        "rises, which the US data of the 1960s follow",
        start_phillips, "the linear least-squares fit on 1/unemp", 0.5),
    Textbook(
        Source("elnino", "statsmodels", "temperature",
               "monthly sea surface temperature (°C) of the El Niño region 1950-2010 against the month of the year "
               "(1..12)"),
        "month", 732, annual_cycle, ("a", "b", "phi"), "a + b·sin(2π·month/12 + φ)",
        "the seasonal cycle (climatology) of sea surface temperature, one annual sinusoid with a fitted phase; "
        "the year-to-year El Niño anomalies are what is left over",
        start_annual_cycle, "the linear least-squares fit of the annual sinusoid", 0.7),
)

TEXTBOOKS = {entry.source.name: entry for entry in SETS}


def load(name: str) -> DataSet:
    """The named set as one feature column and its target."""
    entry = TEXTBOOKS[name]
    x, y = LOADERS[name]()
    return DataSet(name, x.reshape(-1, 1), y, [entry.feature], entry.source.target)


def fit(entry: Textbook, x: np.ndarray, y: np.ndarray) -> np.ndarray:
    """The model's constants fitted by curve_fit (Levenberg-Marquardt) from the documented start."""
    from scipy.optimize import curve_fit

    constants, _ = curve_fit(entry.model, x, y, p0=entry.start(x, y), maxfev=20000)
    return constants
