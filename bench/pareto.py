"""Error against complexity for a real discovery: Kepler's third law from the
eight planets (the data of examples/demo.py).

    .venv/bin/python bench/pareto.py      # prints the front, writes docs/figures/kepler_front.png

find_formula returns one formula per call; run at max_complexity 1, 2, ... with
complexity_penalty=0 (so its score is the plain RMS error) it gives the most
accurate formula it finds within each bound, and the results where the error
falls form the front. find_formula's default penalty picks one of them: the
law it returns with the default settings is marked.
"""

from __future__ import annotations

import argparse
import re
import pathlib
import sys
import time

import zor_core

import figures

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "examples"))
from demo import PLANETS  # noqa: E402

def kepler_front(max_complexity, beam_width):
    a = [p[1] for p in PLANETS]
    T = [p[2] for p in PLANETS]
    front = []
    for bound in range(1, max_complexity + 1):
        result = zor_core.find_formula([a], T, max_complexity=bound, beam_width=beam_width, complexity_penalty=0.0)
        # Rewritings of the same function differ only by rounding: not a better fit.
        if result is not None and (not front or result.error < front[-1][1] * (1 - 1e-9)):
            front.append((result.complexity, result.error, result.formula))
    chosen = zor_core.find_formula([a], T, max_complexity=max_complexity, beam_width=beam_width)
    return front, chosen


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--max-complexity", type=int, default=9)
    parser.add_argument("--beam-width", type=int, default=2000)
    parser.add_argument("--figure", default=str(figures.FIGURE_DIR / "kepler_front.png"))
    args = parser.parse_args()
    start = time.perf_counter()
    front, chosen = kepler_front(args.max_complexity, args.beam_width)
    print(f"Kepler's third law, T from a, beam_width={args.beam_width} ({time.perf_counter() - start:.1f} s)")
    print(f"{'complexity':>10}  {'RMS error':>10}  formula")
    for complexity, rms, formula in front:
        print(f"{complexity:>10}  {rms:>10.3g}  {formula}")
    print(f"with the default complexity_penalty: {chosen!r}")
    if args.figure and figures.available():
        path = figures.pareto_figure(
            [(c, e, re.sub(r"\bx\b", "a", f) + ("   ← default penalty" if f == chosen.formula else ""))
             for c, e, f in front], args.figure,
            note=figures.machine_note(f"find_formula beam_width={args.beam_width}"),
            title="Kepler's third law: orbital period T (years) from semi-major axis a (AU)")
        print(f"figure: {path}")


if __name__ == "__main__":
    main()
