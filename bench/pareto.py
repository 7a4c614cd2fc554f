"""Error against complexity for a real discovery: Kepler's third law from the
eight planets (the data of examples/demo.py).

    .venv/bin/python bench/pareto.py      # prints the front, writes docs/figures/kepler_front.png

zor.discover keeps, for every complexity, the most accurate formula its search
scored, each with its fitted scale and offset; the entries whose error falls
as complexity rises form the Pareto front, drawn by the result's own plot().
The best by model selection is starred.
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


def kepler_result(max_complexity, beam_width):
    a = [p[1] for p in PLANETS]
    T = [p[2] for p in PLANETS]
    return zor.discover([a], T, variable_names=["a"], max_complexity=max_complexity, beam_width=beam_width,
                        progress=False)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--max-complexity", type=int, default=10)
    parser.add_argument("--beam-width", type=int, default=20000)
    parser.add_argument("--figure", default=str(figures.FIGURE_DIR / "kepler_front.png"))
    args = parser.parse_args()
    start = time.perf_counter()
    result = kepler_result(args.max_complexity, args.beam_width)
    print(f"Kepler's third law, T from a, max_complexity={args.max_complexity}, beam_width={args.beam_width}"
          f" ({time.perf_counter() - start:.1f} s)")
    print(f"{'complexity':>10}  {'RMS error':>10}  formula")
    for entry in result.front:
        print(f"{entry.complexity:>10}  {entry.error:>10.3g}  {entry.formula}")
    print(f"best (model_selection='best'): {result.best!r}")
    if args.figure and figures.available():
        import matplotlib

        matplotlib.use("Agg")
        ax = result.plot()
        ax.set_title("Kepler's third law: orbital period T (years) from semi-major axis a (AU)")
        ax.figure.text(0.01, 0.01, figures.machine_note(f"zor.discover max_complexity={args.max_complexity}",
                                                        f"beam_width={args.beam_width}"), fontsize=7, color="0.4")
        ax.figure.savefig(args.figure, dpi=100, bbox_inches="tight")
        print(f"figure: {args.figure}")


if __name__ == "__main__":
    main()
