"""larderbox-cache: the miss -> learn -> hit loop through the shim and the shipped nginx block, the
policy, bad log lines, --follow across a rotation, signals, refresh, prune, report, list, usage."""

import json
import os
import re
import signal
import subprocess
import unittest

from tools_support import (CACHE, SOURCE_DIR, SYSTEM_PATH, NginxServer, OriginServer,
                           StaticServer, ToolCase, cache_address, copy_cache_tool, run,
                           stored_path, wait_for)

OLD = 1500000000  # the origin's modification time, kept by the entries


def address(url):
    return cache_address("", url)  # "/b/SEGMENT/NAME"


def python_line(url, method="HEAD", status=404, path=None):
    return '127.0.0.1 - - [09/Dec/2026 06:21:00] "%s %s HTTP/1.1" %d -\n' % (
        method, path or address(url), status)


def nginx_line(url, method, status, size, when="09/Dec/2026:23:59:59 +0100", agent=True):
    return '10.0.0.1 - - [%s] "%s /larder%s HTTP/1.1" %d %d%s\n' % (
        when, method, address(url), status, size, ' "-" "curl/7.88.1"' if agent else "")


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
            env = self.shim_env(nginx.url())

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
        self.origin.files = {"/ok.txt": b"ok\n", "/ok2.txt": b"ok2\n", "/latest/tool.sh": b"x",
                             "/big.iso": b"b" * 5000, "/install.sh": b"i", "/nostore.txt": b"n",
                             "/private.txt": b"p", "/vary.txt": b"v"}
        self.origin.headers = {"/nostore.txt": {"Cache-Control": "no-store"},
                               "/private.txt": {"Cache-Control": "private"},
                               "/vary.txt": {"Vary": "Accept-Encoding, Cookie"}}

    def test_policy_refusals_and_bad_lines(self):
        o = self.origin.url
        port = self.origin.port
        self.origin.redirects = {"/hop/in": o("/ok2.txt"),
                                 "/hop/out": "http://127.0.0.2:%d/ok.txt" % port}
        # (URL, what learn says of it); one row per policy decision.
        rows = [
            (o("/ok.txt"), "stored"),
            (o("/hop/in"), "stored"),
            ("http://localhost:%d/ok.txt" % port, "refused: the host is not allowed (--allow)"),
            ("file:///etc/passwd", "refused: the scheme is not http or https"),
            (o("/to-file/passwd"), "refused: redirect to another scheme is not allowed"),
            (o("/hop/out"), "refused: redirect to 127.0.0.2 is not allowed"),
            ("http://u:p@127.0.0.1:%d/ok.txt" % port, "refused: holds user information"),
            (o("/latest/tool.sh"), "refused: excluded by --exclude /latest/"),
            (o("/install.sh?"), r"refused: excluded by --exclude install\.sh$"),
            (o("/install.sh#x"), r"refused: excluded by --exclude install\.sh$"),
            (o("/install.%73h"), r"refused: excluded by --exclude install\.sh$"),
            (o("/ok.txt?package=hello"), "refused: query"),
            (o("/nostore.txt"), "refused: no-store"),
            (o("/private.txt"), "refused: no-store (Cache-Control: private)"),
            (o("/vary.txt"), "refused: no-store (Vary: cookie)"),
            (o("/big.iso"), "refused: larger than --max-size"),
            (o("/stream/endless.iso"), "refused: larger than --max-size"),
            (o("/" + "x" * 100000), "refused: its cache address is too long to be a file name"),
            (o("/trickle/slow.iso"), "failed: curl exited with status 28 (timed out)"),
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
            # A size no file has: skipped, never a crash.
            nginx_line(o("/ok.txt"), "GET", 404, 0).replace(" 404 0", " 404 " + "9" * 4300),
        ]
        self.write_file("access.log", "\n".join(lines).encode("latin-1"))
        result = self.cache_tool("learn", "--allow", "127.0.0.1", "--exclude", "/latest/",
                                 "--exclude", r"install\.sh$", "--max-size", "4K", "--jobs", "3",
                                 "--timeout", "2", self.cache, self.path("access.log"))
        self.assertEqual(result.returncode, 1, result.stderr)
        said = result.stdout.decode().splitlines()
        expected = [re.sub(r"^(\w+)", r"\1 " + url, what, count=1) for url, what in rows]
        self.assertEqual(sorted(said[:-1]), sorted(expected))
        self.assertEqual(said[-1], "larderbox-cache learn: 2 stored, 0 present, 2 failed, "
                                   "16 refused, 4 lines skipped")
        self.assertEqual(self.read(self.entry(o("/ok.txt"))), b"ok\n")
        self.assertEqual(self.read(self.entry(o("/hop/in"))), b"ok2\n")
        self.assertEqual(sorted(os.listdir(self.path("cache", "b"))),
                         sorted(stored_path(o(p)).split("/")[1] for p in ("/ok.txt", "/hop/in")))
        self.assertNotIn("/ok.txt?package=hello", self.origin.requests)
        self.assertNoLeftovers(self.cache)

    def test_internal_addresses_and_refusal_summary(self):
        urls = [self.origin.url("/r%d.txt" % i) for i in range(25)]
        self.write_file("access.log", "".join(python_line(u) for u in urls).encode())
        result = self.cache_tool("learn", "--allow-any", self.cache, self.path("access.log"))
        self.assertEqual(result.returncode, 0, result.stderr)
        said = result.stdout.decode().splitlines()
        reason = "127.0.0.1 is an internal address (name it with --allow)"
        shown = set(said[:20])  # in the order the downloads ran
        self.assertEqual(len(shown), 20)
        self.assertLessEqual(shown, {"refused %s: %s" % (u, reason) for u in urls})
        self.assertEqual(said[20:], [
            "refused 5 more URLs: 5 %s (127.0.0.1)" % reason,
            "larderbox-cache learn: 0 stored, 0 present, 0 failed, 25 refused, 0 lines skipped"])
        self.assertEqual(self.origin.requests, [])

    def test_follow_rotations_relearning_and_sigterm_mid_download(self):
        log = self.path("access.log")
        self.write_file("access.log", b"")
        names = ["/f%d.txt" % i for i in range(5)]
        self.origin.files.update({name: name.encode() for name in names})
        url = {name: self.origin.url(name) for name in names}
        follower = self.start("learn", "--follow", "--allow", "127.0.0.1", self.cache, log)

        def miss(path, name):
            with open(path, "a") as f:
                f.write(python_line(url[name]))

        def learned(name):
            wait_for(lambda: os.path.exists(self.entry(url[name])), name)

        miss(log, names[0])
        learned(names[0])
        # Renamed, a new log made, and a line still written to the old one (a late reopen).
        os.rename(log, log + ".1")
        self.write_file("access.log", b"")
        miss(log + ".1", names[1])
        miss(log, names[2])
        learned(names[1])
        learned(names[2])
        # Copied and truncated, with a line the copy holds that was never read from the log.
        with open(log, "a") as f:
            f.write(python_line(url[names[3]]))
            f.flush()
            with open(log) as source, open(log + ".1", "w") as copy:
                copy.write(source.read())
            f.truncate(0)
        miss(log, names[4])
        learned(names[3])
        learned(names[4])
        # A pruned entry is learned again at its next miss.
        self.assertEqual(self.cache_tool("prune", "--max-size", "0", self.cache).returncode, 0)
        miss(log, names[0])
        learned(names[0])
        with open(log, "a") as f:
            f.write(python_line(self.origin.url("/stall/big.iso")))
        wait_for(lambda: self.downloads(self.cache), "the stalled download")
        follower.send_signal(signal.SIGTERM)
        out, _ = follower.communicate(timeout=15)
        self.assertEqual(follower.returncode, 128 + signal.SIGTERM)
        self.assertIn(b"larderbox-cache learn: 6 stored, 0 present, 0 failed", out)
        self.assertFalse(os.path.exists(self.entry(self.origin.url("/stall/big.iso"))))
        self.assertNoLeftovers(self.cache)

    def test_follow_revalidates_entries_as_they_fall_due(self):
        self.origin.files["/short"] = b"first"
        self.origin.headers["/short"] = {"ETag": '"1"', "Cache-Control": "max-age=1"}
        self.write_file("access.log", python_line(self.origin.url("/short")).encode())
        self.start("learn", "--follow", "--allow", "127.0.0.1", self.cache,
                   self.path("access.log"))
        entry = self.entry(self.origin.url("/short"))
        wait_for(lambda: os.path.exists(entry), "the entry")
        wait_for(lambda: ("/short", '"1"', None) in self.origin.conditions, "a revalidation")
        self.origin.files["/short"] = b"second"
        self.origin.headers["/short"] = {"ETag": '"2"', "Cache-Control": "max-age=1"}
        wait_for(lambda: self.read(entry) == b"second", "the new bytes", timeout=20)

    def test_kill_9_takes_the_download_along_and_the_next_run_cleans_up(self):
        url = self.origin.url("/stall/killed.iso")
        self.write_file("access.log", python_line(url).encode())
        learner = self.start("learn", "--allow", "127.0.0.1", self.cache, self.path("access.log"))
        wait_for(lambda: self.downloads(self.cache), "the download")
        learner.kill()
        learner.wait(10)
        # Its curl dies with it: no process is left asking for the URL.
        wait_for(lambda: not curls_asking_for(url), "curl to end with learn")
        self.assertFalse(os.path.exists(self.entry(url)))
        self.assertEqual(len(self.downloads(self.cache)), 1)
        pruned = self.cache_tool("prune", "--max-size", "1G", self.cache)
        self.assertEqual(pruned.returncode, 0, pruned.stderr)
        self.assertNoLeftovers(self.cache)

    def test_never_writes_through_a_link(self):
        url = self.origin.url("/ok.txt")
        outside = self.path("outside")
        os.makedirs(outside)
        segment = os.path.dirname(self.entry(url))
        os.makedirs(os.path.dirname(segment))
        os.symlink(outside, segment)
        self.write_file("access.log", python_line(url).encode())
        result = self.cache_tool("learn", "--allow", "127.0.0.1", self.cache,
                                 self.path("access.log"))
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertTrue(result.stdout.startswith(b"failed " + url.encode()), result.stdout)
        self.assertEqual(os.listdir(outside), [])
        self.assertNoLeftovers(self.cache)

    def test_larderbox_path_failure_ends_the_run_cleanly(self):
        tools = self.path("tools")
        os.makedirs(tools)
        copy_cache_tool(tools)
        self.write_file("tools/larderbox-path", b"#!/bin/sh\necho broken >&2\nexit 70\n", 0o755)
        self.write_file("access.log", python_line(self.origin.url("/ok.txt")).encode())
        result = run([os.path.join(tools, "larderbox-cache"), "learn", "--allow", "127.0.0.1",
                      self.cache, self.path("access.log")], env={"PATH": SYSTEM_PATH})
        self.assertEqual(result.returncode, 3, result.stderr)
        self.assertIn(b"larderbox-path failed: broken", result.stderr)
        self.assertNoLeftovers(self.cache)

    def test_cache_size_evicts_the_least_recently_served(self):
        names = ["/e%d.bin" % i for i in range(3)]
        self.origin.files.update({name: b"e" * 100 for name in names})
        urls = [self.origin.url(name) for name in names]
        self.write_file("first.log", "".join(python_line(u) for u in urls[:2]).encode())
        first = self.cache_tool("learn", "--allow", "127.0.0.1", self.cache, self.path("first.log"))
        self.assertEqual(first.returncode, 0, first.stderr)
        # e0 was read last, but e1 is served (a GET in the log) before e2 is missed.
        os.utime(self.entry(urls[0]), (OLD + 10, OLD))
        os.utime(self.entry(urls[1]), (OLD, OLD))
        lines = [python_line(urls[1], "GET", 200), python_line(urls[2])]
        self.write_file("second.log", "".join(lines).encode())
        result = self.cache_tool("learn", "--allow", "127.0.0.1", "--cache-size", "250",
                                 self.cache, self.path("second.log"))
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("evicted %s (100 bytes)" % urls[0], result.stdout.decode().splitlines())
        self.assertEqual([os.path.exists(self.entry(u)) for u in urls], [False, True, True])


