#include "tovi/tovi_uuid.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

TEST(tovi_uuid, round_trips_in_lower_case) {
  uint8_t id[16];
  ASSERT_TRUE(tovi_uuid_parse("0F1E2D3C-4b5a-6978-8796-A5B4C3D2E1F0", 36, id));
  EXPECT_EQ(id[0], 0x0f);
  EXPECT_EQ(id[15], 0xf0);
  char text[37];
  tovi_uuid_unparse(id, text);
  EXPECT_STREQ(text, "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0");
}

TEST(tovi_uuid, rejects_anything_but_the_exact_form) {
  const char *bad[] = {
      "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f",    // short
      "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f00",  // long
      "0f1e2d3c4b5a-6978-8796-a5b4c3d2e1f0-",   // dash misplaced
      "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1fg",   // not hex
      "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1 0",
  };
  uint8_t id[16];
  for (const char *text : bad)
    EXPECT_FALSE(tovi_uuid_parse(text, strlen(text), id)) << text;
  EXPECT_FALSE(tovi_uuid_parse(nullptr, 36, id));
}

TEST(tovi_uuid, reads_only_the_given_bytes) {
  // An exact-size heap copy: a read past the end shows under the address sanitizer.
  std::string text = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";
  std::vector<char> exact(text.begin(), text.end());
  uint8_t id[16];
  EXPECT_TRUE(tovi_uuid_parse(exact.data(), exact.size(), id));
}

}  // namespace
