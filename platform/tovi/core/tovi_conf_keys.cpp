// The configuration key table and the check of a document against it.
//
// Each line of `keys` names one element or attribute as the readers address it: "/queltd/..."
// from the root, "//a/b" anywhere ("//network//alerts/exchange": any depth between), an
// attribute as ".../@name". The elements on the way to a key (its prefixes) are known without
// lines of their own. A line may say what its value must be: an integer in a range, a boolean,
// or one of a few words; a plain text needs no more than its path. Keys that several elements take
// alike (the line listeners, the mapping of samples to metric lines, the alert outlets) are
// written once, as a family, and laid under each of its elements.
//
// To add a key: add one line below, in its section (or in its family), and a row in
// docs/configuration.md.
#include "tovi/tovi_conf_keys.h"

#include <libxml/tree.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tovi/tovi_conf.h"
#include "tovi/tovi_log.h"

namespace {

enum key_kind_t { K_TEXT, K_INT, K_BOOL, K_CHOICE, K_FILE };

struct conf_key_t {
  std::string path;
  key_kind_t kind = K_TEXT;
  long long lo = 0, hi = 0;  // K_INT
  const char *choices = "";  // K_CHOICE: words separated by '|'
};

constexpr long long i32 = INT_MAX;

conf_key_t text(std::string p) {
  return {std::move(p), K_TEXT};
}
conf_key_t integer(std::string p, long long lo, long long hi = i32) {
  return {std::move(p), K_INT, lo, hi};
}
conf_key_t boolean(std::string p) {
  return {std::move(p), K_BOOL};
}
// A file the daemon reads at start-up: it must exist (relative paths from the current directory,
// which is the daemon's working directory when the unit runs the check).
conf_key_t file(std::string p) {
  return {std::move(p), K_FILE};
}
conf_key_t choice(std::string p, const char *words) {
  return {std::move(p), K_CHOICE, 0, 0, words};
}

typedef std::vector<conf_key_t> key_list_t;

// A family's keys (paths relative to one of its elements) under each element in turn:
// under("//notify", {"webhook"}, {text("@url")}) is "//notify/webhook/@url".
key_list_t under(const char *parent, std::initializer_list<const char *> elements,
                 const key_list_t &family) {
  key_list_t out;
  for (const char *element : elements)
    for (const conf_key_t &k : family) {
      out.push_back(k);
      out.back().path = std::string(parent) + "/" + element + "/" + k.path;
    }
  return out;
}

key_list_t join(std::initializer_list<key_list_t> parts) {
  key_list_t out;
  for (const key_list_t &part : parts)
    out.insert(out.end(), part.begin(), part.end());
  return out;
}

// ---- Families ----------------------------------------------------------------------------------

// A TCP listener of metric lines (vask_intake): the line listener and those of other formats.
const key_list_t line_listener = {
    text("@address"),
    integer("@port", 0, 65535),
    integer("@max_line_bytes", 64, 16777216),
    integer("@max_connections", 1, LLONG_MAX),
    integer("@idle_timeout_s", 0),
};

// How the samples of a format other than metric lines map to metric lines (vask_intake,
// vask_intake_http).
const key_list_t sample_mapping = {
    integer("@account", 0, LLONG_MAX),
    text("@account_label"),
    text("@check_uuid_label"),
    text("@check_id_label"),
    text("@host_label"),
    text("@broker"),
    text("@module"),
    text("@name_separator"),
    text("@identity"),
    integer("@host_node", INT_MIN),
};

// An alert outlet beside the bus (outlets), of either kind.
const key_list_t alert_outlet = {
    text("@name"),
    text("@url"),
    text("url"),
    integer("@queue_size", 1, LLONG_MAX),
    integer("@batch", 1, LLONG_MAX),
    integer("@timeout_ms", 1, LLONG_MAX),
    integer("@retry_initial_ms", 1, LLONG_MAX),
    integer("@retry_max_ms", 1, LLONG_MAX),
    integer("@resend_interval_ms", 1, LLONG_MAX),
    text("@generator_url"),
    choice("@format", "bus|compact"),
    text("@bearer_token"),
    text("@hmac_secret"),
    text("@signature_header"),
    file("@ca_file"),
    file("@cert_file"),
    file("@key_file"),
    boolean("@verify"),
};

// One key a line, in sections; a family is laid under its elements where its keys belong.
// clang-format off
const std::vector<conf_key_t> &keys() {
  static const key_list_t table = join({
    {
      // process (tovi_main)
      text("/queltd/lockfile"),
      text("/queltd/pidfile"),
      text("/queltd/runas/@user"),
      text("/queltd/runas/@group"),
      // event loop and job queues (eventer, eventer_jobq)
      integer("//eventer/config/concurrency", 1, 4096),
      integer("//eventer/config/recurrent_idle_ms", 1),
      text("//eventer/pools/pool/@name"),
      integer("//eventer/pools/pool/@concurrency", 1, 4096),
      text("//eventer/jobqs/jobq/@name"),
      integer("//eventer/jobqs/jobq/@concurrency", INT_MIN),
      integer("//eventer/jobqs/jobq/@min", INT_MIN),
      integer("//eventer/jobqs/jobq/@max", INT_MIN),
      integer("//eventer/jobqs/jobq/@memory_safety", INT_MIN),
      // logging (tovi_log)
      text("/queltd/logs/outlet/@name"),
      choice("/queltd/logs/outlet/@type", "stderr|file|memory"),
      text("/queltd/logs/outlet/@path"),
      text("/queltd/logs/outlet/@size"),
      choice("/queltd/logs/outlet/@format", "text|json"),
      text("/queltd/logs/log/@name"),
      boolean("/queltd/logs/log/@disabled"),
      text("/queltd/logs/log/@outlets"),
      // modules (tovi_module) and the bus module's settings (tovi_amqp)
      text("/queltd/modules/module/@name"),
      integer("/queltd/modules/module/@queue_size", 1, 100000000),
      integer("/queltd/modules/module/@max_in_flight", 1, 1000000),
      integer("/queltd/modules/module/@backoff_min_ms", 1, 3600000),
      integer("/queltd/modules/module/@backoff_max_ms", 1, 3600000),
      integer("/queltd/modules/module/@max_publish_attempts", 1, 1000000),
      integer("/queltd/modules/module/@connect_timeout_ms", 1, 600000),
      // bus connections (tovi_amqp)
      text("//network/mq/host"),
      integer("//network/mq/port", 1, 65535),
      text("//network/mq/vhost"),
      text("//network/mq/user"),
      text("//network/mq/password"),
      integer("//network/mq/heartbeat", 0, 65535),
      integer("//network/mq/prefetch", 0, 65535),
      file("//network/mq/tls/@ca"),
      file("//network/mq/tls/@certificate"),
      file("//network/mq/tls/@key"),
      boolean("//network/mq/tls/@verify"),
      text("//network/mq/exchange/@name"),
      text("//network/mq/exchange/@type"),
      boolean("//network/mq/exchange/@durable"),
      boolean("//network/mq/exchange/@auto_delete"),
      text("//network/mq/queue/@name"),
      boolean("//network/mq/queue/@durable"),
      boolean("//network/mq/queue/@exclusive"),
      boolean("//network/mq/queue/@auto_delete"),
      boolean("//network/mq/queue/@consume"),
      text("//network/mq/queue/binding/@exchange"),
      text("//network/mq/queue/binding/@routing_key"),
      text("//network/mq/binding/@queue"),
      text("//network/mq/binding/@exchange"),
      text("//network/mq/binding/@routing_key"),
      // alert publishing (general)
      text("//network//alerts/exchange"),
      text("//network//alerts/route"),
      text("//network//alerts/maintenance"),
      integer("//network//alerts/mandatory", INT_MIN),
      integer("//network//alerts/immediate", INT_MIN),
      // accounts (general)
      boolean("//accounts/@exclude"),
      integer("//accounts/account/@id", 1, LLONG_MAX),
      // console (tovi_console)
      text("//listeners/console/@address"),
      integer("//listeners/console/@port", 0, 65535),
      text("//listeners/console/@path"),
      integer("//listeners/console/@idle_timeout", 1),
      integer("//listeners/console/@max_connections_per_peer", 0),
      boolean("//listeners/console/@allow_remote"),
      // REST listeners (tovi_http_server)
      integer("//listeners/@max_body", 1, LLONG_MAX),
      integer("//listeners/@max_connections", INT_MIN),
      integer("//listeners/@max_connections_per_peer", INT_MIN),
      text("//listeners/listener/@type"),
      text("//listeners/listener/@address"),
      integer("//listeners/listener/@port", 0, 65535),
      file("//listeners/listener/@certificate_file"),
      file("//listeners/listener/@key_file"),
      file("//listeners/listener/@ca_file"),
      text("//listeners/listener/@allowed_cns"),
      choice("//listeners/listener/@insecure", "loopback"),
      text("//listeners/listener/@document_root"),
      integer("//listeners/listener/@handshake_timeout", INT_MIN),
      integer("//listeners/listener/@header_timeout", INT_MIN),
      integer("//listeners/listener/@idle_timeout", INT_MIN),
      text("//listeners/listener/@read_cns"),
      choice("//listeners/listener/@open_probes", "true|false"),
      // web console (web_ui)
      text("//ui/@assets"),
    },
    // metric intake (vask_intake, vask_intake_bus, vask_director)
    under("//listeners", {"metrics"}, line_listener),
    {
      text("//listeners/metrics_bus/@exchange"),
    },
    // metric intake of other formats (vask_intake, vask_intake_http): the TCP listeners take the
    // line listener's attributes, every format the mapping of its samples to metric lines
    under("//listeners", {"influx", "graphite"}, line_listener),
    {
      choice("//listeners/influx/@precision", "ns|us|ms|s|m|h"),
    },
    under("//listeners", {"remote_write", "influx_http", "influx", "graphite"}, sample_mapping),
    {
      integer("//vask/director/@lane_capacity", 1, 1073741824),
      integer("//vask/director/@max_wait_ms", 0),
      // management API (api_loader, brokers, rules and maintenance fetches)
      text("//orvane/api/base"),
      text("//orvane/api/token"),
      integer("//orvane/api/@max_answer_bytes", 1, LLONG_MAX),
      integer("//orvane/api/rulesets/@batch_size", INT_MIN),
      integer("//orvane/api/rulesets/@once_at", LLONG_MIN, LLONG_MAX),
      integer("//orvane/api/maint_windows/@batch_size", INT_MIN),
      integer("//orvane/api/maint_windows/@once_at", LLONG_MIN, LLONG_MAX),
      // daemon state (metrics, rules_mgr, brokers, maintenance)
      integer("//orvane/state/metrics/@initial_hash_size", INT_MIN),
      integer("//orvane/state/windows/@max_records", 0, 1000000),
      integer("//orvane/state/rulesets/@initial_hash_size", 0),
      integer("//orvane/state/rulesets/@max_out_of_order", 0),
      integer("//orvane/state/rulesets/@absence_cushion", 0),
      integer("//orvane/state/brokers/@max", LLONG_MIN, LLONG_MAX),
      integer("//orvane/state/maintenance/@max_queued", 0, LLONG_MAX),
      integer("//orvane/state/rulesets/@max_held", 0),
      integer("//orvane/state/rulesets/@republish_rate", 0),
      integer("//orvane/state/maintenance/@max_held", 0, LLONG_MAX),
      // the embedded store and rule files (store_load)
      text("//orvane/store/@file"),
      boolean("//orvane/store/@with_api"),
      text("//orvane/rule_files/@directory"),
      // alert notifications (rules/notify)
      text("//notifications/@check_tags_exclude"),
    },
    // alert outlets (outlets)
    under("//notify", {"alertmanager", "webhook"}, alert_outlet),
    {
      // cluster (tovi_cluster)
      boolean("//clusters/@enabled"),
      text("//clusters/cluster/@name"),
      text("//clusters/cluster/@self"),
      text("//clusters/cluster/@key"),
      file("//clusters/cluster/@key_file"),
      text("//clusters/cluster/@bind"),
      integer("//clusters/cluster/@period_ms", 10, 60000),
      integer("//clusters/cluster/@timeout_ms", LLONG_MIN, 3600000),
      integer("//clusters/cluster/@seq", 0, LLONG_MAX),
      text("//clusters/cluster/node/@id"),
      text("//clusters/cluster/node/@cn"),
      text("//clusters/cluster/node/@address"),
      integer("//clusters/cluster/node/@port", 1, 65535),
    },
  });
  return table;
}
// clang-format on

// ---- Paths -------------------------------------------------------------------------------------

struct step_t {
  std::string name;
  bool anywhere;  // preceded by "//": any number of elements may come before it
};

struct element_rule_t {
  std::vector<step_t> steps;
  const conf_key_t *value = nullptr;  // the element's text, when it is a key itself
};

struct attribute_rule_t {
  std::vector<step_t> element;
  std::string name;
  const conf_key_t *key;
};

struct compiled_t {
  std::vector<element_rule_t> elements;
  std::vector<attribute_rule_t> attributes;
};

std::vector<step_t> parse_steps(std::string_view path) {
  std::vector<step_t> steps;
  size_t i = 0;
  while (i < path.size()) {
    bool anywhere = path.compare(i, 2, "//") == 0;
    i += anywhere ? 2 : 1;
    size_t end = path.find('/', i);
    if (end == std::string_view::npos) end = path.size();
    steps.push_back({std::string(path.substr(i, end - i)), anywhere});
    i = end;
  }
  return steps;
}

bool same_steps(const std::vector<step_t> &a, const std::vector<step_t> &b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++)
    if (a[i].name != b[i].name || a[i].anywhere != b[i].anywhere) return false;
  return true;
}

