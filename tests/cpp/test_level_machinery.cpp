// The pieces a fast-search level is run with: admission to the seen set (the
// first of equal fingerprints is kept, each child has one owner shard), the
// fold into best, front and parents (parts merged give the whole level's
// choice) and the memory budget (one estimate for a shard and a cluster).
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "core/discover/child_admission.hpp"
#include "core/discover/child_values.hpp"
#include "core/discover/level_fold.hpp"
#include "core/discover/memory_budget.hpp"
#include "core/discover/seeds.hpp"
#include "core/discover/seen_key.hpp"
#include "core/discover/stop_poller.hpp"
#include "discover_tokens.hpp"

namespace zor::discover::detail {
namespace {

using tokens::kNaN;

constexpr std::uint64_t kPlenty = std::uint64_t{1} << 34;

// Two variables on two rows, their seeds as parents, and level 2's admitted
// children added as parents too, so that level 3 has many children with
// equal fingerprints (a + b and b + a, x · x and x², ...).
struct Pool {
  Columns columns{{0.5, 1.5}, {2.0, 3.0}};
  SearchOptions options;
  ParentStore parents{2, true};
  std::vector<OpCode> unary = unary_operators(options);
  std::vector<OpCode> binary = binary_operators(options);
  std::size_t first_new = 0;

  explicit Pool(std::vector<std::set<std::vector<std::uint64_t>>*> seen_sets) {
    const std::vector<Seed> seeds = admitted_seeds(columns, options);
    parents.reserve(seeds.size());
    for (const Seed& s : seeds) {
      parents.add(s.expression, s.probes, [&](double* out) { seed_values(s.expression, columns, out); });
      for (auto* seen : seen_sets) seen->insert(probe_bits(s.probes));
    }
  }

  std::vector<Child> level(std::uint64_t max_complexity) const {
    ChildGenerator generator(parents.complexities(), first_new, unary, binary, max_complexity);
    std::vector<Child> children;
    generator.fill(children, std::size_t{1} << 20);
    return children;
  }

  static std::vector<std::uint64_t> probe_bits(const ProbeValues& probes) {
    std::vector<std::uint64_t> bits;
    for (double p : probes) bits.push_back(std::bit_cast<std::uint64_t>(p));
    return bits;
  }
};

// Admission written out plainly: in generation order, a child with a
// fingerprint not seen before is admitted. `repeats` counts the children
// whose fingerprint was seen before.
std::vector<std::uint32_t> sequential_admission(const ParentStore& parents,
                                                const std::vector<Child>& children,
                                                std::set<std::vector<std::uint64_t>>& seen,
                                                std::size_t& repeats) {
  std::vector<std::uint32_t> admitted;
  repeats = 0;
  for (std::uint32_t k = 0; k < children.size(); ++k) {
    ProbeValues probes{};
    if (!child_probes(parents, children[k], probes)) continue;
    if (seen.insert(Pool::probe_bits(probes)).second) {
      admitted.push_back(k);
    } else {
      ++repeats;
    }
  }
  return admitted;
}

// One shard search's admission with its own seen set.
struct Admitter {
  bool cut_short = false;
  std::function<PollAnswer()> no_poll;
  StopPoller poller{no_poll, cut_short};
  MemoryBudget budget{kPlenty};
  ShardAdmission admission;
  Admitter(const ParentStore& parents, ShardRange range) : admission(parents, range, budget, poller) {}

