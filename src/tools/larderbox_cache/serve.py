"""serve: a running cache in one command. The machine's nginx serves DIR with the shipped
nginx.conf, learn --follow's own loop learns from its log in this process, and nothing of it
outlives this process: nginx gets SIGTERM when it ends, however it ends."""

import errno
import grp
import ipaddress
import os
import pwd
import re
import shutil
import signal
import socket
import subprocess
import time

from .fetch import die_with
from .figures import Tally
from .learn import learn
from .logs import LogReader
from .metrics import directory_figures, exposition, write_atomically
from .run import POLL
from .store import Store

DEFAULT_LISTEN = "127.0.0.1:8080"
WORKER_ACCOUNT = "nobody"  # nginx's own default for its workers when started as root
NGINX_PACKAGE = "nginx"
SBIN = "/usr/sbin:/sbin"  # where Debian puts nginx, off an ordinary user's PATH
START_WAIT = 10
STOP_WAIT = 10
METRICS_EVERY = 60
ERROR_TAIL = 2000
# Characters nginx would take for syntax or variables even inside a quoted path.
UNSAFE_PATH = re.compile(r'["\\$\x00-\x1f\x7f]')
# An edge's upstream: a host name or an IP address, a port, nothing else.
UPSTREAM = re.compile(r"http://([A-Za-z0-9](?:[A-Za-z0-9.-]*[A-Za-z0-9])?|\[[0-9A-Fa-f:.]+\])"
                      r"(?::([0-9]{1,5}))?/?")
EDGE_CACHE = "edge-cache"  # below DIR: the edge's proxy cache
PROXY_ENTRY = re.compile(r"[0-9a-f]{32}")  # nginx names a cached file by its key's MD5
DEFAULT_EDGE_LIFETIME = 600


class Refusal(Exception):
    """serve cannot start; the text says why."""


def default_directory():
    if os.geteuid() == 0:
        return "/var/cache/larderbox"
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, "larderbox")


def parse_listen(text):
    """(address, port) of ADDR:PORT or [IPV6]:PORT; ValueError when it is neither."""
    host, _, port = text.rpartition(":")
    if host.startswith("[") and host.endswith("]"):
        host = host[1:-1]
    try:
        address = ipaddress.ip_address(host)
    except ValueError:
        raise ValueError("not ADDRESS:PORT with an IP address: %r" % text) from None
    if not port.isdigit() or not 0 < int(port) < 65536:
        raise ValueError("not a port from 1 to 65535: %r" % text)
    return str(address), int(port)


def parse_upstream(text):
    """http://HOST[:PORT] of an edge's upstream as nginx's proxy_pass takes it; ValueError for
    anything else: another scheme, user information, a path beyond /, a query."""
    match = UPSTREAM.fullmatch(text)
    if match is None:
        raise ValueError("not http://HOST[:PORT] without a path, user or query: %r" % text)
    host, port = match.group(1), int(match.group(2) or 80)
    if host.startswith("["):
        try:
            ipaddress.IPv6Address(host[1:-1])
        except ValueError:
            raise ValueError("not an IPv6 address: %r" % text) from None
    if not 0 < port < 65536:
        raise ValueError("not a port from 1 to 65535: %r" % text)
    return "http://%s:%d" % (host, port)


def upstream_is_itself(upstream, host, port):
    """True when the edge's `upstream` is its own listening address: every request would be
    passed on to itself until nginx runs out of connections. Names other than localhost are
    not resolved."""
    upstream_host, _, upstream_port = upstream[len("http://"):].rpartition(":")
    upstream_host = upstream_host.strip("[]")
    try:
        address = ipaddress.ip_address("127.0.0.1" if upstream_host == "localhost"
                                       else upstream_host)
    except ValueError:
        return False
    listening = ipaddress.ip_address(host)
    return int(upstream_port) == port and (
        address == listening or (listening.is_unspecified and address.is_loopback))


def client_url(host, port):
    """The address clients use: the machine's name when listening on every address."""
    address = ipaddress.ip_address(host)
    if address.is_unspecified:
        host = socket.gethostname()
    elif address.version == 6:
        host = "[%s]" % host
    return "http://%s:%d" % (host, port)


def shipped_configuration(name="nginx.conf"):
    """The shipped nginx file `name`: beside the package in the build tree, share/larderbox/nginx
    when installed (the package is in share/larderbox/python)."""
    parent = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    for directory in (os.path.join(parent, "nginx"), os.path.join(parent, os.pardir, "nginx")):
        path = os.path.normpath(os.path.join(directory, name))
        if os.path.isfile(path):
            return path
    raise Refusal("the shipped %s is not installed beside larderbox-cache's package" % name)


