"""ZorRegressor: zor.discover as a scikit-learn estimator (needs the `sklearn` extra)."""

from __future__ import annotations

import inspect
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import NDArray

from zor._expression import default_names
from zor._optional import import_extra
from zor._results import DiscoveryResult, Formula
from zor._search import discover
from zor._settings import check_setting_names, settings_parameters

import_extra("sklearn", "sklearn", "zor.ZorRegressor")

from sklearn.base import BaseEstimator, RegressorMixin  # noqa: E402
from sklearn.utils.validation import check_is_fitted, validate_data  # noqa: E402

if TYPE_CHECKING:
    import sympy


class ZorRegressor(RegressorMixin, BaseEstimator):  # type: ignore[misc]
    """Symbolic regression by zor's beam search, as a scikit-learn regressor.

    The parameters are those of zor.discover. After fit: `formula_` (the best
    formula's text with the feature names), `best_` (a zor.Formula), `front_`
    (the Pareto front of error against complexity), `result_` (the whole
    zor.DiscoveryResult), `n_features_in_` and, for a DataFrame with string
    column names, `feature_names_in_`. predict gives NaN on rows where the
    formula is undefined; score is R².
    """

    def __init__(self, *, progress: bool = False, **settings: Any) -> None:
        # scikit-learn reads the parameters from the signature and the attributes of the same names, and
        # validates them only in fit: here they are only kept.
        check_setting_names("ZorRegressor", settings)
        self.progress = progress
        for parameter in settings_parameters():
            setattr(self, parameter.name, settings.get(parameter.name, parameter.default))

    def fit(self, X: Any, y: Any) -> ZorRegressor:
        X, y = validate_data(self, X, y, y_numeric=True, dtype=np.float64)
        names = getattr(self, "feature_names_in_", None)
        settings = {parameter.name: getattr(self, parameter.name) for parameter in settings_parameters()}
        result = discover(X, y, variable_names=default_names(X.shape[1]) if names is None else
                          [str(name) for name in names], progress=self.progress, **settings)
        if result.best is None:
            raise ValueError("no formula was found: the time limit ended the search before anything was scored")
        self.result_: DiscoveryResult = result
        self.best_: Formula = result.best
        self.formula_: str = result.best.formula
        self.front_: tuple[Formula, ...] = result.front
        return self

    def predict(self, X: Any) -> NDArray[np.float64]:
        check_is_fitted(self)
        X = validate_data(self, X, reset=False, dtype=np.float64)
        return self.best_._predict(X)

    def sympy(self) -> sympy.Expr:
        """The fitted formula as a SymPy expression over the feature names (needs the `sympy` extra)."""
        check_is_fitted(self)
        return self.best_.to_sympy()


ZorRegressor.__init__.__signature__ = inspect.Signature(  # type: ignore[attr-defined]
    [inspect.Parameter("self", inspect.Parameter.POSITIONAL_OR_KEYWORD),
     inspect.Parameter("progress", inspect.Parameter.KEYWORD_ONLY, default=False, annotation=bool)]
    + settings_parameters(), return_annotation=None)
