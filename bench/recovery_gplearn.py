"""gplearn in the recovery benchmark (a benchmark-only dependency, from PyPI).

It has no clock of its own: generations are added one at a time (warm start)
until its best program is exact on the training data or the budget is spent,
so it finishes the generation it is in when the budget runs out. Each runner
returns the program's text and its predict.
"""

from __future__ import annotations

import time

import numpy as np

from recovery_problems import SEED

OPERATORS = ("add", "sub", "mul", "div", "sqrt", "log", "sin", "cos")


def grow_until_exact_or_spent(model, X, y, budget):
    start = time.perf_counter()
    generations = 1
    while True:
        model.set_params(generations=generations)
        model.fit(X, y)
        if model._program.raw_fitness_ <= 1e-12 or time.perf_counter() - start >= budget:
            return
        generations += 1


def fit_exact(X, y, budget):
    from gplearn.genetic import SymbolicRegressor

    # No random constants: the problems need none (1 is x/x), and a random
    # constant is never exact.
    model = SymbolicRegressor(population_size=1000, generations=1, function_set=OPERATORS, const_range=None,
                              metric="rmse", stopping_criteria=1e-12, parsimony_coefficient=0.001,
                              random_state=SEED, warm_start=True)
    grow_until_exact_or_spent(model, X, y, budget)
    return str(model._program), model.predict


def protected_exp(x):
    """gplearn's exp: capped at e^100 so that its programs stay finite."""
    return np.exp(np.minimum(x, 100.0))


def fit_constants(X, y, names, budget, cores):
    from gplearn.functions import make_function
    from gplearn.genetic import SymbolicRegressor

    exp = make_function(function=protected_exp, name="exp", arity=1, wrap=False)
    model = SymbolicRegressor(population_size=1000, generations=1, function_set=OPERATORS + (exp,),
                              const_range=(-1.0, 1.0), metric="rmse", stopping_criteria=1e-12,
                              parsimony_coefficient=0.001, feature_names=list(names), n_jobs=cores,
                              random_state=SEED, warm_start=True)
    grow_until_exact_or_spent(model, X, y, budget)
    return str(model._program), model.predict
