#include "maintenance.h"

#include <gtest/gtest.h>
#include <json-c/json.h>

#include <atomic>
#include <climits>
#include <cmath>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"
#include "tovi/tovi_memory.h"

namespace {

const char *config = R"(
<queltd>
  <eventer><config><concurrency>2</concurrency></config></eventer>
</queltd>
)";

const ::testing::Environment *const env =
    ::testing::AddGlobalTestEnvironment(new quelt_test::loop_environment_c(config, "maint.conf"));

// What the end of windows re-evaluated: ecid -> times.
std::mutex reevaluated_lock;
std::map<uint64_t, int> reevaluated;

void record_reevaluation(uint64_t ecid, const struct timeval &) {
  std::lock_guard<std::mutex> guard(reevaluated_lock);
  reevaluated[ecid]++;
}

int reevaluations(uint64_t ecid) {
  std::lock_guard<std::mutex> guard(reevaluated_lock);
  auto it = reevaluated.find(ecid);
  return it == reevaluated.end() ? 0 : it->second;
}

uint64_t wall_seconds() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return uint64_t(tv.tv_sec);
}

struct timeval at(uint64_t seconds) {
  struct timeval tv = {};
  tv.tv_sec = time_t(seconds);
  return tv;
}

uint8_t mask_of(std::initializer_list<int> sevs) {
  uint8_t m = 0;
  for (int s : sevs)
    m |= uint8_t(1u << s);
  return m;
}

int add(uint64_t id, maint_item_type_t type, uint64_t key, const char *host,
        std::initializer_list<int> sevs, uint64_t start_on, uint64_t stop_on) {
  maint_window_t *w = maint_window_safe_alloc();
  w->def.maintenance_id = id;
  w->def.maintenance_type = type;
  if (type == MAINT_ON_HOST)
    w->def.maintenance.host = strdup(host);
  else
    w->def.maintenance.generic_uint64 = key;
  w->def.severity_mask = mask_of(sevs);
  w->def.start_on = start_on;
  w->def.stop_on = stop_on;
  w->def.account_id = 1;
  return maint_window_update(w);
}

bool live(uint64_t id) {
  tovi_memory_scope_c bracket;
  return get_maint_window_by_id(id) != nullptr;
}

// Whether a stream of ruleset 10, account 30, check 20 on host "db1" changing from `from` to `to`
// is held back at second t.
bool held(uint64_t t, int from = INT_MAX, int to = 2, uint64_t ecid = 10,
          const char *host = "db1") {
  tovi_memory_scope_c bracket;
  return maintenance_not_active(ecid, 30, 20, host, from, to, at(t)) == 0;
}

// Lets every loop thread run a full pass, so that timers already due have fired.
void settle_loop() {
  for (int round = 0; round < 2; round++) {
    std::atomic<int> done{0};
    for (int t = 0; t < eventer_loop_concurrency(); t++)
      eventer_post(t, [&done] { done++; });
    ASSERT_TRUE(quelt_test::wait_for([&] { return done == eventer_loop_concurrency(); }));
  }
}

class maintenance : public ::testing::Test {
 protected:
  void SetUp() override {
    maintenance_tables_init();
    maintenance_set_reevaluate(record_reevaluation);
    future = wall_seconds() + 100000;
  }
  void TearDown() override {
    for (uint64_t id : ids)
      maint_window_delete(id);
  }
  uint64_t id() {
    static uint64_t next = 1000;
    ids.push_back(++next);
    return next;
  }
  uint64_t future = 0;  // a second far enough ahead that no end timer fires during a test
  std::vector<uint64_t> ids;
};

TEST_F(maintenance, each_key_covers_its_streams_only) {
  struct {
    maint_item_type_t type;
    uint64_t key;
    const char *host;
  } cases[] = {{MAINT_ON_METRIC, 10, nullptr},
               {MAINT_ON_CHECK, 20, nullptr},
               {MAINT_ON_ACCOUNT, 30, nullptr},
               {MAINT_ON_HOST, 0, "db1"}};
  for (const auto &c : cases) {
    SCOPED_TRACE(maint_item_type_name(c.type));
    uint64_t w = id();
    ASSERT_EQ(add(w, c.type, c.key, c.host, {2}, future, future + 10), 1);
    EXPECT_TRUE(held(future));
    {
      tovi_memory_scope_c bracket;
      EXPECT_EQ(maintenance_not_active(11, 31, 21, "db2", INT_MAX, 2, at(future)), 1);
    }
    EXPECT_TRUE(maint_window_delete(w));
    EXPECT_FALSE(held(future));
  }
}

