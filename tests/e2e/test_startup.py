"""Process start-up: the command line, configuration errors, modules, logging and stopping."""
import os
import signal
import socket
import subprocess
import time

import pytest

from conftest import QUELTD, base_config, free_port, wait_for

USAGE = ("{0} <-c conffile> [-D] [-d]\n\n"
         "\t-c conffile\tthe configuration file to load\n"
         "\t-D\t\trun in the foreground (don't daemonize)\n"
         "\t-d\t\tturn on debugging\n")


@pytest.mark.parametrize("args", [[], ["-D"], ["-D", "-d", "-l", "debug"], ["-x"]])
def test_without_config_prints_usage_and_exits_2(args):
    r = subprocess.run([QUELTD, *args], capture_output=True, text=True, timeout=10)
    assert r.returncode == 2
    assert r.stderr.endswith(USAGE.format(QUELTD))


def test_unreadable_config_exits_2(tmp_path):
    missing = str(tmp_path / "nope.conf")
    r = subprocess.run([QUELTD, "-D", "-c", missing], capture_output=True, text=True, timeout=10)
    assert r.returncode == 2
    assert f"Cannot load config: '{missing}'" in r.stderr
    assert "initialized" not in r.stderr


def test_malformed_config_exits_2_naming_file_and_line(tmp_path):
    bad = tmp_path / "bad.conf"
    bad.write_text("<queltd>\n  <eventer>\n</queltd>\n")
    r = subprocess.run([QUELTD, "-D", "-c", str(bad)], capture_output=True, text=True, timeout=10)
    assert r.returncode == 2
    assert f"Cannot load config: '{bad}'" in r.stderr
    assert f"{bad}:3:" in r.stderr


@pytest.mark.parametrize("args", [("-D",), ("-D", "-D")])
def test_starts_and_stops_cleanly_on_sigterm(daemon_factory, args):
    d = daemon_factory(args=args).start().wait_initialized()
    assert d.stop() == 0
    assert "received SIGTERM, stopping" in d.log()


def watchdog_child(watchdog_pid, other_than=None):
    """The daemon process under a watchdog (once there is one other than `other_than`)."""
    def child():
        with open(f"/proc/{watchdog_pid}/task/{watchdog_pid}/children") as f:
            pids = [int(p) for p in f.read().split()]
        return pids[0] if pids and pids[0] != other_than else None
    return wait_for(child, what="the watchdog's child")


def test_watchdog_exit_status_tells_a_daemon_killed_during_stop(daemon_factory):
    d = daemon_factory(args=("-D",)).start().wait_initialized()
    child = watchdog_child(d.proc.pid)
    # The daemon cannot act on the SIGTERM the watchdog passes on, and dies by a signal instead.
    os.kill(child, signal.SIGSTOP)

    def stopped():
        states = []
        for task in os.listdir(f"/proc/{child}/task"):
            with open(f"/proc/{child}/task/{task}/stat") as f:
                states.append(f.read().rsplit(")", 1)[1].split()[0])
        return all(state == "T" for state in states)
    wait_for(stopped, what="every thread of the daemon stopped")
    d.proc.send_signal(signal.SIGTERM)

    def term_pending():
        with open(f"/proc/{child}/status") as f:
            pending = [line.split()[1] for line in f if line.startswith(("ShdPnd:", "SigPnd:"))]
        return any(int(mask, 16) & (1 << (signal.SIGTERM - 1)) for mask in pending)
    wait_for(term_pending, what="SIGTERM passed on to the daemon")
    os.kill(child, signal.SIGKILL)
    assert d.proc.wait(10) == 128 + signal.SIGKILL
    d.stderr_file.close()


FORK_SIGNAL_SHIM = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

/* SIGTERM raised in the process that forks, right after its Nth fork returns: a signal that
   arrives while a restart is being forked. */
