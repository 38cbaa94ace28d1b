"""A quiet static file server on 127.0.0.1 for the download scenario.

python3 serve.py DIRECTORY   prints the port it listens on, then serves DIRECTORY until its
standard input closes (so it cannot outlive the benchmark that started it) or it gets SIGTERM.
"""
import functools
import http.server
import sys
import threading


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, format, *args):  # one line per request would cost more than the request
        pass


def main():
    handler = functools.partial(QuietHandler, directory=sys.argv[1])
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    print(server.server_address[1], flush=True)
    sys.stdin.read()
    server.shutdown()


if __name__ == "__main__":
    main()
