#include "core/discover/probe_set.hpp"

#include <bit>
#include <cstring>

namespace zor::discover {

namespace {

// Probe values are always finite, so a NaN marks an empty slot.
constexpr std::uint64_t kEmptyBits = 0x7FF8DEADBEEF0001ull;
constexpr std::size_t kInitialSlots = 64;  // a power of two

std::uint64_t mix(std::uint64_t x) {
  x ^= x >> 30;
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 27;
  x *= 0x94D049BB133111EBull;
  x ^= x >> 31;
  return x;
}

bool empty(const ProbeValues& slot) { return std::bit_cast<std::uint64_t>(slot[0]) == kEmptyBits; }

bool same_bits(const ProbeValues& a, const ProbeValues& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

ProbeValues empty_slot() {
  ProbeValues slot{};
  slot[0] = std::bit_cast<double>(kEmptyBits);
  return slot;
}

// Index of the slot holding `values`, or of the empty slot where it belongs.
std::size_t find_slot(const std::vector<ProbeValues>& slots, const ProbeValues& values, std::uint64_t hash) {
  const std::size_t mask = slots.size() - 1;
  std::size_t i = static_cast<std::size_t>(hash) & mask;
  while (!empty(slots[i]) && !same_bits(slots[i], values)) i = (i + 1) & mask;
  return i;
}

}  // namespace

ProbeSet::ProbeSet() {
  for (Shard& shard : shards_) shard.slots.assign(kInitialSlots, empty_slot());
}

std::uint64_t ProbeSet::hash(const ProbeValues& values) {
  std::uint64_t h = 0x9E3779B97F4A7C15ull;
  for (double v : values) h = mix(h ^ std::bit_cast<std::uint64_t>(v));
  return h;
}

std::size_t ProbeSet::slots_needed(std::size_t shard, std::size_t extra) const {
  const Shard& s = shards_[shard];
  std::size_t slots = s.slots.size();
  while ((s.size + extra) * 10 > slots * 7) slots *= 2;
  return slots;
}

void ProbeSet::resize_shard(std::size_t shard, std::size_t slots) {
  Shard& s = shards_[shard];
  if (slots == s.slots.size()) return;
  std::vector<ProbeValues> old(slots, empty_slot());
  old.swap(s.slots);
  for (const ProbeValues& values : old) {
    if (!empty(values)) s.slots[find_slot(s.slots, values, hash(values))] = values;
  }
}

bool ProbeSet::insert_if_absent(const ProbeValues& values, std::uint64_t hash) {
  Shard& s = shards_[shard_of(hash)];
  ProbeValues& slot = s.slots[find_slot(s.slots, values, hash)];
  if (!empty(slot)) return false;
  slot = values;
  ++s.size;
  return true;
}

std::size_t ProbeSet::size() const {
  std::size_t total = 0;
  for (const Shard& s : shards_) total += s.size;
  return total;
}

std::uint64_t ProbeSet::bytes() const {
  std::uint64_t total = 0;
  for (const Shard& s : shards_) total += s.slots.size() * kSlotBytes;
  return total;
}

}  // namespace zor::discover
