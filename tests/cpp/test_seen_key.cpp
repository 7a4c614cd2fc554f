// The fast search's seen-set keys: every key decodes to what it was made
// from, fits below the hash tag, is never 0 (the empty slot), and a parent's
// key never equals a child's.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "core/discover/seen_key.hpp"
#include "core/discover/seen_set.hpp"

namespace zor::discover::detail {
namespace {

using enum OpCode;

constexpr MemberIndex kLargest = static_cast<MemberIndex>(kMaxMembers - 1);

void expect_fits(std::uint64_t key) {
  EXPECT_NE(key, 0u);
  EXPECT_EQ(key & ~SeenSet::kKeyMask, 0u) << "key reaches into the hash tag";
}

TEST(SeenKey, ChildKeysRoundTripForEveryOperatorAndTheLargestPositions) {
  const std::vector<MemberIndex> positions = {0, 1, 2, 4095, 1u << 20, kLargest - 1, kLargest};
  for (OpCode op : {Neg, Recip, Exp, Ln, Sqrt, Sin, Cos, Abs, Zor, Add, Sub, Mul, Div}) {
    for (MemberIndex left : positions) {
      for (MemberIndex right : positions) {
        const Child child{left, right, op};
        const std::uint64_t key = child_key(child);
        expect_fits(key);
        EXPECT_FALSE(is_member_key(key));
        EXPECT_EQ(key_child(key), child) << static_cast<int>(op) << " " << left << " " << right;
      }
    }
  }
}

TEST(SeenKey, MemberKeysRoundTripAndDifferFromEveryChildKey) {
  for (std::size_t member : {std::size_t{0}, std::size_t{1}, std::size_t{77}, std::size_t{kLargest}}) {
    const std::uint64_t key = member_key(member);
    expect_fits(key);
    EXPECT_TRUE(is_member_key(key));
    EXPECT_EQ(key_member(key), member);
    // A child with the same low bits differs in its code, whatever its
    // operator.
    for (OpCode op : {Neg, Zor, Div}) {
      const std::uint64_t child = child_key(Child{0, static_cast<MemberIndex>(member), op});
      EXPECT_NE(child, key);
      EXPECT_FALSE(is_member_key(child));
    }
  }
}

TEST(SeenKey, TheSmallestChildKeyIsNotTheEmptySlot) {
  // Neg has code 0 and both operands position 0: only the code offset
  // keeps this key from 0.
  expect_fits(child_key(Child{0, 0, Neg}));
  expect_fits(member_key(0));
}

}  // namespace
}  // namespace zor::discover::detail
