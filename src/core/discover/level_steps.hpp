// A fast-search level as steps that can run in other processes. A shard
// search owns a range of the seen set's shards: it generates the level's
// children in generation order, fingerprints them, admits those of its own
// shards against its part of the seen set (which persists across levels),
// scores them and keeps what could be the level's best, front entries and
// parents. The coordinator merges the parts in generation order, settles the
// level and chooses the next parents. A single shard search owning every
// shard, in the coordinator's own process, is the one-machine search.
//
// Why merging parts gives the one-machine result bit for bit: each admitted
// child is admitted by exactly one shard search (its fingerprint's shard),
// against the same earlier entries as on one machine, and is scored to the
// same bits. What a part keeps is a superset of what the level keeps from
// its shards: a child that is the level's best, front entry or parent is
// also one among the children of its own part (the part's heaps rank by the
// same key and generation order), and a part's pruning bounds are never
// tighter than the whole level's. The selections are functions of the set of
// offered children, ties broken by generation order, so offering the merged
// parts in generation order gives the same choice. Only the count of
// children scored in full depends on the split: a child pruned on one
// machine may be scored in full by a part that has not seen the better ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/discover/child_generator.hpp"
#include "core/discover/ranked_children.hpp"
#include "core/discover/seen_set.hpp"

namespace zor::discover {

// The shards [first, last) of the seen set.
struct ShardRange {
  std::size_t first = 0;
  std::size_t last = SeenSet::kShards;

  bool owns(std::size_t shard) const { return shard >= first && shard < last; }
  bool valid() const { return first < last && last <= SeenSet::kShards; }
};

// The shard range of part `part` of `parts` equal parts.
inline ShardRange shard_range(std::size_t part, std::size_t parts) {
  return ShardRange{SeenSet::kShards * part / parts, SeenSet::kShards * (part + 1) / parts};
}

// What a shard search needs to run a level.
struct LevelStart {
  std::uint64_t level = 0;
  std::uint64_t first_new = 0;  // parents before it were expanded at earlier levels
  // The parents chosen at the previous level, to be added first, in order
  // (a shard search sharing the coordinator's parents ignores them).
  std::vector<detail::Child> adopted;
  std::optional<double> best_score;  // best score of the earlier levels
  // Per complexity, the front's score of the earlier levels (absent: empty).
  std::vector<std::optional<double>> front_scores;
};

// A shard search's part of a level.
struct LevelPart {
  std::uint64_t generated = 0;  // children generated (every shard search generates all)
  std::uint64_t admitted = 0;   // of those, the ones admitted to this part's shards
  std::uint64_t scored = 0;     // of those, the ones scored in full
  std::uint64_t pruned = 0;     // children left out by the dimension rules (every shard search the same)
  std::uint64_t seen_entries = 0;
  bool cut_short = false;  // the level was stopped before its end
  PhaseSeconds phases;     // of this part; parents are the coordinator's
  // What may be the level's best, front entries or parents, in generation order.
  std::vector<detail::Ranked> candidates;
};

// Runs a level's shard searches, wherever they are.
class LevelRunner {
 public:
  virtual ~LevelRunner() = default;
  // Every shard search's part of the level; the parts come back in shard order.
  virtual std::vector<LevelPart> expand(const LevelStart& start) = 0;
  // Bytes each shard search may hold (0: unknown); empty when the runner is
  // this process.
  virtual std::vector<std::uint64_t> memory_limits() const = 0;
};

// Plain byte encodings of the messages, for runners in other processes.
// Both ends must be the same build on the same platform; decode throws
// std::invalid_argument on a message that is not a whole encoding.
std::string encode(const LevelStart& start);
std::string encode(const LevelPart& part);
LevelStart decode_start(std::string_view bytes);
LevelPart decode_part(std::string_view bytes);

}  // namespace zor::discover
