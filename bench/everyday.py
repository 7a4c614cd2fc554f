"""Textbook laws on everyday data: small (8–30 rows), noisy, one or two variables, through zor.discover on one
core, each law on 20 draws of its noise, judged against the law.

- planets: the eight planets' mean orbital speeds (relative to Earth's, four digits) against their semi-major
  axes, v = a^(−1/2), from zor.discover, ZorRegressor and zor-discover, with and without a time limit;
- singular: laws with a pole or a logarithm at 0 on rows that start near it, noise of the data's last digit;
- decay: 2 + 3·e^(−t/3.3) on 100 rows, 1 % noise, with no time limit and with 2, 5 and 10 s;
- pendulum: T = 2π·√(L/9.81) on 25 rows, 0.5 % noise: the best should be c·√L without an offset;
- growth, logistic, allometric: 120·e^(0.45·t) on 15 rows with 5 % noise, 100/(1 + e^(−(t − 5)/1.2)) on 25 rows
  with 2 %, 3·M^0.75 over three decades on 20 rows with 10 % (noise relative to the value);
- background: 4/r² + 2 on 15 rows with noise of 0.05;
- powers: a product of powers, 0.0024·D²·H on 30 rows with 6 % noise, on the five folds of a split.

The best formula has the law's shape when its own shape, every constant refitted to 2000 noiseless points of
the law, fits them to a relative error of 1e-6; its constants are covered when each fitted one's 95 % interval
holds its value in that refit, and each snapped one equals it. Every discover call is checked for warnings.

    .venv/bin/python bench/everyday.py [--laws planets,decay,...] [--draws 20]
"""

from __future__ import annotations

import argparse
import math
import os
import subprocess
import sys
import tempfile
import time
import warnings

os.environ.setdefault("RAYON_NUM_THREADS", "1")  # one core, before the native pool starts

import numpy as np  # noqa: E402

import zor  # noqa: E402
from zor import _parameter_fits  # noqa: E402

FRESH = 2000
PLANET_AXES = np.array([0.387, 0.723, 1.0, 1.524, 5.203, 9.537, 19.19, 30.07])


def last_digits(values: np.ndarray, digits: int) -> np.ndarray:
    return np.array([float(f"{value:.{digits}g}") for value in values])


def refit_to_law(formula: zor.Formula, law, fresh: np.ndarray) -> dict[str, float] | None:
    """The formula's own shape with every constant refitted to noiseless points of the law, by name; None
    when the shape does not hold the law."""
    inner = np.array([float(token[2]) for token in formula.tokens if token[0] == "param"])
    truth = law(fresh)
    start = np.concatenate([inner, [formula.constants.used_scale, formula.constants.used_offset]])
    fit = _parameter_fits.fit(formula.tokens, [fresh], truth, start)
    if fit is None or not math.sqrt(fit.sse / len(fresh)) <= 1e-6 * math.sqrt(float(np.mean(truth * truth))):
        return None
    names = [f"c{k}" for k in range(len(inner))] + ["scale", "offset"]
    return dict(zip(names, map(float, fit.full)))


def judged(formula: zor.Formula, law, low: float, high: float) -> tuple[bool, bool]:
    """(the law's shape, its constants covered)."""
    fresh = np.linspace(low, high, FRESH)
    true = refit_to_law(formula, law, fresh)
    if true is None:
        return False, False
    covered = all((p.exact is not None and math.isclose(p.value, true[p.name], rel_tol=1e-9, abs_tol=1e-12))
                  or p.low <= true[p.name] <= p.high for p in formula.parameters)
    return True, covered


def discover(x: np.ndarray, y: np.ndarray, **settings) -> tuple[zor.DiscoveryResult, float, list[str]]:
    started = time.perf_counter()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = zor.discover(x, y, progress=False, **settings)
    return result, time.perf_counter() - started, [f"{w.category.__name__}: {w.message}" for w in caught]


# name: (law, its rows, noise, relative to the value or absolute)
LAWS = {
    "pendulum": (lambda L: 2 * np.pi * np.sqrt(L / 9.81), np.linspace(0.1, 2.0, 25), 0.005, "relative"),
    "growth": (lambda t: 120 * np.exp(0.45 * t), np.linspace(0.0, 7.0, 15), 0.05, "relative"),
    "logistic": (lambda t: 100 / (1 + np.exp(-(t - 5) / 1.2)), np.linspace(0.0, 10.0, 25), 0.02, "relative"),
    "allometric": (lambda M: 3 * M**0.75, np.geomspace(0.1, 100.0, 20), 0.10, "relative"),
    "background": (lambda r: 4 / r**2 + 2, np.linspace(0.5, 5.0, 15), 0.05, "absolute"),
    "decay": (lambda t: 2 + 3 * np.exp(-t / 3.3), np.linspace(0.0, 10.0, 100), 0.01, "relative"),
}


def noisy(name: str, seed: int) -> tuple[np.ndarray, np.ndarray]:
    law, x, noise, kind = LAWS[name]
    rng = np.random.default_rng(seed)
    y = law(x) * (1 + noise * rng.standard_normal(len(x))) if kind == "relative" else (
        law(x) + noise * rng.standard_normal(len(x)))
    return x, y


