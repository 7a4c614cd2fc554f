// The fast search's seen set. An entry is a 64-bit key naming a candidate
// (its operator and the pool positions of its operands) and the hash of its
// probe values: 16 bytes, where storing the five values would take 40. The
// values are recomputed from the key, which the pool keeps valid for the whole
// search, only when two hashes are equal. Open-addressing tables sharded by
// hash let several threads admit one block at once, each owning whole shards.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <vector>

#include "core/discover/fingerprint.hpp"

namespace zor::discover {

// Asks the kernel to back [p, p + bytes) with huge pages where it can.
void advise_huge_pages(void* p, std::size_t bytes) noexcept;

// Allocates large arrays on 2 MiB boundaries and asks the kernel for huge
// pages there: the seen set is read at random, and with 4 KiB pages almost
// every lookup would also miss the TLB.
template <class T>
struct HugePageAllocator {
  using value_type = T;
  HugePageAllocator() = default;
  template <class U>
  HugePageAllocator(const HugePageAllocator<U>&) noexcept {}  // NOLINT(google-explicit-constructor)
  T* allocate(std::size_t n);
  void deallocate(T* p, std::size_t) noexcept { std::free(p); }
  template <class U>
  bool operator==(const HugePageAllocator<U>&) const noexcept {
    return true;
  }
};

class SeenSet {
 public:
  static constexpr unsigned kShardBits = 6;
  static constexpr std::size_t kShards = std::size_t{1} << kShardBits;
  struct Slot {
    std::uint64_t hash;
    std::uint64_t key;  // 0 marks an empty slot
  };
  static constexpr std::size_t kSlotBytes = sizeof(Slot);

  SeenSet();

  static std::uint64_t hash(const ProbeValues& values);
  static std::size_t shard_of(std::uint64_t hash) {
    return static_cast<std::size_t>(hash >> (64 - kShardBits));
  }

  // Slots shard `shard` needs so that `extra` more entries keep it at most
  // half full; its current slot count when it needs no more.
  std::size_t slots_needed(std::size_t shard, std::size_t extra) const;
  // Rehashes shard `shard` into `slots` slots (a power of two, at least its
  // slots_needed for the entries to come).
  void resize_shard(std::size_t shard, std::size_t slots);

  // Inserts (hash, key) unless an entry with equal probe values is present;
  // `same(stored_key)` tells whether a stored entry of equal hash has the
  // candidate's values. True when inserted. The shard of `hash` must have
  // room (see slots_needed); calls for different shards may run concurrently.
  template <class Same>
  bool insert_if_absent(std::uint64_t hash, std::uint64_t key, Same&& same) {
    Shard& s = shards_[shard_of(hash)];
    const std::size_t mask = s.slots.size() - 1;
    for (std::size_t i = static_cast<std::size_t>(hash) & mask;; i = (i + 1) & mask) {
      Slot& slot = s.slots[i];
      if (slot.key == 0) {
        slot = Slot{hash, key};
        ++s.size;
        return true;
      }
      if (slot.hash == hash && same(slot.key)) return false;
    }
  }

  // Starts loading the slot where `hash` begins its search, so that a later
  // insert_if_absent does not wait for memory.
  void prefetch(std::uint64_t hash) const {
    const Slots& slots = shards_[shard_of(hash)].slots;
    __builtin_prefetch(slots.data() + (static_cast<std::size_t>(hash) & (slots.size() - 1)));
  }

  std::size_t size() const;
  // Bytes of all slots.
  std::uint64_t bytes() const;

 private:
  using Slots = std::vector<Slot, HugePageAllocator<Slot>>;
  struct Shard {
    Slots slots;
    std::size_t size = 0;
  };
  std::array<Shard, kShards> shards_;
};

template <class T>
T* HugePageAllocator<T>::allocate(std::size_t n) {
  constexpr std::size_t kHugePage = std::size_t{2} << 20;
  if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
  const std::size_t bytes = n * sizeof(T);
  void* p = nullptr;
  if (bytes >= kHugePage) {
    p = std::aligned_alloc(kHugePage, (bytes + kHugePage - 1) / kHugePage * kHugePage);
    if (p != nullptr) advise_huge_pages(p, bytes);
  } else {
    p = std::malloc(bytes);
  }
  if (p == nullptr) throw std::bad_alloc();
  return static_cast<T*>(p);
}

}  // namespace zor::discover
