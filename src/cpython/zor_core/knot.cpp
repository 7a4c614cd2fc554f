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

constexpr Signature kNew{"ZORKnot.__new__", {"point", "n=0", "theta=0.0"}};
constexpr Signature kMirrorPulse{"ZORKnot.mirror_pulse", no_parameters};
constexpr Signature kPulse{"ZORKnot.pulse", no_parameters, "Alias for mirror_pulse()."};
constexpr Signature kThreeOneFlip{"ZORKnot.three_one_flip", no_parameters};
constexpr Signature kFlip{"ZORKnot.flip", no_parameters, "Alias for three_one_flip()."};
constexpr Signature kTreadYield{"ZORKnot.tread_yield", no_parameters};

PyMethodDef methods[] = {
    method_def<kMirrorPulse, pulse>(),      method_def<kPulse, pulse>(),
    method_def<kThreeOneFlip, flip>(),      method_def<kFlip, flip>(),
    method_def<kTreadYield, tread_yield>(), {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef properties[] = {
    {"point", getter<knot_point>, nullptr, nullptr, nullptr},
    {"flip_count", getter<knot_flip_count>, nullptr, nullptr, nullptr},
    {"phase", getter<knot_phase>, nullptr, nullptr, nullptr},
    {"rho", getter<rho>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    class_doc_slot<kNew>(),
    constructor_slot<kNew, construct>(),
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
