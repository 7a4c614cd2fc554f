"""zor.ZorRegressor on classic real regression data sets, against linear regression, a random forest and pyoperon.

    make bench-realdata                                   # installs the peers into .venv, runs all sets, --write
    .venv/bin/python bench/realdata.py --sets stackloss,engel --time-limit 2
    .venv/bin/python bench/realdata.py --time-limit 10 --jobs 2 --write

The data sets ship inside scikit-learn and statsmodels (bench/realdata_sets.py says which column is the target
of each and why); nothing is downloaded. Every set is split into 5 folds (sklearn KFold, shuffled with a fixed
seed) and on every fold each tool is fitted on four fifths and judged on the fifth by the held-out R²,
1 - SSE / SST over the fold's rows (SST about the fold's own mean); a fold with a non-finite prediction on any
of its rows scores -inf. The table gives, per set and tool, the median over the folds of that R² and of the
model's size:

- zor: ZorRegressor(time_limit=T) with its other settings at their defaults; size: best_.complexity (tokens,
  plus one each for a fitted scale and offset that are not 1 and 0);
- linear: sklearn LinearRegression(); size 2 p + 1 for p features (a coefficient and a variable per feature,
  plus the intercept), the way zor counts a scale, a variable and an offset;
- forest: sklearn RandomForestRegressor(n_estimators=300, random_state=0, n_jobs=1); no size;
- pyoperon: SymbolicRegressor with the settings of the recovery benchmark (bench/recovery_pyoperon.py), max_time=T
  and one thread; size: model_.Length, the nodes of its tree including the linear scaling's four (a variable's
  weight lives in its node and is not counted).

Every fit runs in a fresh process with one core: the worker pools are sized before anything is imported
(RAYON_NUM_THREADS=1 for zor's pool, OMP_NUM_THREADS and the BLAS variables for the others); --jobs 2 runs two
such processes at a time. Linear regression and the forest share a process per fold. For zor the table also
counts held-out rows with a non-finite prediction that lie inside the training rows' range of every variable
(there the formula was checked to be defined, so the count must be 0).
"""

from __future__ import annotations

import argparse
import concurrent.futures
import json
import math
import os
import pathlib
import platform
import resource
import sys
import time
import warnings

import numpy as np

BENCH = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH))

import realdata_sets  # noqa: E402
from children import answer, answer_of, package_versions  # noqa: E402

DOCS = BENCH.parent / "docs"
PAGE = DOCS / "realdata.md"
FIGURE = DOCS / "figures" / "realdata.png"
START = "<!-- realdata:start: written by bench/realdata.py --write -->"
END = "<!-- realdata:end -->"

FOLDS = 5
SEED = 0
TOOLS = ("zor", "linear", "forest", "pyoperon")
# One child process per fold and runner; the two cheap baselines share one.
RUNNERS = {"zor": ("zor",), "pyoperon": ("pyoperon",), "sklearn": ("linear", "forest")}
# Added to the time limit before a child is killed: imports, data loading, a search's last level, predicting.
GRACE_SECONDS = 120.0
SKLEARN_TIMEOUT = 900.0
ONE_CORE = {name: "1" for name in ("RAYON_NUM_THREADS", "OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS",
                                   "MKL_NUM_THREADS")}


# --- one fold, in the child process ---------------------------------------------------


def held_out_r2(predicted: np.ndarray, y: np.ndarray) -> float:
    """1 - SSE / SST over the rows; -inf when a prediction is not finite."""
    if not np.all(np.isfinite(predicted)):
        return -math.inf
    return 1.0 - float(np.sum((y - predicted) ** 2)) / float(np.sum((y - np.mean(y)) ** 2))


def inside_training_range(X_train: np.ndarray, X_test: np.ndarray) -> np.ndarray:
    """Per held-out row: every variable lies within the training rows' min..max."""
    return np.all((X_test >= X_train.min(axis=0)) & (X_test <= X_train.max(axis=0)), axis=1)


def fold_rows(n_rows: int, fold: int) -> tuple[np.ndarray, np.ndarray]:
    from sklearn.model_selection import KFold

    return list(KFold(n_splits=FOLDS, shuffle=True, random_state=SEED).split(np.arange(n_rows)))[fold]


def fit_zor(data, X_train, y_train, X_test, time_limit, settings=None):
    import pandas as pd
    from zor import ZorRegressor

    model = ZorRegressor(time_limit=time_limit, **(settings or {})).fit(pd.DataFrame(X_train, columns=data.features), y_train)
    predicted = model.predict(pd.DataFrame(X_test, columns=data.features))
    return predicted, model.best_.complexity, model.formula_


