"""nginx with the shipped configuration as a cache host on 127.0.0.1, for an ordinary user, and the
helpers of servers that run as processes of their own.

Environment (set by ctest): LARDERBOX_SOURCE_DIR, the tree that holds contrib/nginx.
"""

import http.client
import os
import pwd
import re
import shutil
import socket
import subprocess
import time

from http_servers import unused_port

SOURCE_DIR = os.environ.get("LARDERBOX_SOURCE_DIR", "")
TIMEOUT = 30


def find_program(name):
    found = shutil.which(name, path=os.environ.get("PATH", "") + ":/usr/sbin:/sbin")
    if found is None:
        raise AssertionError(name + " is not installed (scripts/install-deps installs it)")
    return found


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
            self.port = unused_port()
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



def shipped_edge_conf(port, primary, lifetime):
    """The shipped larderbox-edge.conf in front of `primary` (a URL) on 127.0.0.1:`port`, entries
    kept `lifetime`, in a whole nginx.conf with every path below the prefix, as nginx.conf wraps
    the primary's block, and the `received` log added."""
    with open(os.path.join(SOURCE_DIR, "contrib", "nginx", "larderbox-edge.conf")) as f:
        text = f.read()
    for pattern, value in (
            (r"proxy_cache_path /var/cache/larderbox-edge ", "proxy_cache_path cache "),
            (r"listen 8080;", "listen 127.0.0.1:%d;" % port),
            (r"access_log /var/log/nginx/larderbox-edge\.log larderbox_edge;",
             "access_log logs/access.log larderbox_edge; access_log logs/received.log received;"),
            (r"proxy_pass http://primary\.example:8080;", "proxy_pass %s;" % primary),
            (r"proxy_cache_valid 200 10m;", "proxy_cache_valid 200 %s;" % lifetime)):
        text, count = re.subn(pattern, lambda m, v=value: v, text)
        if count != 1:
            raise AssertionError("larderbox-edge.conf lost its line " + pattern)
    temp = "".join("%s_temp_path temp/%s; " % (n, n) for n in
                   ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
    return "pid logs/nginx.pid; events {} http { %s %s\n%s}" % (temp, RECEIVED_LOG, text)


class NginxEdge(NginxServer):
    """nginx with the shipped edge block in front of `primary`, its proxy cache below `work`."""

    def __init__(self, work, primary, lifetime="10m"):
        super().__init__(work, os.path.join(work, "cache"))
        self.primary, self.lifetime = primary, lifetime

    def _write_conf(self):
        with open(os.path.join(self.work, "nginx.conf"), "w") as f:
            f.write(shipped_edge_conf(self.port, self.primary, self.lifetime))
