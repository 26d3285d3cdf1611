#include "web_ui.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "tovi/tovi_assert.h"
#include "tovi/tovi_conf.h"
#include "tovi/tovi_http.h"
#include "tovi/tovi_log.h"

#ifndef QUELT_WEB_SOURCE_DIR
#define QUELT_WEB_SOURCE_DIR ""
#endif

namespace {

std::string assets_dir;

// The real path of a directory holding index.html, or "".
std::string usable_dir(const std::string &path) {
  if (path.empty()) return std::string();
  char real[PATH_MAX];
  if (!realpath(path.c_str(), real)) return std::string();
  struct stat st;
  std::string index = std::string(real) + "/index.html";
  if (stat(real, &st) != 0 || !S_ISDIR(st.st_mode) || stat(index.c_str(), &st) != 0)
    return std::string();
  return real;
}

std::string installed_dir() {
  char exe[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return std::string();
  exe[n] = '\0';
  std::string path(exe);
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return std::string();
  return path.substr(0, slash) + "/../share/queltd/web";
}

void set_security_headers(tovi_http_rest_closure_t *restc) {
  // Nothing of the console may come from, or go to, anywhere but this daemon.
  tovi_http_response_header_set(restc, "Content-Security-Policy",
                                "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'");
  tovi_http_response_header_set(restc, "X-Content-Type-Options", "nosniff");
  tovi_http_response_header_set(restc, "Cache-Control", "no-cache");
}

int ui_redirect(tovi_http_rest_closure_t *restc, int, char **) {
  tovi_http_response_standard(restc, 301, "MOVED PERMANENTLY", "text/plain");
  tovi_http_response_header_set(restc, "Location", "/ui/");
  tovi_http_response_end(restc);
  return TOVI_HTTP_DONE;
}

int ui_file(tovi_http_rest_closure_t *restc, int npats, char **pats) {
  std::string rel = npats > 0 && pats[0][0] ? pats[0] : "index.html";
  int rc = tovi_http_rest_serve_file(restc, assets_dir, rel);
  if (tovi_http_response_status(restc) == 200) set_security_headers(restc);
  return rc;
}

}  // namespace

const std::string &web_ui_assets_dir() {
  return assets_dir;
}

void web_ui_init() {
  std::string configured;
  if (tovi_conf_get_string(nullptr, "//ui/@assets", &configured) && !configured.empty()) {
    assets_dir = usable_dir(configured);
    if (assets_dir.empty()) {
      tovi_log(tovi_error, "//ui/@assets '%s' is not a directory holding index.html\n",
               configured.c_str());
      exit(2);
    }
  }
  if (assets_dir.empty()) assets_dir = usable_dir(installed_dir());
  if (assets_dir.empty()) assets_dir = usable_dir(QUELT_WEB_SOURCE_DIR);
  if (assets_dir.empty())
    tovi_log(tovi_notice, "web console: no assets found (set //ui/@assets); /ui/ answers 404\n");
  else
    tovi_log(tovi_notice, "web console: serving /ui/ from %s\n", assets_dir.c_str());
  tovi_assert(tovi_http_rest_register_auth("GET", "/", "^ui$", ui_redirect,
                                           tovi_http_rest_client_cert_auth) == 0);
  tovi_assert(tovi_http_rest_register_auth("GET", "/ui/", "^(.*)$", ui_file,
                                           tovi_http_rest_client_cert_auth) == 0);
}
