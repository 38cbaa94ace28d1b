"""Shared pieces of the black-box tests: case directories, installing the shim, running it with a
chosen argument 0, and reading what the recording fake real tool saw.

Environment (set by ctest): LARDERBOX_BIN, the static executable under test; RECORDER_BIN, the
recording stand-in for curl and wget; LAUNCH_EMPTY_ARGV_BIN, the empty-argument-vector launcher.
"""

import os
import resource
import select
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

from cache_layout import cache_address  # noqa: F401 (for the tests that import harness)

LARDERBOX_BIN = os.environ.get("LARDERBOX_BIN", "")
RECORDER_BIN = os.environ.get("RECORDER_BIN", "")
LAUNCH_EMPTY_ARGV_BIN = os.environ.get("LAUNCH_EMPTY_ARGV_BIN", "")

# Long enough for a loaded machine, short enough that a hand-over loop fails the suite quickly.
TIMEOUT = 10

MIB = 1024 * 1024


def no_real_tool_message(tool):
    return b"%slarderbox: no real %s found on PATH (set $REAL_%s)\n" % (
        tool.encode(), tool.encode(), tool.upper().encode())


def cannot_exec_message(path):
    return b"larderbox shim: cannot exec " + os.fsencode(path) + b"\n"


def run_program(argv, executable, env, timeout=TIMEOUT, **kwargs):
    """Runs `executable` with the argument vector `argv` (argv[0] included, as given) and exactly
    the environment `env`; stdout and stderr are captured unless given."""
    kwargs.setdefault("stdin", subprocess.DEVNULL)
    kwargs.setdefault("stdout", subprocess.PIPE)
    kwargs.setdefault("stderr", subprocess.PIPE)
    return subprocess.run(argv, executable=executable, env=env, timeout=timeout, check=False,
                          **kwargs)


class Record:
    """One run of the recorder: what the real tool was started with."""

    def __init__(self, lines):
        self.executed = None
        self.args = []
        self.env = []
        self.fds = {}
        self.fds_available = True
        self.signals = {}
        self.blocked = {}
        self.stack = None
        for line in lines:
            key, _, rest = line.partition(" ")
            if key == "exec":
                self.executed = bytes.fromhex(rest)
            elif key == "arg":
                self.args.append(bytes.fromhex(rest))
            elif key == "env":
                self.env.append(bytes.fromhex(rest))
            elif key == "fd":
                number, _, target = rest.partition(" ")
                self.fds[int(number)] = bytes.fromhex(target)
            elif key == "fds":
                self.fds_available = False
            elif key == "signal":
                name, disposition = rest.split()
                self.signals[name] = disposition
            elif key == "blocked":
                name, answer = rest.split()
                self.blocked[name] = answer == "yes"
            elif key == "stack":
                self.stack = tuple(_limit(value) for value in rest.split())


def _limit(text):
    return resource.RLIM_INFINITY if text == "unlimited" else int(text)


def read_records(path):
    """Every complete record in the file, in order; an unfinished record is an error."""
    if not os.path.exists(path):
        return []
    records, current = [], None
    with open(path, encoding="ascii") as f:
        for line in f.read().splitlines():
            if line == "begin":
                current = []
            elif line == "end":
                records.append(Record(current))
                current = None
            else:
                current.append(line)
    if current is not None:
        raise AssertionError("unfinished record in " + path)
    return records


def as_bytes(value):
    return value if isinstance(value, bytes) else os.fsencode(value)


class CaseDirectory(unittest.TestCase):
    """A test case with its own directory, kept (and its path printed) when the case fails."""

    def run(self, result=None):
        if result is None:
            result = self.defaultTestResult()
        problems = len(result.failures) + len(result.errors)
        super().run(result)
        directory = getattr(self, "case_dir", None)
        if directory is None:
            return result
        if len(result.failures) + len(result.errors) > problems:
            print("\nkept case directory of %s: %s" % (self.id(), directory), file=sys.stderr)
        else:
            remove_tree(directory)
        return result

    def make_case_dir(self, prefix):
        self.case_dir = tempfile.mkdtemp(prefix=prefix)
        # Cases that run as another user need to reach everything below.
        os.chmod(self.case_dir, 0o755)

    def path(self, *parts):
        return os.path.join(self.case_dir, *parts)

    def write_file(self, relative, content, mode=0o644):
        target = self.path(relative)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as f:
            f.write(content)
        os.chmod(target, mode)
        return target


