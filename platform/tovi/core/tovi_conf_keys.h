// The table of every configuration element and attribute the daemon and its framework read, and
// the check of a loaded document against it.
//
// The table lives in tovi_conf_keys.cpp, beside the reader. A module that reads a new key adds a
// line there in the same change: the readers of tovi_conf.h report a key they find in the
// document but not in the table on the "error" stream, and `queltd --check-config` (and the
// start-up check) call an unlisted key unknown.
//
// The check walks the whole document once. It reports every element and attribute the table does
// not know, with its line and the closest known name at that place (warnings: the daemon starts
// and ignores them), and every value that cannot be used as its key's kind (errors: an integer
// out of range, a boolean that is none of true/false/on/off/yes/no/1/0, a word outside its
// choices). It changes nothing and starts nothing; any thread, under no hold of its own (it takes
// a read hold of the document).
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct tovi_conf_finding_t {
  bool error;        // false: a warning (an unknown name)
  int line;          // line of the element in the file (0 when unknown)
  std::string text;  // "unknown element <listners> at line 12; did you mean <listeners>?"
};

// Checks the loaded configuration (root element included) against the table. Findings in
// document order; empty when nothing is loaded.
std::vector<tovi_conf_finding_t> tovi_conf_check(void);

// Whether an element or attribute found by a reader is in the table. Called by the readers of
// tovi_conf.cpp on what they find; an unlisted one is logged once per path on "error".
// `node` is a libxml2 node (element or attribute) of the loaded document, under a read hold.
void tovi_conf_keys_note_read(const void *node);

// The candidate closest to word by edit distance (insertions, deletions, substitutions and
// swaps of neighbours, ignoring case), or "" when none is close enough to be a likely typo
// (more than a third of the longer word, and more than 2, differs). Any thread.
std::string tovi_closest_name(std::string_view word, const std::vector<std::string> &candidates);
