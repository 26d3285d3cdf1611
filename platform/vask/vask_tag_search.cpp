// Tag search: a small recursive-descent parser into a reference-counted AST, and its evaluation
// against a metric id.
//
// Exact matches on tags compare canonical texts: a tag's category and value are stored in
// canonical form, and the canonical form of given bytes is unique, so equal texts mean equal bytes
// without decoding anything. Globs and regular expressions see the raw bytes, so a tag part written
// b"<base64>" is decoded first (into a per-thread scratch buffer: evaluation allocates nothing once
// warm).
//
// Regular expressions are compiled once at parse time and studied with JIT. pcre_exec is safe on
// one compiled pattern from many threads; each thread runs the JIT code on a stack of its own.
#include "vask/vask_tag_search.h"

#include <pcre.h>

#include <atomic>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "tovi/tovi_log.h"
#include "tovi/tovi_uuid.h"
#include "vask/vask_base64.h"
#include "vask/vask_decoder.h"
#include "vask/vask_pcre.h"

namespace {

constexpr int kMaxDepth = 64;  // nesting of and/or/not; bounds the recursion of every walk

enum term_kind_t { TERM_TAG, TERM_NAME, TERM_CHECK_UUID, TERM_PLACEHOLDER };

struct matcher_t {
  enum kind_t { EXACT, GLOB, REGEX } kind = EXACT;
  std::string bytes;      // exact bytes, the glob, or the regular expression's source
  std::string canonical;  // EXACT: the canonical tag-part text of bytes
  pcre *re = nullptr;
  pcre_extra *extra = nullptr;

  matcher_t() = default;
  matcher_t(const matcher_t &) = delete;
  matcher_t &operator=(const matcher_t &) = delete;
  ~matcher_t() {
    if (extra) pcre_free_study(extra);
    if (re) pcre_free(re);
  }
};

}  // namespace

struct vask_metric_tag_search_ast_t {
  std::atomic<uint32_t> refcnt{1};
  vask_metric_tag_search_op_t op = VASK_TAG_SEARCH_OP_MATCH;
  std::vector<vask_metric_tag_search_ast_t *> args;  // and/or/not: one reference each

  // Terms.
  term_kind_t kind = TERM_TAG;
  matcher_t category;  // TERM_TAG
  bool has_value = false;
  matcher_t value;
  int placeholder = -1;  // TERM_PLACEHOLDER
};

