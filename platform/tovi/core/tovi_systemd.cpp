// sd_notify for Type=notify units; see tovi_systemd.h.
#include "tovi/tovi_systemd.h"

#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>

#include "tovi/eventer.h"
#include "tovi/tovi_log.h"
#include "tovi/tovi_main.h"

#ifdef TOVI_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace {

void notify(const std::string &state) {
#ifdef TOVI_HAVE_SYSTEMD
  int r = sd_notify(0, state.c_str());
  if (r < 0) tovi_log(tovi_error, "cannot notify the service manager: %s", strerror(-r));
#else
  (void)state;
#endif
}

int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

struct watchdog_t {
  long long interval_us = 0;                     // ping every this long
  std::unique_ptr<std::atomic<int64_t>[]> seen;  // per loop thread: when its timer last ran
  int threads = 0;
};
watchdog_t watchdog;

int watchdog_tick(eventer_t e, int, void *closure, struct timeval *) {
  int thread = int(reinterpret_cast<intptr_t>(closure));
  int64_t now = now_ms();
  watchdog.seen[thread].store(now, std::memory_order_relaxed);
  if (thread == 0) {
    // Thread 0 answers for all: a thread whose timers stopped running holds the pings back.
    int64_t limit = watchdog.interval_us / 1000 * 2;
    bool all_alive = true;
    for (int t = 0; t < watchdog.threads; t++)
      all_alive &= now - watchdog.seen[t].load(std::memory_order_relaxed) <= limit;
    if (all_alive) notify("WATCHDOG=1");
  }
  eventer_update_in(e,
                    {long(watchdog.interval_us / 1000000), long(watchdog.interval_us % 1000000)});
  return EVENTER_TIMER;
}

}  // namespace

void tovi_systemd_ready(void) {
  notify(std::string("READY=1\nSTATUS=") + tovi_app_name() + " " + tovi_app_version() +
         " running\nMAINPID=" + std::to_string(getpid()));
}

void tovi_systemd_stopping(void) {
  notify("STOPPING=1");
}

long long tovi_systemd_watchdog_start(void) {
#ifdef TOVI_HAVE_SYSTEMD
  uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0) return 0;
  // Twice per period, as the service manager advises: one late ping is not a restart.
  watchdog.interval_us = (long long)(usec / 2);
  watchdog.threads = eventer_loop_concurrency();
  watchdog.seen.reset(new std::atomic<int64_t>[size_t(watchdog.threads)]);
  int64_t now = now_ms();
  for (int t = 0; t < watchdog.threads; t++) {
    watchdog.seen[t].store(now, std::memory_order_relaxed);
    eventer_t e =
        eventer_alloc_timer_in(watchdog_tick, reinterpret_cast<void *>(intptr_t(t)), {0, 0});
    eventer_set_owner(e, t);
    eventer_add(e);
  }
  tovi_log(tovi_notice, "service watchdog: pinging every %lld ms", watchdog.interval_us / 1000);
  return watchdog.interval_us;
#else
  return 0;
#endif
}
