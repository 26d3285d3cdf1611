#include "tovi/tovi_conf_keys.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tovi/tovi_conf.h"
#include "tovi/tovi_log.h"

namespace {

std::vector<std::string> texts(const std::vector<tovi_conf_finding_t> &findings, bool errors) {
  std::vector<std::string> out;
  for (const tovi_conf_finding_t &f : findings)
    if (f.error == errors) out.push_back(f.text);
  return out;
}

TEST(tovi_conf_keys, closest_name_takes_slips_and_short_forms_but_not_strangers) {
  const std::vector<std::string> names = {"listeners", "listener",           "logs",      "console",
                                          "average",   "windowing_function", "batch_size"};
  struct {
    const char *word, *expected;
  } cases[] = {
      {"listners", "listeners"},                    // a letter left out
      {"Listeners", "listeners"},                   // case
      {"lsiteners", "listeners"},                   // two letters swapped
      {"windowing_fuction", "windowing_function"},  // long words allow more
      {"avg", "average"},                           // a short form
      {"batch_sise", "batch_size"},
      {"xyz", ""},  // nothing close
      {"log", "logs"},
      {"id", ""},  // two short words are not alike
  };
  for (const auto &c : cases)
    EXPECT_EQ(tovi_closest_name(c.word, names), c.expected) << c.word;
  EXPECT_EQ(tovi_closest_name("x", {}), "");
}

TEST(tovi_conf_keys, check_reports_unknown_names_once_with_lines_and_bad_values) {
  ASSERT_TRUE(tovi_conf_load_string(R"(<queltd flavour="x">
  <eventer><config><concurrency>two</concurrency></config></eventer>
  <network>
    <mq><port>5672</port><hots>h</hots></mq>
    <deep><alerts><route>r</route><mandatroy>1</mandatroy></alerts></deep>
  </network>
  <orvane><api><rulesets batch_size="10" once_at="x"/></api>
    <sate><rulesets max_out_of_order="1"/></sate></orvane>
  <listeners max_body="0"><metrics port="1" max_line_bytes="10"/>
    <listener port="1" ca_file="/nonexistent/ca.crt" key_file="/"/></listeners>
  <logs><outlet name="f" type="fille"/><log name="a" disabled="nope"/></logs>
</queltd>
)",
                                    "keys.conf"));
  std::vector<tovi_conf_finding_t> findings = tovi_conf_check();
  EXPECT_EQ(texts(findings, false),
            (std::vector<std::string>{
                "unknown attribute flavour of <queltd> at line 1",
                "unknown element <hots> at line 4; did you mean <host>?",
                "unknown element <mandatroy> at line 5; did you mean <mandatory>?",
                "unknown element <sate> at line 8; did you mean <state>?",
            }));
  EXPECT_EQ(texts(findings, true),
            (std::vector<std::string>{
                "<concurrency> at line 2: 'two' is not an integer from 1 to 4096",
                "<rulesets> at line 7: once_at 'x' is not an integer",
                "<listeners> at line 9: max_body '0' is not an integer of at least 1",
                "<metrics> at line 9: max_line_bytes '10' is not an integer from 64 to 16777216",
                "<listener> at line 10: ca_file '/nonexistent/ca.crt': No such file or directory",
                "<listener> at line 10: key_file '/' is not a file",
                "<outlet> at line 11: type 'fille' is not one of stderr, file, memory; did you "
                "mean file?",
                "<log> at line 11: disabled 'nope' is not a boolean (true or false)",
            }));
  for (const tovi_conf_finding_t &f : findings)
    EXPECT_GT(f.line, 0) << f.text;
}

TEST(tovi_conf_keys, a_key_read_but_missing_from_the_table_is_reported_once) {
  std::vector<std::string> lines;
  tovi_log_outlet_register_callback(
      "keys_test", [&](tovi_log_stream_t, std::string_view text) { lines.emplace_back(text); });
  ASSERT_TRUE(tovi_log_stream_add_outlet("error", "keys_test"));
  ASSERT_TRUE(tovi_conf_load_string(
      R"(<queltd><orvane><api><base>b</base></api><new_thing limit="3"/></orvane></queltd>)",
      "read.conf"));
  std::string s;
  int32_t n = 0;
  EXPECT_TRUE(tovi_conf_get_string(nullptr, "//orvane/api/base", &s));
  EXPECT_TRUE(lines.empty());
  EXPECT_TRUE(tovi_conf_get_int32(nullptr, "//orvane/new_thing/@limit", &n));
  EXPECT_TRUE(tovi_conf_get_int32(nullptr, "//orvane/new_thing/@limit", &n));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("/queltd/orvane/new_thing/@limit is read but missing from the key table"),
            std::string::npos)
      << lines[0];
}

// The sections the outlets, the intake formats, the console and the bounded state read: a document
// using all of them checks clean, and slips in them are caught like any other.
TEST(tovi_conf_keys, outlets_intake_formats_console_and_limits_are_known) {
  ASSERT_TRUE(tovi_conf_load_string(R"(<queltd>
  <listeners>
    <listener port="1" read_cns="a,b" open_probes="true"/>
    <remote_write account="7" identity="job,instance" host_node="1"/>
    <influx_http account="7" account_label="acct"/>
    <influx port="8089" precision="ms" max_connections="4"/>
    <graphite port="2003" host_node="1" name_separator="."/>
  </listeners>
  <ui assets="web"/>
  <orvane><api max_answer_bytes="1048576"/>
    <state><rulesets max_held="10" republish_rate="0"/><maintenance max_held="5"/></state>
  </orvane>
  <notify>
    <alertmanager name="r" resend_interval_ms="60000" verify="false"><url>http://h</url></alertmanager>
    <webhook url="http://h" format="compact" hmac_secret="s" timeout_ms="100"/>
  </notify>
</queltd>
)",
                                    "clean.conf"));
  std::vector<tovi_conf_finding_t> findings = tovi_conf_check();
  EXPECT_TRUE(findings.empty()) << findings[0].text;

  ASSERT_TRUE(tovi_conf_load_string(R"(<queltd>
  <listeners><listener port="1" open_probes="yes"/><influx port="1" precision="sec"/>
    <graphite port="1" precision="s"/></listeners>
  <notify><webhook url="http://h" format="slack" resend_intervall_ms="1"/></notify>
  <orvane><state><rulesets max_held="-1"/></state></orvane>
</queltd>
)",
                                    "slips.conf"));
  findings = tovi_conf_check();
  EXPECT_EQ(texts(findings, false),
            (std::vector<std::string>{
                "unknown attribute precision of <graphite> at line 3",
                "unknown attribute resend_intervall_ms of <webhook> at line 4; did you mean "
                "resend_interval_ms?",
            }));
  EXPECT_EQ(texts(findings, true),
            (std::vector<std::string>{
                "<listener> at line 2: open_probes 'yes' is not one of true, false",
                "<influx> at line 2: precision 'sec' is not one of ns, us, ms, s, m, h",
                "<webhook> at line 4: format 'slack' is not one of bus, compact",
                "<rulesets> at line 5: max_held '-1' is not an integer of at least 0",
            }));
}

}  // namespace