void add_element(compiled_t *c, const std::vector<step_t> &steps, const conf_key_t *value) {
  // The prefixes are the containers on the way to the key.
  for (size_t n = 1; n <= steps.size(); n++) {
    std::vector<step_t> prefix(steps.begin(), steps.begin() + long(n));
    const conf_key_t *v = n == steps.size() ? value : nullptr;
    auto it = std::find_if(c->elements.begin(), c->elements.end(),
                           [&](const element_rule_t &e) { return same_steps(e.steps, prefix); });
    if (it == c->elements.end())
      c->elements.push_back({prefix, v});
    else if (v)
      it->value = v;
  }
}

const compiled_t &compiled() {
  static const compiled_t c = [] {
    compiled_t out;
    for (const conf_key_t &k : keys()) {
      std::string_view path(k.path);
      size_t at = path.find("/@");
      if (at == std::string_view::npos) {
        add_element(&out, parse_steps(path), &k);
      } else {
        std::vector<step_t> element = parse_steps(path.substr(0, at));
        add_element(&out, element, nullptr);
        out.attributes.push_back({element, std::string(path.substr(at + 2)), &k});
      }
    }
    return out;
  }();
  return c;
}

// Whether the element names from the root (path[0] is the root) fit the steps.
bool fits(const std::vector<step_t> &steps, size_t si, const std::vector<std::string> &path,
          size_t pi) {
  if (si == steps.size()) return pi == path.size();
  const step_t &s = steps[si];
  if (!s.anywhere) {
    if (si == 0 && s.name != path[0]) return false;  // "/queltd/..." names the root
    return pi < path.size() && path[pi] == s.name && fits(steps, si + 1, path, pi + 1);
  }
  for (size_t k = pi; k < path.size(); k++)
    if (path[k] == s.name && fits(steps, si + 1, path, k + 1)) return true;
  return false;
}

