// Rule files: the directory's JSON files checked by the check commands in a child process, loaded
// through the modules' own parsers under the file's source, and what a file no longer defines
// removed. What each file defined is remembered (from the store at start) so that a change or a
// removal of the file can take the definitions it dropped away.
#include "rule_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <json-c/json.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <vector>

#include "json_elements.h"
#include "maintenance.h"
#include "rest_load.h"
#include "rules/rules.h"
#include "store/store.h"
#include "tovi/eventer.h"
#include "tovi/tovi_assert.h"
#include "tovi/tovi_conf.h"
#include "tovi/tovi_console.h"
#include "tovi/tovi_http.h"
#include "tovi/tovi_log.h"
#include "tovi/tovi_memory.h"
#include "tovi/tovi_text.h"

extern char **environ;

namespace {

// Largest rule file read; a larger one is refused.
constexpr size_t max_file_bytes = 256u << 20;
// How long a check command may take before the file is refused.
constexpr int check_timeout_ms = 120000;
// Most bytes of a check's findings kept as the reason of a refusal.
constexpr size_t max_reason_bytes = 2000;

// What one file defined when it was last loaded.
struct loaded_file_t {
  std::string content;  // the text loaded (to tell an unchanged file); empty when from the store
  bool windows = false;
  std::set<uint64_t> ids;
};

std::mutex reload_lock;
std::string directory;                       // empty: no rule files
std::map<std::string, loaded_file_t> files;  // guarded by reload_lock, by file name

std::string resolve(const std::string &dir) {
  if (dir.empty() || dir[0] == '/') return dir;
  const std::string &conf = tovi_conf_path();
  size_t slash = conf.rfind('/');
  return slash == std::string::npos ? dir : conf.substr(0, slash + 1) + dir;
}

bool read_file(const std::string &path, std::string *out, std::string *error) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    *error = "cannot be read";
    return false;
  }
  if (size_t(st.st_size) > max_file_bytes) {
    *error = "larger than " + std::to_string(max_file_bytes) + " bytes";
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  if (!in && !in.eof()) {
    *error = "cannot be read";
    return false;
  }
  *out = s.str();
  return true;
}

// Runs this program's check command on the file; true when it passes. Otherwise *reason holds
// its findings (the lines that are not "ok").
bool check_file(const std::string &path, bool windows, std::string *reason) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    *reason = std::string("cannot run the check: ") + strerror(errno);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const char *option = windows ? "--check-maintenance" : "--check-rulesets";
  char exe[] = "/proc/self/exe";
  char *argv[] = {exe, const_cast<char *>(option), const_cast<char *>(path.c_str()), nullptr};
  pid_t pid = -1;
  int rc = posix_spawn(&pid, exe, &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (rc != 0) {
    close(out[0]);
    *reason = std::string("cannot run the check: ") + strerror(rc);
    return false;
  }
  std::string text;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(check_timeout_ms);
  bool timed_out = false;
  for (;;) {
    int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(
                       deadline - std::chrono::steady_clock::now())
                       .count());
    if (left <= 0) {
      timed_out = true;
      break;
    }
    struct pollfd p = {out[0], POLLIN, 0};
    if (poll(&p, 1, left) < 0 && errno != EINTR) break;
    char buf[4096];
    ssize_t n = read(out[0], buf, sizeof buf);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      break;
    }
    // Only the findings are kept, and only so many.
    if (text.size() < 64 * 1024) text.append(buf, size_t(n));
  }
  close(out[0]);
  if (timed_out) kill(pid, SIGKILL);
  int status = 0;
  pid_t waited;
  while ((waited = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
  }
  if (waited != pid) {
    // Without the check's status the file is not taken.
    *reason = std::string("cannot tell the check's outcome: ") + strerror(errno);
    return false;
  }
  if (timed_out) {
    *reason = "the check took too long";
    return false;
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.size() >= 3 && line.compare(line.size() - 3, 3, " ok") == 0) continue;
    if (reason->size() + line.size() > max_reason_bytes) break;
    if (!reason->empty()) *reason += "\n";
    *reason += line;
  }
  if (reason->empty()) *reason = "refused by the check";
  return false;
}

