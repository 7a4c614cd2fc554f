// ModelAssembler's second form: the scale and offset solved for by linear
// least squares at each point (variable projection), with a fast path for
// the common case where every row is inside the domain.
#include <algorithm>
#include <limits>

#include "core/fit/model_assembler.hpp"

namespace zor::fit::detail {

namespace {

// In four interleaved partial sums, for speed; the order is fixed, so the
// result is the same bits on every run.
double dot(const double* a, const double* b, std::size_t n) {
  double part[4] = {0.0, 0.0, 0.0, 0.0};
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4)
    for (std::size_t k = 0; k < 4; ++k) part[k] += a[i + k] * b[i + k];
  for (; i < n; ++i) part[i % 4] += a[i] * b[i];
  return (part[0] + part[1]) + (part[2] + part[3]);
}

}  // namespace

bool ModelAssembler::project(std::span<const std::size_t> wanted, double* residual, double* jacobian,
                             Line& line) {
  if (project_every_row(wanted, residual, jacobian, line)) return true;
  return project_rows_inside(wanted, residual, jacobian, line);
}

bool ModelAssembler::project_every_row(std::span<const std::size_t> wanted, double* residual,
                                       double* jacobian, Line& line) {
  const std::size_t rows = evaluator_.rows();
  const std::size_t inner = evaluator_.inner();
  const double* f = evaluator_.values();
  if (rows == 0) return false;
  double f_sum = 0.0;
  for (std::size_t i = 0; i < rows; ++i) f_sum += f[i];
  if (!finite(f_sum)) return false;
  for (std::size_t j = 0; j < inner; ++j) {
    const double* g = evaluator_.gradient(j);
    gradient_mean_[j] = 0.0;
    if (g == nullptr) continue;
    double sum = 0.0;
    for (std::size_t i = 0; i < rows; ++i) sum += g[i];
    if (!finite(sum)) return false;
    gradient_mean_[j] = sum / static_cast<double>(rows);
  }
  const double f_mean = f_sum / static_cast<double>(rows);
  double* fc = centred_f_.data();
  const double* yc = centred_target_.data();
  double sff = 0.0, sfy = 0.0;
  for (std::size_t i = 0; i < rows; ++i) {
    fc[i] = f[i] - f_mean;
    sff += fc[i] * fc[i];
    sfy += fc[i] * yc[i];
  }
  if (!(sff > 0.0 && finite(sff))) return false;
  const double scale = sfy / sff;
  const double offset = target_mean_ - scale * f_mean;
  if (!finite(scale) || !finite(offset)) return false;
  double check = 0.0;
  for (std::size_t i = 0; i < rows; ++i) {
    residual[i] = scale * fc[i] - yc[i];
    check += residual[i];
  }
  if (!finite(check)) return false;
  for (std::size_t c = 0; c < wanted.size(); ++c) {
    double* column = jacobian + c * rows;
    const double* g = evaluator_.gradient(wanted[c]);
    if (g == nullptr || scale == 0.0) {
      std::fill(column, column + rows, 0.0);
      continue;
    }
    // a·(g − mean g) less its part along the centred f.
    const double g_mean = gradient_mean_[wanted[c]];
    double along_f = 0.0;
    for (std::size_t i = 0; i < rows; ++i) along_f += fc[i] * (g[i] - g_mean);
    const double share = along_f / sff;
    check = 0.0;
    for (std::size_t i = 0; i < rows; ++i) {
      column[i] = scale * ((g[i] - g_mean) - share * fc[i]);
      check += column[i];
    }
    if (!finite(check)) return false;
  }
  line = Line{scale, offset};
  return true;
}

