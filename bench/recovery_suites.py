"""The recovery benchmark's two suites: which tool runs on what, where, and
what is printed and written.

The exact suite runs every tool in this process, one problem after another.
The constants suite runs every measurement in a fresh child process
(`bench/recovery.py --child JOB`) whose worker pools are sized before
anything is imported; a child's failure is that tool's miss.
"""

from __future__ import annotations

import concurrent.futures
import json
import math
import os
import pathlib
import sys
import time

import numpy as np

import recovery_gplearn
from children import answer, answer_of
import recovery_pyoperon
import recovery_report as report
import recovery_zor
from recovery_problems import (EXACT, LAWS, LAWS_BY_LABEL, NOISE_LEVELS, PROBLEMS, exact_suite_data, judge, law_data,
                               matches, relative_error)

TOOLS = {"discover": recovery_zor, "pyoperon": recovery_pyoperon, "gplearn": recovery_gplearn}
DEFAULT_BUDGETS = {"constants": 20.0, "exact": 10.0}
ENTRY = pathlib.Path(__file__).resolve().parent / "recovery.py"
# A child that outlives its budget by this much is killed and counted a miss.
GRACE_SECONDS = 120.0
# Starting a child, its imports and a tool's last generation past the budget.
RUN_OVERHEAD_SECONDS = 3.5


def chosen_tools(selection):
    tools = [t.strip() for t in selection.split(",") if t.strip()] or list(TOOLS)
    unknown = [t for t in tools if t not in TOOLS]
    if unknown:
        sys.exit(f"unknown tools {unknown}: choose from {', '.join(TOOLS)}")
    return tools


# --- the exact suite ---------------------------------------------------------------


def run_exact(tool, X, y, X_fresh, y_fresh, budget):
    """(recovered, seconds, model text, relative error on the fresh points) of one tool on one problem."""
    start = time.perf_counter()
    model, predict = TOOLS[tool].fit_exact(X, y, budget)
    seconds = time.perf_counter() - start
    with np.errstate(all="ignore"):
        error = relative_error(predict(X_fresh), y_fresh)
    return error <= EXACT, seconds, model, error


def run_exact_suite(args):
    tools = chosen_tools(args.tools)
    problems = [p for p in PROBLEMS if matches(p.name, args.problems)]
    budget = DEFAULT_BUDGETS["exact"] if args.budget is None else args.budget
    run = report.Run()
    print(run.note)
    print(f"budget {budget:g} s per problem and tool; discover climbs zor's ladder {recovery_zor.ladder_text()}")

    results = []
    for problem in problems:
        data = exact_suite_data(problem)
        by_tool = {}
        for tool in tools:
            by_tool[tool] = run_exact(tool, *data, budget)
            recovered, seconds, model, error = by_tool[tool]
            print(f"{problem.name:<18} {tool:<9} {'exact' if recovered else 'miss ':5} {seconds:7.2f} s"
                  f"  {error:8.1e}  {model[:90]}", flush=True)
        results.append((problem, by_tool))

    print()
    print(report.exact_markdown(results, tools))
    if args.write:
        report.write_exact(run, results, tools, budget, recovery_zor.ladder_text())


# --- children ----------------------------------------------------------------------


def child_law(job):
    law = LAWS_BY_LABEL[job["law"]]
    X, y, X_fresh, y_fresh = law_data(law, job["noise"])
    start = time.perf_counter()
    model, predict = TOOLS[job["tool"]].fit_constants(X, y, law.names, job["budget"], job["cores"])
    seconds = time.perf_counter() - start
    with np.errstate(all="ignore"):
        verdict, relative, r2 = judge(predict(X_fresh), y_fresh)
    return {"verdict": verdict, "seconds": seconds, "relative_rmse": relative, "r2": r2, "model": model}


CHILDREN = {
    "law": child_law,
    "cost": lambda job: recovery_zor.scaling_cost(),
    "regression": lambda job: recovery_zor.exact_suite_with_scaling(job["problem"], job["scaling"], job["budget"]),
}


def child_main(text):
    answer(lambda job: CHILDREN[job["kind"]](job), text)


