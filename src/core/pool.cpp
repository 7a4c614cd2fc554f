// The process-wide work-stealing pool.
//
// Each worker owns a double-ended queue: it pushes and pops its own forked
// halves at the back, idle workers steal from the front. Threads outside the
// pool hand work in through one shared queue. Idle workers sleep on a
// condition variable and are woken whenever a job is queued; a worker waiting
// for a stolen half keeps running other queued jobs and sleeps the same way
// when there are none.
//
// After fork() the child abandons the parent's pool (its threads do not exist
// there) and builds a fresh one on first use.
#include "core/pool.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

namespace zor::pool {
namespace {

// Beyond this many workers more threads only cost memory.
constexpr std::size_t kMaxThreads = 0xFFFF;

class Pool;

// Work queued for another thread. execute() runs it there and must not let an
// exception escape.
class Job {
 public:
  virtual void execute() noexcept = 0;

 protected:
  ~Job() = default;
};

struct Worker {
  std::size_t index = 0;
  std::mutex mutex;
  std::deque<Job*> jobs;
};

thread_local Pool* tls_pool = nullptr;
thread_local Worker* tls_worker = nullptr;

std::atomic<Pool*> g_pool{nullptr};
std::mutex g_pool_mutex;

class Pool {
 public:
  explicit Pool(std::size_t requested) {
    std::size_t wanted = std::min(std::max<std::size_t>(requested, 1), kMaxThreads);
    workers_.reserve(wanted);
    for (std::size_t i = 0; i < wanted; ++i) {
      workers_.push_back(std::make_unique<Worker>());
      workers_.back()->index = i;
    }
    std::size_t started = 0;
    for (; started < wanted; ++started) {
      try {
        std::thread(&Pool::worker_main, this, started).detach();
      } catch (const std::system_error&) {
        break;  // the system refuses more threads: work with those it gave
      }
    }
    std::lock_guard<std::mutex> lock(gate_mutex_);
    active_ = started;
    gate_open_ = true;
    gate_cv_.notify_all();
  }

  std::size_t active() const { return active_; }

  void push_local(Worker& self, Job* job) {
    {
      std::lock_guard<std::mutex> lock(self.mutex);
      self.jobs.push_back(job);
    }
    wake(false);
  }

  // Takes `job` back from the back of the owner's queue if nobody stole it.
  static bool reclaim(Worker& self, Job* job) {
    std::lock_guard<std::mutex> lock(self.mutex);
    if (self.jobs.empty() || self.jobs.back() != job) return false;
    self.jobs.pop_back();
    return true;
  }

  void inject(Job* job) {
    {
      std::lock_guard<std::mutex> lock(inject_mutex_);
      injected_.push_back(job);
    }
    wake(false);
  }

  // Signals that a job was queued (one sleeper suffices) or that a stolen
  // half finished (its owner may be any sleeper, so all wake).
  void wake(bool all) {
    {
      std::lock_guard<std::mutex> lock(sleep_mutex_);
      epoch_.fetch_add(1, std::memory_order_seq_cst);
      if (sleepers_ == 0) return;
    }
    if (all) {
      sleep_cv_.notify_all();
    } else {
      sleep_cv_.notify_one();
    }
  }

  // Runs queued jobs until `done` is set; sleeps while there are none.
  void help_until(Worker& self, const std::atomic<bool>& done) {
    while (!done.load(std::memory_order_acquire)) {
      std::uint64_t seen = epoch_.load(std::memory_order_seq_cst);
      if (Job* job = find_work(self)) {
        job->execute();
        continue;
      }
      std::unique_lock<std::mutex> lock(sleep_mutex_);
      if (!done.load(std::memory_order_seq_cst) && epoch_.load(std::memory_order_seq_cst) == seen) {
        ++sleepers_;
        sleep_cv_.wait(lock);
        --sleepers_;
      }
    }
  }

 private:
  void worker_main(std::size_t index) {
    {
      std::unique_lock<std::mutex> lock(gate_mutex_);
      gate_cv_.wait(lock, [this] { return gate_open_; });
    }
    Worker& self = *workers_[index];
    tls_pool = this;
    tls_worker = &self;
    const std::atomic<bool> never{false};
    help_until(self, never);
  }

  Job* find_work(Worker& self) {
    {
      std::lock_guard<std::mutex> lock(self.mutex);
      if (!self.jobs.empty()) {
        Job* job = self.jobs.back();
        self.jobs.pop_back();
        return job;
      }
    }
    std::size_t count = active_;
    for (std::size_t step = 1; step < count; ++step) {
      Worker& victim = *workers_[(self.index + step) % count];
      std::lock_guard<std::mutex> lock(victim.mutex);
      if (!victim.jobs.empty()) {
        Job* job = victim.jobs.front();
        victim.jobs.pop_front();
        return job;
      }
    }
    std::lock_guard<std::mutex> lock(inject_mutex_);
    if (injected_.empty()) return nullptr;
    Job* job = injected_.front();
    injected_.pop_front();
    return job;
  }

  std::vector<std::unique_ptr<Worker>> workers_;
  std::size_t active_ = 0;

  std::mutex gate_mutex_;
  std::condition_variable gate_cv_;
  bool gate_open_ = false;

  std::mutex inject_mutex_;
  std::deque<Job*> injected_;

  std::mutex sleep_mutex_;
  std::condition_variable sleep_cv_;
  std::atomic<std::uint64_t> epoch_{0};
  std::size_t sleepers_ = 0;
};

// The second half of a fork-join pair, waiting on its owner's queue.
class ForkedHalf final : public Job {
 public:
  ForkedHalf(detail::Half half, Pool& pool) : half_(half), pool_(pool) {}

