"""Formula discovery with zor: four laws found from their data.

1. Kepler's third law from the eight planets' orbits: a fitted constant.
2. The inverse-square law I = P/(4*pi*r^2): a constant snapped to its exact value, two variables.
3. Pythagoras' theorem from right triangles.
4. The operator zor(x, y) = exp(x) - ln(y) itself, whose Python form carries zor's guards.

Each shows the Pareto front zor.discover found, the best formula as text,
LaTeX and Python, and the Python form run on the first row of the data next
to the result's own predict. Every search runs at the default settings
(max_complexity=8, beam_width=2000), so the formulas are the same on every
machine and with any number of threads.

Run with `make demo`, or `.venv/bin/python examples/demo.py` after `make setup`.
"""

import sys
import time

try:
    import numpy as np
    import zor
except ImportError:  # pragma: no cover - only for a missing build
    sys.exit("zor is not importable: run `make setup` first, then `.venv/bin/python examples/demo.py`.")

# Mean semi-major axis a (AU, JPL's J2000 elements for approximate planet
# positions) and sidereal orbital period T (Julian years).
PLANETS = [
    ("Mercury", 0.38709927, 0.2408467),
    ("Venus", 0.72333566, 0.61519726),
    ("Earth", 1.00000261, 1.0000174),
    ("Mars", 1.52371034, 1.8808476),
    ("Jupiter", 5.20288700, 11.862615),
    ("Saturn", 9.53667594, 29.447498),
    ("Uranus", 19.18916464, 84.016846),
    ("Neptune", 30.06992276, 164.79132),
]


def indented(text, prefix="   | "):
    return "\n".join((prefix + line).rstrip() for line in text.rstrip("\n").splitlines())


def show(title, X, y, names):
    """Runs discover on X (samples x variables) and y; prints its front, best formula and forms."""
    print(f"== {title}")
    start = time.perf_counter()
    result = zor.discover(X, y, variable_names=names, progress=False)
    elapsed = time.perf_counter() - start
    print(f"   front ({elapsed:.2f} s): complexity, relative error, formula; * marks the best")
    for entry in result.front:
        mark = "*" if entry is result.best else " "
        print(f"   {mark} {entry.complexity:3d}  {entry.relative_error:9.2e}  {entry.formula}")
    best = result.best
    print(f"   best   : {best.formula}")
    if best.simplified != best.formula:
        print(f"   simpler: {best.simplified}")
    print(f"   LaTeX  : {best.latex}")
    print("   Python :")
    print(indented(best.python))

    # The Python form runs as it stands: one argument per variable.
    namespace = {}
    exec(best.python, namespace)
    row = X[0]
    by_python = namespace["f"](*(float(v) for v in row))
    by_predict = float(result.predict(X[:1])[0])
    arguments = ", ".join(f"{name}={float(v):g}" for name, v in zip(names, row))
    agreement = "the same" if by_python == by_predict else f"differs by {abs(by_python - by_predict):.1e}"
    print(f"   check  : f({arguments}) = {by_python!r}; predict gives {by_predict!r} ({agreement}); "
          f"the data say {float(y[0])!r}")
    return result


def kepler():
    a = np.array([p[1] for p in PLANETS])
    T = np.array([p[2] for p in PLANETS])
    result = show("Kepler's third law: orbital period T (years) from semi-major axis a (AU)", a.reshape(-1, 1), T,
                  ["a"])
    print("   planet      a [AU]   T observed   T from formula   deviation")
    for (name, _, observed), ai, computed in zip(PLANETS, a, result.predict(a.reshape(-1, 1))):
        deviation = round(100 * (computed - observed) / observed, 2) + 0.0  # no "-0.00"
        print(f"   {name:<9} {ai:8.4f} {observed:12.4f} {computed:16.4f} {deviation:+10.2f} %")
    if result.best.formula.endswith("* (sqrt(a) * a))"):
        print(f"   => T = {result.best.scale:.4f} a^(3/2): T^2 = a^3, with a fitted constant that the data's units "
              f"do not make exactly 1.")
    print()


def inverse_square():
    rng = np.random.default_rng(1)
    power = rng.uniform(10.0, 100.0, 30)
    distance = rng.uniform(1.0, 5.0, 30)
    intensity = power / (4 * np.pi * distance**2)
    result = show("Inverse-square law: intensity from the power P of a source and the distance r",
                  np.column_stack([power, distance]), intensity, ["P", "r"])
    if result.best.formula.startswith("((1/(4*pi)) * "):
        print(f"   => the least-squares scale {result.best.scale!r} snapped to its exact value, 1/(4 pi).")
    print()


def pythagoras():
    rng = np.random.default_rng(7)
    legs = rng.uniform(0.5, 4.0, (12, 2)).round(2)
    show("Pythagoras: the hypotenuse from the legs a and b of right triangles", legs, np.hypot(legs[:, 0], legs[:, 1]),
         ["a", "b"])
    print()


def zor_itself():
    rng = np.random.default_rng(11)
    X = np.column_stack([rng.uniform(-1.0, 2.0, 10), rng.uniform(0.2, 5.0, 10)])
    show("The operator zor(x, y) = exp(x) - ln(y) from sampled points", X, np.exp(X[:, 0]) - np.log(X[:, 1]),
         ["x", "y"])
    print("   => its Python form defines zor with the guards the search evaluates it with.")
    print()


def main():
    total = time.perf_counter()
    kepler()
    inverse_square()
    pythagoras()
    zor_itself()
    print(f"total time: {time.perf_counter() - total:.2f} s")


if __name__ == "__main__":
    main()
