"""corvane-cli's PIN prompt on a real terminal (a pseudo-terminal here): echo
is off while the PIN is typed, on while Ctrl-Z holds the program stopped, and
back on whichever signal ends the program.

    test_cli_terminal.py CORVANE_CLI_EMULATED RUNTIME_DIR
"""
import os
import pty
import select
import signal
import sys
import termios
import time
import unittest

CLI = sys.argv[1] if len(sys.argv) > 1 else ""
RUNTIME = sys.argv[2] if len(sys.argv) > 2 else ""


def echo_on(master):
    return bool(termios.tcgetattr(master)[3] & termios.ECHO)


def process_state(pid):
    with open("/proc/%d/stat" % pid) as stat:
        return stat.read().rpartition(")")[2].split()[0]


def read_until(master, text, seconds=10):
    seen = b""
    deadline = time.monotonic() + seconds
    while text not in seen and time.monotonic() < deadline:
        ready, _, _ = select.select([master], [], [], 0.2)
        if ready:
            try:
                seen += os.read(master, 4096)
            except OSError:
                break
    return seen


def wait_until(predicate, seconds=10):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.02)
    return predicate()


class PinPrompt(unittest.TestCase):
    def environment(self):
        env = {k: v for k, v in os.environ.items() if not k.startswith("CORVANE_")}
        env.update(XDG_RUNTIME_DIR=RUNTIME, CORVANE_CONFIG_DIR=os.path.join(RUNTIME, "config"),
                   DBUS_SYSTEM_BUS_ADDRESS="unix:path=/nonexistent")
        return env

    def run_prompt(self):
        os.execve(CLI, [CLI, "set", "--account", "QUJDREVGR0g=", "--pin", "-"], self.environment())

    def start(self):
        pid, master = pty.fork()
        if pid == 0:
            self.run_prompt()
        return self.at_prompt(pid, master)

    def start_as_job(self):
        """As a shell runs a command: a foreground job in its own process group,
        whose parent stays in the session, so that Ctrl-Z can stop it."""
        reader, writer = os.pipe()
        leader, master = pty.fork()
        if leader == 0:
            os.close(reader)
            job = os.fork()
            if job == 0:
                os.setpgid(0, 0)
                signal.signal(signal.SIGTTOU, signal.SIG_IGN)
                os.tcsetpgrp(0, os.getpid())
                signal.signal(signal.SIGTTOU, signal.SIG_DFL)
                self.run_prompt()
            os.write(writer, b"%d" % job)
            while True:
                _, status = os.waitpid(job, os.WUNTRACED)
                if not os.WIFSTOPPED(status):
                    os._exit(0)
        os.close(writer)
        job = int(os.read(reader, 32))
        os.close(reader)
        self.addCleanup(self.reap, leader)
        return self.at_prompt(job, master)

    def at_prompt(self, pid, master):
        self.addCleanup(os.close, master)
        self.addCleanup(self.reap, pid)
        self.assertIn(b"PIN", read_until(master, b"PIN"))
        self.assertTrue(wait_until(lambda: not echo_on(master)), "echo stays on at the prompt")
        return pid, master

    def reap(self, pid):
        try:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
        except (ProcessLookupError, ChildProcessError):
            pass

    def test_echo_is_on_while_stopped_and_off_again_on_continuing(self):
        pid, master = self.start_as_job()
        os.write(master, b"\x1a")  # Ctrl-Z
        self.assertTrue(wait_until(lambda: process_state(pid) == "T"), "Ctrl-Z did not stop it")
        self.assertTrue(echo_on(master), "echo left off while stopped")
        os.kill(pid, signal.SIGCONT)
        self.assertTrue(wait_until(lambda: process_state(pid) != "T"))
        self.assertTrue(wait_until(lambda: not echo_on(master)), "the PIN is echoed after fg")

    def test_every_ending_signal_gives_the_terminal_back(self):
        for number in (signal.SIGINT, signal.SIGTERM, signal.SIGQUIT, signal.SIGHUP):
            with self.subTest(signal=number.name):
                pid, master = self.start()
                os.kill(pid, number)
                _, status = os.waitpid(pid, 0)
                self.assertTrue(os.WIFEXITED(status) or os.WIFSIGNALED(status))
                self.assertTrue(echo_on(master), "echo left off after " + number.name)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
