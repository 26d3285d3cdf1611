// api_loader: paged bulk loads and single reloads (see api_loader.h for the paging rules).
#include "api_loader.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>

#include "api.h"
#include "json_elements.h"
#include "tovi/eventer_jobq.h"
#include "tovi/tovi_assert.h"
#include "tovi/tovi_conf.h"
#include "tovi/tovi_memory.h"

// One chain's state, owned by the chain and freed when it ends.
struct api_fetch_state_t {
  int32_t errors = 0;        // errors of the current pass
  int32_t total_errors = 0;  // summed over all passes
  std::string apibase;
  std::string apitoken;
  uint64_t id = 0;            // the item of a single reload; 0 for a bulk load
  uint64_t first_cursor = 0;  // where a (re)started bulk load begins: cursor + 1 is asked first
  uint64_t cursor = 0;        // the largest id read so far
  int32_t once = 0;           // stop after one successful pass
  int32_t batch_size = 10000;
  int32_t last_result = -1;  // elements processed in the last pass
  int32_t delay_us = 0;      // pause before the next pass
  bool retry = false;        // the pass failed as a whole (call or document)
  bool done = false;         // the chain has nothing more to ask
};

namespace {

void single_finished();

bool read_api_config(api_loader_kind_t *kind, api_fetch_state_t *st, const char *prefix) {
  if (!tovi_conf_get_string(nullptr, "//orvane/api/base", &st->apibase)) {
    tovi_log(api_unconfigured_stream(), "%sNo API base in config!\n", prefix);
    return false;
  }
  if (!tovi_conf_get_string(nullptr, "//orvane/api/token", &st->apitoken)) {
    tovi_log(api_unconfigured_stream(), "%sNo API token in config!\n", prefix);
    return false;
  }
  (void)kind;
  return true;
}

void queue_pass(api_loader_kind_t *kind, api_fetch_state_t *st) {
  tovi_assert(api_jobq);
  eventer_add_asynch(api_jobq, eventer_alloc_asynch(kind->job, st));
}

void count(stats_counter_t *c, uint64_t n) {
  if (c && n) stats_counter_add(c, n);
}

// What one page brought, filled by page_cb while the answer is mapped.
struct page_t {
  api_loader_kind_t *kind;
  bool is_array = false;
  size_t elements = 0;
  uint64_t max_id = 0;  // the largest readable id of the page's elements, 0 when none has one
  int result = -1;      // what the parser returned
  int errors = 0;
  uint64_t over_limit = 0;
};

// The answer's callback: checks the whole document, then loads it element by element, so a page
// costs the memory of what it keeps, not a parse tree of the whole answer.
int page_cb(api_info_t *info, const char *body, size_t length) {
  auto *page = static_cast<page_t *>(info->closure);
  std::string_view text(body, length);
  json_document_t doc = json_document_check(text);
  if (!doc.ok) {
    free(info->error);
    if (asprintf(&info->error, "JSON parse error: %s", doc.error) < 0)
      info->error = strdup("JSON parse error");
    return -1;
  }
  api_loader_kind_t *kind = page->kind;
  if (!doc.is_array) {
    page->result = kind->not_array(&page->errors);
    return 0;
  }
  page->is_array = true;
  page->elements = doc.elements;
  void *batch = kind->batch_begin(doc.elements);
  json_elements_each(text, [&](std::string_view raw, json_object *el) {
    uint64_t id = 0;
    if (el && json_object_is_type(el, json_type_object) && kind->element_id(el, &id) &&
        id > page->max_id)
      page->max_id = id;
    kind->batch_element(batch, el, raw.size());
  });
  page->result = kind->batch_end(batch, &page->errors, &page->over_limit);
  if (length >= json_elements_large_body) json_elements_give_back_memory();
  return 0;
}

void work_phase(api_loader_kind_t *kind, api_fetch_state_t *st) {
  if (st->delay_us > 0) usleep(useconds_t(st->delay_us));
  bool single = st->id != 0;
  char url[1024];
  if (single) {
    st->once = 1;
    tovi_log_fields(tovi_notice, ({kind->log_id_field, st->id}), kind->single_start_line,
                    (unsigned long)st->id);
    snprintf(url, sizeof(url), kind->single_url, st->apibase.c_str(), (unsigned long)st->id);
  } else {
    tovi_log_fields(tovi_notice,
                    ({kind->log_id_field, st->cursor + 1}, {"batch_size", st->batch_size}),
                    kind->bulk_start_line, (unsigned long)(st->cursor + 1));
    snprintf(url, sizeof(url), kind->bulk_url, st->apibase.c_str(), (unsigned long)(st->cursor + 1),
             st->batch_size);
  }
  api_info_t info;
  page_t page{kind};
  info.apiapp = "quelt";
  info.apitoken = st->apitoken.c_str();
  info.url = url;
  info.callback = page_cb;
  info.closure = &page;

  st->errors = 0;
  st->retry = false;
  st->done = false;
  {
    // The page's definitions are read and filed inside one safe-memory bracket.
    tovi_memory_scope_c bracket;
    if (api_call(&info) != 0) {
      api_log_failure(kind->error_stream(), &info);
      st->errors = 1;
      st->retry = true;
      count(kind->errors, 1);
      api_info_clean(info);
      return;
    }
  }
  count(kind->pages, 1);
  // A page came through: the load is under way again (see completion_phase).
  if (!single && page.is_array) kind->loading->store(true, std::memory_order_release);
  st->last_result = page.result;
  st->errors = page.errors;
  size_t n = page.elements;
  if (!page.is_array) {
    // The parser logged and counted a document that is not an array; it is asked for again.
    st->retry = true;
    if (st->errors == 0) st->errors = 1;
  } else if (single) {
    if (n == 0) kind->single_gone(st->id);
    st->done = true;
  } else if (n == 0) {
    st->done = true;
  } else if (page.over_limit > 0) {
    tovi_log_fields(kind->error_stream(), ({"url", api_url_for_log(url)}),
                    "API: %lu definitions refused, the most allowed are held; ending the load\n",
                    (unsigned long)page.over_limit);
    st->done = true;
  } else if (page.max_id <= st->cursor) {
    tovi_log_fields(kind->error_stream(), ({"url", api_url_for_log(url)}),
                    "API: page from %lu brought no id above %lu; ending the load\n",
                    (unsigned long)(st->cursor + 1), (unsigned long)st->cursor);
    st->errors++;
    st->done = true;
  } else {
    st->cursor = page.max_id;
    st->done = st->once != 0;
  }
  count(kind->over_limit, page.over_limit);
  if (st->last_result > 0) count(kind->items, uint64_t(st->last_result));
  count(kind->errors, uint64_t(st->errors));
  st->total_errors += st->errors;
  tovi_log_fields(
      tovi_notice,
      ({kind->log_id_field, single ? st->id : st->cursor}, {"batch_size", st->batch_size},
       {"errors", st->errors}, {"latency", double(info.elapsed_ns) / 1e9}),
      kind->elapsed_line, single ? "" : "->", (unsigned long)(single ? st->id : st->cursor),
      double(info.elapsed_ns) / 1e9, st->last_result, st->errors);
  api_info_clean(info);
}

void restart(api_fetch_state_t *st) {
  st->cursor = st->first_cursor;
  st->delay_us = 0;
  st->last_result = -1;
  st->retry = false;
  st->done = false;
}

void completion_phase(api_loader_kind_t *kind, api_fetch_state_t *st) {
  bool single = st->id != 0;
  std::unique_lock<std::mutex> guard(kind->lock);
  if (st->retry) {
    st->delay_us = st->delay_us == 0 ? 1 : st->delay_us > 499999 ? 1000000 : st->delay_us * 2;
  } else {
    st->delay_us = 0;
  }
  // While a bulk load fails, what waits for its end (single reloads asked for on the bus, the
  // replay of maintenance messages) goes ahead: an API that fails one page for ever must not
  // hold them for ever. The next page that comes through raises the flag again.
  if (!single && st->retry) kind->loading->store(false, std::memory_order_release);
  bool again = !st->done;
  if (!single && kind->bulk_restart) {
    kind->bulk_restart = false;
    restart(st);
    again = true;
  } else if (single && st->done) {
    auto it = kind->singles.find(st->id);
    if (it != kind->singles.end() && it->second) {
      it->second = false;
      restart(st);
      again = true;
    }
  }
  if (again) {
    guard.unlock();
    queue_pass(kind, st);
    return;
  }
  if (single) {
    kind->singles.erase(st->id);
    guard.unlock();
    delete st;
    single_finished();
    return;
  } else {
    kind->bulk = nullptr;
    kind->loading->store(false, std::memory_order_release);
    count(kind->loads, 1);
    tovi_log(tovi_notice, "%s", kind->finished_line);
  }
  guard.unlock();
  delete st;
  if (!single && kind->bulk_finished) kind->bulk_finished();
}

// Single reloads: how many chains run, and those waiting for a turn (guarded by singles_lock).
std::mutex singles_lock;
int singles_running = 0;
std::deque<std::pair<api_loader_kind_t *, api_fetch_state_t *>> singles_waiting;

void single_start(api_loader_kind_t *kind, api_fetch_state_t *st) {
  {
    std::lock_guard<std::mutex> guard(singles_lock);
    if (singles_running >= api_loader_single_limit()) {
      singles_waiting.emplace_back(kind, st);
      return;
    }
    singles_running++;
  }
  queue_pass(kind, st);
}

// A single chain ended: the next waiting one takes its turn.
void single_finished() {
  std::pair<api_loader_kind_t *, api_fetch_state_t *> next{nullptr, nullptr};
  {
    std::lock_guard<std::mutex> guard(singles_lock);
    if (singles_waiting.empty()) {
      singles_running--;
      return;
    }
    next = singles_waiting.front();
    singles_waiting.pop_front();
  }
  queue_pass(next.first, next.second);
}

}  // namespace

