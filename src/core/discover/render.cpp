#include "core/discover/render.hpp"

#include <initializer_list>
#include <numbers>
#include <string_view>
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

// The operator's text with `operands` in place of its "{}"s, left to right.
std::string fill_form(std::string_view form, std::initializer_list<std::string_view> operands) {
  std::size_t size = form.size();
  for (std::string_view operand : operands) size += operand.size();
  std::string out;
  out.reserve(size);
  auto operand = operands.begin();
  std::size_t pos = 0;
  for (std::size_t hole = form.find("{}"); hole != std::string_view::npos; hole = form.find("{}", pos)) {
    out.append(form.substr(pos, hole - pos));
    if (operand != operands.end()) out.append(*operand++);
    pos = hole + 2;
  }
  out.append(form.substr(pos));
  return out;
}

// The part of an operator's text before its first operand, e.g. "exp(".
constexpr std::string_view opening(const OperatorInfo& op) { return op.text.substr(0, op.text.find("{}")); }

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

// Rewrites every `opening` (which ends in "(") as `replacement` (which ends
// in "{") and the parenthesis that closes it as "}". Parentheses are matched
// over the text being rewritten; a ")" without an opening partner is kept, and
// an opening whose argument never closes keeps its replacement unclosed.
std::string rewrite_braced(std::string_view text, std::string_view opening, std::string_view replacement) {
  std::string out;
  out.reserve(text.size() + 8);
  std::vector<bool> open_is_rewritten;
  std::size_t pos = 0;
  while (pos < text.size()) {
    if (text.compare(pos, opening.size(), opening) == 0) {
      out.append(replacement);
      open_is_rewritten.push_back(true);
      pos += opening.size();
      continue;
    }
    const char c = text[pos];
    if (c == '(') {
      open_is_rewritten.push_back(false);
      out.push_back('(');
    } else if (c == ')' && !open_is_rewritten.empty()) {
      out.push_back(open_is_rewritten.back() ? '}' : ')');
      open_is_rewritten.pop_back();
    } else {
      out.push_back(c);
    }
    ++pos;
  }
  return out;
}

// Applies each operator's rewrite of its opening, in code order.
std::string rewrite_openings(std::string_view formula, std::string_view OperatorInfo::*form) {
  std::string text(formula);
  for (const OperatorInfo& op : kOperators) {
    const std::string_view replacement = op.*form;
    if (replacement.empty()) continue;
    text = replacement.ends_with('{') ? rewrite_braced(text, opening(op), replacement)
                                      : replace_all(text, opening(op), replacement);
  }
  return text;
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
      case TokenKind::Op: {
        const OperatorInfo& op = operator_info(token.op);
        if (op.arity == 1) {
          std::string a = pop_or_empty(stack);
          stack.push_back(fill_form(op.text, {a}));
        } else {
          std::string b = pop_or_empty(stack);
          std::string a = pop_or_empty(stack);
          stack.push_back(fill_form(op.text, {a, b}));
        }
        break;
      }
    }
  }
  if (stack.empty()) return "?";
  return std::move(stack.back());
}

std::string to_latex(std::string_view formula) {
  return replace_all(rewrite_openings(formula, &OperatorInfo::core_latex_opening), "pi", "\\pi");
}

std::string to_python(std::string_view formula) {
  return "import math\nf = lambda x: " + rewrite_openings(formula, &OperatorInfo::core_python_opening);
}

}  // namespace zor::discover
