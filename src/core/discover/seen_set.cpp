#include "core/discover/seen_set.hpp"

#include <sys/mman.h>

namespace zor::discover {

namespace {

constexpr unsigned kInitialBits = 6;

}  // namespace

void advise_huge_pages(void* p, std::size_t bytes) noexcept { madvise(p, bytes, MADV_HUGEPAGE); }

SeenSet::SeenSet() {
  for (Shard& shard : shards_) {
    shard.slots.assign(std::size_t{1} << kInitialBits, 0);
    shard.bits = kInitialBits;
  }
}

std::uint64_t SeenSet::hash(const ProbeValues& values) {
  std::uint64_t h = 0x9E3779B97F4A7C15ull;
  for (double v : values) h = mix64(h ^ std::bit_cast<std::uint64_t>(v));
  return h;
}

std::size_t SeenSet::slots_needed(std::size_t shard, std::size_t extra) const {
  const Shard& s = shards_[shard];
  std::size_t slots = s.slots.size();
  while ((s.size + extra) * 2 > slots) slots *= 2;
  return slots;
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
