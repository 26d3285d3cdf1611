#include "tovi/tovi_console_conf.h"

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "tovi/tovi_conf.h"
#include "tovi/tovi_console.h"
#include "tovi/tovi_log.h"
#include "tovi/tovi_main.h"

namespace {

bool parse_count(const char *text, size_t *out) {
  char *end = nullptr;
  errno = 0;
  unsigned long long v = strtoull(text, &end, 10);
  if (errno || end == text || *end || text[0] == '-' || v == 0 || v > 1000000) return false;
  *out = static_cast<size_t>(v);
  return true;
}

int show_config(tovi_console_t *console, int argc, const char *const *argv, void *) {
  std::string path = argc > 0 ? argv[0] : "/*";
  tovi_conf_section_read_hold();
  tovi_conf_section_t section = tovi_conf_get_section(nullptr, path.c_str());
  std::string xml = tovi_conf_section_to_xml_masked(section);
  tovi_conf_section_read_release();
  if (xml.empty()) {
    tovi_console_printf(console, "no configuration section at %s\n", path.c_str());
    return -1;
  }
  tovi_console_write(console, xml);
  return 0;
}

// "show log": the streams; "show log <outlet> [n]": the last n (default 20) lines of a memory
// outlet.
int show_log(tovi_console_t *console, int argc, const char *const *argv, void *) {
  if (argc == 0) {
    for (const auto &line : tovi_log_describe_streams())
      tovi_console_printf(console, "%s\n", line.c_str());
    return 0;
  }
  size_t n = 20;
  if (argc > 2 || (argc == 2 && !parse_count(argv[1], &n))) {
    tovi_console_printf(console, "usage: show log [<memory outlet> [<lines>]]\n");
    return -1;
  }
  if (!tovi_log_memory_outlet_exists(argv[0])) {
    tovi_console_printf(console, "no memory outlet named %s\n", argv[0]);
    return -1;
  }
  std::vector<std::string> lines = tovi_log_memory_lines(argv[0]);
  size_t first = lines.size() > n ? lines.size() - n : 0;
  for (size_t i = first; i < lines.size(); i++) {
    tovi_console_write(console, lines[i]);
    if (lines[i].empty() || lines[i].back() != '\n') tovi_console_write(console, "\n");
  }
  return 0;
}

int log_switch(tovi_console_t *console, int argc, const char *const *argv, void *closure) {
  bool enable = closure != nullptr;
  if (argc != 1) {
    tovi_console_printf(console, "usage: log %s <stream>\n", enable ? "enable" : "disable");
    return -1;
  }
  if (enable) {
    tovi_log_enable(argv[0]);
  } else {
    tovi_log_disable(argv[0]);
  }
  tovi_console_printf(console, "%s %s\n", argv[0], enable ? "enabled" : "disabled");
  return 0;
}

int log_reopen(tovi_console_t *console, int, const char *const *, void *) {
  int failed = tovi_log_reopen_files();
  if (failed) {
    tovi_console_printf(console, "%d log files could not be reopened (see the error log)\n",
                        failed);
    return -1;
  }
  tovi_console_printf(console, "log files reopened\n");
  return 0;
}

void complete_streams(int argc, const char *const *, const char *, tovi_console_candidates_t *out,
                      void *) {
  if (argc > 0) return;
  for (const auto &name : tovi_log_stream_names())
    tovi_console_candidate_add(out, name.c_str());
}

int enable_marker;

int show_version(tovi_console_t *console, int, const char *const *, void *) {
  tovi_console_printf(console, "%s %s\n", tovi_app_name(), tovi_app_version());
  return 0;
}

}  // namespace

void tovi_console_conf_init(void) {
  tovi_console_command_register("show config", show_config, nullptr,
                                "the configuration, or the section an XPath selects", nullptr);
  tovi_console_command_register("show log", show_log, nullptr,
                                "log streams, their state and outlets; with a memory outlet's "
                                "name (and a count), its last lines",
                                nullptr);
  tovi_console_command_register("log enable", log_switch, complete_streams, "enable a log stream",
                                &enable_marker);
  tovi_console_command_register("log disable", log_switch, complete_streams, "disable a log stream",
                                nullptr);
  tovi_console_command_register("log reopen", log_reopen, nullptr, "reopen the log files", nullptr);
  tovi_console_command_register("show version", show_version, nullptr,
                                "the daemon's version (branch, commit, build time)", nullptr);
}