def curls_asking_for(url):
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                if url.encode() in f.read().split(b"\0"):
                    found.append(pid)
        except OSError:
            pass
    return found


class RefreshTest(CacheCase):
    def test_outcomes(self):
        origin = OriginServer().__enter__()
        self.addCleanup(origin.__exit__, None, None, None)
        o = origin.url
        modified = "Fri, 14 Jul 2017 02:40:00 GMT"
        # name -> (first bytes and headers, what the origin does next, the refresh line)
        rows = {
            "etag-same": ({"ETag": '"1"'}, None, "unchanged"),
            "etag-changed": ({"ETag": '"1"', "Last-Modified": modified},
                             (b"new", {"ETag": '"2"', "Last-Modified": modified}), "updated"),
            "time-same": ({"Last-Modified": modified}, None, "unchanged"),
            "plain-same": ({}, None, "unchanged"),
            "plain-changed": ({}, (b"other", {}), "updated"),
            "gone": ({}, "gone", "removed: the origin answered 404"),
            "hop-out": ({}, "hop", "refused: redirect to 127.0.0.2 is not allowed (kept)"),
            "no-store": ({}, (b"x", {"Cache-Control": "no-store"}), "refused: no-store (kept)"),
        }
        for name, (headers, _, _) in rows.items():
            origin.files["/" + name] = name.encode()
            origin.headers["/" + name] = headers
        urls = [o("/" + name) for name in rows] + ["http://127.0.0.1:1/down.txt"]
        self.write_file("access.log", "".join(python_line(u) for u in urls[:-1]).encode())
        allow = ("--allow", "127.0.0.1")
        learned = self.cache_tool("learn", *allow, self.cache, self.path("access.log"))
        self.assertEqual(learned.returncode, 0, learned.stdout)
        self.write_file(os.path.join("cache", stored_path(urls[-1])), b"kept")
        listed = self.cache_tool("list", self.cache)
        self.assertIn(("%12d  2017-07-14T02:40:00Z  %s" % (9, o("/time-same"))).encode(),
                      listed.stdout.splitlines())
        before = {u: os.stat(self.entry(u)) for u in urls}
        for name, (_, change, _) in rows.items():
            if change == "gone":
                del origin.files["/" + name]
            elif change == "hop":
                origin.redirects["/" + name] = "http://127.0.0.2:%d/x" % origin.port
            elif change is not None:
                origin.files["/" + name], origin.headers["/" + name] = change
        origin.conditions.clear()
        result = self.cache_tool("refresh", *allow, "--jobs", "2", self.cache)
        self.assertEqual(result.returncode, 1, result.stderr)
        said = sorted(result.stdout.decode().splitlines()[:-1])
        expected = [re.sub(r"^(\w+)", r"\1 " + o("/" + name), line, count=1)
                    for name, (_, _, line) in rows.items()]
        expected.append("failed %s: curl exited with status 7 (cannot connect) (kept)" % urls[-1])
        self.assertEqual(said, sorted(expected))
        asked = {path: (match, since) for path, match, since in origin.conditions}
        self.assertEqual(asked["/etag-same"], ('"1"', None))
        self.assertEqual(asked["/time-same"], (None, modified))
        for name, (_, change, line) in rows.items():
            url = o("/" + name)
            with self.subTest(name=name):
                if line == "unchanged" or "(kept)" in line:
                    after = os.stat(self.entry(url))
                    self.assertEqual((after.st_ino, after.st_mtime),
                                     (before[url].st_ino, before[url].st_mtime))
                elif line == "updated":
                    self.assertEqual(self.read(self.entry(url)), change[0])
        self.assertFalse(os.path.exists(os.path.dirname(self.entry(o("/gone")))))
        self.assertEqual(self.read(self.entry(urls[-1])), b"kept")
        # --due: only an entry whose freshness has run out is asked again.
        origin.headers["/etag-same"]["Cache-Control"] = "max-age=0"
        self.cache_tool("refresh", *allow, self.cache)
        origin.requests.clear()
        due = self.cache_tool("refresh", *allow, "--due", self.cache)
        self.assertEqual(due.returncode, 1, due.stderr)  # the entry whose origin is down
        self.assertEqual(sorted(origin.requests), ["/etag-same"])
        self.assertNoLeftovers(self.cache)


