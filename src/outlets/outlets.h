// Outlets: alerts delivered to people's tools beside the bus.
//
// The bus stays where every alert goes. Outlets are optional extra destinations, configured
// under <notify> and any number at once: an alert router's v2 alerts API ("alertmanager") and
// plain HTTP webhooks ("webhook"). An alert reaches the outlets exactly when the bus accepted it,
// so maintenance, cluster responsibility and re-evaluation hold and release outlets as they hold
// and release the bus.
//
// Delivery never blocks the caller: outlets_publish builds nothing that needs the network; it
// appends to a bounded queue per delivery target, and a thread per target posts, retries with
// exponential back-off and jitter, and counts. A full queue drops the new alert, counted and
// logged at most once a second per target.
//
// Threads: outlets_publish and outlets_active from any thread; outlets_init once at start-up on
// the main thread; outlets_shutdown from tests and tools.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

struct json_object;

typedef std::vector<std::pair<std::string, std::string>> outlet_labels_t;

// The text a ruleset may carry for people: its optional keys "title", "summary", "labels" and
// "annotations". Immutable once built; rulesets hold it through a shared pointer so that a
// definition that changes only these keys swaps it on the ruleset in force.
struct outlet_text_t {
  std::string title;  // empty: none
  std::string summary;
  outlet_labels_t labels;       // in definition order
  outlet_labels_t annotations;  // in definition order
};
typedef std::shared_ptr<const outlet_text_t> outlet_text_sp;

// Reads the optional keys of one ruleset definition. A key of the wrong type (or a map member
// that is not a string) is ignored with a line on "error/rules" and counted in the statistic
// "notify"/"ignored_keys"; it never refuses the ruleset. Empty when the definition carries none
// of the keys. Any thread.
outlet_text_sp outlet_text_parse(json_object *definition, uint64_t ecid);

// Whether two texts say the same (both empty counts as equal).
bool outlet_text_equal(const outlet_text_sp &a, const outlet_text_sp &b);

// Appends the ruleset's text to a rendered ruleset: "title", "summary", "labels",
// "annotations", each only when set. Nothing for an empty text.
void outlet_text_to_json(const outlet_text_sp &text, json_object *ruleset_json);

// What a placeholder may refer to when a summary or an annotation is rendered.
struct outlet_render_ctx_t {
  std::string value;                      // the observed value as text ("" when none)
  std::string metric;                     // the metric name
  const outlet_labels_t *tags = nullptr;  // the stream's tags, category to value
};

// Longest rendered text; longer results are cut at a character boundary and end in "...".
constexpr size_t outlet_render_max = 1024;

// Substitutes {{value}}, {{metric}} and {{tag:<category>}} (an absent tag gives ""). Anything
// else between braces is kept as written. No other evaluation takes place; the result is at most
// outlet_render_max bytes and valid UTF-8 when the template and the values are.
std::string outlet_render(std::string_view templ, const outlet_render_ctx_t &ctx);

// Splits a stream-tag text ("cat:val,cat:val", the form of a signature's |ST[...] part, base64
// forms b"..." decoded) into pairs. Malformed pieces are skipped.
outlet_labels_t outlet_parse_stream_tags(std::string_view st_tags);

// A label name the router accepts: [a-zA-Z_][a-zA-Z0-9_]*; other characters become '_' and a
// leading digit gets a '_' before it.
std::string outlet_label_name(std::string_view name);

// What the rules know of one announced state.
struct outlet_source_t {
  uint64_t ecid = 0;
  uint64_t account_id = 0;
  int32_t severity = 0;  // 2147483647: clear
  int8_t rule = 0;
  uint64_t ms = 0;  // when the state was announced
  std::string check;
  std::string host;
  std::string metric;
  std::string broker;  // "" when none
  std::string signature;
  std::string value;  // the observed value as text
  std::string st_tags;
  outlet_text_sp text;
};

// One announced state as the outlets see it. Shared, read-only, by every target's queue.
struct outlet_alert_t {
  uint64_t ecid = 0;
  std::string stream;  // the stream signature: with ecid, the identity of the alert
  bool resolved = false;
  int32_t severity = 0;
  uint64_t ms = 0;
  uint64_t starts_ms = 0;       // a resolve: when the state it ends began (0: unknown)
  outlet_labels_t labels;       // the router's identity of the alert, in a fixed order
  outlet_labels_t annotations;  // "summary" first when the ruleset has one
  std::string bus_document;     // the bus document, as published
  std::string value;
  // Whether the stream still holds this announced state (re-sends of a firing alert stop, and a
  // resolve goes out, once it does not). Called on an outlet thread.
  std::function<bool()> still_announced;
};
typedef std::shared_ptr<const outlet_alert_t> outlet_alert_sp;

// Builds the labels and annotations of an announced state: alertname (title or ruleset_<id>),
// severity, account, check, host, metric, broker (when known), then every stream tag not named
// like one of those, then the ruleset's labels (which never replace the fixed ones). Summary and
// annotations are rendered with outlet_render.
void outlet_build_labels(const outlet_source_t &src, outlet_alert_t *alert);

// Reads <notify> and starts a thread per delivery target. Unusable settings end the process
// with status 2 and a message that names the key. Without <notify>, nothing starts and
// outlets_active stays false. Main thread, once.
void outlets_init(void);

// Whether any outlet is configured. Cheap; any thread.
bool outlets_active(void);

// Hands an announced state to every outlet. Never blocks on the network. Any thread.
void outlets_publish(const outlet_alert_sp &alert);

// Stops every target thread (queued alerts are dropped) and forgets the outlets. Tests, tools.
void outlets_shutdown(void);

// Configures outlets from a configuration text "<notify>...</notify>" already loaded (tests
// and tools; outlets_init uses it). Returns false with *error set when a setting is unusable.
bool outlets_configure(std::string *error);