def filled_in(path, lines):
    """The text of the shipped file `path` with each (pattern, text) of `lines` put in place of
    the one line or block the pattern matches, keeping its indentation (the pattern's first
    group)."""
    with open(path, encoding="utf-8") as f:
        text = f.read()
    for pattern, value in lines:
        text, count = re.subn(pattern, lambda m, v=value: m.group(1) + v, text)
        if count != 1:
            raise Refusal("%s lost its line %s" % (path, pattern))
    return text


def quoted(path):
    return '"%s"' % path


def edge_block(listen, upstream, proxy_cache, budget, lifetime):
    """The shipped edge block in front of `upstream`, on `listen`, its proxy cache in
    `proxy_cache` holding at most `budget` bytes (None: the shipped size), an entry kept
    `lifetime` seconds, logging below the prefix."""
    lines = [
        (r"(?m)^(proxy_cache_path) /var/cache/larderbox-edge ", " %s " % quoted(proxy_cache)),
        (r"(?m)^(\s*)listen 8080;$", "listen %s;" % listen),
        (r"(?m)^(\s*)access_log /var/log/nginx/larderbox-edge\.log larderbox_edge;$",
         "access_log logs/access.log larderbox_edge;"),
        (r"(?m)^(\s*)proxy_pass http://primary\.example:8080;$", "proxy_pass %s;" % upstream),
        (r"(?m)^(\s*)proxy_cache_valid 200 10m;$", "proxy_cache_valid 200 %ds;" % lifetime),
    ]
    if budget is not None:
        lines.append((r"(\s)max_size=10g ", "max_size=%dk " % max(1, budget >> 10)))
    return filled_in(shipped_configuration("larderbox-edge.conf"), lines)


def configuration(host, port, root, account, edge=None):
    """The shipped nginx.conf listening on host:port, with its workers run as `account` (name,
    group) when started by root, serving `root`; or, with `edge` (the arguments of edge_block
    but the address), the edge block in place of its server block."""
    listen = "[%s]:%d" % (host, port) if ":" in host else "%s:%d" % (host, port)
    if edge is None:
        lines = [(r"(?m)^(\s*)listen 127\.0\.0\.1:8080;$", "listen %s;" % listen),
                 (r"(?m)^(\s*)root cache;$", "root %s;" % quoted(root))]
    else:
        # The server block and the comment lines above it.
        lines = [(r"(?ms)^(?:    #[^\n]*\n)*(    )server \{\n.*?^    \}$",
                  edge_block(listen, *edge))]
    text = filled_in(shipped_configuration(), lines)
    if account is not None:
        text = "user %s %s;\n" % account + text
    return text


def find_nginx():
    found = shutil.which("nginx", path=os.environ.get("PATH", "") + ":" + SBIN)
    if found is None:
        raise Refusal("nginx is not installed (not on PATH, nor in %s): install Debian's package "
                      "%s (apt-get install %s)" % (SBIN.replace(":", ", "), NGINX_PACKAGE,
                                                   NGINX_PACKAGE))
    return found


def check_port(host, port):
    """Refuses an address another server listens on, as nginx would bind it."""
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    with socket.socket(family, socket.SOCK_STREAM) as probe:
        probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            probe.bind((host, port))
        except OSError as error:
            if error.errno == errno.EADDRINUSE:
                raise Refusal("%s port %d is taken: another server listens there (choose "
                              "another with --listen)" % (host, port)) from None
            raise Refusal("cannot listen on %s port %d: %s" % (host, port, error.strerror)) \
                from None


def worker_account():
    """(name, group) nginx's workers run as when root starts it."""
    try:
        entry = pwd.getpwnam(WORKER_ACCOUNT)
        return entry.pw_name, grp.getgrgid(entry.pw_gid).gr_name
    except KeyError:
        raise Refusal("there is no account %s (or no group of it) for nginx's workers"
                      % WORKER_ACCOUNT) from None


def check_workers_reach(entries, account):
    """Refuses a cache whose entries directory `entries` the workers' account cannot search:
    every probe would be a miss, said only in nginx's error log. Asked as that account."""
    entry = pwd.getpwnam(account[0])
    child = os.fork()
    if child == 0:
        try:
            os.initgroups(entry.pw_name, entry.pw_gid)
            os.setgid(entry.pw_gid)
            os.setuid(entry.pw_uid)
            os._exit(0 if os.access(entries, os.X_OK) else 1)
        finally:
            os._exit(2)
    _, status = os.waitpid(child, 0)
    if os.waitstatus_to_exitcode(status) != 0:
        raise Refusal("nginx's workers run as %s, who cannot reach %s: let others search every "
                      "directory above it (chmod o+x) or choose another DIR"
                      % (account[0], os.fsdecode(entries)))