namespace {

tovi_log_stream_t debug_stream() {
  static tovi_log_stream_t ls = tovi_log_stream_find("debug/vask");
  return ls;
}

// ---------------------------------------------------------------------------------------------
// Regular expressions

pcre_jit_stack *thread_jit_stack(void *) {
  struct holder_t {
    pcre_jit_stack *stack = pcre_jit_stack_alloc(32 * 1024, 1024 * 1024);
    ~holder_t() {
      if (stack) pcre_jit_stack_free(stack);
    }
  };
  static thread_local holder_t holder;
  return holder.stack;
}

bool compile_regex(matcher_t *m, const char **error) {
  if (m->bytes.find('\0') != std::string::npos) {
    *error = "NUL byte in regular expression";
    return false;
  }
  int erroffset = 0;
  m->re = pcre_compile(m->bytes.c_str(), 0, error, &erroffset, nullptr);
  if (!m->re) return false;
  const char *study_error = nullptr;
  m->extra = vask_pcre_limit(pcre_study(m->re, PCRE_STUDY_JIT_COMPILE, &study_error));
  if (!m->extra) {
    *error = "out of memory";
    return false;
  }
  if (m->extra->flags & PCRE_EXTRA_EXECUTABLE_JIT)
    pcre_assign_jit_stack(m->extra, thread_jit_stack, nullptr);
  return true;
}

// Set when a regular expression was stopped by its limits during the evaluation running on this
// thread: the whole search then fails, whatever the other terms say (see
// vask_metric_tag_search_evaluate_against_metric_id).
thread_local bool t_search_failed = false;

bool regex_matches(const matcher_t &m, const char *subject, size_t len) {
  if (len > static_cast<size_t>(INT32_MAX)) return false;
  int ovector[30];
  int rc = pcre_exec(m.re, m.extra, subject, static_cast<int>(len), 0, 0, ovector, 30);
  int result = vask_pcre_result(rc, "tag search");
  if (result < 0) t_search_failed = true;
  return result > 0;
}

// ---------------------------------------------------------------------------------------------
// Globs: '*' any run of bytes, '?' one byte; the whole subject must match.

bool glob_matches(const std::string &glob, const char *s, size_t n) {
  size_t g = 0, i = 0, star = std::string::npos, resume = 0;
  while (i < n) {
    if (g < glob.size() && (glob[g] == '?' || glob[g] == s[i])) {
      g++;
      i++;
    } else if (g < glob.size() && glob[g] == '*') {
      star = g++;
      resume = i;
    } else if (star != std::string::npos) {
      g = star + 1;
      i = ++resume;
    } else {
      return false;
    }
  }
  while (g < glob.size() && glob[g] == '*')
    g++;
  return g == glob.size();
}

// ---------------------------------------------------------------------------------------------
// Matching

// Matches raw bytes (a metric name, a UUID text, a decoded tag part).
bool matcher_matches_bytes(const matcher_t &m, const char *s, size_t n) {
  switch (m.kind) {
    case matcher_t::EXACT:
      return m.bytes.size() == n && std::memcmp(m.bytes.data(), s, n) == 0;
    case matcher_t::GLOB:
      return glob_matches(m.bytes, s, n);
    case matcher_t::REGEX:
      return regex_matches(m, s, n);
  }
  return false;
}

// Matches a canonical tag part.
bool matcher_matches_part(const matcher_t &m, const char *part, size_t n) {
  if (m.kind == matcher_t::EXACT)
    return m.canonical.size() == n && std::memcmp(m.canonical.data(), part, n) == 0;
  if (!vask_tag_part_is_encoded(part, n)) return matcher_matches_bytes(m, part, n);
  static thread_local std::string decoded;
  decoded.clear();
  if (!vask_tag_part_decode_append(part, n, &decoded)) return false;
  return matcher_matches_bytes(m, decoded.data(), decoded.size());
}

bool term_matches_tag(const vask_metric_tag_search_ast_t *t, const vask_metric_tag_t &tag) {
  if (!matcher_matches_part(t->category, tag.tag, tag.category_size)) return false;
  if (!t->has_value) return true;
  const char *value = tag.tag + tag.category_size;
  size_t value_len =
      tag.total_size > tag.category_size ? tag.total_size - tag.category_size - 1 : 0;
  if (value_len) value++;
  return matcher_matches_part(t->value, value, value_len);
}

bool term_matches_set(const vask_metric_tag_search_ast_t *t, const vask_metric_tagset_t &set) {
  if (!set.tags) return false;
  for (int i = 0; i < set.tag_count; i++)
    if (term_matches_tag(t, set.tags[i])) return true;
  return false;
}

// Once a regular expression failed, every further answer is false: the search is abandoned and
// the caller sees it fail.
bool evaluate(const vask_metric_tag_search_ast_t *ast, const vask_metric_id_t *id) {
  switch (ast->op) {
    case VASK_TAG_SEARCH_OP_AND:
      for (const auto *a : ast->args)
        if (!evaluate(a, id)) return false;
      return !t_search_failed;
    case VASK_TAG_SEARCH_OP_OR:
      for (const auto *a : ast->args)
        if (evaluate(a, id)) return true;
      return false;
    case VASK_TAG_SEARCH_OP_NOT:
      for (const auto *a : ast->args)
        if (evaluate(a, id) || t_search_failed) return false;
      return true;
    case VASK_TAG_SEARCH_OP_MATCH:
      break;
  }
  switch (ast->kind) {
    case TERM_TAG:
      return term_matches_set(ast, id->stream) || term_matches_set(ast, id->check);
    case TERM_NAME:
      return id->name && matcher_matches_bytes(ast->value, id->name, id->name_len);
    case TERM_CHECK_UUID: {
      char text[37];
      tovi_uuid_unparse(id->id, text);
      return matcher_matches_bytes(ast->value, text, 36);
    }
    case TERM_PLACEHOLDER:
      return false;
  }
  return false;
}

// ---------------------------------------------------------------------------------------------
// Parsing

// A literal is written with the bytes of a plain tag part, and globs in values.
bool is_literal_byte(unsigned char c, bool value) {
  return vask_tag_byte_is_plain(c, value) || (value && (c == '*' || c == '?'));
}

struct parser_t {
  const char *p;
  size_t n;
  size_t at = 0;
  size_t error_at = 0;
  const char *error = nullptr;

