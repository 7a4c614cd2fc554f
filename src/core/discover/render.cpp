#include "core/discover/render.hpp"

#include <numbers>
#include <vector>

#include "core/format.hpp"

namespace zor::discover {

namespace {

std::string fixed4(double value) { return zor::format_fixed(value, 4); }

std::string render_const(double value) {
  if (value == std::numbers::pi) return "\xCF\x80";  // U+03C0
  if (value == std::numbers::e) return "e";
  return fixed4(value);
}

std::string pop_or_empty(std::vector<std::string>& stack) {
  if (stack.empty()) return std::string();
  std::string top = std::move(stack.back());
  stack.pop_back();
  return top;
}

std::string render_unary(OpCode op, const std::string& a) {
  switch (op) {
    case OpCode::Neg:
      return "(-" + a + ")";
    case OpCode::Recip:
      return "(1/" + a + ")";
    case OpCode::Exp:
      return "exp(" + a + ")";
    case OpCode::Ln:
      return "ln(" + a + ")";
    case OpCode::Sqrt:
      return "sqrt(" + a + ")";
    case OpCode::Sin:
      return "sin(" + a + ")";
    case OpCode::Cos:
      return "cos(" + a + ")";
    case OpCode::Abs:
      return "abs(" + a + ")";
    default:
      return "?(" + a + ")";
  }
}

std::string render_binary(OpCode op, const std::string& a, const std::string& b) {
  switch (op) {
    case OpCode::Zor:
      return "zor(" + a + ", " + b + ")";
    case OpCode::Add:
      return "(" + a + " + " + b + ")";
    case OpCode::Sub:
      return "(" + a + " - " + b + ")";
    case OpCode::Mul:
      return "(" + a + " * " + b + ")";
    case OpCode::Div:
      return "(" + a + " / " + b + ")";
    default:
      return "?(" + a + ", " + b + ")";
  }
}

// Replaces every occurrence of `pattern`, scanning left to right; replaced
// text is never examined again.
std::string replace_all(std::string_view text, std::string_view pattern, std::string_view replacement) {
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (true) {
    const std::size_t hit = text.find(pattern, pos);
    if (hit == std::string_view::npos) break;
    out.append(text.substr(pos, hit - pos));
    out.append(replacement);
    pos = hit + pattern.size();
  }
  out.append(text.substr(pos));
  return out;
}

// "sqrt(" becomes "\sqrt{" and the parenthesis closing its argument "}".
// Parentheses are matched over the text being rewritten; a ")" without an
// opening partner is kept, and a square root whose argument never closes keeps
// its "\sqrt{" unclosed.
std::string rewrite_sqrt(std::string_view text) {
  static constexpr std::string_view kSqrt = "sqrt(";
  std::string out;
  out.reserve(text.size() + 8);
  std::vector<bool> open_is_sqrt;
  std::size_t pos = 0;
  while (pos < text.size()) {
    if (text.compare(pos, kSqrt.size(), kSqrt) == 0) {
      out.append("\\sqrt{");
      open_is_sqrt.push_back(true);
      pos += kSqrt.size();
      continue;
    }
    const char c = text[pos];
    if (c == '(') {
      open_is_sqrt.push_back(false);
      out.push_back('(');
    } else if (c == ')' && !open_is_sqrt.empty()) {
      out.push_back(open_is_sqrt.back() ? '}' : ')');
      open_is_sqrt.pop_back();
    } else {
      out.push_back(c);
    }
    ++pos;
  }
  return out;
}

}  // namespace

std::string variable_name(std::uint64_t index) {
  const unsigned code = static_cast<unsigned>((120 + index) % 256);
  std::string name;
  if (code < 0x80) {
    name.push_back(static_cast<char>(code));
  } else {
    name.push_back(static_cast<char>(0xC0 | (code >> 6)));
    name.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
  return name;
}

std::string render_formula(const Expr& expr) {
  std::vector<std::string> stack;
  stack.reserve(expr.tokens.size());
  for (const Token& token : expr.tokens) {
    switch (token.kind) {
      case TokenKind::Const:
        stack.push_back(render_const(token.value()));
        break;
      case TokenKind::Param:
        stack.push_back("c" + std::to_string(token.index()) + "(" + fixed4(token.stored) + ")");
        break;
      case TokenKind::Var:
        stack.push_back(variable_name(token.index()));
        break;
      case TokenKind::Op:
        if (arity(token.op) == 1) {
          std::string a = pop_or_empty(stack);
          stack.push_back(render_unary(token.op, a));
        } else {
          std::string b = pop_or_empty(stack);
          std::string a = pop_or_empty(stack);
          stack.push_back(render_binary(token.op, a, b));
        }
        break;
    }
  }
  if (stack.empty()) return "?";
  return std::move(stack.back());
}

std::string to_latex(std::string_view formula) {
  std::string text = replace_all(formula, "exp(", "\\exp(");
  text = replace_all(text, "ln(", "\\ln(");
  text = rewrite_sqrt(text);
  text = replace_all(text, "sin(", "\\sin(");
  text = replace_all(text, "cos(", "\\cos(");
  text = replace_all(text, "zor(", "\\mathrm{zor}(");
  return replace_all(text, "pi", "\\pi");
}

std::string to_python(std::string_view formula) {
  std::string text = replace_all(formula, "exp(", "math.exp(");
  text = replace_all(text, "ln(", "math.log(");
  text = replace_all(text, "sqrt(", "math.sqrt(");
  text = replace_all(text, "sin(", "math.sin(");
  text = replace_all(text, "cos(", "math.cos(");
  return "import math\nf = lambda x: " + text;
}

}  // namespace zor::discover
