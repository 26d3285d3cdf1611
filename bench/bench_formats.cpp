// Decoding of the other wire formats on one core: remote-write (after and with decompression),
// Influx line protocol and Graphite plaintext. Each placed message is released at once, so the
// figures include the one allocation a sample costs, as bench_vask's create_decode_release does
// for metric lines.
#include <benchmark/benchmark.h>
#include <snappy-c.h>

#include <cstring>
#include <string>
#include <vector>

#include "vask/vask_formats.h"

namespace {

void put_varint(std::string *o, uint64_t v) {
  while (v >= 0x80) {
    o->push_back(char(v | 0x80));
    v >>= 7;
  }
  o->push_back(char(v));
}
void put_len(std::string *o, int field, const std::string &b) {
  put_varint(o, uint64_t(field) << 3 | 2);
  put_varint(o, b.size());
  o->append(b);
}

// A request as a Prometheus server sends it after scraping node exporters: 2000 series of one
// sample, each with __name__, job, instance and up to three more labels.
std::string remote_write_body(size_t *samples) {
  const char *names[] = {"node_cpu_seconds_total", "node_load1", "node_memory_MemFree_bytes",
                         "node_network_receive_bytes_total", "node_filesystem_avail_bytes"};
  std::string body;
  for (int i = 0; i < 2000; i++) {
    std::string ts;
    auto label = [&ts](const std::string &n, const std::string &v) {
      std::string l;
      put_len(&l, 1, n);
      put_len(&l, 2, v);
      put_len(&ts, 1, l);
    };
    label("__name__", names[i % 5]);
    label("instance", "10.0.0." + std::to_string(i % 50) + ":9100");
    label("job", "node");
    if (i % 5 == 0) {
      label("cpu", std::to_string(i % 8));
      label("mode", i % 2 ? "idle" : "user");
    }
    if (i % 5 == 4) {
      label("device", "/dev/sda" + std::to_string(i % 4));
      label("fstype", "ext4");
      label("mountpoint", "/srv/" + std::to_string(i % 4));
    }
    std::string s;
    put_varint(&s, 1 << 3 | 1);
    double v = i * 1.5;
    s.append(reinterpret_cast<const char *>(&v), 8);
    put_varint(&s, 2 << 3);
    put_varint(&s, 1700000000000 + i);
    put_len(&ts, 2, s);
    put_len(&body, 1, ts);
  }
  *samples = 2000;
  return body;
}

void drop(void *, vask_metric_message_t *m) {
  vask_metric_director_message_deref(m);
}

vask_ingest_t pass(vask_format_t f, const vask_mapping_t *map) {
  vask_ingest_t in;
  in.format = f;
  in.mapping = map;
  in.now_ms = 1700000000000;
  in.emit = drop;
  return in;
}

void BM_remote_write_decoded(benchmark::State &state) {
  size_t samples;
  std::string body = remote_write_body(&samples);
  vask_mapping_t map = vask_mapping_default(VASK_FORMAT_REMOTE_WRITE);
  vask_ingest_t in = pass(VASK_FORMAT_REMOTE_WRITE, &map);
  for (auto _ : state) {
    vask_remote_write_decode_protobuf(&in, body.data(), body.size());
    in.accepted = 0;
  }
  state.SetItemsProcessed(int64_t(state.iterations() * samples));
  state.counters["request_bytes"] = double(body.size());
}
BENCHMARK(BM_remote_write_decoded);

void BM_remote_write_with_snappy(benchmark::State &state) {
  size_t samples;
  std::string raw = remote_write_body(&samples);
  std::string packed(snappy_max_compressed_length(raw.size()), '\0');
  size_t n = packed.size();
  snappy_compress(raw.data(), raw.size(), packed.data(), &n);
  packed.resize(n);
  vask_mapping_t map = vask_mapping_default(VASK_FORMAT_REMOTE_WRITE);
  vask_ingest_t in = pass(VASK_FORMAT_REMOTE_WRITE, &map);
  std::string scratch;
  for (auto _ : state) {
    vask_remote_write_decode(&in, packed.data(), packed.size(), &scratch);
    in.accepted = 0;
  }
  state.SetItemsProcessed(int64_t(state.iterations() * samples));
  state.counters["compressed_bytes"] = double(packed.size());
}
BENCHMARK(BM_remote_write_with_snappy);

// Telegraf-like lines: a host tag and one or two more, one field.
std::vector<std::string> influx_lines() {
  std::vector<std::string> lines;
  for (int i = 0; i < 64; i++) {
    std::string l = i % 2 ? "cpu,cpu=cpu" + std::to_string(i % 8) + ",host=web" +
                                std::to_string(i) + " usage_idle=" + std::to_string(90 + i % 7) +
                                ".25 1700000000" + std::to_string(100000000 + i)
                          : "mem,host=web" + std::to_string(i) +
                                " used=" + std::to_string(123456 + i) + "i 1700000000" +
                                std::to_string(100000000 + i);
    lines.push_back(l);
  }
  return lines;
}

void BM_influx_lines(benchmark::State &state) {
  std::vector<std::string> lines = influx_lines();
  vask_mapping_t map = vask_mapping_default(VASK_FORMAT_INFLUX);
  vask_ingest_t in = pass(VASK_FORMAT_INFLUX, &map);
  size_t i = 0;
  for (auto _ : state) {
    const std::string &l = lines[i++ & 63];
    vask_influx_decode_line(&in, l.data(), l.size());
  }
  in.accepted = 0;
  state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_influx_lines);

void BM_graphite_lines(benchmark::State &state) {
  std::vector<std::string> lines;
  for (int i = 0; i < 64; i++)
    lines.push_back(i % 4 ? "collectd.web" + std::to_string(i) + ".cpu-" + std::to_string(i % 8) +
                                ".cpu-idle " + std::to_string(90 + i % 7) + ".5 1700000" +
                                std::to_string(100 + i)
                          : "servers.load;host=web" + std::to_string(i) + ";dc=eu 0." +
                                std::to_string(i) + " 1700000" + std::to_string(100 + i));
  vask_mapping_t map = vask_mapping_default(VASK_FORMAT_GRAPHITE);
  map.host_node = 1;
  vask_ingest_t in = pass(VASK_FORMAT_GRAPHITE, &map);
  size_t i = 0;
  for (auto _ : state) {
    const std::string &l = lines[i++ & 63];
    vask_graphite_decode_line(&in, l.data(), l.size());
  }
  state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_graphite_lines);

}  // namespace
