#include "core/memory.hpp"

#include <unistd.h>

#include <limits>

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

}  // namespace

bool result_fits_in_memory(std::uint64_t count, std::size_t bytes_each) {
  std::uint64_t total = 0;
  if (__builtin_mul_overflow(count, static_cast<std::uint64_t>(bytes_each), &total)) return false;
  if (total > std::numeric_limits<std::size_t>::max()) return false;
  return total <= physical_memory_bytes();
}

}  // namespace zor
