"""Standard streams the caller closed or broke, with SIGPIPE at its default or ignored: every ending
keeps its status, the shim is never ended by SIGPIPE while its own handler is in place, and a run
with a probe hands the real tool exactly the caller's descriptors, whatever the shim opened on the
numbers the caller left free."""

import os
import signal

import harness
from harness import UNSEARCHED_DIRECTORY, AddressSpaceSearch, address_space_limit, broken_pipe
from hostile_support import ARGS, URL, HostileToolCase, cache_address, caller_signals

SIGPIPE_CHOICES = ((), (signal.SIGPIPE,))


def closing(descriptors, ignored=()):
    def prepare():
        caller_signals(ignored)()
        for number in descriptors:
            os.close(number)
    return prepare


class Endings(AddressSpaceSearch, HostileToolCase):
    """Endings without the real tool, with standard error closed or without a reader."""

    def run_ending(self, env, stderr_state, ignored, limit=None):
        """The shim as curl with standard error "closed" or "broken" (a pipe without reader)."""
        def prepare():
            caller_signals(ignored)()
            if stderr_state == "closed":
                os.close(2)
            if limit is not None:
                address_space_limit(limit)()

        stderr = broken_pipe() if stderr_state == "broken" else None
        try:
            return self.launch(self.shim, argv0="curl", args=ARGS, env=env, stdout=None,
                               stderr=stderr, preexec_fn=prepare, restore_signals=False)
        finally:
            if stderr is not None:
                os.close(stderr)

    def test_no_real_tool_and_exec_failure_keep_127(self):
        long_directory = self.mkdir("/".join(["d" * 40] * 3))
        self.mkdir(os.path.relpath(os.path.join(long_directory, "curl"), self.case_dir))
        self.mkdir("short/curl")
        rows = [
            # label, PATH
            ("no real tool", ""),
            ("exec failure, message in one write", self.path("short")),
            ("exec failure, message in two writes", long_directory),
        ]
        for label, path in rows:
            for state in ("closed", "broken"):
                for ignored in SIGPIPE_CHOICES:
                    with self.subTest(label, stderr=state, sigpipe_ignored=bool(ignored)):
                        completed = self.run_ending(self.environment(path=path), state, ignored)
                        self.assertEqual(completed.returncode, 127)
                        self.assertEqual(self.records(), [])

    def test_error_exit_with_stderr_closed_keeps_1(self):
        for variables in ({}, {"CLICOLOR_FORCE": "1"}):
            for ignored in SIGPIPE_CHOICES:
                with self.subTest(variables=variables, sigpipe_ignored=bool(ignored)):
                    env = self.environment(path=UNSEARCHED_DIRECTORY, **variables)
                    limit = self.lowest_starting_limit(env)
                    completed = self.run_ending(env, "closed", ignored, limit)
                    self.assertEqual(completed.returncode, 1)
                    # With room to allocate the same run ends otherwise: the limit caused it.
                    roomy = self.run_ending(env, "closed", ignored, 64 * 1024 * 1024)
                    self.assertEqual(roomy.returncode, 127)


class ClosedStreamsAndTheProbe(HostileToolCase):
    ROWS = [
        # label, descriptors the caller closed
        ("standard error closed", (2,)),
        ("standard output closed", (1,)),
        ("standard input closed", (0,)),
        ("all three closed", (0, 1, 2)),
        ("output and error closed", (1, 2)),
    ]

    def test_closed_descriptors_stay_closed_for_the_real_tool(self):
        for tool in ("curl", "wget"):
            for label, closed in self.ROWS:
                for status, hit in ((0, True), (1, False)):
                    with self.subTest(label, tool=tool, hit=hit):
                        self.behave(tool, "flood 300000 %d" % status)
                        completed = self.launch(self.path("bin", tool), argv0=tool, args=ARGS,
                                                env=self.env(), stdin=None, stdout=None,
                                                stderr=None, preexec_fn=closing(closed))
                        self.assertEqual(completed.returncode, 0)
                        expected = [a if a != URL or not hit else cache_address() for a in ARGS]
                        record = self.single_record()
                        # Argument 0 as the caller gave it: the tool's name.
                        self.assertEqual(record.args, [harness.as_bytes(tool)] +
                                         [harness.as_bytes(a) for a in expected])
                        self.assertEqual(sorted(record.fds), sorted({0, 1, 2} - set(closed)))
                        self.assertEqual(self.children(tool), [])
                        self.assert_probe_started_cleanly(tool)


if __name__ == "__main__":
    harness.main()
