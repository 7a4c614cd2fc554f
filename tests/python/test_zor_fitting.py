"""The native Levenberg–Marquardt fits of formulas with free parameters: agreement with SciPy's MINPACK on
the same problems, batches that are bit for bit the lone fits whatever the thread count, and the entry's
refusals."""

from __future__ import annotations

import os
import subprocess
import sys

import numpy as np
import pytest
from scipy.optimize import least_squares

from zor import _derivatives, _native, _parameter_fits, _parameters, _shapes
from zor._derivatives import number_parameters, value_and_gradient
from zor._domain import box_of

X = ("var", 0)
P = _shapes.PARAM


def _op(name):
    return ("op", name)


def _scipy_fit(tokens, x, y, start):
    """The same least-squares problem solved by SciPy's MINPACK with the NumPy forward-mode Jacobian."""
    k = len(start) - 2

    def residual(z):
        f, _ = value_and_gradient(tokens, [x], z[:k])
        return z[k] * f + z[k + 1] - y

    def jacobian(z):
        f, gradient = value_and_gradient(tokens, [x], z[:k])
        return np.column_stack([(z[k] * gradient).T, f, np.ones(len(y))])

    result = least_squares(residual, start, jac=jacobian, method="lm", xtol=1e-12, ftol=1e-12, gtol=1e-12)
    assert result.status > 0
    return result.x, float(result.fun @ result.fun)


RNG = np.random.default_rng(11)
NOISE = 0.01 * RNG.standard_normal(80)

# name: (shape, the law on x, the range of x, starting inner parameters)
PROBLEMS = {
    "decay": ((X, P, _op("Mul"), _op("Exp")), lambda x: 2.0 + 3.0 * np.exp(-x / 2.5), (0.0, 10.0), [-0.3]),
    "michaelis_menten": ((X, X, P, _op("Add"), _op("Div")), lambda x: 4.0 * x / (1.5 + x), (0.1, 10.0), [1.0]),
    "antoine": ((P, X, P, _op("Add"), _op("Div"), _op("Exp")), lambda x: np.exp(2.0 - 30.0 / (x + 12.0)),
                (0.0, 10.0), [-10.0, 10.0]),
    "logistic": ((P, X, P, _op("Mul"), _op("Exp"), _op("Add"), _op("Recip")),
                 lambda x: 3.0 / (1.0 + np.exp((5.0 - x) / 1.5)), (0.0, 10.0), [0.5, -0.5]),
    "gaussian": ((X, P, _op("Add"), _op("Square"), P, _op("Mul"), _op("Exp")),
                 lambda x: 2.0 * np.exp(-((x - 1.2) ** 2) / 1.28), (-3.0, 5.0), [-1.0, -0.5]),
    "two_decays": (_shapes.pair_shape((X, P, _op("Mul"), _op("Exp")), (X, P, _op("Mul"), _op("Exp"))),
                   lambda x: 5.0 * np.exp(-x / 0.7) + 2.0 * np.exp(-x / 4.0), (0.0, 10.0), [-1.0, -0.3, 0.3]),
}


def _problem(name, noisy):
    shape, law, (low, high), inner = PROBLEMS[name]
    tokens = number_parameters(shape)
    x = np.linspace(low, high, 80)
    y = law(x) * (1.0 + (NOISE if noisy else 0.0))
    values = _derivatives.values_at(tokens, [x], np.array(inner))
    scale, offset = _parameter_fits._linear_start(values, y)
    return tokens, x, y, np.array(inner + [scale, offset])


@pytest.mark.parametrize("noisy", [False, True], ids=["exact", "noisy"])
@pytest.mark.parametrize("name", list(PROBLEMS))
def test_native_fit_agrees_with_scipy(name, noisy):
    tokens, x, y, start = _problem(name, noisy)
    fitted = _parameter_fits.fit(tokens, [x], y, start)
    assert fitted is not None
    reference, sse = _scipy_fit(tokens, x, y, start)
    # Both stop within their tolerances of one optimum: the vectors agree to 1e-8 of their size (a small
    # entry of correlated ones moves by as much as the large ones), the sums of squares to rounding.
    assert np.max(np.abs(fitted.full - reference)) <= 1e-8 * np.max(np.abs(reference)), (fitted.full, reference)
    assert abs(fitted.sse - sse) <= 1e-10 * sse + 1e-24 * float(y @ y)
    # The Jacobian handed back is the forward-mode one at the optimum, rows × free entries.
    k = len(start) - 2
    f, gradient = value_and_gradient(tokens, [x], fitted.full[:k])
    expected = np.column_stack([(fitted.full[k] * gradient).T, f, np.ones(len(y))])
    assert fitted.jacobian.shape == (len(y), len(start))
    np.testing.assert_allclose(fitted.jacobian, expected, rtol=1e-12, atol=1e-12 * np.max(np.abs(expected)))


def test_fixed_entries_keep_their_bits_and_leave_the_jacobian():
    tokens, x, y, start = _problem("decay", True)
    start[-1] = np.nextafter(2.0, 3.0)
    free = np.array([True, True, False])
    fitted = _parameter_fits.fit(tokens, [x], y, start, free)
    assert fitted is not None
    assert fitted.full[-1].tobytes() == start[-1].tobytes()
    assert fitted.jacobian.shape == (len(y), 2)
    assert not fitted.free[-1] and list(fitted.free) == list(free)


