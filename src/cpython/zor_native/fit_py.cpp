// The fitting entries of zor._native: formulas with free parameters fitted
// by the core's Levenberg–Marquardt, one at a time or a batch on the worker
// pool, without the interpreter lock.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/discover/search.hpp"
#include "core/fit/parameter_fit.hpp"
#include "cpython/common/build_results.hpp"
#include "cpython/common/function.hpp"
#include "cpython/common/released_lock.hpp"
#include "cpython/zor_native/native_entries.hpp"
#include "cpython/zor_native/tokens_py.hpp"

namespace zor::py {

namespace {

using discover::Expr;

// The most evaluations a fit spends per free entry (and one more) when the
// caller does not say.
constexpr std::uint64_t kEvaluationsPerEntry = 40;

bool convert_flags(PyObject* obj, std::vector<bool>& out) {
  std::vector<bool> flags;
  if (!convert_sequence(obj, flags, convert_flag)) return false;
  out = std::move(flags);
  return true;
}

}  // namespace

// A sequence of flags (bool or NumPy bool).
template <>
struct Converter<std::vector<bool>> {
  static bool convert(PyObject* obj, std::vector<bool>& out) { return convert_flags(obj, out); }
};

namespace {

// Checks one job against the data; false with ValueError set when the tokens
// are malformed or the vectors do not match them. An empty `free` means
// every entry, and becomes that.
bool check_job(fit::FitJob& job, std::size_t variables) {
  const std::optional<std::size_t> inner = fit::inner_parameter_count(job.shape, variables);
  if (!inner) {
    PyErr_SetString(PyExc_ValueError, "the tokens are not a postfix formula over the columns");
    return false;
  }
  const std::size_t entries = *inner + (job.linear_start ? 0 : 2);
  if (job.start.size() != entries) {
    if (job.linear_start) {
      PyErr_Format(PyExc_ValueError, "start holds the %zu inner parameters, not %zu values", *inner,
                   job.start.size());
      return false;
    }
    PyErr_Format(PyExc_ValueError,
                 "start holds the %zu inner parameters, the scale and the offset: %zu values, not %zu",
                 *inner, *inner + 2, job.start.size());
    return false;
  }
  if (job.free.empty()) job.free.assign(*inner + 2, true);
  if (job.free.size() != *inner + 2) {
    PyErr_Format(PyExc_ValueError, "free marks each of the %zu entries of the fit, not %zu", *inner + 2,
                 job.free.size());
    return false;
  }
  return true;
}

// The rows of the columns and the target, as the core reads them; false with
// ValueError set when a column is shorter than the target.
bool fit_data(const discover::Columns& columns, const std::vector<double>& y, fit::FitData& data) {
  for (const std::vector<double>& column : columns) {
    if (column.size() < y.size()) {
      PyErr_Format(PyExc_ValueError, "a column holds %zu rows but y holds %zu", column.size(), y.size());
      return false;
    }
    data.columns.emplace_back(column);
  }
  data.target = y;
  return true;
}

const char* status_text(fit::FitStatus status) {
  switch (status) {
    case fit::FitStatus::Converged:
      return "converged";
    case fit::FitStatus::NotConverged:
      return "not converged";
    case fit::FitStatus::NotFinite:
      return "not finite";
    case fit::FitStatus::Undetermined:
      return "undetermined";
    case fit::FitStatus::Refused:
      break;
  }
  return "refused";
}

PyObject* build_doubles(const std::vector<double>& values) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                   static_cast<Py_ssize_t>(values.size() * sizeof(double)));
}

// (status, full, sse, jacobian): full and the Jacobian (rows × free, row by
// row) as the bytes of float64 values.
PyObject* build_fit(const fit::ParameterFit& result) {
  Ref status = Ref::steal(PyUnicode_InternFromString(status_text(result.status)));
  Ref full = Ref::steal(build_doubles(result.full));
  Ref sse = Ref::steal(build_float(result.sse));
  Ref jacobian = Ref::steal(build_doubles(result.jacobian));
  if (!status || !full || !sse || !jacobian) return nullptr;
  return PyTuple_Pack(4, status.get(), full.get(), sse.get(), jacobian.get());
}

fit::FitOptions options_with(std::optional<std::uint64_t> evaluations_per_entry) {
  fit::FitOptions options;
  options.evaluations_per_entry = evaluations_per_entry.value_or(kEvaluationsPerEntry);
  return options;
}

