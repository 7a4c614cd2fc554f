// Evaluation, fingerprints and the text forms on arbitrary token sequences,
// malformed ones and unknown token kinds and operator codes included.
#include <fuzzer/FuzzedDataProvider.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "core/discover/expr.hpp"
#include "core/discover/fingerprint.hpp"
#include "core/discover/render.hpp"
#include "fuzz_support.hpp"

namespace {

using namespace zor::discover;

// Two codes past the table, so unknown operators are tried too.
constexpr auto kMaxOpCode = static_cast<std::uint8_t>(kOperatorCount + 1);

std::uint64_t pick_index(FuzzedDataProvider& input) {
  if (input.ConsumeIntegralInRange<int>(0, 15) != 0) return input.ConsumeIntegralInRange<std::uint64_t>(0, 3);
  return input.ConsumeIntegral<std::uint64_t>();
}

Token pick_token(FuzzedDataProvider& input) {
  switch (input.ConsumeIntegralInRange<int>(0, 7)) {
    case 0:
    case 1:
      return Token::constant(pick_double(input));
    case 2:
      return Token::param(pick_index(input), pick_double(input));
    case 3:
      return Token::var(pick_index(input));
    case 7: {  // any kind byte, any operator byte, any payload
      Token token;
      token.kind = static_cast<TokenKind>(input.ConsumeIntegral<std::uint8_t>());
      token.op = static_cast<OpCode>(input.ConsumeIntegral<std::uint8_t>());
      token.payload = input.ConsumeIntegral<std::uint64_t>();
      return token;
    }
    default:
      return Token::op_token(static_cast<OpCode>(input.ConsumeIntegralInRange<std::uint8_t>(0, kMaxOpCode)));
  }
}

// True when the sequence can be evaluated on a row of `n_vars` values: known
// kinds and operators, enough operands, variables inside the row, one result.
bool well_formed(const Expr& expr, std::size_t n_vars) {
  std::size_t depth = 0;
  for (const Token& token : expr.tokens) {
    switch (token.kind) {
      case TokenKind::Const:
      case TokenKind::Param:
        ++depth;
        break;
      case TokenKind::Var:
        if (token.index() >= n_vars) return false;
        ++depth;
        break;
      case TokenKind::Op: {
        if (static_cast<std::size_t>(token.op) >= kOperatorCount) return false;
        const auto operands = static_cast<std::size_t>(arity(token.op));
        if (depth < operands) return false;
        depth -= operands - 1;
        break;
      }
      default:
        return false;
    }
  }
  return depth == 1;
}

// Every "(" closed by a later ")" and no ")" without its "(".
bool balanced(const std::string& text) {
  long open = 0;
  for (char c : text) {
    if (c == '(') ++open;
    if (c == ')' && --open < 0) return false;
  }
  return open == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const std::size_t n_vars = input.ConsumeIntegralInRange<std::size_t>(0, 3);
  std::vector<double> row;
  for (std::size_t k = 0; k < n_vars; ++k) row.push_back(pick_double(input));
  std::vector<double> params;
  for (int k = input.ConsumeIntegralInRange<int>(0, 2); k > 0; --k) params.push_back(pick_double(input));
  Expr expr;
  for (int k = input.ConsumeIntegralInRange<int>(0, 24); k > 0; --k) expr.tokens.push_back(pick_token(input));

  const bool formed = well_formed(expr, row.size());
  const std::optional<double> value = evaluate(expr, row, params);
  if (value) {
    require(formed, "a malformed sequence was evaluated");
    // Only operator results are tested for finiteness: a lone leaf passes as it is.
    require(std::isfinite(*value) || expr.tokens.size() == 1, "an operator gave a value that is not finite");
  }

  const std::optional<Fingerprint> fp = fingerprint(expr, n_vars);
  if (fp) {
    for (std::size_t j = 0; j < PROBE_POINTS.size(); ++j) {
      std::vector<double> probe(n_vars);
      for (std::size_t k = 0; k < n_vars; ++k) probe[k] = static_cast<double>(k + 1) * PROBE_POINTS[j];
      const std::optional<double> at_probe = evaluate(expr, probe, {});
      require(at_probe.has_value(), "fingerprinted formula fails at a probe");
      const auto bits = std::bit_cast<std::uint64_t>(*at_probe);
      require(fp->at(2 * j) == static_cast<std::int32_t>(static_cast<std::uint32_t>(bits >> 32)) &&
                  fp->at(2 * j + 1) == static_cast<std::uint32_t>(bits),
              "fingerprint does not hold the probe value");
    }
    FingerprintSet seen;
    require(
        seen.insert_if_absent(*fp) && !seen.insert_if_absent(*fp) && seen.contains(*fp) && seen.size() == 1,
        "fingerprint set admits a fingerprint twice");
  }

  const std::string text = render_formula(expr);
  require(!text.empty(), "empty rendering");
  if (formed) require(balanced(text), "rendering of a well-formed formula has unbalanced parentheses");
  const std::string latex = to_latex(text);
  if (formed) require(balanced(latex), "LaTeX form has unbalanced parentheses");
  const std::string python = to_python(text);
  require(python.rfind("import math\nf = lambda x: ", 0) == 0, "Python form lost its header");

  // The rewriters also take any text, not only renderings.
  const std::string raw = input.ConsumeRemainingBytesAsString();
  to_latex(raw);
  to_python(raw);
  return 0;
}
