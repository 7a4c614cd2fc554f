#include "core/memory.hpp"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <limits>
#include <string>

namespace zor {
namespace {

constexpr std::uint64_t kUnknown = std::numeric_limits<std::uint64_t>::max();

std::uint64_t physical_memory_bytes() {
  long pages = sysconf(_SC_PHYS_PAGES);
  long page_size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return kUnknown;
  std::uint64_t total = 0;
  if (__builtin_mul_overflow(static_cast<std::uint64_t>(pages), static_cast<std::uint64_t>(page_size),
                             &total)) {
    return kUnknown;
  }
  return total;
}

// The value of a "Key:  N kB" line of /proc/meminfo, in bytes.
std::uint64_t meminfo_bytes(const std::string& key) {
  std::ifstream in("/proc/meminfo");
  std::string name;
  std::uint64_t kib = 0;
  std::string unit;
  while (in >> name >> kib >> unit)
    if (name == key + ":") return kib * 1024;
  return kUnknown;
}

// Bytes a cgroup v2 limit still leaves this process, or kUnknown.
std::uint64_t cgroup_headroom_bytes() {
  std::ifstream max_file("/sys/fs/cgroup/memory.max");
  std::ifstream current_file("/sys/fs/cgroup/memory.current");
  std::string max_text;
  std::uint64_t current = 0;
  if (!(max_file >> max_text) || max_text == "max" || !(current_file >> current)) return kUnknown;
  std::uint64_t limit = 0;
  auto parsed = std::from_chars(max_text.data(), max_text.data() + max_text.size(), limit);
  if (parsed.ec != std::errc() || parsed.ptr != max_text.data() + max_text.size()) return kUnknown;
  return limit > current ? limit - current : 0;
}

}  // namespace

std::uint64_t available_memory_bytes() {
  std::uint64_t available = meminfo_bytes("MemAvailable");
  if (available == kUnknown) available = physical_memory_bytes();
  return std::min(available, cgroup_headroom_bytes());
}

std::uint64_t default_memory_limit() { return available_memory_bytes() / 10 * 8; }

bool result_fits_in_memory(std::uint64_t count, std::size_t bytes_each) {
  std::uint64_t total = 0;
  if (__builtin_mul_overflow(count, static_cast<std::uint64_t>(bytes_each), &total)) return false;
  if (total > std::numeric_limits<std::size_t>::max()) return false;
  return total <= physical_memory_bytes();
}

}  // namespace zor
