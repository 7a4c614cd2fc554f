// Early refusal of results that cannot possibly be held in memory.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zor {

// True when `count` items of `bytes_each` bytes take no more than the
// machine's physical memory. An overflowing size never fits; when the
// physical memory cannot be determined only the overflow check applies.
bool result_fits_in_memory(std::uint64_t count, std::size_t bytes_each);

// Memory this process can still take before the system runs out: the
// kernel's MemAvailable, lowered to what a cgroup limit leaves; the physical
// memory when neither can be read.
std::uint64_t available_memory_bytes();

// The memory a search may take when its caller sets no limit: 80 % of
// available_memory_bytes(), leaving headroom for what the search's estimate
// leaves out and for the caller's own data.
std::uint64_t default_memory_limit();

}  // namespace zor
