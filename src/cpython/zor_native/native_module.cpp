// zor._native: the private entry of the companion package `zor` into the
// same discovery core as zor_core.find_formula, without zor_core's fixed
// surface: the search runs without the interpreter lock, reports its levels,
// keeps a per-complexity front and can be limited in time.
#include <string_view>

#include "core/discover/operators.hpp"
#include "core/discover/seen_set.hpp"
#include "core/numeric.hpp"
#include "cpython/common/errors.hpp"
#include "cpython/common/function.hpp"
#include "cpython/common/process_module.hpp"
#include "cpython/zor_native/native_entries.hpp"

namespace zor::py {
namespace {

PyMethodDef functions[] = {
    search_function(),
    evaluate_function(),
    penalised_score_function(),
    shard_open_function(),
    shard_expand_function(),
    shard_stop_function(),
    fit_parameters_function(),
    fit_parameters_batch_function(),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "zor._native",
    "Private native entry of the zor package.",
    0,
    functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

ProcessModule native_module("zor._native");

// A new str of a table's text, or null with an error set.
PyObject* build_text(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// OPERATORS: one dict per operator, in code order, so that the zor package
// names, counts and writes operators from the core's own table.
PyObject* build_operator_table() {
  Ref table = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(discover::kOperatorCount)));
  if (!table) return nullptr;
  for (const discover::OperatorInfo& op : discover::kOperators) {
    Ref wraps = Ref::steal(PyTuple_New(op.arity));
    if (!wraps) return nullptr;
    for (int k = 0; k < op.arity; ++k) {
      PyObject* mask = PyLong_FromLong(op.latex_wraps[static_cast<std::size_t>(k)]);
      if (mask == nullptr) return nullptr;
      PyTuple_SET_ITEM(wraps.get(), k, mask);
    }
    const struct {
      const char* key;
      Ref value;
    } items[] = {
        {"name", Ref::steal(build_text(op.name))},
        {"arity", Ref::steal(PyLong_FromLong(op.arity))},
        {"text", Ref::steal(build_text(op.text))},
        {"latex", Ref::steal(build_text(op.latex))},
        {"latex_class", Ref::steal(PyLong_FromLong(static_cast<long>(op.latex_class)))},
        {"latex_wraps", std::move(wraps)},
        {"python", Ref::steal(build_text(op.python))},
        {"sympy", Ref::steal(build_text(op.sympy))},
    };
    Ref row = Ref::steal(PyDict_New());
    if (!row) return nullptr;
    for (const auto& item : items)
      if (!item.value || PyDict_SetItemString(row.get(), item.key, item.value.get()) < 0) return nullptr;
    PyTuple_SET_ITEM(table.get(), static_cast<Py_ssize_t>(op.code), row.release());
  }
  return table.release();
}

// Module attributes: the operator table, the seen set's shard count and the
// guards of zor, so that the package's literal forms of zor fold and floor
// exactly where the core does.
bool fill_module(PyObject* module) {
  Ref operators = Ref::steal(build_operator_table());
  Ref exp_fold = Ref::steal(PyFloat_FromDouble(kExpLimit));
  Ref log_floor = Ref::steal(PyFloat_FromDouble(kNearZero));
  return operators && exp_fold && log_floor &&
         PyModule_AddObjectRef(module, "OPERATORS", operators.get()) == 0 &&
         PyModule_AddIntConstant(module, "SHARDS", static_cast<long>(discover::SeenSet::kShards)) == 0 &&
         PyModule_AddObjectRef(module, "ZOR_EXP_FOLD", exp_fold.get()) == 0 &&
         PyModule_AddObjectRef(module, "ZOR_LOG_FLOOR", log_floor.get()) == 0;
}

}  // namespace
}  // namespace zor::py

PyMODINIT_FUNC PyInit__native() {
  zor::py::name_panic_exception("zor._native.PanicException",
                                "A native fault inside zor._native aborted the call.\n\n"
                                "Derived from BaseException, like an interpreter-level failure.");
  return zor::py::guarded(
      [] { return zor::py::native_module.import(zor::py::module_def, zor::py::fill_module); });
}