// The ids of the array's elements, and whether it is an array of maintenance windows.
bool ids_of(const std::string &text, bool *windows, std::set<uint64_t> *ids) {
  json_object *doc = json_tokener_parse(text.c_str());
  if (!doc || !json_object_is_type(doc, json_type_array)) {
    json_object_put(doc);
    return false;
  }
  size_t n = json_object_array_length(doc);
  *windows = false;
  for (size_t i = 0; i < n; i++) {
    json_object *el = json_object_array_get_idx(doc, i);
    if (!json_object_is_type(el, json_type_object)) continue;
    json_object *v = nullptr;
    bool is_window = json_object_object_get_ex(el, "maintenance_id", &v) &&
                     !json_object_object_get_ex(el, "event_criteria_id", nullptr);
    if (i == 0) *windows = is_window;
    if (!is_window) json_object_object_get_ex(el, "event_criteria_id", &v);
    if (v && json_object_is_type(v, json_type_int))
      ids->insert(json_object_get_uint64(v));
    else if (v && json_object_is_type(v, json_type_string)) {
      uint64_t id = 0;
      if (tovi_decimal_u64(json_object_get_string(v), &id)) ids->insert(id);
    }
  }
  json_object_put(doc);
  return true;
}

// Removes what a file defined and no longer does, as that file.
size_t remove_ids(const std::string &name, bool windows, const std::set<uint64_t> &ids) {
  store_source_scope_c source(STORE_SOURCE_FILE, name);
  store_kind_t kind = windows ? STORE_MAINTENANCE : STORE_RULESET;
  // An id another file took over meanwhile is that file's now.
  std::set<uint64_t> ours;
  for (uint64_t id : ids) {
    store_definition_t d;
    if (!store_source_of(kind, id, &d) || d.source != STORE_SOURCE_FILE || d.origin == name)
      ours.insert(id);
  }
  if (ours.empty()) return 0;
  size_t n = 0;
  if (windows) {
    for (uint64_t id : ours)
      if (maint_window_delete(id)) n++;
    return n;
  }
  std::string text = "[";
  for (uint64_t id : ours) {
    if (text.size() > 1) text += ",";
    text += "{\"event_criteria_id\": " + std::to_string(id) + ", \"rules\": []}";
  }
  text += "]";
  int errors = 0;
  int done = parse_ruleset_text(text, nullptr, &errors, nullptr);
  return done > 0 ? size_t(done) : 0;
}

struct outcome_t {
  std::string file, status, error;
  size_t definitions = 0, removed = 0;
};

outcome_t load_one(const std::string &name) {
  outcome_t o;
  o.file = name;
  std::string path = directory + "/" + name;
  std::string text, error;
  if (!read_file(path, &text, &error)) {
    o.status = "refused";
    o.error = error;
    return o;
  }
  loaded_file_t &before = files[name];
  if (!before.content.empty() && before.content == text) {
    o.status = "unchanged";
    o.definitions = before.ids.size();
    return o;
  }
  loaded_file_t next;
  next.content = text;
  json_document_t doc = json_document_check(text);
  if (!doc.ok || !doc.is_array || !ids_of(text, &next.windows, &next.ids)) {
    o.status = "refused";
    o.error = doc.ok ? "the document is not a JSON array of definitions" : doc.error;
  } else if (!check_file(path, next.windows, &o.error)) {
    o.status = "refused";
  }
  if (o.status == "refused") {
    if (before.ids.empty() && before.content.empty()) files.erase(name);
    return o;
  }
  // Load first, then remove what is gone: an id that moved between files is never absent.
  {
    store_source_scope_c source(STORE_SOURCE_FILE, name);
    int errors = 0;
    uint64_t hwm = 0;
    int done = next.windows ? parse_maint_windows_text(text, &hwm, &errors, nullptr)
                            : parse_ruleset_text(text, nullptr, &errors, nullptr);
    o.definitions = done > 0 ? size_t(done) : 0;
    if (errors) {
      o.error = std::to_string(errors) + " definitions not applied (see the error log)";
    }
  }
  std::set<uint64_t> gone;
  std::set_difference(before.ids.begin(), before.ids.end(), next.ids.begin(), next.ids.end(),
                      std::inserter(gone, gone.end()));
  o.removed = remove_ids(name, before.windows, gone);
  o.status = "loaded";
  before = std::move(next);
  return o;
}

