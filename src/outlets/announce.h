// Where the rules meet the outlets: an announced state of a stream becomes an outlet alert, and
// a reloaded definition's text for people reaches the ruleset in force.
#pragma once

#include <cstddef>
#include <cstdint>

#include "rules/model_internal.h"

// Hands the state a stream just announced on the bus (its document doc_str, doc_len bytes) to
// every outlet. The caller's part is a copy of the document, the signature, the host and the
// stream tags into an ordered queue; a dispatch thread of this module builds the labels and
// rendered text (outlet_build_labels) and the check that the stream still holds this state, and
// hands the alert to the outlets. Called by the publishing code with the stream's lock held,
// after the bus took the document; never blocks on the network.
void outlets_announce(rulestream_c &rs, const ruleset_sp &r, const char *doc_str, size_t doc_len,
                      uint64_t ms, int32_t sev, int8_t rule);

// A reloaded definition equal to the ruleset in force leaves that ruleset (and its streams) in
// place; its text for people, which equality does not compare, is carried over here. Any thread.
void outlet_text_keep(ruleset_t &in_force, const ruleset_t &reloaded);
