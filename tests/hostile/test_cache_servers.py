"""Cache servers that misbehave towards the probe of the machine's real curl and wget: late
answers, reset connections, error statuses, malformed status lines and garbage, headers that never
end. The verdict is the real tool's own (its probe command run directly is the oracle), and no
download fails because of the cache: the file arrives intact from the cache or the origin, and the
status is what the real tool alone gives."""

import concurrent.futures
import socket
import struct
import threading
import time

import harness
from cache_case import CACHE_BODY, NAME, ORIGIN_BODY, REAL, CacheCase
from http_servers import SocketServer

# The probe's own limit is 5 s; a run that waits it out, plus the download, on a loaded machine.
SLOW_TIMEOUT = 60
PROBE_OPTIONS = {
    "curl": ["-q", "-g", "-fsS", "-I", "-m", "5", "-o", "/dev/null"],
    "wget": ["--no-config", "--no-netrc", "--spider", "-q", "-T", "5", "-t", "1"],
}


def read_head(connection, limit=64 * 1024):
    """The request's head (up to the blank line), or what arrived before the peer stopped."""
    data = b""
    while b"\r\n\r\n" not in data and len(data) < limit:
        try:
            chunk = connection.recv(4096)
        except OSError:
            break
        if not chunk:
            break
        data += chunk
    return data


def reset(connection):
    """Closes with a reset instead of an orderly end: SO_LINGER on, zero seconds."""
    connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    connection.close()


def answer(status_line, headers=(), body=b""):
    head = [status_line] + ["%s: %s" % pair for pair in headers]
    head += ["Content-Length: %d" % len(body), "Connection: close"]
    return ("\r\n".join(head) + "\r\n\r\n").encode() + body


class HostileCache(SocketServer):
    """A cache on 127.0.0.1 that serves `body` at `address` for GET, and answers every HEAD (the
    probe) with `on_probe(connection)`; anything else gets 404. It logs each request line."""

    def __init__(self, address, on_probe, body=CACHE_BODY):
        self.address, self.on_probe, self.body = address, on_probe, body
        self._lock = threading.Lock()
        self._log = []
        self._handlers = []
        super().__init__()

    def requests(self):
        with self._lock:
            return list(self._log)

    def forget(self):
        with self._lock:
            self._log.clear()

    def accepted(self, connection):
        handler = threading.Thread(target=self._serve, args=(connection,), daemon=True)
        self._handlers.append(handler)
        handler.start()

    def _serve(self, connection):
        connection.settimeout(harness.TIMEOUT)
        try:
            if self.on_probe is reset:
                # Reset before even reading: the request is never seen.
                with self._lock:
                    self._log.append(("?", "?"))
                reset(connection)
                return
            words = read_head(connection).split(b"\r\n", 1)[0].split()
            method, path = (words[0].decode(), words[1].decode()) if len(words) >= 2 else ("", "")
            with self._lock:
                self._log.append((method, path))
            if method == "HEAD":
                if self.on_probe(connection, self._stop) is False:
                    return  # the behaviour closed the connection itself
            elif method == "GET" and path == self.address:
                connection.sendall(answer("HTTP/1.1 200 OK", body=self.body))
            else:
                connection.sendall(answer("HTTP/1.1 404 Not Found"))
        except OSError:
            pass  # the client gave up: a probe that timed out
        try:
            connection.close()
        except OSError:
            pass

    def close(self):
        # No new handler once the accepting thread has ended; the behaviours see the stop too.
        self._stop.set()
        self._thread.join(harness.TIMEOUT)
        for handler in self._handlers:
            handler.join(harness.TIMEOUT)
        super().close()


def sends(data):
    def behave(connection, _stop):
        connection.sendall(data)
    return behave


def late(seconds, data):
    def behave(connection, stop):
        if stop.wait(seconds):
            return
        connection.sendall(data)
    return behave


def resets_after_the_request(connection, _stop):
    reset(connection)
    return False


def headers_without_end(connection, stop):
    """A status line, then a header line every half second, for at most a minute."""
    connection.sendall(b"HTTP/1.1 200 OK\r\n")
    for number in range(120):
        if stop.wait(0.5):
            return
        connection.sendall(b"X-Slow-%d: still coming\r\n" % number)


