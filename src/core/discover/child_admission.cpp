#include "core/discover/child_admission.hpp"

#include <algorithm>
#include <utility>

#include "core/discover/child_values.hpp"
#include "core/discover/seen_key.hpp"
#include "core/pool.hpp"

namespace zor::discover::detail {

namespace {

constexpr std::size_t kFingerprintGrain = 1024;

// The probe values of the candidate named by a seen-set key.
void key_values(const ParentStore& parents, std::uint64_t key, ProbeValues& out) {
  if (is_member_key(key)) {
    out = parents.probes(key_member(key));
    return;
  }
  child_probes(parents, key_child(key), out);
}

}  // namespace

void ShardAdmission::admit_seeds(const std::vector<Seed>& seeds) {
  for (std::size_t i = 0; i < seeds.size(); ++i) {
    const std::uint64_t h = SeenSet::hash(seeds[i].probes);
    const std::size_t shard = SeenSet::shard_of(h);
    if (!range_.owns(shard)) continue;
    // The seeds are not parents yet: a stored seed's hash comes from its place in `seeds`.
    seen_.resize_shard(shard, seen_.slots_needed(shard, 1),
                       [&](std::uint64_t key) { return SeenSet::hash(seeds[key_member(key)].probes); });
    seen_.insert_if_absent(h, member_key(i), [](std::uint64_t) { return false; });
  }
}

bool ShardAdmission::reserve(std::size_t per_shard) {
  return grow([&](std::size_t) { return per_shard; }, 0);
}

// Grows every owned shard to room for extra_of(shard) more entries, after
// checking that the growth fits the budget. Shards are rebuilt on the worker
// pool, a group at a time with a poll after each group.
template <class ExtraOf>
bool ShardAdmission::grow(ExtraOf&& extra_of, std::uint64_t other_bytes) {
  std::uint64_t growth = 0;
  std::uint64_t largest = 0;
  std::vector<std::pair<std::size_t, std::size_t>> grown;  // (shard, slots)
  for (std::size_t s = range_.first; s < range_.last; ++s) {
    const std::size_t needed = seen_.slots_needed(s, extra_of(s));
    if (needed == seen_.slots(s)) continue;
    grown.emplace_back(s, needed);
    growth += (needed - seen_.slots(s)) * SeenSet::kSlotBytes;
    largest = std::max<std::uint64_t>(largest, needed * SeenSet::kSlotBytes);
  }
  if (grown.empty()) return true;
  // While a table is rebuilt, its old slots are still held: one table's on
  // each thread at once.
  budget_.require(growth + zor::pool::thread_count() * largest + other_bytes);
  // Recomputes the hash of a stored key.
  auto stored_hash = [this](std::uint64_t key) {
    ProbeValues values{};
    key_values(parents_, key, values);
    return SeenSet::hash(values);
  };
  // Taking fresh memory costs page faults, which threads take one at a time:
  // a group holds a few megabytes of new tables, so that polls come every
  // few milliseconds.
  constexpr std::uint64_t kBytesPerPoll = std::uint64_t{4} << 20;
  for (std::size_t lo = 0; lo < grown.size();) {
    std::size_t hi = lo;
    for (std::uint64_t bytes = 0; hi < grown.size() && (hi == lo || bytes < kBytesPerPoll); ++hi)
      bytes += grown[hi].second * SeenSet::kSlotBytes;
    zor::pool::for_each_piece(hi - lo, 1, [&](std::size_t a, std::size_t b) {
      for (std::size_t g = lo + a; g < lo + b; ++g)
        seen_.resize_shard(grown[g].first, grown[g].second, stored_hash);
    });
    if (poller_.stop_requested()) return false;
    lo = hi;
  }
  return true;
}

void ShardAdmission::fingerprint(ChildBlock& block) const {
  const std::size_t n = block.children.size();
  block.probes.resize(n);
  block.hashes.resize(n);
  block.owned.assign(n, 0);
  zor::pool::for_each_piece(n, kFingerprintGrain, [&](std::size_t lo, std::size_t hi) {
    for (std::size_t k = lo; k < hi; ++k) {
      if (child_probes(parents_, block.children[k], block.probes[k])) {
        block.hashes[k] = SeenSet::hash(block.probes[k]);
        block.owned[k] = range_.owns(SeenSet::shard_of(block.hashes[k])) ? 1 : 0;
      }
    }
  });
}

bool ShardAdmission::admit(ChildBlock& block, std::uint64_t other_bytes) {
  const std::size_t n = block.children.size();
  // Owned children in order of the top bits of their hash, stably, so that
  // equal fingerprints keep their generation order: each shard's table is
  // then swept in ascending address order instead of at random.
  block.bucket_start.assign(kOrderBuckets + 1, 0);
  for (std::size_t k = 0; k < n; ++k) {
    if (block.owned[k]) ++block.bucket_start[order_bucket(block.hashes[k]) + 1];
  }
  for (std::size_t b = 0; b < kOrderBuckets; ++b) block.bucket_start[b + 1] += block.bucket_start[b];
  block.order.resize(block.bucket_start[kOrderBuckets]);
  {
    std::vector<std::uint32_t> next(block.bucket_start.begin(), block.bucket_start.end() - 1);
    for (std::size_t k = 0; k < n; ++k) {
      if (block.owned[k]) block.order[next[order_bucket(block.hashes[k])]++] = static_cast<std::uint32_t>(k);
    }
  }

  // Grow every shard beforehand, so that insertion never allocates.
  auto incoming = [&](std::size_t shard) {
    return block.bucket_start[(shard + 1) * kBucketsPerShard] - block.bucket_start[shard * kBucketsPerShard];
  };
  if (!grow(incoming, other_bytes + block.bytes())) return false;

  block.inserted.assign(n, 0);
  zor::pool::for_each_piece(range_.last - range_.first, 1, [&](std::size_t lo, std::size_t hi) {
    const std::size_t end = block.bucket_start[(range_.first + hi) * kBucketsPerShard];
    // The entries are still far apart: ask for the slots of the next few
    // while this one is inserted.
    constexpr std::size_t kAhead = 64;
    for (std::size_t r = block.bucket_start[(range_.first + lo) * kBucketsPerShard]; r < end; ++r) {
      if (r + kAhead < end) seen_.prefetch(block.hashes[block.order[r + kAhead]]);
      const std::uint32_t k = block.order[r];
      auto same = [&](std::uint64_t key) {
        ProbeValues stored{};
        key_values(parents_, key, stored);
        return same_probe_bits(stored, block.probes[k]);
      };
      block.inserted[k] = seen_.insert_if_absent(block.hashes[k], child_key(block.children[k]), same) ? 1 : 0;
    }
  });
  block.admitted.clear();
  for (std::size_t k = 0; k < n; ++k) {
    if (block.inserted[k]) block.admitted.push_back(static_cast<std::uint32_t>(k));
  }
  return true;
}

}  // namespace zor::discover::detail
