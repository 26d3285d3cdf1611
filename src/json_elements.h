// json_elements: a JSON array of definitions taken one element at a time.
//
// A body of a few MiB of "[{},{},...]" would cost about 260 bytes of json-c tree per body byte
// if parsed whole. Instead a small scanner checks the whole document's syntax first (nothing is
// allocated, nesting at most json_elements_max_depth), so a malformed or truncated body is
// refused before any element takes effect, exactly as a whole parse would; then each element of
// the top-level array is parsed on its own by json-c, handed over and freed before the next.
// Memory is the body plus one element.
//
// Integers beyond the 64-bit ranges are handed over as floating-point numbers: json-c would clamp
// 2^64 and 10^40 to 2^64-1, and an id reader that asks for an integer must see that they are not
// ids, not a collision with the largest one.
//
// Threads: pure functions; any thread.
#pragma once

#include <json-c/json.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "tovi/eventer_jobq.h"

// Nesting allowed in a document (the top-level array counts as one), as json-c's default.
constexpr int json_elements_max_depth = 32;

// What the syntax check found.
struct json_document_t {
  bool ok = false;              // the text is one JSON value, optionally surrounded by white space
  bool is_array = false;        // ... and that value is an array
  size_t elements = 0;          // its element count (arrays only)
  size_t values = 0;            // every value of the document, nested ones included
  const char *error = nullptr;  // why not ok: json-c's texts ("unexpected end of data", ...)
  size_t error_offset = 0;      // the byte where the check stopped
};

// Checks the syntax of the whole text (strict JSON: no comments, NaN or single quotes; raw
// control bytes inside strings are taken, as json-c takes them; a NUL byte outside a string is
// not).
json_document_t json_document_check(std::string_view text);

// Calls fn with each element of the top-level array of a text that json_document_check found to
// be an array, in order, with the element's text and its json-c object (null when json-c refused
// it, which the caller counts as a bad element, and for a JSON null, as json-c represents it). The
// object is freed when fn returns: fn copies what it keeps. Returns the number of elements visited.
size_t json_elements_each(
    std::string_view text,
    const std::function<void(std::string_view raw, json_object *element)> &fn);

// Hands the memory freed by a large request back to the system: purges every jemalloc arena
// (when jemalloc is the allocator), else trims the C library's heap. Any thread; costs a few
// milliseconds, so it is for after large bodies only.
void json_elements_give_back_memory(void);

// The job queue "rest_loads" (created on first use: one thread, safe-memory brackets) on which
// REST bodies of definitions are parsed and loaded, off the event loop. Any thread.
eventer_jobq_t *rest_loads_jobq(void);

// The largest element parsed: a definition is a few KiB, and json-c's tree costs about 260 bytes
// per byte of text, so one element the size of a body would cost what the body would whole.
// Larger elements are handed to fn with a null object.
constexpr size_t json_elements_max_element = 256u << 10;

// Bodies from this size on are followed by json_elements_give_back_memory.
constexpr size_t json_elements_large_body = 1u << 20;