pid_t fork(void) {
  static pid_t (*real_fork)(void);
  static pid_t forker;
  static int forks;
  if (!real_fork) real_fork = (pid_t (*)(void))dlsym(RTLD_NEXT, "fork");
  if (!forker) forker = getpid();
  pid_t pid = real_fork();
  const char *at = getenv("QUELT_TEST_TERM_AT_FORK");
  if (pid > 0 && getpid() == forker && at && ++forks == atoi(at)) raise(SIGTERM);
  return pid;
}
"""


def test_sigterm_while_a_restart_is_forked_is_not_lost(daemon_factory, tmp_path):
    shim_c, shim = tmp_path / "fork_signal.c", tmp_path / "fork_signal.so"
    shim_c.write_text(FORK_SIGNAL_SHIM)
    built = subprocess.run(["cc", "-shared", "-fPIC", "-o", str(shim), str(shim_c), "-ldl"],
                           capture_output=True, text=True)
    if built.returncode != 0:
        pytest.skip(f"cannot build the fork shim: {built.stderr}")
    d = daemon_factory(args=("-D",))
    d.stderr_file = open(d.stderr_path, "wb")
    env = dict(os.environ, LD_PRELOAD=str(shim), QUELT_TEST_TERM_AT_FORK="2")
    d.proc = subprocess.Popen([QUELTD, "-D", "-c", d.config], stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=d.stderr_file, cwd=d.workdir, env=env)
    d.wait_initialized()
    first = watchdog_child(d.proc.pid)
    os.kill(first, signal.SIGKILL)  # the watchdog restarts the daemon: its second fork
    try:
        status = d.proc.wait(30)
    except subprocess.TimeoutExpired:
        os.kill(watchdog_child(d.proc.pid, other_than=first), signal.SIGKILL)
        d.proc.kill()
        d.proc.wait()
        raise AssertionError(f"the watchdog kept running its new daemon:\n{d.log()}")
    finally:
        d.stderr_file.close()
    assert status == 0
    assert "killed by signal 9; restarting" in d.log()
    assert "received SIGTERM, stopping" in d.log()


def test_strict_module_load_fails_before_initialized(daemon_factory):
    d = daemon_factory(extra='<modules><module name="no_such_module"/></modules>', args=("-D", "-D", "-M"))
    d.start()
    assert d.proc.wait(timeout=20) == 2
    log = d.log()
    assert "Failed to load some modules and -M given." in log
    assert "no_such_module" in log
    assert "queltd initialized" not in log


def test_failed_module_without_strict_starts(daemon_factory):
    d = daemon_factory(extra='<modules><module name="no_such_module"/></modules>')
    d.start().wait_initialized()
    assert d.stop() == 0


def test_log_streams_follow_command_line(daemon_factory):
    port = free_port()
    d = daemon_factory(extra=f'<listeners><console address="127.0.0.1" port="{port}"/></listeners>',
                       args=("-D", "-D", "-L", "notice", "-l", "notice/config"))
    d.start()

    def console_answers():
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1) as s:
                return b"queltd# " in s.recv(100)
        except OSError:
            return False

    # The console answers only once the event loop runs, after the start-up line would be logged.
    wait_for(console_answers, what="console")
    log = d.log()
    assert "queltd initialized" not in log  # notice is off
    assert "notice/config: log notice enabled" not in log
    assert "notice/config: log notice disabled" in log  # notice/config was turned back on by name
    assert d.stop() == 0


def test_bad_log_settings_exit_2(daemon_factory):
    d = daemon_factory(extra='<logs><outlet name="f" type="file" path="/nonexistent-dir/x.log"/></logs>')
    d.start()
    assert d.proc.wait(timeout=20) == 2
    assert "/nonexistent-dir/x.log" in d.log()


def test_file_outlet_in_json_and_reopen_on_sighup(daemon_factory, tmp_path):
    log_path = tmp_path / "queltd.log"
    extra = (f'<logs><outlet name="file" type="file" format="json" path="{log_path}"/>'
             '<log name="notice" outlets="file"/></logs>')
    d = daemon_factory(extra=extra).start()
    wait_for(lambda: log_path.exists() and "queltd initialized" in log_path.read_text(), what="json log line")
    first = [l for l in log_path.read_text().splitlines() if "queltd initialized" in l][0]
    assert first.startswith("{") and '"stream":"notice"' in first
    rotated = tmp_path / "queltd.log.1"
    os.rename(log_path, rotated)
    d.proc.send_signal(signal.SIGHUP)
    wait_for(lambda: log_path.exists() and "log files reopened" in log_path.read_text(), what="reopened log")
    assert d.stop() == 0


def test_idle_daemon_uses_almost_no_cpu(daemon_factory):
    d = daemon_factory().start().wait_initialized()
    ticks = os.sysconf("SC_CLK_TCK")

    def cpu_seconds():
        with open(f"/proc/{d.proc.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / ticks

    before = cpu_seconds()
    time.sleep(3.0)
    used = cpu_seconds() - before
    # A loop that spins would use about 3 s here; an idle daemon uses next to nothing.
    assert used < 0.3, f"idle daemon used {used:.2f} s of CPU in 3 s"
    assert d.stop() == 0


def test_daemon_mode_launcher_reports_start_up_and_the_watchdog_passes_sighup_on(tmp_path):
    """The launcher returns once the daemon runs (0) or failed (2); the lock file keeps a second
    daemon, daemonised or not, from starting; kill -HUP of the pid in the lock file (the
    watchdog's) reopens the log files; a crashed daemon's restart is logged in the configured
    error outlet, not only on standard error (which is /dev/null)."""
    lock = tmp_path / "queltd.lock"
    conf = tmp_path / "queltd.conf"
    log_path = tmp_path / "queltd.log"
    conf.write_text(base_config((
        f"<lockfile>{lock}</lockfile>"
        f'<logs><outlet name="file" type="file" path="{log_path}"/><log name="notice" outlets="file"/>'
        f'<log name="error" outlets="file"/></logs>')))
    r = subprocess.run([QUELTD, "-c", str(conf)], capture_output=True, text=True, timeout=30)
    assert r.returncode == 0
    # Start-up has finished by the time the launcher returns.
    assert "queltd initialized" in log_path.read_text()
    watchdog = int(lock.read_text().strip())
    try:
        # A second daemon finds the lock held: its launcher says so with status 2.
        second = subprocess.run([QUELTD, "-c", str(conf)], capture_output=True, text=True, timeout=30)
        assert second.returncode == 2
        # In the foreground too, saying why.
        second = subprocess.run([QUELTD, "-D", "-c", str(conf)], capture_output=True, text=True, timeout=10)
        assert second.returncode == 2 and "lock file" in second.stderr

        os.rename(log_path, tmp_path / "queltd.log.1")
        os.kill(watchdog, signal.SIGHUP)
        wait_for(lambda: log_path.exists() and "log files reopened" in log_path.read_text(),
                 what="log file reopened after SIGHUP to the watchdog")

        with open(f"/proc/{watchdog}/task/{watchdog}/children") as f:
            child = int(f.read().split()[0])
        os.kill(child, signal.SIGKILL)
        wait_for(lambda: "killed by signal 9; restarting" in log_path.read_text(),
                 what="restart logged in the error outlet")
        wait_for(lambda: log_path.read_text().count("queltd initialized") >= 1 and
                 open(f"/proc/{watchdog}/task/{watchdog}/children").read().split() not in ([], [str(child)]),
                 timeout=30, what="daemon restarted")
    finally:
        os.kill(watchdog, signal.SIGTERM)
    wait_for(lambda: not os.path.exists(f"/proc/{watchdog}") or
             open(f"/proc/{watchdog}/stat").read().split()[2] == "Z", what="daemon exit")


def test_command_line_wins_over_logs_and_integers_are_decimal(daemon_factory, tmp_path):
    port = free_port()
    # The configuration disables debug; -d turns it on anyway. A port written with a leading zero
    # is decimal.
    d = daemon_factory(extra=f'<listeners><console address="127.0.0.1" port="0{port}"/></listeners>',
                       args=("-D", "-D", "-d")).start().wait_initialized()
    with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
        s.sendall(b"show log\r\n")
        out = b""
        while out.count(b"queltd# ") < 2:
            chunk = s.recv(65536)
            if not chunk:
                break
            out += chunk
    assert b"debug enabled" in out
    assert d.stop() == 0


def test_root_element_of_another_application_cannot_be_loaded(tmp_path):
    conf = tmp_path / "other.conf"
    conf.write_text('<?xml version="1.0"?><otherapp><eventer/></otherapp>')
    r = subprocess.run([QUELTD, "-D", "-D", "-c", str(conf)], capture_output=True, text=True, timeout=10)
    assert r.returncode == 2
    assert "Cannot load config" in r.stderr
