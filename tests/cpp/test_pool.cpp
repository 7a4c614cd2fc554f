#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/pool.hpp"

namespace {

using zor::pool::parallel_collect;
using zor::pool::parallel_map;
using zor::pool::thread_count_from_env;

struct EnvCase {
  const char* num_threads;
  const char* num_cpus;
  std::size_t expected;
};

class ThreadCountFromEnv : public ::testing::TestWithParam<EnvCase> {};

TEST_P(ThreadCountFromEnv, FollowsTheRules) {
  const EnvCase& c = GetParam();
  EXPECT_EQ(thread_count_from_env(c.num_threads, c.num_cpus, 7), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ThreadCountFromEnv,
    ::testing::Values(EnvCase{nullptr, nullptr, 7}, EnvCase{"4", nullptr, 4}, EnvCase{"+4", nullptr, 4},
                      EnvCase{"0", "3", 7}, EnvCase{"+0", "3", 7}, EnvCase{"abc", "3", 3},
                      EnvCase{"abc", nullptr, 7}, EnvCase{"", "3", 3}, EnvCase{" 4", "3", 3},
                      EnvCase{"4 ", nullptr, 7}, EnvCase{"-4", nullptr, 7}, EnvCase{"+", "5", 5},
                      EnvCase{"++4", nullptr, 7}, EnvCase{"99999999999999999999", "2", 2},
                      EnvCase{"18446744073709551615", nullptr, 18446744073709551615u},
                      EnvCase{"18446744073709551616", nullptr, 7}, EnvCase{nullptr, "0", 7},
                      EnvCase{nullptr, "+6", 6}, EnvCase{nullptr, "x", 7}, EnvCase{"008", "3", 8}));

struct MapCase {
  std::size_t n;
  std::size_t grain;
};

class MapShape : public ::testing::TestWithParam<MapCase> {};

TEST_P(MapShape, EverySlotWrittenOnceInOrder) {
  auto [n, grain] = GetParam();
  std::vector<std::atomic<int>> calls(n);
  auto out = parallel_map<std::uint64_t>(
      n,
      [&](std::size_t i) {
        calls[i].fetch_add(1);
        return static_cast<std::uint64_t>(i) * 2654435761u;
      },
      grain);
  ASSERT_EQ(out.size(), n);
  for (std::size_t i = 0; i < n; ++i) {
    ASSERT_EQ(out[i], static_cast<std::uint64_t>(i) * 2654435761u) << i;
    ASSERT_EQ(calls[i].load(), 1) << i;
  }
}

TEST_P(MapShape, PiecesCoverTheRangeExactly) {
  auto [n, grain] = GetParam();
  std::vector<std::atomic<int>> hits(n);
  std::atomic<std::size_t> short_pieces{0};
  zor::pool::for_each_piece(n, grain, [&](std::size_t lo, std::size_t hi) {
    if (hi - lo < grain && hi - lo < n) short_pieces.fetch_add(1);
    for (std::size_t i = lo; i < hi; ++i) hits[i].fetch_add(1);
  });
  for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(hits[i].load(), 1) << i;
  EXPECT_EQ(short_pieces.load(), 0u);
}

TEST_P(MapShape, CollectKeepsIndexOrderWithoutGaps) {
  auto [n, grain] = GetParam();
  auto out = parallel_collect<std::size_t>(
      n, [](std::size_t i) { return i % 3 == 1 ? std::nullopt : std::optional<std::size_t>(i); }, grain);
  std::vector<std::size_t> expected;
  for (std::size_t i = 0; i < n; ++i)
    if (i % 3 != 1) expected.push_back(i);
  EXPECT_EQ(out, expected);
}

INSTANTIATE_TEST_SUITE_P(Shapes, MapShape,
                         ::testing::Values(MapCase{0, 1}, MapCase{1, 1}, MapCase{2, 1}, MapCase{3, 1},
                                           MapCase{17, 1}, MapCase{1000, 1}, MapCase{4095, 4096},
                                           MapCase{8192, 4096}, MapCase{100001, 4096}, MapCase{100001, 7},
                                           MapCase{65536, 64}, MapCase{10, 0}));

TEST(Pool, SmallRangeRunsOnTheCallingThread) {
  auto caller = std::this_thread::get_id();
  for (std::size_t n : {1u, 100u, 4096u, 8191u}) {
    auto where = parallel_map<std::thread::id>(n, [](std::size_t) { return std::this_thread::get_id(); });
    for (auto id : where) ASSERT_EQ(id, caller) << n;
  }
}

TEST(Pool, ThreadCountIsStableAndPositive) {
  std::size_t n = zor::pool::thread_count();
  EXPECT_GE(n, 1u);
  EXPECT_EQ(zor::pool::thread_count(), n);
}

// Several failing indices: the failure of the lowest one is reported, however
// the range was cut and whichever thread finished first.
TEST(PoolFaults, LowestFailingIndexWins) {
  struct Case {
    std::size_t n, grain, low, high;
  };
  for (Case c : {Case{100000, 1, 3, 90000}, Case{100000, 4096, 3, 90000},
                 Case{100000, 16, 50001, 50000 + 40000}, Case{5000, 1, 4999, 4999}, Case{64, 1, 0, 63}}) {
    for (int round = 0; round < 40; ++round) {
      std::atomic<std::size_t> ran{0};
      try {
        parallel_map<int>(
            c.n,
            [&](std::size_t i) -> int {
              ran.fetch_add(1);
              if (i == c.low || i == c.high) throw std::runtime_error("fault at " + std::to_string(i));
              return 0;
            },
            c.grain);
        FAIL() << "no exception";
      } catch (const std::runtime_error& e) {
        ASSERT_EQ(std::string(e.what()), "fault at " + std::to_string(c.low));
      }
      ASSERT_GT(ran.load(), c.low);
    }
  }
  // The workers survived: a clean map still works.
  auto out = parallel_map<std::size_t>(
      50000, [](std::size_t i) { return i; }, 1);
  for (std::size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], i);
}

TEST(PoolFaults, OtherPiecesStillRunToTheirEnd) {
  std::vector<std::atomic<int>> hits(20000);
  EXPECT_THROW(zor::pool::for_each_piece(hits.size(), 1,
                                         [&](std::size_t lo, std::size_t hi) {
                                           for (std::size_t i = lo; i < hi; ++i) hits[i].fetch_add(1);
                                           if (lo == 0) throw std::logic_error("first piece");
                                         }),
               std::logic_error);
  for (auto& h : hits) ASSERT_EQ(h.load(), 1);
}

TEST(PoolFaults, BadAllocKeepsItsType) {
  for (std::size_t at : {0u, 5u, 99999u}) {
    EXPECT_THROW(parallel_map<int>(
                     100000,
                     [&](std::size_t i) -> int {
                       if (i == at) throw std::bad_alloc();
                       return 1;
                     },
                     8),
                 std::bad_alloc);
  }
}

TEST(PoolNesting, ParallelCallsInsideABodyComplete) {
  const std::size_t outer = 64, inner = 20000;
  auto sums = parallel_map<std::uint64_t>(
      outer,
      [&](std::size_t i) {
        auto row = parallel_map<std::uint64_t>(
            inner, [&](std::size_t j) { return i * inner + j; }, 16);
        std::uint64_t s = 0;
        for (auto v : row) s += v;
        return s;
      },
      1);
  for (std::size_t i = 0; i < outer; ++i) {
    std::uint64_t lo = i * inner, hi = lo + inner - 1;
    ASSERT_EQ(sums[i], (lo + hi) * inner / 2) << i;
  }
}

TEST(PoolNesting, ConcurrentOutsideCallersEachGetTheirOwnResults) {
  std::vector<std::thread> callers;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([t, &wrong] {
      for (int round = 0; round < 20; ++round) {
        auto out = parallel_map<long>(
            30000, [&](std::size_t i) { return static_cast<long>(i) * (t + 1); }, 32);
        for (std::size_t i = 0; i < out.size(); ++i)
          if (out[i] != static_cast<long>(i) * (t + 1)) wrong.fetch_add(1);
      }
    });
  }
  for (auto& c : callers) c.join();
  EXPECT_EQ(wrong.load(), 0);
}

