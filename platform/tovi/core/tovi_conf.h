// The XML configuration (root element <queltd>).
//
// The file is loaded once at start-up; readers address it with XPath expressions such as
// "//orvane/api/base" or "//orvane/api/rulesets/@batch_size" (an attribute). Every reader sets
// its default first and passes a pointer to it: an absent key leaves the default alone.
//
// Sections are element nodes. A section handle is valid while the configuration it came from is
// loaded; tovi_conf_load replaces the document, so sections are read under a read hold
// (tovi_conf_section_read_hold / _release), which any thread may take.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

typedef struct _xmlNode *tovi_conf_section_t;  // null stands for the whole document

// Loads (or reloads) the file. On failure returns false and leaves the previous document, if any,
// in place; tovi_conf_last_error() then says "<file>:<line>: <reason>".
bool tovi_conf_load(const char *path);
std::string tovi_conf_last_error(void);
const std::string &tovi_conf_path(void);
// Loads a document from a string (tests, and the examples checker).
bool tovi_conf_load_string(const char *xml, const char *name_for_errors);

// Readers: return true when the key exists and was read; false leaves *value untouched. A key
// that exists but does not parse (an integer out of range, a boolean that is not one of
// true/false/on/off/yes/no/1/0) returns false and logs the key on the "error" stream.
// `section` null searches the whole document; otherwise the path is relative to the section
// ("@name", "listener/@port", ".//thing").
bool tovi_conf_get_string(tovi_conf_section_t section, const char *path, std::string *value);
bool tovi_conf_get_int32(tovi_conf_section_t section, const char *path, int32_t *value);
bool tovi_conf_get_int64(tovi_conf_section_t section, const char *path, int64_t *value);
bool tovi_conf_get_boolean(tovi_conf_section_t section, const char *path, bool *value);
// Whether the key names anything at all.
bool tovi_conf_exists(tovi_conf_section_t section, const char *path);

// The first element the path selects, or null. Hold a read hold while using it.
tovi_conf_section_t tovi_conf_get_section(tovi_conf_section_t section, const char *path);
// The first element that a section path names, or null. A section path is element names
// ([A-Za-z0-9_.-]+, not only dots) separated by '/', such as "orvane/api"; it is found anywhere
// in the document, like "//orvane/api". Anything else (an XPath expression, an empty name) gives
// null without being evaluated, so a path from outside (GET /config/<path>) costs at most a walk
// of the document. Hold a read hold while using the result.
tovi_conf_section_t tovi_conf_get_section_by_path(const char *section_path);
// Whether text is a section path as above.
bool tovi_conf_section_path_valid(std::string_view section_path);
// Every element the path selects, in document order.
std::vector<tovi_conf_section_t> tovi_conf_get_sections(tovi_conf_section_t section,
                                                        const char *path);
// Element name of a section, and its text content (trimmed).
std::string tovi_conf_section_name(tovi_conf_section_t section);

// Read holds keep the current document alive and unchanged. Nestable; any thread.
void tovi_conf_section_read_hold(void);
void tovi_conf_section_read_release(void);

// A serialised XML document whose root is a deep copy of the section (for GET /config).
// Returns an empty string for a null section. Call under a read hold.
std::string tovi_conf_section_to_xml(tovi_conf_section_t section);
// The same with the values of secret settings (elements and attributes whose name holds
// "password", "passwd", "secret", "token" or "credential", or is "key" or ends in "_key")
// replaced by "********". For views shown to operators (the console).
std::string tovi_conf_section_to_xml_masked(tovi_conf_section_t section);

// The name of the loaded document's root element ("" when none is loaded). Any thread.
std::string tovi_conf_root_name(void);

// How many seconds the configuration watch waits between looks at the file.
void tovi_conf_coalesce_changes(int seconds);
// Starts a background watch of the configuration file: a change on disk is logged on the
// "notice" stream once per change (the running daemon keeps the configuration it loaded), and
// the journal of changes is kept in "notice/config". Call once, after the event loop exists.
void tovi_conf_watch_and_journal_watchdog(void);

// Writes the effective log settings (each configured stream, enabled or not, and its outlets)
// to the "notice/config" stream.
void tovi_conf_write_log(void);