class Nginx:
    """nginx in the foreground, its prefix DIR/nginx, in a process group of its own (a terminal's
    ^C reaches serve, which stops it in order), sent SIGTERM by the kernel when serve ends."""

    def __init__(self, program, prefix):
        self.program, self.prefix = program, prefix
        self.process = None
        self.error_log = os.path.join(prefix, "logs", "error.log")

    def start(self, conf):
        command = [self.program, "-p", self.prefix + "/", "-e", "logs/error.log", "-c", conf,
                   "-g", "daemon off;"]
        self.process = subprocess.Popen(
            command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL, process_group=0,
            preexec_fn=die_with(os.getpid(), signal.SIGTERM))

    def errors(self):
        try:
            with open(self.error_log, "rb") as f:
                f.seek(max(0, os.fstat(f.fileno()).st_size - ERROR_TAIL))
                return f.read().decode("utf-8", "replace").strip()
        except OSError:
            return ""

    def wait_listening(self, host, port):
        address = "::1" if host == "::" else "127.0.0.1" if host == "0.0.0.0" else host
        deadline = time.monotonic() + START_WAIT
        while time.monotonic() < deadline and self.process.poll() is None:
            try:
                socket.create_connection((address, port), timeout=1).close()
                return
            except OSError:
                time.sleep(0.05)
        self.stop()
        raise Refusal("nginx did not start: %s" % (self.errors() or "see " + self.error_log))

    def alive(self):
        return self.process.poll() is None

    def reopen_logs(self):
        if self.alive():
            self.process.send_signal(signal.SIGUSR1)

    def stop(self):
        """SIGTERM (nginx ends its workers), then SIGKILL to its whole group, still unreaped so
        that the group cannot be another's."""
        if self.process is None or not self.alive():
            return
        self.process.terminate()
        try:
            self.process.wait(timeout=STOP_WAIT)
        except subprocess.TimeoutExpired:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()


def proxy_cache_figures(path):
    """{"entries": N, "cache_bytes": B} of nginx's proxy cache at `path` (its temporary files
    left out)."""
    entries = size = 0
    for parent, _, names in os.walk(path):
        for name in names:
            if PROXY_ENTRY.fullmatch(name):
                try:
                    size += os.lstat(os.path.join(parent, name)).st_size
                    entries += 1
                except OSError:
                    pass  # evicted meanwhile
    return {"entries": entries, "cache_bytes": size}


class Watch:
    """What serve does beside learning, once per round of the learn loop (an edge's: of its log
    loop): it counts the log's lines, notices learn's and refresh's latest results, watches
    nginx, reopens its logs after SIGHUP, prints the status line and writes the metrics."""

    def __init__(self, run, directory, nginx, status_every, metrics, proxy_cache=None):
        self.run, self.directory, self.nginx = run, directory, nginx
        self.proxy_cache = proxy_cache  # an edge's: its figures are the cache's
        self.status_every, self.metrics = status_every, metrics
        self.tally = Tally(per_entry=False)
        self.readers = []  # learn's, read to their end once nginx has stopped
        self.reopen = False
        self.nginx_failed = False
        now = time.monotonic()
        self.next_status = now + status_every if status_every else None
        self.next_metrics = now if metrics else None

    def lines(self, blocks):
        self.tally.add(blocks)

    def read_to_end(self):
        """The lines nginx wrote after learn's last round, so that the last figures hold them."""
        for reader in self.readers:
            for _ in range(1000):
                lines = reader.read()
                if not lines:
                    break
                self.tally.add(lines)

    def tick(self):
        if not self.nginx.alive():
            self.run.warn("nginx ended with status %d: %s" % (
                self.nginx.process.returncode, self.nginx.errors() or "see " + self.nginx.error_log))
            self.nginx_failed = True
            self.run.abort()
        if self.reopen:
            self.reopen = False
            self.nginx.reopen_logs()
        now = time.monotonic()
        if self.next_status is not None and now >= self.next_status:
            self.next_status = now + self.status_every
            self.run.say(self.status())
        if self.next_metrics is not None and now >= self.next_metrics:
            self.next_metrics = now + METRICS_EVERY
            self.write_metrics()

    def figures(self):
        if self.proxy_cache is not None:
            return dict(self.tally.total(), **proxy_cache_figures(self.proxy_cache))
        # learn records its rounds in the directory: the same figures report --dir reads
        return dict(self.tally.total(), **directory_figures(self.run, self.directory))

    def status(self):
        f = self.figures()
        ratio = "%.1f%%" % (100.0 * f["hits"] / f["probes"]) if f["probes"] else "-"
        return "%s serve: %d probes, %d hits, hit ratio %s, %d entries, %d bytes" % (
            self.run.name, f["probes"], f["hits"], ratio, f.get("entries", 0),
            f.get("cache_bytes", 0))

    def write_metrics(self):
        try:
            write_atomically(self.metrics, exposition(self.figures()))
        except OSError as error:
            self.run.warn("cannot write %s: %s" % (self.metrics, error.strerror))