  bool fail(size_t where, const char *why) {
    if (!error) {
      error = why;
      error_at = where;
    }
    return false;
  }
  void skip_space() {
    while (at < n && (p[at] == ' ' || p[at] == '\t' || p[at] == '\n' || p[at] == '\r'))
      at++;
  }
  bool peek(char c) const { return at < n && p[at] == c; }

  // Reads up to the closing delimiter; a backslash escapes the next byte when `escapes`.
  bool delimited(char close, bool escapes, std::string *out) {
    size_t start = at;
    while (at < n && p[at] != close) {
      if (escapes && p[at] == '\\' && at + 1 < n) at++;
      at++;
    }
    if (at >= n) return fail(start, "unterminated text");
    out->assign(p + start, at - start);
    at++;
    return true;
  }

  // One category or value.
  bool part(matcher_t *m, bool value) {
    size_t start = at;
    if (at + 1 < n && p[at] == 'b' && (p[at + 1] == '"' || p[at + 1] == '!' || p[at + 1] == '/')) {
      char close = p[at + 1];
      at += 2;
      std::string text;
      if (!delimited(close, false, &text)) return false;
      m->bytes.clear();
      if (!vask_base64_decode_append(text.data(), text.size(), &m->bytes))
        return fail(start, "invalid base64");
      m->kind = close == '/' ? matcher_t::REGEX : matcher_t::EXACT;
    } else if (peek('/')) {
      at++;
      if (!delimited('/', true, &m->bytes)) return false;
      m->kind = matcher_t::REGEX;
    } else {
      while (at < n && is_literal_byte(static_cast<unsigned char>(p[at]), value))
        at++;
      m->bytes.assign(p + start, at - start);
      if (!value && m->bytes.empty()) return fail(start, "expected a category");
      bool glob = m->bytes.find_first_of("*?") != std::string::npos;
      m->kind = glob ? matcher_t::GLOB : matcher_t::EXACT;
    }
    if (m->kind == matcher_t::REGEX) {
      const char *why = nullptr;
      if (!compile_regex(m, &why)) return fail(start, why ? why : "invalid regular expression");
    } else if (m->kind == matcher_t::EXACT) {
      if (!value && m->bytes.empty()) return fail(start, "empty category");
      if (!m->bytes.empty())
        vask_tag_part_canonical_append(m->bytes.data(), m->bytes.size(), value, &m->canonical);
    }
    return true;
  }

  bool term(vask_metric_tag_search_ast_t *t) {
    size_t start = at;
    bool plain = !(at + 1 < n && p[at] == 'b' &&
                   (p[at + 1] == '"' || p[at + 1] == '!' || p[at + 1] == '/')) &&
                 !peek('/');
    if (!part(&t->category, false)) return false;
    if (peek(':')) {
      at++;
      t->has_value = true;
      if (!part(&t->value, true)) return false;
    }
    if (!plain) return true;
    const std::string &c = t->category.bytes;
    if (c == "__name" || c == "__check_uuid") {
      if (!t->has_value) return fail(start, "__name and __check_uuid need a value");
      t->kind = c == "__name" ? TERM_NAME : TERM_CHECK_UUID;
      if (t->kind == TERM_CHECK_UUID && t->value.kind != matcher_t::REGEX)
        for (char &ch : t->value.bytes)
          ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    } else if (c == "__") {
      const std::string &v = t->value.bytes;
      if (!t->has_value || t->value.kind != matcher_t::EXACT || v.empty() || v.size() > 6 ||
          v.find_first_not_of("0123456789") != std::string::npos)
        return fail(start, "a placeholder is __:<number>");
      t->kind = TERM_PLACEHOLDER;
      t->placeholder = std::stoi(v);
    }
    return true;
  }

