// Least-squares fits of formulas with free parameters: y ≈ a·f(x; θ) + b,
// where θ are the ("param", k) leaves of f's tokens, a is the outer scale and
// b the outer offset. The minimiser is Eigen's Levenberg–Marquardt (MINPACK's
// lmder); the Jacobian is exact, by forward mode over the tokens with the C
// library's exp, log, sin, cos and sqrt. When the scale and offset are both
// free they are solved by linear least squares at each point and the
// minimiser moves θ alone (variable projection). Each fit runs on one thread,
// so its result is the same bits whatever runs beside it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/discover/expr.hpp"

namespace zor::fit {

// The rows a formula is fitted on: column k holds variable k, and each column
// holds at least as many rows as the target.
struct FitData {
  std::vector<std::span<const double>> columns;
  std::span<const double> target;
};

enum class FitStatus : std::uint8_t {
  Converged,     // the minimiser met a tolerance; result finite and determined
  NotConverged,  // the evaluation cap was reached first
  NotFinite,     // a residual or a Jacobian entry at the optimum is not finite
  Undetermined,  // the data do not determine some free entry (singular Jacobian)
  Refused,       // malformed tokens, a non-finite start, no free entry, fewer rows than free entries
};

struct FitOptions {
  // Residual evaluations the minimiser may spend, per free entry and one
  // more: (free + 1) times this in all.
  std::size_t evaluations_per_entry = 40;
  // MINPACK's ftol, xtol and gtol.
  double tolerance = 1e-12;
  // When the scale and offset are both free (and some inner parameter is),
  // solve them by linear least squares at each point and let the minimiser
  // move the inner parameters only (variable projection). The result is the
  // same optimum of the same problem, with the Jacobian of every free entry.
  bool project_line = true;
};

// Inner parameters, scale and offset: the layout of `start` and `full`.
struct ParameterFit {
  FitStatus status = FitStatus::Refused;
  std::vector<double> full;
  double sse = 0.0;
  // rows × free entries, row by row, at `full` (empty unless Converged).
  std::vector<double> jacobian;
  std::size_t evaluations = 0;
};

// Residual evaluations of a trial point that leaves the formula's domain on a
// row: a value so large that the minimiser turns the step back.
inline constexpr double kOutsideResidual = 1e100;

// The number of inner parameters `start` must provide for these tokens (one
// more than the largest parameter index), or absent when the tokens are not a
// well-formed postfix formula over `variables` variables.
std::optional<std::size_t> inner_parameter_count(const discover::Expr& shape, std::size_t variables);

// The model's residuals a·f + b − y and its Jacobian with respect to every
// entry of `full` (rows × (inner + 2), row by row), exactly as the fit sees
// them: a row whose residual or derivatives are not finite has residual
// kOutsideResidual and a zero Jacobian row when `mark_outside`, and keeps its
// non-finite values otherwise. Absent for malformed tokens or a `full` too
// short for them.
struct ModelValues {
  std::vector<double> residual;
  std::vector<double> jacobian;
};
std::optional<ModelValues> model_values(const discover::Expr& shape, const FitData& data,
                                        std::span<const double> full, bool mark_outside);

// Fits the entries of `start` marked in `free` (the others keep their bits)
// from `start`; with the line projected out, the scale and offset of `start`
// are not used.
ParameterFit fit_parameters(const discover::Expr& shape, const FitData& data, std::span<const double> start,
                            const std::vector<bool>& free, const FitOptions& options);

// Whether some free entry is not determined by the data: the Jacobian (rows ×
// columns, row by row) with its columns scaled to unit length has a smallest
// singular value at most 1e-9 of its largest, or a column is zero or too large
// to scale.
bool undetermined(std::span<const double> jacobian, std::size_t rows, std::size_t columns);

// The start with the scale and offset of the least-squares line through the
// formula's values at the inner parameters start[0 .. inner): `start` holds
// the inner parameters only and gains the two. Absent when the tokens are
// malformed, the formula is not finite on every row there, or the fitted
// scale is 0 (the formula is constant on the rows, or carries nothing of y).
std::optional<std::vector<double>> with_linear_start(const discover::Expr& shape, const FitData& data,
                                                     std::span<const double> inner);

// One fit of a batch: a shape, its start and its free entries. With
// `linear_start` the start holds the inner parameters only, and the scale and
// offset start from with_linear_start (a job it refuses is Refused).
struct FitJob {
  discover::Expr shape;
  std::vector<double> start;
  std::vector<bool> free;
  bool linear_start = false;
};

// The fits of a batch on the worker pool, one job per task, in job order.
std::vector<ParameterFit> fit_batch(const std::vector<FitJob>& jobs, const FitData& data,
                                    const FitOptions& options);

}  // namespace zor::fit
