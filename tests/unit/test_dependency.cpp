#include "rules/dependency_internal.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<uint64_t> children_of(uint64_t parent) {
  int n = dependency_find_children(parent, 0, nullptr);
  std::vector<uint64_t> out(size_t(n) + 1, 0xdeadbeef);
  EXPECT_EQ(n, dependency_find_children(parent, n, out.data()));
  EXPECT_EQ(out[size_t(n)], 0xdeadbeefu) << "wrote past the capacity";
  out.resize(size_t(n));
  return out;
}

TEST(dependency, a_child_moves_to_its_new_parent) {
  dependency_init();
  dependency_record(7, 3);
  dependency_record(7, 4);
  EXPECT_EQ(children_of(3), std::vector<uint64_t>{});
  EXPECT_EQ(children_of(4), std::vector<uint64_t>{7});
  // Recording the same parent again keeps one record.
  dependency_record(7, 4);
  EXPECT_EQ(children_of(4), std::vector<uint64_t>{7});
}

TEST(dependency, parent_zero_removes_the_record) {
  dependency_init();
  dependency_record(7, 3);
  dependency_record(8, 3);
  dependency_record(7, 0);
  EXPECT_EQ(children_of(3), std::vector<uint64_t>{8});
  dependency_record(8, 0);
  EXPECT_EQ(dependency_find_children(3, 0, nullptr), 0);
  // Removing a child that has no record changes nothing.
  dependency_record(99, 0);
  EXPECT_EQ(dependency_find_children(3, 0, nullptr), 0);
}

TEST(dependency, children_come_in_ascending_order_up_to_capacity) {
  dependency_init();
  dependency_record(9, 3);
  dependency_record(2, 3);
  dependency_record(5, 3);
  dependency_record(4, 30);  // another parent's child in between must not leak in
  dependency_record(1, 2);
  uint64_t out[3] = {0, 0, 0};
  EXPECT_EQ(dependency_find_children(3, 2, out), 3);
  EXPECT_EQ(out[0], 2u);
  EXPECT_EQ(out[1], 5u);
  EXPECT_EQ(out[2], 0u);
  EXPECT_EQ(children_of(3), (std::vector<uint64_t>{2, 5, 9}));
}

TEST(dependency, ids_compare_as_unsigned) {
  dependency_init();
  const uint64_t big = 0x8000000000000001ull;  // negative as a signed value
  dependency_record(big, big - 1);
  dependency_record(1, big - 1);
  dependency_record(2, big);
  EXPECT_EQ(children_of(big - 1), (std::vector<uint64_t>{1, big}));
  EXPECT_EQ(children_of(big), std::vector<uint64_t>{2});
  EXPECT_EQ(children_of(UINT64_MAX), std::vector<uint64_t>{});
}

TEST(dependency, parent_without_children_writes_nothing) {
  dependency_init();
  dependency_record(5, 6);
  uint64_t out[2] = {11, 12};
  EXPECT_EQ(dependency_find_children(42, 2, out), 0);
  EXPECT_EQ(out[0], 11u);
  EXPECT_EQ(out[1], 12u);
  // A negative capacity or no buffer only counts.
  EXPECT_EQ(dependency_find_children(6, -1, out), 1);
  EXPECT_EQ(out[0], 11u);
  EXPECT_EQ(dependency_find_children(6, 5, nullptr), 1);
}

TEST(dependency, init_empties_the_registry) {
  dependency_init();
  dependency_record(7, 3);
  dependency_init();
  EXPECT_EQ(dependency_find_children(3, 0, nullptr), 0);
}

}  // namespace

TEST(dependency, a_ruleset_cannot_be_its_own_parent) {
  dependency_init();
  dependency_record(7, 3);
  const uint64_t refused = dependency_self_parent_refused.load();
  dependency_record(7, 7);
  EXPECT_EQ(dependency_self_parent_refused.load(), refused + 1);
  EXPECT_EQ(children_of(7), std::vector<uint64_t>{});
  // The definition that named itself has no usable parent: the earlier one goes too.
  EXPECT_EQ(children_of(3), std::vector<uint64_t>{});
  dependency_record(0, 0);  // "no parent" is not a self-reference
  EXPECT_EQ(dependency_self_parent_refused.load(), refused + 1);
}
