// find_formula and its result class PySearchResult.
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/discover/render.hpp"
#include "core/discover/search.hpp"
#include "core/format.hpp"
#include "cpython/common/build_results.hpp"
#include "cpython/common/function.hpp"
#include "cpython/common/search_settings.hpp"
#include "cpython/zor_core/zor_core_entries.hpp"

namespace zor::py {

// What a finished discovery hands back; the expression itself is not kept.
struct SearchResultRecord {
  std::string formula;
  double error = 0.0;
  std::uint64_t complexity = 0;
  std::vector<double> params;
};

template <>
struct ClassTraits<SearchResultRecord> {
  static constexpr const char* name = "PySearchResult";
  static PyType_Spec* type_spec();
};

namespace {

using discover::Columns;

PyObject* find_formula(Columns x_data, std::vector<double> y_data,
                       std::optional<std::uint64_t> max_complexity, std::optional<std::uint64_t> beam_width,
                       std::optional<double> precision_goal, std::optional<bool> use_trig,
                       std::optional<bool> use_zor, std::optional<double> complexity_penalty) {
  if (!check_search_columns(x_data)) return nullptr;
  const discover::SearchOptions options =
      search_options(max_complexity, beam_width, precision_goal, use_trig, use_zor, complexity_penalty);

  // Polled on this thread between pieces of work, so Ctrl-C stops a long
  // search; the pending KeyboardInterrupt is what the call then raises.
  auto interrupted = [] { return PyErr_CheckSignals() != 0; };
  std::optional<discover::ScoredCandidate> best;
  try {
    best = discover::beam_search(x_data, y_data, options, interrupted);
  } catch (const discover::Cancelled&) {
    return nullptr;
  } catch (const discover::SearchMemoryExceeded& e) {
    PyErr_SetString(PyExc_MemoryError, e.what());
    return nullptr;
  }
  if (!best) Py_RETURN_NONE;
  return wrap(
      SearchResultRecord{std::move(best->formula), best->score, best->complexity, std::move(best->params)});
}

PyObject* result_formula(const SearchResultRecord& self) { return build_str(self.formula); }
PyObject* result_error(const SearchResultRecord& self) { return build_float(self.error); }
PyObject* result_complexity(const SearchResultRecord& self) { return build_uint(self.complexity); }
PyObject* result_params(const SearchResultRecord& self) { return build_float_list(self.params); }
PyObject* result_to_latex(const SearchResultRecord& self) {
  return build_str(discover::to_latex(self.formula));
}
PyObject* result_to_python(const SearchResultRecord& self) {
  return build_str(discover::to_python(self.formula));
}

PyObject* result_repr(const SearchResultRecord& self) {
  return build_str("SearchResult(formula='" + self.formula + "', error=" + format_exponent2(self.error) +
                   ", complexity=" + std::to_string(self.complexity) + ")");
}

PyObject* refuse_construction(PyTypeObject* type, PyObject*, PyObject*) {
  Ref name = Ref::steal(PyType_GetName(type));
  if (!name) return nullptr;
  PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
  return nullptr;
}

PyMethodDef methods[] = {
    {"to_latex", noargs_method<result_to_latex>, METH_NOARGS, "to_latex($self)\n--\n\n"},
    {"to_python", noargs_method<result_to_python>, METH_NOARGS, "to_python($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef properties[] = {
    {"formula", getter<result_formula>, nullptr, nullptr, nullptr},
    {"error", getter<result_error>, nullptr, nullptr, nullptr},
    {"complexity", getter<result_complexity>, nullptr, nullptr, nullptr},
    {"params", getter<result_params>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("Python-facing formula discovery result.")},
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_repr, reinterpret_cast<void*>(unary_slot<result_repr>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<SearchResultRecord>)},
    {Py_tp_methods, methods},
    {Py_tp_getset, properties},
    {0, nullptr},
};

PyType_Spec type_definition = {"zor_core.PySearchResult", sizeof(Instance<SearchResultRecord>), 0,
                               Py_TPFLAGS_DEFAULT, slots};

constexpr Signature kFindFormula{"find_formula",
                                 {"x_data", "y_data", "max_complexity", "beam_width", "precision_goal",
                                  "use_trig", "use_zor", "complexity_penalty"}};

}  // namespace

PyType_Spec* ClassTraits<SearchResultRecord>::type_spec() { return &type_definition; }

PyTypeObject* search_result_type() { return class_type<SearchResultRecord>(); }

PyObject* find_formula_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return module_function<kFindFormula, find_formula>(self, args, nargs, kwnames);
}

}  // namespace zor::py
