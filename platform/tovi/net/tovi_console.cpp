// The operator console.
//
// The command tree is a tree of words guarded by one mutex. Commands are only ever added, so a
// resolved node stays valid; a line is resolved under the mutex, and the handler runs after it
// is released (a handler may itself register commands).
//
// Connections live on loop thread 0's io_context: reading, parsing, running commands and
// writing all happen there, so a connection needs no lock. Input is filtered byte by byte
// (telnet negotiation is skipped, control characters dropped) into a bounded line buffer;
// output is queued in one buffer and written by a single outstanding write.
#include "tovi/tovi_console.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "tovi/eventer.h"
#include "tovi/eventer_jobq.h"
#include "tovi/tovi_asio.h"
#include "tovi/tovi_conf.h"
#include "tovi/tovi_log.h"
#include "tovi/tovi_memory.h"

struct tovi_console_s {
  std::string out;
};

struct tovi_console_candidates_s {
  std::vector<std::string> words;
};

namespace {

namespace asio = boost::asio;
using generic_stream = asio::generic::stream_protocol;
using generic_acceptor = asio::basic_socket_acceptor<generic_stream>;

constexpr size_t max_line_bytes = 4096;
constexpr size_t max_pending_output = 1 << 20;
constexpr int max_connections = 64;
constexpr int default_max_connections_per_peer = 8;
constexpr int default_idle_timeout_s = 600;
const char *const builtin_words[] = {"complete", "exit", "help", "quit"};

struct command_node_t {
  std::string word;
  tovi_console_handler_t handler = nullptr;
  tovi_console_completion_t completion = nullptr;
  std::string description;
  void *closure = nullptr;
  std::map<std::string, std::unique_ptr<command_node_t>> children;
};

struct console_state_t {
  std::mutex tree_lock;
  command_node_t root;  // guarded by tree_lock
  std::string prompt = "# ";
  std::vector<int> listener_ports;
  std::vector<std::unique_ptr<generic_acceptor>> acceptors;
  int connections = 0;                     // loop thread 0 only
  std::map<std::string, int> peer_counts;  // loop thread 0 only: connections by peer address
};

// Settings of one console listener; constant once it listens.
struct listener_conf_t {
  int idle_timeout_s = default_idle_timeout_s;
  int max_connections_per_peer = default_max_connections_per_peer;
};

// The peer's address for a TCP console, "" for a Unix socket (whose file only the daemon's user
// may open).
std::string peer_of(generic_stream::socket &socket) {
  boost::system::error_code ec;
  generic_stream::endpoint remote = socket.remote_endpoint(ec);
  if (ec) return std::string();
  const sockaddr *sa = static_cast<const sockaddr *>(remote.data());
  char text[INET6_ADDRSTRLEN] = "";
  if (sa->sa_family == AF_INET)
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(sa)->sin_addr, text, sizeof text);
  else if (sa->sa_family == AF_INET6)
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 *>(sa)->sin6_addr, text, sizeof text);
  return text;
}

console_state_t &state() {
  static console_state_t *s = new console_state_t;
  return *s;
}

std::vector<std::string> split_words(const std::string &line) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
      i++;
    if (i >= line.size()) break;
    std::string word;
    if (line[i] == '"') {
      // A quoted word runs to the next quote (or the end of the line).
      i++;
      while (i < line.size() && line[i] != '"')
        word += line[i++];
      if (i < line.size()) i++;
    } else {
      while (i < line.size() && line[i] != ' ' && line[i] != '\t')
        word += line[i++];
    }
    words.push_back(std::move(word));
  }
  return words;
}

// The child named by word: an exact name, or the one name it is a unique prefix of. Sets
// *ambiguous when several names share the prefix. Called with tree_lock held.
command_node_t *find_child(command_node_t *node, const std::string &word, bool *ambiguous) {
  *ambiguous = false;
  auto exact = node->children.find(word);
  if (exact != node->children.end()) return exact->second.get();
  command_node_t *found = nullptr;
  for (auto it = node->children.lower_bound(word);
       it != node->children.end() && it->first.compare(0, word.size(), word) == 0; ++it) {
    if (found) {
      *ambiguous = true;
      return nullptr;
    }
    found = it->second.get();
  }
  return found;
}

struct resolved_t {
  command_node_t *node;
  size_t consumed;
  bool ambiguous;
  std::string path;  // the full words of the command reached
};

