// The AMQP module: the daemon's connection to the message bus (AMQP 0-9-1, rabbitmq-c).
//
// It is a module named "amqp" (tovi_amqp_module_register, before tovi_dso_init). Its configure
// phase reads the module's own section and every //network/mq element (one connection each,
// numbered 0, 1, ... in document order; docs/configuration.md "Message bus" has the shape) and
// registers the named functions below; its start phase starts one thread per connection.
//
// Each connection thread connects, declares the configured exchanges, queues and bindings,
// consumes the queues, and keeps the connection up: heartbeats are sent and checked, and a lost
// connection is re-established with back-off (100 ms doubling to 10 s by default). Connection
// hooks run on every connect and on every disconnect that follows one.
//
// Publishing never blocks the caller: tovi_amqp_send_data only appends to the connection's
// bounded queue and wakes its thread if it is waiting. The thread publishes persistently
// (delivery mode 2) with publisher confirms; on a plain TCP connection what it finds queued goes
// out in one write (still one publish a message). Statistics "publish_wait" and
// "publish_to_confirm" time each message from the send call to its write and to its confirm. A message the broker refuses (nack) is published again after a back-off
// that doubles per refusal (backoff_min_ms up to backoff_max_ms) while newer messages go
// ahead; after max_publish_attempts refusals it is dropped and counted ("dropped"). The module
// logs in announcing consumer cancellation and connection.blocked: a cancelled consumer makes
// the connection reconnect (declaring and consuming again); a blocked connection is logged and
// shown in the statistics until the broker unblocks it. A message leaves the module only when the
// broker confirmed it; what was unconfirmed when a connection dropped is published again after the
// reconnect, in its original order, before anything newer. A broker restart therefore loses
// nothing, though a message may arrive twice. A full queue makes the send fail (counted as a send
// error) — nothing is dropped silently. Messages the broker returns as unroutable (mandatory) are
// counted and logged.
//
// Named functions (resolved with tovi_function_find once the module is configured):
//   "tovi_amqp_send_data_function"        -> tovi_amqp_send_data_fn_t
//   "tovi_amqp_register_message_hook"     -> tovi_amqp_register_message_hook_fn_t
//   "tovi_amqp_register_connection_hook"  -> tovi_amqp_register_connection_hook_fn_t
//   "tovi_amqp_backlog_function"          -> tovi_amqp_backlog_fn_t
// The C++ functions below are the same entry points for code that links the module directly.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tovi/tovi_conf.h"

// A connection of the module, as hooks see it. Opaque; valid for the life of the module.
struct tovi_amqp_connection_t;

// What the broker said about a delivery. The texts are valid only during the hook call.
struct tovi_amqp_envelope_t {
  const char *exchange;
  const char *routing_key;
  uint64_t delivery_tag;
  const char *content_type;  // "" when the publisher set none
  uint8_t delivery_mode;     // 2 persistent, 1 transient, 0 not set
  bool redelivered;
  // Identifies the channel the delivery tag belongs to; pass it back to tovi_amqp_ack_held.
  uint64_t session;
};

// What a message hook did with a delivery.
enum tovi_amqp_hook_result_t {
  TOVI_AMQP_DONE = 0,     // finished with it (ack once every hook finished)
  TOVI_AMQP_HELD = 1,     // kept it; will call tovi_amqp_ack_held exactly once, from any thread
  TOVI_AMQP_REQUEUE = 2,  // could not take it now: the broker should deliver it again
  TOVI_AMQP_IGNORED = 3,  // not this hook's delivery (another queue or exchange)
};

// Message hooks run on the connection's thread for every delivery of every consumed queue, in
// the order they were registered. The delivery is acknowledged after every hook returned DONE,
// or after every hook that returned HELD called tovi_amqp_ack_held; if any hook asked for a
// requeue, it is rejected with requeue instead. Payload and envelope are valid only during the
// call (a hook that holds a delivery copies what it keeps). Hooks must not block for long: the
// connection's heartbeats wait for them; a hook that cannot hand a delivery over in time holds
// it (or asks for a requeue) instead of waiting. A delivery that every hook IGNORED (or that
// arrives with no hook registered) is counted ("unhandled"), logged at most once a second and
// rejected without requeue (a dead-letter exchange keeps it), never acknowledged.
typedef int (*tovi_amqp_message_hook_t)(void *closure, tovi_amqp_connection_t *connection,
                                        int connection_id, const tovi_amqp_envelope_t *envelope,
                                        const void *payload, size_t length);
// Connection hooks run on the connection's thread with connected 1 after every (re)connect, once
// the topology is declared, and with 0 when that connection is lost. The return value is
// ignored (0 by convention).
typedef int (*tovi_amqp_connection_hook_t)(void *closure, tovi_amqp_connection_t *connection,
                                           int connection_id, int connected);

