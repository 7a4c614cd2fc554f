"""The recovery benchmark's problems, their data and what counts as recovered.

Two suites, each a table of published laws from which the data are generated
here with fixed seeds:

- the exact suite: Nguyen problems (Uy et al. 2011) and Feynman equations
  that need no fitted constant (PROBLEMS); a model recovers a problem when its
  largest absolute error on fresh points is at most EXACT of the largest
  |target| there;
- the constants suite: Feynman equations (Udrescu & Tegmark 2020), most with
  numeric constants, on the published ranges (LAWS), with and without noise;
  a model is exact, accurate or a miss by `judge`.
"""

from __future__ import annotations

import math
import re
import zlib
from dataclasses import dataclass
from typing import Callable

import numpy as np

SEED = 20240611


def matches(name, selection):
    """True when `selection` is empty or one of its comma-separated terms starts
    at the beginning of a word of `name`: "I.12" selects Feynman I.12.1 and
    I.12.4, not III.12.43."""
    terms = [t.strip() for t in selection.split(",") if t.strip()]
    return not terms or any(re.search(r"(?:^|[\s-])" + re.escape(term), name) for term in terms)


# --- the exact suite ---------------------------------------------------------------

EXACT = 1e-10


@dataclass
class Problem:
    name: str
    formula: str  # as published, for the table
    ranges: list[tuple[float, float]]  # one (low, high) per variable
    samples: int
    target: Callable[..., np.ndarray]


def nguyen(index, formula, ranges, samples, target):
    return Problem(f"Nguyen-{index}", formula, ranges, samples, target)


def feynman(label, formula, ranges, target):
    return Problem(f"Feynman {label}", formula, ranges, 100, target)


PROBLEMS = [
    nguyen(1, "x³ + x² + x", [(-1, 1)], 20, lambda x: x**3 + x**2 + x),
    nguyen(2, "x⁴ + x³ + x² + x", [(-1, 1)], 20, lambda x: x**4 + x**3 + x**2 + x),
    nguyen(3, "x⁵ + x⁴ + x³ + x² + x", [(-1, 1)], 20, lambda x: x**5 + x**4 + x**3 + x**2 + x),
    nguyen(5, "sin(x²)·cos(x) − 1", [(-1, 1)], 20, lambda x: np.sin(x**2) * np.cos(x) - 1),
    nguyen(6, "sin(x) + sin(x + x²)", [(-1, 1)], 20, lambda x: np.sin(x) + np.sin(x + x**2)),
    nguyen(7, "ln(x + 1) + ln(x² + 1)", [(0, 2)], 20, lambda x: np.log(x + 1) + np.log(x**2 + 1)),
    nguyen(8, "√x", [(0, 4)], 20, lambda x: np.sqrt(x)),
    nguyen(9, "sin(x) + sin(y²)", [(-1, 1)] * 2, 100, lambda x, y: np.sin(x) + np.sin(y**2)),
    nguyen(10, "2·sin(x)·cos(y)", [(-1, 1)] * 2, 100, lambda x, y: 2 * np.sin(x) * np.cos(y)),
    nguyen(11, "x^y", [(0, 1)] * 2, 100, lambda x, y: x**y),
    nguyen(12, "x⁴ − x³ + y²/2 − y", [(-1, 1)] * 2, 100, lambda x, y: x**4 - x**3 + y**2 / 2 - y),
    feynman("I.14.3", "U = m·g·z", [(1, 5)] * 3, lambda m, g, z: m * g * z),
    feynman("I.34.8", "ω = q·v·B/p", [(1, 5)] * 4, lambda q, v, b, p: q * v * b / p),
    feynman("II.27.18", "u = ε·E²", [(1, 5)] * 2, lambda eps, e: eps * e**2),
    feynman("I.27.6", "f = 1/(1/d₁ + n/d₂)", [(1, 5)] * 3, lambda d1, d2, n: 1 / (1 / d1 + n / d2)),
    feynman("I.10.7", "m = m₀/√(1 − v²/c²)", [(1, 5), (1, 2), (3, 10)],
            lambda m0, v, c: m0 / np.sqrt(1 - v**2 / c**2)),
]




def sample(problem, count, rng):
    X = np.column_stack([rng.uniform(lo, hi, count) for lo, hi in problem.ranges])
    return X, problem.target(*X.T)


def exact_suite_data(problem):
    """Training and fresh points of an exact-suite problem, seeded by its place
    in PROBLEMS so that a filtered run sees the data of the full run."""
    rng = np.random.default_rng([SEED, PROBLEMS.index(problem)])
    X, y = sample(problem, problem.samples, rng)
    X_fresh, y_fresh = sample(problem, 1000, rng)
    return X, y, X_fresh, y_fresh


