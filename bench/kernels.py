"""Timings of a few zor_core batch kernels against the obvious alternatives.

    .venv/bin/python bench/kernels.py            # after `make setup`
    PYTHONPATH=build/<dir> python bench/kernels.py

For each kernel and batch size the table gives the best time per call
(min over several repeats, timeit style) of:

  zor      the zor_core function, called with Python lists
  python   a list comprehension over math, with the same guards
  numpy    NumPy as a list user would write it: asarray, compute, .tolist()
  floor    the conversion floor: array('d', xs).tolist() for every input,
           i.e. reading the doubles out of the lists and building the result
           objects, with no arithmetic at all

and the ratios zor / peer (below 1 means zor_core is faster). A second table
gives the same kernels with NumPy arrays as inputs.

Options: --quick (sizes up to 100 000 only), --budget SECONDS per case,
--figure PATH (default docs/figures/kernels.png; needs matplotlib, which
`make bench` installs) to draw time per element against n for the list inputs.
"""

from __future__ import annotations

import argparse
import gc
import itertools
import math
import os
import platform
import random
import sys
import time
from array import array

try:
    import zor_core
except ImportError:
    sys.exit("zor_core is not importable: run `make setup`, or point PYTHONPATH at a build directory")

import numpy as np

import figures

SIZES = [10, 1_000, 100_000, 1_000_000]
EXP_LIMIT = 709.78
LN_FLOOR = 1e-300


# --- timing ---------------------------------------------------------------------


def best_time(fn, budget, min_calls=3):
    """Minimum seconds per call: each repeat runs `number` calls, sized so a
    repeat lasts at least ~20 ms; repeats continue up to 7 or until the
    budget is spent, after at least `min_calls` single calls. As in timeit,
    the cyclic garbage collector is off while timing."""
    gc.collect()
    gc_was = gc.isenabled()
    gc.disable()
    try:
        once = math.inf
        spent = 0.0
        for _ in range(max(1, min_calls)):
            start = time.perf_counter()
            fn()
            elapsed = time.perf_counter() - start
            once = min(once, elapsed)
            spent += elapsed
            if spent > 4 * budget:  # very slow calls: fewer samples
                break
        number = max(1, int(0.02 / once)) if once > 0 else 1000
        best = once
        repeats = 0
        while repeats < 7 and spent + once * number <= budget:
            t0 = time.perf_counter()
            for _ in range(number):
                fn()
            elapsed = time.perf_counter() - t0
            best = min(best, elapsed / number)
            spent += elapsed
            repeats += 1
    finally:
        if gc_was:
            gc.enable()
    return best


def fmt_time(seconds):
    if seconds is None:
        return "-"
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds * 1e9:.3g} ns"


def fmt_ratio(a, b):
    if a is None or b is None or b == 0:
        return "-"
    return f"{a / b:.2f}"


# --- peers ------------------------------------------------------------------------


def py_safe_exp(x):
    return math.exp(math.log(x)) if x > EXP_LIMIT else math.exp(x)


def py_safe_ln(y):
    if y > 0.0 or y != y:
        return math.log(y)
    return math.log(max(abs(y), LN_FLOOR))


def np_safe_exp(x):
    with np.errstate(invalid="ignore", divide="ignore", over="ignore"):
        return np.where(x > EXP_LIMIT, np.exp(np.log(np.where(x > EXP_LIMIT, x, 1.0))), np.exp(x))


def np_safe_ln(y):
    guarded = np.where((y > 0.0) | np.isnan(y), y, np.maximum(np.abs(y), LN_FLOOR))
    with np.errstate(invalid="ignore", divide="ignore"):
        return np.log(guarded)


def _octonion_table():
    table = [[(1.0, 0)] * 8 for _ in range(8)]
    for i in range(8):
        table[0][i] = (1.0, i)
        table[i][0] = (1.0, i)
        if i:
            table[i][i] = (-1.0, 0)
    for i in range(1, 8):
        a, b, c = i, i % 7 + 1, (i + 2) % 7 + 1
        for p, q, r in ((a, b, c), (b, c, a), (c, a, b)):
            table[p][q] = (1.0, r)
            table[q][p] = (-1.0, r)
    return table


OCT = _octonion_table()
OCT_TENSOR = np.zeros((8, 8, 8))
for _i, _j in itertools.product(range(8), repeat=2):
    _s, _k = OCT[_i][_j]
    OCT_TENSOR[_i, _j, _k] = _s


