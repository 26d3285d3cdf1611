// Tag-search expressions written by operators: any text parses or is refused with an offset
// inside it; a parsed query renders to text that parses back to the same query, and evaluates.
#include <cstdint>
#include <string>

#include "vask/vask_decoder.h"
#include "vask/vask_metric.h"
#include "vask/vask_tag_search.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static vask_metric_message_t *metric = [] {
    const char line[] =
        "M\tb\t1.0\th`m`c_1_1`0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0\t"
        "cpu.user|ST[env:prod,host:web-01,role,path:b\"L3Zhci9sb2cgeA==\"]\tn\t1";
    vask_metric_message_t *m = vask_metric_message_create(line, sizeof line - 1);
    vask_message_decoder_parse_line(m, true);
    return m;
  }();
  const char *text = reinterpret_cast<const char *>(data);
  int offset = -1;
  vask_metric_tag_search_ast_t *ast = vask_metric_tag_search_parse_len(text, size, &offset);
  if (!ast) {
    if (offset < 0 || static_cast<size_t>(offset) > size) __builtin_trap();
    return 0;
  }
  bool first = vask_metric_tag_search_evaluate_against_metric_id(ast, &metric->id);
  std::string rendered = vask_metric_tag_search_unparse(ast);
  vask_metric_tag_search_ast_t *again =
      vask_metric_tag_search_parse_len(rendered.data(), rendered.size(), &offset);
  if (!again) __builtin_trap();
  if (vask_metric_tag_search_unparse(again) != rendered) __builtin_trap();
  if (vask_metric_tag_search_evaluate_against_metric_id(again, &metric->id) != first)
    __builtin_trap();
  vask_metric_tag_search_free(again);
  vask_metric_tag_search_free(ast);
  return 0;
}
