// The worker's side of the level steps (see level_steps.hpp): a range of the
// seen set's shards and everything needed to generate, admit and score a
// level's children for them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "core/discover/level_steps.hpp"
#include "core/discover/search.hpp"

namespace zor::discover {

namespace detail {
class ParentStore;
}

class ShardSearch {
 public:
  // `shared_parents`: the coordinator's parents when the shard search runs
  // in its process (the coordinator then adds every parent, seeds
  // included); null for a shard search with parents of its own. `poll` is
  // asked every few milliseconds of work (Stop ends the level early, Cancel
  // throws Cancelled); `memory_limit` bounds what the shard search holds (0:
  // most of the memory available). `dimensions` (null: no units) must
  // outlive the shard search; with shared parents they are the parents'.
  ShardSearch(const Columns& columns, const std::vector<double>& y, const SearchOptions& options,
              ShardRange range, bool keep_front, detail::ParentStore* shared_parents,
              std::function<PollAnswer()> poll, std::uint64_t memory_limit,
              const DimensionRules* dimensions = nullptr);
  ~ShardSearch();
  ShardSearch(const ShardSearch&) = delete;
  ShardSearch& operator=(const ShardSearch&) = delete;

  LevelPart expand(const LevelStart& start);
  // Bytes held between levels: the seen set and, when they are its own, the parents.
  std::uint64_t bytes() const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace zor::discover
