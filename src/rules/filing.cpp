// Filing and deletion: the steps that change the target lists (lookup.cpp) and the registry
// (registry.cpp) together once a definition has been checked (parse.cpp).
//
// Both run under rules_loader_mutex: two loads of one id would otherwise interleave and leave the
// registry holding one version while a list holds another. A definition whose list key changed
// (name, account, check or pattern) is taken out of its old list before the new one is filed.
//
// With the store on, a definition reaches memory only after it is on disk: checked rulesets wait
// in a per-thread list until the batch ends (or the list is full, or a deletion comes), are
// written in one transaction, and only then filed. A write that fails drops what waited.
#include <mutex>
#include <string>
#include <vector>

#include "load_report.h"
#include "rules/announce_internal.h"
#include "rules/absence_internal.h"
#include "rules/dependency_internal.h"
#include "rules/registry_internal.h"
#include "rules/rules_mgr_internal.h"
#include "rules/stream_internal.h"
#include "tovi/tovi_log.h"
#include "tovi/tovi_memory.h"
#include "tovi/tovi_sync.h"
#include "store/store.h"

tovi_mutex_c rules_loader_mutex;

namespace {

// A checked ruleset waiting for its store write.
struct waiting_t {
  ruleset_sp ruleset;
  store_write_t write;
};

constexpr size_t most_waiting = 1000;

thread_local std::vector<waiting_t> waiting;
thread_local int batch_depth = 0;
thread_local uint64_t failures = 0;

bool persisting() {
  return store_enabled() && !store_loading();
}

store_write_t write_for(uint64_t ecid, json_object *definition) {
  store_write_t w;
  w.kind = STORE_RULESET;
  w.id = ecid;
  w.source = store_current_source();
  w.origin = store_current_origin();
  if (definition) w.json = json_object_to_json_string_ext(definition, JSON_C_TO_STRING_PLAIN);
  return w;
}

struct noted_source_t {
  store_source_t source;
  std::string origin;
};

void file_now(const ruleset_sp &r, const noted_source_t &source);

// A rule file's ids are its own: other sources may neither replace nor delete them.
bool refused_by_file(uint64_t ecid) {
  std::string file;
  if (!store_refused_by_file(STORE_RULESET, ecid, &file)) return false;
  load_report_error("ruleset %lu belongs to the rule file \"%s\"", (unsigned long)ecid,
                    file.c_str());
  tovi_log_fields(rules_error_stream(), ({"ecid", ecid}),
                  "rule [%lu] refused: it belongs to the rule file '%s'\n", (unsigned long)ecid,
                  file.c_str());
  return true;
}

// Writes what waits and `extra` (a deletion) in one transaction; files what waited when the
// write succeeded. False, dropping what waited, when it failed.
bool write_waiting(const store_write_t *extra) {
  if (waiting.empty() && !extra) return true;
  std::vector<waiting_t> todo;
  todo.swap(waiting);
  std::vector<store_write_t> writes;
  writes.reserve(todo.size() + 1);
  for (waiting_t &w : todo)
    writes.push_back(std::move(w.write));
  if (extra) writes.push_back(*extra);
  if (!store_write(writes)) {
    failures += writes.size();
    tovi_log_fields(rules_error_stream(), ({"refused", writes.size()}),
                    "%zu ruleset changes not applied: the store could not write them\n",
                    writes.size());
    return false;
  }
  for (size_t i = 0; i < todo.size(); i++)
    file_now(todo[i].ruleset, noted_source_t{writes[i].source, writes[i].origin});
  return true;
}

}  // namespace

void ruleset_filing_begin(void) {
  batch_depth++;
}

void ruleset_filing_end(void) {
  if (batch_depth > 0 && --batch_depth == 0) write_waiting(nullptr);
}

bool ruleset_filing_flush(void) {
  return write_waiting(nullptr);
}

bool ruleset_is_held(uint64_t ecid) {
  return get_ruleset_by_id(ecid) != nullptr;
}

uint64_t ruleset_filing_failures(void) {
  return failures;
}

void rules_start_ruleset_timers(const ruleset_sp &r) {
  absence_trigger_loaded_ruleset(r);
  ruleset_schedule_cull(r);
}

bool ruleset_delete(uint64_t ecid) {
  if (refused_by_file(ecid)) return false;
  if (persisting()) {
    store_write_t deletion = write_for(ecid, nullptr);
    if (!write_waiting(&deletion)) return false;
  }
  store_stream_states_forget(ecid);
  store_forget_source(STORE_RULESET, ecid);
  tovi_lock_guard_c<tovi_mutex_c> guard(rules_loader_mutex);
  dependency_record(ecid, 0);
  ruleset_sp removed = ruleset_mgr->remove_by_id(ecid);
  if (!removed) {
    tovi_log_fields(tovi_notice, ({"ecid", ecid}), "rule [%zu] not found after deletion request.\n",
                    size_t(ecid));
    return false;
  }
  ruleset_tgt_list_t *list;
  {
    tovi_memory_scope_c bracket;
    list = ruleset_list_for(*removed, false);
  }
  if (list) {
    remove_ruleset_tgt(list, removed);
    tovi_log_fields(tovi_notice, ({"ecid", ecid}), "rule [%zu] removed after request.\n",
                    size_t(ecid));
  } else {
    deregister_ruleset_with_director(*removed);
    tovi_log_fields(tovi_notice, ({"ecid", ecid}),
                    "rule [%zu] removed after request, but did not have a list.\n", size_t(ecid));
  }
  return true;
}

bool ruleset_file(const ruleset_sp &r, json_object *definition) {
  if (refused_by_file(r->event_criteria_id)) return false;
  if (!persisting() || !definition) {
    file_now(r, noted_source_t{store_current_source(), store_current_origin()});
    return true;
  }
  waiting.push_back(waiting_t{r, write_for(r->event_criteria_id, definition)});
  if (batch_depth == 0 || waiting.size() >= most_waiting) write_waiting(nullptr);
  return true;
}

namespace {

void file_now(const ruleset_sp &r, const noted_source_t &source) {
  store_note_source(STORE_RULESET, r->event_criteria_id, source.source, source.origin);
  tovi_lock_guard_c<tovi_mutex_c> guard(rules_loader_mutex);
  ruleset_sp old = ruleset_mgr->get_by_id(r->event_criteria_id);
  if (old && !ruleset_same_list(*old, *r)) {
    // The definition moved to another list: the old version must not stay filed (and alerting)
    // under its old key.
    ruleset_tgt_list_t *old_list;
    {
      tovi_memory_scope_c bracket;
      old_list = ruleset_list_for(*old, false);
    }
    if (old_list)
      remove_ruleset_tgt(old_list, old);
    else
      deregister_ruleset_with_director(*old);
  }
  ruleset_tgt_list_t *list;
  {
    tovi_memory_scope_c bracket;
    list = ruleset_list_for(*r, true);
  }
  ruleset_sp in_force = add_ruleset_tgt(list, r);
  if (in_force != r) {
    outlet_text_keep(*in_force, *r);
    return;
  }
  ruleset_sp added = r;
  ruleset_mgr->add_by_id(added);
  tovi_log_fields(
      rules_debug_stream(),
      ({"ecid", r->event_criteria_id}, {"parent_ecid", r->parent_event_criteria_id},
       {"rule_type", rule_metric_type_name(r->metric_type)}, {"account_id", r->account_id}),
      "rule[%lu] loaded, triggering\n", (unsigned long)r->event_criteria_id);
  rules_start_ruleset_timers(r);
}

}  // namespace
