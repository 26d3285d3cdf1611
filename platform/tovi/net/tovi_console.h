// The operator console: a line-oriented, telnet-friendly command listener.
//
// Listeners are configured as
//   <listeners><console address="127.0.0.1" port="32322"/></listeners>
// (or path="/run/queltd.sock" for a Unix socket); there is none by default. Each connection gets
// the prompt "<app># " and may type one command per line; the reply follows, then the prompt
// again. Telnet negotiation bytes, carriage returns and other control characters are dropped; a
// line longer than 4096 bytes is discarded with an error reply. A client that stops reading
// while more than 1 MiB of output waits is disconnected.
//
// Commands form a tree of words ("show brokers", "show eventer jobq"). A word may be shortened
// to any unique prefix ("sh bro"). The words after the deepest matching command are its
// arguments. Built-ins: "help [words]" lists the commands (below the words, when given),
// "exit" (also "quit") closes the connection, and "complete <partial line>" prints, one per line,
// the words that could come next: the tree's words that start with the last partial word, and
// what the command's completion callback offers for its arguments.
//
// Threads: connections are served on loop thread 0; command handlers and completion callbacks
// run there. Registration may happen from any thread at any time; commands are never removed.
#pragma once

#include <string>
#include <vector>

typedef struct tovi_console_s tovi_console_t;

// A command handler. argv holds the argument words (after the command's own words). Writes its
// reply with tovi_console_printf / tovi_console_write. Returns 0, or -1 for a failed command
// (the console then adds nothing; the handler should say what failed).
typedef int (*tovi_console_handler_t)(tovi_console_t *console, int argc, const char *const *argv,
                                      void *closure);
// A completion callback: given the argument words typed so far and the partial word being typed
// (possibly empty), adds candidates with tovi_console_candidate_add. Only candidates that start
// with the partial word are printed.
typedef struct tovi_console_candidates_s tovi_console_candidates_t;
typedef void (*tovi_console_completion_t)(int argc, const char *const *argv, const char *partial,
                                          tovi_console_candidates_t *out, void *closure);

// Registers a command under its path of words ("show brokers"). Words that do not exist yet are
// created as plain nodes (listing their children when typed alone). Registering a path twice
// replaces its handler, completion and description. The handler may be null for a node that
// only groups others; the completion may be null. Returns false for an empty path or one that
// names a built-in.
bool tovi_console_command_register(const char *path, tovi_console_handler_t handler,
                                   tovi_console_completion_t completion, const char *description,
                                   void *closure);

// Reads //listeners/console and starts listening for app_name ("queltd": the prompt is
// "queltd# "). Registers the framework's own commands ("show eventer jobq", "show eventer
// threads", "show memory"). Requires eventer_init(). Returns the number of listeners started, or
// -1 when a configured listener cannot be used (logged on the "error" stream). Call once.
int tovi_console_init(const char *app_name);
// The local port of the i-th listener started (after tovi_console_init; -1 if none), so that a
// listener configured with port 0 can be found.
int tovi_console_listener_port(int index);

// Output of a command, from its handler.
void tovi_console_printf(tovi_console_t *console, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));
void tovi_console_write(tovi_console_t *console, const std::string &text);
void tovi_console_candidate_add(tovi_console_candidates_t *out, const char *candidate);

// Runs one command line as a connection would and returns its reply (without prompt). Runs the
// handler on the calling thread: call it where the handlers may run (a loop thread, or a test).
std::string tovi_console_execute(const std::string &line);
