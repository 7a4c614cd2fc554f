// The worker's entries of zor._native: a shard search held in a capsule,
// expanded one level at a time from encoded messages (see zor._cluster). A
// level runs without the interpreter lock; shard_stop, called from another
// thread meanwhile, makes it end early or cancel.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/discover/level_steps.hpp"
#include "core/discover/search.hpp"
#include "core/discover/shard_search.hpp"
#include "cpython/common/build_results.hpp"
#include "cpython/common/function.hpp"
#include "cpython/common/search_settings.hpp"
#include "cpython/zor_native/native_entries.hpp"

namespace zor::py {

namespace {

constexpr const char* kShardCapsule = "zor._native.Shard";

struct ShardHandle {
  discover::Columns columns;
  std::vector<double> y;
  discover::SearchOptions options;
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

PyObject* shard_open(discover::Columns columns, std::vector<double> y, std::uint64_t max_complexity,
                     std::uint64_t beam_width, double precision_goal, bool use_trig, bool use_zor,
                     double complexity_penalty, bool scaled, bool keep_front, std::uint64_t first_shard,
                     std::uint64_t last_shard, std::uint64_t memory_limit) {
  if (!check_search_columns(columns)) return nullptr;
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
  handle->options =
      search_options(max_complexity, beam_width, precision_goal, use_trig, use_zor, complexity_penalty);
  handle->options.scaling = scaled;
  ShardHandle* h = handle.get();
  try {
    h->search = std::make_unique<discover::ShardSearch>(
        h->columns, h->y, h->options, range, keep_front, nullptr, [h] { return h->request.load(); },
        memory_limit);
  } catch (const discover::SearchMemoryExceeded& e) {
    PyErr_SetString(PyExc_MemoryError, e.what());
    return nullptr;
  }
  PyObject* capsule = PyCapsule_New(h, kShardCapsule, delete_shard);
  if (capsule != nullptr) handle.release();
  return capsule;
}

PyObject* shard_expand(ShardArgument shard, BytesArgument message) {
  ShardHandle& h = *shard.handle;
  std::unique_lock<std::mutex> level(h.busy, std::try_to_lock);
  if (!level.owns_lock()) {
    PyErr_SetString(PyExc_RuntimeError, "this shard is already running a level");
    return nullptr;
  }
  std::optional<std::string> answer;
  PyObject* error_type = nullptr;
  std::string error;
  Py_BEGIN_ALLOW_THREADS;
  try {
    const discover::LevelStart start = discover::decode_start(message.data);
    answer = discover::encode(h.search->expand(start));
  } catch (const discover::Cancelled&) {
    error_type = PyExc_RuntimeError;
    error = "the level was cancelled";
  } catch (const discover::SearchMemoryExceeded& e) {
    error_type = PyExc_MemoryError;
    error = e.what();
  } catch (const std::invalid_argument& e) {
    error_type = PyExc_ValueError;
    error = e.what();
  }
  // A request holds for the level it was made in, not the next one.
  h.request.store(discover::PollAnswer::Continue);
  Py_END_ALLOW_THREADS;
  if (!answer) {
    PyErr_SetString(error_type, error.c_str());
    return nullptr;
  }
  return PyBytes_FromStringAndSize(answer->data(), static_cast<Py_ssize_t>(answer->size()));
}

PyObject* shard_stop(ShardArgument shard, bool cancel) {
  shard.handle->request.store(cancel ? discover::PollAnswer::Cancel : discover::PollAnswer::Stop);
  Py_RETURN_NONE;
}

constexpr Signature kShardOpen{
    "shard_open",
    {"columns", "y", "max_complexity", "beam_width", "precision_goal", "use_trig", "use_zor",
     "complexity_penalty", "scaled", "keep_front", "first_shard", "last_shard", "memory_limit"}};
constexpr Signature kShardExpand{"shard_expand", {"shard", "message"}};
constexpr Signature kShardStop{"shard_stop", {"shard", "cancel"}};

}  // namespace

PyObject* shard_open_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return module_function<kShardOpen, shard_open>(self, args, nargs, kwnames);
}
PyObject* shard_expand_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return module_function<kShardExpand, shard_expand>(self, args, nargs, kwnames);
}
PyObject* shard_stop_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return module_function<kShardStop, shard_stop>(self, args, nargs, kwnames);
}
}  // namespace zor::py