def fit_pyoperon(data, X_train, y_train, X_test, time_limit):
    import recovery_pyoperon

    model = recovery_pyoperon.regressor(time_limit, 1)
    model.fit(X_train, y_train)
    text = model.get_model_string(model.model_, 4, names=list(data.features))
    return model.predict(X_test), int(model.model_.Length), text


def fit_linear(data, X_train, y_train, X_test, time_limit):
    from sklearn.linear_model import LinearRegression

    model = LinearRegression().fit(X_train, y_train)
    return model.predict(X_test), 2 * X_train.shape[1] + 1, ""


def fit_forest(data, X_train, y_train, X_test, time_limit):
    from sklearn.ensemble import RandomForestRegressor

    model = RandomForestRegressor(n_estimators=300, random_state=0, n_jobs=1).fit(X_train, y_train)
    return model.predict(X_test), None, ""


FITS = {"zor": fit_zor, "pyoperon": fit_pyoperon, "linear": fit_linear, "forest": fit_forest}


def run_fold(job: dict) -> dict:
    """{tool: outcome} for the job's runner on one fold of one set; a tool's exception is its failure on the fold."""
    data = realdata_sets.load(job["set"])
    train, test = fold_rows(len(data.y), job["fold"])
    X_train, y_train, X_test, y_test = data.X[train], data.y[train], data.X[test], data.y[test]
    inside = inside_training_range(X_train, X_test)
    outcomes = {}
    for tool in RUNNERS[job["runner"]]:
        start = time.perf_counter()
        try:
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                extra = (job.get("zor_settings") or {},) if tool == "zor" else ()
                predicted, size, model = FITS[tool](data, X_train, y_train, X_test, job["time_limit"], *extra)
            predicted = np.asarray(predicted, dtype=float)
        except Exception as error:  # one tool failing on one fold is that fold's result, not the benchmark's end
            outcomes[tool] = {"failure": f"{type(error).__name__}: {error}", "r2": -math.inf, "size": None,
                              "seconds": time.perf_counter() - start}
            continue
        bad = ~np.isfinite(predicted)
        outcomes[tool] = {"r2": held_out_r2(predicted, y_test), "size": size, "model": model,
                          "seconds": time.perf_counter() - start, "nonfinite": int(bad.sum()),
                          "nonfinite_inside": int((bad & inside).sum()), "test_rows": int(len(test)),
                          "warnings": sorted({str(w.message).splitlines()[0] for w in caught})[:3]}
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    return {"outcomes": outcomes, "peak_mb": peak}


# --- the runs, in the parent ----------------------------------------------------------


def run_child(job: dict) -> dict:
    """One job in a fresh one-core interpreter; its JSON answer, or {"failure": why}."""
    timeout = SKLEARN_TIMEOUT if job["runner"] == "sklearn" else job["time_limit"] + GRACE_SECONDS
    command = [sys.executable, str(pathlib.Path(__file__).resolve()), "--child", json.dumps(job)]
    return answer_of(command, dict(os.environ, **ONE_CORE), timeout)


def outcomes_of(job: dict, answer: dict) -> dict:
    if "failure" in answer:
        return {tool: {"failure": answer["failure"], "r2": -math.inf, "size": None, "seconds": math.nan}
                for tool in RUNNERS[job["runner"]]}
    return answer["outcomes"]


def run_all(names: list[str], time_limit: float, jobs: int) -> dict:
    """{(set, fold, tool): outcome} for every set, fold and tool."""
    work = [{"set": name, "fold": fold, "runner": runner, "time_limit": time_limit}
            for name in names for fold in range(FOLDS) for runner in RUNNERS]
    results = {}
    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        for job, answer in zip(work, pool.map(run_child, work)):
            for tool, outcome in outcomes_of(job, answer).items():
                results[job["set"], job["fold"], tool] = outcome
                what = outcome.get("failure") or outcome.get("model", "")
                size = "" if outcome.get("size") is None else outcome["size"]
                print(f"{job['set']:<11} fold {job['fold'] + 1} {tool:<8} R² {outcome['r2']:9.4f}  size {size!s:>4}"
                      f"  {outcome['seconds']:6.1f} s  {answer.get('peak_mb', math.nan):5.0f} MB  {what[:70]}",
                      flush=True)
    return results


