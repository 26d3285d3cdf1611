// store_load: the embedded store's place in the daemon's start and stop.
//
// At start the store file named by "//orvane/store/@file" (relative to the configuration file's
// directory) is opened and what it holds is handed to the modules' own parsers, before the event
// loop runs and so before any metric line is taken: maintenance windows, then rulesets (both as
// the same JSON arrays POST takes), then the streams stored as raised, which the rules remember
// as culled raised streams so that their clear is announced. With a management API configured
// ("//orvane/api/base") the store is used only when "//orvane/store/@with_api" is true: it is
// then a cache the daemon alerts from until the API answers, and the first complete bulk load
// drops what it did not return.
#pragma once

// Opens and loads the store, when one is configured. A store that cannot be used is reported on
// "error" and the daemon goes on without it. Once, on the main thread, after every module's init
// and before the event loop.
void store_load_start(void);

// Writes what is queued and closes the store (a clean stop). After the event loop returns.
void store_load_stop(void);
