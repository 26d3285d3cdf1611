#include "load_report.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Fills the current report as a parser does: every third element refused, every fifth warned.
void parse_elements(size_t n) {
  for (size_t i = 0; i < n; i++) {
    load_report_begin(i);
    load_report_id(1000 + i);
    if (i % 5 == 0) load_report_warning("unknown key \"x\"");
    if (i % 3 == 0) load_report_error("bad element %zu\n", i);
    if (i % 3 == 0) load_report_error("%s", "refused");  // a later reason does not replace it
  }
}

TEST(load_report, check_mode_keeps_every_element_with_its_first_reason) {
  load_report_t report;
  {
    load_report_scope_c scope(&report);
    EXPECT_TRUE(load_report_active());
    parse_elements(6);
  }
  EXPECT_FALSE(load_report_active());
  ASSERT_EQ(report.elements.size(), 6u);
  std::string out;
  EXPECT_EQ(load_report_print(report, false, &out), 2u);  // elements 0 and 3
  EXPECT_EQ(out,
            "element 0 (id 1000): error: bad element 0\n"
            "element 0 (id 1000): warning: unknown key \"x\"\n"
            "element 1 (id 1001): ok\n"
            "element 2 (id 1002): ok\n"
            "element 3 (id 1003): error: bad element 3\n"
            "element 4 (id 1004): ok\n"
            "element 5 (id 1005): warning: unknown key \"x\"\n");
  out.clear();
  EXPECT_EQ(load_report_print(report, true, &out), 3u);  // strict: the warning counts
}

TEST(load_report, a_bounded_report_keeps_only_the_first_problems_and_counts_the_rest) {
  load_report_t report;
  report.max_kept = 3;
  {
    load_report_scope_c scope(&report);
    parse_elements(100000);
  }
  // Problems: every third or fifth index of 100000, 46667 of them; the clean ones are never kept.
  EXPECT_LE(report.elements.size(), 4u);
  std::string json = load_report_details_json(report, 3);
  EXPECT_EQ(json,
            "[\n    {\"index\": 0, \"id\": 1000, \"error\": \"bad element 0\", \"warnings\": "
            "[\"unknown key \\\"x\\\"\"]},\n"
            "    {\"index\": 3, \"id\": 1003, \"error\": \"bad element 3\"},\n"
            "    {\"index\": 5, \"id\": 1005, \"warnings\": [\"unknown key \\\"x\\\"\"]},\n"
            "    {\"truncated\": 46664}\n  ]");
}

TEST(load_report, without_a_scope_nothing_is_kept_and_scopes_nest) {
  parse_elements(3);  // no report: nothing to fill, nothing crashes
  load_report_t outer, inner;
  {
    load_report_scope_c a(&outer);
    load_report_begin(0);
    {
      load_report_scope_c b(&inner);
      parse_elements(1);
      load_report_scope_c none(nullptr);
      EXPECT_FALSE(load_report_active());
      parse_elements(2);
    }
    load_report_error("outer");
  }
  ASSERT_EQ(inner.elements.size(), 1u);
  ASSERT_EQ(outer.elements.size(), 1u);
  EXPECT_EQ(outer.elements[0].error, "outer");
  EXPECT_EQ(load_report_details_json(load_report_t{}, 10), "[]");
}

}  // namespace