def relative_error(predicted, y):
    """Largest absolute error over the largest |target|; inf when undefined."""
    predicted = np.asarray(predicted, dtype=float)
    if predicted.ndim == 0:  # a constant model
        predicted = np.full(y.shape, float(predicted))
    if predicted.shape != y.shape or not np.all(np.isfinite(predicted)):
        return math.inf
    return float(np.max(np.abs(predicted - y))) / float(np.max(np.abs(y)))


# --- the constants suite -----------------------------------------------------------

TRAINING_POINTS = 200
FRESH_POINTS = 1000
NOISE_LEVELS = (0.0, 0.01)
EXACT_RELATIVE_RMSE = 1e-9
ACCURATE_R2 = 0.999
# The table's usual range, and a narrower one some equations use.
U5, U3 = (1.0, 5.0), (1.0, 3.0)


@dataclass(frozen=True)
class Law:
    label: str
    published: str  # the table's formula, in its Python notation
    variables: tuple[tuple[str, float, float], ...]  # name, low, high: the table's ranges
    target: Callable[..., np.ndarray]
    constant: bool = True  # False: no numeric constant beyond a sign

    @property
    def names(self):
        return tuple(name for name, _, _ in self.variables)


def make_law(label, published, variables, target, constant=True):
    """variables: "a b c" for U(1, 5) each, or a list of names and (name, low, high)."""
    if isinstance(variables, str):
        variables = variables.split()
    ranges = tuple((v, *U5) if isinstance(v, str) else (v[0], float(v[1]), float(v[2])) for v in variables)
    return Law(label, published, ranges, target, constant)


def ranged(names, bounds):
    return [(name, *bounds) for name in names.split()]


