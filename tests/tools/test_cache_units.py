"""larderbox-cache's rules tried directly on its package: the access-log reader (lines, rotations,
unreadable lines), the policy, HTTP's rules for a shared cache, sizes and the settings file."""

import collections
import email.utils
import io
import os
import random
import re
import unittest
from unittest import mock

from tools_support import (CACHE, SOURCE_DIR, OriginServer, ToolCase, cache_address,
                           cache_package)

cache_package()  # the package on sys.path, for the imports below
from larderbox_cache import cli, commands, fetch, freshness, learn, logs  # noqa: E402
from larderbox_cache import policy as pol, run as lrun  # noqa: E402

LIMITS = fetch.Limits(max_size=1 << 20, jobs=2, timeout=30, default_lifetime=60)

NGINX = b'10.0.0.1 - - [09/Dec/2026:23:59:59 +0100] "%s /larder/b/%s HTTP/1.1" %s %s "-" "c"'


class LogReaderTest(ToolCase):
    def test_lines(self):
        # (line, (method, segment, name, status, size) or None when it is no request of an entry)
        rows = [(NGINX % (b"GET", b"aHR0cDovL2Eb/f.deb", b"200", b"1500"),
                 (b"GET", b"aHR0cDovL2Eb", b"f.deb", b"200", 1500)),
                (b'127.0.0.1 - - [09/Dec/2026 06:21:00] "HEAD /b/c2Vn/x%20y HTTP/1.1" 404 -',
                 (b"HEAD", b"c2Vn", b"x%20y", b"404", 0)),
                (NGINX % (b"GET", b"c2Vn/a\\x22b", b"404", b"0"), (b"GET", b"c2Vn", b'a"b',
                                                                   b"404", 0)),
                (NGINX % (b"GET", b"c2Vn/f", b"200", b"9" * 4300), None),
                (NGINX % (b"GET", b"c2Vn", b"404", b"0"), None),
                (NGINX.replace(b"/b/", b"/c/") % (b"GET", b"c2Vn/f", b"404", b"0"), None),
                (b"garbage without quotes /b/c2Vn/f", None)]
        for line, expected in rows:
            with self.subTest(line=line[:80]):
                request = logs.parse_line(line)
                self.assertEqual(request and (request.method, request.seg, request.name,
                                              request.status, request.size), expected)

    def read_all(self, reader, rounds=8):
        lines = []
        for _ in range(rounds):
            lines += logs.lines_of(reader.read())
        return lines

    def test_missed_targets(self):
        huge = NGINX % (b"GET", b"c2Vn/f", b"404", b"9" * 4300)
        # (lines, the targets of GET and HEAD misses of entries, lines that cannot be read)
        rows = [([NGINX % (b"HEAD", b"c2Vn/f", b"404", b"0")] * 2, [b"/larder/b/c2Vn/f"] * 2, 0),
                ([NGINX % (b"GET", b"c2Vn/f", b"200", b"5"), NGINX % (b"PUT", b"c2Vn/f", b"404",
                                                                      b"0")], [], 0),
                ([b'127.0.0.1 - - [09/Dec/2026 06:21:00] "GET /b/c2Vn/a b" 404 -'],
                 [b"/b/c2Vn/a b"], 0),
                ([NGINX % (b"GET", b"c2Vn/a\\x22b", b"404", b"0")], [b'/larder/b/c2Vn/a"b'], 0),
                ([huge, NGINX % (b"GET", b"c2Vn/g", b"404", b"0")], [b"/larder/b/c2Vn/g"], 1),
                ([b'GET /b/c2Vn/f HTTP/1.1" 404 0',
                  NGINX.replace(b"/b/", b"/c/") % (b"GET", b"c2Vn/f", b"404", b"0")], [], 1),
                ([b'1 - - [t] "GET /b/c2Vn/f HTTP/1.1" 200 5 "x" 404 "ua"'], [], 0),
                ([NGINX % (b"GET", b"c2Vn/f", b"404", b"0"),
                  NGINX.replace(b"/b/", b"/") % (b"GET", b"favicon.ico", b"404", b"0")],
                 [b"/larder/b/c2Vn/f"], 0)]
        for lines, targets, unreadable in rows:
            with self.subTest(lines=lines[0][:70]):
                self.assertEqual(logs.missed_targets(b"\n".join(lines) + b"\n"),
                                 (targets, unreadable))

    def test_fast_readings_of_misses_agree_with_the_careful_one(self):
        # Blocks made of pieces of log lines, plain ones and every kind of odd one among them.
        pieces = [b"1 - - [t] ", b'] "', b'"', b"GET ", b"HEAD ", b"PUT ", b"/b/", b"/n", b"x",
                  b" ", b"\t", b"\\x41", b" HTTP/1.1", b'" 404 ', b'" 200 ', b"0 ", b"9" * 20,
                  b"\n", b'] "GET /b/s/n HTTP/1.1" 404 0 ', b'] "HEAD /b/q/"r HTTP/1.0" 404 1 ',
                  b'/b/z HTTP/2.0" 404 ', b'] "GET /favicon.ico HTTP/1.1" 404 5\n']
        rng = random.Random(17)
        for _ in range(3000):
            block = b"".join(rng.choice(pieces) for _ in range(rng.randint(1, 40))) + b"\n"
            careful = logs._careful_targets(block, *logs._pieces_and_heads(block))
            for flood in (0.0, float("inf")):  # the block searched, or the requests of misses
                with mock.patch.object(logs, "FLOOD", flood):
                    self.assertEqual(logs.missed_targets(block), careful, block)

    def test_rotations_and_unreadable_lines(self):
        log = self.path("access.log")

        def append(path, text):
            with open(path, "ab") as f:
                f.write(text)

        def copy_truncate():
            append(log, b"c\n")
            with open(log, "rb") as f, open(log + ".1", "wb") as copy:
                copy.write(f.read())
            os.truncate(log, 0)
            append(log, b"d\n")

        def rename_reopen():
            os.rename(log, log + ".1")
            append(log, b"d\n")
            append(log + ".1", b"c\n")  # the server writes to the old file until it reopens

        # (what happens after a and b were read, the lines read after it, lines skipped)
        rows = [(copy_truncate, [b"c", b"d"], 0), (rename_reopen, [b"c", b"d"], 0),
                (lambda: append(log, b"x" * (logs.MAX_LINE + 1) + b"\nc\n"), [b"c"], 1),
                (lambda: append(log, b"c\nd"), [b"c"], 0)]
        for change, expected, skipped in rows:
            with self.subTest(change=getattr(change, "__name__", "append")):
                for path in (log, log + ".1"):
                    if os.path.exists(path):
                        os.unlink(path)
                append(log, b"a\nb\n")
                reader = logs.LogReader(lrun.Run(), log, follow=True)
                self.assertEqual(self.read_all(reader), [b"a", b"b"])
                change()
                self.assertEqual(sorted(self.read_all(reader)), expected)
                self.assertEqual(reader.unreadable(), skipped)
        # Not following, the last line counts though no line feed ends it.
        self.assertEqual(self.read_all(logs.LogReader(lrun.Run(), log, follow=False))[-1], b"d")


