// The process-wide worker pool and its order-preserving parallel maps.
//
// One pool per process, created on first use and never shut down. Work is
// split into contiguous pieces of an index range; each piece runs on one
// thread, in index order, and writes only its own results, so results never
// depend on the number of threads or on how the range was cut.
#pragma once

#include <cstddef>
#include <functional>
#include <iterator>
#include <optional>
#include <utility>
#include <vector>

#include "core/pool_detail.hpp"

namespace zor::pool {

// Pieces shorter than this are not split further. Below it a whole range runs
// on the calling thread without waking any worker.
inline constexpr std::size_t kDefaultGrain = 4096;

// Thread count rule: RAYON_NUM_THREADS (an unsigned decimal with optional
// leading '+'; 0 means the default and skips the second variable), then
// RAYON_RS_NUM_CPUS (must be > 0), then `default_count`. Null pointers stand
// for unset variables.
ZOR_POOL_API std::size_t thread_count_from_env(const char* num_threads, const char* num_cpus,
                                               std::size_t default_count);

// The pool's thread count; creates the pool if it does not exist yet.
ZOR_POOL_API std::size_t thread_count();

// Runs body(lo, hi) over contiguous pieces that cover [0, n) exactly once and
// returns when all are done. An exception thrown by body on any thread is
// rethrown here after every piece finished; when several pieces threw, the
// one covering the lowest index wins.
ZOR_POOL_API void for_each_piece(std::size_t n, std::size_t grain,
                                 const std::function<void(std::size_t, std::size_t)>& body);

// Order-preserving parallel map: result[i] = f(i).
template <class T, class F>
std::vector<T> parallel_map(std::size_t n, F&& f, std::size_t grain = kDefaultGrain) {
  std::vector<T> out(n);
  T* slots = out.data();
  for_each_piece(n, grain, [&](std::size_t lo, std::size_t hi) {
    for (std::size_t i = lo; i < hi; ++i) slots[i] = f(i);
  });
  return out;
}

// Collecting map: keeps the present results of f(i) (a std::optional<T>) in
// index order; absent results leave no gap.
template <class T, class F>
std::vector<T> parallel_collect(std::size_t n, F&& f, std::size_t grain = 1);

template <class T, class F>
std::vector<T> parallel_collect(std::size_t n, F&& f, std::size_t grain) {
  auto leaf = [&](std::size_t lo, std::size_t hi) {
    std::vector<T> kept;
    for (std::size_t i = lo; i < hi; ++i) {
      std::optional<T> item = f(i);
      if (item) kept.push_back(std::move(*item));
    }
    return kept;
  };
  auto merge = [](std::vector<T> first, std::vector<T> second) {
    if (first.empty()) return second;
    first.insert(first.end(), std::make_move_iterator(second.begin()), std::make_move_iterator(second.end()));
    return first;
  };
  return detail::reduce_range<std::vector<T>>(n, grain, leaf, merge);
}

}  // namespace zor::pool
