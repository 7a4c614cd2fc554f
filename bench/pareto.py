"""Error against complexity for a real discovery: Kepler's third law from the
eight planets (the data of examples/demo.py).

    .venv/bin/python bench/pareto.py      # prints the front, writes docs/figures/kepler_front.png

zor.discover keeps, for every complexity, the most accurate formula its search
scored; the entries whose error falls as complexity rises form the Pareto
front. The formula that find_formula's scoring picks (the best, with the
complexity penalty) is marked.
"""

from __future__ import annotations

import argparse
import pathlib
import sys
import time

import zor

import figures

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "examples"))
from demo import PLANETS  # noqa: E402


def kepler_front(max_complexity, beam_width):
    a = [p[1] for p in PLANETS]
    T = [p[2] for p in PLANETS]
    result = zor.discover([a], T, variable_names=["a"], max_complexity=max_complexity, beam_width=beam_width,
                          progress=False)
    front = []
    for entry in sorted(result.front, key=lambda f: f.complexity):
        # Rewritings of the same function differ only by rounding: not a better fit.
        if not front or entry.error < front[-1].error * (1 - 1e-9):
            front.append(entry)
    return front, result.best


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--max-complexity", type=int, default=10)
    parser.add_argument("--beam-width", type=int, default=20000)
    parser.add_argument("--figure", default=str(figures.FIGURE_DIR / "kepler_front.png"))
    args = parser.parse_args()
    start = time.perf_counter()
    front, best = kepler_front(args.max_complexity, args.beam_width)
    print(f"Kepler's third law, T from a, max_complexity={args.max_complexity}, beam_width={args.beam_width}"
          f" ({time.perf_counter() - start:.1f} s)")
    print(f"{'complexity':>10}  {'RMS error':>10}  formula")
    for entry in front:
        print(f"{entry.complexity:>10}  {entry.error:>10.3g}  {entry.formula}")
    print(f"best with the complexity penalty: {best!r}")
    if args.figure and figures.available():
        path = figures.pareto_figure(
            [(f.complexity, f.error, f.formula + ("   ← best" if f.formula == best.formula else "")) for f in front],
            args.figure,
            note=figures.machine_note(f"zor.discover max_complexity={args.max_complexity}",
                                      f"beam_width={args.beam_width}"),
            title="Kepler's third law: orbital period T (years) from semi-major axis a (AU)")
        print(f"figure: {path}")


if __name__ == "__main__":
    main()
