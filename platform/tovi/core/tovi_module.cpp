#include "tovi/tovi_module.h"

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "tovi/tovi_assert.h"
#include "tovi/tovi_log.h"

namespace {

struct registry_t {
  std::mutex lock;
  std::map<std::string, const tovi_module_t *> compiled;
  std::vector<const tovi_module_t *> loaded;
  std::map<std::string, void *> functions;
  int failures = 0;
};

registry_t &registry() {
  static registry_t *r = new registry_t;
  return *r;
}

}  // namespace

void tovi_module_register(const tovi_module_t *module) {
  registry_t &r = registry();
  std::lock_guard<std::mutex> g(r.lock);
  tovi_assert(r.compiled.emplace(module->name, module).second);
}

int tovi_dso_init(void) {
  registry_t &r = registry();
  int failures = 0;
  tovi_conf_section_read_hold();
  for (tovi_conf_section_t s : tovi_conf_get_sections(nullptr, "/*/modules/module")) {
    std::string name;
    tovi_conf_get_string(s, "@name", &name);
    const tovi_module_t *m = nullptr;
    {
      std::lock_guard<std::mutex> g(r.lock);
      auto it = r.compiled.find(name);
      if (it != r.compiled.end()) m = it->second;
    }
    if (!m) {
      tovi_log(tovi_error, "module '%s': no such module is compiled in", name.c_str());
      failures++;
      continue;
    }
    if (tovi_dso_is_loaded(name.c_str())) {
      tovi_log(tovi_error, "module '%s': configured twice, the second is ignored", name.c_str());
      continue;
    }
    if (m->configure && m->configure(s) != 0) {
      tovi_log(tovi_error, "module '%s': failed to load", name.c_str());
      failures++;
      continue;
    }
    std::lock_guard<std::mutex> g(r.lock);
    r.loaded.push_back(m);
    tovi_log(tovi_notice, "module '%s' loaded", name.c_str());
  }
  tovi_conf_section_read_release();
  std::lock_guard<std::mutex> g(r.lock);
  r.failures += failures;
  return failures;
}

int tovi_dso_post_init(void) {
  registry_t &r = registry();
  std::vector<const tovi_module_t *> loaded;
  {
    std::lock_guard<std::mutex> g(r.lock);
    loaded = r.loaded;
  }
  int failures = 0;
  for (const tovi_module_t *m : loaded) {
    if (m->start && m->start() != 0) {
      tovi_log(tovi_error, "module '%s': failed to start", m->name);
      failures++;
    }
  }
  std::lock_guard<std::mutex> g(r.lock);
  r.failures += failures;
  return failures;
}

int tovi_dso_load_failures(void) {
  registry_t &r = registry();
  std::lock_guard<std::mutex> g(r.lock);
  return r.failures;
}

bool tovi_dso_is_loaded(const char *name) {
  registry_t &r = registry();
  std::lock_guard<std::mutex> g(r.lock);
  for (const tovi_module_t *m : r.loaded)
    if (std::string(m->name) == name) return true;
  return false;
}

void tovi_function_register(const char *name, void *fn) {
  registry_t &r = registry();
  std::lock_guard<std::mutex> g(r.lock);
  tovi_assert(r.functions.emplace(name, fn).second);
}

void *tovi_function_find(const char *name) {
  registry_t &r = registry();
  std::lock_guard<std::mutex> g(r.lock);
  auto it = r.functions.find(name);
  return it == r.functions.end() ? nullptr : it->second;
}
