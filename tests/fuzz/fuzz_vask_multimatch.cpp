// The multi-pattern prefilter against PCRE alone: the input drives a small regular-expression
// grammar (literals, classes, anchors, groups, alternation, quantifiers, inline options,
// look-arounds, back-references, atomic groups) and a set of names over a small alphabet. Every
// pattern PCRE matches on a name must be a candidate of the matcher for that name, so that
// prefilter-then-PCRE gives exactly what PCRE gives.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "vask/vask_multimatch.h"
#include "vask/vask_pcre.h"

namespace {

struct reader_t {
  const uint8_t *p, *end;
  unsigned next(unsigned n) { return p < end ? unsigned(*p++) % n : 0; }
  bool more() const { return p < end; }
};

const char *const literals[] = {"a", "b", "c",   "A", "B",     "\\.",   ".",  "-",  "_",
                                "0", "9", "\\n", " ", "\\xe9", "\\x00", "ab", "cpu"};
const char *const classes[] = {"[a-c]", "[^b]",   "\\d", "\\w",         "\\s",    "\\W", "\\S",
                               "[A-Z]", "[.\\n]", "\\h", "[[:alpha:]]", "[^\\n]", "\\D"};
const char *const assertions[] = {"^", "$", "\\b", "\\B", "\\A", "\\z", "\\Z"};
const char *const openers[] = {"(", "(?:", "(?i:", "(?=", "(?!", "(?<=a)(", "(?>", "(?s:", "(?m:"};
const char *const quantifiers[] = {"*",  "+",  "?",     "{2}",  "{1,3}",
                                   "*?", "++", "{0,2}", "{3,}", "?+"};
const char *const prefixes[] = {"", "", "", "^", "(?i)", "(?m)", "(?s)", "(?x)", "^(?i)"};

void expression(reader_t &in, std::string &out, int depth, int *groups);

void atom(reader_t &in, std::string &out, int depth, int *groups) {
  switch (in.next(depth < 3 ? 6 : 4)) {
    case 0:
    case 1:
      out += literals[in.next(std::size(literals))];
      break;
    case 2:
      out += classes[in.next(std::size(classes))];
      break;
    case 3:
      if (*groups && in.next(3) == 0)
        out += "\\1";
      else
        out += assertions[in.next(std::size(assertions))];
      return;  // never quantified
    default: {
      const char *open = openers[in.next(std::size(openers))];
      out += open;
      if (open[0] == '(' && (open[1] != '?' || open[std::strlen(open) - 1] == '(')) (*groups)++;
      expression(in, out, depth + 1, groups);
      out += ")";
    }
  }
  if (in.next(3) == 0) out += quantifiers[in.next(std::size(quantifiers))];
}

void expression(reader_t &in, std::string &out, int depth, int *groups) {
  unsigned n = 1 + in.next(4);
  for (unsigned i = 0; i < n; i++)
    atom(in, out, depth, groups);
  if (depth < 3 && in.next(4) == 0) {
    out += "|";
    expression(in, out, depth + 1, groups);
  }
}

const int option_sets[] = {0,
                           0,
                           0,
                           PCRE_CASELESS,
                           PCRE_MULTILINE,
                           PCRE_DOTALL,
                           PCRE_EXTENDED,
                           PCRE_ANCHORED,
                           PCRE_CASELESS | PCRE_DOTALL};
const char name_alphabet[] = "abcAB.\n -_09\xe9\0cpu";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  reader_t in{data, data + size};
  struct pattern_t {
    std::string text;
    int options;
    pcre *re;
    pcre_extra *extra;
  };
  std::vector<pattern_t> patterns(1 + in.next(8));
  std::vector<vask_multimatch_pattern_t> given;
  for (pattern_t &p : patterns) {
    p.options = option_sets[in.next(std::size(option_sets))];
    p.text = prefixes[in.next(std::size(prefixes))];
    int groups = 0;
    expression(in, p.text, 0, &groups);
    const char *error;
    int offset;
    p.re = pcre_compile(p.text.c_str(), p.options, &error, &offset, nullptr);
    p.extra = p.re ? vask_pcre_limit(pcre_study(p.re, 0, &error)) : nullptr;
    given.push_back({p.text.c_str(), p.options, p.re});
  }
  vask_multimatch_t *m = vask_multimatch_build(given.data(), given.size());
  std::vector<uint64_t> bits(vask_multimatch_words(m));
  while (in.more()) {
    std::string name;
    for (unsigned n = in.next(24); n; n--)
      name += name_alphabet[in.next(sizeof name_alphabet - 1)];
    vask_multimatch_candidates(m, name.data(), name.size(), bits.data());
    for (size_t i = 0; i < patterns.size(); i++) {
      if (!patterns[i].re) continue;
      int ovector[30];
      int rc = pcre_exec(patterns[i].re, patterns[i].extra, name.data(), int(name.size()), 0, 0,
                         ovector, 30);
      if (rc >= 0 && !(bits[i / 64] >> (i % 64) & 1)) {  // a match lost
        std::fprintf(stderr, "lost: /%s/ options %#x on \"", patterns[i].text.c_str(),
                     unsigned(patterns[i].options));
        for (unsigned char c : name)
          std::fprintf(stderr, c >= 32 && c < 127 ? "%c" : "\\x%02x", c);
        std::fprintf(stderr, "\"\n");
        __builtin_trap();
      }
    }
  }
  vask_multimatch_free(m);
  for (pattern_t &p : patterns) {
    if (p.extra) pcre_free_study(p.extra);
    if (p.re) pcre_free(p.re);
  }
  return 0;
}
