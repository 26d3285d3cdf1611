// queltd: the process entry. Parses the command line, stamps the build version, hands over to the
// framework's process main, and in the child brings up the framework and every module of the
// daemon in a fixed order before running the event loop.
#include <getopt.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

#include <cstdio>
#include <cstdlib>

#include "api.h"
#include "brokers.h"
#include "checks.h"
#include "config_handlers.h"
#include "daemon_wiring.h"
#include "general.h"
#include "maintenance.h"
#include "metrics.h"
#include "outlets/outlets.h"
#include "probes.h"
#include "quelt_version.h"
#include "rules/rules.h"
#include "rule_files.h"
#include "store_load.h"
#include "daemon_stats.h"
#include "test_endpoints.h"
#include "web_ui.h"
#include "stats/stats.h"
#include "tovi/eventer.h"
#include "tovi/tovi_amqp.h"
#include "tovi/tovi_conf.h"
#include "tovi/tovi_console.h"
#include "tovi/tovi_console_conf.h"
#include "tovi/tovi_http.h"
#include "tovi/tovi_assert.h"
#include "tovi/tovi_log.h"
#include "tovi/tovi_main.h"
#include "tovi/tovi_memory.h"
#include "tovi/tovi_systemd.h"
#include "tovi/tovi_module.h"
#include "vask/vask_director.h"
#include "vask/vask_intake.h"
#include "vask/vask_intake_bus.h"
#include "vask/vask_intake_formats.h"

namespace {

const char *const app_name = "queltd";

const char *config_file = nullptr;
int foreground = 0;
int debug = 0;
int strict_module_load = 0;
const char *droptouser = nullptr;
const char *droptogroup = nullptr;

void usage(const char *progname) {
  fprintf(stderr, "%s <-c conffile> [-D] [-d]\n\n", progname);
  fprintf(stderr, "\t-c conffile\tthe configuration file to load\n");
  fprintf(stderr, "\t-D\t\trun in the foreground (don't daemonize)\n");
  fprintf(stderr, "\t-d\t\tturn on debugging\n");
}

// --help: every option, one line each, on standard output.
void help(const char *progname) {
  printf("usage: %s -c FILE [-D [-D]] [-d] [-l STREAM] [-L STREAM] [-M] [-p FILE]\n", progname);
  printf("       %s --check-config FILE [--strict] | --check-rulesets FILE |\n", progname);
  printf("       %*s --check-maintenance FILE | --help | --version\n\n", int(strlen(progname)), "");
  printf("  -c FILE                   the configuration file to load (required to start)\n");
  printf(
      "  -D                        stay in the foreground with a watchdog that restarts a "
      "crashed daemon; twice: no watchdog\n");
  printf("  -d                        turn on the debug log stream\n");
  printf("  -l STREAM                 enable a log stream (and the streams below it)\n");
  printf("  -L STREAM                 disable a log stream (and the streams below it)\n");
  printf(
      "  -M                        a module that fails to load stops start-up (exit status "
      "2)\n");
  printf("  -p FILE                   write the daemon's pid to FILE, removed at a clean stop\n");
  printf(
      "  --check-config FILE       check a configuration without starting anything: exit 0 "
      "clean, 2 errors\n");
  printf("  --strict                  with --check-config: warnings (unknown names) exit 1\n");
  printf(
      "  --check-rulesets FILE     check a JSON array of ruleset definitions as POST "
      "/rulesets reads it\n");
  printf(
      "  --check-maintenance FILE  check a JSON array of maintenance windows as POST "
      "/maintenance reads it\n");
  printf("  --help                    this text\n");
  printf("  --version                 the version, commit and build time\n");
}

void version() {
  char text[128];
  quelt_build_version(text, sizeof text);
  time_t built = time_t(strtoll(quelt_build_seconds(), nullptr, 10));
  char when[32] = "unknown";
  struct tm tm;
  if (built > 0 && gmtime_r(&built, &tm)) strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &tm);
  printf("queltd %s (%s)\ncommit %s\nbuilt %s\n", quelt_release, text, quelt_build_commit(), when);
}

// The words beyond the original option letters. Each one runs instead of starting the daemon,
// except -p and --strict, which qualify a start and a check.
enum long_option_t {
  OPT_HELP = 256,
  OPT_VERSION,
  OPT_CHECK_CONFIG,
  OPT_CHECK_RULESETS,
  OPT_CHECK_MAINTENANCE,
  OPT_STRICT,
};

const char *check_config = nullptr;
const char *check_rulesets = nullptr;
const char *check_maintenance = nullptr;
const char *pidfile = nullptr;
bool strict = false;
bool want_help = false;
bool want_version = false;

