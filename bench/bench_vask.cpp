// The metric library's hot path: decoding broker lines, canonical names and tag searches.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "vask/vask_decoder.h"
#include "vask/vask_metric.h"
#include "vask/vask_tag_search.h"

namespace {

// Typical numeric lines: a broker, a check field, an untagged or canonically tagged name.
std::vector<std::string> typical_lines() {
  std::vector<std::string> lines;
  const char *uuids[] = {"0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0",
                         "6a1b2c3d-0000-4000-8000-123456789abc"};
  const char *names[] = {"cpu.user", "memory.free", "disk`/var`used_percent",
                         "http.duration|ST[env:prod,host:web-01]"};
  const char *values[] = {"n\t42.5", "L\t123456789012", "n\t0.0001234", "i\t-17"};
  for (int i = 0; i < 64; i++) {
    lines.push_back(std::string("M\tnoit-broker-") + std::to_string(i % 3) + "\t17000" +
                    std::to_string(10000 + i) + "." + std::to_string(100000 + i * 7) + "\tweb" +
                    std::to_string(i) + ".example.com`http`c_1234_" + std::to_string(50000 + i) +
                    "`" + uuids[i % 2] + "\t" + names[i % 4] + "\t" + values[i % 4] + "\n");
  }
  return lines;
}

// Decoding only: the message records are made once and decoded again and again.
void BM_decode_typical_lines(benchmark::State &state) {
  std::vector<std::string> lines = typical_lines();
  std::vector<vask_metric_message_t *> messages;
  for (const std::string &l : lines)
    messages.push_back(vask_metric_message_create(l.data(), l.size()));
  size_t i = 0;
  for (auto _ : state) {
    vask_metric_message_t *m = messages[i++ & 63];
    benchmark::DoNotOptimize(vask_message_decoder_parse_line(m, true));
  }
  for (auto *m : messages)
    vask_metric_director_message_deref(m);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_decode_typical_lines);

// What intake pays per line: copy into a new message, decode, release.
void BM_create_decode_release(benchmark::State &state) {
  std::vector<std::string> lines = typical_lines();
  size_t i = 0;
  for (auto _ : state) {
    const std::string &l = lines[i++ & 63];
    vask_metric_message_t *m = vask_metric_message_create(l.data(), l.size());
    benchmark::DoNotOptimize(vask_message_decoder_parse_line(m, true));
    vask_metric_director_message_deref(m);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_create_decode_release);

// A name whose tags must be sorted and partly base64-encoded.
void BM_decode_unsorted_tags(benchmark::State &state) {
  std::string line =
      "M\tb\t1700000000.5\th`m`c_1_2`0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0\t"
      "http.duration|ST[zone:us-east-1a,host:web-01,env:prod,path:/api/v1 users]\tn\t1.5";
  vask_metric_message_t *m = vask_metric_message_create(line.data(), line.size());
  for (auto _ : state)
    benchmark::DoNotOptimize(vask_message_decoder_parse_line(m, true));
  vask_metric_director_message_deref(m);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_decode_unsorted_tags);

void BM_canonicalize(benchmark::State &state) {
  std::string name = "http.duration|ST[zone:us-east-1a,host:web-01,env:prod,env:prod]";
  char out[4096];
  for (auto _ : state)
    benchmark::DoNotOptimize(
        vask_metric_canonicalize(name.data(), name.size(), out, sizeof out, true));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_canonicalize);

// The daemon's filtered-pattern query against a tagged metric.
void BM_tag_search_evaluate(benchmark::State &state) {
  std::string line =
      "M\tb\t1700000000.5\th`m`c_1_2`0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0\t"
      "http.duration|ST[env:prod,host:web-01,zone:us-east-1a]\tn\t1.5";
  vask_metric_message_t *m = vask_metric_message_create(line.data(), line.size());
  vask_message_decoder_parse_line(m, true);
  vask_metric_tag_search_ast_t *ast = vask_metric_tag_search_parse(
      "and(__check_uuid:0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0,and(env:prod,host:web-*),"
      "__name:b/Xmh0dHBcLg==/)",
      nullptr);
  for (auto _ : state)
    benchmark::DoNotOptimize(vask_metric_tag_search_evaluate_against_metric_id(ast, &m->id));
  vask_metric_tag_search_free(ast);
  vask_metric_director_message_deref(m);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_tag_search_evaluate);

}  // namespace
