"""larderbox-cache: the miss -> learn -> hit loop through the shim and the shipped nginx block, the
policy, bad log lines, --follow across a rotation, signals, refresh, prune, report, list, usage."""

import json
import os
import re
import signal
import subprocess
import time
import unittest

from tools_support import (CACHE, SOURCE_DIR, SYSTEM_PATH, NginxServer, OriginServer,
                           StaticServer, ToolCase, cache_address, run, stored_path)

OLD = 1500000000  # the origin's modification time, kept by the entries


def address(url):
    return cache_address("", url)  # "/b/SEGMENT/NAME"


def python_line(url, method="HEAD", status=404, path=None):
    return '127.0.0.1 - - [09/Dec/2026 06:21:00] "%s %s HTTP/1.1" %d -\n' % (
        method, path or address(url), status)


def nginx_line(url, method, status, size, when="09/Dec/2026:23:59:59 +0100", agent=True):
    return '10.0.0.1 - - [%s] "%s /larder%s HTTP/1.1" %d %d%s\n' % (
        when, method, address(url), status, size, ' "-" "curl/7.88.1"' if agent else "")


def wait_for(predicate, what, timeout=15):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.05)


class CacheCase(ToolCase):
    def setUp(self):
        super().setUp()
        self.cache = self.path("cache")

    def entry(self, url):
        return os.path.join(self.cache, stored_path(url))

    def read(self, path):
        with open(path, "rb") as f:
            return f.read()

    def start(self, *args):
        process = subprocess.Popen([CACHE] + list(args), env={"PATH": SYSTEM_PATH},
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
        self.addCleanup(self.stop, process)
        return process

    @staticmethod
    def stop(process):
        if process.poll() is None:
            process.kill()
        process.communicate(timeout=10)

    def temporaries(self):
        return [name for _, _, names in os.walk(self.cache) for name in names
                if name.startswith(".larderbox-tmp-")]


class LoopTest(CacheCase):
    def test_miss_learn_hit_through_the_shim_then_report(self):
        for tool in ("curl", "wget"):
            self.write_file("origin/%s.tgz" % tool, b"first " + tool.encode())
            os.utime(self.path("origin/%s.tgz" % tool), (OLD, OLD))
        os.makedirs(self.path("nginx"))
        with StaticServer(self.path("origin")) as origin, \
                NginxServer(self.path("nginx"), self.cache) as nginx:
            env = {"PATH": self.shim_dir() + ":" + SYSTEM_PATH, "LARDERBOX_SERVER": nginx.url(),
                   "HOME": self.case_dir}

            def download(tool, url):
                out = self.path("out")
                command = ["curl", "-fsS", "-o", out, url] if tool == "curl" else [
                    "wget", "-q", "-O", out, url]
                result = run(command, env=env)
                self.assertEqual(result.returncode, 0, result.stderr)
                return self.read(out)

            log = nginx.access_log
            urls = {tool: origin.url("/%s.tgz" % tool) for tool in ("curl", "wget")}
            for tool, url in urls.items():
                self.assertEqual(download(tool, url), b"first " + tool.encode())
            learned = self.cache_tool("learn", "--allow", "127.0.0.1", self.cache, log)
            self.assertEqual(learned.returncode, 0, learned.stderr)
            self.assertEqual(sorted(learned.stdout.splitlines()[:-1]),
                             [b"stored " + u.encode() for u in sorted(urls.values())])
            for tool, url in urls.items():
                with self.subTest(tool=tool):
                    self.assertEqual(os.stat(self.entry(url)).st_mtime, OLD)
                    # The origin changes: only a hit still gives the first bytes.
                    self.write_file("origin/%s.tgz" % tool, b"second")
                    self.assertEqual(download(tool, url), b"first " + tool.encode())
            self.assertNoLeftovers(self.cache)
            report = self.cache_tool("report", "--json", log)
        figures = json.loads(report.stdout)["total"]
        self.assertEqual(figures, {"day": "total", "probes": 4, "hits": 2, "misses": 2,
                                   "hit_ratio": 0.5, "downloads": 2,
                                   "bytes": len(b"first curl" + b"first wget")})


class LearnTest(CacheCase):
    def setUp(self):
        super().setUp()
        self.origin = OriginServer().__enter__()
        self.addCleanup(self.origin.__exit__, None, None, None)
        self.origin.files = {"/ok.txt": b"ok\n", "/latest/tool.sh": b"x", "/big.iso": b"b" * 5000}

    def test_policy_refusals_and_bad_lines(self):
        o = self.origin.url
        port = self.origin.port
        # (URL, what learn says of it); one row per policy decision.
        rows = [
            (o("/ok.txt"), "stored"),
            ("http://localhost:%d/ok.txt" % port, "refused: the host is not allowed (--allow)"),
            ("file:///etc/passwd", "refused: the scheme is not http or https"),
            (o("/to-file/passwd"), "refused: redirected to a scheme other than http or https"),
            ("http://u:p@127.0.0.1:%d/ok.txt" % port, "refused: holds user information"),
            (o("/latest/tool.sh"), "refused: excluded by --exclude /latest/"),
            (o("/big.iso"), "refused: larger than --max-size"),
            (o("/stream/endless.iso"), "refused: larger than --max-size"),
            (o("/" + "x" * 100000), "refused: its cache address is too long to be a file name"),
            (o("/missing.txt"), "failed: the origin answered 404"),
        ]
        good = address(o("/ok.txt"))
        lines = [python_line(url) for url, _ in rows] + [
            python_line(o("/ok.txt")),  # a repeat: downloaded once
            python_line(None, path=good.rsplit("/", 1)[0] + "/forged.txt"),  # skipped
            python_line(None, path="/b/not*base64/x"),  # skipped
            python_line(None, path="/b/QUJDR/x"),  # skipped: no base64url length
            python_line(o("/hit.txt"), status=200),
            '127.0.0.1 - - [09/Dec/2026 06:21:00] "HEAD %s' % good,  # truncated
            "\x00\xff garbage \x1b[31m",
        ]
        self.write_file("access.log", "\n".join(lines).encode("latin-1"))
        result = self.cache_tool("learn", "--allow", "127.0.0.1", "--exclude", "/latest/",
                                 "--max-size", "4K", "--jobs", "3", self.cache,
                                 self.path("access.log"))
        self.assertEqual(result.returncode, 1, result.stderr)
        said = result.stdout.decode().splitlines()
        expected = [re.sub(r"^(\w+)", r"\1 " + url, what, count=1) for url, what in rows]
        self.assertEqual(sorted(said[:-1]), sorted(expected))
        self.assertEqual(said[-1], "larderbox-cache learn: 1 stored, 0 present, 1 failed, "
                                   "8 refused, 3 lines skipped")
        self.assertEqual(self.read(self.entry(o("/ok.txt"))), b"ok\n")
        self.assertEqual(os.listdir(self.path("cache", "b")),
                         [stored_path(o("/ok.txt")).split("/")[1]])

    def test_follow_across_rotation_then_sigterm_mid_download(self):
        log = self.path("access.log")
        self.write_file("access.log", b"")
        self.origin.files.update({"/one.txt": b"1", "/two.txt": b"2"})
        follower = self.start("learn", "--follow", "--allow", "127.0.0.1", self.cache, log)
        with open(log, "a") as f:
            f.write(python_line(self.origin.url("/one.txt")))
        wait_for(lambda: os.path.exists(self.entry(self.origin.url("/one.txt"))), "one.txt")
        os.rename(log, log + ".1")
        with open(log, "w") as f:
            f.write(python_line(self.origin.url("/two.txt")))
        wait_for(lambda: os.path.exists(self.entry(self.origin.url("/two.txt"))), "two.txt")
        with open(log, "a") as f:
            f.write(python_line(self.origin.url("/stall/big.iso")))
        wait_for(self.temporaries, "the stalled download")
        follower.send_signal(signal.SIGTERM)
        out, _ = follower.communicate(timeout=15)
        self.assertEqual(follower.returncode, 128 + signal.SIGTERM)
        self.assertIn(b"larderbox-cache learn: 2 stored, 0 present, 0 failed", out)
        self.assertFalse(os.path.exists(self.entry(self.origin.url("/stall/big.iso"))))
        self.assertNoLeftovers(self.cache)

    def test_kill_9_mid_download_leaves_no_entry_and_prune_ages_the_rest(self):
        url = self.origin.url("/stall/killed.iso")
        self.write_file("access.log", python_line(url).encode())
        learner = self.start("learn", "--allow", "127.0.0.1", self.cache, self.path("access.log"))
        wait_for(self.temporaries, "the download")
        learner.kill()
        learner.wait(10)
        self.assertFalse(os.path.exists(self.entry(url)))
        tmp = os.path.join(os.path.dirname(self.entry(url)), self.temporaries()[0])
        pruned = self.cache_tool("prune", "--max-size", "1G", self.cache)
        self.assertEqual((pruned.returncode, self.temporaries()), (0, [tmp.rsplit("/")[-1]]))
        os.utime(tmp, (OLD, OLD))  # more than a day old
        pruned = self.cache_tool("prune", "--max-size", "1G", self.cache)
        self.assertEqual(pruned.returncode, 0, pruned.stderr)
        self.assertEqual(os.listdir(self.path("cache", "b")), [])


class RefreshTest(CacheCase):
    def test_four_outcomes(self):
        for name in ("same", "changed", "gone"):
            self.write_file("origin/%s.txt" % name, name.encode())
            os.utime(self.path("origin/%s.txt" % name), (OLD, OLD))
        with StaticServer(self.path("origin")) as origin:
            urls = {name: origin.url("/%s.txt" % name) for name in ("same", "changed", "gone")}
            urls["down"] = "http://127.0.0.1:1/down.txt"
            self.write_file("access.log", "".join(python_line(u) for u in urls.values()).encode())
            self.cache_tool("learn", "--allow", "127.0.0.1", self.cache, self.path("access.log"))
            self.write_file(os.path.join("cache", stored_path(urls["down"])), b"kept")
            listed = self.cache_tool("list", self.cache)
            self.assertIn(("%12d  2017-07-14T02:40:00Z  %s" % (4, urls["same"])).encode(),
                          listed.stdout.splitlines())
            before = os.stat(self.entry(urls["same"]))
            self.write_file("origin/changed.txt", b"changed again")
            os.utime(self.path("origin/changed.txt"), (OLD + 60, OLD + 60))
            os.unlink(self.path("origin/gone.txt"))
            result = self.cache_tool("refresh", "--jobs", "2", self.cache)
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertEqual(sorted(result.stdout.decode().splitlines()[:-1]), sorted([
            "unchanged " + urls["same"], "updated " + urls["changed"],
            "removed %s: the origin answered 404" % urls["gone"],
            "failed %s: curl exited with status 7 (cannot connect) (kept)" % urls["down"]]))
        after = os.stat(self.entry(urls["same"]))
        self.assertEqual((after.st_ino, after.st_mtime), (before.st_ino, before.st_mtime))
        self.assertEqual(self.read(self.entry(urls["changed"])), b"changed again")
        self.assertEqual(os.stat(self.entry(urls["changed"])).st_mtime, OLD + 60)
        self.assertFalse(os.path.exists(os.path.dirname(self.entry(urls["gone"]))))
        self.assertEqual(self.read(self.entry(urls["down"])), b"kept")


class PruneTest(CacheCase):
    def test_order_and_bound(self):
        urls = ["http://h/%d.bin" % i for i in range(4)]
        outside = self.write_file("outside.txt", b"not the cache's")
        # (log lines, bound, entries left): by access time alone, then by the log.
        cases = [
            ([], 250, [2, 3]),
            ([nginx_line(urls[0], "GET", 200, 100, "09/Dec/2026:10:00:00 +0000"),
              nginx_line(urls[3], "GET", 200, 100, "09/Dec/2026:11:00:00 +0200"),
              nginx_line(urls[1], "HEAD", 200, 0, "10/Dec/2026:00:00:00 +0000")], 150, [0]),
        ]
        for lines, bound, left in cases:
            with self.subTest(log=bool(lines)):
                for i, url in enumerate(urls):
                    entry = self.write_file(os.path.join("cache", stored_path(url)), b"e" * 100)
                    os.utime(entry, (OLD + i, OLD + i))
                link = os.path.join(self.cache, stored_path("http://h/link"))
                os.makedirs(os.path.dirname(link), exist_ok=True)
                os.symlink(outside, link)
                os.utime(link, (OLD - 1, OLD - 1), follow_symlinks=False)
                self.write_file("access.log", "".join(lines).encode())
                logs = ["--log", self.path("access.log")] if lines else []
                result = self.cache_tool("prune", "--max-size", str(bound), *logs, self.cache)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual([i for i, u in enumerate(urls) if os.path.exists(self.entry(u))],
                                 left)
                self.assertFalse(os.path.lexists(link))
                self.assertEqual(len(os.listdir(self.path("cache", "b"))), len(left))
                self.assertEqual(self.read(outside), b"not the cache's")


class ReportTest(CacheCase):
    def test_figures_on_a_known_log(self):
        a, b = "http://h/a.deb", "https://h/b.deb"
        lines = [nginx_line(a, "HEAD", 404, 0), nginx_line(a, "HEAD", 404, 0),
                 nginx_line(b, "HEAD", 200, 0), nginx_line(b, "GET", 200, 1000, agent=False),
                 nginx_line(b, "GET", 200, 500, "10/Dec/2026:00:00:01 +0100"),
                 python_line(a), python_line(a, "GET", 200),  # python logs no size
                 '10.0.0.1 - - [09/Dec/2026:10:00:00 +0100] "GET /index.html HTTP/1.1" 200 9\n']
        self.write_file("access.log", "".join(lines).encode())
        result = self.cache_tool("report", "--json", self.path("access.log"))
        self.assertEqual(result.returncode, 0, result.stderr)
        figures = json.loads(result.stdout)

        def day(name, probes, hits, misses, downloads, size):
            return {"day": name, "probes": probes, "hits": hits, "misses": misses,
                    "hit_ratio": round(hits / probes, 4) if probes else None,
                    "downloads": downloads, "bytes": size}

        self.assertEqual(figures["days"], [day("2026-12-09", 4, 1, 3, 2, 1000),
                                           day("2026-12-10", 0, 0, 0, 1, 500)])
        self.assertEqual(figures["total"], day("total", 4, 1, 3, 3, 1500))
        self.assertEqual(figures["most_missed"], [{"url": a, "misses": 3}])
        self.assertEqual(figures["most_served"], [{"url": b, "downloads": 2, "bytes": 1500},
                                                  {"url": a, "downloads": 1, "bytes": 0}])
        table = self.cache_tool("report", self.path("access.log")).stdout.decode()
        self.assertRegex(table, r"\ntotal +4 +1 +3 +25\.0% +3 +1500\n")


class UsageTest(CacheCase):
    def test_usage_help_and_version(self):
        for args in [[], ["bogus"], ["learn", self.cache, "log"], ["prune", self.cache],
                     ["learn", "--allow", "a b", self.cache, "log"], ["report"]]:
            with self.subTest(args=args):
                result = self.cache_tool(*args)
                self.assertEqual((result.returncode, result.stdout), (2, b""))
                self.assertIn(b"usage: larderbox-cache", result.stderr)
        self.assertFalse(os.path.exists(self.cache))
        with open(os.path.join(SOURCE_DIR, "CMakeLists.txt")) as f:
            version = re.search(r"project\(larderbox VERSION (\S+)", f.read()).group(1)
        self.assertEqual(self.cache_tool("--version").stdout,
                         b"larderbox-cache %s\n" % version.encode())
        for args in (["help", "refresh"], ["refresh", "--help"]):
            helped = self.cache_tool(*args)
            self.assertEqual(helped.returncode, 0)
            self.assertTrue(helped.stdout.startswith(b"usage: larderbox-cache refresh"))


if __name__ == "__main__":
    unittest.main()