resolved_t resolve(const std::vector<std::string> &words, size_t limit) {
  resolved_t r{&state().root, 0, false, ""};
  while (r.consumed < limit) {
    command_node_t *child = find_child(r.node, words[r.consumed], &r.ambiguous);
    if (!child) break;
    r.node = child;
    if (!r.path.empty()) r.path += ' ';
    r.path += child->word;
    r.consumed++;
  }
  return r;
}

void list_commands(const command_node_t *node, const std::string &prefix, std::string &out) {
  for (auto &kv : node->children) {
    const command_node_t *child = kv.second.get();
    std::string path = prefix.empty() ? child->word : prefix + " " + child->word;
    if (child->handler) {
      out += "  " + path;
      if (!child->description.empty()) {
        out.append(path.size() < 28 ? 28 - path.size() : 1, ' ');
        out += child->description;
      }
      out += '\n';
    }
    list_commands(child, path, out);
  }
}

std::string run_help(const std::vector<std::string> &args) {
  auto &s = state();
  std::lock_guard<std::mutex> g(s.tree_lock);
  std::string out;
  if (args.empty()) {
    out += "  complete <partial line>     the words that may come next\n";
    out += "  exit                        close this connection\n";
    out += "  help [command]              this list\n";
    list_commands(&s.root, "", out);
    return out;
  }
  resolved_t r = resolve(args, args.size());
  if (r.consumed != args.size()) return "no such command: " + args[r.consumed] + "\n";
  if (r.node->handler) {
    out += "  " + r.path + "  " + r.node->description + "\n";
  }
  list_commands(r.node, r.path, out);
  return out;
}

std::string run_complete(const std::string &partial_line) {
  auto &s = state();
  std::vector<std::string> words = split_words(partial_line);
  std::string partial;
  bool ends_with_space =
      partial_line.empty() || partial_line.back() == ' ' || partial_line.back() == '\t';
  if (!ends_with_space && !words.empty()) {
    partial = words.back();
    words.pop_back();
  }

  std::set<std::string> candidates;
  tovi_console_completion_t completion = nullptr;
  void *closure = nullptr;
  std::vector<std::string> args;
  {
    std::lock_guard<std::mutex> g(s.tree_lock);
    resolved_t r = resolve(words, words.size());
    if (r.consumed == words.size()) {
      for (auto &kv : r.node->children)
        if (kv.first.compare(0, partial.size(), partial) == 0) candidates.insert(kv.first);
      if (r.node == &s.root)
        for (const char *w : builtin_words)
          if (strncmp(w, partial.c_str(), partial.size()) == 0) candidates.insert(w);
    }
    if (r.consumed > 0 || words.empty()) {
      completion = r.node->completion;
      closure = r.node->closure;
      args.assign(words.begin() + long(r.consumed), words.end());
    }
  }
  if (completion) {
    tovi_console_candidates_s offered;
    std::vector<const char *> argv;
    for (auto &a : args)
      argv.push_back(a.c_str());
    argv.push_back(nullptr);
    completion(int(args.size()), argv.data(), partial.c_str(), &offered, closure);
    for (auto &w : offered.words)
      if (w.compare(0, partial.size(), partial) == 0) candidates.insert(w);
  }
  std::string out;
  for (auto &c : candidates)
    out += c + "\n";
  return out;
}

// Runs one line; *close is set when the connection should end after the reply.
std::string execute_line(const std::string &line, bool *close) {
  auto &s = state();
  *close = false;
  std::vector<std::string> words = split_words(line);
  if (words.empty()) return "";
  const std::string &first = words[0];
  if (first == "exit" || first == "quit") {
    *close = true;
    return "bye\n";
  }
  if (first == "help") return run_help(std::vector<std::string>(words.begin() + 1, words.end()));
  if (first == "complete") {
    size_t at = line.find("complete");
    std::string rest = line.substr(at + strlen("complete"));
    if (!rest.empty() && (rest[0] == ' ' || rest[0] == '\t')) rest.erase(0, 1);
    return run_complete(rest);
  }

  tovi_console_handler_t handler = nullptr;
  void *closure = nullptr;
  std::string listing;
  {
    std::lock_guard<std::mutex> g(s.tree_lock);
    resolved_t r = resolve(words, words.size());
    if (r.consumed == 0) {
      return (r.ambiguous ? "ambiguous command: " : "unknown command: ") + first + "\n";
    }
    if (!r.node->handler) {
      if (r.consumed < words.size()) {
        return (r.ambiguous ? "ambiguous command: " : "unknown command: ") + r.path + " " +
               words[r.consumed] + "\n";
      }
      list_commands(r.node, r.path, listing);
      return r.path + " needs one of:\n" + listing;
    }
    handler = r.node->handler;
    closure = r.node->closure;
    words.erase(words.begin(), words.begin() + long(r.consumed));
  }
  tovi_console_s console;
  std::vector<const char *> argv;
  for (auto &w : words)
    argv.push_back(w.c_str());
  argv.push_back(nullptr);
  handler(&console, int(words.size()), argv.data(), closure);
  if (!console.out.empty() && console.out.back() != '\n') console.out += '\n';
  return console.out;
}

