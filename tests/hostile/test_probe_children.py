"""Probe children that misbehave: floods on both pipes, a pipe closed early, death by a signal,
garbage, odd exit statuses, a descendant that holds the pipes. The verdict follows the child's
exit status alone, the shim says nothing, and the real tool inherits neither a probe descriptor
nor a probe child."""

import concurrent.futures
import os
import time

import harness
from harness import MIB
from hostile_support import ARGS, HostileToolCase

# A 64 MiB flood on each pipe, drained by a shim on a shared two-core machine.
FLOOD_TIMEOUT = 120
# The probe is given up 15 s after it started; the run must end well before the child would.
GIVE_UP_TIMEOUT = 35


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


class GivenUp(HostileToolCase):
    """A probe whose pipes stay open far past the tools' own 5-second limit is given up: the
    child is ended and reaped, and the caller's arguments go to the real tool unchanged."""

    ROWS = [
        # tool, behaviour: both would end with 0 after 40 s
        ("curl", "hold 40000 0"),          # the child itself keeps writing
        ("wget", "linger 40000 0"),        # the child exits at once, a descendant keeps writing
    ]

    def run_given_up(self, tool):
        started = time.monotonic()
        completed = self.launch(self.path("bin", tool), argv0=tool, args=ARGS, env=self.env(),
                                timeout=GIVE_UP_TIMEOUT)
        return completed, time.monotonic() - started

    def test_a_probe_that_never_finishes_is_a_no(self):
        for tool, behaviour in self.ROWS:
            self.behave(tool, behaviour)
        # Both at once: each costs the whole deadline.
        with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
            futures = [(tool, pool.submit(self.run_given_up, tool)) for tool, _ in self.ROWS]
            results = [(tool, future.result(timeout=GIVE_UP_TIMEOUT * 2))
                       for tool, future in futures]
        for tool, (completed, elapsed) in results:
            with self.subTest(tool=tool):
                self.assertGreaterEqual(elapsed, 10)
                self.assertLess(elapsed, 30)
                self.assertEqual((completed.returncode, completed.stderr), (0, b""))
                record = self.records_of(tool)
                # Argument 0 as the caller gave it: the tool's name.
                self.assertEqual(record.args, [harness.as_bytes(tool)] +
                                 [harness.as_bytes(a) for a in ARGS])
                self.assertEqual(sorted(record.fds), [0, 1, 2])
                self.assertEqual(self.children(tool), [])
                self.assertFalse(os.path.exists("/proc/%d" % self.probe_record(tool)["pid"]))

    def records_of(self, tool):
        """The one record of the hand-over to `tool` (both tools share the record file here)."""
        mine = [r for r in self.records() if r.executed == harness.as_bytes(self.hostile[tool])
                + b".recorder"]
        self.assertEqual(len(mine), 1)
        return mine[0]


if __name__ == "__main__":
    harness.main()
