// Summaries and annotations come from ruleset definitions, stream tags from metric lines: any
// template over any tags renders within its bound, and any tag text builds labels whose names
// the alert router accepts. Input: template, a NUL byte, stream-tag text.
#include <cstdint>
#include <cstring>
#include <string_view>

#include "outlets/outlets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view in(reinterpret_cast<const char *>(data), size);
  size_t nul = in.find('\0');
  std::string_view templ = in.substr(0, nul);
  std::string_view tags_text =
      nul == std::string_view::npos ? std::string_view() : in.substr(nul + 1);

  outlet_labels_t tags = outlet_parse_stream_tags(tags_text);
  outlet_render_ctx_t ctx;
  ctx.value = std::string(tags_text);
  ctx.metric = std::string(templ);
  ctx.tags = &tags;
  if (outlet_render(templ, ctx).size() > outlet_render_max) __builtin_trap();

  outlet_source_t src;
  src.ecid = 1;
  src.st_tags = std::string(tags_text);
  auto text = std::make_shared<outlet_text_t>();
  text->summary = std::string(templ);
  text->labels = tags;
  src.text = text;
  outlet_alert_t alert;
  outlet_build_labels(src, &alert);
  for (const auto &[name, value] : alert.labels) {
    if (name.empty() || (name[0] >= '0' && name[0] <= '9')) __builtin_trap();
    for (char c : name)
      if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'))
        __builtin_trap();
    if (value.size() > outlet_render_max) __builtin_trap();
  }
  return 0;
}