// ---- Connections ----

class connection_c : public std::enable_shared_from_this<connection_c> {
 public:
  connection_c(generic_stream::socket socket, const listener_conf_t *conf, std::string peer)
      : socket_(std::move(socket)),
        conf_(conf),
        peer_(std::move(peer)),
        idle_(socket_.get_executor()) {}

  // Loop thread 0, like every connection's work.
  void start() {
    state().connections++;
    if (!peer_.empty()) state().peer_counts[peer_]++;
    queue_output(state().prompt);
    read();
  }

  ~connection_c() {
    auto &s = state();
    s.connections--;
    if (!peer_.empty()) {
      auto it = s.peer_counts.find(peer_);
      if (it != s.peer_counts.end() && --it->second <= 0) s.peer_counts.erase(it);
    }
  }

 private:
  enum telnet_state_t { DATA, IAC, OPTION, SUB, SUB_IAC };

  void read() {
    auto self = shared_from_this();
    // A forgotten session does not hold a console slot (and a descriptor) for ever.
    idle_.expires_after(std::chrono::seconds(conf_->idle_timeout_s));
    idle_.async_wait([self](const boost::system::error_code &ec) {
      if (ec) return;
      self->queue_output("\nidle for too long; closing\n");
      self->closing_ = true;
      if (!self->writing_) self->close();
    });
    socket_.async_read_some(asio::buffer(buffer_),
                            [self](const boost::system::error_code &ec, size_t n) {
                              self->idle_.cancel();
                              if (ec) {
                                self->close();
                                return;
                              }
                              self->consume(n);
                              if (!self->closing_) self->read();
                            });
  }

  void consume(size_t n) {
    for (size_t i = 0; i < n && !closing_; i++) {
      unsigned char c = static_cast<unsigned char>(buffer_[i]);
      switch (telnet_) {
        case IAC:
          if (c == 251 || c == 252 || c == 253 || c == 254) {
            telnet_ = OPTION;  // WILL, WONT, DO, DONT carry one option byte
          } else if (c == 250) {
            telnet_ = SUB;
          } else if (c == 255) {
            telnet_ = DATA;  // an escaped 255 is not text we accept
          } else {
            telnet_ = DATA;
          }
          continue;
        case OPTION:
          telnet_ = DATA;
          continue;
        case SUB:
          if (c == 255) telnet_ = SUB_IAC;
          continue;
        case SUB_IAC:
          telnet_ = c == 240 ? DATA : SUB;
          continue;
        case DATA:
          break;
      }
      if (c == 255) {
        telnet_ = IAC;
      } else if (c == '\n') {
        end_line();
      } else if (c == '\t' || (c >= 0x20 && c != 0x7f)) {
        if (discarding_) continue;
        if (line_.size() >= max_line_bytes) {
          discarding_ = true;
          line_.clear();
        } else {
          line_ += char(c);
        }
      }
      // Other control characters (CR, NUL, escapes) are dropped.
    }
  }

  void end_line() {
    if (discarding_) {
      discarding_ = false;
      queue_output("error: line longer than " + std::to_string(max_line_bytes) + " bytes\n" +
                   state().prompt);
      return;
    }
    bool close_after = false;
    std::string reply;
    {
      tovi_memory_scope_c bracket;
      reply = execute_line(line_, &close_after);
    }
    line_.clear();
    if (close_after) {
      queue_output(reply);
      closing_ = true;
    } else {
      queue_output(reply + state().prompt);
    }
  }

