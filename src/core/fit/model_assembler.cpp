#include "core/fit/model_assembler.hpp"

#include <algorithm>
#include <cstring>

namespace zor::fit::detail {

using discover::Expr;

ModelAssembler::ModelAssembler(const Expr& shape, const FitData& data, const ShapeLayout& layout)
    : evaluator_(shape, data, layout),
      data_(data),
      inside_(data.target.size()),
      centred_f_(data.target.size()),
      centred_y_(data.target.size()),
      centred_target_(data.target.size()),
      gradient_mean_(layout.inner) {
  const std::size_t rows = data.target.size();
  double sum = 0.0;
  for (std::size_t i = 0; i < rows; ++i) sum += data.target[i];
  target_mean_ = rows > 0 ? sum / static_cast<double>(rows) : 0.0;
  for (std::size_t i = 0; i < rows; ++i) centred_target_[i] = data.target[i] - target_mean_;
}

bool ModelAssembler::assemble(const double* full, std::span<const std::size_t> wanted, bool mark_outside,
                              double* residual, double* jacobian) {
  const std::size_t rows = evaluator_.rows();
  const std::size_t inner = evaluator_.inner();
  const double scale = full[inner];
  const double offset = full[inner + 1];
  const double* f = evaluator_.values();
  for (std::size_t i = 0; i < rows; ++i) {
    residual[i] = scale * f[i] + offset - data_.target[i];
    inside_[i] = finite(residual[i]) & finite(f[i]);
  }
  // Each derivative column scaled once: written out when wanted, checked in any case.
  for (std::size_t j = 0; j < inner; ++j) {
    const double* g = evaluator_.gradient(j);
    if (g == nullptr) continue;
    const auto at = std::find(wanted.begin(), wanted.end(), j);
    if (at == wanted.end()) {
      for (std::size_t i = 0; i < rows; ++i) inside_[i] &= finite(scale * g[i]);
      continue;
    }
    double* column = jacobian + static_cast<std::size_t>(at - wanted.begin()) * rows;
    for (std::size_t i = 0; i < rows; ++i) {
      column[i] = scale * g[i];
      inside_[i] &= finite(column[i]);
    }
  }
  for (std::size_t c = 0; c < wanted.size(); ++c) {
    double* column = jacobian + c * rows;
    const std::size_t entry = wanted[c];
    if (entry == inner) {
      std::memcpy(column, f, rows * sizeof(double));
    } else if (entry == inner + 1) {
      std::fill(column, column + rows, 1.0);
    } else if (evaluator_.gradient(entry) == nullptr) {
      std::fill(column, column + rows, 0.0);
    }
  }
  bool all_inside = true;
  for (std::size_t i = 0; i < rows; ++i) {
    if (inside_[i]) continue;
    all_inside = false;
    if (!mark_outside) continue;
    residual[i] = kOutsideResidual;
    for (std::size_t c = 0; c < wanted.size(); ++c) jacobian[c * rows + i] = 0.0;
  }
  return all_inside;
}

}  // namespace zor::fit::detail
