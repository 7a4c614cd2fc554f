#include <cmath>
#include <string>

#include "core/format.hpp"
#include "cpython/common/build_results.hpp"
#include "cpython/common/function.hpp"
#include "cpython/zor_core/value_classes.hpp"

namespace zor::py {
namespace {

PyObject* construct(double real, double imag) { return wrap(Pair{real, imag}); }
PyObject* from_polar(double r, double theta) { return wrap(pair_from_polar(r, theta)); }

PyObject* unit_i() { return wrap(Pair{0.0, 1.0}); }
PyObject* one() { return wrap(Pair{1.0, 0.0}); }
PyObject* zero() { return wrap(Pair{0.0, 0.0}); }

PyObject* pair_real(Pair self) { return build_float(self.real); }
PyObject* pair_imag(Pair self) { return build_float(self.imag); }
PyObject* modulus(Pair self) { return build_float(pair_modulus(self)); }
PyObject* argument(Pair self) { return build_float(pair_argument(self)); }
PyObject* conjugate(Pair self) { return wrap(pair_conjugate(self)); }
PyObject* rotate(Pair self, double angle) { return wrap(rotate_phase(self, angle)); }

// The pair inside `obj`, or null when obj is not a ZORPair (no error set).
const Pair* pair_or_null(PyObject* obj) {
  PyTypeObject* type = class_type_or_panic<Pair>();
  if (type == nullptr) {
    PyErr_Clear();
    return nullptr;
  }
  return PyObject_TypeCheck(obj, type) ? &reinterpret_cast<Instance<Pair>*>(obj)->value : nullptr;
}

// Arithmetic only between two ZORPairs; anything else is answered with
// NotImplemented so the interpreter can try the other operand.
template <Pair (*Op)(Pair, Pair)>
PyObject* binary(PyObject* left, PyObject* right) {
  return guarded([&]() -> PyObject* {
    const Pair* a = pair_or_null(left);
    const Pair* b = pair_or_null(right);
    if (a == nullptr || b == nullptr) Py_RETURN_NOTIMPLEMENTED;
    return wrap(Op(*a, *b));
  });
}

PyObject* richcompare(PyObject* self, PyObject* other, int op) {
  return guarded([&]() -> PyObject* {
    if (op == Py_NE) {
      // The negation of the interpreter's full ==, fallbacks included.
      Ref equal = Ref::steal(PyObject_RichCompare(self, other, Py_EQ));
      if (!equal) return nullptr;
      int truth = PyObject_IsTrue(equal.get());
      if (truth < 0) return nullptr;
      return build_bool(!truth);
    }
    const Pair* a = pair_or_null(self);
    const Pair* b = pair_or_null(other);
    if (op != Py_EQ || a == nullptr || b == nullptr) Py_RETURN_NOTIMPLEMENTED;
    return build_bool(pair_close(*a, *b));
  });
}

PyObject* repr(Pair self) {
  static constexpr const char kSigns[] = "-+";
  bool minus = self.imag < 0 || std::isnan(self.imag);
  return build_str("ZORPair(" + format_fixed(self.real, 6) + " " + kSigns[minus ? 0 : 1] + " " +
                   format_fixed(std::fabs(self.imag), 6) + "i)");
}

constexpr Signature kNew{"ZORPair.__new__", {"real", "imag"}};
constexpr Signature kFromValues{"ZORPair.from_values", {"real", "imag"}};
constexpr Signature kFromPolar{"ZORPair.from_polar", {"r", "theta"}};
constexpr Signature kUnitI{"ZORPair.unit_i", no_parameters};
constexpr Signature kOne{"ZORPair.one", no_parameters};
constexpr Signature kZero{"ZORPair.zero", no_parameters};
constexpr Signature kRotatePhase{"ZORPair.rotate_phase", {"angle"}};
constexpr Signature kConjugate{"ZORPair.conjugate", no_parameters};

PyMethodDef methods[] = {
    static_method_def<kFromValues, construct>(),
    static_method_def<kFromPolar, from_polar>(),
    static_method_def<kUnitI, unit_i>(),
    static_method_def<kOne, one>(),
    static_method_def<kZero, zero>(),
    method_def<kRotatePhase, rotate>(),
    method_def<kConjugate, conjugate>(),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef properties[] = {
    {"real", getter<pair_real>, nullptr, nullptr, nullptr},
    {"imag", getter<pair_imag>, nullptr, nullptr, nullptr},
    {"real_tension", getter<pair_real>, nullptr, nullptr, nullptr},
    {"imag_tension", getter<pair_imag>, nullptr, nullptr, nullptr},
    {"modulus", getter<modulus>, nullptr, nullptr, nullptr},
    {"argument", getter<argument>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    class_doc_slot<kNew>(),
    constructor_slot<kNew, construct>(),
    {Py_nb_absolute, reinterpret_cast<void*>(unary_slot<modulus>)},
    {Py_tp_repr, reinterpret_cast<void*>(unary_slot<repr>)},
    {Py_nb_add, reinterpret_cast<void*>(binary<pair_add>)},
    {Py_nb_subtract, reinterpret_cast<void*>(binary<pair_sub>)},
    {Py_nb_multiply, reinterpret_cast<void*>(binary<pair_mul>)},
    {Py_nb_true_divide, reinterpret_cast<void*>(binary<pair_div>)},
    {Py_tp_richcompare, reinterpret_cast<void*>(richcompare)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<Pair>)},
    {Py_tp_methods, methods},
    {Py_tp_getset, properties},
    {0, nullptr},
};

PyType_Spec type_definition = {"zor_core.ZORPair", sizeof(Instance<Pair>), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

PyType_Spec* ClassTraits<Pair>::type_spec() { return &type_definition; }

}  // namespace zor::py