  void queue_output(const std::string &text) {
    if (pending_.size() + text.size() > max_pending_output) {
      // The client does not read its replies; dropping it protects the daemon's memory.
      close();
      return;
    }
    pending_ += text;
    if (!writing_) write();
  }

  void write() {
    if (pending_.empty()) {
      if (closing_) close();
      return;
    }
    writing_ = true;
    in_flight_.swap(pending_);
    pending_.clear();
    auto self = shared_from_this();
    asio::async_write(socket_, asio::buffer(in_flight_),
                      [self](const boost::system::error_code &ec, size_t) {
                        self->writing_ = false;
                        self->in_flight_.clear();
                        if (ec) {
                          self->close();
                          return;
                        }
                        self->write();
                      });
  }

  void close() {
    closing_ = true;
    boost::system::error_code ignored;
    if (socket_.is_open()) {
      socket_.shutdown(generic_stream::socket::shutdown_both, ignored);
      socket_.close(ignored);
    }
  }

  generic_stream::socket socket_;
  const listener_conf_t *conf_;
  std::string peer_;
  asio::steady_timer idle_;
  std::array<char, 2048> buffer_;
  std::string line_;
  bool discarding_ = false;
  telnet_state_t telnet_ = DATA;
  std::string pending_;
  std::string in_flight_;
  bool writing_ = false;
  bool closing_ = false;
};

void accept_next(generic_acceptor *acceptor, const listener_conf_t *conf) {
  acceptor->async_accept(
      [acceptor, conf](const boost::system::error_code &ec, generic_stream::socket socket) {
        if (ec == asio::error::operation_aborted) return;
        if (!ec) {
          std::string peer = peer_of(socket);
          auto &s = state();
          auto counted = s.peer_counts.find(peer);
          bool peer_full = !peer.empty() && conf->max_connections_per_peer > 0 &&
                           counted != s.peer_counts.end() &&
                           counted->second >= conf->max_connections_per_peer;
          if (s.connections >= max_connections || peer_full) {
            boost::system::error_code ignored;
            socket.close(ignored);
          } else {
            std::make_shared<connection_c>(std::move(socket), conf, std::move(peer))->start();
          }
        } else {
          // Out of descriptors and the like: try again a little later instead of spinning.
          tovi_log(tovi_error, "console: accept failed: %s\n", ec.message().c_str());
          auto delay = std::make_shared<asio::steady_timer>(eventer_io_context(0),
                                                            std::chrono::milliseconds(100));
          delay->async_wait([acceptor, conf, delay](const boost::system::error_code &) {
            accept_next(acceptor, conf);
          });
          return;
        }
        accept_next(acceptor, conf);
      });
}

// Makes way for a Unix-socket console at path: nothing there, or a socket nobody answers on (left
// by a process that died), which is removed. A live console (another daemon) or anything that is
// not a socket is left alone and the console does not start.
bool remove_stale_socket(const std::string &path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return errno == ENOENT;
  if (!S_ISSOCK(st.st_mode)) {
    tovi_log(tovi_error, "console: %s exists and is not a socket; not removing it\n", path.c_str());
    return false;
  }
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  int rc = connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr));
  int err = errno;
  close(fd);
  if (rc == 0) {
    tovi_log(tovi_error, "console: another process answers on %s; not taking it over\n",
             path.c_str());
    return false;
  }
  if (err != ECONNREFUSED) {
    tovi_log(tovi_error, "console: cannot tell whether %s is in use: %s\n", path.c_str(),
             strerror(err));
    return false;
  }
  ::unlink(path.c_str());
  return true;
}

