// The fast search's children as (operator, left, right) triples over parent
// positions, and the enumeration of one level's children in generation order.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/discover/dimensions.hpp"
#include "core/discover/expr.hpp"
#include "core/discover/search_detail.hpp"

namespace zor::discover::detail {

// A parent's position in the order parents were added.
using MemberIndex = std::uint32_t;

// A child before it is kept: the operator applied to parent `left` and, for
// binary operators, `right` (the right operand). Unary children repeat their
// operand in `right`.
struct Child {
  MemberIndex left;
  MemberIndex right;
  OpCode op;

  friend bool operator==(const Child&, const Child&) = default;
};

inline MemberIndex right_operand(const Child& child) {
  return arity(child.op) == 2 ? child.right : child.left;
}

// Enumerates a level's children in generation order: for each parent the
// unary operators, then for each pair (i, j <= i) that passes the size test,
// each binary operator, with the swapped child right after for operators
// built in both orders. Children whose parents all come before `first_new`
// (the parents of the previous level) are left out.
//
// With units (`dimensions` not null), children that break the dimension
// rules are left out as well, and counted as pruned.
//
// Why leaving them out is exact: the size test does not depend on the level,
// so every such child was already put through admission at the previous
// level. Either it had no fingerprint then, and has none now, or its
// fingerprint went into the seen set then (admitted, or found already
// there), and the set only grows: admission rejects it again. Leaving out
// candidates that admission rejects changes neither which candidates are
// admitted nor their order. At level 2 no parent is old (level 1 generated
// nothing).
class ChildGenerator {
 public:
  // `complexities[i]` is the token count of parent i and `dimension_ids[i]`
  // its dimension in `dimensions`; the spans must stay valid and unchanged
  // while the generator is used.
  ChildGenerator(std::span<const std::uint64_t> complexities, std::size_t first_new,
                 const std::vector<OpCode>& unary, const std::vector<OpCode>& binary,
                 std::uint64_t max_complexity, const DimensionTable* dimensions = nullptr,
                 DimensionIds dimension_ids = {})
      : complexities_(complexities),
        dimensions_(dimensions),
        dimension_ids_(dimension_ids),
        unary_(unary),
        binary_(binary),
        max_complexity_(max_complexity),
        member_(first_new),
        row_(first_new) {
    build_partner_lists();
    start_row();
  }

  // Number of children per binary partner: one per operator, two for those
  // built in both operand orders.
  static std::uint64_t children_per_pair(const std::vector<OpCode>& binary) {
    std::uint64_t count = 0;
    for (OpCode op : binary) count += builds_both_orders(op) ? 2 : 1;
    return count;
  }

  // How many children the level has in all, pruned ones included, counted
  // without generating.
  std::uint64_t total() const {
    std::uint64_t partners = 0;
    for (std::size_t i = row_; i < size(); ++i) partners += partner_count(i);
    return (size() - member_) * unary_.size() + partners * children_per_pair(binary_);
  }

  std::uint64_t partner_bytes() const {
    std::uint64_t total = 0;
    for (const std::vector<MemberIndex>& list : partner_lists_)
      total += list.capacity() * sizeof(MemberIndex);
    return total;
  }

  // Children left out for breaking the dimension rules, so far.
  std::uint64_t pruned() const { return pruned_; }

  // Replaces `out` by the next children, at most `capacity` of them; empty
  // when the level has none left.
  void fill(std::vector<Child>& out, std::size_t capacity) {
    out.clear();
    while (out.size() < capacity && member_ < size()) {
      const OpCode op = unary_[op_];
      if (allowed(op, member_, member_)) {
        out.push_back(Child{MemberIndex(member_), MemberIndex(member_), op});
      } else {
        ++pruned_;
      }
      if (++op_ == unary_.size()) {
        op_ = 0;
        ++member_;
      }
    }
    while (out.size() < capacity && row_ < size()) {
      if (position_ == partner_end_) {
        ++row_;
        start_row();
        continue;
      }
      const MemberIndex partner = partners_ != nullptr ? (*partners_)[position_] : MemberIndex(position_);
      const OpCode op = binary_[op_];
      if (!reversed_ && !allowed(op, row_, partner)) {
        // The rules are symmetric: the swapped child breaks them too.
        pruned_ += builds_both_orders(op) ? 2 : 1;
      } else if (!reversed_) {
        out.push_back(Child{MemberIndex(row_), partner, op});
        if (builds_both_orders(op)) {
          reversed_ = true;
          continue;
        }
      } else {
        out.push_back(Child{partner, MemberIndex(row_), op});
        reversed_ = false;
      }
      if (++op_ == binary_.size()) {
        op_ = 0;
        ++position_;
      }
    }
  }

 private:
  std::size_t size() const { return complexities_.size(); }

  bool allowed(OpCode op, std::size_t left, std::size_t right) const {
    return dimensions_ == nullptr || dimensions_->allows(op, dimension_ids_[left], dimension_ids_[right]);
  }

  // partner_lists_[t] holds, in parent order, the parents of complexity
  // below t, for every t at which that is not every parent.
  void build_partner_lists() {
    std::uint64_t widest = 0;
    for (std::uint64_t c : complexities_) widest = std::max(widest, c);
    const std::uint64_t largest = std::min(widest, max_complexity_);
    partner_lists_.resize(static_cast<std::size_t>(largest) + 1);
    for (std::size_t j = 0; j < size(); ++j) {
      for (std::uint64_t t = complexities_[j] + 1; t <= largest; ++t) {
        partner_lists_[t].push_back(static_cast<MemberIndex>(j));
      }
    }
  }

  // Partners of row i: parents j <= i with complexity(i) + complexity(j) <
  // max_complexity, which is the size test. Null when they are 0..count-1.
  const std::vector<MemberIndex>* partners_of(std::size_t i, std::size_t& count) const {
    const std::uint64_t ci = complexities_[i];
    count = 0;
    if (ci >= max_complexity_) return nullptr;
    const std::uint64_t limit = max_complexity_ - ci;
    if (limit >= partner_lists_.size()) {
      count = i + 1;
      return nullptr;
    }
    const std::vector<MemberIndex>& list = partner_lists_[limit];
    count =
        static_cast<std::size_t>(std::upper_bound(list.begin(), list.end(), MemberIndex(i)) - list.begin());
    return &list;
  }

  std::size_t partner_count(std::size_t i) const {
    std::size_t count = 0;
    partners_of(i, count);
    return count;
  }

  void start_row() {
    position_ = 0;
    partner_end_ = 0;
    partners_ = nullptr;
    if (row_ < size()) partners_ = partners_of(row_, partner_end_);
  }

  std::span<const std::uint64_t> complexities_;
  const DimensionTable* dimensions_;
  DimensionIds dimension_ids_;
  const std::vector<OpCode>& unary_;
  const std::vector<OpCode>& binary_;
  std::uint64_t max_complexity_;
  std::vector<std::vector<MemberIndex>> partner_lists_;
  std::size_t member_;                                  // next parent for unary children
  std::size_t row_;                                     // left parent of the current binary row
  const std::vector<MemberIndex>* partners_ = nullptr;  // null: partners are 0..row_
  std::size_t position_ = 0;
  std::size_t partner_end_ = 0;
  std::size_t op_ = 0;
  bool reversed_ = false;
  std::uint64_t pruned_ = 0;
};

}  // namespace zor::discover::detail