def py_octonion(a, b):
    out = [0.0] * 8
    for i in range(8):
        ai = a[i]
        if ai == 0.0:
            continue
        row = OCT[i]
        for j in range(8):
            bj = b[j]
            if bj == 0.0:
                continue
            s, k = row[j]
            out[k] = (s * ai) * bj + out[k]
    return out


def octet_floor(octets):
    """Reads every coefficient into one array and rebuilds lists of eight."""
    flat = array("d", itertools.chain.from_iterable(octets)).tolist()
    return [flat[i : i + 8] for i in range(0, len(flat), 8)]


def py_boost(p, phi, c):
    t = py_safe_exp(p[0])
    space = py_safe_ln(p[1])
    ch, sh = math.cosh(phi), math.sinh(phi)
    space_b = space * ch - (c * t) * sh
    t_b = t * ch - (space / c) * sh
    return (math.log(t_b if t_b > LN_FLOOR else LN_FLOOR), math.exp(min(max(space_b, -709.0), 709.0)))


def np_boost(points, phis, c):
    p = np.asarray(points)
    phi = np.asarray(phis)
    t = np_safe_exp(p[:, 0])
    space = np_safe_ln(p[:, 1])
    ch, sh = np.cosh(phi), np.sinh(phi)
    space_b = space * ch - (c * t) * sh
    t_b = t * ch - (space / c) * sh
    xs = np.log(np.where(t_b > LN_FLOOR, t_b, LN_FLOOR))
    ys = np.exp(np.clip(space_b, -709.0, 709.0))
    return list(zip(xs.tolist(), ys.tolist()))


# --- cases ------------------------------------------------------------------------


def make_inputs(n, rng):
    xs = [rng.uniform(-50.0, 50.0) for _ in range(n)]
    ys = [rng.uniform(1e-3, 100.0) for _ in range(n)]
    octs_a = [[rng.uniform(-1.0, 1.0) for _ in range(8)] for _ in range(n)]
    octs_b = [[rng.uniform(-1.0, 1.0) for _ in range(8)] for _ in range(n)]
    points = [(rng.uniform(-3.0, 3.0), rng.uniform(0.1, 10.0)) for _ in range(n)]
    phis = [rng.uniform(-1.0, 1.0) for _ in range(n)]
    return xs, ys, octs_a, octs_b, points, phis


def list_cases(n, rng):
    xs, ys, octs_a, octs_b, points, phis = make_inputs(n, rng)
    c = 1.5
    return {
        "exp_n": {
            "zor": lambda: zor_core.exp_n(xs),
            "python": lambda: [math.exp(math.log(x)) if x > EXP_LIMIT else math.exp(x) for x in xs],
            "numpy": lambda: np.exp(np.asarray(xs)).tolist(),
            "floor": lambda: array("d", xs).tolist(),
        },
        "tension_n": {
            "zor": lambda: zor_core.tension_n(xs, ys),
            "python": lambda: [py_safe_exp(x) - py_safe_ln(y) for x, y in zip(xs, ys)],
            "numpy": lambda: (np_safe_exp(np.asarray(xs)) - np_safe_ln(np.asarray(ys))).tolist(),
            "floor": lambda: (array("d", xs).tolist(), array("d", ys).tolist()),
        },
        "add_n": {
            "zor": lambda: zor_core.add_n(xs, ys),
            "python": lambda: [a + b for a, b in zip(xs, ys)],
            "numpy": lambda: (np.asarray(xs) + np.asarray(ys)).tolist(),
            "floor": lambda: (array("d", xs).tolist(), array("d", ys).tolist()),
        },
        "octonion_mul_n": {
            "zor": lambda: zor_core.octonion_mul_n(octs_a, octs_b),
            "python": lambda: [py_octonion(a, b) for a, b in zip(octs_a, octs_b)],
            "numpy": lambda: np.einsum("ni,nj,ijk->nk", np.asarray(octs_a), np.asarray(octs_b), OCT_TENSOR, optimize=True).tolist(),
            "floor": lambda: (octet_floor(octs_a), octet_floor(octs_b)),
        },
        "boost_n": {
            "zor": lambda: zor_core.boost_n(points, phis, c),
            "python": lambda: [py_boost(p, phi, c) for p, phi in zip(points, phis)],
            "numpy": lambda: np_boost(points, phis, c),
            "floor": lambda: (
                list(zip(*[iter(array("d", itertools.chain.from_iterable(points)).tolist())] * 2)),
                array("d", phis).tolist(),
            ),
        },
    }


