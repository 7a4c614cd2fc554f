// What a search may hold, by estimate, and the checks that refuse work that
// would outgrow it: the kernel may kill a process that takes more than the
// machine has instead of failing an allocation, so a search throws
// SearchMemoryExceeded first, before the work that would need the memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace zor::discover::detail {

// A level may admit a larger share of its children than the level before
// it: its estimate counts this many times the expected entries. The check
// of every block still holds the line if the estimate was low.
inline constexpr double kLevelHeadroom = 1.25;

// Bytes a fast-search level is expected to need: its seen-set tables, kept
// at most half full, with `seen_entries` already there and room for
// `expected_entries` more (with kLevelHeadroom), and `parent_bytes` for the
// parents.
double level_bytes(double seen_entries, double expected_entries, double parent_bytes);

// The share of a level's children that the level before admitted, from
// which the next level's entries are estimated.
class AdmittedShare {
 public:
  // `before_any_level`: the share assumed before a level has run, the part
  // of the seen set's shards that the estimate covers.
  explicit AdmittedShare(double before_any_level) : before_any_level_(before_any_level) {}

  void record(std::uint64_t generated, std::uint64_t admitted) {
    generated_ = generated;
    admitted_ = admitted;
  }
  // Entries a level of `children` is expected to add.
  double expected_entries(std::uint64_t children) const {
    const double share =
        generated_ > 0 ? static_cast<double>(admitted_) / static_cast<double>(generated_) : before_any_level_;
    return share * static_cast<double>(children);
  }

 private:
  double before_any_level_;
  std::uint64_t generated_ = 0;  // children of the last level
  std::uint64_t admitted_ = 0;   // of those, the admitted ones
};

// One search's memory limit and what its owner holds against it.
class MemoryBudget {
 public:
  // `limit` 0 means default_memory_limit(). `held()` counts the bytes the
  // owner holds between checks; empty counts nothing.
  explicit MemoryBudget(std::uint64_t limit, std::function<std::uint64_t()> held = {});

  std::uint64_t limit() const { return limit_; }
  // Refuses `extra` bytes on top of what is held.
  void require(std::uint64_t extra) const;
  // Refuses a level whose estimate (level_bytes) exceeds the limit: it fails
  // now instead of after minutes of work.
  void require_level(double seen_entries, double expected_entries, double parent_bytes) const;

 private:
  std::uint64_t limit_;
  std::function<std::uint64_t()> held_;
};

// Refuses a level that shard searches in other processes could not hold
// together: the whole seen set's estimate (level_bytes) with every process's
// copy of the parents (`parent_bytes_each`), against the sum of `limits`.
void require_cluster_level(const std::vector<std::uint64_t>& limits, double seen_entries,
                           double expected_entries, double parent_bytes_each);

// Refuses more parents than a seen-set key can name.
void require_parent_positions(std::size_t parents);

}  // namespace zor::discover::detail
