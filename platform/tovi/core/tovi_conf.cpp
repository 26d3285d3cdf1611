// The XML configuration.
//
// One document is current at a time. Readers take a read hold (a shared lock) for as long as they
// use section handles; loading takes the write side only to swap the document pointer, so a load
// never frees a document under a reader. Keys are XPath expressions evaluated with libxml2.
#include "tovi/tovi_conf.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xpath.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <thread>

#include "tovi/tovi_conf_keys.h"
#include "tovi/tovi_log.h"

namespace {

std::shared_mutex doc_lock;
xmlDocPtr current_doc = nullptr;  // guarded by doc_lock
// Read holds this thread has. A lookup made under a hold does not lock again: a second shared
// lock on the same thread can deadlock behind a waiting writer.
thread_local int read_holds = 0;

class read_guard_t {
 public:
  read_guard_t() : locked_(read_holds == 0) {
    if (locked_) doc_lock.lock_shared();
  }
  ~read_guard_t() {
    if (locked_) doc_lock.unlock_shared();
  }

 private:
  bool locked_;
};
std::string current_path;
std::string last_error;
std::mutex error_lock;
std::atomic<int> coalesce_seconds{10};

// libxml2 reports through a callback; keep the first error of a parse.
struct parse_errors_t {
  std::string first;
};

void collect_error(void *ctx, xmlErrorPtr error) {
  auto *errors = static_cast<parse_errors_t *>(ctx);
  if (!errors->first.empty() || !error) return;
  std::string msg = error->message ? error->message : "unknown error";
  while (!msg.empty() && (msg.back() == '\n' || msg.back() == ' '))
    msg.pop_back();
  errors->first = std::to_string(error->line) + ": " + msg;
}

void set_error(const std::string &e) {
  std::lock_guard<std::mutex> g(error_lock);
  last_error = e;
}

bool install(xmlDocPtr doc, const char *name) {
  xmlNodePtr root = xmlDocGetRootElement(doc);
  if (!root) {
    set_error(std::string(name) + ":1: the document has no root element");
    xmlFreeDoc(doc);
    return false;
  }
  xmlDocPtr old;
  {
    std::unique_lock<std::shared_mutex> g(doc_lock);
    old = current_doc;
    current_doc = doc;
  }
  if (old) xmlFreeDoc(old);
  return true;
}

bool parse(const char *name, const char *buffer, int len, bool from_file) {
  parse_errors_t errors;
  xmlParserCtxtPtr ctx = xmlNewParserCtxt();
  if (!ctx) {
    set_error(std::string(name) + ": out of memory");
    return false;
  }
  // The handler is per thread in libxml2; it also keeps libxml2 from printing on its own.
  xmlSetStructuredErrorFunc(&errors, collect_error);
  // No network, no external entities: a configuration names no outside resources.
  int options = XML_PARSE_NONET | XML_PARSE_NOBLANKS;
  xmlDocPtr doc = from_file ? xmlCtxtReadFile(ctx, name, nullptr, options)
                            : xmlCtxtReadMemory(ctx, buffer, len, name, nullptr, options);
  xmlFreeParserCtxt(ctx);
  xmlSetStructuredErrorFunc(nullptr, nullptr);
  if (!doc) {
    if (errors.first.empty()) errors.first = "0: cannot be parsed";
    set_error(std::string(name) + ":" + errors.first);
    return false;
  }
  return install(doc, name);
}

// libxml2 would print XPath errors on stderr; they go to the error log instead, at most one line
// a second (a console user can type any expression).
void log_xpath_error(void *, xmlErrorPtr error) {
  static std::atomic<int64_t> last_logged{0};
  if (!error) return;
  int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                    std::chrono::steady_clock::now().time_since_epoch())
                    .count();
  int64_t last = last_logged.load(std::memory_order_relaxed);
  if (now == last || !last_logged.compare_exchange_strong(last, now)) return;
  std::string msg = error->message ? error->message : "unknown error";
  while (!msg.empty() && (msg.back() == '\n' || msg.back() == ' '))
    msg.pop_back();
  tovi_log(tovi_error, "configuration lookup: %s\n", msg.c_str());
}

// Evaluates path relative to section (or the document) and returns the node set; caller frees.
// REQUIRES: a read hold.
xmlXPathObjectPtr evaluate(tovi_conf_section_t section, const char *path) {
  if (!current_doc) return nullptr;
  xmlXPathContextPtr ctx = xmlXPathNewContext(current_doc);
  if (!ctx) return nullptr;
  ctx->error = log_xpath_error;
  xmlSetStructuredErrorFunc(nullptr, log_xpath_error);
  xmlXPathObjectPtr result;
  if (section) {
    result = xmlXPathNodeEval(section, reinterpret_cast<const xmlChar *>(path), ctx);
  } else {
    result = xmlXPathEvalExpression(reinterpret_cast<const xmlChar *>(path), ctx);
  }
  xmlXPathFreeContext(ctx);
  xmlSetStructuredErrorFunc(nullptr, nullptr);
  if (result && result->type != XPATH_NODESET) {
    xmlXPathFreeObject(result);
    return nullptr;
  }
  return result;
}