def array_cases(n, rng):
    xs = np.array([rng.uniform(-50.0, 50.0) for _ in range(n)])
    ys = np.array([rng.uniform(1e-3, 100.0) for _ in range(n)])
    return {
        "exp_n": {
            "zor": lambda: zor_core.exp_n(xs),
            "numpy": lambda: np.exp(xs),
            "numpy+list": lambda: np.exp(xs).tolist(),
        },
        "tension_n": {
            "zor": lambda: zor_core.tension_n(xs, ys),
            "numpy": lambda: np_safe_exp(xs) - np_safe_ln(ys),
            "numpy+list": lambda: (np_safe_exp(xs) - np_safe_ln(ys)).tolist(),
        },
        "add_n": {
            "zor": lambda: zor_core.add_n(xs, ys),
            "numpy": lambda: xs + ys,
            "numpy+list": lambda: (xs + ys).tolist(),
        },
    }


def print_table(title, rows, peers):
    headers = ["kernel", "n", "zor"] + peers + [f"zor/{p}" for p in peers]
    lines = [headers] + rows
    widths = [max(len(str(line[i])) for line in lines) for i in range(len(headers))]
    print()
    print(title)
    for k, line in enumerate(lines):
        print("  ".join(str(cell).rjust(w) if i > 1 or k == 0 else str(cell).ljust(w) for i, (cell, w) in enumerate(zip(line, widths))))
        if k == 0:
            print("  ".join("-" * w for w in widths))


def run(sizes, budget, slow_budget):
    rng = random.Random(12345)
    print(f"zor_core {zor_core.__file__}")
    print(f"Python {platform.python_version()}, NumPy {np.__version__}, {os.cpu_count()} CPUs,"
          f" RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', '(unset)')}")

    # Start the pool and let the CPUs leave their idle clock before the first
    # (smallest, most sensitive) case is timed.
    warm_until = time.perf_counter() + 1.0
    warm = [rng.random() for _ in range(100_000)]
    while time.perf_counter() < warm_until:
        zor_core.exp_n(warm)
        [math.exp(x) for x in warm[:1000]]

    peers = ["python", "numpy", "floor"]
    rows = []
    series = {}  # kernel -> tool -> [(n, seconds per call)] for the figure
    for n in sizes:
        cases = list_cases(n, rng)
        for kernel, fns in cases.items():
            times = {}
            for who, fn in fns.items():
                # A pure-Python octonion or boost loop over a million items
                # takes seconds per call; one call is enough there.
                if who == "python" and n >= 1_000_000:
                    times[who] = best_time(fn, slow_budget, min_calls=1)
                else:
                    times[who] = best_time(fn, budget)
                series.setdefault(kernel, {}).setdefault(who, []).append((n, times[who]))
            rows.append([kernel, f"{n:,}", fmt_time(times["zor"])] + [fmt_time(times[p]) for p in peers]
                        + [fmt_ratio(times["zor"], times[p]) for p in peers])
        del cases
        gc.collect()
    print_table("List inputs (time per call; ratio < 1: zor_core faster)", rows, peers)

    peers = ["numpy", "numpy+list"]
    rows = []
    for n in sizes:
        for kernel, fns in array_cases(n, rng).items():
            times = {who: best_time(fn, budget) for who, fn in fns.items()}
            rows.append([kernel, f"{n:,}", fmt_time(times["zor"])] + [fmt_time(times[p]) for p in peers]
                        + [fmt_ratio(times["zor"], times[p]) for p in peers])
    print_table("NumPy float64 array inputs (zor_core returns a list; numpy returns an array, or a list after .tolist())", rows, peers)
    return series


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="sizes up to 100 000 only")
    parser.add_argument("--budget", type=float, default=0.6, help="seconds of repeats per case (default 0.6)")
    parser.add_argument("--figure", default=str(figures.FIGURE_DIR / "kernels.png"),
                        help="PNG to write (empty: none)")
    args = parser.parse_args()
    sizes = [n for n in SIZES if not args.quick or n <= 100_000]
    start = time.perf_counter()
    series = run(sizes, args.budget, slow_budget=0.0)
    if args.figure and figures.available():
        note = figures.machine_note(f"NumPy {np.__version__}",
                                    f"RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', '(unset)')}")
        path = figures.kernel_figure(series, args.figure, note=note,
                                     title="List in, list out: time per element (lower is faster)")
        print(f"\nfigure: {path}")
    elif args.figure:
        print("\nno figure: matplotlib is not installed (make bench installs it)")
    print(f"\ntotal {time.perf_counter() - start:.1f} s")


if __name__ == "__main__":
    main()
