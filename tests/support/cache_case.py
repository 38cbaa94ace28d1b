"""The shim-versus-real runner of the black-box suites: the shim as bin/curl and bin/wget ahead of
the machine's real tools, an origin and a cache server on 127.0.0.1 that serve different bytes for
the same download, so every test can tell where the bytes came from, and a stand-in real tool that
records how the probe and the hand-over called it. Also the comparison of one command run with the
real tool alone and through the shim, which the companion-tool suites share."""

import os

from cache_layout import cache_address
from harness import TIMEOUT, ShimCase
from http_servers import HttpServer

REAL = {"curl": "/usr/bin/curl", "wget": "/usr/bin/wget"}
SYSTEM_PATH = "/usr/bin:/bin"
NAME = "tool-1.2.tar.gz"
ORIGIN_BODY = b"bytes from the origin\n" * 3000
CACHE_BODY = b"bytes from the cache\n" * 2000


def fake_tool_script(tool, case_dir, probe_status=0, probe_output=0, then="exec"):
    """A shell script that stands in for the real tool. Called the way the probe calls the tool
    (recognised by its header-only option, -I or --spider) it records its environment, arguments,
    working directory and standard input, optionally writes `probe_output` bytes to both its
    stdout and stderr, and exits with `probe_status`. Any other call records its environment,
    arguments and working directory and then execs the machine's real tool ("exec"), records its
    standard input ("stdin") or just exits with 0 ("stop"). Only absolute paths: the probe's call
    has no PATH."""
    if then == "exec":
        tail = 'exec %s "$@"\n' % REAL[tool]
    elif then == "stdin":
        tail = "/bin/cat > '%s/real-stdin'\n" % case_dir
    else:
        tail = "exit 0\n"
    return ("#!/bin/sh\n"
            'case " $* " in\n'
            '*" -I "*|*" --spider "*)\n'
            "  /bin/cat /proc/$$/environ > '{d}/probe-environ'\n"
            "  printf '%s\\0' \"$@\" > '{d}/probe-args'\n"
            "  /bin/readlink /proc/$$/cwd > '{d}/probe-cwd'\n"
            "  /bin/readlink /proc/$$/fd/0 > '{d}/probe-stdin-link'\n"
            "  /bin/cat > '{d}/probe-stdin'\n"
            "  if [ {n} -gt 0 ]; then\n"
            "    /usr/bin/head -c {n} /dev/zero\n"
            "    /usr/bin/head -c {n} /dev/zero >&2\n"
            "  fi\n"
            "  exit {status};;\n"
            "esac\n"
            "/bin/cat /proc/$$/environ > '{d}/real-environ'\n"
            "printf '%s\\0' \"$@\" > '{d}/real-args'\n"
            "/bin/readlink /proc/$$/cwd > '{d}/real-cwd'\n"
            ).format(d=case_dir, n=probe_output, status=probe_status) + tail


