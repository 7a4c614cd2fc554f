"""Hostile arguments and the table of every module function, constructor and
method with valid arguments; shared by the hostile-input tests and the soak
run (tests/soak.py)."""

import array
import sys

import numpy as np

import zor_core as z


class HostileError(Exception):
    """Raised by the hostile objects themselves."""


def fail(*_):
    raise HostileError("hostile")


def hostile_class(name, **methods):
    return type(name, (), methods)


FloatRaises = hostile_class("FloatRaises", __float__=fail)
FloatGivesStr = hostile_class("FloatGivesStr", __float__=lambda self: "1.0")
IndexRaises = hostile_class("IndexRaises", __index__=fail)
IndexHuge = hostile_class("IndexHuge", __index__=lambda self: 10**40)
IndexNegative = hostile_class("IndexNegative", __index__=lambda self: -1)
BoolRaises = hostile_class("BoolRaises", __bool__=fail)
# Sequences: __getitem__ and __len__ make PySequence_Check true.
_items = [0.25, 0.5, 0.75, 1.0, 1.25, 1.5, 1.75, 2.0]
LenRaises = hostile_class("LenRaises", __len__=fail, __getitem__=lambda self, i: _items[i])
LenHuge = hostile_class("LenHuge", __len__=lambda self: sys.maxsize, __getitem__=lambda self, i: _items[i])
LenNegative = hostile_class("LenNegative", __len__=lambda self: -1, __getitem__=lambda self, i: _items[i])
LenOverflows = hostile_class("LenOverflows", __len__=lambda self: 10**30, __getitem__=lambda self, i: _items[i])
LenLiesLong = hostile_class("LenLiesLong", __len__=lambda self: 8, __getitem__=lambda self, i: [1.0, 2.0][i])
IterRaises = hostile_class("IterRaises", __len__=lambda self: 3, __getitem__=fail, __iter__=fail)
IterRaisesLater = hostile_class("IterRaisesLater", __len__=lambda self: 3, __getitem__=fail,
                                __iter__=lambda self: (fail() if i == 2 else 1.0 for i in range(3)))
IterNotIterator = hostile_class("IterNotIterator", __len__=lambda self: 1, __getitem__=fail,
                                __iter__=lambda self: 5)
GetitemRaises = hostile_class("GetitemRaises", __len__=lambda self: 8, __getitem__=fail,
                              __iter__=lambda self: iter(_items))


class Mutator:
    """A number that changes the list holding it while it is converted."""

    def __init__(self, action):
        self.action = action
        self.holder = None

    def __float__(self):
        self.action(self.holder)
        return 1.0

    __index__ = lambda self: int(self.__float__())  # noqa: E731


def mutating(action):
    def make():
        holder = [0.5, 1.5, 2.5]
        m = Mutator(action)
        holder.insert(1, m)
        m.holder = holder
        return holder

    return make


def _grow(holder):
    holder.extend([3.0] * 100)


MUTATING = [mutating(list.clear), mutating(_grow), mutating(lambda h: h.reverse()),
            mutating(lambda h: h.__setitem__(slice(None), [(1.0, 2.0)] * 9))]

LEAVES = [
    FloatRaises, FloatGivesStr, IndexRaises, IndexHuge, IndexNegative, BoolRaises, LenRaises, LenHuge,
    LenNegative, LenOverflows, LenLiesLong, IterRaises, IterRaisesLater, IterNotIterator, GetitemRaises,
    lambda: np.float64(1.5), lambda: np.float32(-2.5), lambda: np.int64(3), lambda: np.uint64(2**64 - 1),
    lambda: np.bool_(True), lambda: np.array([0.5, 1.5, 2.5]), lambda: np.arange(8.0)[::2],
    lambda: np.arange(8.0).reshape(2, 4), lambda: np.arange(16.0).reshape(2, 8).T, lambda: np.array(2.0),
    lambda: np.array([1.0, 2.0], dtype=">f8"), lambda: np.array([1, 2], dtype=np.int8),
    lambda: np.array([1 + 2j]), lambda: np.array([True, False]), lambda: np.array([1.0, None], dtype=object),
    lambda: np.zeros((0, 3)), lambda: 10**400, lambda: -(10**400), lambda: 2**64, lambda: 2**63, lambda: -1,
    lambda: None, lambda: "abcdefgh", lambda: b"abcdefgh", lambda: {0: 1.0}, lambda: {1.0}, lambda: 1 + 2j,
    lambda: float("nan"), lambda: float("-inf"), lambda: memoryview(b"abcdefgh"),
    lambda: memoryview(array.array("d", [1.0, 2.0])), lambda: array.array("f", [1.0, 2.0]),
    lambda: range(3), lambda: (x for x in [1.0]), lambda: z.ZORPoint(0.5, 1.5), lambda: z.ZORPair(1.0, 2.0),
] + MUTATING

