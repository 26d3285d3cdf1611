#include "windows/text_info.h"

#include <gtest/gtest.h>
#include <json-c/json.h>
#include <pcre.h>

#include <cstring>
#include <memory>

#include "vask/vask_pcre.h"

namespace {

constexpr uint64_t T = 1700000000000ULL;

struct info_deleter {
  void operator()(text_info_t *ti) const { text_info_free(ti); }
};
using info_up = std::unique_ptr<text_info_t, info_deleter>;

void push(text_info_t *ti, uint64_t when, const char *text, metric_type_t type = METRIC_STRING) {
  vask_metric_message_t m{};
  m.value.whence_ms = when;
  m.value.type = type;
  m.value.value.s = text;
  m.value.s_len = text ? strlen(text) : 0;
  text_info_push(ti, &m);
}

}  // namespace

TEST(text_info, detects_changes_after_the_first_sample) {
  info_up ti(text_info_alloc());
  const struct {
    const char *text;
    bool changed;
  } steps[] = {{"up", false},  {"up", false},   {"down", true},   {"down", false},
               {"Down", true}, {nullptr, true}, {nullptr, false}, {"", true}};
  uint64_t when = T;
  for (const auto &s : steps) {
    push(ti.get(), when += 1000, s.text);
    EXPECT_EQ(text_info_just_changed(ti.get()), s.changed) << (s.text ? s.text : "(null)");
    EXPECT_STREQ(text_info_value(ti.get()), s.text);
    EXPECT_EQ(ti->last_time, when);
  }
}

TEST(text_info, ignores_samples_that_are_not_newer_or_not_text) {
  info_up ti(text_info_alloc());
  push(ti.get(), T + 2000, "up");
  push(ti.get(), T + 2000, "down");  // same time
  push(ti.get(), T + 1000, "down");  // older
  push(ti.get(), T + 3000, "down", METRIC_HISTOGRAM);
  EXPECT_STREQ(text_info_value(ti.get()), "up");
  EXPECT_FALSE(text_info_just_changed(ti.get()));
  EXPECT_EQ(ti->last_time, T + 2000);
}

TEST(text_info, exact_match_ignores_case_and_contains_runs_the_pattern) {
  info_up ti(text_info_alloc());
  EXPECT_TRUE(text_info_exact_match(ti.get(), nullptr));
  push(ti.get(), T + 1000, "Disk error on sda");
  EXPECT_TRUE(text_info_exact_match(ti.get(), "DISK ERROR ON SDA"));
  EXPECT_FALSE(text_info_exact_match(ti.get(), "disk error"));
  EXPECT_FALSE(text_info_exact_match(ti.get(), nullptr));

  const char *error = nullptr;
  int offset = 0;
  pcre *re = pcre_compile("err(or)?\\b", 0, &error, &offset, nullptr);
  ASSERT_NE(re, nullptr);
  EXPECT_TRUE(text_info_contains(ti.get(), re, nullptr));
  EXPECT_FALSE(text_info_contains(ti.get(), nullptr, nullptr));
  push(ti.get(), T + 2000, "all fine");
  EXPECT_FALSE(text_info_contains(ti.get(), re, nullptr));
  info_up empty(text_info_alloc());
  EXPECT_FALSE(text_info_contains(empty.get(), re, nullptr));
  pcre_free(re);
}

TEST(text_info, json_dump) {
  info_up ti(text_info_alloc());
  push(ti.get(), T + 1000, "a");
  push(ti.get(), T + 2000, "b \"quoted\"");
  json_object *o = text_info_to_json(ti.get());
  EXPECT_STREQ(json_object_get_string(json_object_object_get(o, "value")), "b \"quoted\"");
  EXPECT_TRUE(json_object_get_boolean(json_object_object_get(o, "just_changed")));
  EXPECT_EQ(json_object_get_uint64(json_object_object_get(o, "last_time_ms")), T + 2000);
  EXPECT_EQ(json_object_get_uint64(json_object_object_get(o, "creation_time_ms")),
            ti->creation_time);
  json_object_put(o);
  push(ti.get(), T + 3000, nullptr);
  o = text_info_to_json(ti.get());
  EXPECT_STREQ(json_object_to_json_string_ext(json_object_object_get(o, "value"), 0), "null");
  json_object_put(o);
}

TEST(text_info, a_runaway_pattern_neither_contains_nor_misses) {
  info_up ti(text_info_alloc());
  push(ti.get(), T, "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa!");
  const char *err;
  int off;
  pcre *re = pcre_compile("^(a+)+$", 0, &err, &off, nullptr);
  pcre_extra *extra = vask_pcre_limit(pcre_study(re, 0, &err));
  uint64_t hits = vask_pcre_limit_hits();
  // Stopped by its limit: "contains" must not hold, and neither may "does not contain".
  EXPECT_EQ(text_info_contains_result(ti.get(), re, extra), -1);
  EXPECT_FALSE(text_info_contains(ti.get(), re, extra));
  EXPECT_GT(vask_pcre_limit_hits(), hits);
  push(ti.get(), T + 1000, "aaaa");
  EXPECT_EQ(text_info_contains_result(ti.get(), re, extra), 1);
  pcre_free_study(extra);
  pcre_free(re);
}