bool fits(const std::vector<step_t> &steps, const std::vector<std::string> &path) {
  return !path.empty() && fits(steps, 0, path, 0);
}

const element_rule_t *element_rule(const std::vector<std::string> &path) {
  const element_rule_t *found = nullptr;
  for (const element_rule_t &e : compiled().elements) {
    if (!fits(e.steps, path)) continue;
    if (!found || (e.value && !found->value)) found = &e;
  }
  return found;
}

const conf_key_t *attribute_key(const std::vector<std::string> &path, const std::string &name) {
  for (const attribute_rule_t &a : compiled().attributes)
    if (a.name == name && fits(a.element, path)) return a.key;
  return nullptr;
}

// Element names that would be known in place of the last one of path.
std::vector<std::string> element_names_at(std::vector<std::string> path) {
  std::set<std::string> names;
  for (const element_rule_t &e : compiled().elements) {
    path.back() = e.steps.back().name;
    if (fits(e.steps, path)) names.insert(path.back());
  }
  return {names.begin(), names.end()};
}

std::vector<std::string> attribute_names_at(const std::vector<std::string> &path) {
  std::set<std::string> names;
  for (const attribute_rule_t &a : compiled().attributes)
    if (fits(a.element, path)) names.insert(a.name);
  return {names.begin(), names.end()};
}

