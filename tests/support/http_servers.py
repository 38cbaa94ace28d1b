"""HTTP servers on 127.0.0.1 in a thread of the test process, shared by every suite: one that serves
given files and fixed answers and logs every request, a forward proxy that logs what it forwards,
and one that accepts connections and never answers."""

import hashlib
import http.client
import http.server
import select
import socket
import threading
import urllib.parse

from harness import TIMEOUT


def unused_port():
    """A loopback port with nothing listening on it (as long as nobody takes it meanwhile)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


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


class SocketServer:
    """Accepts connections on 127.0.0.1 in a thread and hands each to `accepted`, for servers that
    speak raw bytes rather than HTTP."""

    def __init__(self):
        self._socket = socket.socket()
        self._socket.bind(("127.0.0.1", 0))
        self._socket.listen(16)
        self.port = self._socket.getsockname()[1]
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._accept_until_stopped, daemon=True)
        self._thread.start()

    def _accept_until_stopped(self):
        while not self._stop.is_set():
            ready, _, _ = select.select([self._socket], [], [], 0.05)
            if ready:
                connection, _ = self._socket.accept()
                self.accepted(connection)

    def accepted(self, connection):
        raise NotImplementedError

    def base(self):
        return "http://127.0.0.1:%d" % self.port

    def close(self):
        self._stop.set()
        self._thread.join(TIMEOUT)
        self._socket.close()


class SilentServer(SocketServer):
    """Accepts connections on 127.0.0.1 and never answers on them."""

    def __init__(self):
        self._connections = []
        super().__init__()

    def accepted(self, connection):
        self._connections.append(connection)

    def connection_count(self):
        return len(self._connections)

    def close(self):
        super().close()
        for connection in self._connections:
            connection.close()
