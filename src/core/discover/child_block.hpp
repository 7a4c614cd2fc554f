// A block of a fast-search level's children, in generation order, with what
// admission (child_admission) and scoring (block_scoring) compute for it. One
// block is reused from block to block, so that its buffers are allocated once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/discover/child_generator.hpp"
#include "core/discover/child_scoring.hpp"
#include "core/discover/fingerprint.hpp"
#include "core/discover/ranked_children.hpp"
#include "core/discover/seen_set.hpp"

namespace zor::discover::detail {

// Children admitted together: large enough to keep both phases of admission
// parallel, small enough that polls come every few milliseconds.
inline constexpr std::size_t kChildrenPerBlock = std::size_t{1} << 17;

// Admission inserts a block's children sorted by this many top bits of their
// hash: the shard bits, then the leading bits of the first slot.
inline constexpr unsigned kOrderBits = SeenSet::kShardBits + 4;
inline constexpr std::size_t kOrderBuckets = std::size_t{1} << kOrderBits;
inline constexpr std::size_t kBucketsPerShard = kOrderBuckets / SeenSet::kShards;

inline std::size_t order_bucket(std::uint64_t hash) {
  return static_cast<std::size_t>(hash >> (64 - kOrderBits));
}

struct ChildBlock {
  std::vector<Child> children;
  // Admission: per child, its probe values, their hash, whether it is valid
  // and of the search's own shards, and whether it was inserted.
  std::vector<ProbeValues> probes;
  std::vector<std::uint64_t> hashes;
  std::vector<std::uint8_t> owned;
  std::vector<std::uint8_t> inserted;
  std::vector<std::uint32_t> bucket_start;  // kOrderBuckets + 1 offsets into order
  std::vector<std::uint32_t> order;         // owned children by order_bucket, stably
  std::vector<std::uint32_t> admitted;      // positions of the admitted children
  // Scoring, per admitted child: how its scoring ended and, when scored, its
  // ranking and its complexity on the front, both worked out on the pool.
  std::vector<Scoring> outcomes;
  std::vector<Ranked> ranked;
  std::vector<std::uint64_t> front_sizes;

  // Takes at once the room that admitting and scoring the current children
  // needs, so that bytes() counts it before it is used.
  void reserve_for_children() {
    const std::size_t n = children.size();
    probes.reserve(n);
    hashes.reserve(n);
    owned.reserve(n);
    inserted.reserve(n);
    bucket_start.reserve(kOrderBuckets + 1);
    order.reserve(n);
    admitted.reserve(n);
    outcomes.reserve(n);
    ranked.reserve(n);
    front_sizes.reserve(n);
  }

  // Sizes the scoring results to the admitted children.
  void prepare_scoring() {
    outcomes.resize(admitted.size());
    ranked.resize(admitted.size());
    front_sizes.resize(admitted.size());
  }

  std::uint64_t bytes() const {
    return held(children) + held(probes) + held(hashes) + held(owned) + held(inserted) + held(bucket_start) +
           held(order) + held(admitted) + held(outcomes) + held(ranked) + held(front_sizes);
  }

 private:
  template <class T>
  static std::uint64_t held(const std::vector<T>& v) {
    return v.capacity() * sizeof(T);
  }
};

}  // namespace zor::discover::detail
