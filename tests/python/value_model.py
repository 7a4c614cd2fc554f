"""Independent model of the tension arithmetic, written with the math module
(which calls the same C library as the extension), for bit-exact checks."""
import math
import struct

EXP_LIMIT = 709.78
LN_FLOOR = 1e-300
HALF_PI = 1.5707963267948966
TWO_PI = 6.283185307179586


def bits(value):
    return struct.unpack("<Q", struct.pack("<d", value))[0]


def same(a, b):
    """Equal bit for bit, any NaN matching any NaN."""
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b):
        return True
    return bits(a) == bits(b)


def c_exp(x):
    try:
        return math.exp(x)
    except OverflowError:
        return math.inf


def c_log(x):
    if x == 0.0:
        return -math.inf
    if x < 0.0:
        return math.nan
    return math.log(x)


def safe_exp(x):
    return c_exp(c_log(x)) if x > EXP_LIMIT else c_exp(x)


def guard(y):
    if y > 0 or math.isnan(y):
        return y
    return max(abs(y), LN_FLOOR)


def safe_ln(y):
    return c_log(guard(y))


def zor(x, y):
    return safe_exp(x) - safe_ln(y)


def nan_floor(v, floor):
    return v if v > floor else floor


def mirror_pulse(x, y):
    g = guard(y)
    return g, safe_exp(x) - c_log(g)


def c_sinh(x):
    try:
        return math.sinh(x)
    except OverflowError:
        return math.copysign(math.inf, x)


def c_cosh(x):
    try:
        return math.cosh(x)
    except OverflowError:
        return math.inf


def boost(x, y, phi, c):
    t = safe_exp(x)
    space = safe_ln(y)
    sh, ch = c_sinh(phi), c_cosh(phi)
    with_nan = _ieee_div(space, c)
    t2 = t * ch - with_nan * sh
    x2 = space * ch - (c * t) * sh
    clamped = x2 if math.isnan(x2) else min(max(x2, -709.0), 709.0)
    return c_log(nan_floor(t2, LN_FLOOR)), c_exp(clamped)


def _ieee_div(a, b):
    try:
        return a / b
    except ZeroDivisionError:
        if math.isnan(a) or a == 0.0:
            return math.nan
        return math.copysign(math.inf, a) * math.copysign(1.0, b)


def c_fmod(a, b):
    if math.isinf(a) or math.isnan(a):
        return math.nan
    return math.fmod(a, b)
