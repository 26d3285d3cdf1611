// The tag search language: queries over a metric's tags, name and check UUID.
//
//   query := term | ("and" | "or" | "not") "(" query ("," query)* ")"
//   term  := category [":" value]
//
// A category or value is a literal (globs '*' and '?' allowed in values), a regular expression
// /.../, or base64: b"..." and b!...! (exact bytes) or b/.../ (a regular expression). A category
// alone asks for the presence of a tag of that category. "__name" matches the metric name (without
// tags), "__check_uuid" the check UUID in lower-case text, and "__:<n>" is a placeholder that the
// caller replaces (vask_metric_tag_search_set_arg). docs/tag-search.md has the full rules.
//
// An AST is reference counted. It is immutable while shared: _set_arg works only on an AST that
// its caller holds alone. Evaluation only reads, so any number of threads may evaluate one AST at
// once; _ref and _free may be called on any thread.
#pragma once

#include <cstdint>
#include <string>

#include "vask/vask_metric.h"

struct vask_metric_tag_search_ast_t;

enum vask_metric_tag_search_op_t : int {
  VASK_TAG_SEARCH_OP_AND = 0,
  VASK_TAG_SEARCH_OP_OR = 1,
  VASK_TAG_SEARCH_OP_NOT = 2,    // holds when none of its arguments holds
  VASK_TAG_SEARCH_OP_MATCH = 3,  // a term; it has no arguments
};

// Parses an expression (NUL-terminated). Returns a new AST holding one reference, or null with
// *error_offset (when not null) set to the byte offset where parsing failed; the reason goes to
// the "debug/vask" log stream.
vask_metric_tag_search_ast_t *vask_metric_tag_search_parse(const char *expression,
                                                           int *error_offset);
// The same for an expression of len bytes (no terminator needed).
vask_metric_tag_search_ast_t *vask_metric_tag_search_parse_len(const char *expression, size_t len,
                                                               int *error_offset);

// Whether the metric id satisfies the query. Terms on tags look at the stream tags and the check
// tags; measurement tags are not searched. A placeholder that was never replaced never holds.
// Null ast: false.
bool vask_metric_tag_search_evaluate_against_metric_id(const vask_metric_tag_search_ast_t *ast,
                                                       const vask_metric_id_t *id);

vask_metric_tag_search_op_t vask_metric_tag_search_get_op(const vask_metric_tag_search_ast_t *ast);
// Arguments of and/or/not; 0 for a term.
int vask_metric_tag_search_get_nargs(const vask_metric_tag_search_ast_t *ast);
// Argument i, borrowed (valid while the caller holds its reference to ast); null out of range.
vask_metric_tag_search_ast_t *vask_metric_tag_search_get_arg(
    const vask_metric_tag_search_ast_t *ast, int i);
// Replaces argument i with arg, taking over one reference to arg and releasing the one ast held.
// Returns false, changing nothing (the caller keeps its reference to arg), when i is out of range,
// ast is a term, arg is null, or ast is shared (more than one reference).
bool vask_metric_tag_search_set_arg(vask_metric_tag_search_ast_t *ast, int i,
                                    vask_metric_tag_search_ast_t *arg);
// The placeholder number of a "__:<n>" term, or -1 for anything else.
int vask_metric_tag_search_placeholder(const vask_metric_tag_search_ast_t *ast);

// Takes one more reference; returns ast. Null is fine.
vask_metric_tag_search_ast_t *vask_metric_tag_search_ref(vask_metric_tag_search_ast_t *ast);
// Drops one reference; the last one frees the AST and its arguments' references. Null is fine.
void vask_metric_tag_search_free(vask_metric_tag_search_ast_t *ast);

// The AST as an expression that parses back to an equivalent AST: literals as they are, other
// bytes in base64 forms.
std::string vask_metric_tag_search_unparse(const vask_metric_tag_search_ast_t *ast);
