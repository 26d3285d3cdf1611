#include "general.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tovi/tovi_conf.h"
#include "tovi/tovi_log.h"
#include "tovi/tovi_module.h"
#include "test_support.h"

namespace {

quelt_test::log_capture_c &notices() {
  static quelt_test::log_capture_c capture("notice");
  return capture;
}

void init_with(const std::string &body) {
  std::string xml = "<queltd>" + body + "</queltd>";
  ASSERT_TRUE(tovi_conf_load_string(xml.c_str(), "test_general"));
  notices();
  general_init();
}

bool logged(const std::string &text) {
  return notices().logged(text);
}

}  // namespace

TEST(general, account_filter_cases) {
  struct case_t {
    const char *config;
    std::vector<std::pair<uint64_t, bool>> expect;
  } cases[] = {
      {"", {{1, true}, {5, true}, {UINT64_MAX, true}}},
      {"<accounts/>", {{1, false}, {5, false}}},
      {"<accounts exclude='true'/>", {{1, true}, {5, true}}},
      {"<accounts exclude='true'><account id='5'/><account id='7'/></accounts>",
       {{5, false}, {6, true}, {7, false}}},
      {"<accounts><account id='5'/><account id='7'/></accounts>",
       {{5, true}, {6, false}, {7, true}}},
      {"<accounts exclude='false'><account id='9007199254740993'/><account id='9'/>"
       "<account id='9'/></accounts>",
       {{9007199254740993ull, true}, {9007199254740992ull, false}, {9, true}, {10, false}}},
  };
  for (const case_t &c : cases) {
    init_with(c.config);
    for (auto [account, handled] : c.expect)
      EXPECT_EQ(should_handle_account(account), handled) << c.config << " account " << account;
  }
}

TEST(general, listed_accounts_are_logged) {
  init_with("<accounts exclude='yes'><account id='42'/></accounts>");
  EXPECT_TRUE(logged("excluding account 42"));
  init_with("<accounts><account id='43'/></accounts>");
  EXPECT_TRUE(logged("including account 43"));
}

TEST(general, bad_account_id_stops_start_up) {
  for (const char *bad :
       {"<account id='0'/>", "<account id='-4'/>", "<account/>", "<account id='five'/>"}) {
    std::string config = std::string("<accounts><account id='3'/>") + bad + "</accounts>";
    EXPECT_EXIT(init_with(config), ::testing::ExitedWithCode(2),
                "Bad account id for inclusion/exclusion.")
        << bad;
  }
}

TEST(general, publishing_defaults) {
  init_with("<network><mq><host>localhost</host></mq></network>");
  EXPECT_EQ(alerts_exchange, "vask.alerts");
  EXPECT_EQ(alerts_route, "vask.alerts.sev");
  EXPECT_EQ(maint_route, "vask.alerts.maint");
  EXPECT_EQ(alerts_mandatory, 0);
  EXPECT_EQ(alerts_immediate, 0);
}

TEST(general, publishing_settings_are_read_anywhere_under_network) {
  init_with(
      "<network><bus><alerts><exchange>ex</exchange><route>r.sev</route>"
      "<maintenance>r.maint</maintenance><mandatory>1</mandatory></alerts></bus></network>");
  EXPECT_EQ(alerts_exchange, "ex");
  EXPECT_EQ(alerts_route, "r.sev");
  EXPECT_EQ(maint_route, "r.maint");
  EXPECT_EQ(alerts_mandatory, 1);
  EXPECT_EQ(alerts_immediate, 0);
  // Settings of an earlier configuration do not leak into the next one.
  init_with("<network/>");
  EXPECT_EQ(alerts_exchange, "vask.alerts");
  EXPECT_EQ(alerts_mandatory, 0);
}
