"""What the shim costs before the real tool starts stays within its budgets.

The pass-through runs with the shim's directory and the real tool's directory on PATH. System calls
are traced with strace -ff (one file per process, so no line is ever split between processes); the
shim's part is every call after the execve that started it, up to and including its execve of the
real tool. User-space instructions are counted by the benchmark's single-stepping counter, which
stops at that same execve.
"""
import os
import shutil
import subprocess
import tempfile
import unittest

BUDGET = 14
INSTRUCTION_BUDGET = 5000
URL = "http://127.0.0.1:9/pkg/file.tgz"  # never fetched: the real tool here is a copy of true


def strace_refusal():
    """Why strace cannot trace here, or None when it can."""
    strace = shutil.which("strace")
    if strace is None:
        return "strace is not installed"
    try:
        probe = subprocess.run([strace, "-qq", "-o", os.devnull, "/bin/true"],
                               capture_output=True, text=True, timeout=30)
    except subprocess.TimeoutExpired:
        return "strace did not finish tracing /bin/true"
    if probe.returncode != 0:
        return "strace cannot attach: " + probe.stderr.strip()
    return None


class PassThroughTree(unittest.TestCase):
    """A shim directory holding a link to the executable, ahead of a real tool that is a copy of
    true."""

    def setUp(self):
        self.binary = os.environ.get("LARDERBOX_BIN")
        self.assertTrue(self.binary and os.access(self.binary, os.X_OK),
                        "LARDERBOX_BIN must name the static executable")
        self.directory = tempfile.mkdtemp(prefix="larderbox-budget-")
        self.shim_dir = os.path.join(self.directory, "shim")
        self.real_dir = os.path.join(self.directory, "real")
        os.makedirs(self.shim_dir)
        os.makedirs(self.real_dir)
        self.shim = os.path.join(self.shim_dir, "curl")
        self.real = os.path.join(self.real_dir, "curl")
        os.symlink(os.path.abspath(self.binary), self.shim)
        shutil.copy(shutil.which("true"), self.real)

    def tearDown(self):
        if hasattr(self, "directory"):
            shutil.rmtree(self.directory)


class InstructionBudgetTest(PassThroughTree):
    def count(self, environment):
        counter = os.environ.get("COUNTER_BIN", "")
        self.assertTrue(os.access(counter, os.X_OK), f"COUNTER_BIN not built: {counter!r}")
        pairs = [f"{name}={value}" for name, value in environment.items()]
        result = subprocess.run([counter, str(len(pairs)), *pairs, self.shim, "-fsS", "-o",
                                 os.devnull, URL], capture_output=True, text=True, timeout=120)
        if result.returncode != 0 and "ptrace" in result.stderr.lower():
            self.skipTest("ptrace refused: " + result.stderr.strip())
        self.assertEqual(result.returncode, 0, result.stderr)
        return [line.split() for line in result.stdout.splitlines()]

    def test_pass_through_stays_within_budget(self):
        processes = self.count({"PATH": f"{self.shim_dir}:{self.real_dir}"})
        self.assertEqual(len(processes), 1, f"one process expected: {processes}")
        role, instructions, _, ended = processes[0]
        self.assertEqual((role, ended), ("main", "exec"))
        self.assertLessEqual(int(instructions), INSTRUCTION_BUDGET)
        # A count of nothing would pass the budget too: the shim does real work before its exec.
        self.assertGreater(int(instructions), 1000)


class SyscallBudgetTest(PassThroughTree):
    @classmethod
    def setUpClass(cls):
        cls.refusal = strace_refusal()

    def setUp(self):
        if self.refusal:
            self.skipTest(self.refusal)
        super().setUp()

    def trace(self, arguments, environment):
        """Runs the shim under strace -ff; returns the calls of each traced process, the shim's
        first, each list without the caller's execve that started the process."""
        prefix = os.path.join(self.directory, "trace")
        result = subprocess.run([shutil.which("strace"), "-ff", "-qq", "-o", prefix, self.shim]
                                + arguments, env=environment, capture_output=True, timeout=60)
        self.assertEqual(result.returncode, 0, result.stderr)
        processes = []
        for name in sorted(n for n in os.listdir(self.directory) if n.startswith("trace.")):
            with open(os.path.join(self.directory, name)) as trace:
                processes.append([l.rstrip("\n") for l in trace
                                  if not l.startswith(("---", "+++"))])
        shim = [p for p in processes if p and p[0].startswith(f'execve("{self.shim}"')]
        self.assertEqual(len(shim), 1, "no trace of the shim's own start")
        others = [p for p in processes if p is not shim[0]]
        return shim[0][1:], others

    def calls_before_real_tool(self, calls):
        """The calls up to and including the successful execve of the real tool."""
        for i, call in enumerate(calls):
            if call.startswith("execve(") and call.endswith("= 0"):
                self.assertTrue(call.startswith(f'execve("{self.real}"'),
                                f"the shim executed something else: {call}")
                return calls[:i + 1]
        self.fail("the shim never executed the real tool:\n" + "\n".join(calls))

    def assertWithinBudget(self, calls):
        names = [call.split("(", 1)[0] for call in calls]
        self.assertLessEqual(len(calls), BUDGET,
                             f"{len(calls)} system calls before the real tool, budget {BUDGET}:\n"
                             + "\n".join(calls))
        self.assertFalse({"fork", "vfork", "clone", "clone3"} & set(names),
                         "a child process was started:\n" + "\n".join(calls))

    def test_pass_through_stays_within_budget(self):
        environment = {"PATH": f"{self.shim_dir}:{self.real_dir}"}
        calls, others = self.trace(["-fsS", "-o", os.devnull, URL], environment)
        self.assertWithinBudget(self.calls_before_real_tool(calls))
        self.assertEqual(others, [], "a process besides the shim was traced")

    def test_cache_server_without_url_starts_no_probe(self):
        # A server alone does not justify a probe: without a URL the run is a pass-through.
        environment = {"PATH": f"{self.shim_dir}:{self.real_dir}",
                       "LARDERBOX_SERVER": "http://127.0.0.1:9/"}
        calls, others = self.trace(["--version"], environment)
        self.assertWithinBudget(self.calls_before_real_tool(calls))
        self.assertEqual(others, [], "a probe child was started without a URL")

    def test_probe_child_is_traced_when_a_url_is_given(self):
        # Guards the two tests above: with a server and a URL the trace does show the probe child,
        # so an empty list of other processes there is not an artefact of the tracing.
        environment = {"PATH": f"{self.shim_dir}:{self.real_dir}",
                       "LARDERBOX_SERVER": "http://127.0.0.1:9/"}
        calls, others = self.trace(["-fsS", "-o", os.devnull, URL], environment)
        self.calls_before_real_tool(calls)
        self.assertEqual(len(others), 1, "expected exactly one probe child")


if __name__ == "__main__":
    unittest.main()
