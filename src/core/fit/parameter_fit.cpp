#include "core/fit/parameter_fit.hpp"

#include <Eigen/Core>
#include <Eigen/SVD>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <unsupported/Eigen/NonLinearOptimization>

#include "core/pool.hpp"

namespace zor::fit {

using discover::Expr;
using discover::OpCode;
using discover::Token;
using discover::TokenKind;

namespace {

struct ShapeLayout {
  std::size_t inner = 0;  // one more than the largest parameter index
  std::size_t depth = 0;  // the deepest the evaluation stack grows
};

std::optional<ShapeLayout> layout_of(const Expr& shape, std::size_t variables) {
  ShapeLayout layout;
  std::size_t stack = 0;
  for (const Token& token : shape.tokens) {
    switch (token.kind) {
      case TokenKind::Const:
        ++stack;
        break;
      case TokenKind::Var:
        if (token.index() >= variables) return std::nullopt;
        ++stack;
        break;
      case TokenKind::Param:
        // An index this large could not be given a start anyway.
        if (token.index() >= (std::size_t{1} << 20)) return std::nullopt;
        layout.inner = std::max<std::size_t>(layout.inner, token.index() + 1);
        ++stack;
        break;
      case TokenKind::Op: {
        if (static_cast<std::size_t>(token.op) >= discover::kOperatorCount) return std::nullopt;
        const auto operands = static_cast<std::size_t>(discover::arity(token.op));
        if (stack < operands) return std::nullopt;
        stack -= operands - 1;
        break;
      }
      default:
        return std::nullopt;
    }
    layout.depth = std::max(layout.depth, stack);
  }
  if (stack != 1) return std::nullopt;
  return layout;
}

// Forward mode over the tokens, every row at once. Each stack slot holds a
// formula part's values on the rows followed by their derivatives with
// respect to each inner parameter; a derivative the part does not depend on
// (its parameter appears nowhere in it) is an exact zero that is neither
// stored nor computed. A value or derivative outside the operator's domain
// comes out as an infinity or NaN, as IEEE arithmetic gives it.
class DualEvaluator {
 public:
  DualEvaluator(const Expr& shape, const FitData& data, const ShapeLayout& layout)
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
  void run(const double* theta) {
    std::size_t top = 0;  // slots in use
    for (const Token& token : shape_.tokens) {
      if (token.kind != TokenKind::Op) {
        push_leaf(token, theta, top++);
      } else if (discover::arity(token.op) == 1) {
        unary(token.op, top - 1);
      } else {
        binary(token.op, top - 2);
        --top;
      }
    }
  }

  const double* values() const { return buffer_.data(); }
  // Null when the formula does not depend on parameter j.
  const double* gradient(std::size_t j) const {
    return depends_[j] ? buffer_.data() + (j + 1) * rows_ : nullptr;
  }

 private:
  double* value_of(std::size_t slot) { return buffer_.data() + slot * stride_; }
  double* gradient_of(std::size_t slot, std::size_t j) { return value_of(slot) + (j + 1) * rows_; }
  unsigned char& depends(std::size_t slot, std::size_t j) { return depends_[slot * inner_ + j]; }

  void push_leaf(const Token& token, const double* theta, std::size_t slot) {
    double* v = value_of(slot);
    for (std::size_t j = 0; j < inner_; ++j) depends(slot, j) = false;
    switch (token.kind) {
      case TokenKind::Const:
        std::fill(v, v + rows_, token.value());
        break;
      case TokenKind::Var:
        std::memcpy(v, data_.columns[token.index()].data(), rows_ * sizeof(double));
        break;
      case TokenKind::Param:
        std::fill(v, v + rows_, theta[token.index()]);
        std::fill(gradient_of(slot, token.index()), gradient_of(slot, token.index()) + rows_, 1.0);
        depends(slot, token.index()) = true;
        break;
      case TokenKind::Op:
        break;
    }
  }

  // Replaces each value a by op(a) and each slope by op'(a), then scales the
  // derivatives by the slopes (the chain rule).
  template <class F>
  void map_unary(std::size_t slot, F&& value_and_slope) {
    double* v = value_of(slot);
    double* s = slope_.data();
    for (std::size_t i = 0; i < rows_; ++i) value_and_slope(v[i], s[i]);
    for (std::size_t j = 0; j < inner_; ++j) {
      if (!depends(slot, j)) continue;
      double* g = gradient_of(slot, j);
      for (std::size_t i = 0; i < rows_; ++i) g[i] *= s[i];
    }
  }
  void unary(OpCode op, std::size_t slot) {
    switch (op) {
      case OpCode::Neg:
        return map_unary(slot, [](double& a, double& s) {
          a = -a;
          s = -1.0;
        });
      case OpCode::Recip:
        return map_unary(slot, [](double& a, double& s) {
          a = 1.0 / a;
          s = -a * a;
        });
      case OpCode::Exp:
        return map_unary(slot, [](double& a, double& s) {
          a = std::exp(a);
          s = a;
        });
      case OpCode::Ln:
        return map_unary(slot, [](double& a, double& s) {
          s = 1.0 / a;
          a = std::log(a);
        });
      case OpCode::Sqrt:
        return map_unary(slot, [](double& a, double& s) {
          a = std::sqrt(a);
          s = 0.5 / a;
        });
      case OpCode::Sin:
        return map_unary(slot, [](double& a, double& s) {
          s = std::cos(a);
          a = std::sin(a);
        });
      case OpCode::Cos:
        return map_unary(slot, [](double& a, double& s) {
          s = -std::sin(a);
          a = std::cos(a);
        });
      case OpCode::Abs:
        return map_unary(slot, [](double& a, double& s) {
          s = a > 0.0 ? 1.0 : a < 0.0 ? -1.0 : a == 0.0 ? 0.0 : a;  // NaN stays NaN
          a = std::fabs(a);
        });
      case OpCode::Square:
        return map_unary(slot, [](double& a, double& s) {
          s = 2.0 * a;
          a = a * a;
        });
      default:
        return;
    }
  }