TEST_F(maintenance, severities_and_inclusive_ends) {
  uint64_t w = id();
  ASSERT_EQ(add(w, MAINT_ON_METRIC, 10, nullptr, {1, 2}, future, future + 5), 1);
  EXPECT_TRUE(held(future, 1, 2));
  EXPECT_FALSE(held(future, 2, 3));
  EXPECT_FALSE(held(future, 0, 2));        // 0 is wanted and not covered
  EXPECT_TRUE(held(future, INT_MAX, -2));  // nothing wanted: any active window covers
  EXPECT_TRUE(held(future + 5, 1, 2));
  EXPECT_FALSE(held(future - 1, 1, 2));
  EXPECT_FALSE(held(future + 6, 1, 2));

  uint64_t single = id();
  ASSERT_EQ(add(single, MAINT_ON_HOST, 0, "web", {3}, future + 100, future + 100), 1);
  EXPECT_TRUE(held(future + 100, 3, 3, 99, "web"));
  EXPECT_FALSE(held(future + 99, 3, 3, 99, "web"));
  EXPECT_FALSE(held(future + 101, 3, 3, 99, "web"));
}

TEST_F(maintenance, overlapping_windows_on_one_key_each_match_alone) {
  uint64_t a = id(), b = id();
  ASSERT_EQ(add(a, MAINT_ON_HOST, 0, "db1", {2}, future, future + 10), 1);
  ASSERT_EQ(add(b, MAINT_ON_HOST, 0, "db1", {2}, future + 5, future + 20), 1);
  EXPECT_TRUE(held(future + 15));
  EXPECT_TRUE(maint_window_delete(b));
  EXPECT_TRUE(held(future + 2));
  EXPECT_FALSE(held(future + 15));
  // A window added later reuses the vacated slot and matches.
  uint64_t c = id();
  ASSERT_EQ(add(c, MAINT_ON_HOST, 0, "db1", {2}, future + 30, future + 40), 1);
  EXPECT_TRUE(held(future + 35));
  EXPECT_TRUE(maint_window_delete(a));
  EXPECT_TRUE(maint_window_delete(c));
  EXPECT_FALSE(held(future + 35));
  EXPECT_FALSE(maint_window_delete(a));
}

TEST_F(maintenance, the_end_of_a_window_reevaluates_what_it_held) {
  uint64_t now = wall_seconds();
  // A started window held ruleset 41; moving its end into the past ends it at once.
  uint64_t moved = id();
  ASSERT_EQ(add(moved, MAINT_ON_ACCOUNT, 30, nullptr, {2}, now - 100, future), 1);
  EXPECT_TRUE(held(now, INT_MAX, 2, 41));
  EXPECT_TRUE(held(now, INT_MAX, 2, 41));  // recorded once
  EXPECT_EQ(reevaluations(41), 0);
  EXPECT_EQ(add(moved, MAINT_ON_ACCOUNT, 30, nullptr, {2}, now - 100, now - 50), 0);
  ASSERT_TRUE(quelt_test::wait_for([&] { return !live(moved); }));
  EXPECT_EQ(reevaluations(41), 1);

  // An update that inverts a window not yet started ends it as well.
  uint64_t inverted = id();
  ASSERT_EQ(add(inverted, MAINT_ON_METRIC, 42, nullptr, {2}, future, future + 10), 1);
  EXPECT_EQ(add(inverted, MAINT_ON_METRIC, 42, nullptr, {2}, future + 20, future + 15), 0);
  EXPECT_TRUE(quelt_test::wait_for([&] { return !live(inverted); }));

  // A window already over when added ends right after; so does one stopped now.
  uint64_t past = id(), stopped = id();
  ASSERT_EQ(add(past, MAINT_ON_HOST, 0, "gone", {1}, now - 20, now - 10), 1);
  ASSERT_EQ(add(stopped, MAINT_ON_HOST, 0, "gone", {1}, now - 20, future), 1);
  EXPECT_TRUE(held(now, 1, 1, 43, "gone"));
  maint_window_stop_now(stopped);
  EXPECT_TRUE(quelt_test::wait_for([&] { return !live(past) && !live(stopped); }));
  EXPECT_TRUE(quelt_test::wait_for([&] { return reevaluations(43) == 1; }));
  EXPECT_FALSE(held(now, 1, 1, 43, "gone"));
}

