// The fast search's seen set. An entry is one 64-bit word: a key naming a
// candidate (its operator and the pool positions of its operands) under a
// few bits of the hash of its probe values, where storing the five values
// would take 40 bytes. The values are recomputed from the key, which the pool
// keeps valid for the whole search, only when those bits match, and the hash
// when a table grows. Open-addressing tables sharded by hash let several
// threads admit one block at once, each owning whole shards.
#pragma once

#include <array>
#include <bit>
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
  // Many shards keep each table rebuild short, so that the search can
  // answer a poll between two of them.
  static constexpr unsigned kShardBits = 10;
  static constexpr std::size_t kShards = std::size_t{1} << kShardBits;
  // A slot holds a key of kKeyBits (never 0; 0 marks an empty slot) under a
  // tag of the remaining bits, taken from the low bits of the hash.
  static constexpr unsigned kKeyBits = 52;
  static constexpr std::uint64_t kKeyMask = (std::uint64_t{1} << kKeyBits) - 1;
  static constexpr std::size_t kSlotBytes = sizeof(std::uint64_t);

  SeenSet();

  static std::uint64_t hash(const ProbeValues& values);
  // The shard is chosen by the top bits of the hash and the first slot
  // searched by the bits right below them, so that entries sorted by hash
  // visit a shard's table in ascending address order.
  static std::size_t shard_of(std::uint64_t hash) {
    return static_cast<std::size_t>(hash >> (64 - kShardBits));
  }

  // Slots shard `shard` needs so that `extra` more entries keep it at most
  // half full; its current slot count when it needs no more.
  std::size_t slots_needed(std::size_t shard, std::size_t extra) const;
  std::size_t slots(std::size_t shard) const { return shards_[shard].slots.size(); }
  // Rehashes shard `shard` into `slots` slots (a power of two, at least its
  // slots_needed for the entries to come); `hash_of(key)` recomputes the
  // hash of a stored key.
  template <class HashOf>
  void resize_shard(std::size_t shard, std::size_t slots, HashOf&& hash_of);

  // Inserts `key` (below 2^kKeyBits, not 0) unless an entry with equal probe
  // values is present; `same(stored_key)` tells whether a stored entry whose
  // tag matches has the candidate's values. True when inserted. The shard of
  // `hash` must have room (see slots_needed); calls for different shards may
  // run concurrently.
  template <class Same>
  bool insert_if_absent(std::uint64_t hash, std::uint64_t key, Same&& same) {
    Shard& s = shards_[shard_of(hash)];
    const std::size_t mask = s.slots.size() - 1;
    const std::uint64_t tag = tag_of(hash);
    for (std::size_t i = first_slot(hash, s.bits);; i = (i + 1) & mask) {
      const std::uint64_t slot = s.slots[i];
      if (slot == 0) {
        s.slots[i] = tag | key;
        ++s.size;
        return true;
      }
      if ((slot & ~kKeyMask) == tag && same(slot & kKeyMask)) return false;
    }
  }

  // Starts loading the slot where `hash` begins its search, so that a later
  // insert_if_absent does not wait for memory.
  void prefetch(std::uint64_t hash) const {
    const Shard& s = shards_[shard_of(hash)];
    __builtin_prefetch(s.slots.data() + first_slot(hash, s.bits));
  }

  std::size_t size() const;
  // Bytes of all slots.
  std::uint64_t bytes() const;

 private:
  using Slots = std::vector<std::uint64_t, HugePageAllocator<std::uint64_t>>;
  struct Shard {
    Slots slots;
    std::size_t size = 0;
    unsigned bits = 0;  // slots.size() is 1 << bits
  };

  static std::size_t first_slot(std::uint64_t hash, unsigned bits) {
    return static_cast<std::size_t>((hash << kShardBits) >> (64 - bits));
  }
  static std::uint64_t tag_of(std::uint64_t hash) { return hash << kKeyBits; }

  std::array<Shard, kShards> shards_;
};

template <class HashOf>
void SeenSet::resize_shard(std::size_t shard, std::size_t slots, HashOf&& hash_of) {
  Shard& s = shards_[shard];
  if (slots == s.slots.size()) return;
  Slots old(slots, 0);
  old.swap(s.slots);
  s.bits = static_cast<unsigned>(std::countr_zero(slots));
  const std::size_t mask = slots - 1;
  for (const std::uint64_t slot : old) {
    if (slot == 0) continue;
    std::size_t i = first_slot(hash_of(slot & kKeyMask), s.bits);
    while (s.slots[i] != 0) i = (i + 1) & mask;
    s.slots[i] = slot;
  }
}

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
