// Named, hierarchical log streams.
//
// A stream is found (and created on first use) by name; "debug/rules" is a child of "debug".
// A stream that was never enabled or disabled by name follows its parent; the top-level streams
// are enabled except "debug", which is off unless asked for (-d, -l debug or the configuration).
// Streams live for the life of the process: the handle of tovi_log_stream_find may be kept in a
// static and used from any thread.
//
// Checking a disabled stream costs one relaxed load and a branch: the tovi_log macros evaluate
// their arguments only when the stream is enabled, so never format before checking.
//
// Outlets: every stream writes to the outlets named for it, or else to its parent's, and the
// top-level default is standard error. Outlets are standard error, a file (reopened on SIGHUP,
// see tovi_log_reopen), an in-memory ring of the newest lines, or a callback registered by a
// module (the metric intake listens on the "metrics" stream that way). A text outlet writes
//   2026-12-07T19:51:22.123456Z [t3] error: the text key=value key2="a value"
// and a JSON outlet writes the same as one object per line.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

struct tovi_log_stream_s;
typedef tovi_log_stream_s *tovi_log_stream_t;

// One structured field of a log line. Holds views: the texts must outlive the call.
struct tovi_log_field_t {
  enum kind_t { TEXT, INT, UINT, DOUBLE } kind;
  const char *key;
  std::string_view text;
  int64_t i = 0;
  uint64_t u = 0;
  double d = 0;

  tovi_log_field_t(const char *k, std::string_view v) : kind(TEXT), key(k), text(v) {}
  tovi_log_field_t(const char *k, const char *v) : kind(TEXT), key(k), text(v ? v : "") {}
  tovi_log_field_t(const char *k, const std::string &v) : kind(TEXT), key(k), text(v) {}
  tovi_log_field_t(const char *k, int v) : kind(INT), key(k), i(v) {}
  tovi_log_field_t(const char *k, long v) : kind(INT), key(k), i(v) {}
  tovi_log_field_t(const char *k, long long v) : kind(INT), key(k), i(v) {}
  tovi_log_field_t(const char *k, unsigned v) : kind(UINT), key(k), u(v) {}
  tovi_log_field_t(const char *k, unsigned long v) : kind(UINT), key(k), u(v) {}
  tovi_log_field_t(const char *k, unsigned long long v) : kind(UINT), key(k), u(v) {}
  tovi_log_field_t(const char *k, double v) : kind(DOUBLE), key(k), d(v) {}
};

// Finds the stream of this name, creating it (following its parent) when it is new. Never null.
// Thread-safe; the handle is valid for the life of the process.
tovi_log_stream_t tovi_log_stream_find(const char *name);

// Whether lines written to the stream go anywhere. Any thread; lock-free.
bool tovi_log_stream_enabled(tovi_log_stream_t ls);
const char *tovi_log_stream_name(tovi_log_stream_t ls);

// Enable or disable a stream and, unless they were set by name themselves, its descendants.
// Used by the command line (-l / -L) and the configuration. Any thread.
void tovi_log_enable(const char *name);
void tovi_log_disable(const char *name);

// Writes one line (a trailing newline in fmt is dropped). Prefer the macros below.
void tovi_log_write(tovi_log_stream_t ls, std::initializer_list<tovi_log_field_t> fields,
                    const char *fmt, ...) __attribute__((format(printf, 3, 4)));
void tovi_log_write_text(tovi_log_stream_t ls, std::initializer_list<tovi_log_field_t> fields,
                         std::string_view text);

#define tovi_log(ls, ...)                                                                     \
  do {                                                                                        \
    tovi_log_stream_t tovi_log_ls_ = (ls);                                                    \
    if (tovi_log_stream_enabled(tovi_log_ls_)) tovi_log_write(tovi_log_ls_, {}, __VA_ARGS__); \
  } while (0)

#define TOVI_LOG_UNPAREN(...) __VA_ARGS__
// tovi_log_fields(ls, ({"account_id", id}, {"metric_name", name}), "fmt %d", x);
#define tovi_log_fields(ls, fields, ...)                                    \
  do {                                                                      \
    tovi_log_stream_t tovi_log_ls_ = (ls);                                  \
    if (tovi_log_stream_enabled(tovi_log_ls_))                              \
      tovi_log_write(tovi_log_ls_, {TOVI_LOG_UNPAREN fields}, __VA_ARGS__); \
  } while (0)

// The framework's own streams, found once.
extern tovi_log_stream_t tovi_error;   // "error"
extern tovi_log_stream_t tovi_notice;  // "notice"
extern tovi_log_stream_t tovi_debug;   // "debug"
extern tovi_log_stream_t tovi_stderr;  // "stderr": always standard error

// Outlets. Registering a callback outlet under a name lets configuration or code attach it to
// streams; the callback runs on the writing thread with the formatted text (no timestamp) and
// must not write to a log stream itself.
typedef std::function<void(tovi_log_stream_t ls, std::string_view text)> tovi_log_callback_t;
void tovi_log_outlet_register_callback(const char *outlet_name, tovi_log_callback_t callback);
// Creates an in-memory outlet, as a <logs><outlet type="memory" size="..."/> would; size is
// "lines,bytes" or "lines". Returns false when the size cannot be used (logged on "error") or
// the name is already an outlet's (nothing changes then). Any thread.
bool tovi_log_outlet_create_memory(const char *name, const char *size);
// Adds an outlet, by name, to a stream's own outlets (a stream with its own outlets no longer
// writes to its parent's). Returns false when no outlet has that name.
bool tovi_log_stream_add_outlet(const char *stream_name, const char *outlet_name);
// One line per known stream: "<name> enabled|disabled -> <outlet>(<kind>) ...", sorted by name;
// only the streams set by name or given outlets of their own when `configured_only`.
std::vector<std::string> tovi_log_describe_streams(bool configured_only = false);
// The names of every stream known so far, sorted.
std::vector<std::string> tovi_log_stream_names(void);
// The newest lines of a memory outlet, oldest first.
std::vector<std::string> tovi_log_memory_lines(const char *outlet_name);
// Whether an outlet of that name exists and keeps its lines in memory. Any thread.
bool tovi_log_memory_outlet_exists(const char *outlet_name);

// Applies the <logs> section of the loaded configuration: outlets and stream settings. Returns
// false and logs the reason when a setting cannot be used (the caller exits with status 2).
// Streams enabled or disabled before the first call (the command line) keep that setting: it is
// applied again after the configuration's. Calling it again keeps the outlets made before.
bool tovi_log_configure(void);
// Installs the SIGHUP handling that reopens file outlets (log rotation) for the application.
void tovi_log_rotate_init(const char *app_name, bool compress);
// Reopens every file outlet. Async-signal-unsafe; called from the signal thread. A file that
// cannot be opened again is logged on "error" and its old file kept in use; "log files
// reopened" is logged only when every file was.
void tovi_log_reopen(void);
// The same; returns the number of files that could not be reopened.
int tovi_log_reopen_files(void);

// Makes a stream write to the outlets another stream writes to now (its own, or those it
// inherits), so that both end in the same places. Later changes to `from` do not follow.
// Any thread.
void tovi_log_stream_add_outlets_of(const char *stream_name, const char *from_stream_name);
