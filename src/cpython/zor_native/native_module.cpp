// zor._native: the private entry of the companion package `zor` into the
// same discovery core as zor_core.find_formula, without zor_core's fixed
// surface: the search runs without the interpreter lock, reports its levels,
// keeps a per-complexity front and can be limited in time.
#include "cpython/common/errors.hpp"
#include "cpython/common/function.hpp"
#include "cpython/common/process_module.hpp"
#include "cpython/zor_native/native_entries.hpp"

namespace zor::py {
namespace {

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef functions[] = {
    {"search", as_cfunction(search_entry), kFastcall,
     "search(columns, y, max_complexity=8, beam_width=2000, precision_goal=1e-10, use_trig=True, "
     "use_zor=True, "
     "complexity_penalty=0.001, time_limit=None, on_level=None, keep_front=False, engine='fast', "
     "scaled=False)\n--\n\n"
     "Beam search for the formula over `columns` (one float list per variable) that best fits `y`.\n"
     "The interpreter lock is released while it runs. `time_limit` (seconds) stops it with the best so far\n"
     "(cut_short=True); `on_level` is called with each level's report; `keep_front` keeps the best\n"
     "candidate of every complexity; `engine` is 'fast' or 'reference'; `scaled` scores every candidate f\n"
     "by its least-squares fit a*f + b (fast engine only). Returns a dict with best, front, cut_short,\n"
     "levels, generated, admitted and scored; a candidate is a dict with formula, tokens, score, rmse,\n"
     "complexity, scale and offset."},
    {"evaluate", as_cfunction(evaluate_entry), kFastcall,
     "evaluate(expression, columns)\n--\n\n"
     "The value of a postfix token list on every row of `columns`, NaN where it is undefined."},
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

bool fill_module(PyObject* module) {
  Ref operators = Ref::steal(build_operator_table());
  return operators && PyModule_AddObjectRef(module, "OPERATORS", operators.get()) == 0;
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
