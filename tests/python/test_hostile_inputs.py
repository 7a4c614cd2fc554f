"""Hostile arguments in every position of every module function, constructor
and method: objects whose __len__, __iter__, __float__, __index__ or __bool__
lie or raise, sequences changed while they are read, NumPy scalars and arrays,
huge ints. A call may return or raise one of the documented exceptions (or
the argument's own error); it must never crash, raise SystemError or change
the reference count of what it was given."""

import math
import sys

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import zor_core as z
from hostile import CALLS, LEAVES, MUTATING, WRAPPERS, HostileError, check_outcome, fail, with_argument

# Complex arrays are read through their real parts, with NumPy's warning.
pytestmark = pytest.mark.filterwarnings("ignore::numpy.exceptions.ComplexWarning")


@pytest.mark.parametrize("name, fn, args", CALLS, ids=[c[0] for c in CALLS])
@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=st.data())
def test_hostile_argument(name, fn, args, data):
    position = data.draw(st.integers(0, len(args)), label="position")  # len(args): one argument too many
    make = data.draw(st.sampled_from(LEAVES), label="hostile")
    wrap = data.draw(st.sampled_from(WRAPPERS), label="wrapper")
    leaf = make()
    value = wrap(leaf)
    call_args = with_argument(args, position, value)
    # A mutated list loses items that refer back to it: its count may drop.
    tracked = [] if make in MUTATING else [value, leaf]
    before = [sys.getrefcount(obj) for obj in tracked]
    check_outcome(lambda: fn(*call_args))
    assert [sys.getrefcount(obj) for obj in tracked] == before


@pytest.mark.parametrize("name, fn, args", CALLS, ids=[c[0] for c in CALLS])
def test_valid_arguments_keep_reference_counts(name, fn, args):
    before = [sys.getrefcount(a) for a in args]
    check_outcome(lambda: fn(*args))
    assert [sys.getrefcount(a) for a in args] == before


# --- the flag converter reads a type's module and name as Python does ----------

def numpy_named(name, module="numpy", **methods):
    return type(name, (), {"__module__": module, **methods})


@pytest.mark.parametrize(
    "flag_type, expected",
    [
        (numpy_named("bool_", __bool__=lambda self: True), True),
        (numpy_named("bool", __bool__=lambda self: False), False),
        (numpy_named("bool_"), "object of type 'bool_' does not define a '__bool__' conversion"),
        (numpy_named("int64", __bool__=lambda self: True), "'int64' object cannot be converted to 'PyBool'"),
        (numpy_named("bool_", module="numpy.core", __bool__=lambda self: True),
         "'bool_' object cannot be converted to 'PyBool'"),
        (numpy_named("bool_", module="mynumpy", __bool__=lambda self: True),
         "'bool_' object cannot be converted to 'PyBool'"),
        # A Python class whose name merely spells the module is not in it.
        (numpy_named("numpy.bool_", module="other", __bool__=lambda self: True),
         "'numpy.bool_' object cannot be converted to 'PyBool'"),
        (type(np.bool_(True)), True),
    ],
)
def test_flag_reads_the_type_module_and_name(flag_type, expected):
    flag = flag_type(True) if flag_type is type(np.bool_(True)) else flag_type()
    x = [[0.3, 0.9, 1.4]]
    y = [math.sin(v) for v in x[0]]
    if isinstance(expected, bool):
        found = z.find_formula(x, y, max_complexity=2, use_trig=flag).formula
        assert (found == "sin(x)") is expected
        return
    with pytest.raises(TypeError) as info:
        z.find_formula(x, y, use_trig=flag)
    assert str(info.value) == f"argument 'use_trig': {expected}"


class RaisingModule(type):
    @property
    def __module__(cls):
        fail()


@pytest.mark.parametrize("flag", [
    numpy_named("bool_", __bool__=fail)(),  # the truth slot raises
    RaisingModule("bool_", (), {})(),  # reading the type's __module__ raises
])
def test_flag_errors_of_the_object_itself_propagate(flag):
    with pytest.raises(HostileError):
        z.find_formula([[1.0]], [1.0], use_zor=flag)


def test_flag_type_without_module_is_refused():
    # A class created where no __name__ global exists has no __module__.
    namespace = {}
    exec("T = type('bool_', (), {})", {"__builtins__": __builtins__}, namespace)  # noqa: S102
    flag_type = namespace["T"]
    assert "__module__" not in flag_type.__dict__
    with pytest.raises(TypeError, match="'bool_' object cannot be converted to 'PyBool'"):
        z.find_formula([[1.0]], [1.0], use_trig=flag_type())
