#include "core/discover/seeds.hpp"

#include <algorithm>
#include <cmath>

#include "core/discover/memory_budget.hpp"
#include "core/discover/render.hpp"

namespace zor::discover {

std::vector<Seed> admitted_seeds(const Columns& columns, const SearchOptions& options) {
  std::vector<Expr> seeds = {Expr{{Token::constant(0.0)}}, Expr{{Token::constant(1.0)}}};
  for (std::size_t k = 0; k < columns.size(); ++k) seeds.push_back(Expr{{Token::var(k)}});
  const std::vector<ProbeValues> probe_rows =
      options.scaling ? data_probe_rows(columns) : std::vector<ProbeValues>{};
  std::vector<Seed> admitted;
  for (const Expr& seed : seeds) {
    std::optional<ProbeValues> probes;
    const Token leaf = seed.tokens.front();
    if (!options.scaling) {
      probes = probe_values(seed, columns.size());
    } else if (leaf.kind == TokenKind::Var) {
      probes = probe_rows[leaf.index()];
    } else {
      probes.emplace();
      probes->fill(leaf.value());
    }
    if (!probes) continue;
    const bool seen = std::any_of(admitted.begin(), admitted.end(),
                                  [&](const Seed& kept) { return same_probe_bits(kept.probes, *probes); });
    if (!seen) admitted.push_back(Seed{seed, *probes});
  }
  detail::require_parent_positions(admitted.size());
  return admitted;
}

void seed_values(const Expr& seed, const Columns& columns, double* out) {
  const Token leaf = seed.tokens.front();
  const std::size_t rows = columns.front().size();
  if (leaf.kind == TokenKind::Var) {
    std::copy_n(columns[leaf.index()].begin(), rows, out);
  } else {
    std::fill_n(out, rows, leaf.value());
  }
}

std::optional<ScoredCandidate> score_seed(const Expr& seed, const Columns& columns,
                                          const std::vector<double>& y, const SearchOptions& options,
                                          const TargetSummary& targets) {
  if (!options.scaling) return score_candidate(seed, columns, y, options);
  std::vector<double> values(columns.front().size());
  seed_values(seed, columns, values.data());
  const std::optional<AffineFit> fit = fit_affine(values.data(), y.data(), targets);
  if (!fit) return std::nullopt;
  ScoredCandidate scored;
  scored.expression = seed;
  scored.formula = render_formula(seed);
  scored.complexity = scaled_size(1, fit->constant);
  scored.rmse = std::sqrt(fit->sse / targets.m);
  scored.score = penalised_score(scored.rmse, scored.complexity, options.complexity_penalty);
  scored.scale = fit->scale;
  scored.offset = fit->offset;
  return scored;
}

}  // namespace zor::discover
