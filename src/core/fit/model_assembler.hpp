// The model a·f + b − y of a fit, its residuals and Jacobian, built from one
// forward-mode run over the tokens: at a given scale and offset
// (model_assembler.cpp), or with the scale and offset solved for by linear
// least squares at each point (line_projection.cpp).
#pragma once

#include <cmath>
#include <cstddef>
#include <limits>
#include <span>
#include <vector>

#include "core/discover/expr.hpp"
#include "core/fit/dual_evaluator.hpp"
#include "core/fit/parameter_fit.hpp"

namespace zor::fit::detail {

// Neither infinite nor NaN, without a branch.
inline bool finite(double value) { return std::fabs(value) <= std::numeric_limits<double>::max(); }

// The model a·f + b − y as the fit sees it, from one run of the evaluator at
// the inner parameters (evaluate), in either of two forms.
//
// assemble: at the scale and offset of `full`, the residuals into `residual`
// (rows) and the Jacobian columns listed in `wanted` (entries of `full`) into
// `jacobian`, column after column. A row is outside the domain when its
// residual or any entry of its Jacobian row (wanted or not) is not finite;
// with `mark_outside` its residual becomes kOutsideResidual and its Jacobian
// entries zero. Returns whether every row is inside.
//
// project: the scale and offset solved for (variable projection): the
// least-squares line through f on the rows inside the domain, the residuals
// of that line, and Kaufman's Jacobian with respect to the inner entries in
// `wanted`, the columns a·∂f/∂θ with their part along 1 and f removed. Its
// product with the residuals is the exact gradient of the projected sum of
// squares, so the minimiser stops where the full problem's gradient
// vanishes. Rows outside the domain are marked as by assemble; when the line
// itself or a residual is not finite every row is.
class ModelAssembler {
 public:
  ModelAssembler(const discover::Expr& shape, const FitData& data, const ShapeLayout& layout);

  std::size_t rows() const { return evaluator_.rows(); }
  std::size_t inner() const { return evaluator_.inner(); }

  void evaluate(const double* theta) { evaluator_.run(theta); }

  bool assemble(const double* full, std::span<const std::size_t> wanted, bool mark_outside, double* residual,
                double* jacobian);

  struct Line {
    double scale = 0.0;
    double offset = 0.0;
  };

  // Returns the line and whether every row is inside (false too when the
  // line is not finite).
  bool project(std::span<const std::size_t> wanted, double* residual, double* jacobian, Line& line);

 private:
  // project when every value, derivative and result is finite, in few passes
  // over the rows; false otherwise, and the general path then writes
  // everything again. The sums it needs anyway tell: one over values that
  // are not all finite is not finite (one that overflows, or f constant,
  // sends the rare case to the general path).
  bool project_every_row(std::span<const std::size_t> wanted, double* residual, double* jacobian, Line& line);
  bool project_rows_inside(std::span<const std::size_t> wanted, double* residual, double* jacobian,
                           Line& line);
  bool all_outside(std::size_t columns, double* residual, double* jacobian, Line& line);

  DualEvaluator evaluator_;
  const FitData& data_;
  std::vector<unsigned char> inside_;
  std::vector<double> centred_f_;
  std::vector<double> centred_y_;       // on the rows inside
  std::vector<double> centred_target_;  // on every row
  double target_mean_ = 0.0;
  std::vector<double> gradient_mean_;  // by inner parameter
};

}  // namespace zor::fit::detail