  std::vector<std::uint32_t> admit(const std::vector<Child>& children, const std::vector<Seed>& seeds) {
    if (!seeded) admission.admit_seeds(seeds);
    seeded = true;
    ChildBlock block;
    block.children = children;
    block.reserve_for_children();
    admission.fingerprint(block);
    EXPECT_TRUE(admission.admit(block, 0));
    return block.admitted;
  }
  bool seeded = false;
};

TEST(Admission, KeepsTheFirstOfEqualFingerprintsAndGivesEachChildOneOwner) {
  std::set<std::vector<std::uint64_t>> seen;
  Pool pool({&seen});
  const std::vector<Seed> seeds = admitted_seeds(pool.columns, pool.options);
  constexpr std::size_t kParts = 3;
  std::vector<std::unique_ptr<Admitter>> parts;
  for (std::size_t i = 0; i < kParts; ++i)
    parts.push_back(std::make_unique<Admitter>(pool.parents, shard_range(i, kParts)));
  Admitter whole(pool.parents, ShardRange{});

  for (const std::uint64_t max_complexity : {5u, 6u}) {
    const std::vector<Child> children = pool.level(max_complexity);
    std::size_t repeats = 0;
    const std::vector<std::uint32_t> expected = sequential_admission(pool.parents, children, seen, repeats);
    ASSERT_GT(repeats, 20u) << "the level should repeat fingerprints";
    EXPECT_EQ(whole.admit(children, seeds), expected);
    std::vector<std::uint32_t> merged;
    for (auto& part : parts) {
      const std::vector<std::uint32_t> own = part->admit(children, seeds);
      merged.insert(merged.end(), own.begin(), own.end());
    }
    std::sort(merged.begin(), merged.end());
    EXPECT_EQ(merged, expected) << "each admitted child is admitted by exactly one part";

    // The admitted children become parents of the next level.
    std::vector<Child> chosen;
    for (std::uint32_t k : expected) chosen.push_back(children[k]);
    pool.first_new = pool.parents.size();
    pool.parents.reserve(chosen.size());
    add_children(pool.parents, chosen.data(), chosen.size(), 2);
  }
}

TEST(Admission, OfTwoChildrenWithOneFingerprintTheEarlierIsAdmitted) {
  Pool pool({});
  const std::vector<Seed> seeds = admitted_seeds(pool.columns, pool.options);
  const MemberIndex x = 2;
  const Child product{x, x, OpCode::Mul};
  const Child square{x, x, OpCode::Square};
  const Child same_as_seed{x, 0, OpCode::Add};  // x + 0 is the seed x, seen before any child
  for (const bool product_first : {true, false}) {
    Admitter admitter(pool.parents, ShardRange{});
    std::vector<Child> children = {same_as_seed, Child{x, x, OpCode::Exp}};
    children.push_back(product_first ? product : square);
    children.push_back(Child{x, x, OpCode::Sin});
    children.push_back(product_first ? square : product);
    EXPECT_EQ(admitter.admit(children, seeds), (std::vector<std::uint32_t>{1, 2, 3})) << product_first;
  }
}

Ranked ranked_child(std::uint64_t seq, double score, double unscaled, std::uint64_t shape,
                    std::uint64_t size) {
  Ranked r{score, score, seq,
           Child{static_cast<MemberIndex>(seq), static_cast<MemberIndex>(seq), OpCode::Neg}};
  r.unscaled_score = unscaled;
  r.shape = shape;
  r.size = size;
  return r;
}

std::vector<std::uint64_t> seqs(const std::vector<Ranked>& ranked) {
  std::vector<std::uint64_t> out;
  for (const Ranked& r : ranked) out.push_back(r.seq);
  return out;
}

// Best, front entries and parents a fold chose, by generation index.
struct Choice {
  std::optional<std::uint64_t> best;
  std::vector<std::uint64_t> front;
  std::vector<std::uint64_t> parents;
  bool operator==(const Choice&) const = default;
};

void PrintTo(const Choice& c, std::ostream* out) {
  auto list = [&](const char* name, const std::vector<std::uint64_t>& v) {
    *out << " " << name << ":";
    for (std::uint64_t x : v) *out << " " << x;
  };
  *out << "best " << (c.best ? std::to_string(*c.best) : "none");
  list("front", c.front);
  list("parents", c.parents);
}

Choice choice_of(LevelFold& fold) {
  Choice c;
  if (const std::optional<Ranked> best = fold.take_best()) c.best = best->seq;
  std::vector<Ranked> front;
  fold.front().append_pending(front);
  c.front = seqs(front);
  c.parents = seqs(fold.take_parents());
  return c;
}

class FoldSplit : public ::testing::TestWithParam<std::tuple<bool, bool, std::uint64_t>> {};

// What level_steps.hpp rests on: folding each part's children and then the
// parts' candidates, merged in generation order, chooses what folding every
// child at once chooses, ties and NaN scores included.
TEST_P(FoldSplit, PartsMergedInGenerationOrderChooseAsTheWholeLevel) {
  const auto [scaled, keep_front, beam_width] = GetParam();
  SearchOptions options;
  options.scaling = scaled;
  options.beam_width = beam_width;
  const std::optional<double> earlier_best = 0.25;
  const std::vector<std::optional<double>> earlier_front = {std::nullopt, 0.5, std::nullopt, 0.3};
  std::mt19937_64 rng(beam_width * 2 + (scaled ? 1 : 0));
  auto pick = [&](std::initializer_list<double> values) {
    return values.begin()[std::uniform_int_distribution<std::size_t>(0, values.size() - 1)(rng)];
  };
  for (int round = 0; round < 20; ++round) {
    // A NaN target makes every child's score NaN; otherwise no score is NaN
    // (see level_fold.hpp: the merge relies on it).
    const bool nan_targets = round % 5 == 4;
    std::vector<Ranked> children;
    for (std::uint64_t seq = 0; seq < 300; ++seq) {
      const double score = nan_targets ? kNaN : pick({0.1, 0.2, 0.25, 0.3, 0.5, 0.7, 1.0});
      const double unscaled = nan_targets ? kNaN : pick({0.1, 0.4, 0.9});
      children.push_back(ranked_child(seq, score, unscaled, static_cast<std::uint64_t>(pick({0, 1, 2, 3})),
                                      static_cast<std::uint64_t>(pick({1, 3, 4, 5}))));
    }
    LevelFold whole(options, keep_front, earlier_best, Front(earlier_front));
    for (const Ranked& r : children) whole.offer(r, r.size);

    const std::size_t part_count = 1 + round % 5;
    std::vector<LevelFold> parts;
    for (std::size_t p = 0; p < part_count; ++p)
      parts.emplace_back(options, keep_front, earlier_best, Front(earlier_front));
    for (const Ranked& r : children) parts[rng() % part_count].offer(r, r.size);
    std::vector<Ranked> merged;
    for (LevelFold& part : parts) {
      const std::vector<Ranked> candidates = part.candidates();
      EXPECT_TRUE(std::is_sorted(candidates.begin(), candidates.end(),
                                 [](const Ranked& a, const Ranked& b) { return a.seq <= b.seq; }));
      merged.insert(merged.end(), candidates.begin(), candidates.end());
    }
    std::sort(merged.begin(), merged.end(), [](const Ranked& a, const Ranked& b) { return a.seq < b.seq; });
    LevelFold coordinator(options, keep_front, earlier_best, Front(earlier_front));
    for (const Ranked& r : merged) coordinator.offer(r, r.size);

    const Choice expected = choice_of(whole);
    EXPECT_EQ(choice_of(coordinator), expected) << "round " << round;
    EXPECT_EQ(expected.parents.size(), std::min<std::size_t>(beam_width / 4, children.size()));
  }
}

INSTANTIATE_TEST_SUITE_P(Folds, FoldSplit,
                         ::testing::Combine(::testing::Bool(), ::testing::Bool(),
                                            ::testing::Values<std::uint64_t>(0, 12, 80, 4000)));

TEST(Fold, TiesKeepTheEarliestAndNothingReplacesNaN) {
  SearchOptions options;
  LevelFold fold(options, true);
  fold.offer(ranked_child(0, kNaN, 0, 0, 3), 3);
  fold.offer(ranked_child(1, 0.5, 0, 0, 3), 3);
  EXPECT_EQ(fold.take_best()->seq, 0u) << "the first score held is NaN, which nothing replaces";

  LevelFold ties(options, true, 0.5);
  ties.offer(ranked_child(4, 0.5, 0, 0, 3), 3);
  EXPECT_FALSE(ties.take_best()) << "an equal score does not replace the earlier levels' best";
  ties.offer(ranked_child(5, 0.4, 0, 0, 3), 3);
  ties.offer(ranked_child(6, 0.4, 0, 0, 3), 3);
  EXPECT_EQ(ties.take_best()->seq, 5u);
  EXPECT_FALSE(ties.take_best()) << "the level's best is handed over once";
}

// Seen entries, expected entries, parent bytes.
class LevelEstimate : public ::testing::TestWithParam<std::tuple<double, double, double>> {};

// The shard's check and the cluster's use one estimate and refuse exactly
// above it: one worker with the shard's limit decides as the shard does.
TEST_P(LevelEstimate, ShardAndClusterRefuseExactlyAboveTheSameEstimate) {
  const auto [seen, expected, parents] = GetParam();
  const double needed = level_bytes(seen, expected, parents);
  EXPECT_GE(needed, 2.0 * SeenSet::kSlotBytes * (seen + expected) + parents) << "at least half-empty tables";
  const auto fits = static_cast<std::uint64_t>(needed);
  ASSERT_EQ(static_cast<double>(fits), needed) << "the cases are whole bytes";
  EXPECT_NO_THROW(MemoryBudget(fits).require_level(seen, expected, parents));
  EXPECT_THROW(MemoryBudget(fits - 1).require_level(seen, expected, parents), SearchMemoryExceeded);
  EXPECT_NO_THROW(require_cluster_level({fits}, seen, expected, parents));
  EXPECT_THROW(require_cluster_level({fits - 1}, seen, expected, parents), SearchMemoryExceeded);
  // Three workers each hold the parents and share the seen set.
  const auto total = static_cast<std::uint64_t>(level_bytes(seen, expected, 3 * parents));
  EXPECT_NO_THROW(
      require_cluster_level({total / 3, total / 3, total - 2 * (total / 3)}, seen, expected, parents));
  try {
    require_cluster_level({total / 3, total / 3, total - 2 * (total / 3) - 1}, seen, expected, parents);
    FAIL() << "one byte short should be refused";
  } catch (const SearchMemoryExceeded& e) {
    EXPECT_NE(std::string(e.what()).find("usable on 3 workers"), std::string::npos) << e.what();
  }
}

INSTANTIATE_TEST_SUITE_P(Levels, LevelEstimate,
                         ::testing::Values(std::make_tuple(0.0, 0.0, 64.0),
                                           std::make_tuple(1000.0, 400.0, 4096.0),
                                           std::make_tuple(3e6, 8e6, 1e8)));

}  // namespace
}  // namespace zor::discover::detail
