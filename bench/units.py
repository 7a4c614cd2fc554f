"""The recovery benchmark's laws with their units: zor.discover with and without them, at the same budget
on one core, on the same data (bench/recovery_problems.py: 200 training points, 0 and 1 % noise, judged
on 1,000 fresh noiseless points).

    .venv/bin/python bench/units.py                       # every law, 20 s, two runs at a time
    .venv/bin/python bench/units.py --budget 5 --modes units --problems I.12,II.6

Each law's units (SI) are checked with pint first: its published formula, evaluated on quantities, must
have the target's unit. The table gives per mode the exact and accurate counts, and the median time to an
exact answer: a search whose best formula meets the precision goal stops there, so on noiseless data the
run's time is the time to the exact answer. With units, the search looks over the dimensionless groups
where the units allow it (see zor._groups); the laws whose constants carry a unit (h, k_B or ε as no
column) are searched over the variables, with formulas whose units disagree kept off the front.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import json
import os
import pathlib
import statistics
import sys
import time

import numpy as np

from children import answer, answer_of
from recovery_problems import LAWS, LAWS_BY_LABEL, NOISE_LEVELS, judge, law_data, matches

ENTRY = pathlib.Path(__file__).resolve()
GRACE_SECONDS = 120.0

# Per law: the variables' units in the law's order, and the target's.
UNITS: dict[str, tuple[tuple[str, ...], str]] = {
    "I.6.2a": (("",), ""),
    "I.6.2": (("", ""), ""),
    "I.12.1": (("", "N"), "N"),
    "I.12.2": (("C", "C", "F/m", "m"), "N"),
    "I.12.4": (("C", "F/m", "m"), "V/m"),
    "I.13.4": (("kg", "m/s", "m/s", "m/s"), "J"),
    "I.14.4": (("N/m", "m"), "J"),
    "I.18.4": (("kg", "kg", "m", "m"), "m"),
    "I.24.6": (("kg", "1/s", "1/s", "m"), "J"),
    "I.25.13": (("C", "F"), "V"),
    "I.29.4": (("1/s", "m/s"), "1/m"),
    "I.29.16": (("m", "m", "", ""), "m"),
    "I.30.3": (("W/m**2", "", ""), "W/m**2"),
    "I.32.5": (("C", "m/s**2", "F/m", "m/s"), "W"),
    "I.34.27": (("1/s", "J*s"), "J"),
    "I.37.4": (("W/m**2", "W/m**2", ""), "W/m**2"),
    "I.38.12": (("kg", "C", "J*s", "F/m"), "m"),
    "I.39.1": (("Pa", "m**3"), "J"),
    "I.39.11": (("", "Pa", "m**3"), "J"),
    "I.39.22": (("", "K", "m**3", "J/K"), "Pa"),
    "I.43.31": (("s/kg", "K", "J/K"), "m**2/s"),
    "I.43.43": (("", "J/K", "m**2", "m/s"), "W/(m*K)"),
    "I.47.23": (("", "Pa", "kg/m**3"), "m/s"),
    "II.2.42": (("W/(m*K)", "K", "K", "m**2", "m"), "W"),
    "II.3.24": (("W", "m"), "W/m**2"),
    "II.4.23": (("C", "F/m", "m"), "V"),
    "II.6.11": (("F/m", "C*m", "", "m"), "V"),
    "II.6.15b": (("F/m", "C*m", "", "m"), "V/m"),
    "II.8.7": (("C", "F/m", "m"), "J"),
    "II.8.31": (("F/m", "V/m"), "J/m**3"),
    "II.10.9": (("C/m**2", "F/m", ""), "V/m"),
    "II.11.20": (("1/m**3", "C*m", "V/m", "J/K", "K"), "C/m**2"),
    "II.11.28": (("", ""), ""),
    "II.13.17": (("F/m", "m/s", "A", "m"), "T"),
    "II.15.4": (("A*m**2", "T", ""), "J"),
    "II.21.32": (("C", "F/m", "m", "m/s", "m/s"), "V"),
    "II.24.17": (("1/s", "m/s", "m"), "1/m"),
    "II.27.16": (("F/m", "m/s", "V/m"), "W/m**2"),
    "II.34.2a": (("C", "m/s", "m"), "A"),
    "II.34.2": (("C", "m/s", "m"), "A*m**2"),
    "II.34.11": (("", "C", "T", "kg"), "1/s"),
    "II.34.29a": (("C", "J*s", "kg"), "A*m**2"),
    "II.34.29b": (("", "J*s", "J*s", "A*m**2", "T"), "J"),
    "II.38.3": (("Pa", "m**2", "m", "m"), "N"),
    "II.38.14": (("Pa", ""), "Pa"),
    "III.4.33": (("J*s", "1/s", "J/K", "K"), "J"),
    "III.7.38": (("A*m**2", "T", "J*s"), "1/s"),
    "III.12.43": (("", "J*s"), "J*s"),
    "III.13.18": (("J", "m", "1/m", "J*s"), "m/s"),
    "III.15.12": (("J", "1/m", "m"), "J"),
    "III.15.14": (("J*s", "J", "m"), "kg"),
    "III.15.27": (("", "", "m"), "1/m"),
    "III.17.37": (("J", "", ""), "J"),
}


def check_units() -> list[str]:
    """The laws whose published formula, evaluated on pint quantities, does not have the target's unit."""
    import pint

    ureg = pint.UnitRegistry()
    wrong = []
    for law in LAWS:
        units, target = UNITS[law.label]
        values = {name: ureg.Quantity(1.5 + 0.1 * k, unit or "")  # apart, so that no difference is zero
                  for k, (name, unit) in enumerate(zip(law.names, units, strict=True))}
        namespace = {"pi": np.pi, "exp": np.exp, "sqrt": np.sqrt, "cos": np.cos, "sin": np.sin, **values}
        with np.errstate(invalid="ignore"):  # √(ω²/c² − π²/d²) of these values; only its unit counts
            found = ureg.Quantity(eval(law.published, namespace))  # the table's own formulas, fixed in the repo
        if found.dimensionality != ureg.Quantity(1.0, target or "").dimensionality:
            wrong.append(f"{law.label}: {law.published} is {found.units}, not {target or 'dimensionless'}")
    return wrong


