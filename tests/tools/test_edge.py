"""Two tiers on loopback: the shipped nginx.conf as the primary, the shipped edge block in front of
it (its lifetime shortened), an origin, and the shim with the real curl and wget as the edge's
client. What reaches the primary is read from its own log."""

import itertools
import json
import os
import subprocess
import time
import unittest

from nginx_cache import NginxEdge
from tools_support import NginxServer, OriginServer, ToolCase, run, stored_path, wait_for

LIFETIME = 2
# nginx counts an entry's lifetime in whole seconds: it may serve it up to a second longer. The
# rest is the time a shim run takes on a loaded machine.
BOUND = LIFETIME + 1 + 2


class EdgeTest(ToolCase):
    def setUp(self):
        super().setUp()
        self.origin = OriginServer().__enter__()
        self.addCleanup(self.origin.__exit__, None, None, None)
        self.cache = self.path("cache")
        self.primary = NginxServer(self.path("primary"), self.cache).__enter__()
        self.addCleanup(self.primary.__exit__, None, None, None)

    def start_edge(self, lifetime):
        self.edge = NginxEdge(self.path("edge"), self.primary.url(), "%ds" % lifetime).__enter__()
        self.addCleanup(self.edge.__exit__, None, None, None)

    def command(self, tool, url, server):
        out = self.path("out-%d" % time.monotonic_ns())
        argv = (["curl", "-fsS", "-o", out, url] if tool == "curl" else
                ["wget", "-q", "-O", out, url])
        return argv, self.shim_env(server), out

    def download(self, tool, url, server=None, may_fail=False):
        """What `tool` through the shim saves for `url`, with the edge (or `server`) as cache;
        None for a failure that `may_fail` allows."""
        argv, env, out = self.command(tool, url, server or self.edge.url())
        result = run(argv, env=env)
        if may_fail and result.returncode != 0:
            return None
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(out, "rb") as f:
            return f.read()

    def store(self, url, content):
        self.write_file("cache/" + stored_path(url), content)

    def passed_on(self, url):
        """The requests for `url`'s entry that reached the primary."""
        name = "/" + stored_path(url)
        return [r for r in self.primary.received() if r[1] == name]

    def report(self, *logs):
        result = self.cache_tool("report", "--json", *logs)
        self.assertEqual(result.returncode, 0, result.stderr)
        return json.loads(result.stdout)["total"]

    def test_miss_learned_at_the_primary_then_hits_and_one_report(self):
        self.start_edge(60)
        url = self.origin.url("/tool-1.0.tgz")
        self.origin.files["/tool-1.0.tgz"] = b"origin bytes"
        self.assertEqual(self.download("curl", url), b"origin bytes")
        # The edge's HEAD reached the primary as a GET answered 404, which learn reads; a 404 is
        # never cached, so every probe of a missing entry is passed on.
        self.assertEqual(self.download("wget", url), b"origin bytes")
        self.assertEqual([r[0] for r in self.passed_on(url)], ["GET", "GET"])
        learned = self.cache_tool("learn", "--allow", "127.0.0.1", self.cache,
                                  self.primary.access_log)
        self.assertEqual(learned.returncode, 0, learned.stderr)
        self.assertEqual(learned.stdout.splitlines()[0], b"stored " + url.encode())
        self.origin.files["/tool-1.0.tgz"] = b"origin changed"
        for tool in ("curl", "wget"):
            self.assertEqual(self.download(tool, url), b"origin bytes", tool)
        self.assertEqual(len(self.passed_on(url)), 3, "one fetch for two hits")
        # A client of the primary itself: its probe is the primary's to count.
        self.assertEqual(self.download("curl", url, self.primary.url()), b"origin bytes")

        self.edge.received(), self.primary.received()  # every line written
        edge, primary = self.edge.access_log, self.primary.access_log
        fleet = self.report(edge, primary)
        alone = self.report(edge)
        for figure, expected in (("probes", alone["probes"] + 1), ("hits", alone["hits"] + 1),
                                 ("misses", alone["misses"]),
                                 ("downloads", alone["downloads"] + 1), ("passed_on", 3),
                                 ("edge_hits", 1), ("fetched_hits", 1)):
            with self.subTest(figure=figure):
                self.assertEqual(fleet[figure], expected)
        self.assertEqual((alone["probes"], alone["hits"]), (4, 2))

    def test_replaced_and_removed_entries_reach_clients_within_the_lifetime(self):
        self.start_edge(LIFETIME)
        url = self.origin.url("/pkg.deb")
        self.origin.files["/pkg.deb"] = b"origin"
        self.store(url, b"version 1")
        self.assertEqual(self.download("curl", url), b"version 1")
        self.store(url, b"version two")
        tools = itertools.cycle(["curl", "wget"])
        wait_for(lambda: self.download(next(tools), url) == b"version two",
                 "the replaced entry to reach the client", BOUND)
        os.unlink(self.path("cache", stored_path(url)))
        # A probe answered from the edge's copy just before it runs out, then a download that
        # finds it gone, fails: the known limit of an entry removed between probe and download.
        wait_for(lambda: self.download(next(tools), url, may_fail=True) == b"origin",
                 "the removed entry to stop being served", BOUND)

    def test_parallel_first_requests_make_one_upstream_fetch(self):
        self.start_edge(60)
        url = self.origin.url("/big.iso")
        content = os.urandom(4 << 20)
        self.store(url, content)
        children = []
        for tool in ["curl", "wget"] * 3:
            argv, env, out = self.command(tool, url, self.edge.url())
            children.append((subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL), out))
        for child, out in children:
            self.assertEqual(child.wait(timeout=60), 0)
            with open(out, "rb") as f:
                self.assertEqual(f.read(), content)
        self.assertEqual(len(self.passed_on(url)), 1)


if __name__ == "__main__":
    unittest.main()