std::vector<std::string> path_of(const xmlNode *node) {
  std::vector<std::string> path;
  for (; node && node->type == XML_ELEMENT_NODE; node = node->parent)
    path.emplace_back(reinterpret_cast<const char *>(node->name));
  std::reverse(path.begin(), path.end());
  return path;
}

std::string joined(const std::vector<std::string> &path) {
  std::string out;
  for (const std::string &p : path)
    out += "/" + p;
  return out;
}

// ---- Values ------------------------------------------------------------------------------------

std::string trimmed(std::string_view s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string_view::npos) return "";
  size_t e = s.find_last_not_of(" \t\r\n");
  return std::string(s.substr(b, e - b + 1));
}

// Empty when the value fits the key; otherwise what is wrong with it.
std::string value_problem(const conf_key_t &k, const std::string &raw) {
  std::string v = trimmed(raw);
  switch (k.kind) {
    case K_TEXT:
      return "";
    case K_FILE: {
      struct stat st;
      if (v.empty() || stat(v.c_str(), &st) != 0)
        return "'" + v + "': " + (v.empty() ? "no file named" : strerror(errno));
      if (!S_ISREG(st.st_mode)) return "'" + v + "' is not a file";
      return "";
    }
    case K_INT: {
      size_t sign = (!v.empty() && (v[0] == '-' || v[0] == '+')) ? 1 : 0;
      bool hex = v.size() > sign + 1 && v[sign] == '0' && (v[sign + 1] | 0x20) == 'x';
      errno = 0;
      char *end = nullptr;
      long long n = strtoll(v.c_str(), &end, hex ? 16 : 10);
      bool bad = v.empty() || *end != '\0' || errno == ERANGE;
      if (!bad && n >= k.lo && n <= k.hi) return "";
      std::string range;
      if (k.lo > INT_MIN && k.hi < LLONG_MAX && k.hi != i32)
        range = " from " + std::to_string(k.lo) + " to " + std::to_string(k.hi);
      else if (k.lo > INT_MIN)
        range = " of at least " + std::to_string(k.lo);
      else if (k.hi < i32)
        range = " of at most " + std::to_string(k.hi);
      return "'" + v + "' is not an integer" + range;
    }
    case K_BOOL: {
      std::string l = v;
      for (char &c : l)
        c = char(tolower(static_cast<unsigned char>(c)));
      for (const char *w : {"true", "false", "on", "off", "yes", "no", "1", "0"})
        if (l == w) return "";
      return "'" + v + "' is not a boolean (true or false)";
    }
    case K_CHOICE: {
      std::vector<std::string> words;
      std::string_view all(k.choices);
      for (size_t i = 0; i <= all.size();) {
        size_t bar = all.find('|', i);
        if (bar == std::string_view::npos) bar = all.size();
        words.emplace_back(all.substr(i, bar - i));
        i = bar + 1;
      }
      if (std::find(words.begin(), words.end(), v) != words.end()) return "";
      std::string out = "'" + v + "' is not one of";
      for (size_t i = 0; i < words.size(); i++)
        out += (i ? ", " : " ") + words[i];
      std::string near = tovi_closest_name(v, words);
      if (!near.empty()) out += "; did you mean " + near + "?";
      return out;
    }
  }
  return "";
}

