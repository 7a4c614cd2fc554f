// The fast search's seen set: the exact values of every admitted candidate at
// the five probe points, in open-addressing tables sharded by hash so that
// several threads can admit one block of candidates at once, each thread
// owning whole shards.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/discover/fingerprint.hpp"

namespace zor::discover {

class ProbeSet {
 public:
  static constexpr unsigned kShardBits = 6;
  static constexpr std::size_t kShards = std::size_t{1} << kShardBits;
  static constexpr std::size_t kSlotBytes = sizeof(ProbeValues);

  ProbeSet();

  static std::uint64_t hash(const ProbeValues& values);
  static std::size_t shard_of(std::uint64_t hash) { return static_cast<std::size_t>(hash >> (64 - kShardBits)); }

  // Slots shard `shard` needs so that `extra` more entries keep it at most
  // 70 % full; its current slot count when it needs no more.
  std::size_t slots_needed(std::size_t shard, std::size_t extra) const;
  // Rehashes shard `shard` into `slots` slots (a power of two, at least its
  // slots_needed for the entries to come).
  void resize_shard(std::size_t shard, std::size_t slots);

  // Inserts unless an equal entry is present; true when inserted. The shard
  // of `hash` must have room (see slots_needed). Calls for different shards
  // may run concurrently.
  bool insert_if_absent(const ProbeValues& values, std::uint64_t hash);

  std::size_t size() const;
  // Bytes of all slots.
  std::uint64_t bytes() const;

 private:
  struct Shard {
    std::vector<ProbeValues> slots;
    std::size_t size = 0;
  };
  std::array<Shard, kShards> shards_;
};

}  // namespace zor::discover
