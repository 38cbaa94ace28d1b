"""larderbox-cache serve with the machine's nginx: a miss learned and then a hit through the shim
and the real curl, log reopening, stopping by signal with nothing left running, the refusals; the
metrics parsed back and the HTML page rendered in headless Chromium."""

import os
import re
import shutil
import signal
import socket
import subprocess
import time
import unittest
import zlib

from http_servers import unused_port
from tools_support import (CACHE, SYSTEM_PATH, StaticServer, ToolCase, cache_address, run,
                           stored_path, wait_for)

LOG_LINE = '10.0.0.1 - - [%s] "%s %s HTTP/1.1" %d %d "-" "curl/7.88.1"\n'


def running(pid):
    """True while `pid` is a process that has not ended (a zombie has ended)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rpartition(")")[2].split()[0] != "Z"
    except OSError:
        return False


def parse_exposition(text):
    """{(name, labels): value} of the text format; every sample's family declared by a TYPE line
    before it, every line well formed."""
    samples, types = {}, {}
    for line in text.splitlines():
        if line.startswith("# TYPE "):
            name, kind = line[7:].split(" ")
            assert kind in ("counter", "gauge"), line
            types[name] = kind
            continue
        if line.startswith("# HELP "):
            continue
        match = re.fullmatch(r'([a-z_]+)(?:\{reason="((?:[^"\\]|\\.)*)"\})? (-?[0-9.]+)', line)
        assert match, "not a sample line: %r" % line
        assert match.group(1) in types, "no TYPE before " + line
        samples[(match.group(1), match.group(2))] = float(match.group(3))
    return samples


class Serve:
    """One serve run, its output in a file beside `directory`; its nginx's master and worker
    pids. A learning one (not an edge) may download from 127.0.0.1."""

    def __init__(self, case, directory, *options):
        self.port = unused_port()
        self.out, self.prefix = directory + ".out", os.path.join(directory, "nginx")
        allow = [] if "--upstream" in options else ["--allow", "127.0.0.1"]
        with open(self.out, "wb") as out:
            self.process = subprocess.Popen(
                [CACHE, "serve", "--listen", "127.0.0.1:%d" % self.port] + allow
                + list(options) + [directory], env={"PATH": SYSTEM_PATH},
                stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
        case.addCleanup(self.kill)
        wait_for(lambda: b"\n" in self.output() or self.process.poll() is not None,
                 "serve to start")
        self.server = "http://127.0.0.1:%d" % self.port
        case.assertEqual(self.output().split(b"\n")[0],
                         b"export LARDERBOX_SERVER=" + self.server.encode())

    def output(self):
        with open(self.out, "rb") as f:
            return f.read()

    def pids(self):
        """nginx's master (serve's child, named in its pid file) and its workers, once started."""
        found = []

        def started():
            try:
                with open(os.path.join(self.prefix, "logs", "nginx.pid")) as f:
                    master = int(f.read())
                with open("/proc/%d/stat" % master) as f:
                    parent = int(f.read().rpartition(")")[2].split()[1])
                with open("/proc/%d/task/%d/children" % (master, master)) as f:
                    found[:] = [master] + [int(pid) for pid in f.read().split()]
            except (OSError, ValueError):
                return False
            return parent == self.process.pid and len(found) > 1

        wait_for(started, "nginx's master and worker")
        return found

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait(timeout=20)


class ServeTest(ToolCase):
    def setUp(self):
        super().setUp()
        self.cache = self.path("cache")
        for name in ("a", "b"):
            self.write_file("origin/%s.tgz" % name, b"origin " + name.encode())

    def curl(self, server, url):
        result = run(["curl", "-fsS", url], env=self.shim_env(server))
        self.assertEqual(result.returncode, 0, result.stderr)
        return result.stdout

    def test_miss_learned_hit_reopened_log_metrics_and_sigterm(self):
        metrics = self.path("metrics.prom")
        with StaticServer(self.path("origin")) as origin:
            serve = Serve(self, self.cache, "--status-every", "0.005", "--metrics", metrics)
            a, b = origin.url("/a.tgz"), origin.url("/b.tgz")
            self.assertEqual(self.curl(serve.server, a), b"origin a")
            entry = os.path.join(self.cache, stored_path(a))
            wait_for(lambda: os.path.exists(entry), "the miss to be learned")
            # logrotate's way: rename, then SIGHUP; nginx writes on in a new file.
            log = os.path.join(serve.prefix, "logs", "access.log")
            os.rename(log, log + ".1")
            serve.process.send_signal(signal.SIGHUP)
            wait_for(lambda: os.path.exists(log), "nginx to reopen its log")
            self.curl(serve.server, b)
            wait_for(lambda: os.path.exists(os.path.join(self.cache, stored_path(b))),
                     "a miss in the reopened log to be learned")
            self.write_file("origin/a.tgz", b"changed")
            self.assertEqual(self.curl(serve.server, a), b"origin a")
            pids = serve.pids()
            serve.process.send_signal(signal.SIGTERM)
            self.assertEqual(serve.process.wait(timeout=20), 128 + signal.SIGTERM)
        wait_for(lambda: not any(map(running, pids)), "nginx to end")
        # The last line counts the hit just before the signal; the others came every 0.3 s.
        lines = serve.output().decode().splitlines()
        self.assertEqual(lines[-1], "larderbox-cache serve: 3 probes, 1 hits, hit ratio 33.3%%, "
                         "2 entries, %d bytes" % len(b"origin aorigin b"))
        self.assertGreater(sum(" serve: " in line for line in lines), 1)
        with open(metrics) as f:
            samples = parse_exposition(f.read())
        for name, value in (("probes_total", 3), ("hits_total", 1), ("misses_total", 2),
                            ("downloads_total", 1), ("entries", 2)):
            self.assertEqual(samples[("larderbox_cache_" + name, None)], value, name)
        self.assertAlmostEqual(samples[("larderbox_cache_last_learn_timestamp_seconds", None)],
                               time.time(), delta=60)
        self.assertEqual([n for n in os.listdir(self.case_dir) if n.endswith(".tmp")], [])

    def test_stop_by_sigint_and_sigkill_leaves_nothing_running(self):
        for number, status in ((signal.SIGINT, 130), (signal.SIGKILL, -signal.SIGKILL)):
            with self.subTest(signal=number):
                serve = Serve(self, self.cache)
                pids = serve.pids()
                serve.process.send_signal(number)
                self.assertEqual(serve.process.wait(timeout=20), status)
                wait_for(lambda: not any(map(running, pids)), "nginx to end")
                with socket.socket() as probe:
                    self.assertNotEqual(probe.connect_ex(("127.0.0.1", serve.port)), 0)

    def test_refusals(self):
        listening = socket.socket()
        listening.bind(("127.0.0.1", 0))
        listening.listen()
        self.addCleanup(listening.close)
        closed = self.path("closed")
        os.makedirs(closed, mode=0o700)
        os.chmod(closed, 0o700)
        hide_sbin = ["unshare", "-m", "sh", "-c",
                     'mount -t tmpfs none /usr/sbin && exec "$@"', "sh"]
        rows = [
            ("no nginx", hide_sbin, [], self.cache,
             "nginx is not installed (not on PATH, nor in /usr/sbin, /sbin): install Debian's "
             "package nginx"),
            ("taken port", [], ["--listen", "127.0.0.1:%d" % listening.getsockname()[1]],
             self.cache, "port %d is taken" % listening.getsockname()[1]),
            ("unreadable DIR", [], [], os.path.join(closed, "cache"),
             "nginx's workers run as nobody, who cannot reach %s/cache/b" % closed),
        ]
        for what, wrapper, options, directory, message in rows:
            with self.subTest(what):
                if what == "unreadable DIR" and os.geteuid() != 0:
                    self.skipTest("nginx's workers change account only when root starts it")
                if wrapper and run(wrapper + ["true"]).returncode != 0:
                    self.skipTest("no mount namespace to hide /usr/sbin in: "
                                  + run(wrapper + ["true"]).stderr.decode())
                options = options or ["--listen", "127.0.0.1:%d" % unused_port()]
                result = run(wrapper + [CACHE, "serve", "--allow-any"] + options + [directory],
                             env={"PATH": SYSTEM_PATH})
                self.assertEqual(result.returncode, 1, result.stderr)
                self.assertIn(message, result.stderr.decode())
                self.assertEqual(result.stdout, b"")
                self.assertFalse(os.path.exists(os.path.join(directory, "nginx", "logs",
                                                             "nginx.pid")))

    def test_edge_passes_misses_on_and_serves_hits_from_its_proxy_cache(self):
        metrics = self.path("edge.prom")
        with StaticServer(self.path("origin")) as origin:
            primary = Serve(self, self.cache)
            edge_dir = self.path("edge")
            edge = Serve(self, edge_dir, "--upstream", primary.server + "/", "--metrics", metrics,
                         "--cache-size", "10M")
            a = origin.url("/a.tgz")
            self.assertEqual(self.curl(edge.server, a), b"origin a")
            wait_for(lambda: os.path.exists(os.path.join(self.cache, stored_path(a))),
                     "the primary to learn the miss the edge passed on")
            self.write_file("origin/a.tgz", b"changed")
            for _ in range(2):  # fetched from the primary, then from the edge's own cache
                self.assertEqual(self.curl(edge.server, a), b"origin a")
            pids = edge.pids()
            edge.process.send_signal(signal.SIGTERM)
            self.assertEqual(edge.process.wait(timeout=20), 128 + signal.SIGTERM)
        wait_for(lambda: not any(map(running, pids)), "the edge's nginx to end")
        with open(os.path.join(edge.prefix, "logs", "access.log")) as f:
            self.assertEqual([line.rsplit(" ", 1)[1] for line in f.read().splitlines()],
                             ["cache=MISS"] * 2 + ["cache=HIT"] * 3)
        self.assertEqual(sorted(os.listdir(edge_dir)), ["edge-cache", "nginx"])
        last = edge.output().decode().splitlines()[-1]
        self.assertRegex(last, r"^larderbox-cache serve: 3 probes, 2 hits, hit ratio 66\.7%, "
                         r"1 entries, [0-9]{3,} bytes$")
        with open(metrics) as f:
            samples = parse_exposition(f.read())
        for name, value in (("probes_total", 3), ("hits_total", 2), ("entries", 1)):
            self.assertEqual(samples[("larderbox_cache_" + name, None)], value, name)

    def test_edge_usage_errors(self):
        for upstream in ("https://h", "http://u@h:1", "http://h/b/", "http://h/?q", "http://h:0",
                         "http://[::g]", "ftp://h", "http://h:1 ; x"):
            with self.subTest(upstream):
                result = run([CACHE, "serve", "--upstream", upstream, self.cache],
                             env={"PATH": SYSTEM_PATH})
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertIn(b"--upstream", result.stderr)
        for options in (["--upstream", "http://h", "--allow-any"],
                        ["--upstream", "http://localhost:8080"],
                        ["--upstream", "http://127.0.0.1:9", "--listen", "0.0.0.0:9"],
                        ["--edge-lifetime", "5", "--allow-any"]):
            with self.subTest(options):
                result = run([CACHE, "serve"] + options + [self.cache], env={"PATH": SYSTEM_PATH})
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertFalse(os.path.exists(self.cache))


def png_byte_values(path):
    """How many byte values the image data of a PNG holds: a page of one colour gives a handful
    (the colour and the row filters), a drawn page dozens."""
    with open(path, "rb") as f:
        data = f.read()
    idat, at = b"", 8
    while at < len(data):
        length = int.from_bytes(data[at:at + 4], "big")
        if data[at + 4:at + 8] == b"IDAT":
            idat += data[at + 8:at + 8 + length]
        at += 12 + length
    return len(set(zlib.decompress(idat)))


class MetricsTest(ToolCase):
    def setUp(self):
        super().setUp()
        self.cache = self.path("cache")
        urls = ["http://origin.example/pkg/%s.tgz" % n for n in ("one", "two")]
        self.fill_entry(urls[0], b"x" * 10)
        when = "09/Dec/2026:10:00:00 +0000"
        lines = [("HEAD", urls[0], 404, 0), ("HEAD", urls[0], 200, 0), ("GET", urls[0], 200, 10),
                 ("HEAD", urls[1], 404, 0), ("HEAD", urls[1], 404, 0)]
        self.log = self.write_file("access.log", "".join(
            LOG_LINE % (when, m, cache_address("", u), s, n) for m, u, s, n in lines).encode())

    def fill_entry(self, url, content):
        self.write_file(os.path.join(self.cache, stored_path(url)), content)

    def test_prometheus_file_parsed_back_and_replaced_in_one_step(self):
        target = self.path("larderbox.prom")
        self.write_file("larderbox.prom", b"old")
        before = os.stat(target).st_ino
        result = self.cache_tool("report", "--prometheus", target, "--dir", self.cache, self.log)
        self.assertEqual((result.returncode, result.stdout), (0, b""), result.stderr)
        self.assertNotEqual(os.stat(target).st_ino, before)
        self.assertEqual(sorted(os.listdir(self.case_dir)),
                         ["access.log", "cache", "larderbox.prom"])
        with open(target) as f:
            samples = parse_exposition(f.read())
        expected = {"probes_total": 4, "hits_total": 1, "misses_total": 3, "downloads_total": 1,
                    "served_bytes_total": 10, "entries": 1, "bytes": 10}
        self.assertEqual(samples, {("larderbox_cache_" + k, None): v
                                   for k, v in expected.items()})
        to_stdout = self.cache_tool("report", "--prometheus", "-", self.log)
        self.assertEqual(parse_exposition(to_stdout.stdout.decode())[
            ("larderbox_cache_misses_total", None)], 3)

    def test_learn_and_refresh_recorded_for_the_standalone_report(self):
        """Refusals summed over learn runs and the last learn and refresh times reach report
        --prometheus --dir; prune keeps the record, a damaged one is passed over."""
        allow = ["--allow", "127.0.0.1", self.cache]
        refused = ("larderbox_cache_refusals_total", "the host is not allowed (--allow)")
        rows = [  # command (None: damage the record), refusals shown, times shown
            (["learn"] + allow + [self.log], 2, {"learn"}),
            (["learn"] + allow + [self.log], 4, {"learn"}),
            (["refresh"] + allow, 4, {"learn", "refresh"}),
            (["prune", "--max-size", "1G", self.cache], 4, {"learn", "refresh"}),
            (None, None, set()),
        ]
        for command, refusals, times in rows:
            with self.subTest(command=command):
                if command is None:
                    self.write_file(os.path.join(self.cache, "meta", ".runs.json"), b"{garbled")
                else:
                    done = self.cache_tool(*command)
                    self.assertEqual(done.returncode, 0, done.stderr)
                result = self.cache_tool("report", "--prometheus", "-", "--dir", self.cache,
                                         self.log)
                self.assertEqual(result.returncode, 0, result.stderr)
                samples = parse_exposition(result.stdout.decode())
                self.assertEqual(samples.get(refused), refusals)
                self.assertEqual(samples[("larderbox_cache_entries", None)], 1)
                for kind in ("learn", "refresh"):
                    when = samples.get(("larderbox_cache_last_%s_timestamp_seconds" % kind, None))
                    self.assertEqual(when is not None, kind in times, kind)
                    if when is not None:
                        self.assertAlmostEqual(when, time.time(), delta=60)

    def test_html_page_in_headless_chromium(self):
        chromium = shutil.which("chromium", path=SYSTEM_PATH)
        if chromium is None:
            self.skipTest("chromium is not installed (scripts/install-deps installs it)")
        page = self.path("report.html")
        result = self.cache_tool("report", "--html", page, self.log)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(page) as f:
            text = f.read()
        self.assertIn("http://origin.example/pkg/two.tgz", text)
        # A page that loads anything is caught: the policy blocks it and the console says so.
        leaky = self.write_file("leaky.html", text.replace(
            "</body>", '<img src="http://127.0.0.1:%d/x.png"></body>' % unused_port()).encode())
        blank = self.write_file("blank.html", b"<!DOCTYPE html><html><body></body></html>")
        for name, path, console, drawn in (("page", page, False, True),
                                           ("page with an outside image", leaky, True, True),
                                           ("blank page", blank, False, False)):
            with self.subTest(name):
                shot = self.path(name.replace(" ", "-") + ".png")
                result = run([chromium, "--headless", "--no-sandbox", "--disable-gpu",
                              "--hide-scrollbars", "--window-size=900,700",
                              "--screenshot=" + shot, "--enable-logging=stderr", "--v=0",
                              "file://" + path], env={"PATH": SYSTEM_PATH, "HOME": self.case_dir},
                             timeout=120)
                if not os.path.exists(shot):
                    self.skipTest("chromium cannot start here: %s" % result.stderr[-500:])
                errors = [line for line in result.stderr.decode().splitlines()
                          if ":CONSOLE" in line]
                self.assertEqual(bool(errors), console, errors)
                self.assertEqual(png_byte_values(shot) > 16, drawn)


if __name__ == "__main__":
    unittest.main()