PyObject* fit_parameters(Expr shape, discover::Columns columns, std::vector<double> y,
                         std::vector<double> start, NoneOr<std::vector<bool>> free,
                         std::optional<std::uint64_t> evaluations_per_entry) {
  fit::FitData data;
  fit::FitJob job{std::move(shape), std::move(start), free.value.value_or(std::vector<bool>{})};
  if (!fit_data(columns, y, data) || !check_job(job, columns.size())) return nullptr;
  fit::ParameterFit result;
  {
    ReleasedLock lock;
    result = fit::fit_parameters(job.shape, data, job.start, job.free, options_with(evaluations_per_entry));
  }
  return build_fit(result);
}

// A job: (tokens, start) or (tokens, start, free).
bool convert_job(PyObject* obj, fit::FitJob& out) {
  if (!PyTuple_Check(obj) || PyTuple_GET_SIZE(obj) < 2 || PyTuple_GET_SIZE(obj) > 3) {
    PyErr_Format(PyExc_TypeError, "a fit job is a tuple (tokens, start) or (tokens, start, free), not %R",
                 obj);
    return false;
  }
  if (!Converter<Expr>::convert(PyTuple_GET_ITEM(obj, 0), out.shape) ||
      !convert_float_list(PyTuple_GET_ITEM(obj, 1), out.start))
    return false;
  out.free.clear();
  if (PyTuple_GET_SIZE(obj) == 3 && PyTuple_GET_ITEM(obj, 2) != Py_None)
    return convert_flags(PyTuple_GET_ITEM(obj, 2), out.free);
  return true;
}

}  // namespace

struct FitJobs {
  std::vector<fit::FitJob> jobs;
};

template <>
struct Converter<FitJobs> {
  static bool convert(PyObject* obj, FitJobs& out) { return convert_sequence(obj, out.jobs, convert_job); }
};

namespace {

PyObject* fit_parameters_batch(FitJobs jobs, discover::Columns columns, std::vector<double> y,
                               std::optional<std::uint64_t> evaluations_per_entry, bool linear_start) {
  fit::FitData data;
  if (!fit_data(columns, y, data)) return nullptr;
  for (fit::FitJob& job : jobs.jobs) {
    job.linear_start = linear_start;
    if (!check_job(job, columns.size())) return nullptr;
  }
  std::vector<fit::ParameterFit> results;
  {
    ReleasedLock lock;
    results = fit::fit_batch(jobs.jobs, data, options_with(evaluations_per_entry));
  }
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(results.size())));
  if (!list) return nullptr;
  for (std::size_t k = 0; k < results.size(); ++k) {
    PyObject* item = build_fit(results[k]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), item);
  }
  return list.release();
}

constexpr Signature kFitParameters{
    "fit_parameters",
    {"tokens", "columns", "y", "start", "free=None", "*", "evaluations_per_entry=40"},
    "Least-squares fit of scale * f + offset to `y`, f the postfix token list over `columns` with its\n"
    "('param', k, value) leaves free, by Levenberg-Marquardt with exact derivatives. `start` holds the\n"
    "inner parameters, the scale and the offset; `free` marks the entries fitted (all when None), the\n"
    "others keep their values. At most evaluations_per_entry * (free entries + 1) evaluations. Returns\n"
    "(status, full, sse, jacobian): status is 'converged', 'not converged', 'not finite' (at the\n"
    "optimum), 'undetermined' (a singular Jacobian) or 'refused'; full and the Jacobian at the optimum\n"
    "(rows x free entries, row by row) are the bytes of float64 values."};
constexpr Signature kFitParametersBatch{
    "fit_parameters_batch",
    {"jobs", "columns", "y", "*", "evaluations_per_entry=40", "linear_start=False"},
    "fit_parameters of each job, a tuple (tokens, start) or (tokens, start, free), on the same columns\n"
    "and y, on the worker pool; the list of their results in job order, the same whatever the number\n"
    "of threads. With `linear_start` each start holds the inner parameters only, and the scale and\n"
    "offset start from the least-squares line through the formula's values there ('refused' where the\n"
    "formula is not finite on every row there, or that scale is 0)."};

}  // namespace

PyMethodDef fit_parameters_function() { return function_def<kFitParameters, fit_parameters>(); }
PyMethodDef fit_parameters_batch_function() {
  return function_def<kFitParametersBatch, fit_parameters_batch>();
}

}  // namespace zor::py