// Waits for `child` for at most `seconds`; a child still running is killed
// and counts as a failure.
int wait_child(pid_t child, int seconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  int status = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(child, SIGKILL);
  waitpid(child, &status, 0);
  return 101;
}

std::vector<double> reference_values(std::size_t n) {
  std::vector<double> out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<double>(i) * 0.5 - 3.0;
  return out;
}

// Runs in a forked child: sizes a fresh pool from `threads` and checks a map.
[[noreturn]] void child_check(const char* threads, std::size_t expected_threads) {
  if (threads != nullptr) setenv("RAYON_NUM_THREADS", threads, 1);
  const std::size_t n = 200000;
  auto out = parallel_map<double>(
      n, [](std::size_t i) { return static_cast<double>(i) * 0.5 - 3.0; }, 16);
  bool ok = out == reference_values(n);
  if (expected_threads != 0) ok = ok && zor::pool::thread_count() == expected_threads;
  _exit(ok ? 0 : 1);
}

TEST(PoolFork, ChildBuildsAFreshPoolOfTheRequestedSize) {
  ASSERT_GE(zor::pool::thread_count(), 1u);  // the parent's pool exists
  struct Case {
    const char* threads;
    std::size_t expected;
  };
  for (Case c : {Case{"1", 1}, Case{"64", 64}, Case{"3", 3}}) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) child_check(c.threads, c.expected);
    EXPECT_EQ(wait_child(child, 30), 0) << c.threads;
  }
}

TEST(PoolFork, ForkWhileOtherThreadsKeepThePoolBusy) {
  std::atomic<bool> stop{false};
  std::thread busy([&] {
    while (!stop.load())
      parallel_map<double>(
          50000, [](std::size_t i) { return static_cast<double>(i); }, 8);
  });
  for (int round = 0; round < 10; ++round) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) child_check(nullptr, 0);
    EXPECT_EQ(wait_child(child, 30), 0) << round;
  }
  stop.store(true);
  busy.join();
}

}  // namespace
