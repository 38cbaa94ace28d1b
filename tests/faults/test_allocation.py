"""Every allocation of a whole run fails once, in turn: the glibc sanitizer build is started with
its n-th allocation failing, for n = 1, 2, ... until a run makes fewer than n allocations. Each run
must end as the failure tables say, and the series of endings must follow the order of the run's
steps:

  real tool lookup  variable lookups allocate nothing; each candidate path takes the error exit
  exec vector       error exit (it holds the argument array)
  cache server      allocates nothing
  cache address     error exit
  cache probe       every failure hands over unchanged
  replacement       error exit
  hand-over         status 127 without a word, for the path copy

No run may crash (a sanitizer report or a signal), and no run may leak a descriptor to the real
tool or to the probe's child.
"""

import re

from faults import (CACHE_BODY, HANDED, ORIGIN_BODY, REAL, REDIRECTED, FaultCase,
                    fake_tool_script, harness)

# Far more than a run allocates; a series that does not end by then is a fault of its own.
MOST_ALLOCATIONS = 500

NO_SERVER_SERIES = re.compile(r"^O+S$")
REDIRECT_SERIES = re.compile(r"^O+H+OS$")
MISS_SERIES = re.compile(r"^O+H+S$")


def is_probe(record):
    return b"-I" in record.args or b"--spider" in record.args


class AllocationFailures(FaultCase):
    def series(self, run_one):
        """The endings of runs with allocation 1, 2, ... failing, and the ending of the first run
        in which the failing allocation was never reached."""
        endings = []
        for nth in range(1, MOST_ALLOCATIONS + 1):
            ending, fired = run_one(nth)
            if not fired:
                return "".join(endings), ending
            endings.append(ending)
        self.fail("a run still allocated %d times" % MOST_ALLOCATIONS)

    def test_without_a_cache_server(self):
        shim = self.install_shim("bin/curl", source=self.glibc_shim)
        args = [b"-fsS", b"-o", b"out", b"http://127.0.0.1:9/x.tgz", b"\xff raw"]
        for tool in ("curl", "wget"):
            real_tool = self.real_curl if tool == "curl" else self.real_wget
            env = self.environment(path=self.path("bin") + ":" + self.real_dir)

            def run_one(nth):
                self.forget_records()
                completed, fired, _ = self.launch_failing(shim, nth, tool, args, env)
                return self.ending(completed, self.records(), real_tool, args, None, tool), fired

            with self.subTest(tool=tool):
                endings, clean = self.series(run_one)
                self.assertEqual(clean, HANDED)
                self.assertRegex(endings, NO_SERVER_SERIES)

    def redirect_series(self, tool, real, held=True, downloads=True):
        """The series for a download through the cache server, which holds the file if `held`,
        with `real` behind the recording wrapper as the real tool. With `downloads`, every run
        that reached the real tool must have downloaded the origin's or the cache's bytes."""
        url, address_path = self.publish()
        if not held:
            self.cache.files.clear()
        shim = self.install_shim("bin/" + tool, source=self.glibc_shim)
        wrapper = self.install_wrapped_tool("wrapped/" + tool, real)
        env = {"PATH": self.path("bin") + ":" + self.path("wrapped"),
               "LARDERBOX_SERVER": self.cache.base()}
        before = ["-fsS", "-o", "out"] if tool == "curl" else ["-q", "-O", "out"]
        args = before + [url]
        redirected = [harness.as_bytes(a) for a in before] + [self.cache.url(address_path).encode()]

        def run_one(nth):
            self.forget_wrapped_records(wrapper)
            completed, fired, _ = self.launch_failing(shim, nth, tool, args, env,
                                                      cwd=self.case_dir, timeout=30)
            records = self.wrapped_records(wrapper)
            for probe in filter(is_probe, records):
                self.assert_only_standard_streams(probe)
            final = [r for r in records if not is_probe(r)]
            ending = self.ending(completed, final, wrapper, args, redirected, tool)
            downloaded = self.output_file()
            if ending not in (HANDED, REDIRECTED):
                self.assertIsNone(downloaded, "a run that ended in the shim downloaded")
            elif downloads:
                self.assertEqual(downloaded, ORIGIN_BODY if ending == HANDED else CACHE_BODY)
            return ending, fired

        return self.series(run_one)

    def test_redirect_to_a_cache_that_holds_the_file(self):
        for tool in ("curl", "wget"):
            with self.subTest(tool=tool):
                endings, clean = self.redirect_series(tool, REAL[tool])
                self.assertEqual(clean, REDIRECTED)
                self.assertRegex(endings, REDIRECT_SERIES)

    def test_cache_that_lacks_the_file(self):
        for tool in ("curl", "wget"):
            with self.subTest(tool=tool):
                endings, clean = self.redirect_series(tool, REAL[tool], held=False)
                self.assertEqual(clean, HANDED)
                self.assertRegex(endings, MISS_SERIES)

    def test_probe_output_that_grows_the_drain_buffers(self):
        # A megabyte on each pipe: every growth of the buffers is a site of its own.
        for tool in ("curl", "wget"):
            with self.subTest(tool=tool):
                fake = self.write_file("fake/" + tool, fake_tool_script(
                    tool, self.case_dir, probe_output=harness.MIB, then="stop").encode(), 0o755)
                endings, clean = self.redirect_series(tool, fake, downloads=False)
                self.assertEqual(clean, REDIRECTED)
                self.assertRegex(endings, REDIRECT_SERIES)
                probe_sites = re.match(r"^O+(H+)OS$", endings).group(1)
                self.assertGreater(len(probe_sites), 3, "the buffers never grew")


class ShippedExecutable(FaultCase):
    def test_has_no_seam(self):
        # The glibc build shows that the names would be found if the seam were compiled in.
        with open(self.glibc_shim, "rb") as f:
            self.assertIn(b"LARDERBOX_FAIL_ALLOCATION", f.read())
        with open(self.shim, "rb") as f:
            self.assertNotIn(b"LARDERBOX_FAIL_ALLOCATION", f.read())
        shim = self.install_shim("bin/curl")
        args = ["-fsS", "http://127.0.0.1:9/x.tgz"]
        env = self.environment(path=self.path("bin") + ":" + self.real_dir)
        for nth in (1, 4, 7):
            with self.subTest(nth=nth):
                self.forget_records()
                completed, fired, env_given = self.launch_failing(shim, nth, "curl", args, env)
                self.assertFalse(fired)
                record = self.assert_reached(completed, self.real_curl, args)
                self.assertEqual(record.env, [k.encode() + b"=" + v.encode()
                                              for k, v in env_given.items()])
                # Without the seam, the caller's descriptor is one like any other and passes on.
                self.assertEqual(sorted(record.fds),
                                 [0, 1, 2, int(env_given["LARDERBOX_FAIL_ALLOCATION_FD"])])


if __name__ == "__main__":
    harness.main()
