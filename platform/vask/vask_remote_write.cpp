// Prometheus remote-write 1.0: snappy, then a protobuf reader for the few messages it needs.
//
// A hand-written wire reader rather than generated code: four small messages are read, fields
// are taken where they lie in the body (labels are views into it, nothing is copied), unknown
// fields are skipped by wire type, and every length is checked against what is left, so a hostile
// body can neither read out of bounds nor make it allocate more than the label list of one series.
#include <snappy-c.h>

#include <cstring>
#include <vector>

#include "vask/vask_formats.h"

namespace {

struct reader_t {
  const uint8_t *p;
  const uint8_t *end;

  bool done() const { return p >= end; }

  bool varint(uint64_t *out) {
    uint64_t v = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      if (p >= end) return false;
      uint8_t b = *p++;
      v |= uint64_t(b & 0x7f) << shift;
      if (!(b & 0x80)) {
        *out = v;
        return true;
      }
    }
    return false;  // more than ten bytes
  }

  bool fixed64(uint64_t *out) {
    if (end - p < 8) return false;
    uint64_t v;
    std::memcpy(&v, p, 8);  // little-endian on the wire and here
    p += 8;
    *out = v;
    return true;
  }

  bool bytes(const uint8_t **data, size_t *len) {
    uint64_t n;
    if (!varint(&n) || n > uint64_t(end - p)) return false;
    *data = p;
    *len = size_t(n);
    p += n;
    return true;
  }

  // The next field's key; false at the end or on a malformed key.
  bool key(uint32_t *field, uint32_t *wire) {
    uint64_t k;
    if (!varint(&k) || k > 0xffffffffu) return false;
    *field = uint32_t(k >> 3);
    *wire = uint32_t(k & 7);
    return *field != 0;
  }

  bool skip(uint32_t wire) {
    uint64_t ignored;
    const uint8_t *d;
    size_t n;
    switch (wire) {
      case 0:
        return varint(&ignored);
      case 1:
        return fixed64(&ignored);
      case 2:
        return bytes(&d, &n);
      case 5:
        if (end - p < 4) return false;
        p += 4;
        return true;
      default:
        return false;  // groups are not used by these messages
    }
  }
};

std::string_view view(const uint8_t *d, size_t n) {
  return std::string_view(reinterpret_cast<const char *>(d), n);
}

constexpr uint64_t kStaleNaN = 0x7ff0000000000002ull;

struct series_scratch_t {
  std::vector<vask_label_t> labels;
  std::vector<std::pair<const uint8_t *, size_t>> samples;
};

// One TimeSeries message.
bool decode_series(vask_ingest_t *in, const uint8_t *data, size_t len) {
  static thread_local series_scratch_t s;
  s.labels.clear();
  s.samples.clear();
  std::string_view name;
  reader_t r{data, data + len};
  while (!r.done()) {
    uint32_t field, wire;
    if (!r.key(&field, &wire)) return false;
    const uint8_t *d;
    size_t n;
    if (field == 1 && wire == 2) {
      if (!r.bytes(&d, &n)) return false;
      reader_t lr{d, d + n};
      vask_label_t l;
      while (!lr.done()) {
        uint32_t f, w;
        if (!lr.key(&f, &w)) return false;
        if ((f == 1 || f == 2) && w == 2) {
          const uint8_t *t;
          size_t tn;
          if (!lr.bytes(&t, &tn)) return false;
          (f == 1 ? l.name : l.value) = view(t, tn);
        } else if (!lr.skip(w)) {
          return false;
        }
      }
      if (l.name == "__name__")
        name = l.value;
      else
        s.labels.push_back(l);
    } else if (field == 2 && wire == 2) {
      if (!r.bytes(&d, &n)) return false;
      s.samples.emplace_back(d, n);
    } else if (field == 4 && wire == 2) {
      if (!r.bytes(&d, &n)) return false;
      vask_ingest_refuse(in, VASK_SAMPLE_NATIVE_HISTOGRAM, name);
    } else if (!r.skip(wire)) {
      return false;
    }
  }
  vask_raw_sample_t smp;
  smp.name = name;
  smp.labels = s.labels.data();
  smp.nlabels = s.labels.size();
  smp.type = METRIC_DOUBLE;
  for (auto [d, n] : s.samples) {
    reader_t sr{d, d + n};
    uint64_t bits = 0, ts = 0;
    while (!sr.done()) {
      uint32_t f, w;
      if (!sr.key(&f, &w)) return false;
      if (f == 1 && w == 1) {
        if (!sr.fixed64(&bits)) return false;
      } else if (f == 2 && w == 0) {
        if (!sr.varint(&ts)) return false;
      } else if (!sr.skip(w)) {
        return false;
      }
    }
    if (bits == kStaleNaN) {
      vask_ingest_refuse(in, VASK_SAMPLE_STALE_MARKER, name);
      continue;
    }
    if (int64_t(ts) < 0) {
      vask_ingest_refuse(in, VASK_SAMPLE_BAD_TIMESTAMP, name);
      continue;
    }
    std::memcpy(&smp.value.n, &bits, 8);
    smp.whence_ms = ts;
    vask_ingest_sample(in, smp);
  }
  return true;
}

}  // namespace

vask_sample_reason_t vask_remote_write_decode_protobuf(vask_ingest_t *in, const char *data,
                                                       size_t len) {
  const uint8_t *p = reinterpret_cast<const uint8_t *>(data);
  reader_t r{p, p + len};
  while (!r.done()) {
    uint32_t field, wire;
    const uint8_t *d;
    size_t n;
    bool ok = r.key(&field, &wire);
    if (ok && field == 1 && wire == 2)
      ok = r.bytes(&d, &n) && decode_series(in, d, n);
    else if (ok)
      ok = r.skip(wire);
    if (!ok) {
      vask_ingest_refuse(in, VASK_SAMPLE_BAD_PROTOBUF, std::string_view());
      return VASK_SAMPLE_BAD_PROTOBUF;
    }
  }
  return VASK_SAMPLE_OK;
}

vask_sample_reason_t vask_remote_write_decode(vask_ingest_t *in, const char *body, size_t len,
                                              std::string *scratch) {
  size_t out_len = 0;
  if (snappy_uncompressed_length(body, len, &out_len) != SNAPPY_OK ||
      out_len > VASK_REMOTE_WRITE_MAX_DECOMPRESSED) {
    vask_ingest_refuse(in, VASK_SAMPLE_BAD_COMPRESSION, std::string_view());
    return VASK_SAMPLE_BAD_COMPRESSION;
  }
  scratch->resize(out_len);
  size_t got = out_len;
  if (snappy_uncompress(body, len, scratch->data(), &got) != SNAPPY_OK || got != out_len) {
    vask_ingest_refuse(in, VASK_SAMPLE_BAD_COMPRESSION, std::string_view());
    return VASK_SAMPLE_BAD_COMPRESSION;
  }
  return vask_remote_write_decode_protobuf(in, scratch->data(), out_len);
}
