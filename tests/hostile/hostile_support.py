"""Shared pieces of the hostile black-box tests: a stand-in real tool that misbehaves only in the
cache probe's call and records the hand-over, bounded signal bursts, and bounded waits.

Environment (set by ctest): HOSTILE_TOOL_BIN, the stand-in; PYTHONPATH reaches tests/support,
whose harness (case directories, the recorder, running the shim) this builds on.
"""

import os
import shutil
import signal
import subprocess
import time

import harness
from harness import ShimCase

HOSTILE_TOOL_BIN = os.environ.get("HOSTILE_TOOL_BIN", "")

# Where the probe would look if it ever reached the network: nothing listens on the discard port.
SERVER = "http://127.0.0.1:9"
URL = "http://127.0.0.1:9/pkg/tool-1.2.tar.gz"
# Options both tools know (curl's --show-error and --output, wget's --server-response and
# --output-file): an option the tool does not know would send the command line direct.
ARGS = ["-S", "-o", "out", URL]


def cache_address(url=URL, server=SERVER):
    return harness.cache_address(server, url)


def wait_for(predicate, timeout=harness.TIMEOUT, interval=0.005):
    """True as soon as `predicate()` holds, False when `timeout` seconds pass first."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(interval)
    return predicate()


def burst(pid, seconds=0.5, limit=4000):
    """Sends SIGIO and SIGPIPE to `pid` in turn, `limit` signals at most, for at most `seconds`;
    returns how many were sent."""
    sent = 0
    end = time.monotonic() + seconds
    while sent < limit and time.monotonic() < end:
        os.kill(pid, signal.SIGIO if sent % 2 == 0 else signal.SIGPIPE)
        sent += 1
        if sent % 64 == 0:
            time.sleep(0.001)  # let the shim run between volleys, so the signals are delivered
    return sent


def dispositions(ignored=()):
    """What a program started by the shim must find: SIGPIPE and SIGIO ignored if in `ignored`,
    at default otherwise, as the caller left them."""
    return {name: "ignored" if getattr(signal, name) in ignored else "default"
            for name in ("SIGPIPE", "SIGIO")}


def caller_signals(ignored=()):
    """A preexec_fn that leaves SIGPIPE and SIGIO ignored if in `ignored`, at default otherwise
    (Python itself ignores SIGPIPE, so the default has to be set; use restore_signals=False)."""
    def prepare():
        for number in (signal.SIGPIPE, signal.SIGIO):
            signal.signal(number, signal.SIG_IGN if number in ignored else signal.SIG_DFL)
    return prepare


class HostileToolCase(ShimCase):
    """The shim as bin/curl and bin/wget ahead of hostile/curl and hostile/wget: the stand-in,
    with the recorder beside it as <tool>.recorder."""

    def setUp(self):
        super().setUp()
        if not HOSTILE_TOOL_BIN:
            self.fail("HOSTILE_TOOL_BIN must name the built stand-in")
        self.install_shim("bin/curl")
        self.install_shim("bin/wget")
        self.hostile = {}
        for tool in ("curl", "wget"):
            target = self.path("hostile", tool)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            shutil.copy2(HOSTILE_TOOL_BIN, target)
            self.install_recorder("hostile/%s.recorder" % tool)
            self.hostile[tool] = target

    def env(self, **variables):
        return self.environment(path=self.path("bin") + ":" + self.path("hostile"),
                                LARDERBOX_SERVER=SERVER, **variables)

    def behave(self, tool, line):
        """Sets what the probe's call of `tool` does, and forgets the traces of an earlier row."""
        self.forget_records()
        for suffix in (".probe", ".children", ".started", ".go"):
            if os.path.exists(self.hostile[tool] + suffix):
                os.unlink(self.hostile[tool] + suffix)
        with open(self.hostile[tool] + ".behaviour", "w", encoding="ascii") as f:
            f.write(line + "\n")

    def probe_record(self, tool):
        """What the probe's child saw: its arguments, descriptors, dispositions, environment."""
        record = {"args": [], "fds": {}, "signals": {}}
        with open(self.hostile[tool] + ".probe", encoding="utf-8", errors="replace") as f:
            for line in f.read().splitlines():
                key, _, rest = line.partition(" ")
                if key == "arg":
                    record["args"].append(rest)
                elif key == "fd":
                    number, _, target = rest.partition(" ")
                    record["fds"][int(number)] = target
                elif key == "signal":
                    name, disposition = rest.split()
                    record["signals"][name] = disposition
                elif key == "environment":
                    record["environment"] = int(rest)
                elif key == "pid":
                    record["pid"] = int(rest)
        return record

    def children(self, tool):
        """The hand-over's child processes, as "pid state" lines: the probe must not be one."""
        with open(self.hostile[tool] + ".children", encoding="ascii") as f:
            return f.read().splitlines()

    def start(self, tool, args=ARGS, env=None, **kwargs):
        return start_shim(self, tool, args, env if env is not None else self.env(), **kwargs)

    def assert_handed_over(self, tool, completed, hit, args=ARGS, ignored=()):
        """The shim said nothing, the stand-in's recorder ran once with the cache address in place
        of the URL exactly when `hit`, with only the standard descriptors, the caller's
        dispositions (`ignored`) and no child process left over from the probe."""
        self.assertEqual((completed.returncode, completed.stdout, completed.stderr), (0, b"", b""))
        expected = [a if a != URL or not hit else cache_address() for a in args]
        record = self.assert_reached(completed, self.hostile[tool], expected)
        self.assertEqual(sorted(record.fds), [0, 1, 2])
        self.assertEqual(record.signals, dispositions(ignored))
        self.assertEqual(self.children(tool), [])
        return record

    def assert_probe_started_cleanly(self, tool, ignored=()):
        """The probe's child had the probe command, no environment, the null device and two pipes,
        and the caller's dispositions (`ignored`): nothing of the shim's own leaked into it."""
        probe = self.probe_record(tool)
        options = (["-q", "-g", "-fsS", "-I", "-m", "5", "-o", "/dev/null"] if tool == "curl" else
                   ["--no-config", "--no-netrc", "--spider", "-q", "-T", "5", "-t", "1"])
        self.assertEqual(probe["args"], [self.hostile[tool]] + options + [cache_address()])
        self.assertEqual(probe["environment"], 0)
        self.assertEqual(sorted(probe["fds"]), [0, 1, 2])
        self.assertEqual(probe["fds"][0], "/dev/null")
        self.assertTrue(probe["fds"][1].startswith("pipe:"), probe["fds"])
        self.assertTrue(probe["fds"][2].startswith("pipe:"), probe["fds"])
        self.assertNotEqual(probe["fds"][1], probe["fds"][2])
        self.assertEqual(probe["signals"], dispositions(ignored))


def start_shim(case, tool, args, env, **kwargs):
    """The shim installed as bin/`tool` in `case`, not waited for: the caller waits for it with
    finish(), and the case's clean-up kills it if it is still running."""
    kwargs.setdefault("stdin", subprocess.DEVNULL)
    kwargs.setdefault("stdout", subprocess.PIPE)
    kwargs.setdefault("stderr", subprocess.PIPE)
    process = subprocess.Popen([tool] + list(args), executable=case.path("bin", tool), env=env,
                               cwd=case.case_dir, **kwargs)
    case.addCleanup(stop, process)
    return process


def stop(process):
    """Ends a process a test started, if it is still running, and reaps it."""
    if process.poll() is None:
        process.kill()
    try:
        process.communicate(timeout=harness.TIMEOUT)
    except (subprocess.TimeoutExpired, ValueError):
        pass


def finish(test, process, timeout=harness.TIMEOUT):
    """Waits (bounded) for a started shim and returns it as a completed run."""
    try:
        stdout, stderr = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.communicate(timeout=harness.TIMEOUT)
        test.fail("the shim did not end within %s s" % timeout)
    return subprocess.CompletedProcess(process.args, process.returncode, stdout, stderr)