def run_child(job, cores, timeout):
    """Runs one measurement in a fresh interpreter whose worker pools have
    `cores` threads; its JSON answer, or {"failure": why}."""
    threads = str(cores)
    env = dict(os.environ, RAYON_NUM_THREADS=threads, OMP_NUM_THREADS=threads, OPENBLAS_NUM_THREADS=threads,
               MKL_NUM_THREADS=threads)
    return answer_of([sys.executable, str(ENTRY), "--child", json.dumps(job)], env, timeout)


# --- the constants suite -----------------------------------------------------------


def as_law_result(answer):
    if "failure" in answer:
        return {"verdict": "miss", "seconds": math.nan, "relative_rmse": math.inf, "r2": -math.inf,
                "model": answer["failure"]}
    return answer


def run_laws(laws, tools, budget, cores, jobs):
    """{(label, noise, tool): result} for every law, noise level and tool."""
    runs = [(law, noise, tool) for law in laws for noise in NOISE_LEVELS for tool in tools]

    def one(run):
        law, noise, tool = run
        job = {"kind": "law", "law": law.label, "noise": noise, "tool": tool, "budget": budget, "cores": cores}
        return run, as_law_result(run_child(job, cores, budget + GRACE_SECONDS))

    results = {}
    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        for (law, noise, tool), result in pool.map(one, runs):
            results[law.label, noise, tool] = result
            print(f"{law.label:<10} {noise:>4.0%} {tool:<9} {result['verdict']:<8} {result['seconds']:7.2f} s"
                  f"  {result['relative_rmse']:8.1e}  R² {result['r2']:9.6f}  {result['model'][:80]}", flush=True)
    return results


def measure_cost(cores):
    """(unscaled seconds, scaled seconds) at recovery_zor.COST_SETTINGS; NaN when the run failed."""
    answer = run_child({"kind": "cost"}, cores, 600.0)
    if "failure" in answer:
        print(f"scaled-mode cost: {answer['failure']}")
        return math.nan, math.nan
    return answer["unscaled"], answer["scaled"]


def check_regressions(budget, cores, jobs):
    """{problem name: {scaling: recovered}} on the exact suite."""
    runs = [(index, scaling) for index in range(len(PROBLEMS)) for scaling in (False, True)]

    def one(run):
        index, scaling = run
        job = {"kind": "regression", "problem": index, "scaling": scaling, "budget": budget}
        return run, run_child(job, cores, budget + GRACE_SECONDS)

    found = {problem.name: {} for problem in PROBLEMS}
    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        for (index, scaling), answer in pool.map(one, runs):
            name = PROBLEMS[index].name
            found[name][scaling] = answer.get("recovered", False)
            verdict = answer["failure"] if "failure" in answer else "exact" if answer["recovered"] else "miss"
            print(f"{name:<18} scaling={str(scaling):<5} {verdict:<8} {answer.get('model', '')[:80]}", flush=True)
    return found


def run_constants_suite(args):
    tools = chosen_tools(args.tools)
    laws = [law for law in LAWS if matches(law.label, args.problems)]
    budget = DEFAULT_BUDGETS["constants"] if args.budget is None else args.budget
    run = report.Run()
    print(run.note)
    runs = len(laws) * len(NOISE_LEVELS) * len(tools)
    print(f"{len(laws)} equations × {len(NOISE_LEVELS)} noise levels × {len(tools)} tools = {runs} runs of "
          f"{budget:g} s with {args.cores} core(s) each, {args.jobs} at a time: about "
          f"{runs * (budget + RUN_OVERHEAD_SECONDS) / args.jobs / 60:.0f} min before the rows", flush=True)

    results = run_laws(laws, tools, budget, args.cores, args.jobs)
    rows = []
    if "discover" in tools and not args.skip_rows:
        rows.append(report.cost_line(*measure_cost(args.cores)))
        print(rows[-1], flush=True)
        rows.append(report.regression_line(check_regressions(budget, args.cores, args.jobs), budget))
        print(rows[-1], flush=True)

    table = report.constants_markdown(laws, results, tools)
    print()
    print(table)
    for row in rows:
        print("\n" + row)
    if args.write:
        report.write_constants(run, table, rows, report.constants_counts(laws, results, tools), len(laws), budget,
                               args.cores, args.jobs)
