// Load generator for the broker line listener: blasts typical metric lines over loopback and
// reports how fast the intake took them, from the first byte sent until the consumers have taken
// the last line.
//
//   blast_lines --sink build/bench/intake_sink [--work-ns 1000] [--lines 4000000]
//               [--connections 2] [--lane-capacity 4096]
//
// It starts the sink (the intake alone: listener, director, two lanes with consumers that do no
// work), reads the sink's counters through its standard input and output, and prints lines/s,
// the CPU time of the sink and of the blaster per line, and the machine's load average, so that
// figures taken on a shared machine can be judged. It exits 1 when a line went missing (the
// sink's consumers took fewer lines than were sent within the time-out), 0 otherwise; it never
// judges speed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

struct sink_t {
  pid_t pid = -1;
  FILE *in = nullptr;   // the sink's standard input
  FILE *out = nullptr;  // its standard output
};

bool start_sink(const char *path, const std::vector<std::string> &args, sink_t *s) {
  int to[2], from[2];
  if (pipe(to) != 0 || pipe(from) != 0) return false;
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    dup2(to[0], 0);
    dup2(from[1], 1);
    close(to[1]);
    close(from[0]);
    std::vector<char *> argv{const_cast<char *>(path)};
    for (const std::string &a : args)
      argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(path, argv.data());
    _exit(127);
  }
  close(to[0]);
  close(from[1]);
  s->pid = pid;
  s->in = fdopen(to[1], "w");
  s->out = fdopen(from[0], "r");
  return s->in && s->out;
}

struct counters_t {
  unsigned long long consumed = 0, delivered = 0, rejected = 0, overflows = 0;
};

bool read_counters(sink_t &s, counters_t *c) {
  std::fputs("\n", s.in);
  std::fflush(s.in);
  return std::fscanf(s.out, " consumed %llu delivered %llu rejected %llu overflows %llu",
                     &c->consumed, &c->delivered, &c->rejected, &c->overflows) == 4;
}

// CPU seconds (user + system) of a process, from /proc.
double process_cpu_s(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  size_t paren = stat.rfind(')');
  if (paren == std::string::npos) return 0;
  // Fields after the command: state is field 3; utime and stime are fields 14 and 15.
  const char *p = stat.c_str() + paren + 2;
  unsigned long long utime = 0, stime = 0;
  std::sscanf(p, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime);
  return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

double self_cpu_s() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

std::string load_average() {
  std::ifstream f("/proc/loadavg");
  std::string a, b, c;
  f >> a >> b >> c;
  return a + " " + b + " " + c;
}

// `count` distinct typical lines: a tagged numeric sample of one of `count` metrics.
std::string make_lines(int count) {
  std::string out;
  for (int i = 0; i < count; i++) {
    out += "M\tbroker-1\t1700000000.";
    out += std::to_string(100000 + i % 900000);
    out += "\tweb01`http`c_42_1234`0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0\tcpu.user.";
    out += std::to_string(i);
    out += "|ST[env:prod,host:h";
    out += std::to_string(i % 50);
    out += "]\tn\t";
    out += std::to_string(i * 0.25);
    out += "\n";
  }
  return out;
}

bool send_all(int fd, const char *p, size_t n) {
  while (n) {
    ssize_t w = write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += w;
    n -= size_t(w);
  }
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  const char *sink_path = nullptr;
  long lines = 4000000, connections = 2;
  std::vector<std::string> sink_args;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string_view a = argv[i];
    if (a == "--sink") {
      sink_path = argv[i + 1];
    } else if (a == "--lines") {
      lines = std::atol(argv[i + 1]);
    } else if (a == "--connections") {
      connections = std::atol(argv[i + 1]);
    } else if (a == "--work-ns" || a == "--lane-capacity") {
      sink_args.push_back(argv[i]);
      sink_args.push_back(argv[i + 1]);
    } else {
      std::fprintf(stderr, "unknown option %s\n", argv[i]);
      return 2;
    }
  }
  if (!sink_path || lines <= 0 || connections <= 0) {
    std::fprintf(stderr,
                 "usage: blast_lines --sink PATH [--lines N] [--connections C] [--work-ns NS] "
                 "[--lane-capacity N]\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  sink_t sink;
  unsigned port = 0;
  if (!start_sink(sink_path, sink_args, &sink) || std::fscanf(sink.out, " port %u", &port) != 1) {
    std::fprintf(stderr, "the sink did not start\n");
    return 2;
  }

  constexpr int kDistinct = 10000;
  const std::string block = make_lines(kDistinct);
  long blocks_per_connection = (lines + kDistinct * connections - 1) / (kDistinct * connections);
  unsigned long long total = (unsigned long long)blocks_per_connection * kDistinct * connections;

  std::vector<int> fds;
  for (long c = 0; c < connections; c++) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
      std::fprintf(stderr, "cannot connect to the sink on port %u\n", port);
      return 2;
    }
    fds.push_back(fd);
  }

  double sink_cpu0 = process_cpu_s(sink.pid), self_cpu0 = self_cpu_s();
  auto t0 = std::chrono::steady_clock::now();
  std::vector<std::thread> senders;
  for (int fd : fds)
    senders.emplace_back([fd, &block, blocks_per_connection] {
      for (long b = 0; b < blocks_per_connection; b++)
        if (!send_all(fd, block.data(), block.size())) return;
    });
  for (std::thread &t : senders)
    t.join();

  counters_t c;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (read_counters(sink, &c) && c.consumed < total &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  double sink_cpu = process_cpu_s(sink.pid) - sink_cpu0, self_cpu = self_cpu_s() - self_cpu0;

  std::printf("lines %llu consumed %llu rejected %llu overflows %llu\n", total, c.consumed,
              c.rejected, c.overflows);
  std::printf("wall %.3f s: %.0f lines/s\n", wall, double(c.consumed) / wall);
  std::printf("sink cpu %.3f s: %.3f us/line; blaster cpu %.3f s: %.3f us/line\n", sink_cpu,
              sink_cpu * 1e6 / double(total), self_cpu, self_cpu * 1e6 / double(total));
  std::printf("load average %s\n", load_average().c_str());

  for (int fd : fds)
    close(fd);
  kill(sink.pid, SIGTERM);
  waitpid(sink.pid, nullptr, 0);
  return c.consumed == total ? 0 : 1;
}
