"""Probe children that misbehave: floods on both pipes, a pipe closed early, death by a signal,
garbage, odd exit statuses, a descendant that holds the pipes. The verdict follows the child's
exit status alone, the shim says nothing, and the real tool inherits neither a probe descriptor
nor a probe child."""

import time

import harness
from hostile_support import ARGS, HostileToolCase

MIB = 1024 * 1024
# A 64 MiB flood on each pipe, drained by a shim on a shared two-core machine.
FLOOD_TIMEOUT = 120


class HostileChildren(HostileToolCase):
    ROWS = [
        # label, behaviour of the probe's call, cache hit expected, least seconds the run takes
        ("exits 0", "exit 0", True, 0),
        ("exits 1", "exit 1", False, 0),
        ("exits 22 (curl's HTTP error)", "exit 22", False, 0),
        ("exits 8 (wget's server error)", "exit 8", False, 0),
        ("exits 255", "exit 255", False, 0),
        ("64 MiB on each pipe, interleaved, then 0", "flood %d 0" % (64 * MIB), True, 0),
        ("64 MiB on each pipe, interleaved, then 1", "flood %d 1" % (64 * MIB), False, 0),
        ("garbage on both pipes, then 0", "garbage %d 0" % (4 * MIB), True, 0),
        ("garbage on both pipes, then 1", "garbage %d 1" % (4 * MIB), False, 0),
        ("closes stdout, writes stderr for a while, 0", "close-one 1 500 0", True, 0.4),
        ("closes stdout, writes stderr for a while, 1", "close-one 1 500 1", False, 0.4),
        ("closes stderr, writes stdout for a while, 0", "close-one 2 500 0", True, 0.4),
        ("closes stderr, writes stdout for a while, 1", "close-one 2 500 1", False, 0.4),
        ("SIGKILL with its pipes open", "die KILL open", False, 0),
        ("SIGKILL after closing its pipes", "die KILL closed", False, 0),
        ("a real segmentation fault", "die SEGV open", False, 0),
        ("a segmentation fault after closing its pipes", "die SEGV closed", False, 0),
        ("abort", "die ABRT open", False, 0),
        # The shim reads until every writer of the pipes is gone, so it waits for the descendant.
        ("exits 0, a descendant holds the pipes", "linger 700 0", True, 0.6),
        ("exits 1, a descendant holds the pipes", "linger 700 1", False, 0.6),
    ]

    def test_verdict_follows_the_exit_status_alone(self):
        for tool in ("curl", "wget"):
            for label, behaviour, hit, least in self.ROWS:
                with self.subTest(label, tool=tool):
                    self.behave(tool, behaviour)
                    started = time.monotonic()
                    completed = self.launch(self.path("bin", tool), argv0=tool,
                                            args=ARGS,
                                            env=self.env(), timeout=FLOOD_TIMEOUT)
                    elapsed = time.monotonic() - started
                    self.assert_handed_over(tool, completed, hit)
                    self.assert_probe_started_cleanly(tool)
                    self.assertGreaterEqual(elapsed, least)

    def test_callers_descriptors_reach_the_real_tool_and_nothing_else(self):
        # A caller's extra descriptor survives both the probe and the hand-over, and is the only
        # one beside the standard streams.
        extra_path = self.write_file("extra", b"")
        for behaviour, hit in (("flood %d 0" % MIB, True), ("die KILL open", False)):
            with self.subTest(behaviour), open(extra_path, "rb") as extra:
                self.behave("curl", behaviour)
                completed = self.launch(self.path("bin", "curl"), argv0="curl",
                                        args=ARGS,
                                        env=self.env(), pass_fds=(extra.fileno(),))
                self.assertEqual((completed.returncode, completed.stderr), (0, b""))
                record = self.single_record()
                self.assertEqual(sorted(record.fds), sorted([0, 1, 2, extra.fileno()]))
                self.assertEqual(record.fds[extra.fileno()], harness.as_bytes(extra_path))
                self.assertEqual(self.children("curl"), [])


if __name__ == "__main__":
    harness.main()