// ---- The walk ----------------------------------------------------------------------------------

struct walker_t {
  std::vector<tovi_conf_finding_t> findings;

  void warn(int line, std::string text) { findings.push_back({false, line, std::move(text)}); }
  void fail(int line, std::string text) { findings.push_back({true, line, std::move(text)}); }

  // Whether something below node is a key (read through a "//" step, such as the alerts of
  // "//network//alerts" under any element of <network>).
  static bool leads_to_key(const xmlNode *node, std::vector<std::string> &path) {
    for (const xmlNode *c = node->children; c; c = c->next) {
      if (c->type != XML_ELEMENT_NODE) continue;
      path.emplace_back(reinterpret_cast<const char *>(c->name));
      bool found = element_rule(path) != nullptr || leads_to_key(c, path);
      path.pop_back();
      if (found) return true;
    }
    return false;
  }

  void element(const xmlNode *node, std::vector<std::string> &path) {
    std::string name = reinterpret_cast<const char *>(node->name);
    int line = int(xmlGetLineNo(node));
    const element_rule_t *rule = path.size() == 1 ? nullptr : element_rule(path);
    if (path.size() > 1 && !rule && !leads_to_key(node, path)) {
      std::string text = "unknown element <" + name + "> at line " + std::to_string(line);
      std::string near = tovi_closest_name(name, element_names_at(path));
      if (!near.empty()) text += "; did you mean <" + near + ">?";
      warn(line, text);
      return;  // what is inside an unknown element is unknown too
    }
    bool has_children = false;
    for (const xmlNode *c = node->children; c; c = c->next)
      has_children |= c->type == XML_ELEMENT_NODE;
    if (rule && rule->value && !has_children) {
      xmlChar *content = xmlNodeGetContent(node);
      std::string problem =
          value_problem(*rule->value, content ? reinterpret_cast<const char *>(content) : "");
      xmlFree(content);
      if (!problem.empty())
        fail(line, "<" + name + "> at line " + std::to_string(line) + ": " + problem);
    }
    for (const xmlAttr *a = node->properties; a; a = a->next) {
      std::string an = reinterpret_cast<const char *>(a->name);
      const conf_key_t *k = attribute_key(path, an);
      if (!k) {
        std::string text =
            "unknown attribute " + an + " of <" + name + "> at line " + std::to_string(line);
        std::string near = tovi_closest_name(an, attribute_names_at(path));
        if (!near.empty()) text += "; did you mean " + near + "?";
        warn(line, text);
        continue;
      }
      xmlChar *v = xmlNodeListGetString(node->doc, a->children, 1);
      std::string problem = value_problem(*k, v ? reinterpret_cast<const char *>(v) : "");
      xmlFree(v);
      if (!problem.empty())
        fail(line, "<" + name + "> at line " + std::to_string(line) + ": " + an + " " + problem);
    }
    for (const xmlNode *c = node->children; c; c = c->next) {
      if (c->type != XML_ELEMENT_NODE) continue;
      path.emplace_back(reinterpret_cast<const char *>(c->name));
      element(c, path);
      path.pop_back();
    }
  }
};

}  // namespace

