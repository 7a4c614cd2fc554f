"""Reference model of the batch kernels, written from the formulas with
Python's math module (which calls the same C library), plus helpers to compare
floats bit for bit and to run snippets in a fresh interpreter.

The math module raises where the C functions return an IEEE value (overflow,
0 ** -1, sin(inf), ...); the c_* wrappers below turn those cases back into the
value the C function returns, so the model never raises.
"""

from __future__ import annotations

import math
import os
import struct
import subprocess
import sys
from collections.abc import Sequence

INF = math.inf
NAN = math.nan
EXP_LIMIT = 709.78
LN_FLOOR = 1e-300
LN_OF_FLOOR = math.log(1e-300)  # -690.7755278982137
QUIET_NAN_BITS = 0x7FF8000000000000


# --- bit-level comparison ---------------------------------------------------


def bits(x: float) -> int:
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def from_bits(b: int) -> float:
    return struct.unpack("<d", struct.pack("<Q", b))[0]


def same(a: float, b: float) -> bool:
    """Identical doubles; every NaN equals every NaN (payloads may differ)."""
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return bits(a) == bits(b)


def assert_same(got, expected, where=""):
    """Recursively compares floats (bit-exact, NaN-aware), tuples and lists.
    Containers must also have the same type (list vs tuple)."""
    if isinstance(expected, float):
        assert type(got) is float, f"{where}: expected float, got {type(got).__name__}"
        assert same(got, expected), f"{where}: got {got!r} ({bits(got):#018x}), expected {expected!r} ({bits(expected):#018x})"
        return
    assert type(got) is type(expected), f"{where}: got {type(got).__name__}, expected {type(expected).__name__}"
    assert len(got) == len(expected), f"{where}: length {len(got)} != {len(expected)}"
    for i, (g, e) in enumerate(zip(got, expected)):
        assert_same(g, e, f"{where}[{i}]")


def exact_bits(value) -> object:
    """Nested structure with every float replaced by its raw bit pattern, for
    comparisons where NaN payloads must match too."""
    if isinstance(value, float):
        return bits(value)
    return type(value)(exact_bits(v) for v in value)


# --- C library with IEEE results instead of Python exceptions ---------------


def c_exp(x: float) -> float:
    try:
        return math.exp(x)
    except OverflowError:
        return INF


def c_log(x: float) -> float:
    if x == 0.0:
        return -INF
    if x < 0.0:
        return NAN
    return math.log(x)


def c_sin(x: float) -> float:
    return NAN if math.isinf(x) else math.sin(x)


def c_cos(x: float) -> float:
    return NAN if math.isinf(x) else math.cos(x)


def c_sinh(x: float) -> float:
    try:
        return math.sinh(x)
    except OverflowError:
        return math.copysign(INF, x)


def c_cosh(x: float) -> float:
    try:
        return math.cosh(x)
    except OverflowError:
        return INF


def c_pow(x: float, y: float) -> float:
    """pow for x >= +0 (the kernels pass |base|)."""
    try:
        return math.pow(x, y)
    except ValueError:  # 0 ** negative: a pole, +inf for a +0 base
        return INF
    except OverflowError:
        return INF


def fdiv(a: float, b: float) -> float:
    """IEEE division (Python raises on a zero divisor)."""
    if b == 0.0:
        if a == 0.0 or math.isnan(a) or math.isnan(b):
            return NAN
        return math.copysign(INF, math.copysign(1.0, a) * math.copysign(1.0, b))
    return a / b


# --- the guards of the zor operator -----------------------------------------


def safe_exp(x: float) -> float:
    return c_exp(c_log(x)) if x > EXP_LIMIT else c_exp(x)


def frame_guard(y: float) -> float:
    if y > 0.0 or math.isnan(y):
        return y
    return max(abs(y), LN_FLOOR)


def safe_ln(y: float) -> float:
    return c_log(frame_guard(y))


def zor(x: float, y: float) -> float:
    e = safe_exp(x)
    ln = safe_ln(y)
    return e - ln


# --- scalar kernels ---------------------------------------------------------


def div(a: float, b: float) -> float:
    return from_bits(QUIET_NAN_BITS) if abs(b) < LN_FLOOR else fdiv(a, b)


