"""The native search over the recovery laws' own variables with the dimension rules against without: the
same scaled search on the same data, once told the variables' units (bench/units.py's table) and once not.

    .venv/bin/python bench/unit_rules.py                    # fixed settings, then a 5 s budget
    .venv/bin/python bench/unit_rules.py --problems I.12,II.6 --complexity 8 --beam 2000

Part one runs every law with two or more variables of unequal dimensions at fixed settings (no early stop)
and gives per law the children the generator handed to admission, the share the rules left out, and the
rate: children per second of generation, fingerprinting and admission, the median of three runs, as a ratio
to the rate without units. "rate" counts the children admission saw; "considered" counts the pruned ones
too, which the generator tested and dropped; "machinery" is the rate with every variable dimensionless, a
search that leaves nothing out and visits exactly the children of the search without units, so that it
prices the rules' bookkeeping alone. The searches with and without units visit different children (fewer
parents early, more levels later), which moves the rate by itself: per-level costs weigh more on smaller
levels, and deeper levels read parents from more places. Then the pruned children per level, summed over
the laws. Part two gives each search the same wall time with wider settings and reports the deepest level
it finished and whether its best formula was the law.
"""

from __future__ import annotations

import argparse
import statistics
import sys

import numpy as np

from recovery_problems import LAWS, judge, law_data, matches
from units import UNITS
from zor import _native

REPEATS = 3


def dimensions_of(law) -> list[list[float]] | None:
    """The law's variables' exponents, or None where the rules could leave nothing out (every variable
    dimensionless or all alike)."""
    from zor._units import read_units

    names, target = UNITS[law.label]
    units = read_units(dict(zip(law.names, names, strict=True)), target, law.names)
    exponents = units.exponents()
    return exponents if len({tuple(e) for e in exponents}) > 1 else None


def search(X: np.ndarray, y: np.ndarray, options: dict, dimensions, **control) -> dict:
    return _native.search(list(X.T), y, options, keep_front=True, dimensions=dimensions, **control)


def admission_seconds(outcome: dict) -> float:
    phases = outcome["phase_seconds"]
    return phases["generation"] + phases["fingerprints"] + phases["admission"]


def fixed_settings(laws, complexity: int, beam: int) -> None:
    options = {"max_complexity": complexity, "beam_width": beam, "scaling": True, "precision_goal": -1.0}
    print(f"## Fixed settings: max_complexity {complexity}, beam_width {beam}, scaled, no early stop\n")
    print("| law | children (no units) | children (units) | pruned | rate | considered | machinery | time |")
    print("| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: |")
    rates, considered, machinery, times = [], [], [], []
    per_level: dict[int, list[int]] = {}
    for law in laws:
        dimensions = dimensions_of(law)
        if dimensions is None:
            continue
        X, y, _, _ = law_data(law, 0.0)
        runs = {name: [search(X, y, options, given) for _ in range(REPEATS)]
                for name, given in (("plain", None), ("ruled", dimensions), ("zero", [[0.0]] * len(dimensions)))}
        plain, ruled = runs["plain"][0], runs["ruled"][0]

        def median(name: str, counted=lambda o: o["generated"], seconds=admission_seconds) -> float:
            return statistics.median(counted(o) / seconds(o) for o in runs[name])

        plain_rate = median("plain")
        rate = median("ruled") / plain_rate
        seen = median("ruled", lambda o: o["generated"] + o["pruned"]) / plain_rate
        bookkeeping = median("zero") / plain_rate
        total = lambda o: sum(o["phase_seconds"].values())  # noqa: E731
        wall = statistics.median(map(total, runs["ruled"])) / statistics.median(map(total, runs["plain"]))
        rates.append(rate)
        considered.append(seen)
        machinery.append(bookkeeping)
        times.append(wall)
        share = ruled["pruned"] / (ruled["generated"] + ruled["pruned"])
        print(f"| {law.label} | {plain['generated']:,} | {ruled['generated']:,} | {share:.0%} | {rate:.2f} | "
              f"{seen:.2f} | {bookkeeping:.2f} | {wall:.2f} |", flush=True)
        for report in ruled["levels"]:
            counts = per_level.setdefault(report["level"], [0, 0])
            counts[0] += report["generated"]
            counts[1] += report["pruned"]
    print(f"\n{len(rates)} laws, medians: rate {statistics.median(rates):.2f} (lowest {min(rates):.2f}), "
          f"considered {statistics.median(considered):.2f}, machinery {statistics.median(machinery):.2f} "
          f"(lowest {min(machinery):.2f}), wall time {statistics.median(times):.2f}\n")
    print("| level | to admission | pruned | share pruned |")
    print("| ---: | ---: | ---: | ---: |")
    for level, (generated, pruned) in sorted(per_level.items()):
        total = generated + pruned
        print(f"| {level} | {generated:,} | {pruned:,} | {pruned / total if total else 0.0:.0%} |")


def same_time(laws, seconds: float, complexity: int, beam: int) -> None:
    options = {"max_complexity": complexity, "beam_width": beam, "scaling": True}
    print(f"\n## The same {seconds:g} s: max_complexity {complexity}, beam_width {beam}, scaled\n")
    print("| law | deepest level (no units) | deepest level (units) | exact (no units) | exact (units) |")
    print("| --- | ---: | ---: | --- | --- |")
    found = {False: 0, True: 0}
    for law in laws:
        dimensions = dimensions_of(law)
        if dimensions is None:
            continue
        X, y, X_fresh, y_fresh = law_data(law, 0.0)
        row: list[tuple[int, bool]] = []
        for ruled in (False, True):
            outcome = search(X, y, {**options, "precision_goal": 1e-10 * float(np.sqrt(np.mean(y * y)))},
                             dimensions if ruled else None, time_limit=seconds)
            finished = [r["level"] for r in outcome["levels"]]
            best = outcome["best"]
            with np.errstate(all="ignore"):
                values = np.asarray(_native.evaluate(best["tokens"], list(X_fresh.T)))
                verdict = judge(best["scale"] * values + best["offset"], y_fresh)[0]
            found[ruled] += verdict == "exact"
            row.append((max(finished), verdict == "exact"))
        print(f"| {law.label} | {row[0][0]} | {row[1][0]} | {'yes' if row[0][1] else ''} | "
              f"{'yes' if row[1][1] else ''} |", flush=True)
    print(f"\nexact: {found[False]} without units, {found[True]} with")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--problems", default="", help="labels or their beginnings, e.g. I.12,II.34")
    parser.add_argument("--complexity", type=int, default=9, help="fixed settings' max_complexity (default 9)")
    parser.add_argument("--beam", type=int, default=20000, help="fixed settings' beam_width (default 20000)")
    parser.add_argument("--seconds", type=float, default=5.0, help="part two's wall time per search (default 5)")
    args = parser.parse_args()
    laws = [law for law in LAWS if matches(law.label, args.problems)]
    fixed_settings(laws, args.complexity, args.beam)
    if args.seconds > 0:
        same_time(laws, args.seconds, 14, 40000)
    sys.stdout.flush()


if __name__ == "__main__":
    main()