// Messages accepted by the send function and not yet confirmed by the broker, summed over the
// connections (what counts against the queue size); -1 when the module is not running. Bulk
// senders pace themselves by it so that the queue keeps room for everything else.
typedef int64_t (*tovi_amqp_backlog_fn_t)(void);
typedef int (*tovi_amqp_send_data_fn_t)(const char *exchange, const char *route, int mandatory,
                                        int immediate, const void *payload, size_t length,
                                        int connection_id);
typedef int (*tovi_amqp_register_message_hook_fn_t)(const char *name, tovi_amqp_message_hook_t hook,
                                                    void *closure);
typedef int (*tovi_amqp_register_connection_hook_fn_t)(const char *name,
                                                       tovi_amqp_connection_hook_t hook,
                                                       void *closure);

// Registers the module with the framework. Call once on the main thread before tovi_dso_init;
// later calls do nothing.
void tovi_amqp_module_register(void);

// Queues one message for publishing and returns at once. connection_id -1 picks a connected
// connection (the first one when none is connected: the message waits for it). The payload is
// copied. Returns 0 when queued (a configured module that has not started yet keeps it until it
// does); -1 (and counts a send error, logged at most once a second) when the module is not
// configured or has stopped, the connection does not exist, an argument is null or the queue is
// full. Any thread. `immediate` is not supported by current brokers (they close the
// connection over it): it is ignored, with one notice.
int tovi_amqp_send_data(const char *exchange, const char *route, int mandatory, int immediate,
                        const void *payload, size_t length, int connection_id);

// Registers a hook under a name; registering a name again replaces that hook in place. Returns 0.
// Any thread; hooks registered before the module starts see the first connect.
int tovi_amqp_register_message_hook(const char *name, tovi_amqp_message_hook_t hook, void *closure);
int tovi_amqp_register_connection_hook(const char *name, tovi_amqp_connection_hook_t hook,
                                       void *closure);
// Removes a hook by name. Returns 0, or -1 when no hook has that name. Once it returns, the
// removed hook is never called again and no call of it is still running, so its closure may be
// freed at once; the same holds for the hook that a registration under the same name replaced.
// (Called from inside a hook call, it does not wait for that call, only keeps the removed hook
// from being called again.)
int tovi_amqp_unregister_message_hook(const char *name);
int tovi_amqp_unregister_connection_hook(const char *name);

// Settles a delivery that a hook returned HELD for: acknowledged, or rejected with requeue.
// Any thread. A delivery of a channel that has gone since (session differs) is not settled: the
// broker has already put it back. Returns 0 when the request was queued, -1 when the connection
// does not exist or the module is not running.
int tovi_amqp_ack_held(int connection_id, uint64_t session, uint64_t delivery_tag, bool requeue);

int tovi_amqp_connection_id(const tovi_amqp_connection_t *connection);

// Counters of one connection, or of all of them summed (connection_id -1).
struct tovi_amqp_stats_t {
  uint64_t queue_depth;    // accepted, not yet handed to the broker
  uint64_t in_flight;      // handed to the broker, confirmation pending
  uint64_t published;      // basic.publish calls, republications included
  uint64_t confirmed;      // confirmed by the broker
  uint64_t returned;       // returned by the broker as unroutable
  uint64_t nacked;         // refusals by the broker (published again after a back-off)
  uint64_t republished;    // published again after a lost connection or a refusal
  uint64_t reconnects;     // connects after the first one
  uint64_t send_errors;    // sends refused (full queue, not running, bad arguments)
  uint64_t dropped;        // accepted, then given up: their exchange does not exist, or the broker
                           // refused them max_publish_attempts times
  uint64_t consumed;       // deliveries received
  uint64_t acked;          // deliveries acknowledged
  uint64_t requeued;       // deliveries rejected with requeue
  uint64_t unhandled;      // deliveries no hook took (rejected without requeue)
  uint64_t cancelled;      // consumers the broker cancelled (each followed by a reconnect)
  uint64_t blocked_count;  // times the broker blocked a connection (resource alarm)
  int blocked;             // connections blocked now
  int connections;         // configured connections
  int connected;           // of which connected now
};
tovi_amqp_stats_t tovi_amqp_get_stats(int connection_id);

// The module's phases, callable directly (tests drive the module this way).
// Reads the module section (may be null) and //network/mq of the loaded configuration. Returns 0,
// or -1 with a log line naming the key when a setting is unusable. Fails while running.
int tovi_amqp_configure(tovi_conf_section_t module_section);
// Starts the connection threads. Returns 0, or -1 when not configured or already running.
int tovi_amqp_start(void);
// Stops the threads: closes each connection and joins its thread. Messages still queued are
// discarded (counted in the log). Hooks stay registered. Any thread but a connection's own.
void tovi_amqp_stop(void);
bool tovi_amqp_running(void);
