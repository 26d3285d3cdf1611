// Filing and deletion: the steps that change the target lists (lookup.cpp) and the registry
// (registry.cpp) together once a definition has been checked (parse.cpp).
//
// Both run under rules_loader_mutex: two loads of one id would otherwise interleave and leave the
// registry holding one version while a list holds another. A definition whose list key changed
// (name, account, check or pattern) is taken out of its old list before the new one is filed.
#include <mutex>

#include "outlets/announce.h"
#include "rules/absence_internal.h"
#include "rules/dependency_internal.h"
#include "rules/registry_internal.h"
#include "rules/rules_mgr_internal.h"
#include "rules/stream_internal.h"
#include "tovi/tovi_log.h"
#include "tovi/tovi_memory.h"
#include "tovi/tovi_sync.h"

tovi_mutex_c rules_loader_mutex;

void rules_start_ruleset_timers(const ruleset_sp &r) {
  absence_trigger_loaded_ruleset(r);
  ruleset_schedule_cull(r);
}

bool ruleset_delete(uint64_t ecid) {
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

void ruleset_file(const ruleset_sp &r) {
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