OK = answer("HTTP/1.1 200 OK")
UNAVAILABLE = sends(answer("HTTP/1.1 503 Service Unavailable", [("Retry-After", "1")]))
ROWS = [
    # label, what the cache does with the probe's HEAD
    ("answers 200 after 1.5 s", late(1.5, OK)),
    ("resets at once", reset),
    ("resets after the request", resets_after_the_request),
    ("closes without a word", sends(b"")),
    ("503 with Retry-After", UNAVAILABLE),
    ("502", sends(answer("HTTP/1.1 502 Bad Gateway"))),
    ("429", sends(answer("HTTP/1.1 429 Too Many Requests"))),
    ("status without a code", sends(b"HTTP/1.1 OK\r\n\r\n")),
    ("status code not a number", sends(b"HTTP/1.1 abc Fine\r\nContent-Length: 0\r\n\r\n")),
    ("status code of four digits", sends(b"HTTP/1.1 2000 OK\r\nContent-Length: 0\r\n\r\n")),
    ("status line cut short", sends(b"HTTP/1.1 200 O")),
    ("headers cut short", sends(b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n")),
    ("another protocol's banner", sends(b"SSH-2.0-OpenSSH_9.2p1\r\n")),
    ("binary garbage", sends(bytes(range(256)) * 16)),
    ("garbage lines", sends(b"\x00\xff\xfe nothing like HTTP \x1b[2J\r\n\r\n" * 50)),
]


class HostileCaches(CacheCase):
    def oracle(self, tool, cache):
        """The real tool's verdict: its probe command run directly, without environment."""
        address = cache.base() + cache.address
        probed = self.launch(REAL[tool], args=PROBE_OPTIONS[tool] + [address], env={},
                             timeout=SLOW_TIMEOUT)
        cache.forget()
        return probed.returncode

    def download_args(self, tool, url):
        out = "out-" + tool  # one file per tool, so that both tools may run at once
        return ["-fsS", "-o", out, url] if tool == "curl" else ["-q", "-O", out, url]

    def take_output(self, tool):
        return self.output_file("out-" + tool)

    def check(self, tool, url, cache, present, timeout=harness.TIMEOUT, verdict=None):
        """One download through the shim with `cache` as the cache server; `verdict` is the
        probe's exit status if known, otherwise the oracle finds it. Returns the run's seconds."""
        if verdict is None:
            verdict = self.oracle(tool, cache)
        args = self.download_args(tool, url)
        env = self.tool_env(LARDERBOX_SERVER=cache.base())
        direct = self.direct(tool, args, env)
        direct_output = self.take_output(tool)
        cache.forget()
        started = time.monotonic()
        completed = self.through_shim(tool, args, env, timeout=timeout)
        elapsed = time.monotonic() - started
        if verdict == 0:
            self.assertEqual((completed.returncode, completed.stderr), (0, b""))
            self.assertEqual(self.take_output(tool), CACHE_BODY)
            self.assertEqual(cache.requests()[-1], ("GET", cache.address))
        else:
            self.assertEqual(completed.returncode, direct.returncode)
            self.assertEqual(completed.stderr, direct.stderr)
            self.assertEqual(self.take_output(tool), direct_output)
            self.assertNotIn(("GET", cache.address), cache.requests())
            # Without the file wget still leaves an empty one behind, as it does run directly.
            self.assertEqual(direct_output == ORIGIN_BODY, present)
        self.assertEqual(completed.returncode == 0, verdict == 0 or present)
        return elapsed

    def hostile_cache(self, url, on_probe):
        cache = HostileCache(harness.cache_address("", url), on_probe)
        self.addCleanup(cache.close)
        return cache

    def test_every_misbehaviour_gives_the_real_tools_verdict(self):
        url, _ = self.publish()
        for label, on_probe in ROWS:
            cache = self.hostile_cache(url, on_probe)
            for tool in ("curl", "wget"):
                for present in (True, False):
                    with self.subTest(label, tool=tool, origin_has_the_file=present):
                        self.origin.forget()
                        if present:
                            self.origin.serve("/pkg/" + NAME, ORIGIN_BODY)
                        else:
                            self.origin.files.clear()
                        self.check(tool, url, cache, present)
            cache.close()

    def test_the_late_answer_is_a_hit_and_a_reset_or_503_a_miss(self):
        # The oracle above decides each row; these rows do not depend on a tool's leniency (wget
        # takes an answer without a status line as an old-style response, and that is a hit).
        url, _ = self.publish()
        for label, on_probe, expected in (("late", late(1.5, OK), True),
                                          ("reset", reset, False),
                                          ("503", UNAVAILABLE, False)):
            cache = self.hostile_cache(url, on_probe)
            for tool in ("curl", "wget"):
                with self.subTest(label, tool=tool):
                    self.assertEqual(self.oracle(tool, cache) == 0, expected)
            cache.close()

    def both_tools_at_once(self, cache, url, least, most):
        """Runs the download with curl and with wget in parallel (each waits out a probe limit)
        and checks both fall back to the origin within [least, most) seconds."""
        with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
            futures = {tool: pool.submit(self.check, tool, url, cache, True, SLOW_TIMEOUT, 1)
                       for tool in ("curl", "wget")}
            for tool, future in futures.items():
                with self.subTest(tool=tool):
                    elapsed = future.result(timeout=SLOW_TIMEOUT * 3)
                    self.assertGreaterEqual(elapsed, least)
                    self.assertLess(elapsed, most)

    def test_an_answer_after_the_probe_limit_is_a_miss(self):
        url, _ = self.publish()
        cache = self.hostile_cache(url, late(7, OK))
        self.both_tools_at_once(cache, url, 4.5, 12)

    def test_headers_that_never_end_are_a_miss(self):
        # curl's 5-second limit covers the whole transfer; wget's covers one read, and a header
        # line every half second never lets it expire.
        url, _ = self.publish()
        cache = self.hostile_cache(url, headers_without_end)
        self.both_tools_at_once(cache, url, 4.5, 25)


if __name__ == "__main__":
    harness.main()
