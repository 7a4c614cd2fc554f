// The fit's driver: Eigen's Levenberg–Marquardt over the free entries, with
// the residuals and Jacobian of model_assembler.hpp, the linear start, the
// check of the optimum and the batches on the worker pool.
#include "core/fit/parameter_fit.hpp"

#include <Eigen/Core>
#include <Eigen/SVD>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <unsupported/Eigen/NonLinearOptimization>

#include "core/fit/dual_evaluator.hpp"
#include "core/fit/model_assembler.hpp"
#include "core/pool.hpp"

namespace zor::fit {

using discover::Expr;
using namespace detail;

namespace {

// The residuals and Jacobian over the free entries as Eigen's minimiser asks
// for them, one evaluation serving both the residuals and the Jacobian of a
// point (the minimiser asks for the Jacobian at the point it just accepted).
// When `projected` the free entries are inner ones only, and the scale and
// offset are solved for at each point (ModelAssembler::project).
class ResidualFunctor {
 public:
  ResidualFunctor(ModelAssembler& model, std::vector<double> base, std::vector<std::size_t> free_entries,
                  bool projected)
      : model_(model),
        full_(std::move(base)),
        free_(std::move(free_entries)),
        projected_(projected),
        residual_(static_cast<Eigen::Index>(model.rows())),
        jacobian_(static_cast<Eigen::Index>(model.rows()), static_cast<Eigen::Index>(free_.size())) {}

  int values() const { return static_cast<int>(model_.rows()); }

  int operator()(const Eigen::VectorXd& x, Eigen::VectorXd& fvec) {
    evaluate(x);
    fvec = residual_;
    return 0;
  }

  int df(const Eigen::VectorXd& x, Eigen::MatrixXd& fjac) {
    evaluate_at(x);
    fjac = jacobian_;
    return 0;
  }

  // Leaves the model evaluated at x, evaluating it again only when the last
  // evaluation was elsewhere.
  void evaluate_at(const Eigen::VectorXd& x) {
    if (!evaluated_ || x.size() != last_.size() ||
        std::memcmp(x.data(), last_.data(), static_cast<std::size_t>(x.size()) * sizeof(double)) != 0)
      evaluate(x);
  }

  // The full vector with the free entries of x.
  const std::vector<double>& full_at(const Eigen::VectorXd& x) {
    for (std::size_t j = 0; j < free_.size(); ++j) full_[free_[j]] = x[static_cast<Eigen::Index>(j)];
    return full_;
  }

  // Of the last projected evaluation: its line, and whether every row was inside.
  const ModelAssembler::Line& line() const { return line_; }
  bool inside() const { return inside_; }

 private:
  void evaluate(const Eigen::VectorXd& x) {
    model_.evaluate(full_at(x).data());
    if (projected_) {
      inside_ = model_.project(free_, residual_.data(), jacobian_.data(), line_);
    } else {
      model_.assemble(full_.data(), free_, true, residual_.data(), jacobian_.data());
    }
    last_ = x;
    evaluated_ = true;
  }

