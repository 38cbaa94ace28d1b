"""Resource limits that the caller sets: the shim must still hand over, with the caller's own
arguments where the limit keeps the cache probe from running, and the real curl and wget must
then download from a loopback origin as if the shim were not there.

  descriptors     the probe needs seven at once (two output pipes, the null device, the error
                  pipe); a limit below that fails its launch, while the tools need fewer
  processes       an unprivileged user allowed one process cannot fork the probe
  stack           a small one, which the shim hands on unchanged
  address space   a limit the real tool can work in lets the probe and the download run; one it
                  cannot start in still reaches it, and the ending is the tool's own
"""

import os
import resource

from faults import CACHE_BODY, ORIGIN_BODY, REAL, FaultCase, harness

MIB = harness.MIB
# Descriptors 0 to 9: the three standard streams and the probe's seven.
PROBE_DESCRIPTOR_LIMIT = 10
# A limit under which neither real tool starts, and one under which both work.
STARVED_ADDRESS_SPACE = 8 * MIB
ROOMY_ADDRESS_SPACE = 256 * MIB


def download_args(tool, url):
    # One try: a wget that cannot connect would otherwise try twenty times, waiting in between.
    return ["-fsS", "-o", "out", url] if tool == "curl" else ["-q", "-t", "1", "-O", "out", url]


def limited(kind, value, then=None):
    def prepare():
        resource.setrlimit(kind, (value, value))
        if then is not None:
            then()
    return prepare


def unused_uid():
    """A user id that no account names and no process runs as: its process count is ours alone."""
    taken = set()
    with open("/etc/passwd", encoding="utf-8", errors="replace") as f:
        for line in f:
            fields = line.split(":")
            if len(fields) > 2 and fields[2].isdigit():
                taken.add(int(fields[2]))
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                taken.add(os.stat("/proc/" + entry).st_uid)
            except OSError:
                pass
    for uid in range(60000 + os.getpid() % 1000, 65000):
        if uid not in taken:
            return uid
    return None


class LimitCase(FaultCase):
    def setUp(self):
        super().setUp()
        self.url, address = self.publish()
        self.address = self.cache.url(address).encode()

    def download(self, tool, prepare, executable=None, **kwargs):
        """One download through the shim (or `executable`) under `prepare`; the servers' logs
        start afresh."""
        self.forget_traffic()
        self.publish()
        # Both by the tool's name: the real tool then gets that argument 0 through the shim too.
        return self.launch(executable or self.path("bin", tool), argv0=tool,
                           args=download_args(tool, self.url),
                           env=self.tool_env(LARDERBOX_SERVER=self.cache.base()),
                           cwd=self.case_dir, timeout=30, preexec_fn=prepare, **kwargs)

    def assert_from_origin_without_probe(self, completed):
        self.assertEqual((completed.returncode, completed.stderr), (0, b""))
        self.assertEqual(self.output_file(), ORIGIN_BODY)
        self.assertEqual(self.cache.requests(), [], "the probe ran")

    def assert_from_cache(self, completed):
        self.assert_downloaded_from(completed, CACHE_BODY)
        self.assertEqual(self.origin.requests(), [])

    def assert_recorded(self, tool, prepare, redirected):
        """Through the shim under `prepare`, with the recorder as the real tool, which answers
        every probe with 0: the recorder got the caller's arguments, or with `redirected` the
        cache address in place of the URL, and no descriptor but the standard streams."""
        self.forget_records()
        args = download_args(tool, self.url)
        env = self.environment(path=self.path("bin") + ":" + self.real_dir,
                               LARDERBOX_SERVER=self.cache.base())
        completed = self.launch(self.path("bin", tool), argv0=tool, args=args, env=env,
                                preexec_fn=prepare)
        real = self.real_curl if tool == "curl" else self.real_wget
        record = self.assert_reached(completed, real,
                                     args[:-1] + [self.address] if redirected else args)
        self.assert_only_standard_streams(record)


class DescriptorLimit(LimitCase):
    def test_probe_that_cannot_get_its_descriptors_hands_over_unchanged(self):
        for tool in ("curl", "wget"):
            for limit in range(4, PROBE_DESCRIPTOR_LIMIT + 1):
                with self.subTest(tool=tool, limit=limit):
                    self.assert_recorded(tool, limited(resource.RLIMIT_NOFILE, limit),
                                         redirected=limit >= PROBE_DESCRIPTOR_LIMIT)

    def test_real_tools_download_from_the_origin(self):
        for tool in ("curl", "wget"):
            # The tool's own need: the rows below it would only test the tool.
            lowest = next((limit for limit in range(4, PROBE_DESCRIPTOR_LIMIT)
                           if self.download(tool, limited(resource.RLIMIT_NOFILE, limit),
                                            executable=REAL[tool]).returncode == 0), None)
            self.output_file()
            if lowest is None:
                self.skipTest("%s needs %d descriptors or more by itself" %
                              (tool, PROBE_DESCRIPTOR_LIMIT))
            for limit in range(lowest, PROBE_DESCRIPTOR_LIMIT):
                with self.subTest(tool=tool, limit=limit):
                    completed = self.download(tool, limited(resource.RLIMIT_NOFILE, limit))
                    self.assert_from_origin_without_probe(completed)
            with self.subTest(tool=tool, limit="enough for the probe"):
                completed = self.download(tool, limited(resource.RLIMIT_NOFILE, 64))
                self.assert_from_cache(completed)


