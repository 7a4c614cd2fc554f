"""ZorRegressor: zor.discover as a scikit-learn estimator (needs the `sklearn` extra)."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import NDArray

from zor._discover import DEFAULT_MAX_ROWS, DiscoveryResult, Formula, discover
from zor._expression import default_names
from zor._optional import import_extra

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

    def __init__(
        self,
        *,
        max_complexity: int | None = None,
        beam_width: int | None = None,
        precision_goal: float = 1e-10,
        use_trig: bool = True,
        use_zor: bool = True,
        complexity_penalty: float = 0.001,
        time_limit: float | None = None,
        progress: bool = False,
        scaling: bool = True,
        model_selection: str | None = None,
        max_rows: int | None = DEFAULT_MAX_ROWS,
    ) -> None:
        self.max_complexity = max_complexity
        self.beam_width = beam_width
        self.precision_goal = precision_goal
        self.use_trig = use_trig
        self.use_zor = use_zor
        self.complexity_penalty = complexity_penalty
        self.time_limit = time_limit
        self.progress = progress
        self.scaling = scaling
        self.model_selection = model_selection
        self.max_rows = max_rows

    def fit(self, X: Any, y: Any) -> ZorRegressor:
        X, y = validate_data(self, X, y, y_numeric=True, dtype=np.float64)
        names = getattr(self, "feature_names_in_", None)
        result = discover(
            X,
            y,
            variable_names=default_names(X.shape[1]) if names is None else [str(name) for name in names],
            max_complexity=self.max_complexity,
            beam_width=self.beam_width,
            precision_goal=self.precision_goal,
            use_trig=self.use_trig,
            use_zor=self.use_zor,
            complexity_penalty=self.complexity_penalty,
            time_limit=self.time_limit,
            progress=self.progress,
            scaling=self.scaling,
            model_selection=self.model_selection,
            max_rows=self.max_rows,
        )
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
        return self.best_.predict(X)

    def sympy(self) -> sympy.Expr:
        """The fitted formula as a SymPy expression over the feature names (needs the `sympy` extra)."""
        check_is_fitted(self)
        return self.best_.to_sympy()
