#include "tovi/tovi_conf.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace {

const char *const sample = R"(<?xml version="1.0"?>
<queltd>
  <orvane>
    <api base="https://api.example" >
      <rulesets batch_size="500"/>
      <token> abc </token>
    </api>
  </orvane>
  <numbers small="-7" big="9000000000" hex="0x10" zeros="044444" octal_digits="0089" bad="12x" huge="99999999999999999999"/>
  <flags a="true" b="off" c="YES" d="0" e="maybe"/>
  <listeners>
    <listener port="1"/>
    <listener port="2"><name>second</name></listener>
  </listeners>
</queltd>
)";

class tovi_conf_test : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(tovi_conf_load_string(sample, "sample.conf")); }
};

TEST_F(tovi_conf_test, absent_keys_keep_the_default) {
  std::string s = "default";
  int32_t i = 42;
  int64_t l = 43;
  bool b = true;
  EXPECT_FALSE(tovi_conf_get_string(nullptr, "//orvane/api/missing", &s));
  EXPECT_FALSE(tovi_conf_get_int32(nullptr, "//nowhere/@x", &i));
  EXPECT_FALSE(tovi_conf_get_int64(nullptr, "//nowhere", &l));
  EXPECT_FALSE(tovi_conf_get_boolean(nullptr, "//flags/@z", &b));
  EXPECT_EQ(s, "default");
  EXPECT_EQ(i, 42);
  EXPECT_EQ(l, 43);
  EXPECT_TRUE(b);
}

TEST_F(tovi_conf_test, reads_elements_and_attributes) {
  std::string base, token;
  int32_t batch = 10000;
  EXPECT_TRUE(tovi_conf_get_string(nullptr, "//orvane/api/@base", &base));
  EXPECT_TRUE(tovi_conf_get_string(nullptr, "//orvane/api/token", &token));
  EXPECT_TRUE(tovi_conf_get_int32(nullptr, "//orvane/api/rulesets/@batch_size", &batch));
  EXPECT_EQ(base, "https://api.example");
  EXPECT_EQ(token, "abc");  // surrounding white space is not part of a value
  EXPECT_EQ(batch, 500);
}

TEST_F(tovi_conf_test, integers_are_range_checked) {
  int32_t i = 1;
  int64_t l = 1;
  EXPECT_TRUE(tovi_conf_get_int32(nullptr, "//numbers/@small", &i));
  EXPECT_EQ(i, -7);
  EXPECT_TRUE(tovi_conf_get_int32(nullptr, "//numbers/@hex", &i));
  EXPECT_EQ(i, 16);
  // A leading zero never means octal.
  EXPECT_TRUE(tovi_conf_get_int32(nullptr, "//numbers/@zeros", &i));
  EXPECT_EQ(i, 44444);
  EXPECT_TRUE(tovi_conf_get_int32(nullptr, "//numbers/@octal_digits", &i));
  EXPECT_EQ(i, 89);
  i = 5;
  EXPECT_FALSE(tovi_conf_get_int32(nullptr, "//numbers/@big", &i));
  EXPECT_FALSE(tovi_conf_get_int32(nullptr, "//numbers/@bad", &i));
  EXPECT_EQ(i, 5);
  EXPECT_TRUE(tovi_conf_get_int64(nullptr, "//numbers/@big", &l));
  EXPECT_EQ(l, 9000000000LL);
  EXPECT_FALSE(tovi_conf_get_int64(nullptr, "//numbers/@huge", &l));
}

TEST_F(tovi_conf_test, booleans_accept_the_usual_spellings) {
  struct {
    const char *key;
    bool ok;
    bool value;
  } cases[] = {{"//flags/@a", true, true},
               {"//flags/@b", true, false},
               {"//flags/@c", true, true},
               {"//flags/@d", true, false},
               {"//flags/@e", false, false}};
  for (const auto &c : cases) {
    bool v = !c.value;
    EXPECT_EQ(tovi_conf_get_boolean(nullptr, c.key, &v), c.ok) << c.key;
    if (c.ok) {
      EXPECT_EQ(v, c.value) << c.key;
    }
  }
}

TEST_F(tovi_conf_test, sections_iterate_in_document_order_and_read_relative_keys) {
  tovi_conf_section_read_hold();
  auto listeners = tovi_conf_get_sections(nullptr, "//listeners/listener");
  ASSERT_EQ(listeners.size(), 2u);
  int32_t port = 0;
  std::string name;
  EXPECT_TRUE(tovi_conf_get_int32(listeners[1], "@port", &port));
  EXPECT_TRUE(tovi_conf_get_string(listeners[1], "name", &name));
  EXPECT_EQ(port, 2);
  EXPECT_EQ(name, "second");
  EXPECT_FALSE(tovi_conf_get_string(listeners[0], "name", &name));
  EXPECT_EQ(tovi_conf_section_name(listeners[0]), "listener");
  EXPECT_EQ(tovi_conf_get_section(nullptr, "//nothing"), nullptr);
  tovi_conf_section_read_release();
}

TEST_F(tovi_conf_test, section_xml_is_a_deep_copy_with_its_own_root) {
  tovi_conf_section_read_hold();
  std::string xml = tovi_conf_section_to_xml(tovi_conf_get_section(nullptr, "//orvane/api"));
  tovi_conf_section_read_release();
  EXPECT_EQ(xml.rfind("<?xml version=\"1.0\"?>", 0), 0u);
  EXPECT_NE(xml.find("<api base=\"https://api.example\">"), std::string::npos);
  EXPECT_NE(xml.find("<rulesets batch_size=\"500\"/>"), std::string::npos);
  EXPECT_EQ(xml.find("<orvane>"), std::string::npos);
  EXPECT_EQ(tovi_conf_section_to_xml(nullptr), "");
}

TEST(tovi_conf, errors_name_the_file_and_line_and_keep_the_old_document) {
  ASSERT_TRUE(tovi_conf_load_string("<queltd><a x=\"1\"/></queltd>", "good.conf"));
  EXPECT_FALSE(tovi_conf_load_string("<queltd>\n<a>\n</queltd>\n", "broken.conf"));
  std::string err = tovi_conf_last_error();
  EXPECT_EQ(err.rfind("broken.conf:3:", 0), 0u) << err;
  int32_t x = 0;
  EXPECT_TRUE(tovi_conf_get_int32(nullptr, "//a/@x", &x));
  EXPECT_EQ(x, 1);

  EXPECT_FALSE(tovi_conf_load("/nonexistent/queltd.conf"));
  EXPECT_NE(tovi_conf_last_error().find("/nonexistent/queltd.conf"), std::string::npos);
}

TEST(tovi_conf, loads_a_file) {
  char path[] = "/tmp/tovi_conf_testXXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  std::string text =
      "<queltd><eventer><config><concurrency>3</concurrency></config></eventer></queltd>";
  ASSERT_EQ(write(fd, text.data(), text.size()), (ssize_t)text.size());
  close(fd);
  ASSERT_TRUE(tovi_conf_load(path));
  EXPECT_EQ(tovi_conf_path(), path);
  int32_t n = 0;
  EXPECT_TRUE(tovi_conf_get_int32(nullptr, "//eventer/config/concurrency", &n));
  EXPECT_EQ(n, 3);
  unlink(path);
}

}  // namespace
