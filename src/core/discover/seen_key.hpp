// The keys the fast search stores in its seen set: each names a candidate by
// its operator and the parent positions of its operands, from which its
// probe values are recomputed.
//
// A key takes the low SeenSet::kKeyBits (52) of a slot, below the hash tag:
//
//   bit 63        52 51      48 47            24 23             0
//      +-----------+----------+----------------+----------------+
//      |  hash tag |   code   |      left      |     right      |
//      +-----------+----------+----------------+----------------+
//       (SeenSet)    4 bits      kIndexBits       kIndexBits
//
//   child of a parent or two:  code = operator code + 1 (so no key is 0),
//                              left and right = the operands' positions
//                              (a unary child repeats its operand in right)
//   a parent itself (a seed):  code = kMemberCode, left = 0, right = its
//                              position
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

#include "core/discover/child_generator.hpp"
#include "core/discover/operators.hpp"
#include "core/discover/seen_set.hpp"

namespace zor::discover::detail {

inline constexpr unsigned kCodeBits = 4;
inline constexpr unsigned kIndexBits = (SeenSet::kKeyBits - kCodeBits) / 2;
inline constexpr std::uint64_t kIndexMask = (std::uint64_t{1} << kIndexBits) - 1;
inline constexpr std::uint64_t kMemberCode = (std::uint64_t{1} << kCodeBits) - 1;
// Parents a search may hold: every position is then below kIndexMask.
inline constexpr std::size_t kMaxMembers = kIndexMask;

static_assert(kCodeBits + 2 * kIndexBits <= SeenSet::kKeyBits, "a key must fit below the hash tag");
static_assert(kIndexBits <= std::numeric_limits<MemberIndex>::digits,
              "every position must fit a MemberIndex");
// Every operator's key code (its code plus one) must stay below the one that
// marks a parent.
static_assert(kOperatorCount < kMemberCode, "operator codes must fit the code bits");

inline std::uint64_t child_key(const Child& child) {
  return (static_cast<std::uint64_t>(child.op) + 1) << (2 * kIndexBits) |
         static_cast<std::uint64_t>(child.left) << kIndexBits | child.right;
}

inline std::uint64_t member_key(std::size_t member) { return kMemberCode << (2 * kIndexBits) | member; }

// True when `key` names a parent itself rather than a child.
inline bool is_member_key(std::uint64_t key) { return key >> (2 * kIndexBits) == kMemberCode; }

// The parent named by a member key.
inline std::size_t key_member(std::uint64_t key) { return static_cast<std::size_t>(key & kIndexMask); }

// The child named by a child key.
inline Child key_child(std::uint64_t key) {
  return Child{static_cast<MemberIndex>(key >> kIndexBits & kIndexMask),
               static_cast<MemberIndex>(key & kIndexMask),
               static_cast<OpCode>((key >> (2 * kIndexBits)) - 1)};
}

}  // namespace zor::discover::detail