// Opens and binds one listener; returns its port (0 for a Unix socket) or -1.
int open_listener(tovi_conf_section_t section) {
  auto &s = state();
  std::string address = "127.0.0.1", path;
  int32_t port = -1;
  tovi_conf_get_string(section, "@address", &address);
  tovi_conf_get_int32(section, "@port", &port);
  tovi_conf_get_string(section, "@path", &path);
  auto conf = std::make_unique<listener_conf_t>();
  int32_t value = conf->idle_timeout_s;
  if (tovi_conf_exists(section, "@idle_timeout") &&
      (!tovi_conf_get_int32(section, "@idle_timeout", &value) || value <= 0)) {
    tovi_log(tovi_error, "console: //listeners/console/@idle_timeout must be a positive number\n");
    return -1;
  }
  conf->idle_timeout_s = value;
  value = conf->max_connections_per_peer;
  if (tovi_conf_exists(section, "@max_connections_per_peer") &&
      (!tovi_conf_get_int32(section, "@max_connections_per_peer", &value) || value < 0)) {
    tovi_log(tovi_error,
             "console: //listeners/console/@max_connections_per_peer must be 0 or more\n");
    return -1;
  }
  conf->max_connections_per_peer = value;
  bool allow_remote = false;
  if (tovi_conf_exists(section, "@allow_remote") &&
      !tovi_conf_get_boolean(section, "@allow_remote", &allow_remote)) {
    tovi_log(tovi_error, "console: //listeners/console/@allow_remote must be true or false\n");
    return -1;
  }

  generic_stream::endpoint endpoint;
  int bound_port = 0;
  if (!path.empty()) {
    if (path.size() >= sizeof(sockaddr_un::sun_path)) {
      tovi_log(tovi_error, "console: //listeners/console/@path is too long: %s\n", path.c_str());
      return -1;
    }
    if (!remove_stale_socket(path)) return -1;
    endpoint = generic_stream::endpoint(asio::local::stream_protocol::endpoint(path));
  } else {
    if (port < 0 || port > 65535) {
      tovi_log(tovi_error, "console: //listeners/console needs @port (0-65535) or @path\n");
      return -1;
    }
    boost::system::error_code ec;
    asio::ip::address ip = asio::ip::make_address(address, ec);
    if (ec) {
      tovi_log(tovi_error, "console: //listeners/console/@address is not an address: %s\n",
               address.c_str());
      return -1;
    }
    // The console has no authentication of its own: anyone who reaches it runs the daemon.
    if (!ip.is_loopback()) {
      if (!allow_remote) {
        tovi_log(tovi_error,
                 "console: //listeners/console/@address %s is not a loopback address; set "
                 "allow_remote=\"true\" to listen there anyway\n",
                 address.c_str());
        return -1;
      }
      tovi_log(tovi_error,
               "console: WARNING: listening on non-loopback address %s; anyone who can reach it "
               "controls the daemon\n",
               address.c_str());
    }
    endpoint = generic_stream::endpoint(asio::ip::tcp::endpoint(ip, uint16_t(port)));
  }

  auto acceptor = std::make_unique<generic_acceptor>(eventer_io_context(0));
  boost::system::error_code ec;
  acceptor->open(endpoint.protocol(), ec);
  if (!ec && path.empty()) acceptor->set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) acceptor->bind(endpoint, ec);
  if (!ec) acceptor->listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    tovi_log(tovi_error, "console: cannot listen on %s: %s\n",
             path.empty() ? (address + ":" + std::to_string(port)).c_str() : path.c_str(),
             ec.message().c_str());
    return -1;
  }
  if (!path.empty()) {
    ::chmod(path.c_str(), 0600);  // the console is for the daemon's own user
  } else {
    generic_stream::endpoint local = acceptor->local_endpoint(ec);
    if (!ec) {
      const sockaddr *sa = static_cast<const sockaddr *>(local.data());
      if (sa->sa_family == AF_INET)
        bound_port = ntohs(reinterpret_cast<const sockaddr_in *>(sa)->sin_port);
      else if (sa->sa_family == AF_INET6)
        bound_port = ntohs(reinterpret_cast<const sockaddr_in6 *>(sa)->sin6_port);
    }
  }
  generic_acceptor *raw = acceptor.get();
  const listener_conf_t *raw_conf = conf.release();  // lives as long as the listener: for ever
  s.acceptors.push_back(std::move(acceptor));
  eventer_post(0, [raw, raw_conf] { accept_next(raw, raw_conf); });
  tovi_log(tovi_notice, "console: listening on %s\n",
           path.empty() ? (address + ":" + std::to_string(bound_port)).c_str() : path.c_str());
  return bound_port;
}

// ---- The framework's own commands ----