int api_loader_single_limit(void) {
  if (!api_jobq) return 1;
  eventer_jobq_stats_t q = eventer_jobq_stats(api_jobq);
  return std::max(1, std::min(q.concurrency, q.max_threads - 2));
}

namespace {
stats_ns_t *loader_api_ns = nullptr;  // written once during start-up
}  // namespace

void api_loader_stats_init(stats_ns_t *api_ns) {
  loader_api_ns = api_ns;
}

void api_loader_register_stats(api_loader_kind_t *kind) {
  if (!loader_api_ns || kind->loads) return;
  stats_ns_t *ns = stats_register_ns(loader_api_ns, kind->stats_name);
  kind->loads = stats_register_counter(ns, "loads", {.units = "loads"});
  kind->pages = stats_register_counter(ns, "pages", {.units = "responses"});
  kind->items = stats_register_counter(ns, "items", {.units = "items"});
  kind->errors = stats_register_counter(ns, "errors", {.units = "errors"});
  kind->over_limit = stats_register_counter(ns, "over_limit", {.units = "definitions"});
}

void api_loader_start_bulk(api_loader_kind_t *kind) {
  auto *st = new api_fetch_state_t;
  if (!read_api_config(kind, st, "")) {
    delete st;
    return;
  }
  int32_t batch = 10000;
  if (tovi_conf_get_int32(nullptr, kind->batch_size_key, &batch) && batch >= 1)
    st->batch_size = batch;
  int64_t once_at = 0;
  if (tovi_conf_get_int64(nullptr, kind->once_at_key, &once_at) && once_at >= 1) {
    st->first_cursor = uint64_t(once_at) - 1;
    st->once = 1;
  }
  st->cursor = st->first_cursor;
  std::unique_lock<std::mutex> guard(kind->lock);
  kind->loading->store(true, std::memory_order_release);
  if (kind->bulk) {
    // The running chain starts over from its first page after its current pass.
    kind->bulk_restart = true;
    delete st;
    return;
  }
  kind->bulk = st;
  guard.unlock();
  queue_pass(kind, st);
}