def basis_table(laws) -> str:
    """Per rule, the laws reduced and the tokens of their groups and P in all, on each law's training data."""
    from zor._groups import reduce
    from zor._units import read_units

    rows = {True: [0, 0, 0], False: [0, 0, 0]}
    for law in laws:
        X, _, _, _ = law_data(law, 0.0)
        names, target = UNITS[law.label]
        units = read_units(dict(zip(law.names, names, strict=True)), target, law.names)
        for shortest in rows:
            reduction = reduce(units, list(X.T), shortest=shortest)
            if reduction is not None:
                rows[shortest][0] += 1
                rows[shortest][1] += sum(map(len, reduction.group_tokens)) + len(reduction.factor_tokens)
                rows[shortest][2] += sum(e.denominator != 1 for g in reduction.groups + (reduction.factor,) for e in g)
    return "\n".join(f"basis {'fewest tokens' if shortest else 'first columns'}: {n} laws reduced, {tokens} tokens "
                     f"in their groups and P, {halves} half powers" for shortest, (n, tokens, halves) in rows.items())


def child(job: dict) -> dict:
    import zor
    from zor._units import registry

    if job["mode"] != "plain":
        registry()  # pint's registry, built once per session, before the clock starts as after a first call
    law = LAWS_BY_LABEL[job["law"]]
    X, y, X_fresh, y_fresh = law_data(law, job["noise"])
    units = {}
    if job["mode"] == "first":  # the textbook basis: the first independent columns repeat
        import functools

        import zor._run
        from zor._groups import reduce

        zor._run.reduce = functools.partial(reduce, shortest=False)  # type: ignore[attr-defined]
    if job["mode"] in ("units", "first"):
        names, target = UNITS[law.label]
        units = {"units": dict(zip(law.names, names, strict=True)), "target_unit": target}
    start = time.perf_counter()
    result = zor.discover(X, y, variable_names=law.names, time_limit=job["budget"], progress=False, **units)
    seconds = time.perf_counter() - start
    with np.errstate(all="ignore"):
        verdict, relative, r2 = judge(result.predict(X_fresh), y_fresh)
    return {"verdict": verdict, "seconds": seconds, "model": result.best.formula, "groups": list(result.groups),
            "relative_rmse": relative}