class ShimCase(CaseDirectory):
    """A case directory for runs of the shim. Every case starts with:
      store/larderbox  a copy of the executable under test (so links and copies share a file system)
      real/curl, real/wget   copies of the recorder, the real tools
      records          the file the recorder appends to (RECORDER_OUT)
    """

    def setUp(self):
        if not LARDERBOX_BIN or not RECORDER_BIN:
            self.fail("LARDERBOX_BIN and RECORDER_BIN must name the built executables")
        self.make_case_dir("larderbox-e2e-")
        self.shim = self.path("store", "larderbox")
        self.mkdir("store")
        shutil.copy2(LARDERBOX_BIN, self.shim)
        self.real_dir = self.mkdir("real")
        self.real_curl = self.install_recorder("real/curl")
        self.real_wget = self.install_recorder("real/wget")
        self.records_path = self.path("records")

    # --- the case directory ---

    def mkdir(self, relative, mode=0o755):
        directory = self.path(relative)
        os.makedirs(directory, exist_ok=True)
        os.chmod(directory, mode)
        return directory

    def install_recorder(self, relative):
        target = self.path(relative)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy2(RECORDER_BIN, target)
        return target

    def install_shim(self, relative, how="copy", source=None):
        """Installs the shim at `relative` (inside the case directory) by `how`: "copy" (a file of
        its own), "hardlink", "symlink" (absolute target) or "relative-symlink"."""
        source = source or self.shim
        target = self.path(relative)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        if how == "copy":
            shutil.copy2(source, target)
        elif how == "hardlink":
            os.link(source, target)
        elif how == "symlink":
            os.symlink(source, target)
        elif how == "relative-symlink":
            os.symlink(os.path.relpath(source, os.path.dirname(target)), target)
        else:
            raise ValueError("unknown way of installing: " + how)
        return target

    # --- running ---

    def environment(self, path=None, **variables):
        """The environment for a run: RECORDER_OUT, PATH when given, and `variables`, in order."""
        env = {"RECORDER_OUT": self.records_path}
        if path is not None:
            env["PATH"] = path
        env.update(variables)
        return env

    def launch(self, executable, argv0=None, args=(), env=None, timeout=TIMEOUT, **kwargs):
        """Runs `executable` with argument 0 `argv0` (default: the executable's path) and `args`.
        A run that does not end within the timeout fails the test: the shim is looping."""
        argv = [as_bytes(executable if argv0 is None else argv0)] + [as_bytes(a) for a in args]
        try:
            return run_program(argv, executable, env if env is not None else self.environment(),
                               timeout=timeout, **kwargs)
        except subprocess.TimeoutExpired:
            self.fail("%s did not end within %s s (executing itself in a loop?)" %
                      (executable, timeout))

    def records(self):
        return read_records(self.records_path)

    def forget_records(self):
        """Starts the record file afresh, for the next row of a table."""
        if os.path.exists(self.records_path):
            os.unlink(self.records_path)

    def single_record(self):
        records = self.records()
        self.assertEqual(len(records), 1, "the real tool should have run exactly once")
        return records[0]

    def assert_reached(self, completed, real_tool, args=(), status=0):
        """The run ended in the real tool `real_tool` with `args`, the shim itself said nothing."""
        self.assertEqual(completed.stderr, b"")
        self.assertEqual(completed.returncode, status)
        record = self.single_record()
        # A stand-in that hands on to its recorder (tests/hostile) is executed as NAME.recorder.
        self.assertIn(record.executed, (as_bytes(real_tool), as_bytes(real_tool) + b".recorder"))
        self.assertEqual(record.args[1:], [as_bytes(a) for a in args])
        # Argument 0 is the caller's when its last component names the tool (test_pass_through
        # pins which), else the real tool's path.
        if record.args[:1] != [as_bytes(real_tool)]:
            self.assertIn(os.path.basename(record.args[0].rstrip(b"/")), (b"curl", b"wget"),
                          record.args[:1])
        return record

    def assert_no_real_tool(self, completed, tool="curl"):
        self.assertEqual(completed.stderr, no_real_tool_message(tool))
        self.assertEqual(completed.stdout, b"")
        self.assertEqual(completed.returncode, 127)
        self.assertEqual(self.records(), [])

    def assert_cannot_exec(self, completed, path):
        self.assertEqual(completed.stderr, cannot_exec_message(path))
        self.assertEqual(completed.stdout, b"")
        self.assertEqual(completed.returncode, 127)
        self.assertEqual(self.records(), [])

def broken_pipe():
    """The write end of a pipe whose read end is already closed."""
    read_end, write_end = os.pipe()
    os.close(read_end)
    return write_end


def read_available(descriptor, timeout=TIMEOUT):
    """Everything readable from a pseudo-terminal controller until the other side is closed."""
    data = b""
    while True:
        ready, _, _ = select.select([descriptor], [], [], timeout)
        if not ready:
            return data
        try:
            chunk = os.read(descriptor, 4096)
        except OSError:  # EIO: no terminal side is open any more
            return data
        if not chunk:
            return data
        data += chunk


PAGE = 4096


def address_space_limit(limit):
    def prepare():
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    return prepare


# Longer than the first block of the allocator, which lies in the executable's own data: the first
# candidate path needs the run's first mapping. The directory is never there.
UNSEARCHED_DIRECTORY = "/nonexistent/larderbox-test" + ("/" + "x" * 200) * 25


class AddressSpaceSearch:
    """For shim cases: the lowest address-space limit under which the shim still starts."""

    # The first allocation that maps memory is the first candidate's path, so PATH needs one long
    # entry; the directory is never there, so a run with room to allocate ends with the
    # no-real-tool message.
    def started(self, limit, env):
        try:
            completed = self.launch(self.shim, argv0="curl", env=env,
                                    preexec_fn=address_space_limit(limit))
        except OSError:
            return False  # the exec itself was refused
        return completed.returncode >= 0

    def lowest_starting_limit(self, env):
        """The smallest limit, in whole pages, under which the shim starts. A page less and the
        exec fails, so the shim has no page to spare for its allocator."""
        low, high = 0, 64 * 1024 * 1024
        self.assertTrue(self.started(high, env), "the shim should start with 64 MiB")
        while high - low > PAGE:
            middle = (low + high) // 2 // PAGE * PAGE
            if self.started(middle, env):
                high = middle
            else:
                low = middle
        return high


def remove_tree(directory):
    def make_writable_and_retry(function, path, _):
        os.chmod(os.path.dirname(path), stat.S_IRWXU)
        if os.path.isdir(path) and not os.path.islink(path):
            os.chmod(path, stat.S_IRWXU)
        function(path)

    shutil.rmtree(directory, onerror=make_writable_and_retry)


def main():
    unittest.main(verbosity=2)
