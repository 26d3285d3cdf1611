// The rule streams' call into maintenance, inside a safe-memory bracket.
#include "maintenance.h"
#include "rules/stream_internal.h"
#include "tovi/tovi_memory.h"

int rules_maintenance_not_active(uint64_t ecid, uint64_t account_id, uint64_t check_id,
                                 const char *host, int32_t sev_from, int32_t sev_to,
                                 const struct timeval &time) {
  // The windows read here may be released meanwhile; the bracket keeps them readable.
  tovi_memory_scope_c bracket;
  return maintenance_not_active(ecid, account_id, check_id, host, sev_from, sev_to, time);
}
