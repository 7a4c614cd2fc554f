"""zor.ZorRegressor: scikit-learn's estimator checks, pipelines, cross-validation and DataFrames."""

import math
import unittest

import numpy as np
import pytest

sklearn = pytest.importorskip("sklearn")
pd = pytest.importorskip("pandas")

from sklearn.model_selection import cross_val_score  # noqa: E402
from sklearn.pipeline import make_pipeline  # noqa: E402
from sklearn.impute import SimpleImputer  # noqa: E402
from sklearn.utils.estimator_checks import parametrize_with_checks  # noqa: E402

import zor  # noqa: E402
import zor_core  # noqa: E402

SMALL = dict(max_complexity=4, beam_width=100)


# One test per check, so that a run over several workers shares them out.
@parametrize_with_checks([zor.ZorRegressor(**SMALL)])
def test_passes_scikit_learn_estimator_checks(estimator, check):
    name = getattr(check, "func", check).__name__
    try:
        check(estimator)
    except unittest.SkipTest as skipped:
        # the array API check runs only with SCIPY_ARRAY_API=1 and an array library installed; no other skips
        assert name == "check_array_api_input", f"{name} skipped: {skipped}"
        pytest.skip(str(skipped))


def law(X):
    # the C library's exp, as the native evaluation uses; NumPy's may differ in the last bit
    return np.array([math.exp(b) * a for a, b in X])


def test_fit_sets_the_formula_and_matches_find_formula():
    rnd = np.random.default_rng(0)
    X = rnd.uniform(0.2, 2.0, size=(50, 2))
    model = zor.ZorRegressor(max_complexity=5, beam_width=500).fit(X, law(X))
    expected = zor_core.find_formula(list(X.T), list(law(X)), 5, 500)
    assert model.formula_ == expected.formula == "(exp(y) * x)"  # no constant: the two texts agree
    assert model.best_.score == expected.error and model.n_features_in_ == 2
    assert not hasattr(model, "feature_names_in_")
    assert model.score(X, law(X)) == 1.0
    assert [f.complexity for f in model.front_] == sorted(f.complexity for f in model.front_)
    sp = pytest.importorskip("sympy")
    assert sp.simplify(model.sympy() - sp.Symbol("x") * sp.exp(sp.Symbol("y"))) == 0


def test_dataframe_names_become_the_variables():
    rnd = np.random.default_rng(1)
    frame = pd.DataFrame(rnd.uniform(0.2, 2.0, size=(40, 2)), columns=["mass", "rate"])
    y = law(frame.to_numpy())
    model = zor.ZorRegressor(max_complexity=5, beam_width=500).fit(frame, y)
    assert list(model.feature_names_in_) == ["mass", "rate"]
    assert model.formula_ == "(exp(rate) * mass)"
    np.testing.assert_array_equal(model.predict(frame), y)
    sp = pytest.importorskip("sympy")
    assert model.sympy().free_symbols == {sp.Symbol("mass"), sp.Symbol("rate")}
    with pytest.raises(ValueError, match="feature names"):
        model.predict(frame.rename(columns={"rate": "speed"}))


@pytest.mark.parametrize("as_frame", [False, True])
def test_works_in_a_pipeline_with_cross_validation(as_frame):
    rnd = np.random.default_rng(2)
    X = rnd.uniform(0.5, 3.0, size=(60, 2))
    y = X[:, 0] * X[:, 0] + X[:, 1]
    data = pd.DataFrame(X, columns=["a", "b"]) if as_frame else X
    pipeline = make_pipeline(SimpleImputer().set_output(transform="pandas" if as_frame else "default"),
                             zor.ZorRegressor(max_complexity=5, beam_width=300))
    scores = cross_val_score(pipeline, data, y, cv=3)
    assert scores.shape == (3,) and np.all(scores > 0.9)
    fitted = pipeline.fit(data, y)
    names = {"a", "b"} if as_frame else {"x", "y"}
    assert set(fitted[-1].best_.variable_names) == names


def test_predict_gives_nan_where_the_formula_is_undefined():
    X = np.array([[1.0], [2.0], [4.0]])
    model = zor.ZorRegressor(max_complexity=2, beam_width=10).fit(X, np.log(X[:, 0]))
    assert model.formula_ == "ln(x)"
    with pytest.warns(RuntimeWarning, match=r"undefined at 2 of 3 rows, which give NaN: x = 0 is outside the "
                                            r"range \[1, 4\] the formula was fitted on"):
        predicted = model.predict(np.array([[np.e], [0.0], [-1.0]]))
    assert predicted[0] == 1.0 and np.isnan(predicted[1:]).all()