int show_jobq(tovi_console_t *c, int, const char *const *, void *) {
  tovi_console_printf(c, "%-20s %7s %5s %8s %9s %12s %9s\n", "queue", "threads", "idle", "backlog",
                      "in_flight", "total", "min..max");
  eventer_jobq_foreach([c](eventer_jobq_t *q) {
    eventer_jobq_stats_t st = eventer_jobq_stats(q);
    char bounds[32];
    snprintf(bounds, sizeof bounds, "%d..%d", st.min_threads, st.max_threads);
    tovi_console_printf(c, "%-20s %7d %5d %8llu %9llu %12llu %9s\n", eventer_jobq_name(q),
                        st.threads, st.idle_threads, (unsigned long long)st.backlog,
                        (unsigned long long)st.in_flight, (unsigned long long)st.total_jobs,
                        bounds);
  });
  return 0;
}

int show_threads(tovi_console_t *c, int, const char *const *, void *) {
  tovi_console_printf(c, "%-8s %8s %10s %14s\n", "thread", "timers", "recurrent", "passes");
  for (int i = 0; i < eventer_loop_concurrency(); i++) {
    tovi_console_printf(c, "%-8d %8d %10d %14llu\n", i, eventer_timers_pending(i),
                        eventer_recurrent_count(i), (unsigned long long)eventer_loop_passes(i));
  }
  return 0;
}

int show_memory(tovi_console_t *c, int, const char *const *, void *) {
  uint64_t requested = tovi_memory_frees_requested(), done = tovi_memory_frees_done();
  tovi_console_printf(c, "safe frees requested %llu, done %llu, pending %llu\n",
                      (unsigned long long)requested, (unsigned long long)done,
                      (unsigned long long)(requested - done));
  return 0;
}

}  // namespace

bool tovi_console_command_register(const char *path, tovi_console_handler_t handler,
                                   tovi_console_completion_t completion, const char *description,
                                   void *closure) {
  if (!path) return false;
  std::vector<std::string> words = split_words(path);
  if (words.empty()) return false;
  for (const char *w : builtin_words)
    if (words[0] == w) return false;
  auto &s = state();
  std::lock_guard<std::mutex> g(s.tree_lock);
  command_node_t *node = &s.root;
  for (auto &w : words) {
    auto &child = node->children[w];
    if (!child) {
      child = std::make_unique<command_node_t>();
      child->word = w;
    }
    node = child.get();
  }
  node->handler = handler;
  node->completion = completion;
  node->description = description ? description : "";
  node->closure = closure;
  return true;
}

int tovi_console_init(const char *app_name) {
  auto &s = state();
  s.prompt = std::string(app_name ? app_name : "") + "# ";
  tovi_console_command_register("show eventer jobq", show_jobq, nullptr,
                                "job queues: threads, backlog, jobs", nullptr);
  tovi_console_command_register("show eventer threads", show_threads, nullptr,
                                "loop threads: timers, recurrent events, passes", nullptr);
  tovi_console_command_register("show memory", show_memory, nullptr, "safe-memory reclamation",
                                nullptr);
  int started = 0;
  tovi_conf_section_read_hold();
  std::vector<tovi_conf_section_t> sections =
      tovi_conf_get_sections(nullptr, "//listeners/console");
  for (tovi_conf_section_t section : sections) {
    int port = open_listener(section);
    if (port < 0) {
      started = -1;
      break;
    }
    s.listener_ports.push_back(port);
    started++;
  }
  tovi_conf_section_read_release();
  return started;
}

int tovi_console_listener_port(int index) {
  auto &s = state();
  if (index < 0 || size_t(index) >= s.listener_ports.size()) return -1;
  return s.listener_ports[size_t(index)];
}

void tovi_console_printf(tovi_console_t *console, const char *fmt, ...) {
  char small[512];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(small, sizeof small, fmt, ap);
  va_end(ap);
  if (n < 0) return;
  if (size_t(n) < sizeof small) {
    console->out.append(small, size_t(n));
    return;
  }
  std::string big(size_t(n) + 1, '\0');
  va_start(ap, fmt);
  vsnprintf(big.data(), big.size(), fmt, ap);
  va_end(ap);
  big.resize(size_t(n));
  console->out += big;
}

void tovi_console_write(tovi_console_t *console, const std::string &text) {
  console->out += text;
}

void tovi_console_candidate_add(tovi_console_candidates_t *out, const char *candidate) {
  if (candidate) out->words.emplace_back(candidate);
}

std::string tovi_console_execute(const std::string &line) {
  bool close = false;
  return execute_line(line, &close);
}
