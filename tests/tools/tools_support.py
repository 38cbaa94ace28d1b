"""Shared pieces of the companion-tool tests: case directories, the shim directory, local HTTP
servers (in-process, `python3 -m http.server`; nginx with the shipped configuration comes from
tests/support) and runs of larderbox-path and larderbox-fill.

Environment (set by ctest): LARDERBOX_BIN (the shim), LARDERBOX_PATH_BIN, LARDERBOX_FILL and
LARDERBOX_CACHE (the scripts in the build tree, beside larderbox-path), LARDERBOX_SOURCE_DIR,
LARDERBOX_BUILD_DIR.
"""

import http.server
import os
import shutil
import subprocess
import sys
import threading
import time
import urllib.parse

from harness import CaseDirectory
from http_servers import unused_port
# Re-exported for the companion-tool tests.
from nginx_cache import NginxServer, find_program, server_rules  # noqa: F401
from nginx_cache import stop_process, wait_for_port

LARDERBOX_BIN = os.environ.get("LARDERBOX_BIN", "")
PATH_BIN = os.environ.get("LARDERBOX_PATH_BIN", "")
FILL = os.environ.get("LARDERBOX_FILL", "")
CACHE = os.environ.get("LARDERBOX_CACHE", "")
SOURCE_DIR = os.environ.get("LARDERBOX_SOURCE_DIR", "")
BUILD_DIR = os.environ.get("LARDERBOX_BUILD_DIR", "")

TIMEOUT = 30
SYSTEM_PATH = "/usr/bin:/bin"


def run(argv, env=None, timeout=TIMEOUT, **kwargs):
    if kwargs.get("input") is None:
        kwargs.pop("input", None)
        kwargs.setdefault("stdin", subprocess.DEVNULL)
    kwargs.setdefault("stdout", subprocess.PIPE)
    kwargs.setdefault("stderr", subprocess.PIPE)
    return subprocess.run(argv, env=env, timeout=timeout, check=False, **kwargs)


def stored_path(url):
    """Where larderbox-fill puts `url` below its directory, as larderbox-path --file says."""
    result = run([PATH_BIN, "--file", "--", url])
    if result.returncode != 0:
        raise AssertionError("larderbox-path --file %r: %r" % (url, result.stderr))
    return os.fsdecode(result.stdout.rstrip(b"\n"))


def cache_address(server, url):
    result = run([PATH_BIN, "--server", server, "--", url])
    if result.returncode != 0:
        raise AssertionError("larderbox-path --server %r %r: %r" % (server, url, result.stderr))
    return os.fsdecode(result.stdout.rstrip(b"\n"))


def http_status(url, method="GET"):
    """The status code the real curl gets for `url`, redirects not followed, and the body."""
    request = ["-I"] if method == "HEAD" else ["-X", method]
    curl = ["/usr/bin/curl", "-sS", "-o", "-", "-w", "\n%{http_code}"] + request + [url]
    result = run(curl, env={"PATH": SYSTEM_PATH})
    body, _, code = result.stdout.rpartition(b"\n")
    return int(code), body


class OriginServer:
    """An origin on 127.0.0.1 in this process. `files` maps a decoded request path (no query) to
    its bytes; "/stall/..." paths promise a megabyte and send a few bytes, then hang until the
    server stops; "/truncated/..." paths promise 100 bytes, send 10 and close; "/stream/..." paths
    send up to 64 MiB without announcing a length; "/trickle/..." paths send a byte every half
    second; "/to-file/..." paths redirect to file:///etc/passwd. `redirects` maps a path to the
    Location of a 302; `headers` maps a path to headers sent with its file, an ETag or
    Last-Modified among them answering If-None-Match and If-Modified-Since with 304 (no other
    validator is sent). Everything else is 404. `requests` lists the paths asked for,
    `conditions` the (path, If-None-Match, If-Modified-Since) of each request for a file and
    `credentials` the Authorization header of each request (None when absent)."""

    def __init__(self):
        self.files = {}
        self.requests = []
        self.redirects = {}
        self.headers = {}
        self.conditions = []
        self.credentials = []
        origin = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def send_file(self, path):
                headers = origin.headers.get(path, {})
                match = self.headers.get("If-None-Match")
                since = self.headers.get("If-Modified-Since")
                origin.conditions.append((path, match, since))
                if (match is not None and match == headers.get("ETag")) or (
                        match is None and since is not None and
                        since == headers.get("Last-Modified")):
                    self.send_response(304)
                    for name, value in headers.items():
                        self.send_header(name, value)
                    self.end_headers()
                    return
                body = origin.files[path]
                self.send_response(200)
                self.send_header("Content-Length", str(len(body)))
                for name, value in headers.items():
                    self.send_header(name, value)
                self.end_headers()
                self.wfile.write(body)

            def do_GET(self):
                path = urllib.parse.unquote(self.path.split("?", 1)[0])
                origin.requests.append(path)
                origin.credentials.append(self.headers.get("Authorization"))
                if path.startswith("/stall/"):
                    self.send_response(200)
                    self.send_header("Content-Length", str(1 << 20))
                    self.end_headers()
                    self.wfile.write(b"partial")
                    self.wfile.flush()
                    origin.stopping.wait(TIMEOUT)
                elif path.startswith("/truncated/"):
                    self.send_response(200)
                    self.send_header("Content-Length", "100")
                    self.end_headers()
                    self.wfile.write(b"0123456789")
                    self.close_connection = True
                elif path.startswith("/stream/"):
                    self.send_response(200)
                    self.end_headers()
                    try:
                        for _ in range(1024):
                            if origin.stopping.is_set():
                                break
                            self.wfile.write(b"s" * 65536)
                    except OSError:  # the client gave up
                        pass
                    self.close_connection = True
                elif path.startswith("/trickle/"):
                    self.send_response(200)
                    self.send_header("Content-Length", "1000")
                    self.end_headers()
                    try:
                        while not origin.stopping.wait(0.5):
                            self.wfile.write(b"t")
                            self.wfile.flush()
                    except OSError:  # the client gave up
                        pass
                    self.close_connection = True
                elif path in origin.redirects:
                    self.send_response(302)
                    self.send_header("Location", origin.redirects[path])
                    self.send_header("Content-Length", "0")
                    self.end_headers()
                elif path.startswith("/to-file/"):
                    self.send_response(302)
                    self.send_header("Location", "file:///etc/passwd")
                    self.send_header("Content-Length", "0")
                    self.end_headers()
                elif path in origin.files:
                    self.send_file(path)
                else:
                    self.send_error(404)

        self.stopping = threading.Event()
        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stopping.set()
        self.server.shutdown()
        self.server.server_close()
        self.thread.join(timeout=10)