class ProcessLimit(LimitCase):
    """RLIMIT_NPROC binds only users without the privilege to exceed it, so the shim runs as a
    user id of its own; the case directory is handed to it."""

    def setUp(self):
        super().setUp()
        if os.geteuid() != 0:
            self.skipTest("switching to a user of its own needs root")
        self.uid = unused_uid()
        if self.uid is None:
            self.skipTest("no unused user id")
        for directory, _, files in os.walk(self.case_dir):
            os.chown(directory, self.uid, self.uid)
            for name in files:
                os.chown(os.path.join(directory, name), self.uid, self.uid)

    def as_user(self, processes):
        def become():
            os.setgroups([])
            os.setgid(self.uid)
            resource.setrlimit(resource.RLIMIT_NPROC, (processes, processes))
            os.setuid(self.uid)
        return become

    def test_probe_that_cannot_fork_hands_over_unchanged(self):
        for tool in ("curl", "wget"):
            for processes in (1, 64):
                with self.subTest(tool=tool, processes=processes):
                    self.assert_recorded(tool, self.as_user(processes), redirected=processes > 1)

    def test_real_tools_download_from_the_origin(self):
        for tool in ("curl", "wget"):
            with self.subTest(tool=tool):
                direct = self.download(tool, self.as_user(1), executable=REAL[tool])
                if direct.returncode != 0:
                    self.skipTest("%s cannot download as a user with one process: %r" %
                                  (tool, direct.stderr))
                self.output_file()
                self.assert_from_origin_without_probe(self.download(tool, self.as_user(1)))
                self.assert_from_cache(self.download(tool, self.as_user(64)))


class StackLimit(LimitCase):
    def test_a_small_stack_that_cannot_be_raised(self):
        # The shim's own frames, the probe's path buffer included, fit far below the usual 8 MiB.
        for tool in ("curl", "wget"):
            with self.subTest(tool=tool):
                self.assert_recorded(tool, limited(resource.RLIMIT_STACK, 128 * 1024),
                                     redirected=True)

    def test_a_stack_the_real_tools_download_with(self):
        # Near the tools' own need the kernel's random offset of the stack top decides, so the
        # limit is the smallest with which the tool downloads five times running, plus 8 KiB
        # (the largest such offset): the shim must not need more than the tool it hands over to.
        for tool in ("curl", "wget"):
            with self.subTest(tool=tool):
                def downloads(size, executable=REAL[tool], times=5):
                    for _ in range(times):
                        completed = self.download(tool, limited(resource.RLIMIT_STACK, size),
                                                  executable=executable)
                        if (completed.returncode, completed.stderr) != (0, b""):
                            return False
                        self.assertIn(self.output_file(), (ORIGIN_BODY, CACHE_BODY))
                    return True

                sizes = [kib * 1024 for kib in range(8, 257, 4)]
                reliable = next((size for size in sizes if downloads(size)), None)
                if reliable is None:
                    self.skipTest("%s needs more than 256 KiB of stack" % tool)
                self.assertTrue(downloads(reliable + 8192, executable=self.path("bin", tool)))


class AddressSpaceLimit(LimitCase):
    def test_hand_over_under_a_limit(self):
        for tool in ("curl", "wget"):
            starved = limited(resource.RLIMIT_AS, STARVED_ADDRESS_SPACE)
            roomy = limited(resource.RLIMIT_AS, ROOMY_ADDRESS_SPACE)
            with self.subTest(tool=tool, limit="roomy"):
                self.assertEqual(self.download(tool, roomy, executable=REAL[tool]).returncode, 0)
                self.output_file()
                self.assert_from_cache(self.download(tool, roomy))
            with self.subTest(tool=tool, limit="too small for the tool"):
                direct = self.download(tool, starved, executable=REAL[tool])
                if direct.returncode == 0:
                    self.skipTest("%s works in %d bytes" % (tool, STARVED_ADDRESS_SPACE))
                completed = self.download(tool, starved)
                # The tool's own ending, not the shim's: the shim handed over.
                self.assertEqual((completed.returncode, completed.stderr),
                                 (direct.returncode, direct.stderr))
                self.assertIsNone(self.output_file())
                self.assertEqual(self.cache.requests() + self.origin.requests(), [])


if __name__ == "__main__":
    harness.main()
