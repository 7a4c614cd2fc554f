#include "core/discover/memory_budget.hpp"

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>

#include "core/discover/search.hpp"
#include "core/discover/seen_key.hpp"
#include "core/discover/seen_set.hpp"
#include "core/memory.hpp"

namespace zor::discover::detail {

namespace {

// Why a search is refused: `needed` and `available` bytes, shown in GB
// (`available` 0 when the search outgrows its own index space).
std::string memory_message(std::uint64_t needed, std::uint64_t available) {
  auto gigabytes = [](std::uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f GB", static_cast<double>(bytes) / 1e9);
    return std::string(text);
  };
  std::string message = "formula search needs more memory than is available";
  if (available != 0)
    message += " (about " + gigabytes(needed) + ", with " + gigabytes(available) + " usable)";
  return message + "; lower beam_width or max_complexity";
}

// Why a level is refused on a cluster: its estimate and the total of the
// workers' limits, in bytes.
std::string cluster_memory_message(double needed, double available, std::size_t workers) {
  char text[256];
  std::snprintf(text, sizeof text,
                "formula search needs more memory than the cluster has (about %.1f GB for the next level, "
                "with %.1f GB usable on %zu workers); lower beam_width or max_complexity, or add workers",
                needed / 1e9, available / 1e9, workers);
  return text;
}

}  // namespace

double level_bytes(double seen_entries, double expected_entries, double parent_bytes) {
  return 2.0 * SeenSet::kSlotBytes * (seen_entries + kLevelHeadroom * expected_entries) + parent_bytes;
}

MemoryBudget::MemoryBudget(std::uint64_t limit, std::function<std::uint64_t()> held)
    : limit_(limit != 0 ? limit : default_memory_limit()), held_(std::move(held)) {}

void MemoryBudget::require(std::uint64_t extra) const {
  const std::uint64_t bytes = (held_ ? held_() : 0) + extra;
  if (bytes > limit_) throw SearchMemoryExceeded(memory_message(bytes, limit_));
}

void MemoryBudget::require_level(double seen_entries, double expected_entries, double parent_bytes) const {
  const double needed = level_bytes(seen_entries, expected_entries, parent_bytes);
  if (needed > static_cast<double>(limit_)) {
    throw SearchMemoryExceeded(memory_message(static_cast<std::uint64_t>(std::min(needed, 1e19)), limit_));
  }
}

void require_cluster_level(const std::vector<std::uint64_t>& limits, double seen_entries,
                           double expected_entries, double parent_bytes_each) {
  const double needed =
      level_bytes(seen_entries, expected_entries, static_cast<double>(limits.size()) * parent_bytes_each);
  double available = 0.0;
  for (const std::uint64_t limit : limits) available += static_cast<double>(limit);
  if (needed > available)
    throw SearchMemoryExceeded(cluster_memory_message(needed, available, limits.size()));
}

void require_parent_positions(std::size_t parents) {
  if (parents > kMaxMembers) throw SearchMemoryExceeded(memory_message(kMaxMembers, 0));
}

}  // namespace zor::discover::detail