UNARY = {
    "exp_n": safe_exp,
    "ln_n": safe_ln,
    "sqrt_n": lambda x: math.sqrt(abs(x)),
    "sin_n": c_sin,
    "cos_n": c_cos,
}

BINARY = {
    "add_n": lambda a, b: a + b,
    "sub_n": lambda a, b: a - b,
    "mul_n": lambda a, b: a * b,
    "div_n": div,
    "tension_n": zor,
    "pow_n": lambda a, b: c_pow(abs(a), b),
}


def unary(name: str, xs) -> list:
    return [UNARY[name](x) for x in xs]


def binary(name: str, xs, ys) -> list:
    return [BINARY[name](a, b) for a, b in zip(xs, ys)]


# --- relativity -------------------------------------------------------------


def boost(x: float, y: float, phi: float, c: float) -> tuple:
    t = safe_exp(x)
    space = safe_ln(y)
    ch = c_cosh(phi)
    sh = c_sinh(phi)
    space_b = space * ch - (c * t) * sh
    t_b = t * ch - fdiv(space, c) * sh
    floored = t_b if t_b > LN_FLOOR else LN_FLOOR  # NaN takes the floor
    if not math.isnan(space_b):
        space_b = min(max(space_b, -709.0), 709.0)
    return (c_log(floored), c_exp(space_b))


def boost_n(points, phis, c) -> list:
    return [boost(p[0], p[1], phi, c) for p, phi in zip(points, phis)]


def christoffel(x: float, lam: int, mu: int, nu: int, rs: float) -> float:
    r = safe_exp(x)
    lifted = rs + 1e-9
    if math.isnan(r):
        r = lifted
    elif not math.isnan(lifted):
        r = max(r, lifted)
    if r <= 0.0 or rs >= r:
        return 0.0
    if lam == 0 and (mu, nu) in ((0, 1), (1, 0)):
        return fdiv(rs, (r - rs) * (r + r))
    if lam == 1 and (mu, nu) == (0, 0):
        return fdiv((1.0 - fdiv(rs, r)) * rs, (r + r) * r)
    if lam == 1 and (mu, nu) == (1, 1):
        return fdiv(-rs, (r - rs) * (r + r))
    return 0.0


def christoffel_n(points, lam, mu, nu, rs) -> list:
    return [christoffel(p[0], lam, mu, nu, rs) for p in points]


# --- hypercomplex products --------------------------------------------------


def _octonion_table():
    """e_i * e_j as (sign, index), generated from e_a e_b = e_c for the seven
    triples (i, i+1, i+3) of imaginary units taken cyclically in 1..7."""
    table = [[None] * 8 for _ in range(8)]
    for i in range(8):
        table[0][i] = (1.0, i)
        table[i][0] = (1.0, i)
    for i in range(1, 8):
        table[i][i] = (-1.0, 0)
    for i in range(1, 8):
        a, b, c = i, (i % 7) + 1, ((i + 2) % 7) + 1
        for p, q, r in ((a, b, c), (b, c, a), (c, a, b)):
            table[p][q] = (1.0, r)
            table[q][p] = (-1.0, r)
    assert all(entry is not None for row in table for entry in row)
    return table


OCTONION_TABLE = _octonion_table()


def octonion_mul(a, b) -> list:
    out = [0.0] * 8
    for i in range(8):
        if a[i] == 0.0:
            continue
        for j in range(8):
            if b[j] == 0.0:
                continue
            s, k = OCTONION_TABLE[i][j]
            out[k] = (s * a[i]) * b[j] + out[k]
    return out


class IndexFault(Exception):
    """Stands for the native index fault; its text is the expected message."""


def _fault(length: int, index: int):
    raise IndexFault(f"index out of bounds: the len is {length} but the index is {index}")


def geometric_product(a, b, signature) -> list:
    m = len(a)
    out = [0.0] * m
    for i in range(m):
        if a[i] == 0.0:
            continue
        for j in range(m):
            if j >= len(b):
                _fault(len(b), j)
            if b[j] == 0.0:
                continue
            sigma = 1.0
            for p in range(j.bit_length()):
                if not (j >> p) & 1:
                    continue
                if bin(i >> (p + 1)).count("1") % 2 == 1:
                    sigma = -sigma
                if (i >> p) & 1:
                    if p >= len(signature):
                        _fault(len(signature), p)
                    sigma = sigma * float(signature[p])
            k = i ^ j
            if k >= m:
                _fault(m, k)
            out[k] = b[j] * (sigma * a[i]) + out[k]
    return out


