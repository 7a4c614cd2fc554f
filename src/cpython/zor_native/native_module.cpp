// zor._native: the private entry of the companion package `zor` into the
// same discovery core as zor_core.find_formula, without zor_core's fixed
// surface: the search runs without the interpreter lock, reports its levels,
// keeps a per-complexity front and can be limited in time.
#include "core/discover/seen_set.hpp"
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
     "scaled=False, memory_limit=0, cluster=None, cluster_memory=None)\n--\n\n"
     "Beam search for the formula over `columns` (one float list per variable) that best fits `y`.\n"
     "The interpreter lock is released while it runs. `time_limit` (seconds) stops it with the best so far\n"
     "(cut_short=True); `on_level` is called with each level's report; `keep_front` keeps the best\n"
     "candidate of every complexity; `engine` is 'fast' or 'reference'; `scaled` scores every candidate f\n"
     "by its least-squares fit a*f + b (fast engine only); `memory_limit` bounds the search's data in bytes\n"
     "(0: most of the memory available). `cluster` runs each level's shard searches elsewhere: called with\n"
     "an encoded level start, it returns one encoded part per shard search made by shard_open, in shard\n"
     "order; `cluster_memory` lists their memory limits. Returns a dict with best, front, cut_short,\n"
     "levels, generated, admitted and scored; a candidate is a dict with formula, tokens, score, rmse,\n"
     "complexity, scale and offset."},
    {"evaluate", as_cfunction(evaluate_entry), kFastcall,
     "evaluate(expression, columns)\n--\n\n"
     "The value of a postfix token list on every row of `columns`, NaN where it is undefined."},
    {"shard_open", as_cfunction(shard_open_entry), kFastcall,
     "shard_open(columns, y, max_complexity, beam_width, precision_goal, use_trig, use_zor, "
     "complexity_penalty, scaled, keep_front, first_shard, last_shard, memory_limit)\n--\n\n"
     "A shard search for the seen set's shards [first_shard, last_shard) of SHARDS, seeded, holding at\n"
     "most `memory_limit` bytes (0: most of the memory available)."},
    {"shard_expand", as_cfunction(shard_expand_entry), kFastcall,
     "shard_expand(shard, message)\n--\n\n"
     "Runs one level of `shard` from an encoded level start; returns its encoded part. The interpreter\n"
     "lock is released while it runs."},
    {"shard_stop", as_cfunction(shard_stop_entry), kFastcall,
     "shard_stop(shard, cancel)\n--\n\n"
     "Asks the level `shard` is running to end early with what it found (cancel=False) or to raise\n"
     "(cancel=True). Safe from any thread."},
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
  return operators && PyModule_AddObjectRef(module, "OPERATORS", operators.get()) == 0 &&
         PyModule_AddIntConstant(module, "SHARDS", static_cast<long>(discover::SeenSet::kShards)) == 0;
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
