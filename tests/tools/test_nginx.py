"""End to end: fill a directory from an origin, serve it with the shipped nginx configuration (and
with `python3 -m http.server`), and download through the shim with the real curl and wget. The
cached files are overwritten after filling, so the bytes tell where a download came from."""

import os
import unittest

from tools_support import (NginxServer, StaticServer, ToolCase, cache_address, http_status, run,
                           server_rules, stored_path)

ORIGIN_FILES = {
    "dist/tool-1.2.tar.gz": os.urandom(100000),
    "a b.txt": b"origin: a b\n",
    "only-at-origin.txt": b"origin: not cached\n",
}
CACHED = ["/dist/tool-1.2.tar.gz", "/a%20b.txt", "/dist/tool-1.2.tar.gz?v=2#top"]


class CacheServerTest(ToolCase):
    def setUp(self):
        super().setUp()
        for name, content in ORIGIN_FILES.items():
            self.write_file("origin/" + name, content)
        self.origin = StaticServer(self.path("origin")).__enter__()
        self.addCleanup(self.origin.__exit__, None, None, None)
        self.cache_dir = self.path("cache")
        urls = [self.origin.url(p) for p in CACHED]
        filled = self.fill(self.cache_dir, *urls)
        self.assertEqual(filled.returncode, 0, filled.stdout + filled.stderr)
        self.cache_bytes = {}
        for url in urls:
            self.cache_bytes[url] = b"cache: " + url.encode() + b"\n"
            with open(os.path.join(self.cache_dir, stored_path(url)), "wb") as f:
                f.write(self.cache_bytes[url])
        # Files that only a listing, an index page or a too-wide location would reveal.
        self.write_file("cache/index.html", b"root index\n")
        self.write_file("cache/outside.txt", b"outside /b/\n")
        self.entry_dir = os.path.dirname(stored_path(urls[0]))
        self.write_file("cache/%s/index.html" % self.entry_dir, b"entry index\n")
        os.makedirs(self.path("nginx"))
        self.nginx = NginxServer(self.path("nginx"), self.cache_dir).__enter__()
        self.addCleanup(self.nginx.__exit__, None, None, None)

    def download(self, tool, server, url):
        """What `tool` through the shim, first on PATH with LARDERBOX_SERVER, saves for `url`."""
        out = self.path("download")
        if os.path.exists(out):
            os.unlink(out)
        command = ["curl", "-fsS", "-o", out, url] if tool == "curl" else ["wget", "-q", "-O", out,
                                                                            url]
        result = run(command, env=self.shim_env(server))
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(out, "rb") as f:
            return f.read()

    def test_hits_come_from_the_cache_and_misses_from_the_origin(self):
        with StaticServer(self.cache_dir) as python_cache:
            for name, server in (("nginx", self.nginx.url()), ("http.server", python_cache.url())):
                for tool in ("curl", "wget"):
                    with self.subTest(server=name, tool=tool):
                        for path in CACHED:
                            url = self.origin.url(path)
                            self.assertEqual(self.download(tool, server, url),
                                             self.cache_bytes[url], path)
                        miss = self.origin.url("/only-at-origin.txt")
                        self.assertEqual(self.download(tool, server, miss),
                                         ORIGIN_FILES["only-at-origin.txt"])

    def test_only_files_are_served(self):
        hit_url = self.origin.url(CACHED[0])
        hit = cache_address(self.nginx.url(), hit_url)
        code, headers = http_status(hit, "HEAD")
        self.assertEqual(code, 200)
        self.assertIn(b"Content-Length: %d" % len(self.cache_bytes[hit_url]), headers)
        code, body = http_status(hit)
        self.assertEqual((code, body), (200, self.cache_bytes[hit_url]))

        miss = cache_address(self.nginx.url(), self.origin.url("/only-at-origin.txt"))
        segment = self.nginx.url("/" + self.entry_dir)
        for name, url, method in [
            ("a miss", miss, "HEAD"),
            ("a miss", miss, "GET"),
            ("the entry's directory", segment, "GET"),
            ("the entry's directory", segment, "HEAD"),
            ("the entry's directory, slashed", segment + "/", "GET"),
            ("the segment root", self.nginx.url("/b/"), "GET"),
            ("the segment root unslashed", self.nginx.url("/b"), "GET"),
            ("the server root", self.nginx.url("/"), "GET"),
            ("a file outside /b/", self.nginx.url("/outside.txt"), "GET"),
            ("the hit, slashed", hit + "/", "GET"),
        ]:
            with self.subTest(name=name, method=method):
                code, body = http_status(url, method)
                self.assertEqual(code, 404, body)
                self.assertNotIn(b"tool-1.2.tar.gz", body, "a listing")
                self.assertNotIn(b"index", body, "an index page")

        code, _ = http_status(hit, "POST")
        self.assertNotEqual(code, 200)


    def test_server_block_and_nginx_conf_serve_alike(self):
        # The tests serve through nginx.conf; the server block for a system nginx must not drift.
        self.assertEqual(server_rules("larderbox-cache.conf"), server_rules("nginx.conf"))


if __name__ == "__main__":
    unittest.main()
