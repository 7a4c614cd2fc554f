// The search and evaluation entries of zor._native. The search runs without
// the interpreter lock; the lock is taken back on the search thread only, to
// let Ctrl-C through, to report a finished level and to build the outcome.
#include <chrono>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/discover/dimensions.hpp"
#include "core/discover/expr.hpp"
#include "core/discover/level_steps.hpp"
#include "core/discover/search.hpp"
#include "core/pool.hpp"
#include "cpython/common/build_results.hpp"
#include "cpython/common/function.hpp"
#include "cpython/common/released_lock.hpp"
#include "cpython/common/search_settings.hpp"
#include "cpython/zor_native/native_entries.hpp"
#include "cpython/zor_native/tokens_py.hpp"

namespace zor::py {

using discover::Expr;
using discover::OpCode;
using discover::Token;
using discover::TokenKind;

namespace {

struct DictItem {
  const char* key;
  Ref value;
};

// A new dict of the given items, or null when an item is null (its error set)
// or the dict cannot be filled.
PyObject* build_dict(std::initializer_list<DictItem> items) {
  for (const DictItem& item : items)
    if (!item.value) return nullptr;
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const DictItem& item : items)
    if (PyDict_SetItemString(dict.get(), item.key, item.value.get()) < 0) return nullptr;
  return dict.release();
}

PyObject* build_token(const Token& token) {
  switch (token.kind) {
    case TokenKind::Const:
      return Py_BuildValue("(sd)", "const", token.value());
    case TokenKind::Param:
      return Py_BuildValue("(sKd)", "param", static_cast<unsigned long long>(token.index()), token.stored);
    case TokenKind::Var:
      return Py_BuildValue("(sK)", "var", static_cast<unsigned long long>(token.index()));
    case TokenKind::Op:
      break;
  }
  const std::string_view name = discover::operator_info(token.op).name;
  return Py_BuildValue("(ss#)", "op", name.data(), static_cast<Py_ssize_t>(name.size()));
}

PyObject* build_tokens(const Expr& expr) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(expr.tokens.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < expr.tokens.size(); ++i) {
    PyObject* item = build_token(expr.tokens[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* build_candidate(const discover::ScoredCandidate& candidate) {
  return build_dict({
      {"formula", Ref::steal(build_str(candidate.formula))},
      {"tokens", Ref::steal(build_tokens(candidate.expression))},
      {"score", Ref::steal(build_float(candidate.score))},
      {"rmse", Ref::steal(build_float(candidate.rmse))},
      {"complexity", Ref::steal(build_uint(candidate.complexity))},
      {"scale", Ref::steal(build_float(candidate.scale))},
      {"offset", Ref::steal(build_float(candidate.offset))},
  });
}

PyObject* build_optional_candidate(const discover::ScoredCandidate* candidate) {
  return candidate != nullptr ? build_candidate(*candidate) : Py_NewRef(Py_None);
}

PyObject* build_level(const discover::LevelReport& report) {
  return build_dict({
      {"level", Ref::steal(build_uint(report.level))},
      {"generated", Ref::steal(build_uint(report.generated))},
      {"admitted", Ref::steal(build_uint(report.admitted))},
      {"scored", Ref::steal(build_uint(report.scored))},
      {"pruned", Ref::steal(build_uint(report.pruned))},
      {"best", Ref::steal(build_optional_candidate(report.best))},
      {"elapsed_seconds", Ref::steal(build_float(report.elapsed_seconds))},
  });
}

using Clock = std::chrono::steady_clock;

// How long the search runs between two looks at pending signals: short
// enough to answer Ctrl-C within a tenth of a second, long enough that
// taking the lock costs nothing measurable.
constexpr auto kSignalCheckInterval = std::chrono::milliseconds(10);

// The search's link to Python: polled and told of every level by the core,
// on the thread that called search().
class SearchWatch {
 public:
  SearchWatch(std::optional<double> time_limit, PyObject* on_level, PyObject* levels)
      : time_limit_(time_limit), on_level_(on_level), levels_(levels) {}

  void attach(ReleasedLock& lock) { lock_ = &lock; }
  // True when a Python exception (Ctrl-C, a failing callback) ended the search.
  bool python_error() const { return python_error_; }
  // Runs `body` with the interpreter lock; false when it raised (its error
  // set), which ends the search.
  template <class Body>
  bool call_python(Body&& body) {
    if (python_error_ || !on_search_thread()) return false;
    if (!lock_->with_lock(body)) python_error_ = true;
    return !python_error_;
  }

  discover::PollAnswer poll() {
    if (python_error_) return discover::PollAnswer::Cancel;
    const Clock::time_point now = Clock::now();
    if (time_limit_ && std::chrono::duration<double>(now - started_).count() >= *time_limit_)
      return discover::PollAnswer::Stop;
    if (now - last_signal_check_ < kSignalCheckInterval || !on_search_thread())
      return discover::PollAnswer::Continue;
    last_signal_check_ = now;
    if (lock_->with_lock([] { return PyErr_CheckSignals() != 0; })) {
      python_error_ = true;
      return discover::PollAnswer::Cancel;
    }
    return discover::PollAnswer::Continue;
  }

  void on_level(const discover::LevelReport& report) {
    if (python_error_ || !on_search_thread()) return;
    lock_->with_lock([&] {
      Ref entry = Ref::steal(build_level(report));
      if (!entry || PyList_Append(levels_, entry.get()) < 0) {
        python_error_ = true;
        return;
      }
      if (on_level_ != nullptr && !Ref::steal(PyObject_CallOneArg(on_level_, entry.get())))
        python_error_ = true;
    });
  }

 private:
  // The Python thread state belongs to the calling thread: a callback from
  // any other thread must not take the lock with it.
  bool on_search_thread() const { return std::this_thread::get_id() == search_thread_; }

  std::optional<double> time_limit_;
  PyObject* on_level_;  // borrowed; null for none
  PyObject* levels_;    // borrowed list of level reports
  ReleasedLock* lock_ = nullptr;
  bool python_error_ = false;
  const Clock::time_point started_ = Clock::now();
  Clock::time_point last_signal_check_ = started_;
  const std::thread::id search_thread_ = std::this_thread::get_id();
};

// Runs each level's shard searches through `transport`, a Python callable
// that takes the encoded LevelStart and returns one encoded LevelPart per
// shard search, in shard order (see zor._cluster).
class ClusterRunner final : public discover::LevelRunner {
 public:
  ClusterRunner(PyObject* transport, std::vector<std::uint64_t> limits, SearchWatch& watch)
      : transport_(transport), limits_(std::move(limits)), watch_(watch) {}

  std::vector<discover::LevelPart> expand(const discover::LevelStart& start) override {
    const std::string message = discover::encode(start);
    std::vector<discover::LevelPart> parts;
    const bool answered = watch_.call_python([&] {
      Ref argument =
          Ref::steal(PyBytes_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
      if (!argument) return false;
      Ref answer = Ref::steal(PyObject_CallOneArg(transport_, argument.get()));
      if (!answer) return false;
      Ref items = Ref::steal(PySequence_Fast(answer.get(), "a cluster transport returns a list of bytes"));
      if (!items) return false;
      for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(item, &data, &size) < 0) return false;
        // A part that does not decode throws std::invalid_argument, which
        // ends the search as ValueError.
        parts.push_back(discover::decode_part(std::string_view(data, static_cast<std::size_t>(size))));
      }
      if (parts.empty()) {
        PyErr_SetString(PyExc_ValueError, "a cluster transport returned no parts");
        return false;
      }
      return true;
    });
    if (!answered) throw discover::Cancelled();
    return parts;
  }

  std::vector<std::uint64_t> memory_limits() const override { return limits_; }

 private:
  PyObject* transport_;  // borrowed from the call's arguments
  std::vector<std::uint64_t> limits_;
  SearchWatch& watch_;
};

using Engine = discover::SearchOutcome (*)(const discover::Columns&, const std::vector<double>&,
                                           const discover::SearchOptions&, const discover::SearchControl&);

std::optional<Engine> engine_named(const std::string& name) {
  if (name == "fast") return &discover::beam_search;
  if (name == "reference") return &discover::reference_beam_search;
  return std::nullopt;
}

PyObject* search(discover::Columns columns, std::vector<double> y, discover::SearchOptions options,
                 NoneOr<double> time_limit, NoneOr<Callable> on_level, bool keep_front,
                 std::optional<std::string> engine_name, std::uint64_t memory_limit, NoneOr<Callable> cluster,
                 NoneOr<std::vector<double>> cluster_memory, NoneOr<discover::Columns> dimensions) {
  if (!check_search_columns(columns)) return nullptr;
  std::optional<discover::DimensionRules> rules;
  if (!read_dimensions(dimensions.value, columns.size(), rules)) return nullptr;
  if (time_limit.value && !(*time_limit.value >= 0.0)) {
    PyErr_SetString(PyExc_ValueError, "time_limit must be a non-negative number of seconds");
    return nullptr;
  }
  const std::string name = engine_name.value_or("fast");
  const std::optional<Engine> engine = engine_named(name);
  if (!engine) {
    PyErr_Format(PyExc_ValueError, "engine must be 'fast' or 'reference', not '%s'", name.c_str());
    return nullptr;
  }
  if (options.scaling && name != "fast") {
    PyErr_SetString(PyExc_ValueError, "the scaled search runs on the 'fast' engine only");
    return nullptr;
  }

  if (cluster.value && name != "fast") {
    PyErr_SetString(PyExc_ValueError, "a cluster runs the 'fast' engine only");
    return nullptr;
  }
  std::vector<std::uint64_t> cluster_limits;
  for (const double limit : cluster_memory.value.value_or(std::vector<double>{})) {
    if (!(limit > 0.0 && limit < 1.8e19)) {
      PyErr_SetString(PyExc_ValueError,
                      "cluster_memory holds each worker's limit in bytes, a positive number");
      return nullptr;
    }
    cluster_limits.push_back(static_cast<std::uint64_t>(limit));
  }

  Ref levels = Ref::steal(PyList_New(0));
  if (!levels) return nullptr;
  SearchWatch watch(time_limit.value, on_level.value ? on_level.value->function.get() : nullptr,
                    levels.get());
  discover::SearchControl control;
  control.poll = [&watch] { return watch.poll(); };
  control.on_level = [&watch](const discover::LevelReport& report) { watch.on_level(report); };
  control.keep_front = keep_front;
  control.memory_limit = memory_limit;
  control.dimensions = rules ? &*rules : nullptr;
  std::optional<ClusterRunner> runner;
  if (cluster.value) {
    runner.emplace(cluster.value->function.get(), std::move(cluster_limits), watch);
    control.runner = &*runner;
  }

  discover::SearchOutcome outcome;
  {
    ReleasedLock lock;
    watch.attach(lock);
    outcome = (**engine)(columns, y, options, control);
  }
  // A callback that raised after the last poll ends the search all the same.
  if (watch.python_error()) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "formula search ended without its error");
    return nullptr;
  }

  Ref front = Ref::steal(PyList_New(static_cast<Py_ssize_t>(outcome.front.size())));
  if (!front) return nullptr;
  for (std::size_t i = 0; i < outcome.front.size(); ++i) {
    PyObject* entry = build_candidate(outcome.front[i]);
    if (entry == nullptr) return nullptr;
    PyList_SET_ITEM(front.get(), static_cast<Py_ssize_t>(i), entry);
  }
  return build_dict({
      {"best", Ref::steal(build_optional_candidate(outcome.best ? &*outcome.best : nullptr))},
      {"front", std::move(front)},
      {"cut_short", Ref::steal(build_bool(outcome.cut_short))},
      {"levels", std::move(levels)},
      {"generated", Ref::steal(build_uint(outcome.generated))},
      {"admitted", Ref::steal(build_uint(outcome.admitted))},
      {"scored", Ref::steal(build_uint(outcome.scored))},
      {"pruned", Ref::steal(build_uint(outcome.pruned))},
      {"admission_seconds", Ref::steal(build_float(outcome.admission_seconds))},
      {"phase_seconds", Ref::steal(build_dict({
                            {"generation", Ref::steal(build_float(outcome.phases.generation))},
                            {"fingerprints", Ref::steal(build_float(outcome.phases.fingerprints))},
                            {"admission", Ref::steal(build_float(outcome.phases.admission))},
                            {"scoring", Ref::steal(build_float(outcome.phases.scoring))},
                            {"merging", Ref::steal(build_float(outcome.phases.merging))},
                            {"parents", Ref::steal(build_float(outcome.phases.parents))},
                        }))},
  });
}

PyObject* evaluate(Expr expression, discover::Columns columns) {
  if (!check_search_columns(columns)) return nullptr;
  const std::size_t rows = columns.front().size();
  std::vector<double> values;
  {
    ReleasedLock lock;
    static const std::vector<double> kNoParams;
    values = pool::parallel_map<double>(rows, [&](std::size_t i) {
      std::vector<double> row;
      row.reserve(columns.size());
      for (const std::vector<double>& column : columns) row.push_back(column[i]);
      return discover::evaluate(expression, row, kNoParams).value_or(std::nan(""));
    });
  }
  return build_float_list(values);
}

PyObject* penalised_score(double rmse, std::uint64_t complexity, double penalty) {
  return build_float(discover::penalised_score(rmse, complexity, penalty));
}

constexpr Signature kSearch{
    "search",
    {"columns", "y", "options=None", "*", "time_limit=None", "on_level=None", "keep_front=False",
     "engine='fast'", "memory_limit=0", "cluster=None", "cluster_memory=None", "dimensions=None"},
    "Beam search for the formula over `columns` (one float list per variable) that best fits `y`.\n"
    "`options` holds the search settings of the core's SearchOptions (max_complexity, beam_width, ...,\n"
    "scaling), as a mapping or as attributes of any object; one left out or None keeps its default.\n"
    "The interpreter lock is released while it runs. `time_limit` (seconds) stops it with the best so far\n"
    "(cut_short=True); `on_level` is called with each level's report; `keep_front` keeps the best\n"
    "candidate of every complexity; `engine` is 'fast' or 'reference' (the scaled search, option\n"
    "scaling, runs on 'fast' only); `memory_limit` bounds the search's data in bytes (0: most of the\n"
    "memory available). `cluster` runs each level's shard searches elsewhere: called with an encoded\n"
    "level start, it returns one encoded part per shard search made by shard_open, in shard order;\n"
    "`cluster_memory` lists their memory limits. `dimensions` gives each column's exponents of the\n"
    "base dimensions: children that add unequal dimensions or put a dimensional operand in exp, ln,\n"
    "sin, cos or zor are never generated. Returns a dict with best, front, cut_short, levels,\n"
    "generated, admitted, scored and pruned; a candidate is a dict with formula, tokens, score, rmse,\n"
    "complexity, scale and offset."};
constexpr Signature kEvaluate{
    "evaluate",
    {"expression", "columns"},
    "The value of a postfix token list on every row of `columns`, NaN where it is undefined."};
constexpr Signature kPenalisedScore{
    "penalised_score",
    {"rmse", "complexity", "penalty"},
    "The score the search ranks a candidate by: its root-mean-square error times the factor its\n"
    "complexity costs, rmse * (complexity * penalty + 1), computed as the search computes it."};

}  // namespace

PyMethodDef search_function() { return function_def<kSearch, search>(); }
PyMethodDef evaluate_function() { return function_def<kEvaluate, evaluate>(); }
PyMethodDef penalised_score_function() { return function_def<kPenalisedScore, penalised_score>(); }

}  // namespace zor::py