def run_law(name: str, draws: int, time_limits: list[float | None]) -> None:
    law, x, _, _ = LAWS[name]
    for limit in time_limits:
        shapes = covered = no_offset = 0
        seconds, warned, examples = [], set(), {}
        for seed in range(draws):
            x, y = noisy(name, seed)
            result, elapsed, caught = discover(x, y, time_limit=limit)
            seconds.append(elapsed)
            warned.update(caught)
            shape, inside = judged(result.best, law, float(x[0]), float(x[-1]))
            shapes += shape
            covered += shape and inside
            no_offset += result.best.constants.used_offset == 0.0
            examples.setdefault(shape, result.best.formula)
        limit_text = "none" if limit is None else f"{limit:g} s"
        print(f"{name:>11} limit {limit_text:>5}: shape {shapes:2d}/{draws}, constants covered {covered:2d}/{draws}, "
              f"no offset {no_offset:2d}/{draws}, {np.median(seconds):5.1f} s median; warnings {sorted(warned) or 0}",
              flush=True)
        for shape, text in sorted(examples.items(), reverse=True):
            print(f"{'':>13}{'law' if shape else 'other'}: {text}")


SINGULAR = {
    "a^(-1/2), planets": (PLANET_AXES, lambda a: a**-0.5, 4),
    "1/r², from 0.2": (np.linspace(0.2, 3.0, 12), lambda r: 1 / r**2, 3),
    "8.99/r², from 0.05": (np.linspace(0.05, 1.0, 10), lambda r: 8.99 / r**2, 3),
    "ln c, from 0.05": (np.linspace(0.05, 2.0, 15), np.log, 3),
    "3/√x, from 0.1": (np.geomspace(0.1, 10.0, 20), lambda x: 3 / np.sqrt(x), 3),
    "2·ln(d) + 1, from 0.02": (np.linspace(0.02, 1.0, 8), lambda d: 2 * np.log(d) + 1, 3),
}


def run_singular() -> None:
    for name, (x, law, digits) in SINGULAR.items():
        result, elapsed, caught = discover(x, last_digits(law(x), digits))
        dense = np.linspace(x[0], x[-1], FRESH)
        deviation = float(np.max(np.abs(result.best.predict(dense) / law(dense) - 1)))
        print(f"{name:>24}: {len(x):2d} rows, largest relative deviation from the law {deviation:9.2e} "
              f"({elapsed:.1f} s, {len(caught)} warnings)  {result.best.formula}", flush=True)


def run_planets() -> None:
    v = last_digits(PLANET_AXES**-0.5, 4)
    for limit in (None, 10.0):
        result, elapsed, _ = discover(PLANET_AXES.reshape(-1, 1), v, variable_names=["a"], time_limit=limit)
        print(f"  discover, limit {limit}: {result.best.formula}  ({elapsed:.1f} s)", flush=True)
        model = zor.ZorRegressor(time_limit=limit, progress=False).fit(PLANET_AXES.reshape(-1, 1), v)
        print(f"  ZorRegressor, limit {limit}: {model.result_.best.formula}", flush=True)
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "planets.csv")
        with open(path, "w") as file:
            file.write("a,v\n" + "".join(f"{a},{s}\n" for a, s in zip(PLANET_AXES, v)))
        cli = os.path.join(os.path.dirname(sys.executable), "zor-discover")
        for extra in ([], ["--time-limit", "10"]):
            out = subprocess.run([cli, path, *extra], capture_output=True, text=True, check=True).stdout
            best = next((line for line in out.splitlines() if "best" in line.lower()), out.splitlines()[0])
            print(f"  zor-discover {' '.join(extra)}: {best.strip()}", flush=True)


def run_powers(time_limit: float) -> None:
    """The law is the best on a fold when its predictions are an affine function of D²·H."""
    for seed in range(3):
        rng = np.random.default_rng(seed)
        D, H = rng.uniform(8, 21, 30), rng.uniform(63, 87, 30)
        V = 0.0024 * D**2 * H * (1 + 0.06 * rng.standard_normal(30))
        X = np.column_stack([D, H])
        fold = np.random.default_rng(7).permutation(30) % 5
        laws, errors = 0, []
        for k in range(5):
            train = fold != k
            result, _, _ = discover(X[train], V[train], variable_names=["D", "H"], time_limit=time_limit)
            predicted = np.asarray(result.best.predict(X))
            laws += bool(np.corrcoef(predicted, D**2 * H)[0, 1] > 1 - 1e-9)
            errors.append(float(np.mean((predicted[~train] - V[~train]) ** 2)))
        print(f"  draw {seed}: the law on {laws}/5 folds; pooled held-out MSE {np.mean(errors):.3g}", flush=True)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--laws", default="planets,singular,pendulum,growth,logistic,allometric,background,decay,"
                                          "powers")
    parser.add_argument("--draws", type=int, default=20)
    args = parser.parse_args(argv)
    import scipy.stats  # noqa: F401 - imported once before the clocks start, as a session would

    print(f"{time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}; {args.draws} draws per law; "
          f"load {os.getloadavg()[0]:.2f}")
    for name in args.laws.split(","):
        if name == "planets":
            print("planets (8 rows, four digits):")
            run_planets()
        elif name == "singular":
            print("laws singular at 0, noise of the last digit:")
            run_singular()
        elif name == "powers":
            print("0.0024·D²·H on 30 rows, 6 % noise, 5 folds, time limit 10 s:")
            run_powers(10.0)
        elif name == "decay":
            run_law(name, args.draws, [None, 2.0, 5.0, 10.0])
        else:
            run_law(name, args.draws, [None])
    return 0


if __name__ == "__main__":
    sys.exit(main())
