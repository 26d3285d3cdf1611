// queltd: the process entry. Parses the command line, stamps the build version, hands over to the
// framework's process main, and in the child brings up the framework and every module of the
// daemon in a fixed order before running the event loop.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "api.h"
#include "brokers.h"
#include "config_handlers.h"
#include "daemon_wiring.h"
#include "general.h"
#include "maintenance.h"
#include "metrics.h"
#include "outlets/outlets.h"
#include "probes.h"
#include "quelt_version.h"
#include "rules/rules.h"
#include "daemon_stats.h"
#include "test_endpoints.h"
#include "web_ui.h"
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

void parse_cli(int argc, char **argv) {
  int c;
  while ((c = getopt(argc, argv, "c:Ddl:L:M")) != -1) {
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

  tovi_dso_post_init();
  if (strict_module_load && tovi_dso_load_failures() > 0) {
    tovi_log(tovi_stderr, "Failed to load some modules and -M given.\n");
    exit(2);
  }

  tovi_conf_coalesce_changes(10);
  tovi_conf_watch_and_journal_watchdog();

  probes_mark_started();
  tovi_log(tovi_notice, "%s initialized\n", app_name);
  eventer_loop();
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  parse_cli(argc, argv);
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
  return tovi_main(app_name, config_file, debug, foreground, 1, nullptr, droptouser, droptogroup,
                   child_main);
}
