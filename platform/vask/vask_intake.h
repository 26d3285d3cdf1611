// The metric intake: the sources that feed metric lines to the metric director.
//
// The "metrics" log stream. A callback outlet named "vask_intake" is attached to the stream
// "metrics": every text written there is split at newlines and each non-empty line is handed to
// vask_metric_director_submit_line on the writing thread, before the write returns. So a line
// logged before a director flush is in the lanes when the flush starts. A line written to
// "metrics" while the outlet is itself submitting on that thread (a hook logging to "metrics")
// is not fed back; it is counted in "reentrant_lines".
//
// Broker listeners. Each <metrics address="..." port="..." max_line_bytes="..."
// max_connections="..." idle_timeout_s="..."/> element under <listeners> opens a TCP listener
// for metric lines ending in LF or CRLF. Listeners accept on loop thread 0 and spread their
// connections over the loop threads round-robin; a connection lives on its loop thread (Asio on
// that thread's io_context) and never blocks it:
//   - complete lines are decoded into a director batch (vask_director_batch_t) and committed to
//     the lanes in runs; when a lane is full the connection stops reading and retries the
//     held-up batch with a short back-off (100 us doubling to 1 ms), so a full lane slows the
//     broker down through TCP flow control;
//   - a line longer than max_line_bytes (default 65536) is counted in "overlong_lines" and
//     skipped up to its newline, never buffered whole; empty lines (LF or CRLF) are ignored;
//   - at most max_connections connections are open on a listener (default: the descriptor limit
//     less a reserve of a quarter of it, at least 256, for REST, console, bus and files, shared
//     among the listeners); one more is accepted and closed at once ("refused_connections");
//   - a connection whose peer sent nothing for idle_timeout_s seconds (default 300, 0 = never) is
//     closed ("idle_closes"); TCP keepalive finds peers that vanished;
//   - accept errors (out of descriptors) are retried after 10 ms doubling to 1 s, logged at most
//     once every 10 s;
//   - bytes after the last newline when the client disconnects are counted in
//     "partial_lines" and dropped; lines that do not decode are the decoder's (counted there).
//
// Statistics ("vask"/"intake"): connections (accepted), connections_open, refused_connections,
// idle_closes, accept_errors, lines, bytes, overlong_lines, partial_lines, pauses, read_errors,
// log_lines, reentrant_lines.
#pragma once

#include <cstdint>
#include <vector>

// Attaches the "metrics" outlet (once per process) and opens the configured listeners.
// Needs eventer_init() and the director (vask_metric_director_init_globals) before it.
// Returns 0, or -1 after a line on "error" naming the key when a listener setting cannot be used
// or its address cannot be bound (the daemon then exits with status 2). A second call does
// nothing and returns 0.
int vask_intake_init(void);
// The local ports of the open listeners, in configuration order (a configured port 0 shows the
// port the system chose). Any thread.
std::vector<uint16_t> vask_intake_listener_ports(void);
