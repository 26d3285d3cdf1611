#include "tovi/tovi_log.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tovi/tovi_assert.h"
#include "tovi/tovi_conf.h"

namespace {

struct captured_t {
  std::mutex lock;
  std::vector<std::pair<std::string, std::string>> lines;  // stream, text
};

captured_t &capture() {
  static captured_t *c = [] {
    auto *cap = new captured_t;
    tovi_log_outlet_register_callback(
        "test-capture", [cap](tovi_log_stream_t ls, std::string_view text) {
          std::lock_guard<std::mutex> g(cap->lock);
          cap->lines.emplace_back(tovi_log_stream_name(ls), std::string(text));
        });
    return cap;
  }();
  return *c;
}

size_t count_text(const std::string &needle) {
  captured_t &c = capture();
  std::lock_guard<std::mutex> g(c.lock);
  size_t n = 0;
  for (auto &[s, t] : c.lines)
    n += t.find(needle) != std::string::npos;
  return n;
}

TEST(tovi_log, streams_follow_their_nearest_named_ancestor) {
  tovi_log_stream_t top = tovi_log_stream_find("t1");
  tovi_log_stream_t child = tovi_log_stream_find("t1/a");
  tovi_log_stream_t grandchild = tovi_log_stream_find("t1/a/b");
  EXPECT_TRUE(tovi_log_stream_enabled(top));
  EXPECT_TRUE(tovi_log_stream_enabled(grandchild));
  tovi_log_disable("t1");
  EXPECT_FALSE(tovi_log_stream_enabled(child));
  EXPECT_FALSE(tovi_log_stream_enabled(grandchild));
  tovi_log_enable("t1/a/b");
  EXPECT_FALSE(tovi_log_stream_enabled(child));
  EXPECT_TRUE(tovi_log_stream_enabled(grandchild));
  // A stream created later under a disabled parent starts disabled.
  EXPECT_FALSE(tovi_log_stream_enabled(tovi_log_stream_find("t1/late")));
  EXPECT_EQ(tovi_log_stream_find("t1/a"), child);
}

TEST(tovi_log, debug_is_off_by_default_and_error_on) {
  EXPECT_FALSE(tovi_log_stream_enabled(tovi_log_stream_find("debug/rules")));
  EXPECT_TRUE(tovi_log_stream_enabled(tovi_log_stream_find("error/rules")));
  EXPECT_TRUE(tovi_log_stream_enabled(tovi_error));
}

TEST(tovi_log, disabled_streams_do_not_evaluate_arguments) {
  tovi_log_stream_t ls = tovi_log_stream_find("t2");
  tovi_log_disable("t2");
  int evaluated = 0;
  auto touch = [&] { return ++evaluated; };
  tovi_log(ls, "%d", touch());
  tovi_log_fields(ls, ({"n", touch()}), "%d", touch());
  EXPECT_EQ(evaluated, 0);
}

TEST(tovi_log, callback_outlet_gets_the_text_without_trailing_newline) {
  capture();
  ASSERT_TRUE(tovi_log_stream_add_outlet("t3", "test-capture"));
  EXPECT_FALSE(tovi_log_stream_add_outlet("t3", "no-such-outlet"));
  tovi_log_stream_t ls = tovi_log_stream_find("t3/sub");
  tovi_log(ls, "hello %s\n", "world");
  captured_t &c = capture();
  std::lock_guard<std::mutex> g(c.lock);
  ASSERT_FALSE(c.lines.empty());
  EXPECT_EQ(c.lines.back().first, "t3/sub");
  EXPECT_EQ(c.lines.back().second, "hello world");
}

TEST(tovi_log, long_lines_are_not_truncated) {
  capture();
  tovi_log_stream_add_outlet("t4", "test-capture");
  std::string big(5000, 'x');
  big += "END";
  tovi_log(tovi_log_stream_find("t4"), "%s", big.c_str());
  EXPECT_EQ(count_text(std::string(5000, 'x') + "END"), 1u);
}

TEST(tovi_log, memory_outlet_keeps_the_newest_lines_with_fields) {
  ASSERT_TRUE(tovi_conf_load_string(R"(<queltd><logs>
      <outlet name="ring" type="memory" size="3,100000"/>
      <outlet name="jring" type="memory" size="2" format="json"/>
      <log name="t5" outlets="ring,jring"/>
    </logs></queltd>)",
                                    "logs.conf"));
  ASSERT_TRUE(tovi_log_configure());
  tovi_log_stream_t ls = tovi_log_stream_find("t5");
  for (int i = 0; i < 5; i++)
    tovi_log_fields(ls, ({"account_id", (uint64_t)i}, {"metric_name", "a b"}), "line %d", i);
  auto lines = tovi_log_memory_lines("ring");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[0].find("t5: line 2 account_id=2 metric_name=\"a b\""), std::string::npos)
      << lines[0];
  EXPECT_NE(lines[2].find("line 4"), std::string::npos);
  auto json = tovi_log_memory_lines("jring");
  ASSERT_EQ(json.size(), 2u);
  EXPECT_NE(json[1].find("\"stream\":\"t5\",\"message\":\"line 4\",\"account_id\":4,"
                         "\"metric_name\":\"a b\"}"),
            std::string::npos)
      << json[1];
}