  // Left operand in `slot`, right one in the next; the result replaces the left.
  void binary(OpCode op, std::size_t slot) {
    double* a = value_of(slot);
    const double* b = value_of(slot + 1);
    // d(result)/d(parameter j) from each operand's derivative: ga·left_factor
    // + gb·right_factor, over the operands that depend on parameter j.
    auto chain = [&](auto&& left_factor, auto&& right_factor) {
      for (std::size_t j = 0; j < inner_; ++j) {
        const bool left = depends(slot, j);
        const bool right = depends(slot + 1, j);
        double* ga = gradient_of(slot, j);
        const double* gb = gradient_of(slot + 1, j);
        if (left && right) {
          for (std::size_t i = 0; i < rows_; ++i) ga[i] = ga[i] * left_factor(i) + gb[i] * right_factor(i);
        } else if (left) {
          for (std::size_t i = 0; i < rows_; ++i) ga[i] = ga[i] * left_factor(i);
        } else if (right) {
          for (std::size_t i = 0; i < rows_; ++i) ga[i] = gb[i] * right_factor(i);
          depends(slot, j) = true;
        }
      }
    };
    double* s = slope_.data();
    switch (op) {
      case OpCode::Add:
        chain([](std::size_t) { return 1.0; }, [](std::size_t) { return 1.0; });
        for (std::size_t i = 0; i < rows_; ++i) a[i] = a[i] + b[i];
        return;
      case OpCode::Sub:
        chain([](std::size_t) { return 1.0; }, [](std::size_t) { return -1.0; });
        for (std::size_t i = 0; i < rows_; ++i) a[i] = a[i] - b[i];
        return;
      case OpCode::Mul:
        chain([&](std::size_t i) { return b[i]; }, [&](std::size_t i) { return a[i]; });
        for (std::size_t i = 0; i < rows_; ++i) a[i] = a[i] * b[i];
        return;
      case OpCode::Div:
        // (ga − gb·q) / b with q = a / b.
        for (std::size_t i = 0; i < rows_; ++i) {
          s[i] = 1.0 / b[i];
          a[i] = a[i] / b[i];
        }
        chain([&](std::size_t i) { return s[i]; }, [&](std::size_t i) { return -a[i] * s[i]; });
        return;
      case OpCode::Zor:
        // exp(a) − ln(b), undefined where b ≤ 0 or exp(a) overflows.
        for (std::size_t i = 0; i < rows_; ++i) s[i] = std::exp(a[i]);
        chain([&](std::size_t i) { return s[i]; }, [&](std::size_t i) { return -1.0 / b[i]; });
        for (std::size_t i = 0; i < rows_; ++i) a[i] = s[i] - std::log(b[i]);
        return;
      default:
        return;
    }
  }

  const Expr& shape_;
  const FitData& data_;
  std::size_t rows_;
  std::size_t inner_;
  std::size_t stride_;
  std::vector<double> buffer_;
  std::vector<unsigned char> depends_;  // slot × inner parameter
  std::vector<double> slope_;
};

// Neither infinite nor NaN, without a branch.
bool finite(double value) { return std::fabs(value) <= std::numeric_limits<double>::max(); }

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
  ModelAssembler(const Expr& shape, const FitData& data, const ShapeLayout& layout)
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

  std::size_t rows() const { return evaluator_.rows(); }
  std::size_t inner() const { return evaluator_.inner(); }

  void evaluate(const double* theta) { evaluator_.run(theta); }

  bool assemble(const double* full, std::span<const std::size_t> wanted, bool mark_outside, double* residual,
                double* jacobian) {
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

  struct Line {
    double scale = 0.0;
    double offset = 0.0;
  };

  // Returns the line and whether every row is inside (false too when the
  // line is not finite).
  bool project(std::span<const std::size_t> wanted, double* residual, double* jacobian, Line& line) {
    if (project_every_row(wanted, residual, jacobian, line)) return true;
    return project_rows_inside(wanted, residual, jacobian, line);
  }

 private:
  // project when every value, derivative and result is finite, in few passes
  // over the rows; false otherwise, and the general path then writes
  // everything again. The sums it needs anyway tell: one over values that
  // are not all finite is not finite (one that overflows, or f constant,
  // sends the rare case to the general path).
  bool project_every_row(std::span<const std::size_t> wanted, double* residual, double* jacobian,
                         Line& line) {
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

  bool project_rows_inside(std::span<const std::size_t> wanted, double* residual, double* jacobian,
                           Line& line) {
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

  bool all_outside(std::size_t columns, double* residual, double* jacobian, Line& line) {
    const std::size_t rows = evaluator_.rows();
    std::fill(residual, residual + rows, kOutsideResidual);
    std::fill(jacobian, jacobian + columns * rows, 0.0);
    line = Line{std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::quiet_NaN()};
    return false;
  }

  DualEvaluator evaluator_;
  const FitData& data_;
  std::vector<unsigned char> inside_;
  std::vector<double> centred_f_;
  std::vector<double> centred_y_;       // on the rows inside
  std::vector<double> centred_target_;  // on every row
  double target_mean_ = 0.0;
  std::vector<double> gradient_mean_;  // by inner parameter
};

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
