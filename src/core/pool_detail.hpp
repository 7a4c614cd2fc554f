// Splitting machinery behind the pool's maps: the budgeted halving of an
// index range into fork-join pairs, generic over what a piece produces and how
// two adjacent results are merged. The thread side (queues, workers, waiting)
// lives in pool.cpp behind join() and run_on_pool().
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

// The pool is the core's one piece of process-wide state, so it is built as a
// shared library of its own that every extension module links: a process that
// imports several modules still has one pool. It exports the functions
// marked ZOR_POOL_API and hides everything else.
#define ZOR_POOL_API __attribute__((visibility("default")))

namespace zor::pool::detail {

// A non-owning reference to a callable; the callable must outlive every call.
template <class Sig>
class FunctionRef;

template <class R, class... Args>
class FunctionRef<R(Args...)> {
 public:
  template <class F, class = std::enable_if_t<!std::is_same_v<std::remove_cvref_t<F>, FunctionRef>>>
  FunctionRef(F& f) noexcept  // NOLINT(google-explicit-constructor)
      : object_(static_cast<void*>(std::addressof(f))), call_(&invoke<F>) {}

  R operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

 private:
  template <class F>
  static R invoke(void* object, Args... args) {
    return (*static_cast<F*>(object))(std::forward<Args>(args)...);
  }

  void* object_;
  R (*call_)(void*, Args...);
};

// One half of a fork-join pair. The flag is true when the half runs on a
// thread other than the one that forked it (it was stolen).
using Half = FunctionRef<void(bool)>;

// Creates the pool if needed and returns its thread count.
ZOR_POOL_API std::size_t ensure_pool();

// True when the current thread is a worker of the live pool.
ZOR_POOL_API bool on_worker();

// Runs both halves, the second possibly on another worker, and returns when
// both are done. If both threw, the first half's exception is rethrown,
// otherwise the one that was thrown. Outside a worker both run in order on
// the calling thread.
ZOR_POOL_API void join(Half first, Half second);

// Hands `task` to the pool's shared queue and blocks until a worker has run
// it; rethrows what it threw.
ZOR_POOL_API void run_on_pool(FunctionRef<void()> task);

struct Range {
  std::size_t grain;
  std::size_t threads;
};

// Processes [lo, hi) with split budget `budget`. `leaf(lo, hi)` computes an
// unsplit piece; `merge(left, right)` combines the results of two adjacent
// halves once both are done.
template <class R, class Leaf, class Merge>
R split_range(std::size_t lo, std::size_t hi, std::size_t budget, bool stolen, const Range& range, Leaf& leaf,
              Merge& merge) {
  std::size_t len = hi - lo;
  bool split = len / 2 >= range.grain;
  std::size_t next = 0;
  if (split) {
    if (stolen) {
      next = std::max(budget / 2, range.threads);
    } else if (budget > 0) {
      next = budget / 2;
    } else {
      split = false;
    }
  }
  if (!split) return leaf(lo, hi);

  std::size_t mid = lo + len / 2;
  std::optional<R> left;
  std::optional<R> right;
  auto run_left = [&](bool moved) { left.emplace(split_range<R>(lo, mid, next, moved, range, leaf, merge)); };
  auto run_right = [&](bool moved) {
    right.emplace(split_range<R>(mid, hi, next, moved, range, leaf, merge));
  };
  join(Half(run_left), Half(run_right));
  return merge(std::move(*left), std::move(*right));
}

// Splits [0, n) over the pool and merges the pieces' results in index order.
// A range too short to split runs on the calling thread; otherwise a caller
// outside the pool hands the work over and waits, and a worker runs it in
// place.
template <class R, class Leaf, class Merge>
R reduce_range(std::size_t n, std::size_t grain, Leaf& leaf, Merge& merge) {
  Range range{grain == 0 ? 1 : grain, ensure_pool()};
  if (n / 2 < range.grain) return leaf(std::size_t{0}, n);
  if (on_worker()) return split_range<R>(0, n, range.threads, false, range, leaf, merge);
  std::optional<R> out;
  auto top = [&]() { out.emplace(split_range<R>(0, n, range.threads, false, range, leaf, merge)); };
  run_on_pool(FunctionRef<void()>(top));
  return std::move(*out);
}

}  // namespace zor::pool::detail