  vask_metric_tag_search_ast_t *query(int depth) {
    skip_space();
    if (depth > kMaxDepth) {
      fail(at, "nested too deeply");
      return nullptr;
    }
    size_t start = at;
    vask_metric_tag_search_op_t op = VASK_TAG_SEARCH_OP_MATCH;
    size_t word = 0;
    while (start + word < n && p[start + word] >= 'a' && p[start + word] <= 'z')
      word++;
    std::string w(p + start, word);
    if (w == "and" || w == "or" || w == "not") {
      size_t look = start + word;
      while (look < n && (p[look] == ' ' || p[look] == '\t' || p[look] == '\n' || p[look] == '\r'))
        look++;
      if (look < n && p[look] == '(') {
        op = w == "and" ? VASK_TAG_SEARCH_OP_AND
                        : (w == "or" ? VASK_TAG_SEARCH_OP_OR : VASK_TAG_SEARCH_OP_NOT);
        at = look + 1;
      }
    }
    auto *ast = new vask_metric_tag_search_ast_t;
    ast->op = op;
    if (op == VASK_TAG_SEARCH_OP_MATCH) {
      if (!term(ast)) {
        vask_metric_tag_search_free(ast);
        return nullptr;
      }
      skip_space();
      return ast;
    }
    for (;;) {
      vask_metric_tag_search_ast_t *arg = query(depth + 1);
      if (!arg) {
        vask_metric_tag_search_free(ast);
        return nullptr;
      }
      ast->args.push_back(arg);
      skip_space();
      if (peek(',')) {
        at++;
        continue;
      }
      if (peek(')')) {
        at++;
        skip_space();
        return ast;
      }
      fail(at, "expected ',' or ')'");
      vask_metric_tag_search_free(ast);
      return nullptr;
    }
  }
};

// ---------------------------------------------------------------------------------------------
// Rendering

bool renders_as_literal(const std::string &bytes, bool value) {
  if (bytes.empty()) return value;
  if (bytes[0] == '/') return false;
  if (bytes.size() >= 2 && bytes[0] == 'b' &&
      (bytes[1] == '"' || bytes[1] == '!' || bytes[1] == '/'))
    return false;
  for (unsigned char c : bytes) {
    if (!is_literal_byte(c, value) || c == '*' || c == '?') return false;
  }
  return true;
}

// Whether /source/ reads back as exactly source.
bool renders_as_slashes(const std::string &source) {
  for (size_t i = 0; i < source.size(); i++) {
    if (source[i] == '\\') {
      if (i + 1 == source.size()) return false;
      i++;
    } else if (source[i] == '/') {
      return false;
    }
  }
  return true;
}

void render_part(const matcher_t &m, bool value, bool special_category, std::string *out) {
  switch (m.kind) {
    case matcher_t::EXACT:
      if (!special_category && renders_as_literal(m.bytes, value)) {
        out->append(m.bytes);
      } else {
        out->append("b\"");
        vask_base64_encode_append(m.bytes.data(), m.bytes.size(), out);
        out->push_back('"');
      }
      return;
    case matcher_t::GLOB:
      out->append(m.bytes);
      return;
    case matcher_t::REGEX:
      if (renders_as_slashes(m.bytes)) {
        out->push_back('/');
        out->append(m.bytes);
        out->push_back('/');
      } else {
        out->append("b/");
        vask_base64_encode_append(m.bytes.data(), m.bytes.size(), out);
        out->push_back('/');
      }
      return;
  }
}

void render(const vask_metric_tag_search_ast_t *ast, std::string *out) {
  if (ast->op != VASK_TAG_SEARCH_OP_MATCH) {
    out->append(ast->op == VASK_TAG_SEARCH_OP_AND
                    ? "and("
                    : (ast->op == VASK_TAG_SEARCH_OP_OR ? "or(" : "not("));
    for (size_t i = 0; i < ast->args.size(); i++) {
      if (i) out->push_back(',');
      render(ast->args[i], out);
    }
    out->push_back(')');
    return;
  }
  switch (ast->kind) {
    case TERM_PLACEHOLDER:
      out->append("__:" + std::to_string(ast->placeholder));
      return;
    case TERM_NAME:
    case TERM_CHECK_UUID:
      out->append(ast->kind == TERM_NAME ? "__name:" : "__check_uuid:");
      render_part(ast->value, true, false, out);
      return;
    case TERM_TAG: {
      const std::string &c = ast->category.bytes;
      bool special = ast->category.kind == matcher_t::EXACT &&
                     (c == "__name" || c == "__check_uuid" || c == "__");
      render_part(ast->category, false, special, out);
      if (ast->has_value) {
        out->push_back(':');
        render_part(ast->value, true, false, out);
      }
      return;
    }
  }
}

}  // namespace

