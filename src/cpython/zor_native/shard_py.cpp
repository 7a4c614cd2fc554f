// The worker's entries of zor._native: a shard search held in a capsule,
// expanded one level at a time from encoded messages (see zor._cluster). A
// level runs without the interpreter lock; shard_stop, called from another
// thread meanwhile, makes it end early or cancel.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/discover/dimensions.hpp"
#include "core/discover/level_steps.hpp"
#include "core/discover/search.hpp"
#include "core/discover/shard_search.hpp"
#include "cpython/common/build_results.hpp"
#include "cpython/common/function.hpp"
#include "cpython/common/released_lock.hpp"
#include "cpython/common/search_settings.hpp"
#include "cpython/zor_native/native_entries.hpp"

namespace zor::py {

namespace {

constexpr const char* kShardCapsule = "zor._native.Shard";

struct ShardHandle {
  discover::Columns columns;
  std::vector<double> y;
  discover::SearchOptions options;
  std::optional<discover::DimensionRules> dimensions;
  std::atomic<discover::PollAnswer> request{discover::PollAnswer::Continue};
  std::mutex busy;  // one level at a time
  std::unique_ptr<discover::ShardSearch> search;
};

void delete_shard(PyObject* capsule) {
  delete static_cast<ShardHandle*>(PyCapsule_GetPointer(capsule, kShardCapsule));
}

// A shard search made by shard_open, borrowed for the call.
struct ShardArgument {
  ShardHandle* handle = nullptr;
};

struct BytesArgument {
  std::string data;
};

}  // namespace

template <>
struct Converter<ShardArgument> {
  static bool convert(PyObject* obj, ShardArgument& out) {
    if (!PyCapsule_IsValid(obj, kShardCapsule)) {
      PyErr_Format(PyExc_TypeError, "expected a shard made by shard_open, not %R", obj);
      return false;
    }
    out.handle = static_cast<ShardHandle*>(PyCapsule_GetPointer(obj, kShardCapsule));
    return out.handle != nullptr;
  }
};

template <>
struct Converter<BytesArgument> {
  static bool convert(PyObject* obj, BytesArgument& out) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (!PyBytes_Check(obj)) {
      PyErr_Format(PyExc_TypeError, "expected bytes, not %.100s", Py_TYPE(obj)->tp_name);
      return false;
    }
    if (PyBytes_AsStringAndSize(obj, &data, &size) < 0) return false;
    out.data.assign(data, static_cast<std::size_t>(size));
    return true;
  }
};

namespace {

PyObject* shard_open(discover::Columns columns, std::vector<double> y, discover::SearchOptions options,
                     std::uint64_t first_shard, std::uint64_t last_shard, bool keep_front,
                     std::uint64_t memory_limit, NoneOr<discover::Columns> dimensions) {
  if (!check_search_columns(columns)) return nullptr;
  std::optional<discover::DimensionRules> rules;
  if (!read_dimensions(dimensions.value, columns.size(), rules)) return nullptr;
  const discover::ShardRange range{first_shard, last_shard};
  if (!range.valid()) {
    PyErr_Format(PyExc_ValueError, "a shard range is first < last <= %zu, not [%llu, %llu)",
                 discover::SeenSet::kShards, static_cast<unsigned long long>(first_shard),
                 static_cast<unsigned long long>(last_shard));
    return nullptr;
  }
  auto handle = std::make_unique<ShardHandle>();
  handle->columns = std::move(columns);
  handle->y = std::move(y);
  handle->options = options;
  handle->dimensions = std::move(rules);
  ShardHandle* h = handle.get();
  h->search = std::make_unique<discover::ShardSearch>(
      h->columns, h->y, h->options, range, keep_front, nullptr, [h] { return h->request.load(); },
      memory_limit, h->dimensions ? &*h->dimensions : nullptr);
  PyObject* capsule = PyCapsule_New(h, kShardCapsule, delete_shard);
  if (capsule != nullptr) handle.release();
  return capsule;
}

// Ends a level's stop or cancel request with the level, however it ends.
class LevelRequest {
 public:
  explicit LevelRequest(ShardHandle& h) : h_(h) {}
  ~LevelRequest() { h_.request.store(discover::PollAnswer::Continue); }
  LevelRequest(const LevelRequest&) = delete;
  LevelRequest& operator=(const LevelRequest&) = delete;

 private:
  ShardHandle& h_;
};

PyObject* shard_expand(ShardArgument shard, BytesArgument message) {
  ShardHandle& h = *shard.handle;
  std::unique_lock<std::mutex> level(h.busy, std::try_to_lock);
  if (!level.owns_lock()) {
    PyErr_SetString(PyExc_RuntimeError, "this shard is already running a level");
    return nullptr;
  }
  std::string answer;
  try {
    ReleasedLock lock;
    LevelRequest request(h);
    answer = discover::encode(h.search->expand(discover::decode_start(message.data)));
  } catch (const discover::Cancelled&) {
    // The cancellation came from shard_stop, not from a Python error: the
    // RuntimeError set here is the pending error the translation passes on.
    PyErr_SetString(PyExc_RuntimeError, "the level was cancelled");
    throw;
  }
  return PyBytes_FromStringAndSize(answer.data(), static_cast<Py_ssize_t>(answer.size()));
}

PyObject* shard_stop(ShardArgument shard, bool cancel) {
  shard.handle->request.store(cancel ? discover::PollAnswer::Cancel : discover::PollAnswer::Stop);
  Py_RETURN_NONE;
}

constexpr Signature kShardOpen{
    "shard_open",
    {"columns", "y", "options", "first_shard", "last_shard", "*", "keep_front=False", "memory_limit=0",
     "dimensions=None"},
    "A shard search for the seen set's shards [first_shard, last_shard) of SHARDS, seeded, with the\n"
    "search settings of `options` (as search() reads them), holding at most `memory_limit` bytes (0: most\n"
    "of the memory available); `keep_front` and `dimensions` as for search()."};
constexpr Signature kShardExpand{
    "shard_expand",
    {"shard", "message"},
    "Runs one level of `shard` from an encoded level start; returns its encoded part. The interpreter\n"
    "lock is released while it runs."};
constexpr Signature kShardStop{
    "shard_stop",
    {"shard", "cancel"},
    "Asks the level `shard` is running, or else its next level, to end early with what it found\n"
    "(cancel=False) or to raise RuntimeError (cancel=True). Safe from any thread."};

}  // namespace

PyMethodDef shard_open_function() { return function_def<kShardOpen, shard_open>(); }
PyMethodDef shard_expand_function() { return function_def<kShardExpand, shard_expand>(); }
PyMethodDef shard_stop_function() { return function_def<kShardStop, shard_stop>(); }

}  // namespace zor::py