class PolicyTest(unittest.TestCase):
    def test_refusals(self):
        policy = pol.Policy(allow=[pol.parse_allow("h.org"), pol.parse_allow("*.d.org:8080")],
                            exclude=[re.compile(r"install\.sh$")])
        https = pol.Policy.target(b"https://h.org/a")[0]
        # (URL, the target that redirected to it or None, the refusal or None)
        rows = [(b"http://h.org/a", None, None), (b"http://x.d.org:8080/a", None, None),
                (b"http://d.org:8080/a", None, "the host is not allowed (--allow)"),
                (b"http://x.d.org/a", None, "the host is not allowed (--allow)"),
                (b"http://u@h.org/a", None, "holds user information"),
                (b"ftp://h.org/a", None, "the scheme is not http or https"),
                (b"http://h.org/a?b=c", None, "query"),
                (b"http://h.org/a?b=c", https, "redirect to h.org is not allowed"),
                (b"https://h.org/a?b=c", https, None),
                (b"http://h.org/a", https, "redirect to h.org is not allowed"),
                (b"http://other.org/a", https, "redirect to other.org is not allowed"),
                (b"http://h.org/install.%73h#x", None, r"excluded by --exclude install\.sh$"),
                (b"http://h.org/install.sh?", None, r"excluded by --exclude install\.sh$"),
                (b"http://h.org/install.s%68%3F", None, None)]
        for url, came_from, refusal in rows:
            with self.subTest(url=url, redirected=came_from is not None):
                self.assertEqual(policy.refusal(url, came_from), refusal)
        # Many at once, the same verdicts: hosts judged once per origin, the others one by one.
        urls = [url for url, came_from, _ in rows if came_from is None] + [
            b"HTTP://X.ORG/a", b"http://h.org:80/a", b"http://u@x.org/a", b"http://x.org"]
        hosts_not_allowed = [b"http://x.org/a", b"https://y.org:8/b?c", b"http://x.org"]
        # A blank anywhere: each asked of refusal(); all hosts not allowed: each URL refused.
        for batch in (urls, urls + [b"http://x.org/a b"], hosts_not_allowed):
            self.assertEqual(policy.refusals(batch, pol.url_origins(batch)),
                             [policy.refusal(url) for url in batch])

    def test_internal_addresses(self):
        internal = ["127.0.0.1", "127.9.9.9", "::1", "fe80::1%2", "169.254.1.1", "10.1.2.3",
                    "172.16.0.1", "192.168.0.1", "fd00::1", "0.0.0.0", "::", "::ffff:127.0.0.1"]
        public = ["93.184.216.34", "2606:4700::1", "::ffff:93.184.216.34"]
        self.assertEqual([a for a in internal + public if pol.internal_address(a)], internal)
        policy = pol.Policy(allow=[pol.parse_allow("*.lan"), ("127.0.0.1", None)])
        # Named itself, the address is allowed; through a pattern or any host, never.
        self.assertTrue(policy.named("127.0.0.1", 80))
        self.assertFalse(policy.named("box.lan", 80, "10.0.0.1"))
        target = pol.Policy.target(b"http://localhost:9/")[0]
        self.assertEqual(pol.Policy(allow_any=True).address(target)[1][0], lrun.Outcome.REFUSED)


    def test_refusals_by_reason_are_bounded(self):
        # Reasons name hosts; a redirecting origin could name hosts without end.
        counter = collections.Counter()
        reasons = [("redirect to h%d is not allowed" % i, 1) for i in range(lrun.REFUSAL_KEYS + 5)]
        lrun.add_refusals(counter, reasons + [("query", 2), ("redirect to h0 is not allowed", 1)])
        self.assertEqual(len(counter), lrun.REFUSAL_KEYS + 1)
        self.assertEqual((counter["other reasons"], counter["redirect to h0 is not allowed"]),
                         (7, 2))
        self.assertEqual(sum(counter.values()), lrun.REFUSAL_KEYS + 8)


