# Type information for the zor_core extension module. Every doc string below
# is the module's own (the tests compare them with the runtime objects);
# comments say what the argument converters accept.

from typing import Iterator, Protocol, Self, SupportsFloat, SupportsIndex, TypeAlias, TypeVar, final, type_check_only

__all__ = [
    "ZORPoint",
    "ZORPair",
    "ZORKnot",
    "schrodinger_step_n",
    "rotate_phase_n",
    "simulate_pulses_n",
    "boost_n",
    "exp_n",
    "ln_n",
    "add_n",
    "sub_n",
    "mul_n",
    "div_n",
    "sqrt_n",
    "sin_n",
    "cos_n",
    "tension_n",
    "pow_n",
    "christoffel_batch_n",
    "octonion_mul_n",
    "geometric_product_n",
    "PySearchResult",
    "find_formula",
]

_T_co = TypeVar("_T_co", covariant=True)

# A float argument: a float, an int or bool, or any object with __float__ or
# __index__ (the converter goes through PyFloat_AsDouble).
_Real: TypeAlias = SupportsFloat | SupportsIndex

@type_check_only
class _SequenceOf(Protocol[_T_co]):
    # List arguments accept any sequence that is not a str: lists, tuples,
    # ranges, NumPy arrays. Items are read by iteration.
    def __getitem__(self, index: int, /) -> _T_co: ...
    def __iter__(self) -> Iterator[_T_co]: ...

_Floats: TypeAlias = _SequenceOf[_Real]
# A pair is a 2-tuple exactly; a list of two numbers is refused at run time.
_PairIn: TypeAlias = tuple[_Real, _Real]
_PairOut: TypeAlias = tuple[float, float]

@final
class ZORPoint:
    def __new__(cls, x: _Real, y: _Real) -> Self: ...
    @property
    def x(self) -> float: ...
    @property
    def y(self) -> float: ...
    def tension(self) -> float: ...
    def zor(self) -> float:
        """Alias for tension() — zor(x, y) = exp(x) - ln(y)."""
    def mirror_pulse(self) -> ZORPoint: ...
    def pulse(self) -> ZORPoint:
        """Alias for mirror_pulse()."""
    def frame_shift(self) -> ZORPoint: ...
    def is_slipping(self) -> bool: ...
    def conserves_tension(self, next: ZORPoint, tol: _Real) -> bool: ...
    def pair(self) -> ZORPair:
        """Returns (exp(x), ln(|y|)) as an ZORPair — canonical frame coordinates."""
    def euclidean_delta(self) -> float:
        """Euclidean delta: sqrt(exp(2x) + (ln y)^2)."""
    # plus_signature must be a real bool: 1 and 0 are refused.
    def minkowski_delta(self, plus_signature: bool, c: _Real) -> float:
        """Minkowski interval sqrt(|exp(2x) - (c*ln y)^2|).
        plus_signature=true means (+---): time-like when exp(2x) > (c*ln y)^2."""
    def boost(self, phi: _Real, c: _Real) -> ZORPoint:
        """Lorentz boost by rapidity phi. Returns new ZORPoint with identical Δ_M.
        Boost: t' = t*cosh(phi) - (x/c)*sinh(phi), x' = x*cosh(phi) - t*c*sinh(phi)
        where t = exp(x_coord), x = ln(y_coord)."""

@final
class ZORPair:
    def __new__(cls, real: _Real, imag: _Real) -> Self: ...
    @staticmethod
    def from_values(real: _Real, imag: _Real) -> ZORPair: ...
    @staticmethod
    def from_polar(r: _Real, theta: _Real) -> ZORPair: ...
    @staticmethod
    def unit_i() -> ZORPair: ...
    @staticmethod
    def one() -> ZORPair: ...
    @staticmethod
    def zero() -> ZORPair: ...
    @property
    def real(self) -> float: ...
    @property
    def imag(self) -> float: ...
    @property
    def real_tension(self) -> float: ...
    @property
    def imag_tension(self) -> float: ...
    @property
    def modulus(self) -> float: ...
    @property
    def argument(self) -> float: ...
    def rotate_phase(self, angle: _Real) -> ZORPair: ...
    def conjugate(self) -> ZORPair: ...
    def __abs__(self) -> float: ...
    # Arithmetic only between two pairs; a number on either side is a TypeError.
    def __add__(self, other: ZORPair, /) -> ZORPair: ...
    def __radd__(self, other: ZORPair, /) -> ZORPair: ...
    def __sub__(self, other: ZORPair, /) -> ZORPair: ...
    def __rsub__(self, other: ZORPair, /) -> ZORPair: ...
    def __mul__(self, other: ZORPair, /) -> ZORPair: ...
    def __rmul__(self, other: ZORPair, /) -> ZORPair: ...
    def __truediv__(self, other: ZORPair, /) -> ZORPair: ...
    def __rtruediv__(self, other: ZORPair, /) -> ZORPair: ...
    # Equal within 1e-9 per component; anything that is not a pair is unequal.
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    __hash__: None  # type: ignore[assignment]

@final
class ZORKnot:
    # n is a signed 64-bit int (a float is refused); theta is reduced modulo 2π.
    def __new__(cls, point: ZORPoint, n: SupportsIndex = 0, theta: _Real = 0.0) -> Self: ...
    @property
    def point(self) -> ZORPoint: ...
    @property
    def flip_count(self) -> int: ...
    @property
    def phase(self) -> float: ...
    @property
    def rho(self) -> float: ...
    def mirror_pulse(self) -> ZORKnot: ...
    def pulse(self) -> ZORKnot:
        """Alias for mirror_pulse()."""
    def three_one_flip(self) -> ZORKnot: ...
    def flip(self) -> ZORKnot:
        """Alias for three_one_flip()."""
    def tread_yield(self) -> int: ...