# How the hostile object is placed into the argument: alone, or as an item
# of each kind of container the converters read.
WRAPPERS = [
    lambda v: v, lambda v: [v], lambda v: [1.0, v], lambda v: (v, 2.0), lambda v: [(v, 1.0)],
    lambda v: [(1.0, v)], lambda v: [[v] * 8], lambda v: [[1.0, 2.0], v], lambda v: [v, v],
]

POINT = z.ZORPoint(0.5, 1.5)
PAIR = z.ZORPair(1.0, 2.0)
KNOT = z.ZORKnot(POINT, 1, 0.25)
RESULT = z.find_formula([[1.0, 2.0]], [2.0, 3.0], max_complexity=3)
XS, YS = [0.5, 1.0, 1.5], [1.5, 2.0, 2.5]
PAIRS = [(0.5, 1.0), (1.5, 2.0)]
OCTETS = [[0.5] * 8, [1.0] * 8]

# (name, callable, valid arguments). Methods take their receiver as the first
# argument so that it is attacked too.
CALLS = [
    ("schrodinger_step_n", z.schrodinger_step_n, (PAIRS, [0.1, 0.2], 0.01, 1.0)),
    ("rotate_phase_n", z.rotate_phase_n, (PAIRS, [0.3, 0.4])),
    ("simulate_pulses_n", z.simulate_pulses_n, (0.5, 1.5, 3)),
    ("boost_n", z.boost_n, (PAIRS, [0.1, 0.2], 1.0)),
    *[(f, getattr(z, f), (XS,)) for f in ("exp_n", "ln_n", "sqrt_n", "sin_n", "cos_n")],
    *[(f, getattr(z, f), (XS, YS)) for f in ("add_n", "sub_n", "mul_n", "div_n", "tension_n", "pow_n")],
    ("christoffel_batch_n", z.christoffel_batch_n, (PAIRS, 0, 1, 1, 2.0)),
    ("octonion_mul_n", z.octonion_mul_n, (OCTETS, OCTETS)),
    ("geometric_product_n", z.geometric_product_n, ([[1.0, 2.0]], [[0.5, 1.0]], [1, -1])),
    ("find_formula", z.find_formula, ([XS], YS, 3, 8, 1e-10, True, True, 0.001)),
    ("ZORPoint", z.ZORPoint, (0.5, 1.5)),
    ("ZORPair", z.ZORPair, (1.0, 2.0)),
    ("ZORKnot", z.ZORKnot, (POINT, 1, 0.25)),
    ("PySearchResult", z.PySearchResult, ()),
    ("ZORPoint.conserves_tension", z.ZORPoint.conserves_tension, (POINT, POINT, 1e-9)),
    ("ZORPoint.minkowski_delta", z.ZORPoint.minkowski_delta, (POINT, True, 1.0)),
    ("ZORPoint.boost", z.ZORPoint.boost, (POINT, 0.3, 1.0)),
    *[(f"ZORPoint.{m}", getattr(z.ZORPoint, m), (POINT,)) for m in (
        "tension", "zor", "mirror_pulse", "pulse", "frame_shift", "is_slipping", "pair", "euclidean_delta")],
    ("ZORPair.from_values", z.ZORPair.from_values, (1.0, 2.0)),
    ("ZORPair.from_polar", z.ZORPair.from_polar, (1.0, 0.5)),
    ("ZORPair.rotate_phase", z.ZORPair.rotate_phase, (PAIR, 0.5)),
    ("ZORPair.conjugate", z.ZORPair.conjugate, (PAIR,)),
    *[(f"ZORPair.{op}", getattr(z.ZORPair, op), (PAIR, PAIR)) for op in (
        "__add__", "__sub__", "__mul__", "__truediv__", "__eq__", "__lt__")],
    ("ZORPoint.__eq__", z.ZORPoint.__eq__, (POINT, POINT)),
    *[(f"ZORKnot.{m}", getattr(z.ZORKnot, m), (KNOT,)) for m in (
        "mirror_pulse", "pulse", "three_one_flip", "flip", "tread_yield")],
    ("PySearchResult.to_latex", z.PySearchResult.to_latex, (RESULT,)),
    ("PySearchResult.to_python", z.PySearchResult.to_python, (RESULT,)),
]

# The boundary's own errors, and what the hostile objects raise themselves
# (IndexError: a sequence's __getitem__ past the end its __len__ claimed).
DOCUMENTED = (TypeError, ValueError, OverflowError, MemoryError, HostileError, IndexError)


def check_outcome(call):
    try:
        call()
    except BaseException as exc:  # noqa: B902 - PanicException derives from BaseException
        if type(exc).__name__ == "PanicException":
            return
        assert not isinstance(exc, SystemError), repr(exc)
        assert isinstance(exc, DOCUMENTED), repr(exc)


def with_argument(args, position, value):
    """The arguments with `value` at `position`; at len(args) it is one too many."""
    return list(args[:position]) + [value] + list(args[position + 1:])
