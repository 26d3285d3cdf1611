#include "daemon_wiring.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>

#include "tovi/tovi_conf.h"
#include "tovi/tovi_log.h"
#include "tovi/tovi_module.h"
#include "test_support.h"

namespace {

// Stands in for the AMQP module's hook registration: remembers what daemon_wiring_init
// registered.
std::string registered_name;
tovi_amqp_connection_hook_t registered_hook = nullptr;

int fake_register_connection_hook(const char *name, tovi_amqp_connection_hook_t hook, void *) {
  registered_name = name;
  registered_hook = hook;
  return 0;
}

quelt_test::log_capture_c &notices() {
  static quelt_test::log_capture_c capture("notice");
  return capture;
}

void provide_amqp_module() {
  static std::once_flag once;
  std::call_once(once, [] {
    tovi_function_register("tovi_amqp_register_connection_hook",
                           reinterpret_cast<void *>(&fake_register_connection_hook));
    notices();
  });
}

bool logged(const std::string &text) {
  return notices().logged(text);
}

}  // namespace

TEST(daemon_wiring, without_the_amqp_module_start_up_stops) {
  // A fresh process, so that no test has provided the module's functions yet.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ASSERT_TRUE(tovi_conf_load_string("<queltd/>", "test_general"));
        daemon_wiring_init();
      },
      ::testing::ExitedWithCode(2), "AMQP module not loaded, but required. Misconfiguration!");
}

TEST(daemon_wiring, registers_the_connection_hook_which_logs_each_change) {
  provide_amqp_module();
  daemon_wiring_init();
  EXPECT_EQ(registered_name, "maintenance-handler");
  ASSERT_EQ(registered_hook, &handle_amqp_connection);
  EXPECT_EQ(registered_hook(nullptr, nullptr, 0, 1), 0);
  EXPECT_TRUE(logged("AMQP connection: connected"));
  EXPECT_EQ(registered_hook(nullptr, nullptr, 0, 0), 0);
  EXPECT_TRUE(logged("AMQP connection: diconnected"));
}
