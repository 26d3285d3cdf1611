// Many metric-name patterns against one name: PCRE run on every pattern (the lookup's walk
// without the prefilter) against the multi-pattern prefilter with PCRE run only on its
// candidates. Patterns: a third anchored prefixes, a third suffixed names with alternation, a
// third caseless words; all compiled and JIT-studied as pattern rulesets are. The argument is
// the number of patterns; "match" names match exactly one of them, "miss" names none.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "vask/vask_multimatch.h"
#include "vask/vask_pcre.h"

namespace {

struct patterns_t {
  std::vector<std::string> texts;
  std::vector<pcre *> res;
  std::vector<pcre_extra *> extras;
  vask_multimatch_t *matcher = nullptr;
};

std::string pattern_text(int i) {
  switch (i % 3) {
    case 0:
      return "^pfx" + std::to_string(i) + "\\.";
    case 1:
      return "cpu" + std::to_string(i) + "\\.(user|sys)$";
    default:
      return "(?i)host-" + std::to_string(i) + "\\b";
  }
}

patterns_t &patterns(int n) {
  static std::vector<patterns_t *> made(100001, nullptr);
  if (made[size_t(n)]) return *made[size_t(n)];
  auto *p = new patterns_t;
  std::vector<vask_multimatch_pattern_t> given;
  for (int i = 0; i < n; i++) {
    p->texts.push_back(pattern_text(i));
    const char *error;
    int offset;
    p->res.push_back(pcre_compile(p->texts.back().c_str(), 0, &error, &offset, nullptr));
    p->extras.push_back(vask_pcre_limit(pcre_study(p->res.back(), PCRE_STUDY_JIT_COMPILE, &error)));
  }
  for (int i = 0; i < n; i++)
    given.push_back({p->texts[size_t(i)].c_str(), 0, p->res[size_t(i)]});
  p->matcher = vask_multimatch_build(given.data(), given.size());
  made[size_t(n)] = p;
  return *p;
}

bool pcre_says(const patterns_t &p, size_t i, const std::string &name) {
  int ovector[30];
  return pcre_exec(p.res[i], p.extras[i], name.data(), int(name.size()), 0, 0, ovector, 30) >= 0;
}

// The last pattern of the middle shape matches this name.
std::string name_for(int n, bool match) {
  if (!match) return "memory.free.bytes.total";
  int i = n - 1;
  while (i % 3 != 1 && i > 0)
    i--;
  return i % 3 == 1 ? "cpu" + std::to_string(i) + ".user" : "pfx0.x";
}

void BM_pcre_loop(benchmark::State &state) {
  int n = int(state.range(0));
  const patterns_t &p = patterns(n);
  std::string name = name_for(n, state.range(1));
  long found = 0;
  for (auto _ : state) {
    for (size_t i = 0; i < p.res.size(); i++)
      found += pcre_says(p, i, name);
  }
  state.counters["found"] = double(found) / double(state.iterations());
}

void BM_prefilter(benchmark::State &state) {
  int n = int(state.range(0));
  const patterns_t &p = patterns(n);
  std::string name = name_for(n, state.range(1));
  std::vector<uint64_t> bits(vask_multimatch_words(p.matcher));
  long found = 0;
  for (auto _ : state) {
    vask_multimatch_candidates(p.matcher, name.data(), name.size(), bits.data());
    for (size_t w = 0; w < bits.size(); w++)
      for (uint64_t word = bits[w]; word; word &= word - 1) {
        size_t i = w * 64 + size_t(__builtin_ctzll(word));
        found += pcre_says(p, i, name);
      }
  }
  state.counters["found"] = double(found) / double(state.iterations());
  state.counters["screened"] = double(vask_multimatch_screened(p.matcher));
}

// Compiling the matcher: what a rebuild after a change costs the rebuild thread.
void BM_build(benchmark::State &state) {
  int n = int(state.range(0));
  const patterns_t &p = patterns(n);
  std::vector<vask_multimatch_pattern_t> given;
  for (int i = 0; i < n; i++)
    given.push_back({p.texts[size_t(i)].c_str(), 0, p.res[size_t(i)]});
  for (auto _ : state)
    vask_multimatch_free(vask_multimatch_build(given.data(), given.size()));
}

}  // namespace

BENCHMARK(BM_pcre_loop)->ArgsProduct({{1, 10, 100, 1000}, {1, 0}})->ArgNames({"patterns", "match"});
BENCHMARK(BM_prefilter)->ArgsProduct({{1, 10, 100, 1000}, {1, 0}})->ArgNames({"patterns", "match"});
BENCHMARK(BM_build)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);
