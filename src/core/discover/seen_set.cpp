#include "core/discover/seen_set.hpp"

#include <sys/mman.h>

#include <bit>

namespace zor::discover {

namespace {

constexpr std::size_t kInitialSlots = 64;  // a power of two

std::uint64_t mix(std::uint64_t x) {
  x ^= x >> 30;
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 27;
  x *= 0x94D049BB133111EBull;
  x ^= x >> 31;
  return x;
}

}  // namespace

void advise_huge_pages(void* p, std::size_t bytes) noexcept { madvise(p, bytes, MADV_HUGEPAGE); }

SeenSet::SeenSet() {
  for (Shard& shard : shards_) shard.slots.assign(kInitialSlots, Slot{0, 0});
}

std::uint64_t SeenSet::hash(const ProbeValues& values) {
  std::uint64_t h = 0x9E3779B97F4A7C15ull;
  for (double v : values) h = mix(h ^ std::bit_cast<std::uint64_t>(v));
  return h;
}

std::size_t SeenSet::slots_needed(std::size_t shard, std::size_t extra) const {
  const Shard& s = shards_[shard];
  std::size_t slots = s.slots.size();
  while ((s.size + extra) * 2 > slots) slots *= 2;
  return slots;
}

void SeenSet::resize_shard(std::size_t shard, std::size_t slots) {
  Shard& s = shards_[shard];
  if (slots == s.slots.size()) return;
  Slots old(slots, Slot{0, 0});
  old.swap(s.slots);
  const std::size_t mask = slots - 1;
  for (const Slot& slot : old) {
    if (slot.key == 0) continue;
    std::size_t i = static_cast<std::size_t>(slot.hash) & mask;
    while (s.slots[i].key != 0) i = (i + 1) & mask;
    s.slots[i] = slot;
  }
}

std::size_t SeenSet::size() const {
  std::size_t total = 0;
  for (const Shard& s : shards_) total += s.size;
  return total;
}

std::uint64_t SeenSet::bytes() const {
  std::uint64_t total = 0;
  for (const Shard& s : shards_) total += s.slots.size() * kSlotBytes;
  return total;
}

}  // namespace zor::discover
