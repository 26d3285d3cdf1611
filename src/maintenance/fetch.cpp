// Loading maintenance windows from the management API: the bulk load at every bus connection and
// the reload of one window. Paging, retry and the one-chain rule live in api_loader.cpp; this
// file says what a window page is and what "gone" means for a window.
#include <json-c/json.h>

#include "api_loader.h"
#include "store/store.h"
#include "maintenance.h"
#include "maintenance/maintenance_internal.h"

std::atomic<bool> maint_windows_are_loading{false};

// The state of one maintenance fetch run (see api_loader.h).
typedef api_fetch_state_t maint_fetching_cursor;

namespace {

bool window_element_id(json_object *el, uint64_t *id) {
  return get_kv_as_uint64(el, "maintenance_id", id);
}

void *window_batch_new(size_t count) {
  auto *batch = new maint_batch_t;
  maint_batch_begin(batch, count);
  return batch;
}

void window_batch_add(void *batch, json_object *element, size_t) {
  maint_batch_element(static_cast<maint_batch_t *>(batch), element);
}

int window_batch_done(void *b, int *errors, uint64_t *over_limit) {
  auto *batch = static_cast<maint_batch_t *>(b);
  int result = maint_batch_end(batch, errors);
  *over_limit = batch->over_limit;
  delete batch;
  return result;
}

int window_not_array(int *errors) {
  uint64_t last = 0;
  return parse_maint_windows_response(nullptr, &last, errors);
}

// Only an empty answer ends the live window; a malformed one leaves it as it is.
void window_gone(uint64_t id) {
  maint_window_stop_now(id);
}

// The first complete bulk load after a start from the store: the cached windows it did not
// return are gone upstream.
void windows_bulk_finished() {
  std::vector<uint64_t> stale = store_take_untouched_api_ids(STORE_MAINTENANCE);
  for (uint64_t id : stale)
    maint_window_delete(id);
}

tovi_log_stream_t error_stream() {
  tovi_log_stream_t ls = maint_error_stream();
  return ls ? ls : tovi_error;
}

}  // namespace

int fetch_some_maint_windows(eventer_t e, int mask, void *closure, struct timeval *now) {
  return api_fetch_job(&maint_windows_loader_kind, e, mask, closure, now);
}

api_loader_kind_t maint_windows_loader_kind = {
    .stats_name = "maintenance",
    .log_id_field = "maintenance_id",
    .batch_size_key = "//orvane/api/maint_windows/@batch_size",
    .once_at_key = "//orvane/api/maint_windows/@once_at",
    .bulk_url = "%s/v2/super_maintenance?from_maintenance_id=%lu&size=%d&account_id=1",
    .single_url = "%s/v2/super_maintenance?maintenance_id=%lu&account_id=1",
    .bulk_start_line = "starting maint fetch [%lu->]\n",
    .single_start_line = "starting maint fetch [%lu]\n",
    .elapsed_line = "maintenance[%s%lu] elapsed: %0.6fs, batchsize: %d, errors: %d\n",
    .finished_line = "Finished bulk maintenance fetch.\n",
    .error_stream = error_stream,
    .element_id = window_element_id,
    .batch_begin = window_batch_new,
    .batch_element = window_batch_add,
    .batch_end = window_batch_done,
    .not_array = window_not_array,
    .single_gone = window_gone,
    .loading = &maint_windows_are_loading,
    .job = fetch_some_maint_windows,
    .bulk_finished = windows_bulk_finished,
};

void start_maint_windows_fetch() {
  api_loader_start_bulk(&maint_windows_loader_kind);
}

void maint_window_reload(uint64_t id) {
  api_loader_start_single(&maint_windows_loader_kind, id);
}
