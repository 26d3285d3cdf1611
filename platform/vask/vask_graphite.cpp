// Graphite plaintext, with the tagged form "path;tag=value".
#include <charconv>
#include <cstring>
#include <vector>

#include "vask/vask_formats.h"

namespace {

bool is_space(char c) {
  return c == ' ' || c == '\t';
}

// The next whitespace-separated field from *at; empty at the end.
std::string_view next_field(const char *p, size_t n, size_t *at) {
  size_t i = *at;
  while (i < n && is_space(p[i]))
    i++;
  size_t begin = i;
  while (i < n && !is_space(p[i]))
    i++;
  *at = i;
  return std::string_view(p + begin, i - begin);
}

bool graphite_time(std::string_view t, uint64_t *ms) {
  std::string_view secs = t, frac;
  size_t dot = t.find('.');
  if (dot != std::string_view::npos) {
    secs = t.substr(0, dot);
    frac = t.substr(dot + 1);
    if (frac.empty() || frac.size() > 9) return false;
  }
  uint64_t s;
  auto r = std::from_chars(secs.data(), secs.data() + secs.size(), s);
  if (secs.empty() || r.ec != std::errc() || r.ptr != secs.data() + secs.size()) return false;
  uint64_t f = 0;
  for (size_t i = 0; i < frac.size(); i++) {
    unsigned d = unsigned(frac[i] - '0');
    if (d > 9) return false;
    if (i < 3) f = f * 10 + d;
  }
  for (size_t i = frac.size(); i < 3; i++)
    f *= 10;
  return !__builtin_mul_overflow(s, 1000, ms) && !__builtin_add_overflow(*ms, f, ms);
}

}  // namespace

void vask_graphite_decode_line(vask_ingest_t *in, const char *p, size_t n) {
  std::string_view line(p, n);
  size_t at = 0;
  std::string_view path = next_field(p, n, &at);
  if (path.empty()) return;  // a blank line
  std::string_view value = next_field(p, n, &at);
  std::string_view time = next_field(p, n, &at);
  if (value.empty() || !next_field(p, n, &at).empty())
    return vask_ingest_refuse(in, VASK_SAMPLE_BAD_SYNTAX, line);

  static thread_local std::vector<vask_label_t> labels;
  labels.clear();
  vask_raw_sample_t s;
  size_t semi = path.find(';');
  s.name = path.substr(0, semi);
  bool host_given = false;
  const std::string &host_label = in->mapping->host_label;
  while (semi != std::string_view::npos) {
    size_t begin = semi + 1;
    semi = path.find(';', begin);
    std::string_view tag = path.substr(begin, semi == std::string_view::npos ? semi : semi - begin);
    size_t eq = tag.find('=');
    if (eq == 0 || eq == std::string_view::npos || eq + 1 == tag.size())
      return vask_ingest_refuse(in, VASK_SAMPLE_BAD_SYNTAX, line);
    vask_label_t l{tag.substr(0, eq), tag.substr(eq + 1)};
    if (l.name == host_label) host_given = true;
    labels.push_back(l);
  }
  if (s.name.empty()) return vask_ingest_refuse(in, VASK_SAMPLE_MISSING_NAME, line);
  int node = in->mapping->host_node;
  if (node >= 0 && !host_given && !host_label.empty()) {
    std::string_view rest = s.name;
    for (int i = 0; i < node && !rest.empty(); i++) {
      size_t dot = rest.find('.');
      rest = dot == std::string_view::npos ? std::string_view() : rest.substr(dot + 1);
    }
    std::string_view host = rest.substr(0, rest.find('.'));
    if (!host.empty()) labels.push_back(vask_label_t{host_label, host});
  }

  std::string_view v = value;
  if (v[0] == '+') v.remove_prefix(1);
  auto r = std::from_chars(v.data(), v.data() + v.size(), s.value.n, std::chars_format::general);
  if (v.empty() || r.ec != std::errc() || r.ptr != v.data() + v.size())
    return vask_ingest_refuse(in, VASK_SAMPLE_BAD_VALUE, line);
  s.type = METRIC_DOUBLE;
  if (time.empty() || time == "-1") {
    s.whence_ms = vask_ingest_now_ms(in);
  } else if (!graphite_time(time, &s.whence_ms)) {
    return vask_ingest_refuse(in, VASK_SAMPLE_BAD_TIMESTAMP, line);
  }
  s.labels = labels.data();
  s.nlabels = labels.size();
  vask_ingest_sample(in, s);
}
