// Log streams and their outlets.
//
// Streams form a tree by name ("debug/rules" under "debug"). Each stream caches two things that
// writers read without taking a lock: whether it is enabled (an atomic flag) and the outlets it
// writes to (an immutable vector published through an atomic shared pointer). Both are
// recomputed for the whole tree, under the registry mutex, whenever a setting changes; settings
// change rarely (start-up, the console), lines are written all the time.
//
// A stream's state comes from the nearest stream on its path that was set by name; with none,
// a top-level stream is enabled unless it is "debug". Its outlets are likewise the nearest own
// outlets on its path, else standard error.
#include "tovi/tovi_log.h"
#include "tovi/tovi_text.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "tovi/tovi_assert.h"
#include "tovi/tovi_conf.h"

namespace {

struct outlet_t {
  std::string name;
  bool json = false;
  virtual ~outlet_t() = default;
  // `line` is the full line with its newline; `text` the bare message for callbacks.
  virtual void write(tovi_log_stream_t ls, const std::string &line, std::string_view text) = 0;
  virtual bool reopen() { return true; }
  virtual std::string describe() const = 0;
};

struct fd_outlet_t : outlet_t {
  int fd;
  explicit fd_outlet_t(int f) : fd(f) {}
  void write(tovi_log_stream_t, const std::string &line, std::string_view) override {
    // One write per line keeps lines from different threads whole.
    const char *p = line.data();
    size_t left = line.size();
    while (left > 0) {
      ssize_t n = ::write(fd, p, left);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      p += n;
      left -= n;
    }
  }
  std::string describe() const override { return "stderr"; }
};

struct file_outlet_t : outlet_t {
  std::string path;
  std::mutex lock;
  int fd = -1;
  int open_errno = 0;
  // Opens the file anew; on failure the file open before stays in use.
  bool open_file() {
    int nfd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
    if (nfd < 0) {
      open_errno = errno;
      return false;
    }
    std::lock_guard<std::mutex> g(lock);
    if (fd >= 0) ::close(fd);
    fd = nfd;
    return true;
  }
  void write(tovi_log_stream_t, const std::string &line, std::string_view) override {
    std::lock_guard<std::mutex> g(lock);
    if (fd < 0) return;
    ssize_t n = ::write(fd, line.data(), line.size());
    (void)n;
  }
  bool reopen() override {
    if (open_file()) return true;
    tovi_log(tovi_error, "cannot reopen log file %s: %s; still writing to the file open before",
             path.c_str(), strerror(open_errno));
    return false;
  }
  std::string describe() const override { return "file:" + path; }
};

struct memory_outlet_t : outlet_t {
  size_t max_lines = 1000, max_bytes = 1 << 20;
  std::mutex lock;
  std::deque<std::string> lines;
  size_t bytes = 0;
  void write(tovi_log_stream_t, const std::string &line, std::string_view) override {
    std::lock_guard<std::mutex> g(lock);
    lines.emplace_back(line, 0, line.empty() ? 0 : line.size() - 1);
    bytes += lines.back().size();
    while (!lines.empty() && (lines.size() > max_lines || bytes > max_bytes)) {
      bytes -= lines.front().size();
      lines.pop_front();
    }
  }
  std::string describe() const override {
    return "memory:" + std::to_string(max_lines) + "," + std::to_string(max_bytes);
  }
};

struct callback_outlet_t : outlet_t {
  tovi_log_callback_t callback;
  void write(tovi_log_stream_t ls, const std::string &, std::string_view text) override {
    callback(ls, text);
  }
  std::string describe() const override { return "callback"; }
};

typedef std::vector<outlet_t *> outlet_list_t;

}  // namespace

struct tovi_log_stream_s {
  std::string name;
  tovi_log_stream_s *parent = nullptr;
  std::atomic<bool> enabled{false};
  std::shared_ptr<const outlet_list_t> outlets;  // read with std::atomic_load
  // Guarded by the registry mutex:
  int explicit_state = -1;  // -1 follows the parent, 0 off, 1 on
  outlet_list_t own_outlets;
};