pi = np.pi
# From the FeynmanEquations table of the AI Feynman data set, in its order,
# with its variable names and ranges (U(1, 5) unless given).
LAWS = [
    make_law("I.6.2a", "exp(-theta**2/2)/sqrt(2*pi)", ranged("theta", U3),
        lambda theta: np.exp(-theta**2 / 2) / np.sqrt(2 * pi)),
    make_law("I.6.2", "exp(-(theta/sigma)**2/2)/(sqrt(2*pi)*sigma)", ranged("sigma theta", U3),
        lambda sigma, theta: np.exp(-((theta / sigma) ** 2) / 2) / (np.sqrt(2 * pi) * sigma)),
    make_law("I.12.1", "mu*Nn", "mu Nn", lambda mu, n: mu * n, constant=False),
    make_law("I.12.2", "q1*q2*r/(4*pi*epsilon*r**3)", "q1 q2 epsilon r",
        lambda q1, q2, eps, r: q1 * q2 / (4 * pi * eps * r**2)),
    make_law("I.12.4", "q1*r/(4*pi*epsilon*r**3)", "q1 epsilon r", lambda q1, eps, r: q1 / (4 * pi * eps * r**2)),
    make_law("I.13.4", "1/2*m*(v**2+u**2+w**2)", "m v u w", lambda m, v, u, w: m * (v**2 + u**2 + w**2) / 2),
    make_law("I.14.4", "1/2*k_spring*x**2", "k_spring x", lambda k, x: k * x**2 / 2),
    make_law("I.18.4", "(m1*r1+m2*r2)/(m1+m2)", "m1 m2 r1 r2",
        lambda m1, m2, r1, r2: (m1 * r1 + m2 * r2) / (m1 + m2), constant=False),
    make_law("I.24.6", "1/2*m*(omega**2+omega_0**2)*1/2*x**2", ranged("m omega omega_0 x", U3),
        lambda m, w, w0, x: m * (w**2 + w0**2) * x**2 / 4),
    make_law("I.25.13", "q/C", "q C", lambda q, c: q / c, constant=False),
    make_law("I.29.4", "omega/c", ranged("omega c", (1, 10)), lambda w, c: w / c, constant=False),
    make_law("I.29.16", "sqrt(x1**2+x2**2-2*x1*x2*cos(theta1-theta2))", "x1 x2 theta1 theta2",
        lambda x1, x2, t1, t2: np.sqrt(x1**2 + x2**2 - 2 * x1 * x2 * np.cos(t1 - t2))),
    make_law("I.30.3", "Int_0*sin(n*theta/2)**2/sin(theta/2)**2", "Int_0 theta n",
        lambda i0, theta, n: i0 * np.sin(n * theta / 2) ** 2 / np.sin(theta / 2) ** 2),
    make_law("I.32.5", "q**2*a**2/(6*pi*epsilon*c**3)", "q a epsilon c",
        lambda q, a, eps, c: q**2 * a**2 / (6 * pi * eps * c**3)),
    make_law("I.34.27", "(h/(2*pi))*omega", "omega h", lambda w, h: h * w / (2 * pi)),
    make_law("I.37.4", "I1+I2+2*sqrt(I1*I2)*cos(delta)", "I1 I2 delta",
        lambda i1, i2, d: i1 + i2 + 2 * np.sqrt(i1 * i2) * np.cos(d)),
    make_law("I.38.12", "4*pi*epsilon*(h/(2*pi))**2/(m*q**2)", "m q h epsilon",
        lambda m, q, h, eps: eps * h**2 / (pi * m * q**2)),
    make_law("I.39.1", "3/2*pr*V", "pr V", lambda p, v: 1.5 * p * v),
    make_law("I.39.11", "1/(gamma-1)*pr*V", [("gamma", 2, 5), "pr", "V"], lambda g, p, v: p * v / (g - 1)),
    make_law("I.39.22", "n*kb*T/V", "n T V kb", lambda n, t, v, k: n * k * t / v, constant=False),
    make_law("I.43.31", "mob*kb*T", "mob T kb", lambda mob, t, k: mob * k * t, constant=False),
    make_law("I.43.43", "1/(gamma-1)*kb*v/A", [("gamma", 2, 5), "kb", "A", "v"],
        lambda g, k, a, v: k * v / ((g - 1) * a)),
    make_law("I.47.23", "sqrt(gamma*pr/rho)", "gamma pr rho", lambda g, p, rho: np.sqrt(g * p / rho), constant=False),
    make_law("II.2.42", "kappa*(T2-T1)*A/d", "kappa T1 T2 A d",
        lambda kappa, t1, t2, a, d: kappa * (t2 - t1) * a / d, constant=False),
    make_law("II.3.24", "Pwr/(4*pi*r**2)", "Pwr r", lambda p, r: p / (4 * pi * r**2)),
    make_law("II.4.23", "q/(4*pi*epsilon*r)", "q epsilon r", lambda q, eps, r: q / (4 * pi * eps * r)),
    make_law("II.6.11", "1/(4*pi*epsilon)*p_d*cos(theta)/r**2", ranged("epsilon p_d theta r", U3),
        lambda eps, p, theta, r: p * np.cos(theta) / (4 * pi * eps * r**2)),
    make_law("II.6.15b", "p_d/(4*pi*epsilon)*3*cos(theta)*sin(theta)/r**3", ranged("epsilon p_d theta r", U3),
        lambda eps, p, theta, r: 3 * p * np.cos(theta) * np.sin(theta) / (4 * pi * eps * r**3)),
    make_law("II.8.7", "3/5*q**2/(4*pi*epsilon*d)", "q epsilon d", lambda q, eps, d: 3 * q**2 / (20 * pi * eps * d)),
    make_law("II.8.31", "epsilon*Ef**2/2", "epsilon Ef", lambda eps, e: eps * e**2 / 2),
    make_law("II.10.9", "sigma_den/epsilon*1/(1+chi)", "sigma_den epsilon chi",
        lambda sigma, eps, chi: sigma / (eps * (1 + chi))),
    make_law("II.11.20", "n_rho*p_d**2*Ef/(3*kb*T)", "n_rho p_d Ef kb T",
        lambda n, p, e, k, t: n * p**2 * e / (3 * k * t)),
    make_law("II.11.28", "1+n*alpha/(1-(n*alpha/3))", ranged("n alpha", (0, 1)),
        lambda n, alpha: 1 + n * alpha / (1 - n * alpha / 3)),
    make_law("II.13.17", "1/(4*pi*epsilon*c**2)*2*I/r", "epsilon c I r",
        lambda eps, c, i, r: i / (2 * pi * eps * c**2 * r)),
    make_law("II.15.4", "-mom*B*cos(theta)", "mom B theta", lambda mom, b, theta: -mom * b * np.cos(theta)),
    make_law("II.21.32", "q/(4*pi*epsilon*r*(1-v/c))", ["q", "epsilon", "r", ("v", 1, 2), ("c", 3, 10)],
        lambda q, eps, r, v, c: q / (4 * pi * eps * r * (1 - v / c))),
    make_law("II.24.17", "sqrt(omega**2/c**2-pi**2/d**2)", [("omega", 4, 6), ("c", 1, 2), ("d", 2, 4)],
        lambda w, c, d: np.sqrt(w**2 / c**2 - pi**2 / d**2)),
    make_law("II.27.16", "epsilon*c*Ef**2", "epsilon c Ef", lambda eps, c, e: eps * c * e**2, constant=False),
    make_law("II.34.2a", "q*v/(2*pi*r)", "q v r", lambda q, v, r: q * v / (2 * pi * r)),
    make_law("II.34.2", "q*v*r/2", "q v r", lambda q, v, r: q * v * r / 2),
    make_law("II.34.11", "g_*q*B/(2*m)", "g_ q B m", lambda g, q, b, m: g * q * b / (2 * m)),
    make_law("II.34.29a", "q*h/(4*pi*m)", "q h m", lambda q, h, m: q * h / (4 * pi * m)),
    make_law("II.34.29b", "g_*mom*B*Jz/(h/(2*pi))", "g_ h Jz mom B",
        lambda g, h, jz, mom, b: 2 * pi * g * mom * b * jz / h),
    make_law("II.38.3", "Y*A*x/d", "Y A d x", lambda y, a, d, x: y * a * x / d, constant=False),
    make_law("II.38.14", "Y/(2*(1+sigma))", "Y sigma", lambda y, sigma: y / (2 * (1 + sigma))),
    make_law("III.4.33", "(h/(2*pi))*omega/(exp((h/(2*pi))*omega/(kb*T))-1)", "h omega kb T",
        lambda h, w, k, t: h * w / (2 * pi) / np.expm1(h * w / (2 * pi * k * t))),
    make_law("III.7.38", "2*mom*B/(h/(2*pi))", "mom B h", lambda mom, b, h: 4 * pi * mom * b / h),
    make_law("III.12.43", "n*(h/(2*pi))", "n h", lambda n, h: n * h / (2 * pi)),
    make_law("III.13.18", "2*E_n*d**2*k/(h/(2*pi))", "E_n d k h", lambda e, d, k, h: 4 * pi * e * d**2 * k / h),
    make_law("III.15.12", "2*U*(1-cos(k*d))", "U k d", lambda u, k, d: 2 * u * (1 - np.cos(k * d))),
    make_law("III.15.14", "(h/(2*pi))**2/(2*E_n*d**2)", "h E_n d", lambda h, e, d: h**2 / (8 * pi**2 * e * d**2)),
    make_law("III.15.27", "2*pi*alpha/(n*d)", "alpha n d", lambda alpha, n, d: 2 * pi * alpha / (n * d)),
    make_law("III.17.37", "beta*(1+alpha*cos(theta))", "beta alpha theta",
        lambda beta, alpha, theta: beta * (1 + alpha * np.cos(theta))),
]
LAWS_BY_LABEL = {entry.label: entry for entry in LAWS}