TEST_F(maintenance, a_window_lasting_forever_keeps_its_end) {
  uint64_t w = id(), now = wall_seconds();
  ASSERT_EQ(add(w, MAINT_ON_METRIC, 10, nullptr, {2}, now - 1, UINT64_MAX), 1);
  settle_loop();
  ASSERT_TRUE(live(w));
  EXPECT_TRUE(held(now + 1));
  tovi_memory_scope_c bracket;
  json_object *o = maint_window_to_json(get_maint_window_by_id(w));
  EXPECT_EQ(json_object_get_uint64(json_object_object_get(o, "stop_on")), UINT64_MAX);
  json_object_put(o);
}

// A stream records its ruleset in a window while the window is being deleted: the ruleset is
// re-evaluated whichever of the two gets the window's target lock first. The lock is held here to
// line both up on it; the short pauses only make the race likely, the outcome must not depend
// on them.
TEST_F(maintenance, draining_loses_no_held_back_ruleset) {
  uint64_t now = wall_seconds();
  for (int round = 0; round < 20; round++) {
    SCOPED_TRACE(round);
    uint64_t w = id(), ecid = 500 + uint64_t(round);
    ASSERT_EQ(add(w, MAINT_ON_ACCOUNT, 30, nullptr, {2}, now - 10, future), 1);
    tovi_mutex_c *target_lock;
    {
      tovi_memory_scope_c bracket;
      target_lock = &get_maint_window_by_id(w)->tgt_ecids_wrlock;
    }
    target_lock->lock();  // the window cannot be released while its deleter waits for this
    std::atomic<bool> was_held{false}, reading{false};
    std::thread reader([&] {
      reading = true;
      was_held = held(now, INT_MAX, 2, ecid);
    });
    while (!reading)
      std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    std::thread deleter([&] { maint_window_delete(w); });
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    target_lock->unlock();
    reader.join();
    deleter.join();
    if (!was_held) continue;  // the reader came too late to see the window: nothing was held
    tovi_memory_synchronize();
    EXPECT_TRUE(quelt_test::wait_for([&] { return reevaluations(ecid) == 1; }));
  }
}

// An end timer that fires while its window is deleted and re-added under the same id ends only
// its own window, never the new one.
TEST_F(maintenance, an_end_timer_ends_only_its_own_window) {
  uint64_t now = wall_seconds();
  std::vector<uint64_t> renewed;
  for (int i = 0; i < 500; i++) {
    uint64_t w = id();
    ASSERT_EQ(add(w, MAINT_ON_CHECK, 77, nullptr, {2}, now - 10, now - 5), 1);
    maint_window_delete(w);
    ASSERT_EQ(add(w, MAINT_ON_CHECK, 77, nullptr, {2}, now - 10, future), 1);
    renewed.push_back(w);
  }
  settle_loop();
  for (uint64_t w : renewed)
    EXPECT_TRUE(live(w)) << w;
}

TEST(maintenance_json, get_kv_as_uint64_takes_only_what_fits) {
  struct {
    const char *json;
    bool ok;
    uint64_t value;
  } cases[] = {
      {R"({"v": 42})", true, 42},      {R"({"v": 18446744073709551615})", true, UINT64_MAX},
      {R"({"v": 12.9})", true, 12},    {R"({"v": "123"})", true, 123},
      {R"({"v": "77abc"})", true, 77}, {R"({"v": -1})", false, 0},
      {R"({"v": -0.5})", false, 0},    {R"({"v": 1e30})", false, 0},
      {R"({"v": "-1"})", false, 0},    {R"({"v": "99999999999999999999"})", false, 0},
      {R"({"v": "x"})", false, 0},     {R"({"v": null})", false, 0},
      {R"({"v": [1]})", false, 0},     {R"({"w": 1})", false, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.json);
    json_object *o = json_tokener_parse(c.json);
    ASSERT_NE(o, nullptr);
    uint64_t v = 0;
    EXPECT_EQ(get_kv_as_uint64(o, "v", &v), c.ok);
    if (c.ok) {
      EXPECT_EQ(v, c.value);
    }
    json_object_put(o);
  }
  // NaN and infinities do not come from JSON text, but from objects built in code.
  for (double d : {NAN, INFINITY, -INFINITY}) {
    json_object *o = json_object_new_object();
    json_object_object_add(o, "v", json_object_new_double(d));
    uint64_t v = 0;
    EXPECT_FALSE(get_kv_as_uint64(o, "v", &v));
    json_object_put(o);
  }
}

}  // namespace
