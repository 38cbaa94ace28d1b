"""larderbox-fill: storing, skipping, --force, failures that leave nothing behind, URLs from
standard input, signals, and never filling the cache from the cache."""

import os
import signal
import stat
import subprocess
import time
import unittest

from tools_support import (FILL, SYSTEM_PATH, OriginServer, StaticServer, ToolCase, run,
                           stored_path)


def summary(stored, present, failed):
    return b"larderbox-fill: %d stored, %d present, %d failed\n" % (stored, present, failed)


class FillTest(ToolCase):
    def setUp(self):
        super().setUp()
        self.origin = OriginServer()
        self.origin.__enter__()
        self.addCleanup(self.origin.__exit__, None, None, None)
        self.origin.files = {"/dist/tool-1.2.tar.gz": os.urandom(50000),
                             "/a b.txt": b"spaced\n",
                             "/q": b"with a query\n"}
        self.cache = self.path("cache")

    def entry(self, url):
        return os.path.join(self.cache, stored_path(url))

    def read_entry(self, url):
        with open(self.entry(url), "rb") as f:
            return f.read()

    def test_stores_skips_present_and_force_replaces(self):
        urls = [self.origin.url("/dist/tool-1.2.tar.gz"), self.origin.url("/a%20b.txt"),
                self.origin.url("/q?x=1#f")]
        result = self.fill(self.cache, *urls)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout,
                         b"".join(b"stored %s\n" % u.encode() for u in urls) + summary(3, 0, 0))
        self.assertEqual(self.read_entry(urls[0]), self.origin.files["/dist/tool-1.2.tar.gz"])
        self.assertEqual(self.read_entry(urls[1]), b"spaced\n")
        self.assertTrue(self.entry(urls[1]).endswith("/a b.txt"))
        self.assertEqual(self.read_entry(urls[2]), b"with a query\n")
        # A web server running as another user must be able to read the entries.
        self.assertTrue(os.stat(self.entry(urls[0])).st_mode & stat.S_IROTH)
        self.assertNoLeftovers(self.cache)

        self.origin.files["/a b.txt"] = b"changed\n"
        again = self.fill(self.cache, urls[1])
        self.assertEqual(again.returncode, 0, again.stderr)
        self.assertEqual(again.stdout, b"present %s\n" % urls[1].encode() + summary(0, 1, 0))
        self.assertEqual(self.read_entry(urls[1]), b"spaced\n")
        requests = len(self.origin.requests)

        forced = self.fill("--force", self.cache, urls[1])
        self.assertEqual(forced.returncode, 0, forced.stderr)
        self.assertEqual(forced.stdout, b"stored %s\n" % urls[1].encode() + summary(1, 0, 0))
        self.assertEqual(self.read_entry(urls[1]), b"changed\n")
        self.assertEqual(len(self.origin.requests), requests + 1)

    def test_stores_as_learn_does(self):
        """One row per rule of the shared store: the origin's time, no user configuration, the
        policy at every redirect, a shared cache's Cache-Control."""
        o = self.origin.url
        modified = "Fri, 14 Jul 2017 02:40:00 GMT"
        self.origin.files.update({"/dated": b"d", "/undated": b"u", "/nostore": b"n"})
        self.origin.headers.update({"/dated": {"Last-Modified": modified},
                                    "/nostore": {"Cache-Control": "private, max-age=60"}})
        self.origin.redirects.update({"/hop/in": o("/dated"),
                                      "/hop/out": "http://127.0.0.2:%d/dated" % self.origin.port})
        # A user's curl settings that would send credentials and keep the fill's time.
        self.write_file("home/.curlrc", b'user = "me:secret"\nno-remote-time\n')
        before = time.time()
        # (URL, its line, the entry's time: a number, "now", or None when nothing is stored)
        rows = [(o("/dated"), "stored", 1500000000), (o("/undated"), "stored", "now"),
                (o("/hop/in"), "stored", 1500000000),
                (o("/hop/out"), "refused: redirect to 127.0.0.2 is not allowed", None),
                (o("/nostore"), "refused: no-store (Cache-Control: private)", None)]
        result = self.fill(self.cache, *[url for url, _, _ in rows],
                           env={"HOME": self.path("home")})
        self.assertEqual(result.returncode, 1, result.stderr)
        said = result.stdout.decode().splitlines()
        for (url, line, when), got in zip(rows, said):
            with self.subTest(url=url):
                self.assertEqual(got, line.replace(":", " %s:" % url, 1) if ":" in line
                                 else "%s %s" % (line, url))
                if when is None:
                    self.assertFalse(os.path.exists(self.entry(url)))
                elif when == "now":
                    self.assertGreaterEqual(os.stat(self.entry(url)).st_mtime, int(before))
                else:
                    self.assertEqual(os.stat(self.entry(url)).st_mtime, when)
        self.assertEqual(said[-1], "larderbox-fill: 3 stored, 0 present, 2 failed")
        self.assertEqual(self.origin.credentials, [None] * len(self.origin.credentials))
        self.assertNoLeftovers(self.cache)

    def test_failures_leave_nothing_behind(self):
        good = self.origin.url("/a%20b.txt")
        self.assertEqual(self.fill(self.cache, good).returncode, 0)
        for bad in [self.origin.url("/missing.tgz"), self.origin.url("/truncated/x.tgz"),
                    "http://127.0.0.1:1/refused.tgz"]:
            with self.subTest(url=bad):
                result = self.fill(self.cache, bad, good)
                self.assertEqual(result.returncode, 1)
                lines = result.stdout.splitlines(keepends=True)
                self.assertEqual(len(lines), 3, lines)
                self.assertTrue(lines[0].startswith(b"failed %s: " % bad.encode()), lines[0])
                self.assertEqual(lines[1:], [b"present %s\n" % good.encode(), summary(0, 1, 1)])
                entry = self.entry(bad)
                self.assertFalse(os.path.exists(entry))
                # Not even the directory made for it.
                self.assertFalse(os.path.exists(os.path.dirname(entry)))
                self.assertNoLeftovers(self.cache)

    def test_failed_force_keeps_the_old_entry(self):
        url = self.origin.url("/dist/tool-1.2.tar.gz")
        self.assertEqual(self.fill(self.cache, url).returncode, 0)
        del self.origin.files["/dist/tool-1.2.tar.gz"]
        result = self.fill("--force", self.cache, url)
        self.assertEqual(result.returncode, 1)
        self.assertTrue(result.stdout.startswith(b"failed " + url.encode()))
        self.assertEqual(len(self.read_entry(url)), 50000)
        self.assertNoLeftovers(self.cache)

    def test_urls_from_standard_input(self):
        tool, spaced = self.origin.url("/dist/tool-1.2.tar.gz"), self.origin.url("/a%20b.txt")
        listing = "  %s \r\n\n# a comment\n\t\n%s" % (tool, spaced)  # no final line feed
        result = self.fill(self.cache, input=listing.encode())
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, b"stored %s\nstored %s\n" % (tool.encode(), spaced.encode())
                         + summary(2, 0, 0))
        self.assertEqual(self.read_entry(spaced), b"spaced\n")

    def test_never_fills_from_the_cache(self):
        url = self.origin.url("/dist/tool-1.2.tar.gz")
        # A cache that already answers for the URL with other bytes.
        poisoned = self.path("poisoned")
        target = os.path.join(poisoned, stored_path(url))
        os.makedirs(os.path.dirname(target))
        with open(target, "wb") as f:
            f.write(b"from the cache\n")
        shim_path = self.shim_dir() + ":" + SYSTEM_PATH
        with StaticServer(poisoned) as cache:
            for variable in ("LARDERBOX_SERVER", "CURLLARDERBOX_SERVER"):
                with self.subTest(variable=variable):
                    env = {"PATH": shim_path, variable: cache.url()}
                    # The shim first on PATH does redirect this URL, so the test can tell...
                    through_shim = run(["curl", "-fsS", url], env=env)
                    self.assertEqual(through_shim.stdout, b"from the cache\n")
                    # ...but the fill's own download comes from the origin.
                    result = self.fill("--force", self.cache, url, env=env)
                    self.assertEqual(result.returncode, 0, result.stderr)
                    self.assertEqual(self.read_entry(url),
                                     self.origin.files["/dist/tool-1.2.tar.gz"])

    def test_prefers_real_curl(self):
        fake = self.write_file("fake/curl", b"#!/bin/sh\nexit 7\n", 0o755)
        url = self.origin.url("/q")
        result = self.fill(self.cache, url, env={"REAL_CURL": fake})
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stdout.splitlines()[0],
                         b"failed %s: curl exited with status 7 (cannot connect)" % url.encode())

    def test_signal_stops_the_download_and_cleans_up(self):
        for number in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            with self.subTest(signal=number.name):
                url = self.origin.url("/stall/%s.iso" % number.name)
                entry_dir = os.path.dirname(self.entry(url))
                self.origin.requests.clear()
                fill = subprocess.Popen([FILL, self.cache, url], env={"PATH": SYSTEM_PATH},
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE)
                try:
                    deadline = time.monotonic() + 20
                    while not (self.downloads(self.cache)
                               and "/stall/%s.iso" % number.name in self.origin.requests):
                        self.assertLess(time.monotonic(), deadline, "the download never started")
                        self.assertIsNone(fill.poll(), "larderbox-fill ended early")
                        time.sleep(0.05)
                    fill.send_signal(number)
                    fill.communicate(timeout=10)
                finally:
                    if fill.poll() is None:
                        fill.kill()
                        fill.communicate(timeout=10)
                self.assertEqual(fill.returncode, -number)
                # The curl child is gone too: nothing shows up later.
                time.sleep(0.3)
                self.assertFalse(os.path.exists(entry_dir))
                self.assertNoLeftovers(self.cache)


