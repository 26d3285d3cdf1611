#include "tovi/tovi_module.h"

#include <gtest/gtest.h>

#include <string>

namespace {

int configured = 0, started = 0;
std::string seen_setting;

int good_configure(tovi_conf_section_t s) {
  configured++;
  tovi_conf_get_string(s, "@setting", &seen_setting);
  return 0;
}
int good_start() {
  return started++, 0;
}
int failing_configure(tovi_conf_section_t) {
  return -1;
}
int failing_start() {
  return 1;
}

const tovi_module_t good = {"good", "a module that works", good_configure, good_start};
const tovi_module_t bad_config = {"bad_config", "fails to configure", failing_configure, nullptr};
const tovi_module_t bad_start = {"bad_start", "fails to start", nullptr, failing_start};

TEST(tovi_module, configured_modules_load_and_failures_are_counted) {
  tovi_module_register(&good);
  tovi_module_register(&bad_config);
  tovi_module_register(&bad_start);
  ASSERT_TRUE(tovi_conf_load_string(R"(<queltd><modules>
      <module name="good" setting="on"/>
      <module name="bad_config"/>
      <module name="bad_start"/>
      <module name="not_compiled_in"/>
    </modules></queltd>)",
                                    "modules.conf"));
  EXPECT_EQ(tovi_dso_init(), 2);  // bad_config and not_compiled_in
  EXPECT_EQ(configured, 1);
  EXPECT_EQ(seen_setting, "on");
  EXPECT_TRUE(tovi_dso_is_loaded("good"));
  EXPECT_FALSE(tovi_dso_is_loaded("bad_config"));
  EXPECT_EQ(started, 0);  // nothing starts before post-init
  EXPECT_EQ(tovi_dso_post_init(), 1);
  EXPECT_EQ(started, 1);
  EXPECT_EQ(tovi_dso_load_failures(), 3);
}

int answer() {
  return 42;
}

TEST(tovi_module, named_functions_resolve_at_run_time) {
  EXPECT_EQ(tovi_function_find("test_answer_function"), nullptr);
  tovi_function_register("test_answer_function", reinterpret_cast<void *>(&answer));
  auto fn = reinterpret_cast<int (*)()>(tovi_function_find("test_answer_function"));
  ASSERT_NE(fn, nullptr);
  EXPECT_EQ(fn(), 42);
}

TEST(tovi_module_death, registering_a_name_twice_is_fatal) {
  tovi_function_register("twice", reinterpret_cast<void *>(&answer));
  EXPECT_DEATH(tovi_function_register("twice", reinterpret_cast<void *>(&answer)),
               "\\[FATAL\\] assertion \\(.*\\) at .*tovi_module.cpp:[0-9]+ failed");
}

}  // namespace
