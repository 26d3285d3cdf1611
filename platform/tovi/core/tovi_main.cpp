#include "tovi/tovi_main.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "tovi/eventer.h"
#include "tovi/tovi_conf.h"
#include "tovi/tovi_log.h"
#include "tovi/tovi_systemd.h"

namespace {

std::string app_name = "tovi";
std::string app_version = "unknown";
volatile sig_atomic_t child_pid = 0;
volatile sig_atomic_t watchdog_stopping = 0;
// Daemon mode: the write end of the pipe the launching process waits on for the start-up
// status (one byte: 0, or the exit status of a failed start). -1 once told, or in other modes.
int ready_fd = -1;
std::string pidfile_path;

void watchdog_forward(int sig) {
  watchdog_stopping = 1;
  if (child_pid > 0) kill(child_pid, sig);
}

// SIGHUP (log rotation) goes to the daemon, which reopens its files; the watchdog keeps running.
// The watchdog writes to the same log files, so it reopens them too (outside the handler).
volatile sig_atomic_t watchdog_reopen = 0;
void watchdog_forward_hup(int) {
  watchdog_reopen = 1;
  if (child_pid > 0) kill(child_pid, SIGHUP);
}

void tell_launcher(int status) {
  if (ready_fd < 0) return;
  unsigned char byte = static_cast<unsigned char>(status);
  ssize_t n = write(ready_fd, &byte, 1);  // the launcher may be gone: nothing to do then
  (void)n;
  close(ready_fd);
  ready_fd = -1;
}

int take_lock(const std::string &path) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    fprintf(stderr, "cannot open lock file '%s': %s\n", path.c_str(), strerror(errno));
    return -1;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    fprintf(stderr, "lock file '%s' is held by another process\n", path.c_str());
    close(fd);
    return -1;
  }
  char pid[32];
  int n = snprintf(pid, sizeof(pid), "%d\n", (int)getpid());
  if (ftruncate(fd, 0) == 0 && write(fd, pid, n) != n) {
    // The lock is what matters; the pid inside is for people.
  }
  return fd;  // kept open, and so locked, for the life of the process
}

bool write_pidfile(const std::string &path) {
  std::string tmp = path + ".tmp";
  FILE *f = fopen(tmp.c_str(), "w");
  if (!f || fprintf(f, "%d\n", (int)getpid()) < 0 || fclose(f) != 0 ||
      rename(tmp.c_str(), path.c_str()) != 0) {
    fprintf(stderr, "cannot write the pid file '%s': %s\n", path.c_str(), strerror(errno));
    tovi_log(tovi_error, "cannot write the pid file '%s': %s", path.c_str(), strerror(errno));
    return false;
  }
  return true;
}

// Removes the pid file when it still names this process (a newer daemon may have taken it).
void remove_pidfile(const std::string &path) {
  FILE *f = fopen(path.c_str(), "r");
  if (!f) return;
  int pid = 0;
  bool ours = fscanf(f, "%d", &pid) == 1 && pid == (int)getpid();
  fclose(f);
  if (ours) unlink(path.c_str());
}

bool drop_privileges(const char *user, const char *group) {
  if (group && *group) {
    struct group *gr = getgrnam(group);
    if (!gr || setgid(gr->gr_gid) != 0) {
      fprintf(stderr, "cannot change to group '%s': %s\n", group, gr ? strerror(errno) : "unknown");
      return false;
    }
  }
  if (user && *user) {
    struct passwd *pw = getpwnam(user);
    if (!pw) {
      fprintf(stderr, "cannot change to user '%s': unknown user\n", user);
      return false;
    }
    if (!(group && *group) && setgid(pw->pw_gid) != 0) {
      fprintf(stderr, "cannot change to the group of '%s': %s\n", user, strerror(errno));
      return false;
    }
    if (initgroups(user, pw->pw_gid) != 0 || setuid(pw->pw_uid) != 0) {
      fprintf(stderr, "cannot change to user '%s': %s\n", user, strerror(errno));
      return false;
    }
  }
  return true;
}

// The launching process waits until the daemon tells it how start-up went, and exits with that
// status: 0 once the event loop runs, 2 (or the daemon's status) when start-up failed.
void daemonise() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    perror("pipe");
    exit(2);
  }
  pid_t pid = fork();
  if (pid < 0) {
    perror("fork");
    exit(2);
  }
  if (pid > 0) {
    close(fds[1]);
    unsigned char status = 2;
    ssize_t n;
    while ((n = read(fds[0], &status, 1)) < 0 && errno == EINTR) {
    }
    _exit(n == 1 ? status : 2);
  }
  close(fds[0]);
  ready_fd = fds[1];
  setsid();
  pid = fork();
  if (pid < 0) exit(2);
  if (pid > 0) _exit(0);
  // The working directory is kept: the configuration and the paths in it may be relative.
  int null = open("/dev/null", O_RDWR);
  if (null >= 0) {
    dup2(null, STDIN_FILENO);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    if (null > STDERR_FILENO) close(null);
  }
}

// Runs the child, handling signals on a thread of its own.
int run_child(tovi_child_main_t child_main) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  // Blocked before any thread exists, so that every thread inherits the mask and only the signal
  // thread ever sees these signals.
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);
  std::thread([set] {
    for (;;) {
      int sig = 0;
      if (sigwait(&set, &sig) != 0) continue;
      if (sig == SIGHUP) {
        tovi_log_reopen();
        continue;
      }
      tovi_log(tovi_notice, "received %s, stopping", sig == SIGTERM ? "SIGTERM" : "SIGINT");
      tovi_systemd_stopping();
      eventer_loop_stop();
    }
  }).detach();
  return child_main();
}

