"""pyoperon in the recovery benchmark (a benchmark-only dependency, from PyPI).

Both runners give it the operators of the other tools, fitted constants
(Levenberg-Marquardt, 10 iterations per model) and the budget as its clock;
each returns the model's text and its predict.
"""

from __future__ import annotations

import os

from recovery_problems import SEED

OPERATORS = "add,sub,mul,div,sin,cos,exp,log,sqrt,constant,variable"


def regressor(budget, threads):
    from pyoperon.sklearn import SymbolicRegressor

    return SymbolicRegressor(allowed_symbols=OPERATORS, optimizer_iterations=10, max_time=max(1, round(budget)),
                             generations=10**9, max_evaluations=10**12, n_threads=threads, random_state=SEED)


def fit_exact(X, y, budget):
    """The exact suite: every core of the machine, as the search it is compared with has."""
    model = regressor(budget, os.cpu_count() or 1)
    model.fit(X, y)
    return model.get_model_string(model.model_, 4), model.predict


def fit_constants(X, y, names, budget, cores):
    model = regressor(budget, cores)
    model.fit(X, y)
    return model.get_model_string(model.model_, 6, names=list(names)), model.predict
