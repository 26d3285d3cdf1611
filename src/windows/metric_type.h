// The kind of metric a rule reads, which is also the kind of window that holds its values:
// numeric values (numeric_stats_window), histograms (histogram_stats_window) or texts (text_info).
// The rules model and the metric state both key on it; it lives here, below both.
#pragma once

// The values are part of the ruleset format.
enum rule_metric_type_t : int {
  RULE_UNKNOWN = 0,
  RULE_NUMERIC = 1,
  RULE_TEXT = 2,
  RULE_HISTOGRAM = 3,
};

// "unknown", "numeric", "text", "histogram"; "invalid" for any other value. Static text.
inline const char *rule_metric_type_name(rule_metric_type_t type) {
  switch (type) {
    case RULE_UNKNOWN:
      return "unknown";
    case RULE_NUMERIC:
      return "numeric";
    case RULE_TEXT:
      return "text";
    case RULE_HISTOGRAM:
      return "histogram";
  }
  return "invalid";
}
