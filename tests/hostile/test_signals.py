"""Bursts of SIGIO and SIGPIPE at the shim while it waits for a slow cache probe: the shim
survives them (SIGIO would end it at its default action), the probe is waited for to its end, the
verdict is the probe's, and the probe and the real tool start with both signals as the caller left
them. SIGKILL to the shim alone ends the probe with it."""

import os
import select
import signal
import threading
import time

import harness
from hostile_support import (HostileToolCase, burst, caller_signals, finish, start_shim,
                             wait_for)
from cache_case import CACHE_BODY, NAME, ORIGIN_BODY, CacheCase, download_args
from http_servers import HttpServer, SilentServer


class WhileTheProbeRuns(HostileToolCase):
    ROWS = [
        # label, the probe's pipes while it is held ("open": it keeps writing, so the shim is in
        # its drain; "closed": the shim is in its wait), its exit status, signals the caller ignores
        ("drain, hit", "open", 0, ()),
        ("drain, miss", "open", 1, ()),
        ("wait, hit", "closed", 0, ()),
        ("wait, miss", "closed", 1, ()),
        ("drain, hit, caller ignores SIGPIPE", "open", 0, (signal.SIGPIPE,)),
        ("wait, miss, caller ignores both", "closed", 1, (signal.SIGPIPE, signal.SIGIO)),
    ]

    def test_bursts_leave_the_probe_and_its_verdict_intact(self):
        for tool in ("curl", "wget"):
            for label, pipes, status, ignored in self.ROWS:
                with self.subTest(label, tool=tool):
                    self.behave(tool, "gate %d %s" % (status, pipes))
                    process = self.start(tool, preexec_fn=caller_signals(ignored),
                                         restore_signals=False)
                    self.assertTrue(wait_for(lambda: os.path.exists(self.hostile[tool] +
                                                                    ".started")),
                                    "the probe did not start")
                    sent = burst(process.pid)
                    self.assertGreater(sent, 100)
                    # Still the shim, still waiting: nothing was handed over yet.
                    self.assertIsNone(process.poll())
                    self.assertEqual(self.records(), [])
                    with open(self.hostile[tool] + ".go", "wb"):
                        pass
                    completed = finish(self, process)
                    self.assert_handed_over(tool, completed, hit=status == 0, ignored=ignored)
                    self.assert_probe_started_cleanly(tool, ignored)


class DelayedServer(HttpServer):
    """Holds every HEAD for `delay` seconds before answering; `heads` is set when one arrives."""

    def __init__(self, delay):
        super().__init__()
        self.delay = delay
        self.heads = threading.Event()

    def respond(self, exchange, body):
        if exchange.method == "HEAD":
            self.heads.set()
            time.sleep(self.delay)
        return super().respond(exchange, body)


class WhileTheRealToolProbes(CacheCase):
    """The same with the machine's real curl and wget probing a cache that answers late."""

    def test_bursts_during_a_slow_answer(self):
        slow = self.start(DelayedServer(1.5))
        for tool in ("curl", "wget"):
            for hit in (True, False):
                with self.subTest(tool=tool, hit=hit):
                    slow.reset()
                    slow.heads.clear()
                    self.forget_traffic()
                    url, address = self.publish(cache=slow)
                    if not hit:
                        slow.answer(address, 404)
                    process = start_shim(self, tool, download_args(tool, url),
                                         self.tool_env(LARDERBOX_SERVER=slow.base()))
                    self.assertTrue(slow.heads.wait(harness.TIMEOUT), "no probe arrived")
                    self.assertGreater(burst(process.pid, seconds=0.8), 100)
                    completed = finish(self, process)
                    self.assert_downloaded_from(completed,
                                                CACHE_BODY if hit else ORIGIN_BODY)
                    expected = [("HEAD", address)] + ([("GET", address)] if hit else [])
                    self.assertEqual(slow.requests(), expected)
                    self.assertEqual(self.origin.requests(),
                                     [] if hit else [("GET", "/pkg/" + NAME)])


def probe_child(shim_pid):
    """The shim's one child, or None while it has none."""
    try:
        with open("/proc/%d/task/%d/children" % (shim_pid, shim_pid), encoding="ascii") as f:
            children = f.read().split()
    except OSError:
        return None
    return int(children[0]) if len(children) == 1 else None


def descriptor_targets(pid):
    targets = {}
    for name in os.listdir("/proc/%d/fd" % pid):
        try:
            targets[int(name)] = os.readlink("/proc/%d/fd/%s" % (pid, name))
        except OSError:
            pass
    return targets


def gone(pid):
    """True once `pid` has ended (a zombie that nobody reaped yet has ended too)."""
    try:
        with open("/proc/%d/stat" % pid, encoding="ascii", errors="replace") as f:
            return f.read().rsplit(")", 1)[1].split()[0] == "Z"
    except (OSError, IndexError):
        return True


class ShimKilledDuringTheProbe(CacheCase):
    """SIGKILL to the shim alone, as subprocess.run(timeout=...) sends it, while the real tool's
    probe waits on a cache that never answers: the probe ends with the shim, and it never held a
    descriptor the caller passed to the shim (here the write end of a pipe, whose reader must
    then see its end)."""

    def test_the_probe_ends_with_the_shim(self):
        silent = self.start(SilentServer())
        url = "http://127.0.0.1:9/pkg/" + NAME
        for tool in ("curl", "wget"):
            with self.subTest(tool=tool):
                connections = silent.connection_count()
                read_end, write_end = os.pipe()
                self.addCleanup(os.close, read_end)
                try:
                    process = start_shim(self, tool, download_args(tool, url),
                                         self.tool_env(LARDERBOX_SERVER=silent.base()),
                                         pass_fds=(write_end,))
                finally:
                    os.close(write_end)
                self.assertTrue(wait_for(lambda: silent.connection_count() > connections),
                                "the probe never reached the cache")
                probe = probe_child(process.pid)
                self.assertIsNotNone(probe, "the shim has no probe child")
                targets = descriptor_targets(probe)
                self.assertLessEqual({0, 1, 2}, set(targets))
                self.assertNotIn(os.readlink("/proc/self/fd/%d" % read_end), targets.values())

                process.kill()
                process.wait(timeout=harness.TIMEOUT)
                self.assertTrue(wait_for(lambda: gone(probe), timeout=1),
                                "the probe outlived the shim")
                ready, _, _ = select.select([read_end], [], [], 1)
                self.assertEqual(ready, [read_end], "a writer of the caller's pipe lives on")
                self.assertEqual(os.read(read_end, 1), b"")


if __name__ == "__main__":
    harness.main()
