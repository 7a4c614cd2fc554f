"""Model selection criteria of zor.discover on held-out rows: "best" (the Bayesian information criterion)
against "validation" (held-out error inside discover, one-standard-error rule) and "description_length"
(the nats to send the data, see zor._description_length).

Two kinds of data:
- laws of the recovery benchmark with 1 % noise on 200 rows, judged on 1000 fresh noiseless points;
- real regression data shipped with scikit-learn and statsmodels, judged by 5-fold cross-validation.

Every search runs at fixed settings, so both criteria choose from the same front: the table shows, per
problem, the held-out R² of each criterion's choice and its complexity. Run `make bench-selection`.
"""

from __future__ import annotations

import argparse
import math
import pathlib
import sys

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import zor  # noqa: E402
from realdata_sets import load_all  # noqa: E402
from recovery_problems import LAWS, law_data  # noqa: E402

CRITERIA = ("best", "validation", "description_length")
SETTINGS = {"max_complexity": 10, "beam_width": 5000}


def r2(predicted: np.ndarray, y: np.ndarray) -> float:
    if not np.all(np.isfinite(predicted)):
        return -math.inf
    return 1.0 - float(np.sum((predicted - y) ** 2)) / float(np.sum((y - np.mean(y)) ** 2))


def choices(X: np.ndarray, y: np.ndarray, names: list[str]) -> dict[str, zor.Formula]:
    """Each criterion's formula, from one search (the front is the same; only the choice differs)."""
    result = zor.discover(X, y, variable_names=names, progress=False, model_selection="best", **SETTINGS)
    from zor._description_length import operator_kinds, select_by_description_length
    from zor._fit import select_by_validation
    from zor._parameters import operator_names

    columns = [np.ascontiguousarray(X[:, j]) for j in range(X.shape[1])]
    kinds = operator_kinds(len(operator_names(True, True)), len(columns))
    return {"best": result.best, "validation": select_by_validation(result.front, columns, np.asarray(y, float)),
            "description_length": select_by_description_length(result.front, columns, np.asarray(y, float), kinds)}


def law_rows(selected: list[str]) -> list[tuple[str, dict[str, tuple[float, int]]]]:
    rows = []
    for law in LAWS:
        if selected and law.label not in selected:
            continue
        X, y, X_fresh, y_fresh = law_data(law, 0.01)
        picked = choices(X, y, list(law.names))
        rows.append((law.label, {c: (r2(f.predict(X_fresh), y_fresh), f.complexity) for c, f in picked.items()}))
        print(rows[-1], flush=True)
    return rows


# The real data sets of this comparison, loaded by bench/realdata_sets.py.
REAL_SETS = ["diabetes", "longley", "stackloss", "ccard", "engel"]


def real_data() -> dict[str, tuple[np.ndarray, np.ndarray, list[str]]]:
    return {data.name: (data.X, data.y, data.features) for data in load_all(REAL_SETS)}


def real_rows() -> list[tuple[str, dict[str, tuple[float, int]]]]:
    rows = []
    for name, (X, y, names) in real_data().items():
        folds = np.random.default_rng(0).permutation(len(y)) % 5
        scores: dict[str, list[tuple[float, int]]] = {c: [] for c in CRITERIA}
        for k in range(5):
            train, test = folds != k, folds == k
            picked = choices(X[train], y[train], names)
            for c, formula in picked.items():
                scores[c].append((r2(formula.predict(X[test]), y[test]), formula.complexity))
        rows.append((name, {c: (float(np.median([s for s, _ in v])), int(np.median([n for _, n in v])))
                            for c, v in scores.items()}))
        print(rows[-1], flush=True)
    return rows


def table(title: str, rows: list[tuple[str, dict[str, tuple[float, int]]]]) -> None:
    print(f"\n{title}\n{'problem':<12} " + "  ".join(f"{c + ' R²':>15} {'size':>4}" for c in CRITERIA))
    for name, by in rows:
        print(f"{name:<12} " + "  ".join(f"{by[c][0]:>15.6f} {by[c][1]:>4}" for c in CRITERIA))
    for c in CRITERIA:
        values = [by[c][0] for _, by in rows]
        print(f"{c}: median R² {np.median(values):.6f}, worst {min(values):.6f}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--laws", nargs="*", default=None, help="labels of the laws to run (default: all)")
    parser.add_argument("--no-real", action="store_true", help="leave out the real data sets")
    args = parser.parse_args()
    laws = law_rows(args.laws or [])
    real = [] if args.no_real else real_rows()
    table("laws with 1 % noise, R² on fresh noiseless points", laws)
    if real:
        table("real data, median over 5 folds of the held-out R²", real)


if __name__ == "__main__":
    main()
