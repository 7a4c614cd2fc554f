// find_formula and its result class PySearchResult.
#include <cstdint>
#include <optional>
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

// find_formula's six settings; every other setting keeps its default.
discover::SearchOptions search_options(std::optional<std::uint64_t> max_complexity,
                                       std::optional<std::uint64_t> beam_width,
                                       std::optional<double> precision_goal, std::optional<bool> use_trig,
                                       std::optional<bool> use_zor,
                                       std::optional<double> complexity_penalty) {
  discover::SearchOptions options;
  options.max_complexity = max_complexity.value_or(options.max_complexity);
  options.beam_width = beam_width.value_or(options.beam_width);
  options.precision_goal = precision_goal.value_or(options.precision_goal);
  options.use_trig = use_trig.value_or(options.use_trig);
  options.use_zor = use_zor.value_or(options.use_zor);
  options.complexity_penalty = complexity_penalty.value_or(options.complexity_penalty);
  return options;
}

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
  std::optional<discover::ScoredCandidate> best = discover::beam_search(x_data, y_data, options, interrupted);
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

constexpr Signature kToLatex{"PySearchResult.to_latex", no_parameters};
constexpr Signature kToPython{"PySearchResult.to_python", no_parameters};

PyMethodDef methods[] = {
    method_def<kToLatex, result_to_latex>(),
    method_def<kToPython, result_to_python>(),
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

constexpr Signature kFindFormula{
    "find_formula",
    {"x_data", "y_data", "max_complexity=8", "beam_width=2000", "precision_goal=1e-10", "use_trig=True",
     "use_zor=True", "complexity_penalty=0.001"},
    "Find a formula fitting x_data \u2192 y_data.\n"
    "x_data: list of column vectors (one per variable), or a single 1D list for univariate.\n"
    "y_data: target values (1D list)."};

}  // namespace

PyType_Spec* ClassTraits<SearchResultRecord>::type_spec() { return &type_definition; }

PyTypeObject* search_result_type() { return class_type<SearchResultRecord>(); }

PyMethodDef find_formula_function() { return function_def<kFindFormula, find_formula>(); }

}  // namespace zor::py
