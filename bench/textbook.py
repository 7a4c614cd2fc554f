"""zor.discover against the textbook nonlinear model of real data sets, with pyoperon beside them.

    make bench-textbook                                   # installs the peers into .venv, runs every set and tool
    .venv/bin/python bench/textbook.py --sets engel,phillips --tools textbook,zor --time-limit 5
    .venv/bin/python bench/textbook.py --tools pyoperon --results /tmp/textbook.json   # adds pyoperon to a run

The data sets ship inside statsmodels (bench/textbook_sets.py gives each its model and says why it is the
textbook one); nothing is downloaded. Every set is split into 5 folds (sklearn KFold, shuffled with a fixed seed,
as bench/realdata.py) and on every fold each tool is fitted on four fifths and judged on the fifth:

- textbook: the model fitted by scipy.optimize.curve_fit from its documented starting values (the reference);
- zor: zor.discover(X, y, time_limit=T) with every other setting at its default; its best formula predicts;
- pyoperon: SymbolicRegressor with the settings of the recovery benchmark (bench/recovery_pyoperon.py),
  max_time=T and one thread; size: model_.Length.

A held-out prediction that is not finite on any row makes the fold's MSE infinite and its R² -inf. The table
gives per set the median over the folds of each tool's held-out R² (1 - SSE / SST about the fold's mean), the
ratio of zor's held-out MSE to the textbook model's (the median of the folds' ratios, and pooled: all rows'
squared errors, each row predicted by the fold that held it out), zor's formula on fold 1, and PASS where the
pooled ratio is at most 1.05.

Every fit runs in a fresh process with one core: the worker pools are sized before anything is imported
(RAYON_NUM_THREADS=1 for zor's pool, OMP_NUM_THREADS and the BLAS variables for the others). The fits run one
at a time, tool after tool (the textbook models, then zor, then pyoperon). With --results FILE every fold's
outcome is kept in FILE as it comes, and a later run with other --tools adds to it.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import pathlib
import sys
import time
import warnings

import numpy as np

BENCH = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH))

import textbook_sets  # noqa: E402
from children import answer, answer_of, package_versions  # noqa: E402

FOLDS = 5
SEED = 0
TOOLS = ("textbook", "zor", "pyoperon")
PASS_RATIO = 1.05
# Added to the time limit before a child is killed: imports, data loading, a search's last level, predicting.
GRACE_SECONDS = 120.0
TEXTBOOK_TIMEOUT = 300.0
ONE_CORE = {name: "1" for name in ("RAYON_NUM_THREADS", "OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS",
                                   "MKL_NUM_THREADS")}


# --- one fold, in the child process ---------------------------------------------------


def held_out(predicted: np.ndarray, y: np.ndarray) -> dict:
    """SSE, MSE and R² (SST about the rows' own mean) of a prediction; infinite error where one is not finite."""
    predicted = np.asarray(predicted, dtype=float)
    nonfinite = int(np.sum(~np.isfinite(predicted))) if predicted.shape == y.shape else len(y)
    if nonfinite:
        return {"sse": math.inf, "mse": math.inf, "r2": -math.inf, "nonfinite": nonfinite}
    sse = float(np.sum((y - predicted) ** 2))
    return {"sse": sse, "mse": sse / len(y), "r2": 1.0 - sse / float(np.sum((y - np.mean(y)) ** 2)),
            "nonfinite": 0}


def fold_rows(n_rows: int, fold: int) -> tuple[np.ndarray, np.ndarray]:
    from sklearn.model_selection import KFold

    return list(KFold(n_splits=FOLDS, shuffle=True, random_state=SEED).split(np.arange(n_rows)))[fold]


def fit_textbook(data, X_train, y_train, X_test, time_limit):
    entry = textbook_sets.TEXTBOOKS[data.name]
    constants = textbook_sets.fit(entry, X_train[:, 0], y_train)
    text = ", ".join(f"{name} = {value:.6g}" for name, value in zip(entry.constants, constants))
    return entry.model(X_test[:, 0], *constants), len(constants), text


def fit_zor(data, X_train, y_train, X_test, time_limit):
    import zor

    best = zor.discover(X_train, y_train, variable_names=data.features, time_limit=time_limit, progress=False).best
    return best.predict(X_test), best.complexity, best.formula


def fit_pyoperon(data, X_train, y_train, X_test, time_limit):
    import recovery_pyoperon

    model = recovery_pyoperon.regressor(time_limit, 1)
    model.fit(X_train, y_train)
    text = model.get_model_string(model.model_, 4, names=list(data.features))
    return model.predict(X_test), int(model.model_.Length), text


FITS = {"textbook": fit_textbook, "zor": fit_zor, "pyoperon": fit_pyoperon}


def run_fold(job: dict) -> dict:
    """The job's tool on one fold of one set; an exception is the tool's failure on the fold."""
    data = textbook_sets.load(job["set"])
    train, test = fold_rows(len(data.y), job["fold"])
    start = time.perf_counter()
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            predicted, size, model = FITS[job["tool"]](data, data.X[train], data.y[train], data.X[test],
                                                       job["time_limit"])
    except Exception as error:
        return {"failure": f"{type(error).__name__}: {error}", "seconds": time.perf_counter() - start}
    return {**held_out(predicted, data.y[test]), "size": size, "model": model, "rows": int(len(test)),
            "seconds": time.perf_counter() - start,
            "warnings": sorted({str(w.message).splitlines()[0] for w in caught})[:3]}


# --- the runs, in the parent ----------------------------------------------------------


def key(name: str, fold: int, tool: str) -> str:
    return f"{name}/{fold}/{tool}"


def run_child(job: dict) -> dict:
    timeout = TEXTBOOK_TIMEOUT if job["tool"] == "textbook" else job["time_limit"] + GRACE_SECONDS
    command = [sys.executable, str(pathlib.Path(__file__).resolve()), "--child", json.dumps(job)]
    return answer_of(command, dict(os.environ, **ONE_CORE), timeout)


def run_all(names: list[str], tools: list[str], time_limit: float, results: dict,
            keep: pathlib.Path | None) -> None:
    """Fills results[key] for every set, fold and tool, tool after tool; writes `keep` after each fold."""
    for tool in tools:
        for name in names:
            for fold in range(FOLDS):
                answer = run_child({"set": name, "fold": fold, "tool": tool, "time_limit": time_limit})
                answer.setdefault("seconds", math.nan)
                results[key(name, fold, tool)] = answer
                if keep is not None:
                    keep.write_text(json.dumps(results, indent=1))
                what = answer.get("failure") or answer.get("model", "")
                r2 = answer.get("r2", -math.inf)
                print(f"{name:<9} fold {fold + 1} {tool:<8} R² {r2:8.4f}  {answer['seconds']:6.1f} s  {what[:80]}",
                      flush=True)


# --- the table ------------------------------------------------------------------------


def folds_of(results: dict, name: str, tool: str) -> list[dict] | None:
    """The tool's five outcomes on the set, or None when the tool was not run on it."""
    found = [results.get(key(name, fold, tool)) for fold in range(FOLDS)]
    return None if any(outcome is None for outcome in found) else found


def sse_of(outcome: dict) -> float:
    return outcome.get("sse", math.inf)


def ratios(tool_folds: list[dict], reference: list[dict]) -> tuple[float, float]:
    """(median over the folds of the MSE ratio, pooled ratio: the sum of the SSEs over the folds' rows)."""
    per_fold = [sse_of(t) / sse_of(r) if sse_of(r) > 0 else math.inf for t, r in zip(tool_folds, reference)]
    pooled_reference = sum(sse_of(r) for r in reference)
    pooled = sum(sse_of(t) for t in tool_folds) / pooled_reference if pooled_reference > 0 else math.inf
    return float(np.median(per_fold)), pooled


def summarise(name: str, rows: int, results: dict) -> dict:
    row = {"set": name, "rows": rows}
    for tool in TOOLS:
        folds = folds_of(results, name, tool)
        row[tool] = None if folds is None else {
            "r2": float(np.median([f.get("r2", -math.inf) for f in folds])),
            "sizes": [f.get("size") for f in folds], "models": [f.get("model", "") for f in folds],
            "failures": [f["failure"] for f in folds if "failure" in f],
            "nonfinite": sum(f.get("nonfinite", 0) for f in folds),
            "seconds": float(np.nanmean([f["seconds"] for f in folds])), "folds": folds}
    for tool in ("zor", "pyoperon"):
        if row[tool] is not None and row["textbook"] is not None:
            row[tool]["median_ratio"], row[tool]["pooled_ratio"] = ratios(row[tool]["folds"], row["textbook"]["folds"])
    return row


def verdict(row: dict) -> str:
    if row["zor"] is None or row["textbook"] is None:
        return "—"
    return "PASS" if row["zor"]["pooled_ratio"] <= PASS_RATIO else "fail"


def number(value: float, digits: int = 3) -> str:
    if value == -math.inf:
        return "−∞"
    return "∞" if value == math.inf else f"{value:.{digits}f}".replace("-", "−")


def cell(row: dict, tool: str, field: str, digits: int = 3) -> str:
    # A ratio needs the textbook model's folds too: a tool run alone into a new results file has none.
    return "—" if row[tool] is None or field not in row[tool] else number(row[tool][field], digits)


def markdown_table(rows: list[dict]) -> str:
    lines = ["| data set | rows | textbook R² | zor R² | pyoperon R² | zor / textbook MSE, median | pooled | "
             "pyoperon / textbook MSE, pooled | pyoperon size | zor on fold 1 | zor ≤ 1.05 × textbook |",
             "|" + " --- |" * 11]
    for row in rows:
        formula = "—"
        if row["zor"] is not None:
            failures = row["zor"]["failures"]
            formula = row["zor"]["models"][0] or (failures[0] if failures else "")
            formula = formula if len(formula) <= 100 else formula[:97] + "..."
            formula = "`" + formula.replace("|", "\\|") + "`"
        size = "—"
        if row["pyoperon"] is not None:
            sizes = [s for s in row["pyoperon"]["sizes"] if s is not None]
            size = f"{float(np.median(sizes)):g}" if sizes else "n/a"
        lines.append(f"| {row['set']} | {row['rows']} | {cell(row, 'textbook', 'r2')} | {cell(row, 'zor', 'r2')} | "
                     f"{cell(row, 'pyoperon', 'r2')} | {cell(row, 'zor', 'median_ratio')} | "
                     f"{cell(row, 'zor', 'pooled_ratio')} | {cell(row, 'pyoperon', 'pooled_ratio')} | {size} | "
                     f"{formula} | {verdict(row)} |")
    return "\n".join(lines)


def notes(rows: list[dict]) -> list[str]:
    found = []
    for row in rows:
        for tool in TOOLS:
            if row[tool] is None:
                continue
            found += [f"{row['set']}, {tool}: {failure}" for failure in row[tool]["failures"]]
            if row[tool]["nonfinite"]:
                found.append(f"{row['set']}, {tool}: {row[tool]['nonfinite']} held-out predictions not finite")
            seconds = row[tool]["seconds"]
            found.append(f"{row['set']}, {tool}: {seconds:.1f} s per fold")
    return found


def versions() -> str:
    return ", ".join(package_versions(("zor_core", "numpy", "scipy", "scikit-learn", "statsmodels", "pyoperon")))


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    if len(argv) == 2 and argv[0] == "--child":
        answer(run_fold, argv[1])
        return 0
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sets", default="", help=f"comma-separated subset of {', '.join(textbook_sets.TEXTBOOKS)} "
                                                   "(default: all)")
    parser.add_argument("--tools", default=",".join(TOOLS), help=f"comma-separated subset of {', '.join(TOOLS)}")
    parser.add_argument("--time-limit", type=float, default=20.0,
                        help="seconds per fit for zor (time_limit) and pyoperon (max_time); default 20")
    parser.add_argument("--results", type=pathlib.Path, default=None,
                        help="JSON file of fold outcomes: read when it exists, added to and written after each fold")
    args = parser.parse_args(argv)
    names = [name for name in args.sets.split(",") if name] or list(textbook_sets.TEXTBOOKS)
    tools = [tool for tool in args.tools.split(",") if tool]
    unknown = sorted(set(names) - set(textbook_sets.TEXTBOOKS)) + sorted(set(tools) - set(TOOLS))
    if unknown:
        parser.error(f"unknown data sets or tools: {', '.join(unknown)}")
    if args.time_limit <= 0:
        parser.error("--time-limit must be positive")
    results = json.loads(args.results.read_text()) if args.results and args.results.exists() else {}

    started, clock = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()), time.perf_counter()
    print(f"{started}; {versions()}; {len(names)} data sets × {FOLDS} folds; tools {', '.join(tools)}; "
          f"time limit {args.time_limit:g} s", flush=True)
    run_all(names, tools, args.time_limit, results, args.results)
    rows = [summarise(name, len(textbook_sets.load(name).y), results) for name in names]
    print()
    print(markdown_table(rows))
    print()
    for item in notes(rows):
        print(f"note: {item}")
    print(f"\nrun time {(time.perf_counter() - clock) / 60:.1f} min")
    return 0


if __name__ == "__main__":
    sys.exit(main())
