#include "vask/vask_multimatch.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct compiled_t {
  std::string text;
  int options;
  pcre *re;
};

compiled_t compile(const std::string &text, int options = 0) {
  const char *err = nullptr;
  int off = 0;
  pcre *re = pcre_compile(text.c_str(), options, &err, &off, nullptr);
  EXPECT_NE(re, nullptr) << text << ": " << (err ? err : "");
  return {text, options, re};
}

bool pcre_says(const compiled_t &c, const std::string &name) {
  int ov[30];
  return pcre_exec(c.re, nullptr, name.data(), int(name.size()), 0, 0, ov, 30) >= 0;
}

struct matcher_t {
  std::vector<compiled_t> patterns;
  vask_multimatch_t *m = nullptr;
  explicit matcher_t(std::vector<compiled_t> p) : patterns(std::move(p)) {
    std::vector<vask_multimatch_pattern_t> in;
    for (const compiled_t &c : patterns)
      in.push_back({c.text.c_str(), c.options, c.re});
    m = vask_multimatch_build(in.data(), in.size());
  }
  ~matcher_t() {
    vask_multimatch_free(m);
    for (compiled_t &c : patterns)
      pcre_free(c.re);
  }
  std::vector<bool> candidates(const std::string &name) const {
    std::vector<uint64_t> bits(vask_multimatch_words(m) + 1, ~uint64_t(0));
    size_t n = vask_multimatch_candidates(m, name.data(), name.size(), bits.data());
    std::vector<bool> out;
    size_t set = 0;
    for (size_t i = 0; i < patterns.size(); i++) {
      out.push_back(bits[i / 64] >> (i % 64) & 1);
      set += out.back();
    }
    EXPECT_EQ(n, set);
    return out;
  }
  // Every pattern PCRE matches is a candidate: the prefilter never loses a match.
  void expect_no_loss(const std::vector<std::string> &names) const {
    for (const std::string &name : names) {
      std::vector<bool> cand = candidates(name);
      for (size_t i = 0; i < patterns.size(); i++)
        if (pcre_says(patterns[i], name)) {
          EXPECT_TRUE(cand[i]) << "/" << patterns[i].text << "/ lost on \"" << name << "\"";
        }
    }
  }
};

const std::vector<std::string> names = {"cpu.user",
                                        "CPU.USER",
                                        "cpu.idle",
                                        "mem.free",
                                        "aa",
                                        "abab",
                                        "abc",
                                        "xabc",
                                        "abcd",
                                        "ab\nc",
                                        "disk\n",
                                        "x",
                                        "zzz",
                                        "a\xc3\xa9",
                                        "a\xff",
                                        std::string("nul\0byte", 8),
                                        "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa",
                                        "a.b.c.d",
                                        "xxxxxxxxxxxxxxxxyb",
                                        "xxxxxxxxxxxxxxxxxxxxxxxxyb",
                                        "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxyb"};

}  // namespace

TEST(vask_multimatch, screens_plain_patterns_and_keeps_every_match) {
  matcher_t mm({compile("^cpu\\."), compile("idle$"), compile("mem|disk"), compile("b.c"),
                compile("^[a-c]+$"), compile("(?i)^cpu"), compile("^CPU", PCRE_CASELESS),
                compile("^ab.c", PCRE_DOTALL), compile("^c$", PCRE_MULTILINE),
                compile("^ a b # comment\n c", PCRE_EXTENDED), compile("\\d{2,}|\\w\\W\\w"),
                // A library that loses this match on 18 to 32 byte texts must not be linked.
                compile("yb|abc.")});
  for (size_t i = 0; i < mm.patterns.size(); i++)
    EXPECT_TRUE(vask_multimatch_is_screened(mm.m, uint32_t(i))) << mm.patterns[i].text;
  EXPECT_EQ(vask_multimatch_screened(mm.m), mm.patterns.size());
  mm.expect_no_loss(names);
  // Screened means screened: a name far from every pattern is a candidate for none of them, and
  // the options are the pattern's own (caseless only where asked).
  std::vector<bool> none = mm.candidates("zzz");
  for (size_t i = 0; i < none.size(); i++)
    EXPECT_FALSE(none[i]) << mm.patterns[i].text;
  std::vector<bool> upper = mm.candidates("CPU.USER");
  EXPECT_FALSE(upper[0]);
  EXPECT_TRUE(upper[5]);
  EXPECT_TRUE(upper[6]);
}

