"""Shared pieces of the companion-tool tests: case directories, the shim directory, local HTTP
servers (in-process, `python3 -m http.server`, nginx with the shipped configuration) and runs of
larderbox-path and larderbox-fill.

Environment (set by ctest): LARDERBOX_BIN (the shim), LARDERBOX_PATH_BIN, LARDERBOX_FILL and
LARDERBOX_CACHE (the scripts in the build tree, beside larderbox-path), LARDERBOX_SOURCE_DIR,
LARDERBOX_BUILD_DIR.
"""

import http.client
import http.server
import os
import pwd
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.parse

LARDERBOX_BIN = os.environ.get("LARDERBOX_BIN", "")
PATH_BIN = os.environ.get("LARDERBOX_PATH_BIN", "")
FILL = os.environ.get("LARDERBOX_FILL", "")
CACHE = os.environ.get("LARDERBOX_CACHE", "")
SOURCE_DIR = os.environ.get("LARDERBOX_SOURCE_DIR", "")
BUILD_DIR = os.environ.get("LARDERBOX_BUILD_DIR", "")

TIMEOUT = 30
SYSTEM_PATH = "/usr/bin:/bin"


def find_program(name):
    found = shutil.which(name, path=os.environ.get("PATH", "") + ":/usr/sbin:/sbin")
    if found is None:
        raise AssertionError(name + " is not installed (scripts/install-deps installs it)")
    return found


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


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, process=None, timeout=10):
    """True once 127.0.0.1:port accepts connections; false after `timeout` or when `process`
    has ended."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if process is not None and process.poll() is not None:
            return False
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return True
        except OSError:
            time.sleep(0.05)
    return False


def stop_process(process):
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(timeout=10)


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
        self.port = free_port()
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


def server_rules(path):
    """The directives of the first server block in the shipped nginx file `path`, one per line,
    without comments, blank lines, and its listen and root lines."""
    with open(os.path.join(SOURCE_DIR, "contrib", "nginx", path)) as f:
        text = f.read()
    rules, depth = [], 0
    for line in text[text.index("server {"):].splitlines():
        line = line.split("#", 1)[0].strip()
        depth += line.count("{") - line.count("}")
        if line and not line.startswith(("listen ", "root ")):
            rules.append(line)
        if depth == 0:
            return rules
    raise AssertionError(path + ": the server block does not end")


# What the cache host received, credentials included, one tab-separated line per request: logged
# beside the usual access log.
RECEIVED_LOG = """
    log_format received
        "$request_method\t$request_uri\t$http_authorization\t$http_cookie\t$remote_user";
    access_log logs/received.log received;"""


def shipped_nginx_main_conf(root, port):
    """The shipped nginx.conf for an ordinary user, serving `root` on 127.0.0.1:`port`, with the
    `received` log added."""
    with open(os.path.join(SOURCE_DIR, "contrib", "nginx", "nginx.conf")) as f:
        text = f.read()
    text, listens = re.subn(r"(?m)^(\s*)listen 127\.0\.0\.1:8080;$",
                            r"\1listen 127.0.0.1:%d;" % port, text)
    text, roots = re.subn(r"(?m)^(\s*)root cache;$", lambda m: m.group(1) + "root " + root + ";",
                          text)
    text, logs = re.subn(r"(?m)^    access_log logs/access\.log combined;$",
                         lambda m: m.group(0) + RECEIVED_LOG, text)
    if (listens, roots, logs) != (1, 1, 1):
        raise AssertionError("the shipped nginx.conf lost its listen, root or access_log line")
    return text


class NginxServer:
    """nginx in the foreground with the shipped nginx.conf and `work` as its prefix, serving
    `root` on 127.0.0.1, run as an ordinary user: the caller itself, or nobody when that is root."""

    def __init__(self, work, root):
        self.work = work
        self.root = root
        self.process = None
        self.port = None
        self.access_log = os.path.join(work, "logs", "access.log")

    def url(self, path=""):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def _write_conf(self):
        with open(os.path.join(self.work, "nginx.conf"), "w") as f:
            f.write(shipped_nginx_main_conf(self.root, self.port))

    def __enter__(self):
        nginx = find_program("nginx")
        command = [nginx, "-p", self.work, "-e", "logs/error.log",
                   "-c", os.path.join(self.work, "nginx.conf"), "-g", "daemon off;"]
        # The directories the shipped file's comment tells a user to make.
        for name in ("logs", "temp"):
            os.makedirs(os.path.join(self.work, name), exist_ok=True)
        if os.geteuid() == 0:
            nobody = pwd.getpwnam("nobody")
            for parent, names, files in os.walk(self.work):
                for name in [parent] + [os.path.join(parent, n) for n in names + files]:
                    os.chown(name, nobody.pw_uid, nobody.pw_gid)
            command = [find_program("setpriv"), "--reuid=%d" % nobody.pw_uid,
                       "--regid=%d" % nobody.pw_gid, "--clear-groups"] + command
        # The port is only free when it was looked at: another process may take it first.
        for _ in range(3):
            self.port = free_port()
            self._write_conf()
            self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL,
                                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if wait_for_port(self.port, self.process):
                return self
            stop_process(self.process)
        with open(os.path.join(self.work, "logs", "error.log"), errors="replace") as f:
            raise AssertionError("nginx did not start:\n" + f.read())

    def __exit__(self, *exc):
        stop_process(self.process)

    def received(self):
        """Every request logged so far, as (method, URI, Authorization, Cookie, user) with "-" for
        an absent value. nginx writes a line only once the request has ended, so a marker request
        is sent and waited for: every earlier request has then been written."""
        self.marks = getattr(self, "marks", 0) + 1
        mark = "/larderbox-log-mark/%d" % self.marks
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=TIMEOUT)
        try:
            connection.request("GET", mark)
            connection.getresponse().read()
        finally:
            connection.close()
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            with open(os.path.join(self.work, "logs", "received.log"), encoding="utf-8",
                      errors="backslashreplace") as f:
                lines = [tuple(line.split("\t")) for line in f.read().splitlines()]
            if ("GET", mark, "-", "-", "-") in lines:
                return [line for line in lines if not line[1].startswith("/larderbox-log-mark/")]
            time.sleep(0.02)
        raise AssertionError("nginx did not log the marker request " + mark)


class ToolCase(unittest.TestCase):
    """A test case with its own directory, kept (and its path printed) when the case fails."""

    def run(self, result=None):
        if result is None:
            result = self.defaultTestResult()
        problems = len(result.failures) + len(result.errors)
        super().run(result)
        directory = getattr(self, "case_dir", None)
        if directory is not None:
            if len(result.failures) + len(result.errors) > problems:
                print("\nkept case directory of %s: %s" % (self.id(), directory), file=sys.stderr)
            else:
                shutil.rmtree(directory, ignore_errors=True)
        return result

    def setUp(self):
        for name, value in (("LARDERBOX_BIN", LARDERBOX_BIN), ("LARDERBOX_PATH_BIN", PATH_BIN),
                            ("LARDERBOX_FILL", FILL), ("LARDERBOX_CACHE", CACHE),
                            ("LARDERBOX_SOURCE_DIR", SOURCE_DIR)):
            if not value:
                self.fail(name + " must be set (ctest sets it)")
        self.case_dir = tempfile.mkdtemp(prefix="larderbox-tools-")
        os.chmod(self.case_dir, 0o755)

    def path(self, *parts):
        return os.path.join(self.case_dir, *parts)

    def write_file(self, relative, content, mode=0o644):
        target = self.path(relative)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as f:
            f.write(content)
        os.chmod(target, mode)
        return target

    def shim_dir(self):
        """A directory holding curl and wget as links to the shim, as the install makes it."""
        directory = self.path("shim")
        if not os.path.isdir(directory):
            os.makedirs(directory)
            for tool in ("curl", "wget"):
                os.symlink(LARDERBOX_BIN, os.path.join(directory, tool))
        return directory

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
