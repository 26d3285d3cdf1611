#include "store_load.h"

#include <chrono>
#include <climits>
#include <string>

#include "maintenance.h"
#include "rules/rules.h"
#include "store/store.h"
#include "tovi/tovi_conf.h"
#include "tovi/tovi_log.h"

namespace {

// Definitions handed to a parser per call: the parsers take JSON arrays, and a bounded text keeps
// the memory of a large store's load small.
constexpr size_t chunk_bytes = 4 << 20;

std::string resolve(const std::string &file) {
  if (file.empty() || file[0] == '/') return file;
  const std::string &conf = tovi_conf_path();
  size_t slash = conf.rfind('/');
  return slash == std::string::npos ? file : conf.substr(0, slash + 1) + file;
}

// Hands every stored definition of the kind to `parse` in JSON arrays of about chunk_bytes, each
// array of one source (and rule file), under that source. Returns how many were read.
template <typename Parse>
size_t load_kind(store_kind_t kind, Parse parse) {
  std::string text = "[";
  store_source_t source = STORE_SOURCE_API;
  std::string origin;
  size_t n = 0;
  auto flush = [&] {
    if (text.size() <= 1) return;
    text += "]";
    store_source_scope_c scope(source, origin);
    parse(text);
    text = "[";
  };
  store_each_definition(kind, [&](const store_definition_t &d) {
    if (d.source != source || d.origin != origin) {
      flush();
      source = d.source;
      origin = d.origin;
    }
    if (text.size() > 1) text += ",";
    text += d.json;
    n++;
    if (text.size() >= chunk_bytes) flush();
  });
  flush();
  return n;
}

}  // namespace

void store_load_start(void) {
  std::string file;
  if (!tovi_conf_get_string(nullptr, "//orvane/store/@file", &file) || file.empty()) return;
  std::string api;
  bool with_api = false;
  tovi_conf_get_boolean(nullptr, "//orvane/store/@with_api", &with_api);
  if (tovi_conf_get_string(nullptr, "//orvane/api/base", &api) && !api.empty() && !with_api) {
    tovi_log(tovi_notice,
             "store '%s' not used: the management API is the source of definitions (with_api "
             "keeps the store as its cache)\n",
             file.c_str());
    return;
  }
  std::string path = resolve(file);
  std::string error;
  if (!store_open(path, &error)) return;

  auto started = std::chrono::steady_clock::now();
  store_loading_scope_c loading;
  size_t windows = load_kind(STORE_MAINTENANCE, [](const std::string &text) {
    uint64_t hwm = 0;
    int errors = 0;
    parse_maint_windows_text(text, &hwm, &errors, nullptr);
  });
  size_t rulesets = load_kind(STORE_RULESET, [](const std::string &text) {
    int errors = 0;
    parse_ruleset_text(text, nullptr, &errors, nullptr);
  });
  double definitions_s =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  // Streams stored as raised: their consumers hold that severity, so the first clear of the
  // stream that comes back under the signature is announced.
  size_t raised = 0;
  // Only the newest ones the memory can hold: older ones would be forgotten at once.
  store_each_raised_stream_state(raised_memory_limit(), [&raised](const store_stream_state_t &s) {
    raised_memory_entry_t entry;
    entry.ecid = s.ecid;
    entry.signature = s.signature;
    entry.sev = s.sev;
    entry.rule = s.rule;
    entry.culled_ms = s.ms;
    raised_memory_remember(entry);
    raised++;
  });
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  tovi_log(tovi_notice,
           "store '%s': %zu rulesets, %zu maintenance windows and %zu raised streams loaded in "
           "%.3fs (definitions %.3fs)\n",
           path.c_str(), rulesets, windows, raised, seconds, definitions_s);
}

void store_load_stop(void) {
  store_close();
}
