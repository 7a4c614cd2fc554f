"""Fitted constants on real and large data, as a new user would try them.

    .venv/bin/python bench/constants.py            # both checks
    .venv/bin/python bench/constants.py --only diabetes

diabetes: scikit-learn's bundled diabetes data (442 patients, 10 features), 3-fold
cross-validation (shuffled, seed 0) of ZorRegressor(time_limit=20) against
LinearRegression on the same folds: R² per fold and their means, and whether
any formula on the fronts leans on a guard of zor (an argument b <= 0 of its
logarithm, or a > 709.78 of its exponential, on the fold's data).

large: a CSV of 2.5 million rows x 3 features (I = a·b/(4πc²) on U(1, 5)),
written to a temporary folder, and `zor-discover FILE --time-limit 30` run on it
as a separate process: its wall time, its peak resident memory and its answer.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import resource
import subprocess
import sys
import tempfile
import time

import numpy as np

VENV_BIN = pathlib.Path(sys.executable).parent


def zor_operands(tokens, columns):
    """(left, right) values of every zor in the formula, on the columns."""
    from zor import _native
    from zor._expression import fold

    pairs = []
    rows = len(columns[0])

    def leaf(token):
        return columns[int(token[1])] if token[0] == "var" else np.full(rows, float(token[1]))

    def apply(op, *operands):
        names = [("var", k) for k in range(len(operands))]
        return np.asarray(_native.evaluate(names + [("op", op)], list(operands)))

    def binary(op, a, b):
        if op == "Zor":
            pairs.append((a, b))
        return apply(op, a, b)

    fold(tokens, leaf, lambda op, a: apply(op, a), binary)
    return pairs


def diabetes(seconds):
    from sklearn.datasets import load_diabetes
    from sklearn.linear_model import LinearRegression
    from sklearn.metrics import r2_score
    from sklearn.model_selection import KFold

    from zor import ZorRegressor

    X, y = load_diabetes(return_X_y=True)
    linear, ours, guarded = [], [], 0
    for train, test in KFold(3, shuffle=True, random_state=0).split(X):
        linear.append(r2_score(y[test], LinearRegression().fit(X[train], y[train]).predict(X[test])))
        model = ZorRegressor(time_limit=seconds).fit(X[train], y[train])
        ours.append(r2_score(y[test], model.predict(X[test])))
        columns = [X[train][:, k] for k in range(X.shape[1])]
        for formula in model.front_:
            for left, right in zor_operands(formula.tokens, columns):
                guarded += int(np.any(right <= 0) or np.any(left > 709.78))
        print(f"  fold {len(ours)}: LinearRegression R² {linear[-1]:.3f}, ZorRegressor R² {ours[-1]:.3f}: "
              f"{model.formula_}", flush=True)
    print(f"diabetes, 3 folds, time_limit={seconds:g}: LinearRegression mean R² {np.mean(linear):.3f}, "
          f"ZorRegressor {np.mean(ours):.3f} ({np.mean(ours) / np.mean(linear):.2f} of it); "
          f"front formulas leaning on a guard: {guarded}")


def large(rows, seconds):
    rng = np.random.default_rng(0)
    a, b, c = (rng.uniform(1, 5, rows) for _ in range(3))
    with tempfile.TemporaryDirectory() as folder:
        path = pathlib.Path(folder) / "large.csv"
        np.savetxt(path, np.column_stack([a, b, c, a * b / (4 * np.pi * c * c)]), delimiter=",",
                   header="a,b,c,I", comments="", fmt="%.17g")
        size = path.stat().st_size
        before = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
        start = time.perf_counter()
        done = subprocess.run([str(VENV_BIN / "zor-discover"), str(path), "--time-limit", str(seconds)],
                              capture_output=True, text=True, env=dict(os.environ))
        elapsed = time.perf_counter() - start
        peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    answer = done.stdout.splitlines()[0] if done.stdout else done.stderr.strip()
    print(f"large: {rows:,} rows x 3 features ({size / 1e6:.0f} MB of CSV), --time-limit {seconds:g}: "
          f"{elapsed:.1f} s, peak {max(peak, before) / 1e6:.2f} GB, exit {done.returncode}: {answer}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--only", choices=("diabetes", "large"))
    parser.add_argument("--seconds", type=float, default=20.0, help="time limit of each diabetes fit")
    parser.add_argument("--rows", type=int, default=2_500_000)
    args = parser.parse_args()
    if args.only in (None, "diabetes"):
        diabetes(args.seconds)
    if args.only in (None, "large"):
        large(args.rows, 30.0)


if __name__ == "__main__":
    main()