def summarise(data: realdata_sets.DataSet, results: dict) -> dict:
    """One table row: per tool the median held-out R² and size over the folds, failures and undefined rows."""
    row = {"set": data.name, "rows": len(data.y), "features": len(data.features), "target": data.target}
    for tool in TOOLS:
        folds = [results[data.name, fold, tool] for fold in range(FOLDS)]
        sizes = [f["size"] for f in folds if f.get("size") is not None]
        row[tool] = {"r2": float(np.median([f["r2"] for f in folds])),
                     "size": float(np.median(sizes)) if sizes else None,
                     "failures": [f["failure"] for f in folds if "failure" in f],
                     "nonfinite": sum(f.get("nonfinite", 0) for f in folds),
                     "nonfinite_inside": sum(f.get("nonfinite_inside", 0) for f in folds),
                     "seconds": float(np.nanmean([f["seconds"] for f in folds])),
                     "models": [f.get("model", "") for f in folds],
                     "warnings": sorted({w for f in folds for w in f.get("warnings", [])})}
    return row


def summary_numbers(rows: list[dict]) -> dict:
    gaps = {row["set"]: row["linear"]["r2"] - row["zor"]["r2"] for row in rows}
    worst = max(gaps, key=lambda name: gaps[name])
    zor_sizes = [row["zor"]["size"] for row in rows if row["zor"]["size"] is not None]
    operon_sizes = [row["pyoperon"]["size"] for row in rows if row["pyoperon"]["size"] is not None]
    size_ratio = (float(np.median(zor_sizes)) / float(np.median(operon_sizes))
                  if zor_sizes and operon_sizes else math.nan)
    return {"below_linear": gaps[worst], "below_linear_set": worst,
            "zor_median_r2": float(np.median([row["zor"]["r2"] for row in rows])),
            "forest_median_r2": float(np.median([row["forest"]["r2"] for row in rows])),
            "zor_median_size": float(np.median(zor_sizes)) if zor_sizes else math.nan,
            "pyoperon_median_size": float(np.median(operon_sizes)) if operon_sizes else math.nan,
            "size_ratio": size_ratio}


def summary_line(numbers: dict) -> str:
    gap = numbers["below_linear"]
    below = (f"zor's R² is at most {gap:.3f} below linear regression's ({numbers['below_linear_set']})" if gap > 0
             else f"zor's R² is never below linear regression's (closest: {-gap:.3f} above, "
                  f"{numbers['below_linear_set']})")
    return (f"{below}; median R² over the sets: zor {numbers['zor_median_r2']:.3f}, random forest "
            f"{numbers['forest_median_r2']:.3f}; median size: zor {numbers['zor_median_size']:g} / pyoperon "
            f"{numbers['pyoperon_median_size']:g} = {numbers['size_ratio']:.2f}")


# --- the report -----------------------------------------------------------------------


def r2_text(value: float) -> str:
    return "−∞" if value == -math.inf else f"{value:.3f}".replace("-", "−")


def size_text(value: float | None) -> str:
    return "n/a" if value is None else f"{value:g}"


def markdown_table(rows: list[dict]) -> str:
    lines = ["| data set | rows × features | target | zor R² | linear R² | forest R² | pyoperon R² | zor size | "
             "linear size | pyoperon size | zor undefined (inside / all) |",
             "|" + " --- |" * 11]
    for row in rows:
        best = max(row[tool]["r2"] for tool in TOOLS)
        cells = [f"**{r2_text(row[t]['r2'])}**" if row[t]["r2"] == best else r2_text(row[t]["r2"]) for t in TOOLS]
        cells += [size_text(row[t]["size"]) for t in ("zor", "linear", "pyoperon")]
        cells.append(f"{row['zor']['nonfinite_inside']} / {row['zor']['nonfinite']}")
        lines.append(f"| {row['set']} | {row['rows']} × {row['features']} | `{row['target']}` | " + " | ".join(cells)
                     + " |")
    return "\n".join(lines)


def formulas_table(rows: list[dict]) -> str:
    """zor's and pyoperon's models on the first fold, and the mean seconds per fit."""
    lines = ["| data set | zor on fold 1 | pyoperon on fold 1 | seconds per fit: zor / pyoperon / forest |",
             "|" + " --- |" * 4]
    for row in rows:
        cells = []
        for tool in ("zor", "pyoperon"):
            failures = row[tool]["failures"]
            text = row[tool]["models"][0] or (failures[0] if failures else "")
            cells.append(f"`{text if len(text) <= 90 else text[:87] + '...'}`".replace("|", "\\|"))
        seconds = " / ".join(f"{row[t]['seconds']:.1f}" for t in ("zor", "pyoperon", "forest"))
        lines.append(f"| {row['set']} | " + " | ".join(cells) + f" | {seconds} |")
    return "\n".join(lines)


