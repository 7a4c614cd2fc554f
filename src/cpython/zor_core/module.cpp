// The module's entry point, its function table and the body that fills the
// module at import.
#include <string>

#include "cpython/common/errors.hpp"
#include "cpython/common/function.hpp"
#include "cpython/common/process_module.hpp"
#include "cpython/zor_core/value_classes.hpp"
#include "cpython/zor_core/zor_core_entries.hpp"

namespace zor::py {
namespace {

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

#define ZOR_ENTRY(name, doc) \
  { #name, as_cfunction(name##_entry), kFastcall, doc }

// Module functions in registration order; the batch kernels come first and
// find_formula last, after the PySearchResult class.
PyMethodDef batch_functions[] = {
    ZOR_ENTRY(schrodinger_step_n,
              "schrodinger_step_n(psi, v, dt, hbar)\n--\n\nBatch Schr\u00f6dinger potential-phase step: "
              "\u03c8_n \u2192 e^{-iV_n\u00b7dt/\u0127}\u00b7\u03c8_n for all n.\nReturns list of (real, "
              "imag) tuples."),
    ZOR_ENTRY(rotate_phase_n,
              "rotate_phase_n(pairs, angles)\n--\n\nBatch rotate_phase for a list of ZORPairs."),
    ZOR_ENTRY(simulate_pulses_n,
              "simulate_pulses_n(x0, y0, n_pulses)\n--\n\nSimulate n_pulses of mirror_pulse, returning (x, "
              "y, tension) "
              "per step."),
    ZOR_ENTRY(boost_n,
              "boost_n(points, phis, c)\n--\n\nBatch Lorentz boost: apply boost(phi_i, c) to each (x_i, y_i) "
              "point in "
              "parallel.\nReturns Vec of (x', y') tuples."),
    ZOR_ENTRY(exp_n, "exp_n(xs)\n--\n\nBatch exp: [exp(x) for x in xs] \u2014 Rayon parallel."),
    ZOR_ENTRY(
        ln_n,
        "ln_n(ys)\n--\n\nBatch ln: [ln(y) for y in ys] \u2014 Rayon parallel, frame-shift guard applied."),
    ZOR_ENTRY(add_n,
              "add_n(as_, bs)\n--\n\nBatch add: [a + b for (a, b) in zip(as_, bs)] \u2014 Rayon parallel."),
    ZOR_ENTRY(sub_n,
              "sub_n(as_, bs)\n--\n\nBatch sub: [a - b for (a, b) in zip(as_, bs)] \u2014 Rayon parallel."),
    ZOR_ENTRY(mul_n,
              "mul_n(as_, bs)\n--\n\nBatch mul: [a * b for (a, b) in zip(as_, bs)] \u2014 Rayon parallel."),
    ZOR_ENTRY(div_n,
              "div_n(as_, bs)\n--\n\nBatch div: [a / b] \u2014 NaN for |b| < 1e-300 \u2014 Rayon parallel."),
    ZOR_ENTRY(sqrt_n, "sqrt_n(xs)\n--\n\nBatch sqrt: [sqrt(|x|) for x in xs] \u2014 Rayon parallel."),
    ZOR_ENTRY(sin_n, "sin_n(xs)\n--\n\nBatch sin: [sin(x) for x in xs] \u2014 Rayon parallel."),
    ZOR_ENTRY(cos_n, "cos_n(xs)\n--\n\nBatch cos: [cos(x) for x in xs] \u2014 Rayon parallel."),
    ZOR_ENTRY(tension_n,
              "tension_n(xs, ys)\n--\n\nBatch zor_tension: [zor(x, y) for (x, y) in zip(xs, ys)] \u2014 "
              "Rayon parallel."),
    ZOR_ENTRY(
        pow_n,
        "pow_n(bases, exps)\n--\n\nBatch pow: [|base|^exp for (base, exp) in zip(bases, exps)] \u2014 Rayon "
        "parallel."),
    ZOR_ENTRY(
        christoffel_batch_n,
        "christoffel_batch_n(points, lam, mu, nu, rs)\n--\n\nBatch Schwarzschild Christoffel evaluation.\n"
        "points: Vec of (x, _) where r = exp(x).\nReturns Vec of \u0393^lam_{mu nu} values for each point."),
    ZOR_ENTRY(octonion_mul_n,
              "octonion_mul_n(a_batch, b_batch)\n--\n\nBatch octonion multiplication (Rayon parallel).\n"
              "a_batch, b_batch: each is a Vec of 8-element float lists.\nReturns Vec of 8-element results."),
    ZOR_ENTRY(
        geometric_product_n,
        "geometric_product_n(a_batch, b_batch, signature)\n--\n\nBatch geometric product (Rayon parallel).\n"
        "a_batch, b_batch: each is a Vec of flat coefficient arrays.\n"
        "signature: +1/-1 per basis vector (length n, algebra dimension = 2^n).\n"
        "Returns Vec of result coefficient arrays."),
};

PyMethodDef find_formula_def = ZOR_ENTRY(
    find_formula,
    "find_formula(x_data, y_data, max_complexity=8, beam_width=2000, precision_goal=1e-10, use_trig=True, "
    "use_zor=True, complexity_penalty=0.001)\n--\n\nFind a formula fitting x_data \u2192 y_data.\n"
    "x_data: list of column vectors (one per variable), or a single 1D list for univariate.\n"
    "y_data: target values (1D list).");

#undef ZOR_ENTRY

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "zor_core", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

ProcessModule zor_core_module("zor_core");

// Appends `name` to __all__ (created on first use), then sets the attribute.
bool add_object(PyObject* module, const char* name, PyObject* object) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  if (!PyList_Check(all.get())) {
    PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
    return false;
  }
  Ref key = Ref::steal(PyUnicode_FromString(name));
  if (!key || PyList_Append(all.get(), key.get()) < 0) return false;
  return PyObject_SetAttr(module, key.get(), object) == 0;
}

// Adds a class; a failed type creation becomes RuntimeError with the cause.
bool add_class(PyObject* module, const char* name, PyTypeObject* type) {
  if (type == nullptr) {
    PyObject* cause = PyErr_GetRaisedException();
    std::string message = std::string("An error occurred while initializing class ") + name;
    Ref error = Ref::steal(PyObject_CallFunction(PyExc_RuntimeError, "s", message.c_str()));
    if (!error) {
      Py_XDECREF(cause);
      return false;
    }
    PyException_SetCause(error.get(), cause);
    PyErr_SetRaisedException(error.release());
    return false;
  }
  return add_object(module, name, reinterpret_cast<PyObject*>(type));
}

bool add_function(PyObject* module, PyObject* module_name, PyMethodDef* def) {
  Ref function = Ref::steal(PyCMethod_New(def, module, module_name, nullptr));
  if (!function) return false;
  Ref name = Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
  if (!name) return false;
  const char* name_utf8 = PyUnicode_AsUTF8(name.get());
  return name_utf8 != nullptr && add_object(module, name_utf8, function.get());
}

bool fill_module(PyObject* module) {
  if (!add_class(module, "ZORPoint", class_type<Point>()) ||
      !add_class(module, "ZORPair", class_type<Pair>()) || !add_class(module, "ZORKnot", class_type<Knot>()))
    return false;
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  if (!module_name) return false;
  for (PyMethodDef& def : batch_functions)
    if (!add_function(module, module_name.get(), &def)) return false;
  return add_class(module, "PySearchResult", search_result_type()) &&
         add_function(module, module_name.get(), &find_formula_def);
}

}  // namespace
}  // namespace zor::py

PyMODINIT_FUNC PyInit_zor_core() {
  return zor::py::guarded(
      [] { return zor::py::zor_core_module.import(zor::py::module_def, zor::py::fill_module); });
}