class PruneTest(CacheCase):
    def test_order_and_bound(self):
        urls = ["http://h/%d.bin" % i for i in range(4)]
        outside = self.write_file("outside.txt", b"not the cache's")
        # (log lines, None for a log that cannot be read, bound, entries left, status): by
        # access time alone, then by the log, then by access time for want of the log.
        cases = [
            ([], 250, [2, 3], 0),
            ([nginx_line(urls[0], "GET", 200, 100, "09/Dec/2026:10:00:00 +0000"),
              nginx_line(urls[3], "GET", 200, 100, "09/Dec/2026:11:00:00 +0200"),
              nginx_line(urls[1], "HEAD", 200, 0, "10/Dec/2026:00:00:00 +0000")], 150, [0], 0),
            (None, 250, [2, 3], 1),
        ]
        for lines, bound, left, status in cases:
            with self.subTest(log=lines):
                for i, url in enumerate(urls):
                    entry = self.write_file(os.path.join("cache", stored_path(url)), b"e" * 100)
                    os.utime(entry, (OLD + i, OLD + i))
                link = os.path.join(self.cache, stored_path("http://h/link"))
                os.makedirs(os.path.dirname(link), exist_ok=True)
                os.symlink(outside, link)
                os.utime(link, (OLD - 1, OLD - 1), follow_symlinks=False)
                self.write_file("access.log", "".join(lines or []).encode())
                logs = ["--log", self.path("access.log" if lines else "missing.log")]
                result = self.cache_tool("prune", "--max-size", str(bound),
                                         *(logs if lines != [] else []), self.cache)
                self.assertEqual(result.returncode, status, result.stderr)
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
    def test_statuses(self):
        missing = self.path("missing")
        # (arguments, status): sizes as documented and nothing else; a DIR that is not there.
        rows = [(["prune", "--max-size", size, missing], 2)
                for size in ("10IBIBIB", "10 G", "1.5G", "10KB", "-1", "", "9" * 4300)] + [
            (["prune", "--max-size", size, self.cache], 0)
            for size in ("500M", "10G", "10GiB", "123")] + [
            (["list", missing], 1), (["prune", "--max-size", "1G", missing], 1),
            (["refresh", "--allow-any", missing], 1)]
        settings = self.write_file("settings", ("LARDERBOX_CACHE_DIR='%s'\n" % self.cache).encode())
        rows += [(["--settings", settings, "list"], 0), (["--settings", missing, "list"], 2),
                 (["--settings", settings, "prune"], 2)]  # no size in the file
        os.makedirs(self.cache)
        for args, status in rows:
            with self.subTest(args=args[:-1]):
                result = self.cache_tool(*args)
                self.assertEqual(result.returncode, status, result.stderr)
                if status == 1:
                    self.assertIn(b"cannot read", result.stderr)
                if args[0] == "--settings" and status == 0:
                    self.assertEqual(result.stdout, b"")  # the cache it names is empty
        self.assertFalse(os.path.exists(missing))

    def test_usage_help_and_version(self):
        for args in [[], ["bogus"], ["learn", self.cache, "log"], ["prune", self.cache],
                     ["refresh", self.cache], ["learn", "--allow", "a b", self.cache, "log"],
                     ["report"]]:
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
