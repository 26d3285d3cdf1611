// The check commands: a configuration, a ruleset file or a maintenance file is read and judged
// exactly as the daemon would, without starting anything (no listeners, no bus, no threads of
// the event loop). Each writes its findings on standard output and returns the exit status:
//   0  clean;
//   1  warnings only, and strict was asked for (configuration only);
//   2  errors: the file cannot be read or parsed, a value cannot be used, an element is refused.
// Called once, from main, before anything else is set up.
#pragma once

// Unknown elements and attributes are warnings (the daemon starts and ignores them); values the
// daemon cannot use are errors.
int quelt_check_config(const char *file, bool strict);

// A JSON array of ruleset definitions (as POST /rulesets takes it), or of maintenance windows (as
// POST /maintenance takes it). One line per element: its index, its id, and "ok" or the reasons.
// Unknown keys and words, which a load only warns about, are errors here.
int quelt_check_rulesets(const char *file);
int quelt_check_maintenance(const char *file);

// The configuration's findings on the "error" stream, as the daemon logs them at start-up.
// Returns the number of lines logged.
int quelt_log_config_findings(void);