bool first_value(tovi_conf_section_t section, const char *path, std::string *out) {
  read_guard_t g;
  xmlXPathObjectPtr r = evaluate(section, path);
  if (!r) return false;
  bool found = false;
  if (r->nodesetval && r->nodesetval->nodeNr > 0) {
    tovi_conf_keys_note_read(r->nodesetval->nodeTab[0]);
    xmlChar *content = xmlNodeGetContent(r->nodesetval->nodeTab[0]);
    if (content) {
      *out = reinterpret_cast<const char *>(content);
      xmlFree(content);
      found = true;
    }
  }
  xmlXPathFreeObject(r);
  return found;
}

std::string trim(const std::string &s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

bool parse_integer(const char *path, const std::string &raw, int64_t lo, int64_t hi, int64_t *out) {
  std::string text = trim(raw);
  errno = 0;
  char *end = nullptr;
  // Decimal, or hexadecimal after "0x"; a leading zero never means octal ("044444" is 44444).
  size_t digits = (!text.empty() && (text[0] == '-' || text[0] == '+')) ? 1 : 0;
  bool hex = text.size() > digits + 1 && text[digits] == '0' &&
             (text[digits + 1] == 'x' || text[digits + 1] == 'X');
  long long v = strtoll(text.c_str(), &end, hex ? 16 : 10);
  if (text.empty() || *end != '\0' || errno == ERANGE || v < lo || v > hi) {
    tovi_log(tovi_error, "configuration %s: '%s' is not an integer in [%lld, %lld]", path,
             text.c_str(), (long long)lo, (long long)hi);
    return false;
  }
  *out = v;
  return true;
}

}  // namespace

bool tovi_conf_load(const char *path) {
  struct stat st;
  if (stat(path, &st) != 0) {
    set_error(std::string(path) + ":0: " + strerror(errno));
    return false;
  }
  if (!parse(path, nullptr, 0, true)) return false;
  current_path = path;
  return true;
}

bool tovi_conf_load_string(const char *xml, const char *name_for_errors) {
  return parse(name_for_errors, xml, static_cast<int>(strlen(xml)), false);
}

std::string tovi_conf_last_error(void) {
  std::lock_guard<std::mutex> g(error_lock);
  return last_error;
}

const std::string &tovi_conf_path(void) {
  return current_path;
}

bool tovi_conf_get_string(tovi_conf_section_t section, const char *path, std::string *value) {
  std::string v;
  if (!first_value(section, path, &v)) return false;
  *value = trim(v);
  return true;
}

bool tovi_conf_get_int32(tovi_conf_section_t section, const char *path, int32_t *value) {
  std::string v;
  int64_t n;
  if (!first_value(section, path, &v) || !parse_integer(path, v, INT32_MIN, INT32_MAX, &n))
    return false;
  *value = static_cast<int32_t>(n);
  return true;
}

bool tovi_conf_get_int64(tovi_conf_section_t section, const char *path, int64_t *value) {
  std::string v;
  int64_t n;
  if (!first_value(section, path, &v) || !parse_integer(path, v, INT64_MIN, INT64_MAX, &n))
    return false;
  *value = n;
  return true;
}

bool tovi_conf_get_boolean(tovi_conf_section_t section, const char *path, bool *value) {
  std::string v;
  if (!first_value(section, path, &v)) return false;
  v = trim(v);
  for (char &c : v)
    c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  if (v == "true" || v == "on" || v == "yes" || v == "1") {
    *value = true;
  } else if (v == "false" || v == "off" || v == "no" || v == "0") {
    *value = false;
  } else {
    tovi_log(tovi_error, "configuration %s: '%s' is not a boolean", path, v.c_str());
    return false;
  }
  return true;
}

bool tovi_conf_exists(tovi_conf_section_t section, const char *path) {
  read_guard_t g;
  xmlXPathObjectPtr r = evaluate(section, path);
  bool found = r && r->nodesetval && r->nodesetval->nodeNr > 0;
  if (found) tovi_conf_keys_note_read(r->nodesetval->nodeTab[0]);
  if (r) xmlXPathFreeObject(r);
  return found;
}

tovi_conf_section_t tovi_conf_get_section(tovi_conf_section_t section, const char *path) {
  std::vector<tovi_conf_section_t> all = tovi_conf_get_sections(section, path);
  return all.empty() ? nullptr : all.front();
}

std::vector<tovi_conf_section_t> tovi_conf_get_sections(tovi_conf_section_t section,
                                                        const char *path) {
  std::vector<tovi_conf_section_t> out;
  read_guard_t g;
  xmlXPathObjectPtr r = evaluate(section, path);
  if (!r) return out;
  if (r->nodesetval) {
    for (int i = 0; i < r->nodesetval->nodeNr; i++) {
      xmlNodePtr n = r->nodesetval->nodeTab[i];
      if (n->type == XML_ELEMENT_NODE) out.push_back(n);
    }
  }
  xmlXPathFreeObject(r);
  return out;
}

