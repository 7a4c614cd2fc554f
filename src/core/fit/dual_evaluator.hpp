// Forward mode over a formula's tokens: the formula's values on every row
// together with their exact derivatives with respect to each inner
// parameter, as the fit's residuals and Jacobian are built from them.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "core/discover/expr.hpp"
#include "core/fit/parameter_fit.hpp"

namespace zor::fit::detail {

struct ShapeLayout {
  std::size_t inner = 0;  // one more than the largest parameter index
  std::size_t depth = 0;  // the deepest the evaluation stack grows
};

// The layout of the tokens, or absent when they are not a well-formed postfix
// formula over `variables` variables.
std::optional<ShapeLayout> layout_of(const discover::Expr& shape, std::size_t variables);

// Forward mode over the tokens, every row at once. Each stack slot holds a
// formula part's values on the rows followed by their derivatives with
// respect to each inner parameter; a derivative the part does not depend on
// (its parameter appears nowhere in it) is an exact zero that is neither
// stored nor computed. A value or derivative outside the operator's domain
// comes out as an infinity or NaN, as IEEE arithmetic gives it.
class DualEvaluator {
 public:
  DualEvaluator(const discover::Expr& shape, const FitData& data, const ShapeLayout& layout)
      : shape_(shape),
        data_(data),
        rows_(data.target.size()),
        inner_(layout.inner),
        stride_((layout.inner + 1) * data.target.size()),
        buffer_(layout.depth * stride_),
        depends_(layout.depth * layout.inner),
        slope_(rows_) {}

  std::size_t rows() const { return rows_; }
  std::size_t inner() const { return inner_; }

  // Evaluates at the inner parameters theta[0 .. inner).
  void run(const double* theta);

  const double* values() const { return buffer_.data(); }
  // Null when the formula does not depend on parameter j.
  const double* gradient(std::size_t j) const {
    return depends_[j] ? buffer_.data() + (j + 1) * rows_ : nullptr;
  }

 private:
  double* value_of(std::size_t slot) { return buffer_.data() + slot * stride_; }
  double* gradient_of(std::size_t slot, std::size_t j) { return value_of(slot) + (j + 1) * rows_; }
  unsigned char& depends(std::size_t slot, std::size_t j) { return depends_[slot * inner_ + j]; }

  void push_leaf(const discover::Token& token, const double* theta, std::size_t slot);
  // Replaces each value a by op(a) and each slope by op'(a), then scales the
  // derivatives by the slopes (the chain rule).
  template <class F>
  void map_unary(std::size_t slot, F&& value_and_slope);
  void unary(discover::OpCode op, std::size_t slot);
  // Left operand in `slot`, right one in the next; the result replaces the left.
  void binary(discover::OpCode op, std::size_t slot);

  const discover::Expr& shape_;
  const FitData& data_;
  std::size_t rows_;
  std::size_t inner_;
  std::size_t stride_;
  std::vector<double> buffer_;
  std::vector<unsigned char> depends_;  // slot × inner parameter
  std::vector<double> slope_;
};

}  // namespace zor::fit::detail