class CacheCase(ShimCase):
    """The shim as bin/curl and bin/wget ahead of the machine's real tools, an origin server that
    serves /pkg/<name> and a cache server, both logging."""

    def setUp(self):
        super().setUp()
        self.install_shim("bin/curl")
        self.install_shim("bin/wget")
        self.origin = self.start(HttpServer())
        self.cache = self.start(HttpServer())

    def start(self, server):
        self.addCleanup(server.close)
        return server

    def tool_env(self, path=None, **variables):
        env = {"PATH": path if path is not None else self.path("bin") + ":" + SYSTEM_PATH}
        env.update(variables)
        return env

    def publish(self, url_path="/pkg/" + NAME, prefix="", cache=None):
        """The origin serves `url_path`, the cache its copy at the matching address; returns the
        origin URL and the path of the cache address on the cache server."""
        cache = cache or self.cache
        url = self.origin.url(url_path)
        self.origin.serve(url_path.split("#", 1)[0], ORIGIN_BODY)
        address = cache_address(prefix, url)
        cache.serve(address, CACHE_BODY)
        return url, address

    def forget_traffic(self, *servers):
        for server in servers or (self.origin, self.cache):
            server.reset()
        for leftover in ("out", "probe-environ", "probe-args", "probe-cwd", "probe-stdin",
                         "probe-stdin-link", "real-environ", "real-args", "real-cwd",
                         "real-stdin"):
            if os.path.exists(self.path(leftover)):
                os.unlink(self.path(leftover))

    def through_shim(self, tool, args, env, timeout=TIMEOUT, **kwargs):
        return self.launch(self.path("bin", tool), argv0=tool, args=args, env=env,
                           cwd=self.case_dir, timeout=timeout, **kwargs)

    def direct(self, tool, args, env, timeout=TIMEOUT, **kwargs):
        """The real tool alone, run by its name as through_shim runs the shim."""
        return self.launch(REAL[tool], argv0=tool, args=args, env=env, cwd=self.case_dir,
                           timeout=timeout, **kwargs)

    def output_file(self, name="out"):
        """The downloaded file's bytes (None if absent), removing it for the next run."""
        target = self.path(name)
        if not os.path.exists(target):
            return None
        with open(target, "rb") as f:
            content = f.read()
        os.unlink(target)
        return content

    def read_case_file(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def install_fake_tool(self, tool, **options):
        return self.write_file("fake/" + tool, fake_tool_script(tool, self.case_dir, **options)
                               .encode(), mode=0o755)

    def assert_downloaded_from(self, completed, body):
        self.assertEqual((completed.returncode, completed.stderr), (0, b""))
        self.assertEqual(self.output_file(), body)


def download_args(tool, url):
    return ["-fsS", "-o", "out", url] if tool == "curl" else ["-q", "-O", "out", url]


def origin_body(path):
    return b"origin: " + path.encode()


def cache_body(url):
    return b"cache: " + url.encode()


def files_below(directory):
    """Every file below `directory`: relative path to bytes."""
    found = {}
    for parent, _, names in os.walk(directory):
        for name in names:
            with open(os.path.join(parent, name), "rb") as f:
                found[os.path.relpath(os.path.join(parent, name), directory)] = f.read()
    return found


def origin_record(exchange):
    """What the origin got: method, path, credentials and the body (a multipart body only by its
    length, its boundary is random)."""
    multipart = any(v.startswith("multipart/") for v in exchange.header("Content-Type"))
    return (exchange.method, exchange.path, exchange.header("Authorization"),
            exchange.header("Cookie"), exchange.body_length,
            None if multipart else exchange.body_sha256)


class Outcome:
    """How one run ended, the files it wrote, and what the origin and the cache host received."""

    def __init__(self, completed, files, origin, cache):
        self.status, self.stdout, self.stderr = (completed.returncode, completed.stdout,
                                                 completed.stderr)
        self.files, self.origin, self.cache = files, origin, cache


def compare_runs(case, run_once):
    """One command with the real tool alone, then through the shim (`run_once(through_shim)` gives
    each Outcome): the real tool alone never reaches the cache, and both end alike."""
    alone = run_once(False)
    shim = run_once(True)
    case.assertEqual(alone.cache, [], "the real tool alone reached the cache")
    case.assertEqual((shim.status, shim.stderr), (alone.status, alone.stderr))
    return alone, shim


def assert_served_from_cache(case, alone, shim, path, url):
    """The real tool alone downloaded the origin's bytes for `path`; through the shim the same
    output holds the cache's bytes for `url` instead, and the origin heard nothing."""
    swap = {origin_body(path): cache_body(url)}
    case.assertIn(origin_body(path), [alone.stdout] + list(alone.files.values()), "no download")
    case.assertEqual(shim.stdout, swap.get(alone.stdout, alone.stdout))
    case.assertEqual(shim.files, {k: swap.get(v, v) for k, v in alone.files.items()})
    case.assertEqual(shim.origin, [])


def assert_gone_direct(case, alone, shim):
    """Through the shim the command did what it does alone, and the cache host heard nothing."""
    case.assertEqual(shim.cache, [], "the cache host heard of it")
    case.assertEqual(shim.origin, alone.origin)
    case.assertEqual(shim.stdout, alone.stdout)
    case.assertEqual(shim.files, alone.files)
