"""The cache redirect end to end, with the machine's real curl and wget: an origin and a cache
server on 127.0.0.1 serve different bytes for the same download, so every test can tell where the
bytes came from, and both log every request so the tests can see what the probe sent."""

import hashlib
import http.client
import http.server
import os
import pwd
import select
import socket
import subprocess
import threading
import time
import urllib.parse

import harness
from harness import MIB, TIMEOUT, ShimCase, cache_address

REAL = {"curl": "/usr/bin/curl", "wget": "/usr/bin/wget"}
SYSTEM_PATH = "/usr/bin:/bin"
NAME = "tool-1.2.tar.gz"
ORIGIN_BODY = b"bytes from the origin\n" * 3000
CACHE_BODY = b"bytes from the cache\n" * 2000
# Long enough for the probe's 5-second limit plus the download on a loaded machine.
SLOW_TIMEOUT = 30
# The probe's own limit is 5 s; a fallback that is not "at once" takes about that long.
PROMPT = 2.5


def unused_port():
    """A loopback port with nothing listening on it (as long as nobody takes it meanwhile)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def tool_user_agent(tool):
    """The User-Agent the tool sends when nobody chose one, from its version line."""
    first = subprocess.run([REAL[tool], "--version"], capture_output=True, timeout=TIMEOUT,
                           check=True).stdout.split(b"\n", 1)[0].decode()
    words = first.split()
    return "curl/" + words[1] if tool == "curl" else "Wget/" + words[2]


class Answer:
    def __init__(self, status, headers=(), body=b""):
        self.status, self.headers, self.body = status, list(headers), body


class Exchange:
    """One request as the server saw it."""

    def __init__(self, method, path, headers, body):
        self.method = method
        self.path = path
        self.headers = headers
        self.body_length = len(body)
        self.body_sha256 = hashlib.sha256(body).hexdigest()

    def header(self, name):
        return [value for key, value in self.headers if key.lower() == name.lower()]

    def __repr__(self):
        return "%s %s %r" % (self.method, self.path, self.headers)


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"  # so that curl's "Expect: 100-continue" is answered at once
    timeout = TIMEOUT
    owner = None

    def log_message(self, *_):
        pass

    def read_body(self):
        if "chunked" in (self.headers.get("Transfer-Encoding") or "").lower():
            parts = []
            # Ends at the zero-sized chunk or at the end of the stream (readline gives b"").
            for _ in range(1 << 20):
                size = int(self.rfile.readline(1024).split(b";")[0].strip() or b"0", 16)
                if size == 0:
                    for _ in range(100):
                        if self.rfile.readline(1024) in (b"\r\n", b"\n", b""):
                            break
                    break
                parts.append(self.rfile.read(size))
                self.rfile.readline(1024)
            return b"".join(parts)
        length = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(length) if length else b""

    def handle_any(self):
        body = self.read_body()
        exchange = Exchange(self.command, self.path, list(self.headers.items()), body)
        answer = self.owner.take(exchange, body)
        self.send_response(answer.status)
        for name, value in answer.headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(answer.body)))
        self.send_header("Connection", "close")
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(answer.body)

    do_GET = do_HEAD = do_PUT = do_POST = handle_any


class _QuietServer(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        pass  # a client that hangs up early (curl -I, a timed-out probe) is no error here


class HttpServer:
    """An HTTP server on 127.0.0.1 in a thread of this process: it serves the files it is given,
    404 for everything else, the fixed answers it is told, accepts any PUT or POST, and logs every
    request."""

    def __init__(self):
        self.files = {}
        self.answers = {}
        self._log = []
        self._lock = threading.Lock()
        handler = type("Handler", (_Handler,), {"owner": self})
        self._server = _QuietServer(("127.0.0.1", 0), handler)
        self.port = self._server.server_address[1]
        self._thread = threading.Thread(target=self._server.serve_forever,
                                        kwargs={"poll_interval": 0.05}, daemon=True)
        self._thread.start()

    def close(self):
        self._server.shutdown()
        self._server.server_close()
        self._thread.join(TIMEOUT)

    def base(self):
        return "http://127.0.0.1:%d" % self.port

    def url(self, path):
        return self.base() + path

    def serve(self, path, body):
        self.files[path] = body

    def answer(self, path, status, headers=(), body=b"", method=None):
        """A fixed answer for `path`, for one method or (None) for all of them."""
        self.answers[(method, path)] = Answer(status, headers, body)

    def take(self, exchange, body):
        with self._lock:
            self._log.append(exchange)
        return self.respond(exchange, body)

    def respond(self, exchange, body):
        fixed = (self.answers.get((exchange.method, exchange.path))
                 or self.answers.get((None, exchange.path)))
        if fixed is not None:
            return fixed
        if exchange.method in ("PUT", "POST"):
            return Answer(201, [], b"received %d bytes\n" % len(body))
        if exchange.path in self.files:
            return Answer(200, [("Content-Type", "application/octet-stream")],
                          self.files[exchange.path])
        return Answer(404, [], b"no such file\n")

    def log(self):
        with self._lock:
            return list(self._log)

    def requests(self):
        return [(e.method, e.path) for e in self.log()]

    def forget(self):
        with self._lock:
            self._log.clear()

    def reset(self):
        """Forgets the log, the files and the fixed answers, for the next row of a table."""
        self.forget()
        self.files.clear()
        self.answers.clear()


class ProxyServer(HttpServer):
    """A forward proxy for http://127.0.0.1 addresses only; it logs what it is asked for (the
    absolute address) and marks what it forwards with "Via"."""

    HOP_BY_HOP = {"connection", "proxy-connection", "keep-alive", "transfer-encoding",
                  "content-length", "te", "upgrade", "proxy-authorization"}

    def respond(self, exchange, body):
        target = urllib.parse.urlsplit(exchange.path)
        if target.scheme != "http" or target.hostname != "127.0.0.1" or target.port is None:
            return Answer(502, [], b"not forwarded\n")
        path = target.path + ("?" + target.query if target.query else "")
        headers = {k: v for k, v in exchange.headers if k.lower() not in self.HOP_BY_HOP}
        headers["Via"] = "1.1 recording-proxy"
        connection = http.client.HTTPConnection("127.0.0.1", target.port, timeout=TIMEOUT)
        try:
            connection.request(exchange.method, path, body=body or None, headers=headers)
            response = connection.getresponse()
            data = response.read()
            kept = [(k, v) for k, v in response.getheaders() if k.lower() not in self.HOP_BY_HOP]
            return Answer(response.status, kept, data)
        except OSError:
            return Answer(502, [], b"upstream failed\n")
        finally:
            connection.close()


class SilentServer:
    """Accepts connections on 127.0.0.1 and never answers on them."""

    def __init__(self):
        self._socket = socket.socket()
        self._socket.bind(("127.0.0.1", 0))
        self._socket.listen(16)
        self.port = self._socket.getsockname()[1]
        self._stop = threading.Event()
        self._connections = []
        self._thread = threading.Thread(target=self._accept_until_stopped, daemon=True)
        self._thread.start()

    def _accept_until_stopped(self):
        while not self._stop.is_set():
            ready, _, _ = select.select([self._socket], [], [], 0.05)
            if ready:
                connection, _ = self._socket.accept()
                self._connections.append(connection)

    def base(self):
        return "http://127.0.0.1:%d" % self.port

    def connection_count(self):
        return len(self._connections)

    def close(self):
        self._stop.set()
        self._thread.join(TIMEOUT)
        for connection in self._connections:
            connection.close()
        self._socket.close()


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


class Hit(CacheCase):
    def test_a_cached_file_is_downloaded_from_the_cache(self):
        dead = "http://127.0.0.1:%d" % unused_port()
        cache = self.cache.base()
        rows = [
            # label, tool, arguments ({url}: the origin URL), variables ({cache}, {dead}), prefix
            ("curl, URL last", "curl", ["-fsSL", "-o", "out", "{url}"],
             {"LARDERBOX_SERVER": "{cache}"}, ""),
            ("curl --url URL", "curl", ["-sS", "--url", "{url}", "-o", "out"],
             {"LARDERBOX_SERVER": "{cache}"}, ""),
            ("curl, URL after --", "curl", ["-fsS", "-o", "out", "--", "{url}"],
             {"LARDERBOX_SERVER": "{cache}"}, ""),
            ("wget", "wget", ["-q", "-O", "out", "{url}"], {"LARDERBOX_SERVER": "{cache}"}, ""),
            ("CURLLARDERBOX_SERVER", "curl", ["-fsSL", "-o", "out", "{url}"],
             {"CURLLARDERBOX_SERVER": "{cache}"}, ""),
            ("WGETLARDERBOX_SERVER", "wget", ["-q", "-O", "out", "{url}"],
             {"WGETLARDERBOX_SERVER": "{cache}"}, ""),
            ("tool variable wins over LARDERBOX_SERVER", "curl", ["-fsS", "-o", "out", "{url}"],
             {"LARDERBOX_SERVER": "{dead}", "CURLLARDERBOX_SERVER": "{cache}"}, ""),
            ("wget's variable wins too", "wget", ["-q", "-O", "out", "{url}"],
             {"LARDERBOX_SERVER": "{dead}", "WGETLARDERBOX_SERVER": "{cache}"}, ""),
            ("trailing slashes and blanks", "curl", ["-fsS", "-o", "out", "{url}"],
             {"LARDERBOX_SERVER": " \t{cache}///\r\n"}, ""),
            ("path prefix", "curl", ["-fsS", "-o", "out", "{url}"],
             {"LARDERBOX_SERVER": "{cache}/cache/"}, "/cache"),
            ("wget, path prefix", "wget", ["-q", "-O", "out", "{url}"],
             {"LARDERBOX_SERVER": "{cache}/cache/"}, "/cache"),
        ]
        for label, tool, template, variables, prefix in rows:
            with self.subTest(label):
                self.forget_traffic()
                url, address = self.publish(prefix=prefix)
                args = [a.format(url=url) for a in template]
                env = self.tool_env(**{k: v.format(cache=cache, dead=dead)
                                       for k, v in variables.items()})
                completed = self.through_shim(tool, args, env)
                self.assert_downloaded_from(completed, CACHE_BODY)
                self.assertEqual(completed.stdout, b"")
                # The probe's HEAD (wget's spider sends HEAD too), then the download itself.
                self.assertEqual(self.cache.requests(), [("HEAD", address), ("GET", address)])
                self.assertEqual(self.origin.requests(), [])

    def test_query_and_fragment_are_part_of_the_address(self):
        url, address = self.publish(url_path="/pkg/" + NAME + "?x=1#f")
        self.assertEqual(url.rsplit("/", 1)[1], NAME + "?x=1#f")
        completed = self.through_shim("curl", ["-fsS", "-o", "out", url],
                                      self.tool_env(LARDERBOX_SERVER=self.cache.base()))
        self.assert_downloaded_from(completed, CACHE_BODY)
        self.assertEqual(self.cache.requests(), [("HEAD", address), ("GET", address)])
        self.assertEqual(self.origin.requests(), [])

    def test_url_equals_form_is_rewritten_in_place(self):
        # Neither real tool knows "--url=" (curl takes no "=" after long options, wget has no
        # --url): for curl the shim still probes and rewrites the element whole, and curl then
        # refuses it just as it refuses the caller's own element; wget's table does not know the
        # option, so the command line goes direct without a probe.
        url, address = self.publish()
        cache_address = self.cache.url(address)
        env = self.tool_env(LARDERBOX_SERVER=self.cache.base())
        fake = self.install_fake_tool("curl", probe_status=0, then="stop")
        fake_env = dict(env, PATH=self.path("bin") + ":" + self.path("fake") + ":" + SYSTEM_PATH)
        completed = self.through_shim("curl", ["--url=" + url, "-o", "out"], fake_env)
        self.assertEqual((completed.returncode, completed.stderr), (0, b""))
        self.assertEqual(self.read_case_file("probe-args").split(b"\0")[-2],
                         os.fsencode(cache_address))
        self.assertEqual(self.read_case_file("real-args"),
                         b"--url=" + os.fsencode(cache_address) + b"\0-o\0out\0")
        os.unlink(fake)
        for tool in ("curl", "wget"):
            with self.subTest(tool=tool):
                self.cache.forget()
                args = ["--url=" + url, "-o", "out"]
                direct = self.direct(tool, args, env)
                completed = self.through_shim(tool, args, env)
                probed = tool == "curl"
                self.assertEqual(self.cache.requests(), [("HEAD", address)] if probed else [])
                self.assertNotEqual(direct.returncode, 0)
                self.assertEqual(completed.returncode, direct.returncode)
                expected_stderr = direct.stderr.replace(
                    os.fsencode(url), os.fsencode(cache_address if probed else url))
                self.assertEqual(completed.stderr, expected_stderr)
                self.assertEqual(self.origin.requests(), [])
                self.assertIsNone(self.output_file())

    def test_only_the_first_url_is_redirected(self):
        url, address = self.publish()
        second = self.origin.url("/pkg/other.tgz")
        self.origin.serve("/pkg/other.tgz", b"other from the origin\n")
        self.cache.serve(cache_address("", second), b"other from the cache\n")
        completed = self.through_shim("curl", ["-fsS", "-o", "out", url, "-o", "second", second],
                                      self.tool_env(LARDERBOX_SERVER=self.cache.base()))
        self.assert_downloaded_from(completed, CACHE_BODY)
        self.assertEqual(self.output_file("second"), b"other from the origin\n")
        self.assertEqual(self.cache.requests(), [("HEAD", address), ("GET", address)])
        self.assertEqual(self.origin.requests(), [("GET", "/pkg/other.tgz")])


class Miss(CacheCase):
    def test_a_miss_falls_back_to_the_origin_after_one_probe(self):
        for tool in ("curl", "wget"):
            for status in (404, 403, 500):
                with self.subTest(tool=tool, status=status):
                    self.forget_traffic()
                    url, address = self.publish()
                    self.cache.answer(address, status, body=b"not cached\n")
                    env = self.tool_env(LARDERBOX_SERVER=self.cache.base())
                    completed = self.through_shim(tool, download_args(tool, url), env)
                    self.assert_downloaded_from(completed, ORIGIN_BODY)
                    self.assertEqual(self.cache.requests(), [("HEAD", address)])
                    self.assertEqual(self.origin.requests(), [("GET", "/pkg/" + NAME)])

    def test_a_cache_that_is_down_falls_back_at_once(self):
        dead = "http://127.0.0.1:%d" % unused_port()
        for tool in ("curl", "wget"):
            with self.subTest(tool=tool):
                self.forget_traffic()
                url, _ = self.publish()
                started = time.monotonic()
                completed = self.through_shim(tool, download_args(tool, url),
                                              self.tool_env(LARDERBOX_SERVER=dead))
                elapsed = time.monotonic() - started
                self.assert_downloaded_from(completed, ORIGIN_BODY)
                self.assertLess(elapsed, PROMPT)
                self.assertEqual(self.origin.requests(), [("GET", "/pkg/" + NAME)])

    def test_an_empty_tool_variable_hides_the_general_one(self):
        # The address then begins with "/b/", which the real curl refuses: an ordinary miss.
        url, _ = self.publish()
        env = self.tool_env(CURLLARDERBOX_SERVER="", LARDERBOX_SERVER=self.cache.base())
        completed = self.through_shim("curl", download_args("curl", url), env)
        self.assert_downloaded_from(completed, ORIGIN_BODY)
        self.assertEqual(self.cache.requests(), [])
        self.assertEqual(self.origin.requests(), [("GET", "/pkg/" + NAME)])


class SilentCache(CacheCase):
    """A cache that accepts the connection and never answers: the probe ends on its own 5-second
    limit, with one try, and the download goes to the origin."""

    def test_fallback_after_the_probe_limit(self):
        rows = [
            # tool, origin holds the file
            ("curl", True),
            ("wget", True),
            ("curl", False),
        ]
        for tool, present in rows:
            with self.subTest(tool=tool, origin_has_the_file=present):
                silent = self.start(SilentServer())
                self.forget_traffic()
                url, _ = self.publish()
                if not present:
                    del self.origin.files["/pkg/" + NAME]
                args = download_args(tool, url)
                env = self.tool_env(LARDERBOX_SERVER=silent.base())
                direct = self.direct(tool, args, env)
                direct_output = self.output_file()
                self.origin.forget()
                started = time.monotonic()
                completed = self.through_shim(tool, args, env, timeout=SLOW_TIMEOUT)
                elapsed = time.monotonic() - started
                self.assertGreaterEqual(elapsed, 4.5)
                self.assertLess(elapsed, 15)
                self.assertEqual(completed.returncode, direct.returncode)
                self.assertEqual(completed.stderr, direct.stderr)
                self.assertEqual(self.output_file(), direct_output)
                if present:
                    self.assertEqual(direct_output, ORIGIN_BODY)
                    self.assertEqual(completed.returncode, 0)
                else:
                    self.assertNotEqual(completed.returncode, 0)
                self.assertEqual(self.origin.requests(), [("GET", "/pkg/" + NAME)])
                self.assertEqual(silent.connection_count(), 1)


class ProbeRequest(CacheCase):
    """The probe carries none of the caller's options; the redirected download carries them all
    (credentials and other headers never get this far: such command lines are not redirected)."""

    ROWS = {
        "curl": ["-fsS", "-H", "Pragma: x-secret", "-A", "agent/9", "-o", "out"],
        "wget": ["-q", "--header", "Pragma: x-secret", "-U", "agent/9", "-O", "out"],
    }

    def test_callers_headers_stay_out_of_the_probe(self):
        for tool, options in self.ROWS.items():
            for hit in (True, False):
                with self.subTest(tool=tool, hit=hit):
                    self.forget_traffic()
                    url, address = self.publish()
                    if not hit:
                        self.cache.answer(address, 404)
                    env = self.tool_env(LARDERBOX_SERVER=self.cache.base())
                    completed = self.through_shim(tool, options + [url], env)
                    self.assert_downloaded_from(completed, CACHE_BODY if hit else ORIGIN_BODY)
                    log = self.cache.log()
                    self.assertEqual(log[0].method, "HEAD")
                    probe = log[0]
                    self.assertEqual(probe.header("Pragma"), [])
                    self.assertEqual(probe.header("Authorization"), [])
                    self.assertEqual(probe.header("User-Agent"), [tool_user_agent(tool)])
                    download = log[1] if hit else self.origin.log()[0]
                    self.assertEqual(len(log), 2 if hit else 1)
                    self.assertEqual(download.method, "GET")
                    self.assertEqual(download.header("Pragma"), ["x-secret"])
                    self.assertEqual(download.header("User-Agent"), ["agent/9"])


class StandardInput(CacheCase):
    def setUp(self):
        super().setUp()
        self.data = os.urandom(MIB)
        self.digest = hashlib.sha256(self.data).hexdigest()

    def test_uploads_from_stdin_reach_the_origin_whole(self):
        # Even for a URL the cache holds: an upload is never redirected, nor probed.
        rows = [
            ("PUT from -T -", "PUT", ["-fsS", "-T", "-"]),
            ("POST from --data-binary @-", "POST", ["-fsS", "--data-binary", "@-"]),
        ]
        for label, method, options in rows:
            with self.subTest(label):
                self.forget_traffic()
                url, _ = self.publish(url_path="/upload/blob.bin")
                env = self.tool_env(LARDERBOX_SERVER=self.cache.base())
                completed = self.through_shim("curl", options + [url], env, stdin=None,
                                              input=self.data)
                self.assertEqual((completed.returncode, completed.stderr), (0, b""))
                self.assertEqual(completed.stdout, b"received %d bytes\n" % MIB)
                uploads = [e for e in self.origin.log() if e.method == method]
                self.assertEqual([e.path for e in uploads], ["/upload/blob.bin"])
                self.assertEqual((uploads[0].body_length, uploads[0].body_sha256),
                                 (MIB, self.digest))
                self.assertEqual(self.cache.requests(), [])

    def test_probe_reads_nothing_of_the_callers_stdin(self):
        # A stand-in that reads its standard input to the end in the probe as well.
        for tool in ("curl", "wget"):
            for probe_status in (0, 1):
                with self.subTest(tool=tool, probe_status=probe_status):
                    self.forget_traffic()
                    fake = self.install_fake_tool(tool, probe_status=probe_status, then="stdin")
                    url, _ = self.publish()
                    env = self.tool_env(path=self.path("bin") + ":" + self.path("fake") + ":" +
                                        SYSTEM_PATH, LARDERBOX_SERVER=self.cache.base())
                    completed = self.through_shim(tool, download_args(tool, url), env, stdin=None,
                                                  input=self.data)
                    self.assertEqual((completed.returncode, completed.stderr), (0, b""))
                    self.assertEqual(self.read_case_file("probe-stdin-link"), b"/dev/null\n")
                    self.assertEqual(self.read_case_file("probe-stdin"), b"")
                    self.assertEqual(hashlib.sha256(self.read_case_file("real-stdin"))
                                     .hexdigest(), self.digest)
                    os.unlink(fake)


class ProbeEnvironment(CacheCase):
    def test_probe_gets_the_route_variables_only_and_the_real_tool_all_of_it(self):
        probe_options = {
            "curl": ["-q", "-g", "-fsS", "-I", "-m", "5", "-o", "/dev/null"],
            "wget": ["--no-config", "--no-netrc", "--spider", "-q", "-T", "5", "-t", "1"],
        }
        for tool in ("curl", "wget"):
            for empty_tool_variable in (False, True):
                with self.subTest(tool=tool, empty_tool_variable=empty_tool_variable):
                    self.forget_traffic()
                    fake = self.install_fake_tool(tool, probe_status=0, then="stop")
                    url, address = self.publish()
                    variable = tool.upper() + "LARDERBOX_SERVER"
                    env = self.tool_env(
                        path=self.path("bin") + ":" + self.path("fake") + ":" + SYSTEM_PATH,
                        HOME=self.path("home"), LANG="C.UTF-8", https_proxy="http://127.0.0.1:9",
                        LARDERBOX_SERVER=self.cache.base(),
                        **{"REAL_" + tool.upper(): fake})
                    if empty_tool_variable:
                        env[variable] = ""
                    args = download_args(tool, url)
                    completed = self.through_shim(tool, args, env)
                    self.assertEqual((completed.returncode, completed.stderr), (0, b""))
                    # Only the proxy and certificate variables, byte for byte: no PATH, HOME, LANG.
                    self.assertEqual(self.read_case_file("probe-environ"),
                                     b"https_proxy=http://127.0.0.1:9\0")
                    probed = ("" if empty_tool_variable else self.cache.base()) + address
                    self.assertEqual(self.read_case_file("probe-args"),
                                     b"".join(os.fsencode(a) + b"\0"
                                              for a in probe_options[tool] + [probed]))
                    self.assertEqual(self.read_case_file("probe-cwd"),
                                     os.fsencode(self.case_dir) + b"\n")
                    expected_env = b"".join(os.fsencode(k) + b"=" + os.fsencode(v) + b"\0"
                                            for k, v in env.items())
                    self.assertEqual(self.read_case_file("real-environ"), expected_env)
                    self.assertEqual(self.read_case_file("real-args"),
                                     b"".join(os.fsencode(a if a != url else probed) + b"\0"
                                              for a in args))
                    os.unlink(fake)

    def test_probe_runs_the_file_the_hand_over_runs(self):
        # REAL_CURL without a slash: execve takes it from the working directory, so must the probe.
        for tool in ("curl", "wget"):
            with self.subTest(tool=tool):
                self.forget_traffic()
                fake = self.write_file(tool, fake_tool_script(tool, self.case_dir, then="stop")
                                       .encode(), mode=0o755)
                url, address = self.publish()
                env = self.tool_env(LARDERBOX_SERVER=self.cache.base(), **{"REAL_" + tool.upper(): tool})
                completed = self.through_shim(tool, download_args(tool, url), env)
                self.assertEqual((completed.returncode, completed.stderr), (0, b""))
                self.assertTrue(self.read_case_file("probe-args").endswith(
                    os.fsencode(self.cache.base() + address) + b"\0"))
                self.assertIn(os.fsencode(self.cache.base() + address),
                              self.read_case_file("real-args"))
                self.assertEqual(self.cache.log(), [])  # the probe was the fake's, not a real tool's
                os.unlink(fake)

    def test_probe_takes_the_callers_proxy_as_the_download_does(self):
        proxy = self.start(ProxyServer())
        for tool in ("curl", "wget"):
            with self.subTest(tool=tool):
                self.forget_traffic(self.origin, self.cache, proxy)
                url, address = self.publish()
                env = self.tool_env(LARDERBOX_SERVER=self.cache.base(), http_proxy=proxy.base())
                completed = self.through_shim(tool, download_args(tool, url), env)
                self.assert_downloaded_from(completed, CACHE_BODY)
                self.assertEqual(proxy.requests(), [("HEAD", self.cache.url(address)),
                                                    ("GET", self.cache.url(address))])
                log = self.cache.log()
                self.assertEqual([(e.method, e.path, e.header("Via")) for e in log],
                                 [("HEAD", address, ["1.1 recording-proxy"]),
                                  ("GET", address, ["1.1 recording-proxy"])])
                self.assertEqual(self.origin.requests(), [])


class ProbeConfiguration(CacheCase):
    """With HOME unset curl and wget find the home directory through the passwd entry. There, in
    a private mount namespace (the real home stays untouched), the user names a user agent in a
    curlrc and a wgetrc, a harmless setting that keeps the hit: the real tool uses it, the probe
    must not."""

    FILES = {
        ".curlrc": b"user-agent = \"from-rc\"\n",
        ".wgetrc": b"user_agent = from-rc\ntries = 3\n",
    }
    # Mounts an empty file system over the home directory ($0), copies the files from $1 into
    # it and runs the rest; 97 tells that the mount or the copy failed.
    SCRIPT = ('mount -t tmpfs larderbox-home "$0" && cp -p "$1"/.[a-z]* "$0"/ || exit 97\n'
              'shift\nexec "$@"\n')

    def private_mount_namespace(self):
        """unshare's command line for a private mount namespace and the user id inside it, or a
        skip where none can be made."""
        refusal = b""
        for options, uid in ((["--mount"], os.getuid()), (["--map-root-user", "--mount"], 0)):
            command = ["unshare", "--propagation", "private"] + options
            try:
                tried = subprocess.run(command + ["true"], capture_output=True, timeout=TIMEOUT)
            except FileNotFoundError:
                self.skipTest("unshare is not installed")
            if tried.returncode == 0:
                return command, uid
            refusal = tried.stderr
        self.skipTest("no mount namespace can be made here: " + refusal.decode(errors="replace"))

    def test_probe_reads_no_user_configuration(self):
        namespace, uid = self.private_mount_namespace()
        home = pwd.getpwuid(uid).pw_dir
        if not os.path.isdir(home):
            self.skipTest("the passwd home directory %s does not exist" % home)
        for name, content in self.FILES.items():
            self.write_file("rc/" + name, content, mode=0o600)
        for tool in ("curl", "wget"):
            with self.subTest(tool=tool):
                self.forget_traffic()
                url, address = self.publish()
                env = self.tool_env(LARDERBOX_SERVER=self.cache.base())
                self.assertNotIn("HOME", env)
                completed = self.launch(
                    namespace[0], args=namespace[1:] + ["sh", "-c", self.SCRIPT, home,
                                                         self.path("rc"), self.path("bin", tool)]
                    + download_args(tool, url), env=env, cwd=self.case_dir)
                if completed.returncode == 97:
                    self.skipTest("cannot mount over %s: %s" % (home, completed.stderr))
                self.assert_downloaded_from(completed, CACHE_BODY)
                agents = [(e.method, e.header("User-Agent")) for e in self.cache.log()]
                self.assertEqual(agents, [("HEAD", [tool_user_agent(tool)]), ("GET", ["from-rc"])])


class NoServer(CacheCase):
    """Without a cache server for this tool nothing is scanned or probed."""

    ROWS = [
        # label, tool, variables
        ("nothing set", "curl", {}),
        ("lower-case name", "curl", {"larderbox_server": "{cache}"}),
        ("longer name", "curl", {"LARDERBOX_SERVERX": "{cache}"}),
        ("prefixed name", "curl", {"XLARDERBOX_SERVER": "{cache}"}),
        ("only wget's variable", "curl", {"WGETLARDERBOX_SERVER": "{cache}"}),
        ("only curl's variable", "wget", {"CURLLARDERBOX_SERVER": "{cache}"}),
        ("nothing set", "wget", {}),
    ]

    def test_arguments_pass_unchanged_and_no_probe_runs(self):
        for label, tool, variables in self.ROWS:
            with self.subTest(label, tool=tool):
                self.forget_traffic()
                self.forget_records()
                url, _ = self.publish()
                values = {k: v.format(cache=self.cache.base()) for k, v in variables.items()}
                args = download_args(tool, url) + ["--url", url]
                # The recorder as the real tool: a probe of it would succeed (it exits 0) and
                # change the arguments.
                recorded = self.through_shim(tool, args, self.tool_env(
                    path=self.path("bin") + ":" + self.real_dir, RECORDER_OUT=self.records_path,
                    **values))
                self.assert_reached(recorded, os.path.join(self.real_dir, tool), args)
                # The machine's tool: the cache sees nothing, the origin serves the download.
                completed = self.through_shim(tool, download_args(tool, url),
                                              self.tool_env(**values))
                self.assert_downloaded_from(completed, ORIGIN_BODY)
                self.assertEqual(self.cache.requests(), [])
                self.assertEqual(self.origin.requests(), [("GET", "/pkg/" + NAME)])


class ProbeOutput(CacheCase):
    """Whatever the probe writes goes nowhere: the caller sees only the real download."""

    def test_real_tools_probe_output_is_discarded(self):
        rows = [
            # label, tool, cache answer for HEAD at the address (None: plain hit), body expected
            ("curl, miss with an error line", "curl", Answer(404, [], b"x" * 10000), ORIGIN_BODY),
            ("curl, hit with 100 KB of headers", "curl",
             Answer(200, [("X-Filler-%03d" % i, "f" * 200) for i in range(500)], CACHE_BODY),
             CACHE_BODY),
            ("wget, miss", "wget", Answer(404, [], b"x" * 10000), ORIGIN_BODY),
            ("wget, hit with headers", "wget",
             Answer(200, [("X-Filler-%03d" % i, "f" * 200) for i in range(100)], CACHE_BODY),
             CACHE_BODY),
        ]
        for label, tool, answer, expected in rows:
            with self.subTest(label):
                self.forget_traffic()
                url, address = self.publish()
                self.cache.answers[("HEAD", address)] = answer
                args = ["-s", url] if tool == "curl" else ["-q", "-O", "-", url]
                completed = self.through_shim(tool, args,
                                              self.tool_env(LARDERBOX_SERVER=self.cache.base()))
                self.assertEqual(completed.returncode, 0)
                self.assertEqual(completed.stderr, b"")
                self.assertEqual(completed.stdout, expected)

    def test_megabytes_of_probe_output_are_drained_and_dropped(self):
        for tool in ("curl", "wget"):
            for probe_status, expected in ((0, CACHE_BODY), (1, ORIGIN_BODY)):
                with self.subTest(tool=tool, probe_status=probe_status):
                    self.forget_traffic()
                    fake = self.install_fake_tool(tool, probe_status=probe_status,
                                                  probe_output=4 * MIB)
                    url, _ = self.publish()
                    env = self.tool_env(path=self.path("bin") + ":" + self.path("fake") + ":" +
                                        SYSTEM_PATH, LARDERBOX_SERVER=self.cache.base())
                    args = ["-s", url] if tool == "curl" else ["-q", "-O", "-", url]
                    completed = self.through_shim(tool, args, env)
                    self.assertEqual((completed.returncode, completed.stderr), (0, b""))
                    self.assertEqual(completed.stdout, expected)
                    os.unlink(fake)


class ExitStatus(CacheCase):
    """Nothing about the cache changes how a run ends: the status, output and downloaded file
    are those of the real tool run directly."""

    def test_status_equals_the_real_tools_own(self):
        dead = "http://127.0.0.1:%d" % unused_port()
        no_url = {"curl": ["-fsS", "-o", "out"], "wget": ["-q", "-O", "out"]}
        conditions = [
            # label, server ({cache}, {dead}), the cache's status at the address (None: it holds
            # the file), arguments (a function of tool and URL), probe requests the cache sees
            ("no URL", "{cache}", None, lambda tool, url: no_url[tool], 0),
            ("URL without a scheme", "{cache}", None,
             lambda tool, url: download_args(tool, url[len("http://"):]), 0),
            ("cache down", "{dead}", None, download_args, 0),
            ("cache 404", "{cache}", 404, download_args, 1),
            ("cache 500", "{cache}", 500, download_args, 1),
        ]
        for tool in ("curl", "wget"):
            for label, server, status, make_args, seen in conditions:
                for present in (True, False):
                    with self.subTest(label, tool=tool, origin_has_the_file=present):
                        self.forget_traffic()
                        url, address = self.publish()
                        if status is not None:
                            self.cache.answer(address, status)
                        if not present:
                            del self.origin.files["/pkg/" + NAME]
                        args = make_args(tool, url)
                        env = self.tool_env(LARDERBOX_SERVER=server.format(
                            cache=self.cache.base(), dead=dead))
                        direct = self.direct(tool, args, env)
                        direct_output = self.output_file()
                        self.cache.forget()
                        completed = self.through_shim(tool, args, env)
                        self.assertEqual(completed.returncode, direct.returncode)
                        self.assertEqual(completed.stdout, direct.stdout)
                        self.assertEqual(completed.stderr, direct.stderr)
                        self.assertEqual(self.output_file(), direct_output)
                        self.assertEqual(self.cache.requests(), [("HEAD", address)] * seen)
                        # The rows really differ in how the real tool ends.
                        fetches = label != "no URL"
                        self.assertEqual(direct.returncode == 0, fetches and present)
                        if fetches and present:
                            self.assertEqual(direct_output, ORIGIN_BODY)

    def test_a_redirecting_cache_counts_as_a_hit_for_curl(self):
        # curl's probe does not follow the 302 and -f fails only from 400 on: the probe exits 0,
        # and the real curl is sent to the cache, where it gets the redirect itself. Without -L
        # the caller receives the redirect's page with status 0, even where the origin would have
        # failed; with -L it follows to the Location and ends as a direct run would.
        rows = [
            # options, origin holds the file, expected status, expected file
            (["-fsS"], True, 0, b"moved\n"),
            (["-fsS"], False, 0, b"moved\n"),
            (["-fsSL"], True, 0, ORIGIN_BODY),
            (["-fsSL"], False, 22, None),
        ]
        for options, present, status, expected in rows:
            with self.subTest(options=options, origin_has_the_file=present):
                self.forget_traffic()
                url, address = self.publish()
                self.cache.answer(address, 302, [("Location", url)], b"moved\n")
                if not present:
                    del self.origin.files["/pkg/" + NAME]
                completed = self.through_shim("curl", options + ["-o", "out", url],
                                              self.tool_env(LARDERBOX_SERVER=self.cache.base()))
                self.assertEqual(completed.returncode, status)
                self.assertEqual(self.output_file(), expected)
                self.assertEqual(self.cache.requests(), [("HEAD", address), ("GET", address)])
                followed = [("GET", "/pkg/" + NAME)] if "-fsSL" in options else []
                self.assertEqual(self.origin.requests(), followed)

    def test_a_redirecting_cache_is_followed_by_wget(self):
        # wget's spider follows the redirect: the probe's verdict is that of the Location, and a
        # hit downloads through the redirect, so the run ends as a direct run would.
        for present in (True, False):
            with self.subTest(origin_has_the_file=present):
                self.forget_traffic()
                url, address = self.publish()
                self.cache.answer(address, 302, [("Location", url)], b"moved\n")
                if not present:
                    del self.origin.files["/pkg/" + NAME]
                args = download_args("wget", url)
                env = self.tool_env(LARDERBOX_SERVER=self.cache.base())
                direct = self.direct("wget", args, env)
                direct_output = self.output_file()
                self.origin.forget()
                self.cache.forget()
                completed = self.through_shim("wget", args, env)
                self.assertEqual(completed.returncode, direct.returncode)
                self.assertEqual(completed.stderr, direct.stderr)
                self.assertEqual(self.output_file(), direct_output)
                if present:
                    self.assertEqual((completed.returncode, direct_output), (0, ORIGIN_BODY))
                    self.assertEqual(self.cache.requests(), [("HEAD", address), ("GET", address)])
                    self.assertEqual(self.origin.requests(),
                                     [("HEAD", "/pkg/" + NAME), ("GET", "/pkg/" + NAME)])
                else:
                    self.assertEqual(completed.returncode, 8)
                    self.assertEqual(self.cache.requests(), [("HEAD", address)])
                    self.assertEqual(self.origin.requests(),
                                     [("HEAD", "/pkg/" + NAME), ("GET", "/pkg/" + NAME)])


if __name__ == "__main__":
    harness.main()