class StaticServer:
    """`python3 -m http.server` serving `directory` on 127.0.0.1."""

    def __init__(self, directory):
        self.directory = directory
        self.port = unused_port()
        self.process = None

    def url(self, path=""):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def __enter__(self):
        self.process = subprocess.Popen(
            [sys.executable, "-m", "http.server", "--bind", "127.0.0.1", "--directory",
             self.directory, str(self.port)],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_for_port(self.port, self.process):
            stop_process(self.process)
            raise AssertionError("python3 -m http.server did not start on port %d" % self.port)
        return self

    def __exit__(self, *exc):
        stop_process(self.process)


def wait_for(predicate, what, timeout=20):
    """Returns once `predicate()` holds; fails the test after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.05)


class ToolCase(CaseDirectory):
    """A case directory for runs of the companion tools."""

    def setUp(self):
        for name, value in (("LARDERBOX_BIN", LARDERBOX_BIN), ("LARDERBOX_PATH_BIN", PATH_BIN),
                            ("LARDERBOX_FILL", FILL), ("LARDERBOX_CACHE", CACHE),
                            ("LARDERBOX_SOURCE_DIR", SOURCE_DIR)):
            if not value:
                self.fail(name + " must be set (ctest sets it)")
        self.make_case_dir("larderbox-tools-")

    def shim_dir(self):
        """A directory holding curl and wget as links to the shim, as the install makes it."""
        directory = self.path("shim")
        if not os.path.isdir(directory):
            os.makedirs(directory)
            for tool in ("curl", "wget"):
                os.symlink(LARDERBOX_BIN, os.path.join(directory, tool))
        return directory

    def shim_env(self, server):
        """A client's environment: curl and wget are the shim, `server` the cache, HOME its own."""
        return {"PATH": self.shim_dir() + ":" + SYSTEM_PATH, "LARDERBOX_SERVER": server,
                "HOME": self.case_dir}

    def cache_tool(self, *args, env=None, input=None, timeout=TIMEOUT):
        """Runs larderbox-cache from the build tree (larderbox-path beside it, not on PATH)."""
        env = dict({"PATH": SYSTEM_PATH}, **(env or {}))
        return run([CACHE] + list(args), env=env, input=input, timeout=timeout)

    def fill(self, *args, env=None, input=None, timeout=TIMEOUT):
        """Runs larderbox-fill from the build tree (larderbox-path beside it, not on PATH)."""
        env = dict({"PATH": SYSTEM_PATH}, **(env or {}))
        return run([FILL] + list(args), env=env, input=input, timeout=timeout)

    def assertNoLeftovers(self, directory):
        """No temporary file of larderbox-fill or larderbox-cache anywhere below `directory`, and
        no run's temporary directory in `directory`/tmp."""
        for parent, _, names in os.walk(directory):
            for name in names:
                self.assertFalse(name.startswith((".larderbox-fill.", ".larderbox-tmp-")),
                                 "temporary file left: " + os.path.join(parent, name))
        tmp = os.path.join(directory, "tmp")
        self.assertEqual(os.listdir(tmp) if os.path.isdir(tmp) else [], [])

    def downloads(self, directory):
        """The downloads in progress below `directory`/tmp."""
        return [os.path.join(parent, name)
                for parent, _, names in os.walk(os.path.join(directory, "tmp"))
                for name in names if name.startswith("dl-")]


def copy_cache_tool(directory):
    """larderbox-cache and its package copied into `directory`, as an installation sets them."""
    shutil.copy(CACHE, directory)
    shutil.copytree(os.path.join(os.path.dirname(CACHE), "larderbox_cache"),
                    os.path.join(directory, "larderbox_cache"),
                    ignore=shutil.ignore_patterns("__pycache__"))


def cache_package():
    """The package larderbox_cache as built beside the larderbox-cache launcher, imported so that
    its rules can be tried directly."""
    directory = os.path.dirname(os.path.abspath(CACHE))
    if directory not in sys.path:
        sys.path.insert(0, directory)
    import larderbox_cache.cli  # noqa: F401 - every module, as the launcher loads them
    return sys.modules["larderbox_cache"]