class UsageTest(ToolCase):
    def test_bad_usage_is_status_2(self):
        for args in [[], ["--bogus", "dir"], ["-x"], [""]]:
            with self.subTest(args=args):
                result = self.fill(*args)
                self.assertEqual(result.returncode, 2)
                self.assertIn(b"usage: larderbox-fill [--force] [--] DIR [URL...]", result.stderr)
                self.assertEqual(result.stdout, b"")

    def test_help(self):
        result = self.fill("--help")
        self.assertEqual(result.returncode, 0)
        self.assertTrue(result.stdout.startswith(b"usage: larderbox-fill "))

    def test_finds_larderbox_cache_on_path(self):
        # A copy of the script alone in a directory: larderbox-cache must come from PATH.
        with open(FILL, "rb") as f:
            alone = self.write_file("alone/larderbox-fill", f.read(), 0o755)
        origin_dir = os.path.dirname(os.environ["LARDERBOX_PATH_BIN"])
        with OriginServer() as origin:
            origin.files["/src.txt"] = b"local\n"
            url = origin.url("/src.txt")
            missing = run([alone, self.path("cache"), url], env={"PATH": SYSTEM_PATH})
            self.assertEqual(missing.returncode, 2)
            self.assertIn(b"larderbox-cache not found", missing.stderr)
            found = run([alone, self.path("cache"), url],
                        env={"PATH": origin_dir + ":" + SYSTEM_PATH})
        self.assertEqual(found.returncode, 0, found.stderr)

if __name__ == "__main__":
    unittest.main()