def schrodinger_step_n(psi: _SequenceOf[_PairIn], v: _Floats, dt: _Real, hbar: _Real) -> list[_PairOut]:
    """Batch Schrödinger potential-phase step: ψ_n → e^{-iV_n·dt/ħ}·ψ_n for all n.
    Returns list of (real, imag) tuples."""

def rotate_phase_n(pairs: _SequenceOf[_PairIn], angles: _Floats) -> list[_PairOut]:
    """Batch rotate_phase for a list of ZORPairs."""

def simulate_pulses_n(x0: _Real, y0: _Real, n_pulses: SupportsIndex) -> list[tuple[float, float, float]]:
    """Simulate n_pulses of mirror_pulse, returning (x, y, tension) per step."""

def boost_n(points: _SequenceOf[_PairIn], phis: _Floats, c: _Real) -> list[_PairOut]:
    """Batch Lorentz boost: apply boost(phi_i, c) to each (x_i, y_i) point in parallel.
    Returns Vec of (x', y') tuples."""

def exp_n(xs: _Floats) -> list[float]:
    """Batch exp: [exp(x) for x in xs] — Rayon parallel."""

def ln_n(ys: _Floats) -> list[float]:
    """Batch ln: [ln(y) for y in ys] — Rayon parallel, frame-shift guard applied."""

def add_n(as_: _Floats, bs: _Floats) -> list[float]:
    """Batch add: [a + b for (a, b) in zip(as_, bs)] — Rayon parallel."""

def sub_n(as_: _Floats, bs: _Floats) -> list[float]:
    """Batch sub: [a - b for (a, b) in zip(as_, bs)] — Rayon parallel."""

def mul_n(as_: _Floats, bs: _Floats) -> list[float]:
    """Batch mul: [a * b for (a, b) in zip(as_, bs)] — Rayon parallel."""

def div_n(as_: _Floats, bs: _Floats) -> list[float]:
    """Batch div: [a / b] — NaN for |b| < 1e-300 — Rayon parallel."""

def sqrt_n(xs: _Floats) -> list[float]:
    """Batch sqrt: [sqrt(|x|) for x in xs] — Rayon parallel."""

def sin_n(xs: _Floats) -> list[float]:
    """Batch sin: [sin(x) for x in xs] — Rayon parallel."""

def cos_n(xs: _Floats) -> list[float]:
    """Batch cos: [cos(x) for x in xs] — Rayon parallel."""

def tension_n(xs: _Floats, ys: _Floats) -> list[float]:
    """Batch zor_tension: [zor(x, y) for (x, y) in zip(xs, ys)] — Rayon parallel."""

def pow_n(bases: _Floats, exps: _Floats) -> list[float]:
    """Batch pow: [|base|^exp for (base, exp) in zip(bases, exps)] — Rayon parallel."""

# lam, mu, nu are non-negative ints: 0 is t, 1 is r.
def christoffel_batch_n(
    points: _SequenceOf[_PairIn], lam: SupportsIndex, mu: SupportsIndex, nu: SupportsIndex, rs: _Real
) -> list[float]:
    """Batch Schwarzschild Christoffel evaluation.
    points: Vec of (x, _) where r = exp(x).
    Returns Vec of Γ^lam_{mu nu} values for each point."""

# Each octonion is a sequence of exactly eight numbers.
def octonion_mul_n(a_batch: _SequenceOf[_Floats], b_batch: _SequenceOf[_Floats]) -> list[list[float]]:
    """Batch octonion multiplication (Rayon parallel).
    a_batch, b_batch: each is a Vec of 8-element float lists.
    Returns Vec of 8-element results."""

# signature entries are ints in -128..127.
def geometric_product_n(
    a_batch: _SequenceOf[_Floats], b_batch: _SequenceOf[_Floats], signature: _SequenceOf[SupportsIndex]
) -> list[list[float]]:
    """Batch geometric product (Rayon parallel).
    a_batch, b_batch: each is a Vec of flat coefficient arrays.
    signature: +1/-1 per basis vector (length n, algebra dimension = 2^n).
    Returns Vec of result coefficient arrays."""

@final
class PySearchResult:
    """Python-facing formula discovery result."""

    # Instances come only from find_formula: PySearchResult() raises TypeError.
    @property
    def formula(self) -> str: ...
    @property
    def error(self) -> float: ...
    @property
    def complexity(self) -> int: ...
    @property
    def params(self) -> list[float]: ...
    def to_latex(self) -> str: ...
    def to_python(self) -> str: ...

# x_data is a sequence of columns, one per variable, never a flat list; the
# flags must be real bools (or NumPy bools). None when nothing could be scored.
def find_formula(
    x_data: _SequenceOf[_Floats],
    y_data: _Floats,
    max_complexity: SupportsIndex = 8,
    beam_width: SupportsIndex = 2000,
    precision_goal: _Real = 1e-10,
    use_trig: bool = True,
    use_zor: bool = True,
    complexity_penalty: _Real = 0.001,
) -> PySearchResult | None:
    """Find a formula fitting x_data → y_data.
    x_data: list of column vectors (one per variable), or a single 1D list for univariate.
    y_data: target values (1D list)."""
