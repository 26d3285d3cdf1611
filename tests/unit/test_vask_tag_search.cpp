#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "vask/vask_base64.h"
#include "vask/vask_decoder.h"
#include "vask/vask_metric.h"
#include "vask/vask_pcre.h"
#include "vask/vask_tag_search.h"

namespace {

const char *kUuid = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";

std::string b64(const std::string &s) {
  std::string out;
  vask_base64_encode_append(s.data(), s.size(), &out);
  return out;
}

// A decoded metric to search.
struct metric_t {
  vask_metric_message_t *m;
  explicit metric_t(const std::string &name_with_tags, const char *uuid = kUuid) {
    std::string line =
        std::string("M\tb\t1.0\th`m`c_1_1`") + uuid + "\t" + name_with_tags + "\tn\t1";
    m = vask_metric_message_create(line.data(), line.size());
    EXPECT_EQ(vask_message_decoder_parse_line(m, true), 1) << line;
  }
  ~metric_t() { vask_metric_director_message_deref(m); }
  const vask_metric_id_t *id() const { return &m->id; }
};

struct ast_t {
  vask_metric_tag_search_ast_t *p;
  int error_offset = -1;
  explicit ast_t(const std::string &expr) {
    p = vask_metric_tag_search_parse(expr.c_str(), &error_offset);
  }
  ~ast_t() { vask_metric_tag_search_free(p); }
  bool matches(const metric_t &metric) const {
    return vask_metric_tag_search_evaluate_against_metric_id(p, metric.id());
  }
};

TEST(vask_tag_search, evaluates_terms_and_combinators) {
  metric_t web("cpu.user|ST[env:prod,host:web-01,role]");
  metric_t db("disk.free|ST[env:staging,host:db-01,path:b\"L3Zhci9sb2cgeA==\"]");
  metric_t bare("cpu.idle");
  struct case_t {
    std::string expr;
    bool web, db, bare;
  } cases[] = {
      {"env:prod", true, false, false},
      {"env", true, true, false},
      {"role", true, false, false},
      {"role:x", false, false, false},
      {"host:web-*", true, false, false},
      {"host:?\?-01", false, true, false},
      {"host:*", true, true, false},
      {"host:/^db/", false, true, false},
      {"/^ho/:/01$/", true, true, false},
      {"path:b\"" + b64("/var/log x") + "\"", false, true, false},
      {"path:b!" + b64("/var/log x") + "!", false, true, false},
      {"path:/log x$/", false, true, false},
      {"path:*log?x", false, true, false},
      {"b\"" + b64("env") + "\":prod", true, false, false},
      {"__name:cpu.user", true, false, false},
      {"__name:cpu.*", true, false, true},
      {"__name:b/" + b64("^(cpu|disk)\\.") + "/", true, true, true},
      {"__check_uuid:" + std::string(kUuid), true, true, true},
      {"__check_uuid:0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0", true, true, true},
      {"and(env:prod,host:web-01)", true, false, false},
      {"and(env:prod,host:db-01)", false, false, false},
      {"or(env:prod,host:db-01)", true, true, false},
      {"not(env)", false, false, true},
      {"not(env:prod, host:db-01)", false, false, true},
      {" and ( env , not( role ) ) ", false, true, false},
      {"and(__name:/^cpu/,or(not(env),env:prod))", true, false, true},
      {"and:1", false, false, false},  // "and" not followed by '(' is a category
  };
  for (const case_t &c : cases) {
    ast_t ast(c.expr);
    ASSERT_NE(ast.p, nullptr) << c.expr << " fails at " << ast.error_offset;
    EXPECT_EQ(ast.matches(web), c.web) << c.expr;
    EXPECT_EQ(ast.matches(db), c.db) << c.expr;
    EXPECT_EQ(ast.matches(bare), c.bare) << c.expr;
  }
}

TEST(vask_tag_search, measurement_tags_are_not_searched) {
  metric_t m("cpu|ST[a:1]|MT{run:7}");
  EXPECT_TRUE(ast_t("a:1").matches(m));
  EXPECT_FALSE(ast_t("run:7").matches(m));
}

TEST(vask_tag_search, reports_parse_errors_with_their_offset) {
  struct case_t {
    const char *expr;
    int offset;
  } cases[] = {
      {"", 0},        {"and(", 4},  {"and()", 4},  {"and(a:1", 7},   {"and(a:1;b)", 7},
      {"a:1 b:2", 4}, {"a:/(/", 2}, {"a:/abc", 3}, {"b\"!!\":1", 0}, {"__name", 0},
      {"__:x", 0},    {"a:1)", 3},  {"x*:1", 1},   {":1", 0},
  };
  for (const case_t &c : cases) {
    ast_t ast(c.expr);
    EXPECT_EQ(ast.p, nullptr) << c.expr;
    EXPECT_EQ(ast.error_offset, c.offset) << c.expr;
  }
  std::string deep;
  for (int i = 0; i < 100; i++)
    deep += "not(";
  deep += "a";
  for (int i = 0; i < 100; i++)
    deep += ")";
  EXPECT_EQ(ast_t(deep).p, nullptr);
}

// The query that ruleset registration builds: check, exact name, then a placeholder for the
// ruleset's filter.
TEST(vask_tag_search, placeholder_is_replaced_by_a_filter) {
  std::string name = "cpu used|x";
  ast_t query("and(__check_uuid:" + std::string(kUuid) + ",__name:b!" + b64(name) + "!,__:0)");
  ASSERT_NE(query.p, nullptr);
  EXPECT_EQ(vask_metric_tag_search_get_op(query.p), VASK_TAG_SEARCH_OP_AND);
  ASSERT_EQ(vask_metric_tag_search_get_nargs(query.p), 3);
  vask_metric_tag_search_ast_t *placeholder = vask_metric_tag_search_get_arg(query.p, 2);
  EXPECT_EQ(vask_metric_tag_search_get_op(placeholder), VASK_TAG_SEARCH_OP_MATCH);
  EXPECT_EQ(vask_metric_tag_search_placeholder(placeholder), 0);
  EXPECT_EQ(vask_metric_tag_search_get_nargs(placeholder), 0);
  EXPECT_EQ(vask_metric_tag_search_get_arg(query.p, 3), nullptr);

  metric_t prod(name + "|ST[env:prod]"), dev(name + "|ST[env:dev]"), other("cpu|ST[env:prod]");
  EXPECT_FALSE(query.matches(prod));  // an open placeholder holds for nothing

  ast_t filter("env:prod");
  EXPECT_FALSE(vask_metric_tag_search_set_arg(query.p, 3, filter.p));
  ASSERT_TRUE(vask_metric_tag_search_set_arg(query.p, 2, vask_metric_tag_search_ref(filter.p)));
  EXPECT_TRUE(query.matches(prod));
  EXPECT_FALSE(query.matches(dev));
  EXPECT_FALSE(query.matches(other));

  // Swapping two arguments, as a pattern ruleset does to test its filter first.
  vask_metric_tag_search_ast_t *a1 =
      vask_metric_tag_search_ref(vask_metric_tag_search_get_arg(query.p, 1));
  vask_metric_tag_search_ast_t *a2 =
      vask_metric_tag_search_ref(vask_metric_tag_search_get_arg(query.p, 2));
  ASSERT_TRUE(vask_metric_tag_search_set_arg(query.p, 1, a2));
  ASSERT_TRUE(vask_metric_tag_search_set_arg(query.p, 2, a1));
  EXPECT_EQ(vask_metric_tag_search_unparse(query.p),
            "and(__check_uuid:" + std::string(kUuid) + ",env:prod,__name:b\"" + b64(name) + "\")");
  EXPECT_TRUE(query.matches(prod));

  // A shared AST is not changed.
  vask_metric_tag_search_ref(query.p);
  ast_t other_filter("env:dev");
  EXPECT_FALSE(vask_metric_tag_search_set_arg(query.p, 0, other_filter.p));
  vask_metric_tag_search_free(query.p);
  EXPECT_TRUE(query.matches(prod));
}

TEST(vask_tag_search, pattern_query_uses_a_base64_regex) {
  ast_t query("and(__name:b/" + b64("^disk\\.") + "/,__:0)");
  ASSERT_NE(query.p, nullptr);
  ast_t filter("not(mount:/^\\/tmp$/)");
  ASSERT_TRUE(vask_metric_tag_search_set_arg(query.p, 1, vask_metric_tag_search_ref(filter.p)));
  EXPECT_TRUE(query.matches(metric_t("disk.free|ST[mount:/var]")));
  EXPECT_FALSE(query.matches(metric_t("disk.free|ST[mount:/tmp]")));
  EXPECT_FALSE(query.matches(metric_t("cpu|ST[mount:/var]")));
}

TEST(vask_tag_search, unparse_reads_back_the_same_query) {
  const char *exprs[] = {
      "and(env:prod,or(host:web-*,host:/^db\\/[0-9]+/),not(role))",
      "b\"YSBi\":b\"Yw==\"",
      "__name:b\"Y3B1IHVzZWQ=\"",
      "b\"X19uYW1l\":x",  // a tag whose category is literally "__name"
      "k:",
      "__:3",
      "k:b/Lw==/",
  };
  for (const char *e : exprs) {
    ast_t first(e);
    ASSERT_NE(first.p, nullptr) << e;
    std::string text = vask_metric_tag_search_unparse(first.p);
    ast_t second(text);
    ASSERT_NE(second.p, nullptr) << text;
    EXPECT_EQ(vask_metric_tag_search_unparse(second.p), text) << e;
  }
  EXPECT_EQ(vask_metric_tag_search_unparse(ast_t("and( a:b!Yg==! )").p), "and(a:b)");
  metric_t special("cpu|ST[b\"X19uYW1l\":x]");
  EXPECT_TRUE(ast_t("b\"X19uYW1l\":x").matches(special));
  EXPECT_FALSE(ast_t("__name:x").matches(special));
}

TEST(vask_tag_search, evaluation_is_safe_across_threads) {
  ast_t query("and(or(host:/^web-[0-9]+$/,host:db*),not(env:dev))");
  ASSERT_NE(query.p, nullptr);
  metric_t yes("m|ST[env:prod,host:web-12]"), no("m|ST[env:dev,host:web-12]");
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++) {
    threads.emplace_back([&] {
      vask_metric_tag_search_ast_t *mine = vask_metric_tag_search_ref(query.p);
      for (int i = 0; i < 2000; i++) {
        if (!vask_metric_tag_search_evaluate_against_metric_id(mine, yes.id())) mismatches++;
        if (vask_metric_tag_search_evaluate_against_metric_id(mine, no.id())) mismatches++;
      }
      vask_metric_tag_search_free(mine);
    });
  }
  for (auto &t : threads)
    t.join();
  EXPECT_EQ(mismatches.load(), 0);
}

TEST(vask_tag_search, a_runaway_regular_expression_fails_the_whole_search_quickly) {
  metric_t victim("m|ST[k:" + std::string(30, 'a') + "b]");
  metric_t plain("m|ST[k:aaaa]");
  ast_t runaway("k:/^(a+)+$/");
  ast_t negated("not(k:/^(a+)+$/)");
  ast_t either("or(k:/^(a+)+$/,__name:m)");
  ASSERT_NE(runaway.p, nullptr);
  EXPECT_TRUE(runaway.matches(plain));  // within the limits the pattern works as written
  uint64_t hits = vask_pcre_limit_hits();
  auto start = std::chrono::steady_clock::now();
  // Neither the term, nor its negation, nor an "or" that another term satisfies holds.
  EXPECT_FALSE(runaway.matches(victim));
  EXPECT_FALSE(negated.matches(victim));
  EXPECT_FALSE(either.matches(victim));
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took, std::chrono::milliseconds(100));  // unbounded, each evaluation takes >100 ms
  EXPECT_EQ(vask_pcre_limit_hits(), hits + 3);
  // The failure belongs to that evaluation only.
  EXPECT_TRUE(either.matches(plain));
  EXPECT_FALSE(negated.matches(plain));
}

}  // namespace