// The status a stopped child leaves the watchdog with: its exit status, or 128 + the signal
// that killed it (a crash during stop is not a clean stop).
int stop_status(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 1;
}

int watchdog(tovi_child_main_t child_main) {
  struct sigaction sa;
  memset(&sa, 0, sizeof(sa));
  sa.sa_handler = watchdog_forward;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  sa.sa_handler = watchdog_forward_hup;
  sigaction(SIGHUP, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  sigset_t forwarded, previous;
  sigemptyset(&forwarded);
  sigaddset(&forwarded, SIGTERM);
  sigaddset(&forwarded, SIGINT);
  sigaddset(&forwarded, SIGHUP);
  int backoff = 1;
  for (;;) {
    auto started = std::chrono::steady_clock::now();
    // Signals wait while the child is made: one arriving now is passed on once child_pid is
    // known, never lost. The child keeps them blocked until its signal thread takes them.
    sigprocmask(SIG_BLOCK, &forwarded, &previous);
    if (watchdog_stopping) {
      sigprocmask(SIG_SETMASK, &previous, nullptr);
      return 0;
    }
    pid_t pid = fork();
    if (pid < 0) {
      sigprocmask(SIG_SETMASK, &previous, nullptr);
      tovi_log(tovi_error, "%s: cannot start the daemon: fork: %s", app_name.c_str(),
               strerror(errno));
      tell_launcher(2);
      return 2;
    }
    if (pid == 0) {
      signal(SIGTERM, SIG_DFL);
      signal(SIGINT, SIG_DFL);
      signal(SIGHUP, SIG_DFL);
      signal(SIGPIPE, SIG_DFL);
      _exit(run_child(child_main));
    }
    child_pid = pid;
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      if (watchdog_reopen) {
        watchdog_reopen = 0;
        tovi_log_reopen_files();
      }
    }
    child_pid = 0;
    // A daemon that ended before saying it started failed to start: the launcher learns why.
    tell_launcher(WIFEXITED(status) && WEXITSTATUS(status) != 0 ? WEXITSTATUS(status) : 2);
    if (watchdog_stopping) return stop_status(status);
    if (WIFEXITED(status) && (WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == 2)) {
      return WEXITSTATUS(status);  // a clean stop or a configuration error: restarting won't help
    }
    auto ran = std::chrono::steady_clock::now() - started;
    if (ran > std::chrono::seconds(60)) backoff = 1;
    // On the error log outlets as well as standard error (which is /dev/null for a daemon).
    if (WIFSIGNALED(status)) {
      tovi_log(tovi_error, "%s: child %d killed by signal %d; restarting in %d s", app_name.c_str(),
               (int)pid, WTERMSIG(status), backoff);
    } else {
      tovi_log(tovi_error, "%s: child %d exited with status %d; restarting in %d s",
               app_name.c_str(), (int)pid, WEXITSTATUS(status), backoff);
    }
    for (int i = 0; i < backoff * 10 && !watchdog_stopping; i++)
      usleep(100000);
    if (watchdog_stopping) return 0;
    backoff = std::min(backoff * 2, 60);
  }
}

}  // namespace

void tovi_main_started(void) {
  tell_launcher(0);
  tovi_systemd_ready();
}

void tovi_set_app_version(const char *version) {
  app_version = version;
}
const char *tovi_app_version(void) {
  return app_version.c_str();
}
const char *tovi_app_name(void) {
  return app_name.c_str();
}

int tovi_main(const char *name, const char *config_file, int debug, int foreground, int lock_mode,
              const char *glider, const char *drop_user, const char *drop_group,
              tovi_child_main_t child_main) {
  (void)glider;  // no crash glider: the watchdog reports and restarts
  app_name = name;
  if (debug) tovi_log_enable("debug");
  if (!tovi_conf_load(config_file)) {
    fprintf(stderr, "Cannot load config: '%s'\n%s\n", config_file, tovi_conf_last_error().c_str());
    return 2;
  }
  if (tovi_conf_root_name() != app_name) {
    fprintf(stderr, "Cannot load config: '%s'\nthe root element is <%s>, not <%s>\n", config_file,
            tovi_conf_root_name().c_str(), app_name.c_str());
    return 2;
  }
  // The watchdog's own messages (restarts) go to the configured outlets too; the daemon keeps
  // these outlets when it applies the same settings.
  if (foreground < 2 && !tovi_log_configure()) return 2;
  std::string lockfile, user = drop_user ? drop_user : "", group = drop_group ? drop_group : "";
  tovi_conf_get_string(nullptr, "/*/lockfile", &lockfile);
  if (!drop_user) tovi_conf_get_string(nullptr, "/*/runas/@user", &user);
  if (!drop_group) tovi_conf_get_string(nullptr, "/*/runas/@group", &group);

  if (pidfile_path.empty()) tovi_conf_get_string(nullptr, "/*/pidfile", &pidfile_path);

  if (foreground == 0) daemonise();
  if ((lock_mode && !lockfile.empty() && take_lock(lockfile) < 0) ||
      (!pidfile_path.empty() && !write_pidfile(pidfile_path)) ||
      !drop_privileges(user.c_str(), group.c_str())) {
    tell_launcher(2);
    return 2;
  }
  int status = foreground >= 2 ? run_child(child_main) : watchdog(child_main);
  if (status == 0 && !pidfile_path.empty()) remove_pidfile(pidfile_path);
  return status;
}

void tovi_main_set_pidfile(const char *path) {
  pidfile_path = path ? path : "";
}
