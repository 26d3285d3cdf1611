// rule_files: definitions kept in files, and where each definition came from.
//
// A directory ("//orvane/rule_files/@directory", relative to the configuration file's directory)
// holds JSON files, each an array of ruleset definitions or of maintenance windows (the arrays
// POST /rulesets and POST /maintenance take; a file whose first element has a "maintenance_id"
// and no "event_criteria_id" is a file of windows). Every "*.json" file is loaded at start and
// again on POST /reload or the console command "reload files":
//   - a file that the check command (--check-rulesets, --check-maintenance) refuses is refused
//     whole, with the reason; the version loaded before stays in force;
//   - a file that changed is loaded, and what an earlier version defined and this one does not is
//     removed from the daemon; a file that is gone takes its definitions with it;
//   - an id defined by a file belongs to it: REST, the bus and the API may neither replace nor
//     delete it (refused with the file's name) until no file defines it.
// With the store on (store/store.h), file definitions are stored like the others, so a file
// removed while the daemon was down still takes its definitions away at the next start.
//
// Also: GET /ruleset/source/<id> and GET /maintenance/source/<id>, where a definition came from.
#pragma once

#include <string>

// Registers the routes (POST /reload, GET /ruleset/source/<id>, GET /maintenance/source/<id>)
// and the console command, reads the directory setting and loads the files once. On the main
// thread at start-up, after the store's load (store_load_start) and before the event loop.
void rule_files_init(void);

// Loads the directory again (what POST /reload does): a JSON report, {"files": [{"file",
// "status": "loaded" | "unchanged" | "refused" | "removed", "definitions", "removed", "error"}],
// "errors": n}. Serialised; any thread but a loop thread (it runs the check commands and waits
// for them).
std::string rule_files_reload(void);