  ModelAssembler& model_;
  std::vector<double> full_;
  std::vector<std::size_t> free_;
  bool projected_;
  Eigen::VectorXd residual_;
  Eigen::MatrixXd jacobian_;  // column-major, as `assemble` and `project` write it
  Eigen::VectorXd last_;
  bool evaluated_ = false;
  ModelAssembler::Line line_;
  bool inside_ = false;
};

bool data_usable(const FitData& data) {
  for (const std::span<const double>& column : data.columns)
    if (column.size() < data.target.size()) return false;
  return true;
}

// The tolerances the minimiser met, as opposed to running out of
// evaluations, improper input or tolerances below rounding (which 1e-12
// never are).
bool converged(Eigen::LevenbergMarquardtSpace::Status status) {
  using namespace Eigen::LevenbergMarquardtSpace;
  return status == RelativeReductionTooSmall || status == RelativeErrorTooSmall ||
         status == RelativeErrorAndReductionTooSmall || status == CosinusTooSmall;
}

}  // namespace

std::optional<std::size_t> inner_parameter_count(const Expr& shape, std::size_t variables) {
  const std::optional<ShapeLayout> layout = layout_of(shape, variables);
  if (!layout) return std::nullopt;
  return layout->inner;
}

std::optional<ModelValues> model_values(const Expr& shape, const FitData& data, std::span<const double> full,
                                        bool mark_outside) {
  const std::optional<ShapeLayout> layout = layout_of(shape, data.columns.size());
  if (!layout || full.size() != layout->inner + 2 || !data_usable(data)) return std::nullopt;
  ModelAssembler model(shape, data, *layout);
  const std::size_t rows = data.target.size();
  std::vector<std::size_t> every(full.size());
  for (std::size_t j = 0; j < every.size(); ++j) every[j] = j;
  std::vector<double> by_column(rows * full.size());
  ModelValues out;
  out.residual.resize(rows);
  model.evaluate(full.data());
  model.assemble(full.data(), every, mark_outside, out.residual.data(), by_column.data());
  out.jacobian.resize(rows * full.size());
  for (std::size_t i = 0; i < rows; ++i)
    for (std::size_t j = 0; j < full.size(); ++j) out.jacobian[i * full.size() + j] = by_column[j * rows + i];
  return out;
}

bool undetermined(std::span<const double> jacobian, std::size_t rows, std::size_t columns) {
  if (columns == 0) return false;
  Eigen::MatrixXd scaled(static_cast<Eigen::Index>(rows), static_cast<Eigen::Index>(columns));
  for (std::size_t j = 0; j < columns; ++j) {
    double sum = 0.0;
    for (std::size_t i = 0; i < rows; ++i) sum += jacobian[i * columns + j] * jacobian[i * columns + j];
    const double norm = std::sqrt(sum);
    if (!(norm > 0.0 && finite(norm))) return true;
    for (std::size_t i = 0; i < rows; ++i)
      scaled(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(j)) = jacobian[i * columns + j] / norm;
  }
  const Eigen::VectorXd singular = Eigen::JacobiSVD<Eigen::MatrixXd>(scaled).singularValues();
  return !(singular[singular.size() - 1] > 1e-9 * singular[0]);
}

ParameterFit fit_parameters(const Expr& shape, const FitData& data, std::span<const double> start,
                            const std::vector<bool>& free, const FitOptions& options) {
  ParameterFit result;
  result.full.assign(start.begin(), start.end());
  const std::optional<ShapeLayout> layout = layout_of(shape, data.columns.size());
  if (!layout || start.size() != layout->inner + 2 || free.size() != start.size() || !data_usable(data) ||
      !std::all_of(start.begin(), start.end(), finite))
    return result;
  std::vector<std::size_t> free_entries;
  for (std::size_t j = 0; j < free.size(); ++j)
    if (free[j]) free_entries.push_back(j);
  const std::size_t rows = data.target.size();
  if (free_entries.empty() || free_entries.size() > rows || options.evaluations_per_entry == 0) return result;

  // With the scale and offset both free and some inner entry free too, the
  // minimiser moves the inner ones only and the line is solved for at each
  // point: two columns fewer in every factorisation, and steps that never
  // leave the scale and offset behind the inner parameters.
  const std::size_t inner = layout->inner;
  std::vector<std::size_t> moved;
  for (const std::size_t entry : free_entries)
    if (entry < inner) moved.push_back(entry);
  const bool projected = free[inner] && free[inner + 1] && !moved.empty() && options.project_line;
  if (!projected) moved = free_entries;

  ModelAssembler model(shape, data, *layout);
  ResidualFunctor functor(model, result.full, moved, projected);
  Eigen::LevenbergMarquardt<ResidualFunctor> minimiser(functor);
  minimiser.parameters.ftol = options.tolerance;
  minimiser.parameters.xtol = options.tolerance;
  minimiser.parameters.gtol = options.tolerance;
  minimiser.parameters.maxfev =
      static_cast<Eigen::Index>(options.evaluations_per_entry * (free_entries.size() + 1));
  Eigen::VectorXd x(static_cast<Eigen::Index>(moved.size()));
  for (std::size_t j = 0; j < moved.size(); ++j) x[static_cast<Eigen::Index>(j)] = start[moved[j]];
  const Eigen::LevenbergMarquardtSpace::Status status = minimiser.minimize(x);
  result.evaluations = static_cast<std::size_t>(minimiser.nfev);
  if (!converged(status) || !x.allFinite()) {
    result.status = FitStatus::NotConverged;
    return result;
  }
  functor.evaluate_at(x);
  std::vector<double> optimum = functor.full_at(x);
  if (projected) {
    if (!functor.inside()) {
      result.full = std::move(optimum);
      result.status = FitStatus::NotFinite;
      return result;
    }
    optimum[inner] = functor.line().scale;
    optimum[inner + 1] = functor.line().offset;
  }
  result.full = std::move(optimum);

  // At the optimum every row must be inside the domain.
  const std::size_t free_count = free_entries.size();
  std::vector<double> residual(rows);
  std::vector<double> by_column(rows * free_count);
  if (!model.assemble(result.full.data(), free_entries, false, residual.data(), by_column.data())) {
    result.status = FitStatus::NotFinite;
    return result;
  }
  result.jacobian.resize(rows * free_count);
  for (std::size_t i = 0; i < rows; ++i)
    for (std::size_t j = 0; j < free_count; ++j)
      result.jacobian[i * free_count + j] = by_column[j * rows + i];
  if (undetermined(result.jacobian, rows, free_count)) {
    result.jacobian.clear();
    result.status = FitStatus::Undetermined;
    return result;
  }
  double sse = 0.0;
  for (const double r : residual) sse += r * r;
  result.sse = sse;
  result.status = FitStatus::Converged;
  return result;
}

std::optional<std::vector<double>> with_linear_start(const Expr& shape, const FitData& data,
                                                     std::span<const double> inner) {
  const std::optional<ShapeLayout> layout = layout_of(shape, data.columns.size());
  const std::size_t rows = data.target.size();
  if (!layout || inner.size() != layout->inner || !data_usable(data) || rows == 0) return std::nullopt;
  DualEvaluator evaluator(shape, data, *layout);
  evaluator.run(inner.data());
  const double* f = evaluator.values();
  double f_sum = 0.0, y_sum = 0.0;
  bool constant = true;  // tested exactly: a mean of equal values need not equal them
  for (std::size_t i = 0; i < rows; ++i) {
    if (!finite(f[i])) return std::nullopt;
    constant = constant && f[i] == f[0];
    f_sum += f[i];
    y_sum += data.target[i];
  }
  if (constant) return std::nullopt;
  const double f_mean = f_sum / static_cast<double>(rows);
  const double y_mean = y_sum / static_cast<double>(rows);
  double sff = 0.0, sfy = 0.0;
  for (std::size_t i = 0; i < rows; ++i) {
    const double centred = f[i] - f_mean;
    sff += centred * centred;
    sfy += centred * (data.target[i] - y_mean);
  }
  const double scale = sff > 0.0 ? sfy / sff : 0.0;
  if (scale == 0.0) return std::nullopt;
  std::vector<double> start(inner.begin(), inner.end());
  start.push_back(scale);
  start.push_back(y_mean - scale * f_mean);
  return start;
}

std::vector<ParameterFit> fit_batch(const std::vector<FitJob>& jobs, const FitData& data,
                                    const FitOptions& options) {
  return pool::parallel_map<ParameterFit>(
      jobs.size(),
      [&](std::size_t k) {
        const FitJob& job = jobs[k];
        if (!job.linear_start) return fit_parameters(job.shape, data, job.start, job.free, options);
        const std::optional<std::vector<double>> start = with_linear_start(job.shape, data, job.start);
        if (!start) {
          ParameterFit refused;
          refused.full = job.start;
          return refused;
        }
        const std::vector<bool> every(start->size(), true);
        return fit_parameters(job.shape, data, *start, job.free.empty() ? every : job.free, options);
      },
      1);
}

}  // namespace zor::fit