std::vector<std::string> list_directory(std::string *error) {
  std::vector<std::string> names;
  DIR *d = opendir(directory.c_str());
  if (!d) {
    *error = std::string("cannot open the directory: ") + strerror(errno);
    return names;
  }
  while (struct dirent *e = readdir(d)) {
    std::string name = e->d_name;
    if (name.size() > 5 && name.compare(name.size() - 5, 5, ".json") == 0 && name[0] != '.')
      names.push_back(name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

std::string outcomes_json(const std::vector<outcome_t> &outcomes, const std::string &error) {
  json_object *o = json_object_new_object();
  json_object *list = json_object_new_array();
  int errors = 0;
  for (const outcome_t &r : outcomes) {
    json_object *f = json_object_new_object();
    json_object_object_add(f, "file", json_object_new_string(r.file.c_str()));
    json_object_object_add(f, "status", json_object_new_string(r.status.c_str()));
    json_object_object_add(f, "definitions", json_object_new_uint64(r.definitions));
    json_object_object_add(f, "removed", json_object_new_uint64(r.removed));
    if (!r.error.empty())
      json_object_object_add(f, "error", json_object_new_string(r.error.c_str()));
    if (r.status == "refused") errors++;
    json_object_array_add(list, f);
  }
  json_object_object_add(o, "files", list);
  json_object_object_add(o, "errors", json_object_new_int(errors));
  if (!error.empty()) json_object_object_add(o, "error", json_object_new_string(error.c_str()));
  std::string text = tovi_json_utf8_safe(json_object_to_json_string_ext(o, JSON_C_TO_STRING_PLAIN));
  json_object_put(o);
  return text + "\n";
}

// ---- REST and console --------------------------------------------------------------------------

int reload_rest_post(tovi_http_rest_closure_t *restc, int, char **) {
  if (directory.empty()) {
    tovi_http_response_json_error(restc, 400, "Bad Request",
                                  "no rule file directory is configured");
    return TOVI_HTTP_DONE;
  }
  tovi_http_response_standard(restc, 200, "OK", "application/json");
  return rest_load_answer_from_job(restc, rest_loads_jobq(), [] { return rule_files_reload(); });
}

int source_reply(tovi_http_rest_closure_t *restc, store_kind_t kind, const char *id_key,
                 const char *pat, bool held) {
  uint64_t id = 0;
  if (!tovi_decimal_u64(pat, &id) || !held) {
    tovi_http_response_json_error(restc, 500, "ERROR",
                                  kind == STORE_RULESET ? "no such ruleset" : "no such window");
    return TOVI_HTTP_DONE;
  }
  store_definition_t d;
  if (!store_source_of(kind, id, &d)) d.source = STORE_SOURCE_API;
  json_object *o = json_object_new_object();
  json_object_object_add(o, id_key, json_object_new_uint64(id));
  json_object_object_add(o, "source", json_object_new_string(store_source_name(d.source)));
  if (!d.origin.empty())
    json_object_object_add(o, "file", json_object_new_string(d.origin.c_str()));
  json_object_object_add(o, "stored", json_object_new_boolean(store_enabled()));
  tovi_http_response_standard(restc, 200, "OK", "application/json");
  tovi_http_response_append_json(restc, o);
  tovi_http_response_append_str(restc, "\n");
  tovi_http_response_end(restc);
  json_object_put(o);
  return TOVI_HTTP_DONE;
}

int ruleset_source_get(tovi_http_rest_closure_t *restc, int npats, char **pats) {
  uint64_t id = 0;
  bool held = npats == 1 && tovi_decimal_u64(pats[0], &id) && ruleset_is_held(id);
  return source_reply(restc, STORE_RULESET, "event_criteria_id", npats == 1 ? pats[0] : "", held);
}

int window_source_get(tovi_http_rest_closure_t *restc, int npats, char **pats) {
  uint64_t id = 0;
  bool held = false;
  if (npats == 1 && tovi_decimal_u64(pats[0], &id)) {
    tovi_memory_scope_c bracket;
    held = get_maint_window_by_id(id) != nullptr;
  }
  return source_reply(restc, STORE_MAINTENANCE, "maintenance_id", npats == 1 ? pats[0] : "", held);
}

int console_reload_job(eventer_t, int mask, void *, struct timeval *) {
  if (mask == EVENTER_ASYNCH_WORK) {
    std::string report = rule_files_reload();
    tovi_log(tovi_notice, "rule files reloaded: %s", report.c_str());
  }
  return 0;
}

int console_reload_files(tovi_console_t *console, int, const char *const *, void *) {
  if (directory.empty()) {
    tovi_console_printf(console, "no rule file directory is configured\n");
    return -1;
  }
  eventer_add_asynch(rest_loads_jobq(), eventer_alloc_asynch(console_reload_job, nullptr));
  tovi_console_printf(console,
                      "reloading the rule files of %s (the outcome goes to the notice log)\n",
                      directory.c_str());
  return 0;
}

}  // namespace

std::string rule_files_reload(void) {
  std::lock_guard<std::mutex> guard(reload_lock);
  std::vector<outcome_t> outcomes;
  std::string error;
  std::vector<std::string> names = list_directory(&error);
  if (!error.empty()) {
    // A directory that cannot be read removes nothing: files are taken away one by one.
    tovi_log(tovi_error, "rule files '%s': %s\n", directory.c_str(), error.c_str());
    return outcomes_json(outcomes, error);
  }
  for (const std::string &name : names) {
    outcomes.push_back(load_one(name));
    const outcome_t &o = outcomes.back();
    if (o.status == "refused")
      tovi_log(tovi_error, "rule file '%s' refused, the version loaded before stays: %s\n",
               name.c_str(), o.error.c_str());
    else if (o.status == "loaded")
      tovi_log(tovi_notice, "rule file '%s' loaded: %zu definitions, %zu removed\n", name.c_str(),
               o.definitions, o.removed);
  }
  for (auto it = files.begin(); it != files.end();) {
    if (std::binary_search(names.begin(), names.end(), it->first)) {
      ++it;
      continue;
    }
    outcome_t o;
    o.file = it->first;
    o.status = "removed";
    o.removed = remove_ids(it->first, it->second.windows, it->second.ids);
    tovi_log(tovi_notice, "rule file '%s' is gone: %zu definitions removed\n", it->first.c_str(),
             o.removed);
    outcomes.push_back(o);
    it = files.erase(it);
  }
  return outcomes_json(outcomes, error);
}

void rule_files_init(void) {
  auto cert = tovi_http_rest_client_cert_auth;
  tovi_assert(tovi_http_rest_register_auth("POST", "/", "^reload$", reload_rest_post, cert) == 0);
  tovi_assert(tovi_http_rest_register_auth("GET", "/ruleset/source/", "^(\\d+)$",
                                           ruleset_source_get, cert) == 0);
  tovi_assert(tovi_http_rest_register_auth("GET", "/maintenance/source/", "^(\\d+)$",
                                           window_source_get, cert) == 0);
  tovi_console_command_register("reload files", console_reload_files, nullptr,
                                "reload files: load the rule files again", nullptr);

  std::string dir;
  if (!tovi_conf_get_string(nullptr, "//orvane/rule_files/@directory", &dir) || dir.empty()) return;
  directory = resolve(dir);
  {
    // What the files defined when the daemon last ran: a file removed meanwhile takes it away.
    std::lock_guard<std::mutex> guard(reload_lock);
    for (store_kind_t kind : {STORE_RULESET, STORE_MAINTENANCE})
      for (const store_definition_t &d : store_definitions_from(kind, STORE_SOURCE_FILE)) {
        loaded_file_t &f = files[d.origin];
        f.windows = kind == STORE_MAINTENANCE;
        f.ids.insert(d.id);
      }
  }
  rule_files_reload();
}