def notes(rows: list[dict]) -> list[str]:
    """Failures and warnings worth reading beside the table."""
    found = []
    for row in rows:
        for tool in TOOLS:
            for failure in row[tool]["failures"]:
                found.append(f"{row['set']}, {tool}: {failure}")
            if tool == "zor":
                for warning in row[tool]["warnings"]:
                    found.append(f"{row['set']}, zor predict warned: {warning}")
    return found


def replace_between(page: str, body: str) -> str:
    if START not in page or END not in page.split(START, 1)[1]:
        raise ValueError(f"{PAGE} lacks the markers {START!r} ... {END!r}")
    head, rest = page.split(START, 1)
    return head + START + "\n" + body + "\n" + END + rest.split(END, 1)[1]


def write(rows: list[dict], line: str, caption: str, note: str) -> None:
    import figures

    parts = [caption, markdown_table(rows), f"**Summary:** {line}.", formulas_table(rows)]
    found = notes(rows)
    if found:
        parts.append("Failures and warnings:\n\n" + "\n".join(f"- {item}" for item in found))
    if figures.available():
        points = {tool: [(row[tool]["size"], row[tool]["r2"]) for row in rows] for tool in ("zor", "linear",
                                                                                             "pyoperon")}
        figures.realdata_figure(points, FIGURE, note=note, labels=[row["set"] for row in rows])
        parts.insert(1, "![Held-out R² against model size, one point per data set and tool](figures/realdata.png)")
    PAGE.write_text(replace_between(PAGE.read_text(), "\n\n".join(parts)))
    print(f"\nwrote the table into {PAGE}" + (f" and the figure {FIGURE}" if figures.available() else ""))


def versions() -> str:
    return ", ".join(package_versions(("zor_core", "scikit-learn", "pyoperon", "statsmodels", "numpy")))


def machine() -> str:
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as lines:
            model = next((line.split(":", 1)[1].strip() for line in lines if line.startswith("model name")), model)
    except OSError:
        pass
    return f"{os.cpu_count()} CPUs ({model}), {platform.system()}, Python {platform.python_version()}"


def main() -> None:
    if len(sys.argv) == 3 and sys.argv[1] == "--child":
        return answer(run_fold, sys.argv[2])
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sets", default="", help=f"comma-separated subset of {', '.join(realdata_sets.SOURCES)} "
                                                   "(default: all)")
    parser.add_argument("--time-limit", type=float, default=10.0,
                        help="seconds per fit for zor (time_limit) and pyoperon (max_time); default 10")
    parser.add_argument("--jobs", type=int, default=1, help="fits at a time, each in its own one-core process")
    parser.add_argument("--write", action="store_true",
                        help="write the table into docs/realdata.md and the figure docs/figures/realdata.png")
    args = parser.parse_args()
    if args.jobs < 1 or args.time_limit <= 0:
        parser.error("--jobs must be at least 1 and --time-limit positive")
    names = [name for name in args.sets.split(",") if name] or None
    try:
        sets = realdata_sets.load_all(names)
    except ValueError as error:
        parser.error(str(error))
    started, clock = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()), time.perf_counter()
    fits = len(sets) * FOLDS * 2
    print(f"{started}; {len(sets)} data sets × {FOLDS} folds; {fits} searches of {args.time_limit:g} s, "
          f"{args.jobs} at a time: at least {fits * args.time_limit / args.jobs / 60:.0f} min", flush=True)

    results = run_all([data.name for data in sets], args.time_limit, args.jobs)
    rows = [summarise(data, results) for data in sets]
    minutes = (time.perf_counter() - clock) / 60
    print()
    print(markdown_table(rows))
    print()
    print(formulas_table(rows))
    for item in notes(rows):
        print(f"note: {item}")
    line = summary_line(summary_numbers(rows))
    print(f"\n{line}\nrun time {minutes:.1f} min")
    if args.write:
        import figures

        caption = (f"Run on {started} in {minutes:.0f} min: {machine()}; {versions()}. Time limit "
                   f"{args.time_limit:g} s per fit for zor and pyoperon, one core per fit, {args.jobs} fit(s) at a "
                   f"time; medians over "
                   f"{FOLDS} folds (KFold, shuffled, seed {SEED}). Bold: the best R² of the row.")
        write(rows, line, caption, figures.machine_note(versions()))


if __name__ == "__main__":
    main()