std::string tovi_conf_section_name(tovi_conf_section_t section) {
  return section ? reinterpret_cast<const char *>(section->name) : "";
}

void tovi_conf_section_read_hold(void) {
  if (read_holds++ == 0) doc_lock.lock_shared();
}

void tovi_conf_section_read_release(void) {
  if (--read_holds == 0) doc_lock.unlock_shared();
}

bool tovi_conf_section_path_valid(std::string_view path) {
  if (path.empty()) return false;
  size_t start = 0;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    std::string_view name = path.substr(
        start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
    if (name.empty() || name.find_first_not_of('.') == std::string_view::npos) return false;
    for (char c : name)
      if (!isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '.' && c != '-') return false;
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  return true;
}

tovi_conf_section_t tovi_conf_get_section_by_path(const char *section_path) {
  if (!section_path || !tovi_conf_section_path_valid(section_path)) return nullptr;
  std::string xpath = std::string("//") + section_path;
  return tovi_conf_get_section(nullptr, xpath.c_str());
}

namespace {

// Whether a setting of this name holds a secret: passwords, tokens, shared keys (not key files).
bool secret_name(const xmlChar *raw) {
  if (!raw) return false;
  std::string name(reinterpret_cast<const char *>(raw));
  for (char &c : name)
    c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  for (const char *word : {"password", "passwd", "secret", "token", "credential"})
    if (name.find(word) != std::string::npos) return true;
  bool file = name.size() >= 5 && name.compare(name.size() - 5, 5, "_file") == 0;
  bool key = name == "key" || (name.size() > 4 && name.compare(name.size() - 4, 4, "_key") == 0);
  return key && !file;
}

void mask_secrets(xmlNodePtr node) {
  static const xmlChar masked[] = "********";
  for (; node; node = node->next) {
    if (node->type != XML_ELEMENT_NODE) continue;
    for (xmlAttrPtr a = node->properties; a; a = a->next)
      if (secret_name(a->name)) xmlSetProp(node, a->name, masked);
    if (secret_name(node->name)) {
      bool has_elements = false;
      for (xmlNodePtr c = node->children; c; c = c->next)
        has_elements |= c->type == XML_ELEMENT_NODE;
      if (!has_elements) {
        xmlNodeSetContent(node, masked);
        continue;
      }
    }
    mask_secrets(node->children);
  }
}

std::string dump_section(tovi_conf_section_t section, bool masked) {
  if (!section) return "";
  xmlDocPtr doc = xmlNewDoc(reinterpret_cast<const xmlChar *>("1.0"));
  xmlNodePtr copy = xmlDocCopyNode(section, doc, 1);
  xmlDocSetRootElement(doc, copy);
  if (masked) mask_secrets(copy);
  xmlChar *mem = nullptr;
  int size = 0;
  xmlDocDumpFormatMemory(doc, &mem, &size, 1);
  std::string out(reinterpret_cast<const char *>(mem), size);
  xmlFree(mem);
  xmlFreeDoc(doc);
  return out;
}

}  // namespace

std::string tovi_conf_section_to_xml(tovi_conf_section_t section) {
  return dump_section(section, false);
}

std::string tovi_conf_root_name(void) {
  read_guard_t g;
  xmlNodePtr root = current_doc ? xmlDocGetRootElement(current_doc) : nullptr;
  return root ? std::string(reinterpret_cast<const char *>(root->name)) : std::string();
}

std::string tovi_conf_section_to_xml_masked(tovi_conf_section_t section) {
  return dump_section(section, true);
}

void tovi_conf_coalesce_changes(int seconds) {
  coalesce_seconds.store(seconds > 0 ? seconds : 1, std::memory_order_relaxed);
}

void tovi_conf_watch_and_journal_watchdog(void) {
  static std::once_flag once;
  std::call_once(once, [] {
    std::string path = current_path;
    if (path.empty()) return;
    // A detached thread that sleeps between looks costs nothing while idle; it lives as long as
    // the process.
    std::thread([path] {
      tovi_log_stream_t journal = tovi_log_stream_find("notice/config");
      struct stat st;
      struct timespec seen = {0, 0};
      if (stat(path.c_str(), &st) == 0) seen = st.st_mtim;
      for (;;) {
        std::this_thread::sleep_for(std::chrono::seconds(coalesce_seconds.load()));
        if (stat(path.c_str(), &st) != 0) continue;
        if (st.st_mtim.tv_sec == seen.tv_sec && st.st_mtim.tv_nsec == seen.tv_nsec) continue;
        seen = st.st_mtim;
        tovi_log(tovi_notice,
                 "configuration file '%s' changed on disk; the running daemon keeps the "
                 "configuration it started with until it is restarted",
                 path.c_str());
        tovi_log_fields(journal, ({"path", path}, {"mtime", (long long)seen.tv_sec}),
                        "configuration changed");
      }
    }).detach();
  });
}
