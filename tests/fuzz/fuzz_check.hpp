// The one way a fuzz target reports a broken property: a message and abort,
// which libFuzzer records as a crash with its input.
#pragma once

#include <cstdio>
#include <cstdlib>

inline void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}
