"""The instruction counter behind the benchmark's counters counts what it says it counts.

bench/count_instructions single-steps a program up to its next successful execve, and every child
up to its own. These programs (counted.c) execute known instruction sequences without any C
library, so each count is read off their listing.
"""
import os
import subprocess
import unittest


def ptrace_refusal(counter, program):
    """Why the counter cannot trace here, or None when it can."""
    probe = subprocess.run([counter, "0", program], capture_output=True, text=True, timeout=60)
    if probe.returncode != 0 and "ptrace" in probe.stderr.lower():
        return "ptrace refused: " + probe.stderr.strip()
    return None


class InstructionCounterTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.counter = os.environ.get("COUNTER_BIN", "")
        cls.programs = {mode: os.environ.get(f"COUNTED_{mode}_BIN", "")
                        for mode in ("EXIT", "EXEC", "FORK")}
        cls.built = all(os.access(p, os.X_OK) for p in [cls.counter, *cls.programs.values()])
        cls.refusal = ptrace_refusal(cls.counter, cls.programs["EXIT"]) if cls.built else None

    def setUp(self):
        self.assertTrue(self.built, f"not built: {self.counter!r}, {self.programs!r}")
        if self.refusal:
            self.skipTest(self.refusal)

    def count(self, mode, environment=()):
        result = subprocess.run([self.counter, str(len(environment)), *environment,
                                 self.programs[mode]], capture_output=True, text=True, timeout=60)
        self.assertEqual(result.returncode, 0, result.stderr)
        return [tuple(line.split()) for line in result.stdout.splitlines()]

    def test_rep_string_instruction_is_one_instruction_of_many_steps(self):
        # Seven instructions; the rep movsb repeats 64 times, so 6 + 64 single steps.
        self.assertEqual(self.count("EXIT"), [("main", "7", "70", "exit")])

    def test_count_ends_with_the_execve_and_leaves_the_new_program_out(self):
        # /bin/true runs thousands of instructions of its own after the fifth.
        self.assertEqual(self.count("EXEC"), [("main", "5", "5", "exec")])

    def test_forked_child_is_counted_apart_from_its_parent(self):
        self.assertEqual(sorted(self.count("FORK")),
                         [("child", "7", "7", "exec"), ("main", "13", "13", "exit")])

    def test_environment_reaches_the_program_without_changing_its_count(self):
        # The count is the program's alone: the counter adds nothing of its own to it.
        self.assertEqual(self.count("EXIT", ["A=1", "B=2"]), [("main", "7", "70", "exit")])

    def test_failing_program_fails_the_count(self):
        result = subprocess.run([self.counter, "0", "/nonexistent/program"], capture_output=True,
                                text=True, timeout=60)
        self.assertNotEqual(result.returncode, 0)


if __name__ == "__main__":
    unittest.main()
