#include "core/discover/fingerprint.hpp"

#include <bit>

namespace zor::discover {

namespace {

constexpr std::uint64_t kAbsMask = 0x7FFFFFFFFFFFFFFFull;
constexpr std::uint64_t kInfinityBits = 0x7FF0000000000000ull;
constexpr std::size_t kInitialSlots = 1024;  // a power of two

}  // namespace

std::optional<ProbeValues> probe_values(const Expr& expr, std::size_t n_vars) {
  static const std::vector<double> kNoParams;
  ProbeValues values{};
  std::vector<double> row(n_vars);
  for (std::size_t j = 0; j < PROBE_POINTS.size(); ++j) {
    const double p = PROBE_POINTS[j];
    for (std::size_t k = 0; k < n_vars; ++k) row[k] = static_cast<double>(k + 1) * p;
    const std::optional<double> value = evaluate(expr, row, kNoParams);
    if (!value) return std::nullopt;
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(*value);
    if ((bits & kAbsMask) >= kInfinityBits) return std::nullopt;
    values[j] = *value;
  }
  return values;
}

std::optional<Fingerprint> fingerprint(const Expr& expr, std::size_t n_vars) {
  const std::optional<ProbeValues> values = probe_values(expr, n_vars);
  if (!values) return std::nullopt;
  Fingerprint fp{};
  for (std::size_t j = 0; j < values->size(); ++j) {
    const std::uint64_t bits = std::bit_cast<std::uint64_t>((*values)[j]);
    fp[2 * j] = static_cast<std::int32_t>(static_cast<std::uint32_t>(bits >> 32));
    fp[2 * j + 1] = static_cast<std::uint32_t>(bits);
  }
  return fp;
}

FingerprintSet::FingerprintSet() : slots_(kInitialSlots), used_(kInitialSlots, 0) {}

std::uint64_t FingerprintSet::hash(const Fingerprint& fp) {
  std::uint64_t h = 0x9E3779B97F4A7C15ull;
  for (std::int64_t v : fp) h = mix64(h ^ static_cast<std::uint64_t>(v));
  return h;
}

// The slot holding `fp`, or the empty slot where it belongs.
std::size_t FingerprintSet::find_slot(const Fingerprint& fp, std::uint64_t h) const {
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = static_cast<std::size_t>(h) & mask;
  while (used_[i] && slots_[i] != fp) i = (i + 1) & mask;
  return i;
}

void FingerprintSet::grow() {
  std::vector<Fingerprint> old_slots(slots_.size() * 2);
  std::vector<std::uint8_t> old_used(used_.size() * 2, 0);
  old_slots.swap(slots_);
  old_used.swap(used_);
  for (std::size_t i = 0; i < old_slots.size(); ++i) {
    if (!old_used[i]) continue;
    const std::size_t slot = find_slot(old_slots[i], hash(old_slots[i]));
    slots_[slot] = old_slots[i];
    used_[slot] = 1;
  }
}

bool FingerprintSet::insert_if_absent(const Fingerprint& fp) {
  const std::uint64_t h = hash(fp);
  std::size_t slot = find_slot(fp, h);
  if (used_[slot]) return false;
  // Keep the load factor at or below one half.
  if (2 * (size_ + 1) > slots_.size()) {
    grow();
    slot = find_slot(fp, h);
  }
  slots_[slot] = fp;
  used_[slot] = 1;
  ++size_;
  return true;
}

bool FingerprintSet::contains(const Fingerprint& fp) const { return used_[find_slot(fp, hash(fp))] != 0; }

}  // namespace zor::discover
