#include <optional>
#include <string>

#include "core/format.hpp"
#include "cpython/common/build_results.hpp"
#include "cpython/common/function.hpp"
#include "cpython/zor_core/value_classes.hpp"

namespace zor::py {
namespace {

PyObject* construct(Point point, std::optional<std::int64_t> n, std::optional<double> theta) {
  return wrap(make_knot(point, n.value_or(0), theta.value_or(0.0)));
}

PyObject* knot_point(Knot self) { return wrap(self.point); }
PyObject* knot_flip_count(Knot self) { return build_int(self.flip_count); }
PyObject* knot_phase(Knot self) { return build_float(self.phase); }
PyObject* rho(Knot self) { return build_float(knot_rho(self)); }
PyObject* pulse(Knot self) { return wrap(knot_pulse(self)); }
PyObject* flip(Knot self) { return wrap(knot_flip(self)); }
PyObject* tread_yield(Knot self) { return build_int(knot_tread_yield(self)); }

PyObject* repr(Knot self) {
  return build_str("ZORKnot(n=" + std::to_string(self.flip_count) +
                   ", rho=" + format_fixed(knot_rho(self), 6) + ", theta=" + format_fixed(self.phase, 4) +
                   ", point=ZORPoint { x: " + format_shortest(self.point.x) +
                   ", y: " + format_shortest(self.point.y) + " })");
}

constexpr Signature kNew{"ZORKnot.__new__", {"point", "n", "theta"}};

PyMethodDef methods[] = {
    {"mirror_pulse", noargs_method<pulse>, METH_NOARGS, "mirror_pulse($self)\n--\n\n"},
    {"pulse", noargs_method<pulse>, METH_NOARGS, "pulse($self)\n--\n\nAlias for mirror_pulse()."},
    {"three_one_flip", noargs_method<flip>, METH_NOARGS, "three_one_flip($self)\n--\n\n"},
    {"flip", noargs_method<flip>, METH_NOARGS, "flip($self)\n--\n\nAlias for three_one_flip()."},
    {"tread_yield", noargs_method<tread_yield>, METH_NOARGS, "tread_yield($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef properties[] = {
    {"point", getter<knot_point>, nullptr, nullptr, nullptr},
    {"flip_count", getter<knot_flip_count>, nullptr, nullptr, nullptr},
    {"phase", getter<knot_phase>, nullptr, nullptr, nullptr},
    {"rho", getter<rho>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("ZORKnot(point, n=0, theta=0.0)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(constructor<kNew, construct>)},
    {Py_tp_repr, reinterpret_cast<void*>(unary_slot<repr>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<Knot>)},
    {Py_tp_methods, methods},
    {Py_tp_getset, properties},
    {0, nullptr},
};

PyType_Spec type_definition = {"zor_core.ZORKnot", sizeof(Instance<Knot>), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

PyType_Spec* ClassTraits<Knot>::type_spec() { return &type_definition; }

}  // namespace zor::py