tovi_log_stream_t tovi_error;
tovi_log_stream_t tovi_notice;
tovi_log_stream_t tovi_debug;
tovi_log_stream_t tovi_stderr;

namespace {

struct registry_t {
  std::mutex lock;
  std::map<std::string, tovi_log_stream_s *> streams;
  std::map<std::string, outlet_t *> outlets;  // outlets live for the life of the process
  outlet_t *stderr_outlet = nullptr;
  // Settings made before the configuration was applied (the command line's -d, -l, -L): they
  // are applied again after <logs>, so that the command line wins.
  std::vector<std::pair<std::string, int>> early_states;
  bool configured = false;
  int configuring = 0;  // inside tovi_log_configure: its own settings are not early ones
};

registry_t &registry() {
  static registry_t *r = [] {
    auto *reg = new registry_t;
    auto *o = new fd_outlet_t(STDERR_FILENO);
    o->name = "stderr";
    reg->stderr_outlet = o;
    reg->outlets["stderr"] = o;
    return reg;
  }();
  return *r;
}

// REQUIRES: registry lock held.
void recompute_locked(registry_t &reg) {
  for (auto &[name, ls] : reg.streams) {
    int state = -1;
    const outlet_list_t *own = nullptr;
    for (tovi_log_stream_s *s = ls; s; s = s->parent) {
      if (state == -1 && s->explicit_state != -1) state = s->explicit_state;
      if (!own && !s->own_outlets.empty()) own = &s->own_outlets;
    }
    if (state == -1) {
      tovi_log_stream_s *top = ls;
      while (top->parent)
        top = top->parent;
      state = top->name == "debug" ? 0 : 1;
    }
    auto list = std::make_shared<outlet_list_t>(own ? *own : outlet_list_t{reg.stderr_outlet});
    std::atomic_store(&ls->outlets, std::shared_ptr<const outlet_list_t>(std::move(list)));
    ls->enabled.store(state == 1, std::memory_order_relaxed);
  }
}

// REQUIRES: registry lock held.
tovi_log_stream_s *find_locked(registry_t &reg, const std::string &name) {
  auto it = reg.streams.find(name);
  if (it != reg.streams.end()) return it->second;
  auto *ls = new tovi_log_stream_s;
  ls->name = name;
  size_t slash = name.rfind('/');
  if (slash != std::string::npos && slash > 0) ls->parent = find_locked(reg, name.substr(0, slash));
  reg.streams[name] = ls;
  return ls;
}

void set_state(const char *name, int state) {
  registry_t &reg = registry();
  std::lock_guard<std::mutex> g(reg.lock);
  if (!reg.configured && reg.configuring == 0) reg.early_states.emplace_back(name, state);
  tovi_log_stream_s *ls = find_locked(reg, name);
  ls->explicit_state = state;
  recompute_locked(reg);
}

struct init_t {
  init_t() {
    tovi_error = tovi_log_stream_find("error");
    tovi_notice = tovi_log_stream_find("notice");
    tovi_debug = tovi_log_stream_find("debug");
    tovi_stderr = tovi_log_stream_find("stderr");
  }
} init_streams;

int thread_number() {
  static std::atomic<int> next{1};
  thread_local int mine = next.fetch_add(1, std::memory_order_relaxed);
  return mine;
}

bool has_control(std::string_view s) {
  for (unsigned char c : s)
    if (c < 0x20 || c == 0x7f) return true;
  return false;
}

// A message in a text outlet is one line whatever it contains: control characters (a decoded
// "%0a" in a request path, a terminal escape) are written escaped, so no message can forge a
// line of its own or rewrite the operator's terminal.
void append_escaped_text(std::string &out, std::string_view s) {
  for (unsigned char c : s) {
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if ((c < 0x20 && c != '\t') || c == 0x7f) {
      char buf[8];
      snprintf(buf, sizeof(buf), "\\x%02x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
}

void append_field_value(std::string &out, const tovi_log_field_t &f, bool json) {
  char buf[64];
  switch (f.kind) {
    case tovi_log_field_t::TEXT: {
      bool plain = !json && !f.text.empty() &&
                   f.text.find_first_of(" \"=") == std::string_view::npos && !has_control(f.text);
      if (plain) {
        out.append(f.text);
      } else {
        tovi_json_escape_into(&out, f.text);
      }
      return;
    }
    case tovi_log_field_t::INT:
      snprintf(buf, sizeof(buf), "%lld", (long long)f.i);
      break;
    case tovi_log_field_t::UINT:
      snprintf(buf, sizeof(buf), "%llu", (unsigned long long)f.u);
      break;
    case tovi_log_field_t::DOUBLE:
      snprintf(buf, sizeof(buf), "%.17g", f.d);
      break;
  }
  out += buf;
}

void format_time(char *buf, size_t len) {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  struct tm tm;
  gmtime_r(&tv.tv_sec, &tm);
  size_t n = strftime(buf, len, "%Y-%m-%dT%H:%M:%S", &tm);
  snprintf(buf + n, len - n, ".%06ldZ", (long)tv.tv_usec);
}

}  // namespace

namespace {
std::atomic<bool> in_assert_log{false};
}  // namespace

[[noreturn]] void tovi_assert_fail(const char *expression, const char *file, int line) {
  char buf[1024];
  int n = snprintf(buf, sizeof(buf), "[FATAL] assertion (%s) at %s:%d failed\n", expression, file,
                   line);
  if (n > 0) {
    ssize_t w = ::write(STDERR_FILENO, buf, std::min<size_t>(n, sizeof(buf) - 1));
    (void)w;
    // Standard error is /dev/null for a daemon: the error log outlets must see it too. Only
    // when they are not standard error already, and never when the registry is what failed.
    if (!in_assert_log.exchange(true)) {
      auto outlets = std::atomic_load(&tovi_error->outlets);
      bool only_stderr =
          !outlets || (outlets->size() == 1 && (*outlets)[0] == registry().stderr_outlet);
      if (!only_stderr) tovi_log(tovi_error, "%.*s", n - 1, buf);
    }
  }
  abort();
}

tovi_log_stream_t tovi_log_stream_find(const char *name) {
  registry_t &reg = registry();
  std::lock_guard<std::mutex> g(reg.lock);
  auto it = reg.streams.find(name);
  if (it != reg.streams.end()) return it->second;
  tovi_log_stream_s *ls = find_locked(reg, name);
  recompute_locked(reg);
  return ls;
}

bool tovi_log_stream_enabled(tovi_log_stream_t ls) {
  // Relaxed: a line written just before or after a setting changes may go either way.
  return ls->enabled.load(std::memory_order_relaxed);
}

const char *tovi_log_stream_name(tovi_log_stream_t ls) {
  return ls->name.c_str();
}

void tovi_log_enable(const char *name) {
  set_state(name, 1);
}
void tovi_log_disable(const char *name) {
  set_state(name, 0);
}

void tovi_log_write(tovi_log_stream_t ls, std::initializer_list<tovi_log_field_t> fields,
                    const char *fmt, ...) {
  char stack[1024];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(stack, sizeof(stack), fmt, ap);
  va_end(ap);
  if (n < 0) return;
  if (static_cast<size_t>(n) < sizeof(stack)) {
    tovi_log_write_text(ls, fields, std::string_view(stack, n));
    return;
  }
  std::string big(n + 1, '\0');
  va_start(ap, fmt);
  vsnprintf(big.data(), big.size(), fmt, ap);
  va_end(ap);
  big.resize(n);
  tovi_log_write_text(ls, fields, big);
}

void tovi_log_write_text(tovi_log_stream_t ls, std::initializer_list<tovi_log_field_t> fields,
                         std::string_view text) {
  while (!text.empty() && text.back() == '\n')
    text.remove_suffix(1);
  std::shared_ptr<const outlet_list_t> outlets = std::atomic_load(&ls->outlets);
  if (!outlets) return;
  char when[48];
  format_time(when, sizeof(when));
  std::string plain, json;
  for (outlet_t *o : *outlets) {
    std::string &line = o->json ? json : plain;
    if (line.empty()) {
      if (o->json) {
        line = "{\"time\":\"";
        line += when;
        line += "\",\"thread\":" + std::to_string(thread_number()) + ",\"stream\":";
        tovi_json_escape_into(&line, ls->name);
        line += ",\"message\":";
        tovi_json_escape_into(&line, text);
        for (const auto &f : fields) {
          line += ',';
          tovi_json_escape_into(&line, f.key);
          line += ':';
          if (f.kind == tovi_log_field_t::TEXT) {
            tovi_json_escape_into(&line, f.text);
          } else {
            append_field_value(line, f, true);
          }
        }
        line += "}\n";
      } else {
        line.reserve(text.size() + 64);
        line += when;
        line += " [t" + std::to_string(thread_number()) + "] ";
        line += ls->name;
        line += ": ";
        append_escaped_text(line, text);
        for (const auto &f : fields) {
          line += ' ';
          line += f.key;
          line += '=';
          append_field_value(line, f, false);
        }
        line += '\n';
      }
    }
    o->write(ls, line, text);
  }
}

void tovi_log_outlet_register_callback(const char *outlet_name, tovi_log_callback_t callback) {
  registry_t &reg = registry();
  std::lock_guard<std::mutex> g(reg.lock);
  tovi_assert(reg.outlets.find(outlet_name) == reg.outlets.end());
  auto *o = new callback_outlet_t;
  o->name = outlet_name;
  o->callback = std::move(callback);
  reg.outlets[outlet_name] = o;
}

bool tovi_log_stream_add_outlet(const char *stream_name, const char *outlet_name) {
  registry_t &reg = registry();
  std::lock_guard<std::mutex> g(reg.lock);
  auto it = reg.outlets.find(outlet_name);
  if (it == reg.outlets.end()) return false;
  tovi_log_stream_s *ls = find_locked(reg, stream_name);
  for (outlet_t *o : ls->own_outlets)
    if (o == it->second) return true;
  ls->own_outlets.push_back(it->second);
  recompute_locked(reg);
  return true;
}

bool tovi_log_memory_outlet_exists(const char *outlet_name) {
  registry_t &reg = registry();
  std::lock_guard<std::mutex> g(reg.lock);
  auto it = reg.outlets.find(outlet_name);
  return it != reg.outlets.end() && dynamic_cast<memory_outlet_t *>(it->second) != nullptr;
}

std::vector<std::string> tovi_log_memory_lines(const char *outlet_name) {
  registry_t &reg = registry();
  outlet_t *o;
  {
    std::lock_guard<std::mutex> g(reg.lock);
    auto it = reg.outlets.find(outlet_name);
    if (it == reg.outlets.end()) return {};
    o = it->second;
  }
  auto *m = dynamic_cast<memory_outlet_t *>(o);
  if (!m) return {};
  std::lock_guard<std::mutex> g(m->lock);
  return std::vector<std::string>(m->lines.begin(), m->lines.end());
}

namespace {

bool parse_size_pair(const std::string &text, size_t *lines, size_t *bytes) {
  unsigned long long a = 0, b = 0;
  char extra;
  int n = sscanf(text.c_str(), "%llu,%llu%c", &a, &b, &extra);
  if (n == 2 && a > 0 && b > 0) {
    *lines = a;
    *bytes = b;
    return true;
  }
  n = sscanf(text.c_str(), "%llu%c", &a, &extra);
  if (n == 1 && a > 0) {
    *lines = a;
    return true;
  }
  return false;
}

}  // namespace

bool tovi_log_outlet_create_memory(const char *name, const char *size) {
  auto *m = new memory_outlet_t;
  if (!name || !*name || !size || !parse_size_pair(size, &m->max_lines, &m->max_bytes)) {
    tovi_log(tovi_error, "memory outlet '%s': size '%s' is not \"lines,bytes\"", name ? name : "",
             size ? size : "");
    delete m;
    return false;
  }
  m->name = name;
  registry_t &reg = registry();
  std::lock_guard<std::mutex> g(reg.lock);
  if (reg.outlets.count(name)) {
    // Replacing an outlet would leave writers with a dangling pointer; names are unique.
    delete m;
    return false;
  }
  reg.outlets[name] = m;
  return true;
}

bool tovi_log_configure(void) {
  registry_t &reg = registry();
  bool again;
  {
    std::lock_guard<std::mutex> g(reg.lock);
    reg.configuring++;
    again = reg.configured;
  }
  tovi_conf_section_read_hold();
  bool ok = true;
  for (tovi_conf_section_t s : tovi_conf_get_sections(nullptr, "/*/logs/outlet")) {
    std::string name, type = "stderr", format = "text";
    tovi_conf_get_string(s, "@name", &name);
    tovi_conf_get_string(s, "@type", &type);
    tovi_conf_get_string(s, "@format", &format);
    if (name.empty()) {
      tovi_log(tovi_stderr, "logs/outlet: an outlet needs a name");
      ok = false;
      continue;
    }
    if (format != "text" && format != "json") {
      tovi_log(tovi_stderr, "logs/outlet[@name='%s']/@format: '%s' is neither text nor json",
               name.c_str(), format.c_str());
      ok = false;
      continue;
    }
    if (again) {
      // Applied once already (the watchdog does, before it starts the daemon): the outlets
      // made then, and their open files, are kept.
      std::lock_guard<std::mutex> g(reg.lock);
      if (reg.outlets.count(name)) continue;
    }
    outlet_t *o = nullptr;
    if (type == "stderr") {
      o = new fd_outlet_t(STDERR_FILENO);
    } else if (type == "file") {
      auto *f = new file_outlet_t;
      tovi_conf_get_string(s, "@path", &f->path);
      if (f->path.empty() || !f->open_file()) {
        tovi_log(tovi_stderr, "logs/outlet[@name='%s']/@path: cannot open '%s' for writing: %s",
                 name.c_str(), f->path.c_str(), strerror(errno));
        delete f;
        ok = false;
        continue;
      }
      o = f;
    } else if (type == "memory") {
      auto *m = new memory_outlet_t;
      std::string size;
      if (tovi_conf_get_string(s, "@size", &size) &&
          !parse_size_pair(size, &m->max_lines, &m->max_bytes)) {
        tovi_log(tovi_stderr, "logs/outlet[@name='%s']/@size: '%s' is not \"lines,bytes\"",
                 name.c_str(), size.c_str());
        delete m;
        ok = false;
        continue;
      }
      o = m;
    } else {
      tovi_log(tovi_stderr, "logs/outlet[@name='%s']/@type: unknown type '%s'", name.c_str(),
               type.c_str());
      ok = false;
      continue;
    }
    o->name = name;
    o->json = format == "json";
    std::lock_guard<std::mutex> g(reg.lock);
    if (reg.outlets.count(name)) {
      // Replacing an outlet would leave writers with a dangling pointer; names are unique.
      tovi_log(tovi_stderr, "logs/outlet[@name='%s']: the name is taken", name.c_str());
      delete o;
      ok = false;
      continue;
    }
    reg.outlets[name] = o;
  }
  for (tovi_conf_section_t s : tovi_conf_get_sections(nullptr, "/*/logs/log")) {
    std::string name, outlets;
    bool disabled = false;
    tovi_conf_get_string(s, "@name", &name);
    if (name.empty()) {
      tovi_log(tovi_stderr, "logs/log: a log needs a name");
      ok = false;
      continue;
    }
    if (tovi_conf_exists(s, "@disabled")) {
      if (!tovi_conf_get_boolean(s, "@disabled", &disabled)) {
        ok = false;
        continue;
      }
      if (disabled) {
        tovi_log_disable(name.c_str());
      } else {
        tovi_log_enable(name.c_str());
      }
    }
    if (tovi_conf_get_string(s, "@outlets", &outlets)) {
      std::stringstream ss(outlets);
      std::string one;
      while (std::getline(ss, one, ',')) {
        if (one.empty()) continue;
        if (!tovi_log_stream_add_outlet(name.c_str(), one.c_str())) {
          tovi_log(tovi_stderr, "logs/log[@name='%s']/@outlets: no outlet named '%s'", name.c_str(),
                   one.c_str());
          ok = false;
        }
      }
    }
  }
  tovi_conf_section_read_release();
  std::vector<std::pair<std::string, int>> early;
  {
    std::lock_guard<std::mutex> g(reg.lock);
    early = reg.early_states;
  }
  for (const auto &[name, state] : early) {
    if (state)
      tovi_log_enable(name.c_str());
    else
      tovi_log_disable(name.c_str());
  }
  std::lock_guard<std::mutex> g(reg.lock);
  reg.configuring--;
  reg.configured = true;
  return ok;
}

void tovi_log_rotate_init(const char *app_name, bool compress) {
  // Rotation is done outside (logrotate and the like): SIGHUP asks us to reopen our files.
  // Compression is the rotating tool's business, so it is only noted.
  (void)compress;
  tovi_log(tovi_debug, "%s: file outlets are reopened on SIGHUP", app_name);
}

int tovi_log_reopen_files(void) {
  registry_t &reg = registry();
  std::vector<outlet_t *> all;
  {
    std::lock_guard<std::mutex> g(reg.lock);
    for (auto &[name, o] : reg.outlets)
      all.push_back(o);
  }
  int failed = 0;
  for (outlet_t *o : all)
    if (!o->reopen()) failed++;
  if (failed == 0) tovi_log(tovi_notice, "log files reopened");
  return failed;
}

void tovi_log_reopen(void) {
  tovi_log_reopen_files();
}

std::vector<std::string> tovi_log_describe_streams(bool configured_only) {
  registry_t &reg = registry();
  std::vector<std::string> lines;
  std::lock_guard<std::mutex> g(reg.lock);
  for (auto &[name, ls] : reg.streams) {
    if (configured_only && ls->explicit_state == -1 && ls->own_outlets.empty()) continue;
    std::string line = name + (ls->enabled.load() ? " enabled" : " disabled") + " ->";
    auto outlets = std::atomic_load(&ls->outlets);
    for (outlet_t *o : *outlets)
      line += " " + o->name + "(" + o->describe() + ")";
    lines.push_back(std::move(line));
  }
  return lines;
}

std::vector<std::string> tovi_log_stream_names(void) {
  registry_t &reg = registry();
  std::vector<std::string> names;
  std::lock_guard<std::mutex> g(reg.lock);
  for (auto &[name, ls] : reg.streams)
    names.push_back(name);
  return names;
}

void tovi_conf_write_log(void) {
  static tovi_log_stream_t config_ls = tovi_log_stream_find("notice/config");
  for (const auto &l : tovi_log_describe_streams(true))
    tovi_log(config_ls, "log %s", l.c_str());
}

void tovi_log_stream_add_outlets_of(const char *stream_name, const char *from_stream_name) {
  registry_t &reg = registry();
  std::lock_guard<std::mutex> g(reg.lock);
  tovi_log_stream_s *from = find_locked(reg, from_stream_name);
  tovi_log_stream_s *ls = find_locked(reg, stream_name);
  recompute_locked(reg);  // a stream found just now has no resolved outlets yet
  std::shared_ptr<const outlet_list_t> resolved = std::atomic_load(&from->outlets);
  if (!resolved) return;
  for (outlet_t *o : *resolved) {
    bool present = false;
    for (outlet_t *mine : ls->own_outlets)
      if (mine == o) present = true;
    if (!present) ls->own_outlets.push_back(o);
  }
  recompute_locked(reg);
}
