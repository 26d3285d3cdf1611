#include "quelt_version.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(quelt_version, ref_is_the_branch_or_tag_name_or_the_whole_path) {
  const char *commit = "0123456789abcdef0123456789abcdef01234567.1700000000";
  struct {
    const char *branch;
    const char *expected;
  } cases[] = {
      {"branches/master", "master.0123456789abcdef0123456789abcdef01234567.1700000000"},
      {"tags/1.2.3", "1.2.3.0123456789abcdef0123456789abcdef01234567.1700000000"},
      {"trunk", "trunk.0123456789abcdef0123456789abcdef01234567.1700000000"},
      {"branches/tags/x", "tags/x.0123456789abcdef0123456789abcdef01234567.1700000000"},
  };
  for (const auto &c : cases) {
    char buf[128];
    EXPECT_STREQ(quelt_build_version_from(buf, sizeof(buf), c.branch, commit), c.expected);
  }
}

TEST(quelt_version, long_paths_are_cut_to_the_buffer) {
  std::string branch = "branches/" + std::string(300, 'b');
  char buf[128];
  quelt_build_version_from(buf, sizeof(buf), branch.c_str(), "v");
  EXPECT_EQ(strlen(buf), 127u);
}

TEST(quelt_version, this_build_is_stamped) {
  char buf[128];
  quelt_build_version(buf, sizeof(buf));
  std::string v = buf;
  std::string branch = quelt_branch;
  EXPECT_EQ(v.rfind(branch.substr(branch.rfind('/') + 1) + ".", 0), 0u) << v;
  // commit (40 hex digits) "." seconds
  std::string version = quelt_version;
  ASSERT_GT(version.size(), 41u);
  EXPECT_EQ(version[40], '.');
  EXPECT_EQ(version.find_first_not_of("0123456789abcdef"), 40u);
}

}  // namespace