def draw(variables, count, rng):
    return np.column_stack([rng.uniform(low, high, count) for _, low, high in variables])


def rms(values):
    return float(np.sqrt(np.mean(np.square(values))))


def law_data(law, noise):
    """Training points (with Gaussian noise of `noise` x the target's RMS) and
    fresh noiseless points. The streams are seeded by the label, so every tool
    and noise level sees the same points and a filtered run those of a full run."""
    key = zlib.crc32(law.label.encode())
    points, noise_stream, fresh = (np.random.default_rng([SEED, key, k]) for k in range(3))
    X = draw(law.variables, TRAINING_POINTS, points)
    y = law.target(*X.T)
    if noise:
        y = y + noise_stream.normal(0.0, noise * rms(y), y.shape)
    X_fresh = draw(law.variables, FRESH_POINTS, fresh)
    return X, y, X_fresh, law.target(*X_fresh.T)


def judge(predicted, y):
    """(verdict, relative RMSE, R^2) of a model's values on the fresh points:
    "exact" within EXACT_RELATIVE_RMSE, "accurate" from ACCURATE_R2, else "miss"."""
    predicted = np.asarray(predicted, dtype=float)
    if predicted.ndim == 0:  # a constant model
        predicted = np.full(y.shape, float(predicted))
    if predicted.shape != y.shape or not np.all(np.isfinite(predicted)):
        return "miss", math.inf, -math.inf
    residual = float(np.sum((predicted - y) ** 2))
    relative = math.sqrt(residual / len(y)) / rms(y)
    r2 = 1.0 - residual / float(np.sum((y - np.mean(y)) ** 2))
    verdict = "exact" if relative <= EXACT_RELATIVE_RMSE else "accurate" if r2 >= ACCURATE_R2 else "miss"
    return verdict, relative, r2
