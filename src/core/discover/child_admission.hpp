// Admission of a fast-search level's children to a shard search's part of
// the seen set: a child is admitted when it has a fingerprint, its
// fingerprint's shard is one of the search's own, and no earlier candidate of
// the search had the same probe values. Each shard's entries are inserted in
// generation order by one thread, so the first of several equal children is
// the one admitted, whatever the number of threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/discover/child_block.hpp"
#include "core/discover/level_steps.hpp"
#include "core/discover/memory_budget.hpp"
#include "core/discover/parent_store.hpp"
#include "core/discover/seeds.hpp"
#include "core/discover/seen_set.hpp"
#include "core/discover/stop_poller.hpp"

namespace zor::discover::detail {

class ShardAdmission {
 public:
  // Keys name candidates by parent positions in `parents`, which must hold
  // every parent a key names. `budget` is checked before a table grows and
  // `poller` asked between groups of table rebuilds; all three must outlive
  // the admission.
  ShardAdmission(const ParentStore& parents, ShardRange range, const MemoryBudget& budget,
                 const StopPoller& poller)
      : parents_(parents), range_(range), budget_(budget), poller_(poller) {}

  // Enters the seeds of the search's shards, each under the key of the
  // parent position it takes (its place in `seeds`).
  void admit_seeds(const std::vector<Seed>& seeds);

  // Grows every shard of the search to room for `per_shard` more entries, so
  // that the tables are not rebuilt again and again while a level runs.
  // False when the poll asked to stop meanwhile.
  bool reserve(std::size_t per_shard);

  // The block's probe values, hashes and ownership, on the worker pool.
  void fingerprint(ChildBlock& block) const;

  // Inserts the block's owned children shard by shard, in generation order
  // within each shard; block.admitted lists the admitted positions in order.
  // `other_bytes`: what the level holds besides the seen set, the parents
  // and the block. False when the poll asked to stop while the seen set grew.
  bool admit(ChildBlock& block, std::uint64_t other_bytes);

  std::uint64_t entries() const { return seen_.size(); }
  std::uint64_t bytes() const { return seen_.bytes(); }
  std::size_t shard_count() const { return range_.last - range_.first; }

 private:
  template <class ExtraOf>
  bool grow(ExtraOf&& extra_of, std::uint64_t other_bytes);

  const ParentStore& parents_;
  const ShardRange range_;
  const MemoryBudget& budget_;
  const StopPoller& poller_;
  SeenSet seen_;
};

}  // namespace zor::discover::detail