class FreshnessTest(unittest.TestCase):
    def test_shared_cache_and_freshness(self):
        now = 1800000000.0
        date = email.utils.formatdate(now, usegmt=True)
        hours = lambda n: email.utils.formatdate(now - n * 3600, usegmt=True)  # noqa: E731
        # (headers, why not stored, freshness lifetime in seconds)
        rows = [
            ({"cache-control": ["no-store"]}, "no-store", None),
            ({"cache-control": ["public, private"]}, "no-store (Cache-Control: private)", None),
            ({"vary": ["Accept-Encoding"]}, None, 86400),
            ({"vary": ["accept-encoding, User-Agent"]}, "no-store (Vary: user-agent)", None),
            ({"vary": ["*"]}, "no-store (Vary: *)", None),
            ({"cache-control": ["max-age=60, s-maxage=30"]}, None, 30),
            ({"cache-control": ["max-age=60"], "expires": [hours(-5)]}, None, 60),
            ({"expires": [hours(-5)], "date": [date]}, None, 5 * 3600),
            ({"expires": ["0"], "date": [date]}, None, 0),
            ({"last-modified": [hours(100)], "date": [date]}, None, 10 * 3600),
            ({"last-modified": [hours(2)], "date": [date]}, None, 3600),
            ({"last-modified": [hours(10000)], "date": [date]}, None, 7 * 86400),
            ({"cache-control": ["no-cache"]}, None, 0),
        ]
        for headers, why, lifetime in rows:
            with self.subTest(headers=headers):
                self.assertEqual(freshness.not_storable(headers), why)
                if lifetime is not None:
                    self.assertEqual(freshness.freshness_lifetime(headers, now), lifetime)
        meta = {"validated": now - 100, "lifetime": 50}
        self.assertEqual([freshness.is_due(m, now) for m in (meta, dict(meta, lifetime=500),
                                                             None, {"validated": "x"})],
                         [True, False, True, True])


