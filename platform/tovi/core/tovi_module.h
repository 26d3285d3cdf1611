// Modules and named functions.
//
// Modules are compiled into the binary and registered by name with tovi_module_register before
// tovi_dso_init runs (explicitly: a static registrar in a static library would be dropped by the
// linker when nothing else refers to its object file). The configuration enables them:
//   <modules><module name="amqp"> ...the module's own settings... </module></modules>
// tovi_dso_init loads every configured module: it finds it by name and calls its configure
// phase with the module's section; tovi_dso_post_init then calls each loaded module's start
// phase, once the event loop and the daemon's own modules exist. A configured module that is not
// compiled in, or whose configure or start phase fails, counts as a load failure; start-up goes on
// unless the daemon was told to be strict (-M).
//
// Named functions let the daemon call into a module without linking to it: the module registers
// "tovi_amqp_send_data_function" (say) and the daemon resolves the name at run time, getting
// null when no module provides it.
//
// Registration happens at start-up on the main thread; lookups may come from any thread after.
#pragma once

#include "tovi/tovi_conf.h"

struct tovi_module_t {
  const char *name;
  const char *description;
  // Reads the module's section. Returns 0 on success; anything else is a load failure.
  int (*configure)(tovi_conf_section_t section);
  // Starts the module after the framework and the daemon's modules are up. May be null.
  int (*start)(void);
};

void tovi_module_register(const tovi_module_t *module);

// Loads (configures) every module named under //modules/module. Returns the number of failures.
int tovi_dso_init(void);
// Starts every loaded module. Returns the number of failures in this phase.
int tovi_dso_post_init(void);
// Failures of both phases so far.
int tovi_dso_load_failures(void);
bool tovi_dso_is_loaded(const char *name);

// The registry of named functions. Registering a name twice is a fatal assertion.
void tovi_function_register(const char *name, void *fn);
void *tovi_function_find(const char *name);
