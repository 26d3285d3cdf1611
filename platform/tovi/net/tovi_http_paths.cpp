// URL decoding and query strings (outside input), and the files a REST listener serves from a
// document root: the resolution that keeps a request inside the root and away from dot files,
// content types, and the framework's file handler.
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tovi/tovi_http.h"
#include "tovi/tovi_http_internal.h"

using tovi_http_detail::http_error_response;
using tovi_http_detail::iequals;

// ---- Decoding
// ------------------------------------------------------------------------------------------

bool tovi_http_url_decode(std::string_view text, bool plus_is_space, std::string *out) {
  auto hexval = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  out->clear();
  out->reserve(text.size());
  for (size_t i = 0; i < text.size(); i++) {
    char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size()) return false;
      int hi = hexval(text[i + 1]), lo = hexval(text[i + 2]);
      if (hi < 0 || lo < 0) return false;
      c = static_cast<char>(hi * 16 + lo);
      i += 2;
    } else if (c == '+' && plus_is_space) {
      c = ' ';
    }
    if (c == '\0') return false;
    out->push_back(c);
  }
  return true;
}

std::vector<std::pair<std::string, std::string>> tovi_http_parse_query(std::string_view query) {
  std::vector<std::pair<std::string, std::string>> out;
  while (!query.empty()) {
    size_t amp = query.find('&');
    std::string_view part = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    if (part.empty()) continue;
    size_t eq = part.find('=');
    std::string name, value;
    if (!tovi_http_url_decode(part.substr(0, eq), true, &name) || name.empty()) continue;
    if (eq != std::string_view::npos && !tovi_http_url_decode(part.substr(eq + 1), true, &value))
      continue;
    out.emplace_back(std::move(name), std::move(value));
  }
  return out;
}

// ---- Files
// ----------------------------------------------------------------------------------------------

namespace {

bool real_path(const std::string &path, std::string *out) {
  char buf[PATH_MAX];
  if (!realpath(path.c_str(), buf)) return false;
  *out = buf;
  return true;
}

bool inside(const std::string &root, const std::string &candidate) {
  if (candidate == root) return true;
  if (root == "/") return true;
  return candidate.size() > root.size() && candidate.compare(0, root.size(), root) == 0 &&
         candidate[root.size()] == '/';
}

}  // namespace

bool tovi_http_resolve_file(const std::string &root, const std::string &path, std::string *out) {
  if (root.empty() || path.find('\0') != std::string::npos) return false;
  // A segment starting with '.' (".." above all, but also ".git", ".htpasswd") is refused
  // outright, whatever it would resolve to: dot files are never served.
  size_t start = 0;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    std::string_view seg = std::string_view(path).substr(
        start, slash == std::string::npos ? std::string::npos : slash - start);
    if (!seg.empty() && seg[0] == '.') return false;
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  std::string real_root;
  if (!real_path(root, &real_root)) return false;
  std::string candidate;
  if (!real_path(real_root + "/" + path, &candidate) || !inside(real_root, candidate)) return false;
  // A symlink inside the root may still lead to a dot file or directory inside it.
  if (candidate.find("/.", real_root.size() == 1 ? 0 : real_root.size()) != std::string::npos)
    return false;
  struct stat st;
  if (stat(candidate.c_str(), &st) != 0) return false;
  if (S_ISDIR(st.st_mode)) {
    if (!real_path(candidate + "/index.html", &candidate) || !inside(real_root, candidate))
      return false;
    if (stat(candidate.c_str(), &st) != 0) return false;
  }
  if (!S_ISREG(st.st_mode)) return false;
  *out = candidate;
  return true;
}

const char *tovi_http_content_type_for(const std::string &path) {
  static const std::pair<const char *, const char *> types[] = {
      {"html", "text/html; charset=utf-8"},
      {"htm", "text/html; charset=utf-8"},
      {"css", "text/css; charset=utf-8"},
      {"js", "application/javascript"},
      {"json", "application/json"},
      {"txt", "text/plain; charset=utf-8"},
      {"xml", "text/xml"},
      {"svg", "image/svg+xml"},
      {"png", "image/png"},
      {"jpg", "image/jpeg"},
      {"jpeg", "image/jpeg"},
      {"gif", "image/gif"},
      {"ico", "image/x-icon"},
      {"woff", "font/woff"},
      {"woff2", "font/woff2"},
      {"pdf", "application/pdf"},
      {"wasm", "application/wasm"},
  };
  size_t slash = path.rfind('/');
  size_t dot = path.rfind('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) {
    std::string_view ext = std::string_view(path).substr(dot + 1);
    for (const auto &t : types)
      if (iequals(ext, t.first)) return t.second;
  }
  return "application/octet-stream";
}

int tovi_http_rest_simple_file_handler(tovi_http_rest_closure_t *restc, int npats, char **pats) {
  std::string rel = npats > 0 ? std::string(pats[0]) : restc->path;
  return tovi_http_rest_serve_file(restc, restc->document_root, rel);
}

int tovi_http_rest_serve_file(tovi_http_rest_closure_t *restc, const std::string &root,
                              const std::string &rel) {
  std::string file;
  if (root.empty() || !tovi_http_resolve_file(root, rel, &file)) {
    http_error_response(restc, 404, "NOT FOUND", nullptr);
    return TOVI_HTTP_DONE;
  }
  int fd = open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (fd >= 0) close(fd);
    http_error_response(restc, 404, "NOT FOUND", nullptr);
    return TOVI_HTTP_DONE;
  }
  // The connection streams the file in bounded pieces; nothing of it is read here.
  tovi_http_response_ok(restc, tovi_http_content_type_for(file));
  restc->file_fd = fd;
  restc->file_size = static_cast<uint64_t>(st.st_size);
  tovi_http_response_end(restc);
  return TOVI_HTTP_DONE;
}