void api_loader_start_single(api_loader_kind_t *kind, uint64_t id) {
  // Id 0 names nothing (and would read as a bulk load in the chain's state).
  if (id == 0) {
    tovi_log(tovi_error, "reload failed: id 0 names nothing\n");
    return;
  }
  auto *st = new api_fetch_state_t;
  if (!read_api_config(kind, st, "reload failed: ")) {
    delete st;
    return;
  }
  st->id = id;
  st->once = 1;
  std::unique_lock<std::mutex> guard(kind->lock);
  auto [it, inserted] = kind->singles.emplace(id, false);
  if (!inserted) {
    it->second = true;
    delete st;
    return;
  }
  guard.unlock();
  single_start(kind, st);
}

int api_fetch_job(api_loader_kind_t *kind, eventer_t, int mask, void *closure, struct timeval *) {
  auto *st = static_cast<api_fetch_state_t *>(closure);
  if (mask == EVENTER_ASYNCH_WORK) {
    work_phase(kind, st);
  } else if (mask == EVENTER_ASYNCH_COMPLETE) {
    completion_phase(kind, st);
  }
  return 0;
}

bool api_loader_busy(api_loader_kind_t *kind) {
  std::lock_guard<std::mutex> guard(kind->lock);
  return kind->bulk != nullptr || !kind->singles.empty();
}