# --- value types ------------------------------------------------------------

HALF_PI = 1.5707963267948966
TWO_PI = 6.283185307179586


def nan_floor(v: float, floor: float) -> float:
    """max(v, floor) where a NaN v gives the floor."""
    return v if v > floor else floor


def mirror_pulse(x: float, y: float) -> tuple:
    g = frame_guard(y)
    return g, safe_exp(x) - c_log(g)


def c_fmod(a: float, b: float) -> float:
    if math.isinf(a) or math.isnan(a):
        return NAN
    return math.fmod(a, b)


# --- pair and simulation kernels --------------------------------------------


def rotate(re: float, im: float, angle: float) -> tuple:
    c = c_cos(angle)
    s = c_sin(angle)
    return (c * re - s * im, c * im + s * re)


def rotate_phase_n(pairs, angles) -> list:
    return [rotate(p[0], p[1], a) for p, a in zip(pairs, angles)]


def schrodinger_step_n(psi, v, dt, hbar) -> list:
    return [rotate(p[0], p[1], fdiv((-vi) * dt, hbar)) for p, vi in zip(psi, v)]


def simulate_pulses_n(x0: float, y0: float, n: int) -> list:
    out = [(x0, y0, zor(x0, y0))]
    x, y = x0, y0
    for _ in range(n):
        x, y = mirror_pulse(x, y)
        out.append((x, y, zor(x, y)))
    return out


# --- inputs -----------------------------------------------------------------

# Values on and around every guard, plus the IEEE specials.
SPECIAL = [
    0.0, -0.0, 1.0, -1.0, 2.0, -2.0, 0.5, INF, -INF, NAN, -NAN,
    EXP_LIMIT, math.nextafter(EXP_LIMIT, INF), math.nextafter(EXP_LIMIT, 0.0), 710.0, 1000.0, -745.2, -800.0,
    LN_FLOOR, -LN_FLOOR, 1e-301, -1e-301, math.nextafter(LN_FLOOR, 0.0), -math.nextafter(LN_FLOOR, 0.0),
    5e-324, -5e-324, 1e-320, -1e-320, 2.2250738585072014e-308, 1.7976931348622157e308, -1.7976931348622157e308,
    math.pi, -math.pi, math.pi / 2, 1e22, -1e22, 3e7, 16777216.0, 0.1, -0.1,
]


class Lying(Sequence):
    """A sequence whose __len__ claims `claimed` items while iteration yields
    the real ones."""

    def __init__(self, items, claimed=10**12):
        self._items = list(items)
        self._claimed = claimed

    def __len__(self):
        if isinstance(self._claimed, BaseException):
            raise self._claimed
        return self._claimed

    def __getitem__(self, i):
        return self._items[i]

    def __iter__(self):
        return iter(self._items)


class IterOnly(Sequence):
    """Forwards len() and iteration to another object: the generic sequence
    route for inputs that a converter might otherwise read as a buffer."""

    def __init__(self, inner):
        self._inner = inner

    def __len__(self):
        return len(self._inner)

    def __getitem__(self, i):
        return self._inner[i]

    def __iter__(self):
        return iter(self._inner)


# --- subprocesses -----------------------------------------------------------


def run_python(code: str, env_updates=None, timeout=60):
    """Runs `code` in a fresh interpreter that imports the same zor_core as
    this process. Entries of env_updates set to None are removed."""
    import zor_core

    env = dict(os.environ)
    path = os.path.dirname(os.path.abspath(zor_core.__file__))
    env["PYTHONPATH"] = os.pathsep.join([path, os.path.dirname(os.path.abspath(__file__)), env.get("PYTHONPATH", "")])
    for key in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"):
        env.pop(key, None)
    for key, value in (env_updates or {}).items():
        if value is None:
            env.pop(key, None)
        else:
            env[key] = value
    return subprocess.run(
        [sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=timeout
    )