bool ModelAssembler::project_rows_inside(std::span<const std::size_t> wanted, double* residual,
                                         double* jacobian, Line& line) {
  const std::size_t rows = evaluator_.rows();
  const std::size_t inner = evaluator_.inner();
  const double* f = evaluator_.values();
  const double* y = data_.target.data();
  for (std::size_t i = 0; i < rows; ++i) inside_[i] = finite(f[i]);
  for (std::size_t j = 0; j < inner; ++j) {
    const double* g = evaluator_.gradient(j);
    if (g == nullptr) continue;
    for (std::size_t i = 0; i < rows; ++i) inside_[i] &= finite(g[i]);
  }
  std::size_t count = 0;
  for (std::size_t i = 0; i < rows; ++i) count += inside_[i];
  if (count == 0) return all_outside(wanted.size(), residual, jacobian, line);
  const bool every_row = count == rows;
  // The rows outside count as zeros once centred, so that every sum below
  // runs over all rows alike.
  double f_sum = 0.0, y_sum = 0.0;
  for (std::size_t i = 0; i < rows; ++i) {
    f_sum += inside_[i] ? f[i] : 0.0;
    y_sum += inside_[i] ? y[i] : 0.0;
  }
  const double f_mean = f_sum / static_cast<double>(count);
  const double y_mean = y_sum / static_cast<double>(count);
  double* fc = centred_f_.data();
  double* yc = centred_y_.data();
  if (every_row) {
    for (std::size_t i = 0; i < rows; ++i) fc[i] = f[i] - f_mean;
    for (std::size_t i = 0; i < rows; ++i) yc[i] = y[i] - y_mean;
  } else {
    for (std::size_t i = 0; i < rows; ++i) fc[i] = inside_[i] ? f[i] - f_mean : 0.0;
    for (std::size_t i = 0; i < rows; ++i) yc[i] = inside_[i] ? y[i] - y_mean : 0.0;
  }
  const double sff = dot(fc, fc, rows);
  const double sfy = dot(fc, yc, rows);
  // f constant on the rows inside: any scale fits as well as 0, which
  // leaves the residuals finite; the Jacobian at the optimum then shows the
  // scale undetermined.
  line.scale = sff > 0.0 ? sfy / sff : 0.0;
  line.offset = y_mean - line.scale * f_mean;
  if (!finite(sff) || !finite(line.scale) || !finite(line.offset))
    return all_outside(wanted.size(), residual, jacobian, line);
  bool residuals_finite = true;
  for (std::size_t i = 0; i < rows; ++i) {
    residual[i] = line.scale * fc[i] - yc[i];
    residuals_finite &= finite(residual[i]);
  }
  if (!residuals_finite) return all_outside(wanted.size(), residual, jacobian, line);
  if (!every_row)
    for (std::size_t i = 0; i < rows; ++i)
      if (!inside_[i]) residual[i] = kOutsideResidual;
  for (std::size_t c = 0; c < wanted.size(); ++c) {
    double* column = jacobian + c * rows;
    const double* g = evaluator_.gradient(wanted[c]);
    if (g == nullptr || line.scale == 0.0) {
      std::fill(column, column + rows, 0.0);
      continue;
    }
    if (every_row) {
      for (std::size_t i = 0; i < rows; ++i) column[i] = line.scale * g[i];
    } else {
      for (std::size_t i = 0; i < rows; ++i) column[i] = inside_[i] ? line.scale * g[i] : 0.0;
    }
    double sum = 0.0;
    for (std::size_t i = 0; i < rows; ++i) sum += column[i];
    const double mean = sum / static_cast<double>(count);
    // The part along 1 removed on the rows inside, then the part along f.
    if (every_row) {
      for (std::size_t i = 0; i < rows; ++i) column[i] -= mean;
    } else {
      for (std::size_t i = 0; i < rows; ++i) column[i] = inside_[i] ? column[i] - mean : 0.0;
    }
    const double share = sff > 0.0 ? dot(fc, column, rows) / sff : 0.0;
    bool column_finite = true;
    for (std::size_t i = 0; i < rows; ++i) {
      column[i] -= share * fc[i];
      column_finite &= finite(column[i]);
    }
    if (!column_finite) return all_outside(wanted.size(), residual, jacobian, line);
  }
  return every_row;
}

bool ModelAssembler::all_outside(std::size_t columns, double* residual, double* jacobian, Line& line) {
  const std::size_t rows = evaluator_.rows();
  std::fill(residual, residual + rows, kOutsideResidual);
  std::fill(jacobian, jacobian + columns * rows, 0.0);
  line = Line{std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::quiet_NaN()};
  return false;
}

}  // namespace zor::fit::detail
