"""Formula discovery with zor_core.

1. Kepler's third law rediscovered from the eight planets' orbits.
2. Pythagoras' theorem from synthetic right triangles (two variables).
3. The zor operator itself, zor(x, y) = exp(x) - ln(y), from sampled values.
4. y = x * exp(x) from a handful of samples.

Run with `.venv/bin/python examples/demo.py` after `make setup`.
"""

import math
import random
import sys
import time

try:
    import zor_core
except ImportError:  # pragma: no cover - only for a missing build
    sys.exit("zor_core is not importable: run `make setup` first, then `.venv/bin/python examples/demo.py`.")


def as_function(result):
    """The result's Python form as a callable, or None when it names more than x."""
    namespace = {}
    try:
        exec(result.to_python(), namespace)
        f = namespace["f"]
        f(1.0)
    except (NameError, SyntaxError, ValueError, ZeroDivisionError, OverflowError):
        return None
    return f


def discover(title, x_data, y_data, **settings):
    print(f"== {title}")
    if settings:
        print("   settings: " + ", ".join(f"{k}={v}" for k, v in settings.items()))
    start = time.perf_counter()
    result = zor_core.find_formula(x_data, y_data, **settings)
    elapsed = time.perf_counter() - start
    print(f"   result : {result!r}")
    print(f"   formula: {result.formula}   (complexity {result.complexity}, error {result.error:.3g})")
    print(f"   LaTeX  : {result.to_latex()}")
    print("   Python : " + result.to_python().replace("\n", "\n            "))
    print(f"   time   : {elapsed:.2f} s")
    return result


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


def kepler():
    planets = PLANETS
    a = [p[1] for p in planets]
    T = [p[2] for p in planets]
    result = discover("Kepler's third law: orbital period T (years) from semi-major axis a (AU)", [a], T)
    f = as_function(result)
    if f is not None:
        print("   check  : planet      a [AU]   T observed   T from formula   deviation")
        for name, ai, ti in planets:
            deviation = round(100 * (f(ai) - ti) / ti, 2) + 0.0  # no "-0.00"
            print(f"            {name:<9} {ai:8.4f} {ti:12.4f} {f(ai):16.4f} {deviation:+10.2f} %")
    if result.formula in ("(sqrt(x) * x)", "(x * sqrt(x))", "sqrt(((x * x) * x))", "sqrt((x * (x * x)))"):
        print("   => T = a^(3/2), i.e. T^2 = a^3: Kepler's third law.")
    print()


def pythagoras():
    rng = random.Random(7)
    legs_a = [round(rng.uniform(0.5, 4.0), 2) for _ in range(12)]
    legs_b = [round(rng.uniform(0.5, 4.0), 2) for _ in range(12)]
    hypotenuse = [math.sqrt(p * p + q * q) for p, q in zip(legs_a, legs_b)]
    # Trigonometry and zor do not help here; leaving them out lets a wider
    # beam reach the eight-token formula quickly.
    result = discover("Pythagoras: hypotenuse from the legs x and y of right triangles", [legs_a, legs_b], hypotenuse,
                      beam_width=8000, use_trig=False, use_zor=False)
    if result.error == 0.0:
        print("   => the hypotenuse is sqrt(x^2 + y^2) at every sample.")
    print()


def zor_itself():
    rng = random.Random(11)
    xs = [rng.uniform(-1.0, 2.0) for _ in range(10)]
    ys = [rng.uniform(0.2, 5.0) for _ in range(10)]
    tension = [math.exp(p) - math.log(q) for p, q in zip(xs, ys)]
    discover("The tension zor(x, y) = exp(x) - ln(y) from sampled points", [xs, ys], tension)
    print()


def x_exp_x():
    xs = [0.25, 0.5, 1.0, 1.5, 2.0, 2.5, 3.0]
    ys = [x * math.exp(x) for x in xs]
    discover("One variable: y = x * exp(x)", [xs], ys)
    print()


def main():
    total = time.perf_counter()
    kepler()
    pythagoras()
    zor_itself()
    x_exp_x()
    print(f"total time: {time.perf_counter() - total:.2f} s")


if __name__ == "__main__":
    main()