// Patterns the matcher cannot take exactly: either it widens them (prefilter mode) or they stay
// out and go to PCRE for every name. Either way no match is lost.
TEST(vask_multimatch, patterns_beyond_the_matcher_go_to_pcre) {
  struct row_t {
    compiled_t c;
    bool must_stay_out;
  };
  std::vector<row_t> rows = {
      {compile("^(a)\\1"), false},             // back-reference
      {compile("(ab)\\1"), false},             //
      {compile("a(?=b)"), false},              // look-ahead
      {compile("(?<!x)abc"), false},           // look-behind
      {compile("^a++b"), false},               // possessive
      {compile("^(?>a+)b"), false},            // atomic group
      {compile("a\\Cc"), false},               // one byte whatever it is
      {compile("^a{1,30000}$"), false},        // very large bounded repeat
      {compile("(?|(a)|(b))c"), false},        // branch reset
      {compile("^abc", PCRE_ANCHORED), true},  // an option the matcher has no word for
      {compile("abc", PCRE_ANCHORED), true},
      {compile("(*UTF8)^a\\x{e9}"), true},  // UTF-8 set by the pattern itself
      {compile("(*CR)disk$"), true},        // another newline convention
      {compile("c$", PCRE_DOLLAR_ENDONLY), true},
      {compile("x*"), true},  // matches the empty string: every name
      {compile("^$|zzz"), true},
      {compile("\\b"), true},
  };
  std::vector<compiled_t> ps;
  for (const row_t &r : rows)
    ps.push_back(r.c);
  matcher_t mm(ps);
  for (size_t i = 0; i < rows.size(); i++)
    if (rows[i].must_stay_out) {
      EXPECT_FALSE(vask_multimatch_is_screened(mm.m, uint32_t(i))) << rows[i].c.text;
    }
  mm.expect_no_loss(names);
  mm.expect_no_loss({"aab", "abab", "xabc", "yabc", "ab", "ac", "aXc", "bc", "\xe9", "disk\r",
                     "c\n", std::string(20000, 'a'), std::string(40000, 'a'), ""});
  // A pattern kept out is a candidate even for a name it cannot match.
  std::vector<bool> c = mm.candidates("qqq");
  for (size_t i = 0; i < rows.size(); i++)
    if (rows[i].must_stay_out) {
      EXPECT_TRUE(c[i]) << rows[i].c.text;
    }
}

// A thousand prefixes in one matcher: each name is a candidate of exactly the patterns that
// match it, and the ids are the positions given.
TEST(vask_multimatch, a_thousand_patterns_answer_by_id) {
  std::vector<compiled_t> ps;
  for (int i = 0; i < 1000; i++)
    ps.push_back(compile("^pfx" + std::to_string(i) + "\\."));
  matcher_t mm(ps);
  EXPECT_EQ(vask_multimatch_screened(mm.m), 1000u);
  EXPECT_EQ(vask_multimatch_words(mm.m), 16u);
  for (int probe : {0, 63, 64, 517, 999}) {
    std::vector<bool> c = mm.candidates("pfx" + std::to_string(probe) + ".user");
    for (int i = 0; i < 1000; i++)
      EXPECT_EQ(c[size_t(i)], i == probe) << probe << " " << i;
  }
  std::vector<bool> c = mm.candidates("pfx1000.user");
  for (int i = 0; i < 1000; i++)
    EXPECT_FALSE(c[size_t(i)]);
}
