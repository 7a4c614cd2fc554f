// Messages as flat bytes: a tag and a version, then every field in order,
// each number in the machine's own representation. A vector is its length
// followed by its elements.
#include "core/discover/level_steps.hpp"

#include <cstring>
#include <stdexcept>
#include <type_traits>

namespace zor::discover {

namespace {

using detail::Child;
using detail::Ranked;

constexpr std::uint32_t kStartTag = 0x7a6f7231;  // "zor1"
constexpr std::uint32_t kPartTag = 0x7a6f7232;
constexpr std::uint32_t kVersion = 2;

class Writer {
 public:
  template <class T>
  void put(const T& value) {
    static_assert(std::is_trivially_copyable_v<T>);
    const auto* bytes = reinterpret_cast<const char*>(&value);
    out_.append(bytes, sizeof value);
  }
  void put_optional(const std::optional<double>& value) {
    put<std::uint8_t>(value ? 1 : 0);
    put<double>(value.value_or(0.0));
  }
  void put_child(const Child& child) {
    put(child.left);
    put(child.right);
    put(static_cast<std::uint8_t>(child.op));
  }
  std::string take() { return std::move(out_); }

 private:
  std::string out_;
};

class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}

  template <class T>
  T get() {
    static_assert(std::is_trivially_copyable_v<T>);
    if (bytes_.size() - at_ < sizeof(T)) fail();
    T value;
    std::memcpy(&value, bytes_.data() + at_, sizeof value);
    at_ += sizeof value;
    return value;
  }
  std::optional<double> get_optional() {
    const auto present = get<std::uint8_t>();
    const auto value = get<double>();
    if (present > 1) fail();
    return present ? std::optional<double>(value) : std::nullopt;
  }
  Child get_child() {
    Child child{};
    child.left = get<detail::MemberIndex>();
    child.right = get<detail::MemberIndex>();
    const auto code = get<std::uint8_t>();
    if (code >= kOperatorCount) fail();
    child.op = static_cast<OpCode>(code);
    return child;
  }
  // A count of elements of at least `element_bytes` each that the rest of
  // the message can hold.
  std::size_t get_count(std::size_t element_bytes) {
    const auto count = get<std::uint64_t>();
    if (count > (bytes_.size() - at_) / element_bytes) fail();
    return static_cast<std::size_t>(count);
  }
  void expect(std::uint32_t tag) {
    if (get<std::uint32_t>() != tag || get<std::uint32_t>() != kVersion) fail();
  }
  void finish() const {
    if (at_ != bytes_.size()) fail();
  }
  [[noreturn]] static void fail() { throw std::invalid_argument("not a level message of this build"); }

 private:
  std::string_view bytes_;
  std::size_t at_ = 0;
};

constexpr std::size_t kChildBytes = 2 * sizeof(detail::MemberIndex) + 1;

}  // namespace

std::string encode(const LevelStart& start) {
  Writer out;
  out.put(kStartTag);
  out.put(kVersion);
  out.put(start.level);
  out.put(start.first_new);
  out.put<std::uint64_t>(start.adopted.size());
  for (const Child& child : start.adopted) out.put_child(child);
  out.put_optional(start.best_score);
  out.put<std::uint64_t>(start.front_scores.size());
  for (const std::optional<double>& score : start.front_scores) out.put_optional(score);
  return out.take();
}

std::string encode(const LevelPart& part) {
  Writer out;
  out.put(kPartTag);
  out.put(kVersion);
  out.put(part.generated);
  out.put(part.admitted);
  out.put(part.scored);
  out.put(part.pruned);
  out.put(part.seen_entries);
  out.put<std::uint8_t>(part.cut_short ? 1 : 0);
  out.put(part.phases);
  out.put<std::uint64_t>(part.candidates.size());
  for (const Ranked& r : part.candidates) {
    out.put(r.score);
    out.put(r.rmse);
    out.put(r.seq);
    out.put_child(r.child);
    out.put(r.unscaled_score);
    out.put(r.scale);
    out.put(r.offset);
    out.put(r.shape);
    out.put(r.size);
  }
  return out.take();
}

LevelStart decode_start(std::string_view bytes) {
  Reader in(bytes);
  in.expect(kStartTag);
  LevelStart start;
  start.level = in.get<std::uint64_t>();
  start.first_new = in.get<std::uint64_t>();
  start.adopted.resize(in.get_count(kChildBytes));
  for (Child& child : start.adopted) child = in.get_child();
  start.best_score = in.get_optional();
  start.front_scores.resize(in.get_count(1 + sizeof(double)));
  for (std::optional<double>& score : start.front_scores) score = in.get_optional();
  in.finish();
  return start;
}

LevelPart decode_part(std::string_view bytes) {
  Reader in(bytes);
  in.expect(kPartTag);
  LevelPart part;
  part.generated = in.get<std::uint64_t>();
  part.admitted = in.get<std::uint64_t>();
  part.scored = in.get<std::uint64_t>();
  part.pruned = in.get<std::uint64_t>();
  part.seen_entries = in.get<std::uint64_t>();
  const auto cut_short = in.get<std::uint8_t>();
  if (cut_short > 1) Reader::fail();
  part.cut_short = cut_short == 1;
  part.phases = in.get<PhaseSeconds>();
  part.candidates.resize(in.get_count(kChildBytes));
  for (Ranked& r : part.candidates) {
    r.score = in.get<double>();
    r.rmse = in.get<double>();
    r.seq = in.get<std::uint64_t>();
    r.child = in.get_child();
    r.unscaled_score = in.get<double>();
    r.scale = in.get<double>();
    r.offset = in.get<double>();
    r.shape = in.get<std::uint64_t>();
    r.size = in.get<std::uint64_t>();
  }
  in.finish();
  return part;
}

}  // namespace zor::discover