BATCH = """
import sys, numpy as np
sys.path.insert(0, {tests!r})
from test_zor_fitting import PROBLEMS, _problem
from zor import _native
jobs, data = [], None
for name in ("decay", "antoine", "logistic", "two_decays"):
    tokens, x, y, start = _problem(name, True)
    if data is None:
        data = (x, y)
    for shift in np.linspace(0.8, 1.25, 6):
        inner = start.copy()
        inner[:-2] *= shift
        jobs.append((tokens, inner))
x, y = data
batch = _native.fit_parameters_batch(jobs, [x], y)
lone = [_native.fit_parameters(tokens, [x], y, inner) for tokens, inner in jobs]
assert batch == lone, "a batch differs from its lone fits"
sys.stdout.write(repr(batch))
"""


def test_batches_are_bit_identical_across_runs_and_thread_counts():
    tests = os.path.dirname(os.path.abspath(__file__))
    outputs = []
    for threads in ("1", "2", "4", "4"):
        env = {**os.environ, "RAYON_NUM_THREADS": threads}
        done = subprocess.run([sys.executable, "-c", BATCH.format(tests=tests)], env=env, capture_output=True,
                              text=True, timeout=120)
        assert done.returncode == 0, done.stderr
        outputs.append(done.stdout)
    assert len(set(outputs)) == 1
    results = eval(outputs[0])  # tuples of str, bytes and float
    assert sum(status == "converged" for status, *_ in results) >= 8


def test_fit_shape_keeps_the_best_start_and_refuses_starts_where_the_shape_is_undefined():
    tokens, x, y, _ = _problem("michaelis_menten", True)
    problem = _parameter_fits.problem_for([x], y, ("x",), box_of([x]), 0.001, _parameters.operator_names(True, True))
    starts = [np.array([0.5]), np.array([-0.1]), np.array([40.0]), np.array([1.0])]  # x + c0 is 0 at x = 0.1
    lone = [_native.fit_parameters_batch([(tokens, inner)], [x], y, linear_start=True)[0] for inner in starts]
    assert [result[0] for result in lone] == ["converged", "refused", "converged", "converged"]
    best = _parameter_fits.fit_shape(problem, tokens, starts)
    assert best is not None
    winner = min((result for result in lone if result[0] == "converged"), key=lambda result: result[2])
    assert best.full.tobytes() == winner[1] and best.sse == winner[2]
    # The same optimum as a fit from the scale and offset computed in NumPy.
    values = _derivatives.values_at(tokens, [x], starts[0])
    reference = _parameter_fits.fit(tokens, [x], y, np.concatenate([starts[0], _parameter_fits._linear_start(values, y)]))
    assert reference is not None
    assert np.max(np.abs(best.full - reference.full)) <= 1e-8 * np.max(np.abs(reference.full))
    assert _parameter_fits.fit_shapes(problem, [(tokens, starts), (tokens, []), (tokens, [starts[1]])])[1:] == [None, None]


@pytest.mark.parametrize("call, message", [
    (lambda x, y: _native.fit_parameters([X, _op("Add")], [x], y, [1.0, 0.0]), "postfix"),
    (lambda x, y: _native.fit_parameters([X, P, _op("Mul")], [x], y, [1.0, 0.0]), "3 values, not 2"),
    (lambda x, y: _native.fit_parameters([X, P, _op("Mul")], [x], y, [1.0, 1.0, 0.0], [True]), "free marks"),
    (lambda x, y: _native.fit_parameters([X, P, _op("Mul")], [x[:3]], y, [1.0, 1.0, 0.0]), "holds 3 rows"),
    (lambda x, y: _native.fit_parameters([("var", 1)], [x], y, [1.0, 0.0]), "postfix"),
    (lambda x, y: _native.fit_parameters_batch([([X, P, _op("Mul")],)], [x], y), "fit job"),
    (lambda x, y: _native.fit_parameters_batch([([X, P, _op("Mul")], [1.0, 1.0, 0.0])], [x], y, linear_start=True),
     "1 inner parameters, not 3"),
])
def test_malformed_input_is_refused_with_an_error(call, message):
    x = np.linspace(0.0, 1.0, 10)
    with pytest.raises((ValueError, TypeError), match=message):
        call(x, 2.0 * x)


def test_unfittable_starts_are_refused_without_an_error():
    x = np.linspace(0.0, 1.0, 10)
    shape = [X, ("param", 0, 0.0), _op("Mul"), _op("Exp")]
    assert _native.fit_parameters(shape, [x], x, [float("nan"), 1.0, 0.0])[0] == "refused"
    assert _native.fit_parameters(shape, [x], x, [0.1, 1.0, 0.0], [False] * 3)[0] == "refused"
    assert _native.fit_parameters(shape, [x[:2]], x[:2], [0.1, 1.0, 0.0])[0] == "refused"  # 3 entries, 2 rows
    # exp(x + c0 + c1) with a scale: only scale·exp(c0 + c1) is determined.
    redundant = number_parameters([X, P, _op("Add"), P, _op("Add"), _op("Exp")])
    assert _native.fit_parameters(redundant, [x], np.exp(x), [0.3, 0.2, 1.0, 0.0])[0] == "undetermined"
    assert _parameter_fits.fit(redundant, [x], np.exp(x), np.array([0.3, 0.2, 1.0, 0.0])) is None