class BatchesTest(ToolCase):
    """refresh and learn across batches of two, and a log read 64 bytes at a time: each batch is
    made ready or asked while the one before is in flight."""

    def run_command(self, command, *args):
        out = io.StringIO()
        status = command(lrun.Run(program=CACHE, out=out), *args)
        return status, out.getvalue().splitlines()

    def test_refresh_settles_every_batch(self):
        names = ["/f%d" % i for i in range(5)]
        with OriginServer() as origin:
            for i, name in enumerate(names):
                origin.files[name] = name.encode()
                origin.headers[name] = {"ETag": '"%d"' % i}
            urls = [origin.url(name) for name in names]
            self.assertEqual(self.fill(self.path("cache"), *urls).returncode, 0)
            origin.files["/f3"], origin.headers["/f3"] = b"new", {"ETag": '"new"'}
            with mock.patch.object(commands, "BATCH", 2):
                status, said = self.run_command(commands.refresh, self.path("cache"),
                                                pol.Policy(allow=[("127.0.0.1", None)]), LIMITS)
        self.assertEqual(status, 0)
        self.assertEqual(sorted(said[:-1]), sorted(
            ("updated " if url.endswith("/f3") else "unchanged ") + url for url in urls))
        self.assertEqual(said[-1], "larderbox-cache refresh: 4 unchanged, 1 updated, 0 removed, "
                                   "0 failed, 0 refused, 0 skipped")

    def test_batch_answers_survive_a_transfer_cut_short(self):
        # Read in one parse when whole; a curl stopped mid-line spoils only that transfer.
        batch = fetch.Batch([], os.fsencode(self.path(".")))
        batch.config = b"curlrc"
        records = ['0 0 304 {"etag":["\\"a\\""]}', '1 0 200 {"date":["d"]}', '2 0 200 {"et']
        for whole in (records[:2], records):
            self.write_file("out", "".join("%s %s\n" % (batch.marker, r)
                                           for r in whole).encode())
            results = fetch.Fetcher._results(None, batch)
            self.assertEqual([(i, code, dict(h)) for i, _, code, h in results],
                             [(0, 304, {"etag": ['"a"']}), (1, 200, {"date": ["d"]})])

    def test_learn_says_each_refusal_once_and_sums_those_past_twenty(self):
        # Repeats while their batch is being asked and long after; past the 20 shown, sums per
        # reason and host, batches of one reason and of several among them.
        urls = (["http://a.example/%d" % i for i in range(22)]
                + ["http://b.example:8080/0", "http://c.example/q?0", "http://b.example:8080/1",
                   "http://c.example/q?1"] + ["http://b.example:8080/%d" % i for i in (2, 3, 4)]
                + ["http://a.example/22"])
        order = [0, 1, 2, 3, 4, 2, 5] + list(range(6, 26)) + [1, 26, 27, 28, 29, 29]
        self.write_file("access.log", b"".join(
            b'1.2.3.4 - - [09/Dec/2026:06:00:00 +0000] "HEAD %s HTTP/1.1" 404 0\n'
            % cache_address("", urls[i]).encode() for i in order))
        with mock.patch.object(learn, "BATCH", 4), mock.patch.object(logs, "CHUNK", 256):
            status, said = self.run_command(
                learn.learn, self.path("cache"), [self.path("access.log")],
                pol.Policy(allow=[("c.example", None)]), LIMITS)
        self.assertEqual(status, 0)
        self.assertEqual(said[:20], ["refused %s: the host is not allowed (--allow)" % url
                                     for url in urls[:20]])
        self.assertEqual(said[20:], [
            "refused 10 more URLs: 5 the host is not allowed (--allow) (b.example); 3 the host "
            "is not allowed (--allow) (a.example); 2 query (c.example)",
            "larderbox-cache learn: 0 stored, 0 present, 0 failed, 30 refused, 0 lines skipped"])


class CommandLineTest(ToolCase):
    def test_sizes(self):
        rows = [("500M", 500 << 20), ("10G", 10 << 30), ("10GiB", 10 << 30), ("123", 123)]
        self.assertEqual([cli.size_value(text) for text, _ in rows], [size for _, size in rows])
        for text in ("10IBIBIB", "10 G", "1.5G", "10KB", "-1", "", "9" * 4300):
            with self.subTest(text=text[:20]):
                self.assertRaises(Exception, cli.size_value, text)

    def test_settings_keep_their_quoting(self):
        settings = self.write_file("settings", b"""# a comment
LARDERBOX_CACHE_DIR=/var/cache/larderbox
LARDERBOX_CACHE_LOG="/var/log/a.log /var/log/b b.log"
LARDERBOX_CACHE_POLICY="--allow deb.debian.org --exclude '/(In)?Release$|a b'"
LARDERBOX_CACHE_MAX_SIZE=50G
""")
        self.assertEqual(cli.settings_arguments(settings, ["learn", "--follow"]), [
            "learn", "--allow", "deb.debian.org", "--exclude", "/(In)?Release$|a b",
            "--cache-size", "50G", "--follow", "/var/cache/larderbox", "/var/log/a.log",
            "/var/log/b", "b.log"])
        self.assertEqual(cli.settings_arguments(settings, ["prune"])[:5],
                         ["prune", "--max-size", "50G", "--log", "/var/log/a.log"])
        shipped = os.path.join(SOURCE_DIR, "contrib", "systemd", "larderbox-cache.default")
        self.assertEqual(cli.settings_arguments(shipped, ["refresh"]),
                         ["refresh", "/var/cache/larderbox"])
        bad = self.write_file("bad", b"LARDERBOX_CACHE_DIR=two words\n")
        self.assertRaises(ValueError, cli.read_settings, bad)


if __name__ == "__main__":
    unittest.main()