// -----------------------------------------------------------------------------------------------

vask_metric_tag_search_ast_t *vask_metric_tag_search_parse_len(const char *expression, size_t len,
                                                               int *error_offset) {
  if (!expression) {
    if (error_offset) *error_offset = 0;
    return nullptr;
  }
  parser_t parser{expression, len};
  vask_metric_tag_search_ast_t *ast = parser.query(0);
  if (ast && parser.at != len) {
    parser.fail(parser.at, "unexpected text after the query");
    vask_metric_tag_search_free(ast);
    ast = nullptr;
  }
  if (!ast) {
    if (error_offset) *error_offset = static_cast<int>(parser.error_at);
    tovi_log(debug_stream(), "vask: tag search fails at offset %zu: %s", parser.error_at,
             parser.error ? parser.error : "syntax error");
  }
  return ast;
}

vask_metric_tag_search_ast_t *vask_metric_tag_search_parse(const char *expression,
                                                           int *error_offset) {
  return vask_metric_tag_search_parse_len(expression, expression ? std::strlen(expression) : 0,
                                          error_offset);
}

bool vask_metric_tag_search_evaluate_against_metric_id(const vask_metric_tag_search_ast_t *ast,
                                                       const vask_metric_id_t *id) {
  if (!ast || !id) return false;
  t_search_failed = false;
  bool holds = evaluate(ast, id);
  return holds && !t_search_failed;
}

vask_metric_tag_search_op_t vask_metric_tag_search_get_op(const vask_metric_tag_search_ast_t *ast) {
  return ast->op;
}

int vask_metric_tag_search_get_nargs(const vask_metric_tag_search_ast_t *ast) {
  return static_cast<int>(ast->args.size());
}

vask_metric_tag_search_ast_t *vask_metric_tag_search_get_arg(
    const vask_metric_tag_search_ast_t *ast, int i) {
  if (i < 0 || static_cast<size_t>(i) >= ast->args.size()) return nullptr;
  return ast->args[i];
}

bool vask_metric_tag_search_set_arg(vask_metric_tag_search_ast_t *ast, int i,
                                    vask_metric_tag_search_ast_t *arg) {
  if (!arg || i < 0 || static_cast<size_t>(i) >= ast->args.size()) return false;
  // Acquire: pairs with the release of a deref on another thread, so a count of 1 means nobody
  // else can still be reading.
  if (ast->refcnt.load(std::memory_order_acquire) != 1) return false;
  vask_metric_tag_search_ast_t *old = ast->args[i];
  ast->args[i] = arg;
  vask_metric_tag_search_free(old);
  return true;
}

int vask_metric_tag_search_placeholder(const vask_metric_tag_search_ast_t *ast) {
  if (ast->op != VASK_TAG_SEARCH_OP_MATCH || ast->kind != TERM_PLACEHOLDER) return -1;
  return ast->placeholder;
}

vask_metric_tag_search_ast_t *vask_metric_tag_search_ref(vask_metric_tag_search_ast_t *ast) {
  // Relaxed: a new reference is taken from one already held.
  if (ast) ast->refcnt.fetch_add(1, std::memory_order_relaxed);
  return ast;
}

void vask_metric_tag_search_free(vask_metric_tag_search_ast_t *ast) {
  if (!ast) return;
  // acq_rel: every holder's reads happen before the last one frees.
  if (ast->refcnt.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  for (auto *a : ast->args)
    vask_metric_tag_search_free(a);
  delete ast;
}

std::string vask_metric_tag_search_unparse(const vask_metric_tag_search_ast_t *ast) {
  std::string out;
  if (ast) render(ast, &out);
  return out;
}
