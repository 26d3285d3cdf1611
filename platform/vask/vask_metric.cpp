// Message life cycle and id copies.
//
// A created message is one allocation: the record followed by its copy of the line, so that a
// typical line costs exactly one malloc from arrival to release. Whatever the decoder needs beyond
// the inline tag area lives in decoder_storage, one more block freed with the message.
#include "vask/vask_metric.h"

#include <string_view>

#include <cstdlib>
#include <cstring>
#include <new>

#include "tovi/tovi_assert.h"
#include "vask/vask_decoder.h"

namespace {

vask_metric_message_t *message_alloc(size_t extra) {
  void *block = std::malloc(sizeof(vask_metric_message_t) + extra);
  if (!block) return nullptr;
  vask_metric_message_t *m = new (block) vask_metric_message_t{};
  m->refcnt.store(1, std::memory_order_relaxed);
  return m;
}

}  // namespace

vask_metric_message_t *vask_metric_message_create(const char *line, size_t len) {
  vask_metric_message_t *m = message_alloc(len + 1);
  if (!m) return nullptr;
  char *copy = reinterpret_cast<char *>(m + 1);
  if (len) std::memcpy(copy, line, len);
  copy[len] = '\0';
  m->original_message = copy;
  m->original_message_len = len;
  return m;
}

vask_metric_message_t *vask_metric_message_create_for(size_t len) {
  vask_metric_message_t *m = message_alloc(len + 1);
  if (!m) return nullptr;
  char *line = reinterpret_cast<char *>(m + 1);
  line[len] = '\0';
  m->original_message = line;
  m->original_message_len = len;
  return m;
}

vask_metric_message_t *vask_metric_message_wrap(const char *line, size_t len) {
  vask_metric_message_t *m = message_alloc(0);
  if (!m) return nullptr;
  m->original_message = const_cast<char *>(line);
  m->original_message_len = len;
  return m;
}

void vask_metric_director_message_ref(vask_metric_message_t *m) {
  // Relaxed: taking a reference needs a reference already held, which orders it.
  m->refcnt.fetch_add(1, std::memory_order_relaxed);
}

void vask_metric_director_message_deref(vask_metric_message_t *m) {
  if (!m) return;
  // Release so that our writes happen before the free; acquire so that the thread that frees
  // sees every other holder's writes.
  uint32_t before = m->refcnt.fetch_sub(1, std::memory_order_acq_rel);
  tovi_assert(before != 0);
  if (before != 1) return;
  vask_message_decoder_reset(m);
  m->~vask_metric_message_t();
  std::free(m);
}

bool vask_metric_id_copy(vask_metric_id_t *dst, const vask_metric_id_t *src) {
  *dst = vask_metric_id_t{};
  const vask_metric_tagset_t *sets[3] = {&src->check, &src->stream, &src->measurement};
  size_t tag_count = 0, text_bytes = src->name_len_with_tags + 1;
  for (const vask_metric_tagset_t *set : sets) {
    if (!set->tags || set->tag_count <= 0) continue;
    tag_count += set->tag_count;
    for (int i = 0; i < set->tag_count; i++)
      text_bytes += set->tags[i].total_size;
  }
  size_t array_bytes = tag_count * sizeof(vask_metric_tag_t);
  char *block = static_cast<char *>(std::malloc(array_bytes + text_bytes));
  if (!block) return false;

  vask_metric_tag_t *tags = reinterpret_cast<vask_metric_tag_t *>(block);
  char *text = block + array_bytes;
  std::memcpy(dst->id, src->id, sizeof dst->id);
  dst->account_id = src->account_id;
  dst->name_len = src->name_len;
  dst->name_len_with_tags = src->name_len_with_tags;
  if (src->name_len_with_tags) std::memcpy(text, src->name, src->name_len_with_tags);
  text[src->name_len_with_tags] = '\0';
  dst->name = text;
  text += src->name_len_with_tags + 1;

  vask_metric_tagset_t *dst_sets[3] = {&dst->check, &dst->stream, &dst->measurement};
  for (int s = 0; s < 3; s++) {
    const vask_metric_tagset_t *from = sets[s];
    vask_metric_tagset_t *to = dst_sets[s];
    if (!from->tags || from->tag_count <= 0) continue;
    to->tags = tags;
    to->tag_count = from->tag_count;
    to->canonical_size = from->canonical_size;
    for (int i = 0; i < from->tag_count; i++) {
      const vask_metric_tag_t &t = from->tags[i];
      std::memcpy(text, t.tag, t.total_size);
      *tags++ = vask_metric_tag_t{t.total_size, t.category_size, text};
      text += t.total_size;
    }
  }
  dst->alloc_name = block;
  return true;
}

void vask_metric_id_free_copy(vask_metric_id_t *id) {
  if (!id->alloc_name) return;
  std::free(id->alloc_name);
  *id = vask_metric_id_t{};
}

size_t vask_metric_id_stream_name_len(const vask_metric_id_t *id) {
  size_t len = id->name_len_with_tags;
  if (len <= id->name_len) return len;
  std::string_view tail(id->name + id->name_len, len - id->name_len);
  size_t at = tail.find("|MT{");
  return at == std::string_view::npos ? len : id->name_len + at;
}