void parse_cli(int argc, char **argv) {
  static const struct option long_options[] = {
      {"help", no_argument, nullptr, OPT_HELP},
      {"version", no_argument, nullptr, OPT_VERSION},
      {"check-config", required_argument, nullptr, OPT_CHECK_CONFIG},
      {"check-rulesets", required_argument, nullptr, OPT_CHECK_RULESETS},
      {"check-maintenance", required_argument, nullptr, OPT_CHECK_MAINTENANCE},
      {"strict", no_argument, nullptr, OPT_STRICT},
      {nullptr, 0, nullptr, 0},
  };
  int c;
  while ((c = getopt_long(argc, argv, "c:Ddl:L:Mp:", long_options, nullptr)) != -1) {
    switch (c) {
      case 'c':
        config_file = optarg;
        break;
      case 'D':
        foreground++;
        break;
      case 'd':
        debug = 1;
        break;
      case 'l':
        tovi_log_enable(optarg);
        break;
      case 'L':
        tovi_log_disable(optarg);
        break;
      case 'M':
        strict_module_load = 1;
        break;
      case 'p':
        pidfile = optarg;
        break;
      case OPT_HELP:
        want_help = true;
        break;
      case OPT_VERSION:
        want_version = true;
        break;
      case OPT_CHECK_CONFIG:
        check_config = optarg;
        break;
      case OPT_CHECK_RULESETS:
        check_rulesets = optarg;
        break;
      case OPT_CHECK_MAINTENANCE:
        check_maintenance = optarg;
        break;
      case OPT_STRICT:
        strict = true;
        break;
      default:
        break;
    }
  }
}

int child_main(void) {
  if (!tovi_conf_load(config_file)) {
    tovi_log(tovi_error, "Cannot load config: '%s'\n", config_file);
    exit(2);
  }
  if (eventer_init() != 0) {
    tovi_log(tovi_error, "cannot initialise the event system\n");
    exit(2);
  }
  tovi_log_rotate_init(app_name, false);
  if (!tovi_log_configure()) {
    tovi_log(tovi_error, "Cannot use the log settings of '%s'\n", config_file);
    exit(2);
  }
  tovi_log(tovi_notice, "%s %s starting with '%s'", app_name, tovi_app_version(), config_file);
  // What --check-config would say: unknown names are ignored, but an operator should see them.
  quelt_log_config_findings();
  tovi_amqp_module_register();
  tovi_dso_init();

  vask_metric_director_dedupe(false);
  vask_metric_director_init_globals();

  if (tovi_console_init(app_name) < 0) {
    tovi_log(tovi_error, "Cannot start the console listeners of '%s'\n", config_file);
    exit(2);
  }
  tovi_console_conf_init();

  if (tovi_http_rest_init() < 0) {
    tovi_log(tovi_error, "Cannot use the REST listeners of '%s'\n", config_file);
    exit(2);
  }
  tovi_assert(tovi_http_rest_disclose_endpoints("/tovi/", "^endpoints.json$") == 0);
  if (tovi_http_listener_init(app_name) < 0) {
    tovi_log(tovi_error, "Cannot start the REST listeners of '%s'\n", config_file);
    exit(2);
  }
  if (vask_intake_init() != 0 || vask_intake_bus_init() < 0 || vask_intake_http_init() < 0) {
    tovi_log(tovi_error, "Cannot start the metric listeners of '%s'\n", config_file);
    exit(2);
  }
  init_cluster();

  tovi_conf_write_log();

  tovi_conf_coalesce_changes(10);
  if (vask_metric_director_init() != 0) {
    tovi_log(tovi_error, "Cannot start the metric director\n");
    exit(2);
  }

  stats_rest_init();
  api_init();
  test_input_init();
  dependency_init();
  brokers_init();
  metrics_init();
  rules_init();
  outlets_init();
  rules_mgr_init();
  maintenance_init();
  general_init();
  daemon_wiring_init();

  probes_init();
  web_ui_init();
  quelt_rest_register_handlers(app_name);
  // What the store kept is in force before the loop takes the first metric line.
  store_load_start();
  rule_files_init();

  tovi_dso_post_init();
  if (strict_module_load && tovi_dso_load_failures() > 0) {
    tovi_log(tovi_stderr, "Failed to load some modules and -M given.\n");
    exit(2);
  }

  tovi_conf_coalesce_changes(10);
  tovi_conf_watch_and_journal_watchdog();

  tovi_systemd_watchdog_start();
  probes_mark_started();
  tovi_log(tovi_notice, "%s initialized\n", app_name);
  eventer_loop();
  store_load_stop();
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  // The statistics recorder sits below the log; its error lines reach the "error" stream here.
  stats_set_log_sink([](const char *line) { tovi_log(tovi_log_stream_find("error"), "%s", line); });
  parse_cli(argc, argv);
  if (want_help) {
    help(argv[0]);
    return 0;
  }
  if (want_version) {
    version();
    return 0;
  }
  if (check_config) return quelt_check_config(check_config, strict);
  if (check_rulesets) return quelt_check_rulesets(check_rulesets);
  if (check_maintenance) return quelt_check_maintenance(check_maintenance);
  if (!config_file) {
    usage(argv[0]);
    exit(2);
  }
  tovi_memory_init();

  char version[128];
  quelt_build_version(version, sizeof(version));
  tovi_set_app_version(version);

  // The status of the framework's main is passed on: a child that could not start (status 2)
  // must not look like a clean stop to whoever started us.
  if (pidfile) tovi_main_set_pidfile(pidfile);
  return tovi_main(app_name, config_file, debug, foreground, 1, nullptr, droptouser, droptogroup,
                   child_main);
}
