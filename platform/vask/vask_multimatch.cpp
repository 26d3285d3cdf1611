// Many regular expressions screened in one pass (see the header for the contract).
//
// Soundness is the whole point: the database may report a pattern that PCRE then rejects, never
// miss one PCRE would accept. So a pattern enters the database only when its semantics there are
// PCRE's or wider: byte mode (no UTF-8), the same top-level options, prefilter mode for whatever
// the library can only approximate, and nothing that can match the empty string (the library
// reports no match on an empty text, where PCRE would match). Everything else stays out and is a
// candidate for every text. The differential fuzz target (tests/fuzz/fuzz_vask_multimatch.cpp)
// checks prefilter-then-PCRE against PCRE alone on random patterns and names.
#include "vask/vask_multimatch.h"

#include <hs.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tovi/tovi_memory.h"
#include "tovi/tovi_sync.h"

struct vask_multimatch_t {
  hs_database_t *db = nullptr;
  uint64_t generation = 0;  // of the scratch prototype once it fitted this database
  size_t count = 0;
  size_t screened = 0;
  std::vector<uint64_t> always;  // patterns outside the database: candidates for every text
};

namespace {

// Options that mean the same thing to both engines when given at the top level.
constexpr int mapped_options = PCRE_CASELESS | PCRE_MULTILINE | PCRE_DOTALL | PCRE_EXTENDED;
// Options a compiled pattern reports that its text already expresses: PCRE marks a pattern that
// starts with "^" (or \A) anchored, and inline (?i) (?m) (?s) (?x) (?U) at its start show up as
// options too. Any other bit (UTF-8, UCP, newline and \R conventions, dollar-end-only, ...) keeps
// the pattern out.
constexpr unsigned long harmless_info_options =
    PCRE_ANCHORED | PCRE_CASELESS | PCRE_MULTILINE | PCRE_DOTALL | PCRE_EXTENDED | PCRE_UNGREEDY;

unsigned hs_flags(int pcre_options) {
  unsigned f = HS_FLAG_PREFILTER | HS_FLAG_SINGLEMATCH;
  if (pcre_options & PCRE_CASELESS) f |= HS_FLAG_CASELESS;
  if (pcre_options & PCRE_MULTILINE) f |= HS_FLAG_MULTILINE;
  if (pcre_options & PCRE_DOTALL) f |= HS_FLAG_DOTALL;
  // PCRE_EXTENDED: the library has no flag for it; the pattern is given as "(?x)" + text.
  return f;
}

// Whether the pattern may go into the database, judged alone.
bool screenable(const vask_multimatch_pattern_t &p, const std::string &expr) {
  if (!p.text || !p.re) return false;
  if (p.pcre_options & ~mapped_options) return false;
  // Leading (*UTF8), (*CR), (*NO_START_OPT)...: settings the library reads differently or not.
  if (std::strncmp(p.text, "(*", 2) == 0) return false;
  unsigned long info = 0;
  if (pcre_fullinfo(p.re, nullptr, PCRE_INFO_OPTIONS, &info) != 0) return false;
  if (info & ~harmless_info_options) return false;
  // Prefilter mode widens a back-reference, but not always enough: /(\B)-\1/ (a reference to a
  // group that matched nothing) is lost on " -a". Such patterns stay with PCRE.
  int backrefs = 0;
  if (pcre_fullinfo(p.re, nullptr, PCRE_INFO_BACKREFMAX, &backrefs) != 0 || backrefs > 0)
    return false;
  hs_expr_info_t *ei = nullptr;
  hs_compile_error_t *err = nullptr;
  if (hs_expression_info(expr.c_str(), hs_flags(p.pcre_options), &ei, &err) != HS_SUCCESS) {
    hs_free_compile_error(err);
    return false;
  }
  bool ok = ei->min_width > 0;  // a pattern that can match nothing at all matches every text
  std::free(ei);                // allocated with the library's default allocator, malloc
  return ok;
}

void set_bit(std::vector<uint64_t> &bits, size_t id) {
  bits[id / 64] |= uint64_t(1) << (id % 64);
}

// Scratch space. One prototype, grown under its lock for every database built, so that it fits
// them all; its generation counts the growths. A thread clones the prototype when a database is
// newer than its clone, and keeps the clone for its life: one comparison per scan otherwise,
// however many databases (accounts) it alternates between.
struct prototype_t {
  tovi_mutex_c lock;
  hs_scratch_t *scratch ABSL_GUARDED_BY(lock) = nullptr;
  uint64_t generation ABSL_GUARDED_BY(lock) = 0;
};

prototype_t &prototype() {
  static prototype_t *p = new prototype_t;  // never freed: threads may clone it until the end
  return *p;
}

struct thread_scratch_t {
  hs_scratch_t *scratch = nullptr;
  uint64_t generation = 0;
  ~thread_scratch_t() {
    if (scratch) hs_free_scratch(scratch);
  }
  hs_scratch_t *for_db(const vask_multimatch_t *m) {
    if (generation >= m->generation) return scratch;
    prototype_t &p = prototype();
    tovi_lock_guard_c<tovi_mutex_c> g(p.lock);
    if (scratch) hs_free_scratch(scratch);
    scratch = nullptr;
    if (hs_clone_scratch(p.scratch, &scratch) != HS_SUCCESS) return nullptr;
    generation = p.generation;
    return scratch;
  }
};

int on_match(unsigned int id, unsigned long long, unsigned long long, unsigned int, void *ctx) {
  auto *bits = static_cast<uint64_t *>(ctx);
  bits[id / 64] |= uint64_t(1) << (id % 64);
  return 0;
}

size_t popcount(const uint64_t *bits, size_t words) {
  size_t n = 0;
  for (size_t i = 0; i < words; i++)
    n += size_t(__builtin_popcountll(bits[i]));
  return n;
}

}  // namespace