  void execute() noexcept override {
    Pool& pool = pool_;  // the owner may destroy *this as soon as done is set
    try {
      half_(true);
    } catch (...) {
      error_ = std::current_exception();
    }
    done_.store(true, std::memory_order_seq_cst);
    pool.wake(true);
  }

  const std::atomic<bool>& done() const { return done_; }
  std::exception_ptr error() const { return error_; }

 private:
  detail::Half half_;
  Pool& pool_;
  std::exception_ptr error_;
  std::atomic<bool> done_{false};
};

// A task handed in by a thread outside the pool, which blocks until it ran.
class HandedTask final : public Job {
 public:
  explicit HandedTask(detail::FunctionRef<void()> task) : task_(task) {}

  void execute() noexcept override {
    try {
      task_();
    } catch (...) {
      error_ = std::current_exception();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
    cv_.notify_one();  // under the lock: the waiter cannot free *this before
  }

  void wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return done_; });
    if (error_) std::rethrow_exception(error_);
  }

 private:
  detail::FunctionRef<void()> task_;
  std::exception_ptr error_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
};

std::optional<std::uint64_t> parse_count(const char* text) {
  if (text == nullptr) return std::nullopt;
  if (*text == '+') ++text;
  if (*text == '\0') return std::nullopt;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t value = 0;
  for (; *text != '\0'; ++text) {
    if (*text < '0' || *text > '9') return std::nullopt;
    auto digit = static_cast<std::uint64_t>(*text - '0');
    if (value > (kMax - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::size_t default_thread_count() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<std::size_t>(count);
  }
  unsigned hardware = std::thread::hardware_concurrency();
  return hardware > 0 ? hardware : 1;
}

// Fork handlers: the prepare/parent pair keeps g_pool_mutex from being copied
// into the child in a locked state; the child drops the parent's pool, whose
// threads were not copied. The old object is leaked on purpose: its mutexes
// may have been held by threads that no longer exist.
void before_fork() { g_pool_mutex.lock(); }
void after_fork_parent() { g_pool_mutex.unlock(); }
void after_fork_child() {
  g_pool.store(nullptr, std::memory_order_seq_cst);
  tls_pool = nullptr;
  tls_worker = nullptr;
  g_pool_mutex.unlock();
}

Pool& instance() {
  if (Pool* pool = g_pool.load(std::memory_order_acquire)) return *pool;
  std::lock_guard<std::mutex> lock(g_pool_mutex);
  if (Pool* pool = g_pool.load(std::memory_order_acquire)) return *pool;
  static bool handlers_registered = false;
  if (!handlers_registered) {
    pthread_atfork(&before_fork, &after_fork_parent, &after_fork_child);
    handlers_registered = true;
  }
  std::size_t count = thread_count_from_env(std::getenv("RAYON_NUM_THREADS"),
                                            std::getenv("RAYON_RS_NUM_CPUS"), default_thread_count());
  auto* pool = new Pool(count);  // lives for the rest of the process
  g_pool.store(pool, std::memory_order_release);
  return *pool;
}

// The calling thread's worker slot in the live pool, or null.
Worker* current_worker(Pool& pool) { return tls_pool == &pool ? tls_worker : nullptr; }

}  // namespace

std::size_t thread_count_from_env(const char* num_threads, const char* num_cpus, std::size_t default_count) {
  if (auto value = parse_count(num_threads))
    return *value > 0 ? static_cast<std::size_t>(*value) : default_count;
  if (auto value = parse_count(num_cpus); value && *value > 0) return static_cast<std::size_t>(*value);
  return default_count;
}

std::size_t thread_count() { return detail::ensure_pool(); }

void for_each_piece(std::size_t n, std::size_t grain,
                    const std::function<void(std::size_t, std::size_t)>& body) {
  struct Done {};
  auto leaf = [&](std::size_t lo, std::size_t hi) {
    if (lo < hi) body(lo, hi);
    return Done{};
  };
  auto merge = [](Done, Done) { return Done{}; };
  detail::reduce_range<Done>(n, grain, leaf, merge);
}

namespace detail {

std::size_t ensure_pool() {
  std::size_t active = instance().active();
  return active > 0 ? active : 1;
}

bool on_worker() { return current_worker(instance()) != nullptr; }

void join(Half first, Half second) {
  Pool& pool = instance();
  Worker* self = current_worker(pool);
  std::exception_ptr first_error;
  std::exception_ptr second_error;
  if (self == nullptr) {
    try {
      first(false);
    } catch (...) {
      first_error = std::current_exception();
    }
    try {
      second(false);
    } catch (...) {
      second_error = std::current_exception();
    }
  } else {
    ForkedHalf forked(second, pool);
    pool.push_local(*self, &forked);
    try {
      first(false);
    } catch (...) {
      first_error = std::current_exception();
    }
    if (Pool::reclaim(*self, &forked)) {
      try {
        second(false);
      } catch (...) {
        second_error = std::current_exception();
      }
    } else {
      pool.help_until(*self, forked.done());
      second_error = forked.error();
    }
  }
  if (first_error) std::rethrow_exception(first_error);
  if (second_error) std::rethrow_exception(second_error);
}

void run_on_pool(FunctionRef<void()> task) {
  Pool& pool = instance();
  if (pool.active() == 0 || current_worker(pool) != nullptr) {
    task();
    return;
  }
  HandedTask handed(task);
  pool.inject(&handed);
  handed.wait();
}

}  // namespace detail
}  // namespace zor::pool
