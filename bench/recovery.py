"""Recovery of published laws by zor against pyoperon and gplearn, the same
wall-time budget per problem and tool, on the same machine. Two suites:

    make bench-recovery                      # installs the peers into .venv, runs --suite constants --write
    .venv/bin/python bench/recovery.py --budget 2 --problems I.12,II.3.24 --tools discover,pyoperon
    .venv/bin/python bench/recovery.py --suite exact --budget 10 --write

--suite constants (the default): Feynman equations (Udrescu & Tegmark 2020)
that carry numeric constants, on the published variable ranges, 200 training
points without noise and with 1 % Gaussian noise (standard deviation 0.01 x
the RMS of the training target, on the training targets only). A model is
judged on 1,000 fresh noiseless points from the same ranges: exact when its
RMSE is at most 1e-9 of the target's RMS, accurate when R^2 >= 0.999. Tools:
zor.discover with its defaults and time_limit=budget, pyoperon with fitted
constants and max_time=budget, gplearn with random constants and generations
added until the budget is spent. Every run is a fresh child process whose
worker pools are sized to --cores; --jobs 2 runs two at a time. Two more rows
measure scaled mode: its time against unscaled mode at the same settings, and
whether it still recovers what unscaled mode recovers on the exact suite.

--suite exact: the Nguyen problems (Uy et al. 2011) and Feynman equations that
need no fitted constant. A tool recovers a problem when its model's largest
absolute error on 1,000 fresh points from the same ranges is at most 1e-10 of
the largest |target| there; the table gives that relative error for every miss.
zor.discover runs without fitted constants (scaling=False, find_formula's
search) and climbs its own ladder of settings until a step reaches the
precision goal or the budget is spent; pyoperon gets the budget as its
max_time; gplearn grows generation by generation (warm start) until the budget
is spent or its best program is exact on the training data.

The data are generated here from the published formulas with fixed seeds
(bench/recovery_problems.py); each tool's runner is bench/recovery_<tool>.py
and the report bench/recovery_report.py. The peers are benchmark-only
dependencies: zor_core never imports them.
"""

from __future__ import annotations

import argparse
import sys

try:
    import zor  # noqa: F401 - checked here for a clear message
except ImportError:
    sys.exit("zor is not importable: run `make setup` first")

import recovery_suites  # noqa: E402


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--child":
        return recovery_suites.child_main(sys.argv[2])
    tools = ", ".join(recovery_suites.TOOLS)
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--suite", choices=["constants", "exact"], default="constants",
                        help="Feynman equations with constants (default), or the exact suite without constants")
    parser.add_argument("--budget", type=float, default=None,
                        help="wall-time seconds per problem and tool (default: 20 for constants, 10 for exact)")
    parser.add_argument("--tools", default="", help=f"comma-separated subset of {tools} (default: all)")
    parser.add_argument("--problems", default="",
                        help="comma-separated labels or their beginnings, e.g. I.12,II.34 or Nguyen-8 (default: all)")
    parser.add_argument("--cores", type=int, default=1, help="threads per tool, constants suite (default 1)")
    parser.add_argument("--jobs", type=int, default=1, choices=[1, 2],
                        help="constants suite: runs at a time, each in its own process (default 1)")
    parser.add_argument("--skip-rows", action="store_true",
                        help="constants suite: leave out the rows on scaled mode's cost and regressions")
    parser.add_argument("--write", action="store_true", help="write the table into docs/recovery.md, and the figure")
    args = parser.parse_args()
    if args.cores < 1:
        parser.error("--cores must be at least 1")
    if args.suite == "exact":
        recovery_suites.run_exact_suite(args)
    else:
        recovery_suites.run_constants_suite(args)


if __name__ == "__main__":
    main()