def prepare(run, directory, host, port, edge=None):
    """nginx found, the address free, DIR made with what the workers serve (the entries, or with
    `edge`, (upstream, budget, lifetime), the proxy cache) reachable by them, the configuration
    written; the Nginx not yet started, the configuration's path and what is served."""
    nginx = find_nginx()
    check_port(host, port)
    root = os.path.abspath(directory)
    if UNSAFE_PATH.search(root):
        raise Refusal("nginx cannot be given a directory whose path holds quotes, backslashes, "
                      "$ or control characters: %r" % root)
    account = None
    if os.geteuid() == 0:
        os.umask(0o022)  # entries and their directories must be readable by the workers
        account = worker_account()
    served = Store(run, root).root if edge is None else os.path.join(root, EDGE_CACHE)
    prefix = os.path.join(root, "nginx")
    try:
        os.makedirs(served, exist_ok=True)
        for name in ("logs", "temp"):
            os.makedirs(os.path.join(prefix, name), exist_ok=True)
    except OSError as error:
        raise Refusal("cannot make %s: %s" % (error.filename, error.strerror)) from None
    if account is not None:
        check_workers_reach(served, account)
    conf = os.path.join(prefix, "nginx.conf")
    if edge is not None:
        edge = (edge[0], served) + tuple(edge[1:])
    text = configuration(host, port, root, account, edge)
    try:
        write_atomically(conf, text)
    except OSError as error:
        raise Refusal("cannot write %s: %s" % (conf, error.strerror)) from None
    return Nginx(nginx, prefix), conf, served


def follow_log(run, log, watch):
    """An edge's loop: the figures of nginx's log as it grows, until SIGINT or SIGTERM. The exit
    status."""
    reader = LogReader(run, log, follow=True)
    watch.readers = [reader]
    while not run.stopping():
        lines = reader.read()
        watch.lines(lines)
        watch.tick()
        if not lines:
            time.sleep(POLL)
    return run.exit_status(0)


def serve(run, directory, listen, policy, limits, cache_size=None, retry_after=600,
          status_every=10, metrics=None, upstream=None, edge_lifetime=DEFAULT_EDGE_LIFETIME):
    """Serves `directory` with nginx on `listen` (ADDR:PORT) and learns from its log under
    `policy` within `limits`, until SIGINT or SIGTERM; SIGHUP reopens nginx's logs. A status line
    every `status_every` minutes (0: never), the metrics to the file `metrics` every minute. With
    `upstream` (http://HOST:PORT), an edge in front of it instead: no learning, nginx's proxy
    cache in `directory` within `cache_size`, an entry kept `edge_lifetime` seconds. The exit
    status."""
    host, port = listen
    edge = None if upstream is None else (upstream, cache_size, edge_lifetime)
    try:
        nginx, conf, served = prepare(run, directory, host, port, edge)
        nginx.start(conf)
        nginx.wait_listening(host, port)
    except Refusal as refusal:
        run.warn("serve: %s" % refusal)
        return 1
    watch = Watch(run, directory, nginx, status_every * 60, metrics,
                  proxy_cache=None if edge is None else served)
    signal.signal(signal.SIGHUP, lambda *_: setattr(watch, "reopen", True))
    try:
        run.say("export LARDERBOX_SERVER=%s" % client_url(host, port))
        access_log = os.path.join(nginx.prefix, "logs", "access.log")
        if edge is not None:
            status = follow_log(run, access_log, watch)
        else:
            status = learn(run, directory, [access_log], policy, limits, follow=True,
                           cache_size=cache_size, retry_after=retry_after, watch=watch)
    finally:
        nginx.stop()
    watch.read_to_end()
    if metrics:
        watch.write_metrics()
    if status_every:
        run.say(watch.status())
    return 1 if watch.nginx_failed and not run.signal else status