vask_multimatch_t *vask_multimatch_build(const vask_multimatch_pattern_t *patterns, size_t n) {
  auto *m = new vask_multimatch_t;
  m->count = n;
  m->always.assign((n + 63) / 64, 0);
  std::vector<std::string> exprs(n);
  std::vector<bool> in(n, false);
  for (size_t i = 0; i < n; i++) {
    const vask_multimatch_pattern_t &p = patterns[i];
    if (p.text) exprs[i] = (p.pcre_options & PCRE_EXTENDED) ? "(?x)" + std::string(p.text) : p.text;
    in[i] = screenable(p, exprs[i]);
  }
  // A pattern the whole compile refuses (each was accepted alone, but limits apply to the
  // database too) leaves and the rest is compiled again; one that the library cannot place comes
  // out each round, so this ends.
  for (;;) {
    std::vector<const char *> texts;
    std::vector<unsigned> flags, ids;
    for (size_t i = 0; i < n; i++)
      if (in[i]) {
        texts.push_back(exprs[i].c_str());
        flags.push_back(hs_flags(patterns[i].pcre_options));
        ids.push_back(unsigned(i));
      }
    if (texts.empty()) break;
    hs_compile_error_t *err = nullptr;
    hs_database_t *db = nullptr;
    if (hs_compile_multi(texts.data(), flags.data(), ids.data(), unsigned(texts.size()),
                         HS_MODE_BLOCK, nullptr, &db, &err) == HS_SUCCESS) {
      prototype_t &p = prototype();
      tovi_lock_guard_c<tovi_mutex_c> g(p.lock);
      if (hs_alloc_scratch(db, &p.scratch) != HS_SUCCESS) {
        hs_free_database(db);  // cannot be scanned: every pattern goes to PCRE
        break;
      }
      m->generation = ++p.generation;
      m->db = db;
      m->screened = texts.size();
      break;
    }
    int which = err ? err->expression : -1;
    hs_free_compile_error(err);
    if (which < 0 || size_t(which) >= texts.size()) break;  // the database as a whole: none in
    in[ids[size_t(which)]] = false;
  }
  for (size_t i = 0; i < n; i++)
    if (!m->db || !in[i]) set_bit(m->always, i);
  if (!m->db) m->screened = 0;
  return m;
}

void vask_multimatch_free(vask_multimatch_t *m) {
  if (!m) return;
  if (m->db) hs_free_database(m->db);
  delete m;
}

void vask_multimatch_retire(vask_multimatch_t *m) {
  if (m)
    tovi_memory_defer([](void *p) { vask_multimatch_free(static_cast<vask_multimatch_t *>(p)); },
                      m);
}

size_t vask_multimatch_count(const vask_multimatch_t *m) {
  return m->count;
}

size_t vask_multimatch_screened(const vask_multimatch_t *m) {
  return m->screened;
}

bool vask_multimatch_is_screened(const vask_multimatch_t *m, uint32_t id) {
  return id < m->count && !(m->always[id / 64] & (uint64_t(1) << (id % 64)));
}

size_t vask_multimatch_words(const vask_multimatch_t *m) {
  return m->always.size();
}

size_t vask_multimatch_candidates(const vask_multimatch_t *m, const char *text, size_t len,
                                  uint64_t *bits) {
  size_t words = m->always.size();
  if (words) std::memcpy(bits, m->always.data(), words * sizeof(uint64_t));
  if (!m->db) return popcount(bits, words);
  thread_local thread_scratch_t ts;
  hs_scratch_t *scratch = ts.for_db(m);
  hs_error_t rc = scratch && len <= 0xffffffffu
                      ? hs_scan(m->db, text, unsigned(len), 0, scratch, on_match, bits)
                      : HS_UNKNOWN_ERROR;
  if (rc != HS_SUCCESS) {
    // Unscreened: every pattern goes to PCRE.
    for (size_t i = 0; i < m->count; i++)
      bits[i / 64] |= uint64_t(1) << (i % 64);
    return m->count;
  }
  return popcount(bits, words);
}