std::vector<tovi_conf_finding_t> tovi_conf_check(void) {
  walker_t w;
  tovi_conf_section_read_hold();
  std::vector<tovi_conf_section_t> roots = tovi_conf_get_sections(nullptr, "/*");
  if (!roots.empty()) {
    const xmlNode *root = roots.front();
    std::vector<std::string> path{reinterpret_cast<const char *>(root->name)};
    if (path[0] != "queltd") {
      w.fail(int(xmlGetLineNo(root)), "the root element is <" + path[0] + ">, not <queltd>");
    } else {
      w.element(root, path);
    }
  }
  tovi_conf_section_read_release();
  return w.findings;
}

void tovi_conf_keys_note_read(const void *raw) {
  const xmlNode *node = static_cast<const xmlNode *>(raw);
  if (!node) return;
  std::vector<std::string> path;
  bool known;
  std::string what;
  if (node->type == XML_ATTRIBUTE_NODE) {
    path = path_of(node->parent);
    std::string name = reinterpret_cast<const char *>(node->name);
    known = attribute_key(path, name) != nullptr;
    what = joined(path) + "/@" + name;
  } else if (node->type == XML_ELEMENT_NODE) {
    path = path_of(node);
    known = path.size() <= 1 || element_rule(path) != nullptr;
    what = joined(path);
  } else {
    return;
  }
  if (known) return;
  static std::mutex lock;
  static std::set<std::string> told;
  {
    std::lock_guard<std::mutex> g(lock);
    if (!told.insert(what).second) return;
  }
  tovi_log(tovi_error,
           "configuration %s is read but missing from the key table (tovi_conf_keys.cpp)",
           what.c_str());
}

std::string tovi_closest_name(std::string_view word, const std::vector<std::string> &candidates) {
  auto lower = [](char c) { return char(tolower(static_cast<unsigned char>(c))); };
  std::string best;
  size_t best_distance = SIZE_MAX;
  for (const std::string &cand : candidates) {
    // Optimal string alignment distance, case ignored.
    size_t n = word.size(), m = cand.size();
    std::vector<std::vector<size_t>> d(n + 1, std::vector<size_t>(m + 1));
    for (size_t i = 0; i <= n; i++)
      d[i][0] = i;
    for (size_t j = 0; j <= m; j++)
      d[0][j] = j;
    for (size_t i = 1; i <= n; i++) {
      for (size_t j = 1; j <= m; j++) {
        size_t cost = lower(word[i - 1]) == lower(cand[j - 1]) ? 0 : 1;
        d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
        if (i > 1 && j > 1 && lower(word[i - 1]) == lower(cand[j - 2]) &&
            lower(word[i - 2]) == lower(cand[j - 1]))
          d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
    size_t distance = d[n][m];
    size_t longer = std::max(n, m);
    // A short form of the candidate ("avg" for "average") is as good as a slip of one key.
    bool abbreviation = n >= 2 && n < m && lower(word[0]) == lower(cand[0]) && [&] {
      size_t j = 0;
      for (size_t i = 0; i < n; i++) {
        while (j < m && lower(cand[j]) != lower(word[i]))
          j++;
        if (j++ == m) return false;
      }
      return true;
    }();
    if (abbreviation) distance = std::min<size_t>(distance, 1);
    if (distance > std::max<size_t>(1, longer / 3)) continue;
    if (distance < best_distance) {
      best_distance = distance;
      best = cand;
    }
  }
  return best;
}