TEST(tovi_log, text_lines_cannot_be_forged_by_their_content) {
  ASSERT_TRUE(tovi_conf_load_string(R"(<queltd><logs>
      <outlet name="ring6" type="memory" size="10"/>
      <outlet name="jring6" type="memory" size="10" format="json"/>
      <log name="t6" outlets="ring6,jring6"/>
    </logs></queltd>)",
                                    "logs.conf"));
  ASSERT_TRUE(tovi_log_configure());
  tovi_log_stream_t ls = tovi_log_stream_find("t6");
  tovi_log_fields(ls, ({"path", "/a\r\nforged"}), "GET %s\n",
                  "/x\n2026-01-01 [t1] error: forged\x1b[2J");
  auto lines = tovi_log_memory_lines("ring6");
  ASSERT_EQ(lines.size(), 1u);
  const std::string &line = lines[0];
  EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << line;
  EXPECT_EQ(line.find('\x1b'), std::string::npos) << line;
  EXPECT_NE(line.find("GET /x\\n2026-01-01 [t1] error: forged\\x1b[2J path=\"/a\\r\\nforged\""),
            std::string::npos)
      << line;
  auto json = tovi_log_memory_lines("jring6");
  ASSERT_EQ(json.size(), 1u);
  EXPECT_NE(json[0].find("\"message\":\"GET /x\\n2026"), std::string::npos) << json[0];
}

TEST(tovi_log, bad_settings_are_reported) {
  const char *bad[] = {
      "<queltd><logs><outlet type=\"stderr\"/></logs></queltd>",
      "<queltd><logs><outlet name=\"x1\" type=\"carrier-pigeon\"/></logs></queltd>",
      "<queltd><logs><outlet name=\"x2\" type=\"memory\" size=\"many\"/></logs></queltd>",
      "<queltd><logs><outlet name=\"x3\" type=\"file\" path=\"/nonexistent/x\"/></logs></queltd>",
      "<queltd><logs><log name=\"t6\" outlets=\"nowhere\"/></logs></queltd>",
      "<queltd><logs><log name=\"t6\" disabled=\"perhaps\"/></logs></queltd>",
  };
  for (const char *xml : bad) {
    ASSERT_TRUE(tovi_conf_load_string(xml, "bad.conf"));
    EXPECT_FALSE(tovi_log_configure()) << xml;
  }
}

// A daemon's standard error is /dev/null: the line of a fatal assertion must reach the error
// stream's configured outlets as well.
TEST(tovi_log, a_fatal_assertion_reaches_the_error_outlets) {
  // Forked, not run again from the start: the child writes to the file this test made.
  GTEST_FLAG_SET(death_test_style, "fast");
  char path[] = "/tmp/tovi_log_assert_XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  std::string xml = std::string("<queltd><logs><outlet name=\"errors\" type=\"file\" path=\"") +
                    path + "\"/><log name=\"error\" outlets=\"errors\"/></logs></queltd>";
  EXPECT_DEATH(
      {
        if (!tovi_conf_load_string(xml.c_str(), "assert.conf") || !tovi_log_configure()) exit(3);
        tovi_assert(2 + 2 == 5);
      },
      "\\[FATAL\\] assertion \\(2 \\+ 2 == 5\\) at .*test_tovi_log.cpp:[0-9]+ failed");
  std::ifstream in(path);
  std::string written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  unlink(path);
  EXPECT_NE(written.find("error: [FATAL] assertion (2 + 2 == 5) at "), std::string::npos)
      << written;
  EXPECT_NE(written.find("test_tovi_log.cpp:"), std::string::npos) << written;
}

TEST(tovi_log, concurrent_writers_and_setting_changes) {
  capture();
  tovi_log_stream_add_outlet("t7", "test-capture");
  tovi_log_stream_t ls = tovi_log_stream_find("t7/w");
  std::atomic<bool> stop{false};
  std::thread toggler([&] {
    while (!stop.load()) {
      tovi_log_disable("t7/x");
      tovi_log_enable("t7/x");
    }
  });
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; t++)
    writers.emplace_back([ls, t] {
      for (int i = 0; i < 500; i++)
        tovi_log(ls, "writer %d line %d", t, i);
    });
  for (auto &w : writers)
    w.join();
  stop = true;
  toggler.join();
  EXPECT_EQ(count_text("writer 3 line 499"), 1u);
  EXPECT_EQ(count_text("line 250"), 4u);
}

}  // namespace