def run(job: dict) -> dict:
    env = dict(os.environ, RAYON_NUM_THREADS="1", OMP_NUM_THREADS="1", OPENBLAS_NUM_THREADS="1")
    found = answer_of([sys.executable, str(ENTRY), "--child", json.dumps(job)], env, job["budget"] + GRACE_SECONDS)
    return found if "failure" not in found else {"verdict": "miss", "seconds": float("nan"), "model": found["failure"],
                                                 "groups": [], "relative_rmse": float("inf")}


def main() -> None:
    if len(sys.argv) == 3 and sys.argv[1] == "--child":
        return answer(child, sys.argv[2])
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--budget", type=float, default=20.0, help="seconds per law and mode (default 20)")
    parser.add_argument("--modes", default="plain,units",
                        help="plain (no units), units, first (units, the groups of the first independent "
                             "columns); default plain,units")
    parser.add_argument("--problems", default="", help="labels or their beginnings, e.g. I.12,II.34")
    parser.add_argument("--noise", default="0,0.01", help="noise levels (default 0,0.01)")
    parser.add_argument("--jobs", type=int, default=2, help="runs at a time (default 2)")
    args = parser.parse_args()
    wrong = check_units()
    if wrong:
        sys.exit("units that do not fit their law:\n" + "\n".join(wrong))
    laws = [law for law in LAWS if matches(law.label, args.problems)]
    print(basis_table(laws))
    modes = [m.strip() for m in args.modes.split(",")]
    noises = [float(n) for n in args.noise.split(",")] if args.noise else list(NOISE_LEVELS)
    jobs = [{"law": law.label, "noise": noise, "mode": mode, "budget": args.budget}
            for law in laws for noise in noises for mode in modes]
    print(f"{len(laws)} laws, units checked with pint; {len(jobs)} runs of {args.budget:g} s on one core, "
          f"{args.jobs} at a time", flush=True)
    results = {}
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        for job, found in zip(jobs, pool.map(run, jobs)):
            results[(job["law"], job["noise"], job["mode"])] = found
            print(f"{job['law']:<10} {job['noise']:<5g} {job['mode']:<6} {found['verdict']:<8} "
                  f"{found['seconds']:6.2f} s  {found['model'][:80]}  {'; '.join(found['groups'])[:60]}", flush=True)
    print()
    print("| noise | mode | exact | accurate (R² ≥ 0.999) | median s to exact (laws exact in every mode) |")
    print("| --- | --- | --- | --- | --- |")
    for noise in noises:
        both = [law.label for law in laws
                if all(results[(law.label, noise, mode)]["verdict"] == "exact" for mode in modes)]
        for mode in modes:
            verdicts = [results[(law.label, noise, mode)]["verdict"] for law in laws]
            times = [results[(label, noise, mode)]["seconds"] for label in both]
            median = f"{statistics.median(times):.2f}" if times else "–"
            exact, accurate = verdicts.count("exact"), verdicts.count("exact") + verdicts.count("accurate")
            print(f"| {noise:g} | {mode} | {exact} | {accurate} | {median} ({len(both)} laws) |")
    for noise in noises:
        for label in [law.label for law in laws]:
            found = {mode: results[(label, noise, mode)]["verdict"] for mode in modes}
            if len(set(found.values())) > 1:
                print(f"differs: {label} at {noise:g}: " + ", ".join(f"{m} {v}" for m, v in found.items()))


if __name__ == "__main__":
    main()
