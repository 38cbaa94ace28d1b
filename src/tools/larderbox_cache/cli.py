"""The command line: options and the settings file turned into plain parameters for the
commands, on one Run object."""

import argparse
import os
import re
import shlex
import signal
import sys

from .commands import fill, list_entries, prune, refresh, report
from .fetch import DEFAULT_JOBS, DEFAULT_MAX_SIZE, DEFAULT_TIMEOUT, Limits
from .freshness import DEFAULT_LIFETIME
from .learn import learn
from .policy import Policy, parse_allow
from .run import Run
from .serve import (DEFAULT_EDGE_LIFETIME, DEFAULT_LISTEN, default_directory, parse_listen,
                    parse_upstream, serve, upstream_is_itself)

NAME = "larderbox-cache"
CACHE_VARIABLES = ("LARDERBOX_SERVER", "CURLLARDERBOX_SERVER", "WGETLARDERBOX_SERVER")


SIZE = re.compile(r"([0-9]{1,15})(?:([KMGT])(?:iB)?)?")


def size_value(text):
    match = SIZE.fullmatch(text)
    if match is None:
        raise argparse.ArgumentTypeError(
            "not a size: %r (bytes, or a number with K, M, G or T, optionally followed by iB)"
            % text)
    return int(match.group(1)) << (10 * " KMGT".index(match.group(2) or " "))


def bounded_int(low, high):
    def parse(text):
        if not text.isdigit() or len(text) > 12 or not low <= int(text) <= high:
            raise argparse.ArgumentTypeError("not a number from %d to %d: %r" % (low, high, text))
        return int(text)
    return parse


def regex(text):
    try:
        return re.compile(text)
    except re.error as error:
        raise argparse.ArgumentTypeError("not a regular expression: %r (%s)" % (text, error))


SETTINGS = ("LARDERBOX_CACHE_DIR", "LARDERBOX_CACHE_LOG", "LARDERBOX_CACHE_MAX_SIZE",
            "LARDERBOX_CACHE_POLICY", "LARDERBOX_CACHE_LEARN_OPTIONS",
            "LARDERBOX_CACHE_REFRESH_OPTIONS", "LARDERBOX_CACHE_PRUNE_OPTIONS")


def read_settings(path):
    """NAME=VALUE lines read as the shell reads an assignment: VALUE is one word after quoting;
    an options value is then split into arguments with the same quoting."""
    settings = dict.fromkeys(SETTINGS, "")
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            name, equals, value = line.partition("=")
            try:
                words = shlex.split(value, comments=True)
            except ValueError as error:
                raise ValueError("%s:%d: %s" % (path, number, error))
            if not equals or name not in SETTINGS or len(words) > 1:
                raise ValueError("%s:%d: not NAME=VALUE with a known NAME and one value"
                                 % (path, number))
            settings[name] = words[0] if words else ""
    return settings


def settings_arguments(path, argv):
    """The command line that --settings FILE stands for: COMMAND, the file's options for it, the
    command line's own, then DIR and the logs from the file."""
    if not argv:
        return argv
    settings = read_settings(path)
    command, rest = argv[0], argv[1:]

    def split(name):
        return shlex.split(settings[name])

    size = ["--max-size", settings["LARDERBOX_CACHE_MAX_SIZE"]]
    directory = [settings["LARDERBOX_CACHE_DIR"]]
    logs = split("LARDERBOX_CACHE_LOG")
    if command == "learn":
        budget = ["--cache-size", size[1]] if size[1] else []
        return ([command] + split("LARDERBOX_CACHE_POLICY") + budget +
                split("LARDERBOX_CACHE_LEARN_OPTIONS") + rest + directory + logs)
    if command == "serve":
        budget = ["--cache-size", size[1]] if size[1] else []
        return ([command] + split("LARDERBOX_CACHE_POLICY") + budget +
                split("LARDERBOX_CACHE_LEARN_OPTIONS") + rest + directory)
    if command == "refresh":
        return ([command] + split("LARDERBOX_CACHE_POLICY") +
                split("LARDERBOX_CACHE_REFRESH_OPTIONS") + rest + directory)
    if command == "prune":
        return ([command] + size + [a for log in logs for a in ("--log", log)] +
                split("LARDERBOX_CACHE_PRUNE_OPTIONS") + rest + directory)
    if command == "report":
        return [command] + rest + logs
    if command == "list":
        return [command] + rest + directory
    return argv


OVERVIEW = """\
Runs a directory that a static HTTP server serves as a larderbox cache.

  --settings FILE  read DIR, the logs, the size budget and each command's options from FILE
                   (NAME=VALUE lines with shell quoting; see larderbox-cache(1))

commands:
  serve    run nginx on DIR, learn from its log, print the line clients need
  learn    download the URLs that the server's access logs show as misses
  refresh  revalidate entries at their origins: keep, replace or remove them
  prune    remove the least recently served entries until the cache fits a size
  report   probes, hits, misses, hit ratio and downloads per day, from access logs
  list     one line per entry: size, modification time, URL
  fill     download URLs into DIR (what larderbox-fill runs)
  help     the help of a command

Exit status: 0 when nothing failed, 1 when something failed, 2 for bad usage, 3 when
larderbox-path failed, 128 plus the signal number when stopped by SIGINT, SIGTERM or SIGHUP
(serve takes SIGHUP to reopen nginx's logs). See larderbox-cache(1)."""

HELP = {
    "serve": """\
Starts the machine's nginx with the shipped nginx.conf serving DIR (default
$XDG_CACHE_HOME/larderbox, ~/.cache/larderbox, or /var/cache/larderbox as root) on --listen
(default 127.0.0.1:8080), its logs and temporary files below DIR/nginx/, and learns from its
access log as learn --follow does: misses become entries, entries are revalidated as they fall
due, --cache-size is kept. Prints export LARDERBOX_SERVER=http://ADDRESS:PORT first. Refuses to
start when nginx is missing, the port is taken, or nginx's workers (nobody, when started by root)
cannot reach DIR. SIGINT and SIGTERM stop nginx and every download (exit 130, 143); SIGHUP makes
nginx reopen its logs. Nothing it started outlives it, also when it is killed.

With --upstream http://HOST[:PORT] (a primary cache host), nginx runs as an edge in front of it
with the shipped larderbox-edge.conf instead, and nothing is learned: DIR holds only nginx's proxy
cache (DIR/edge-cache, at most --cache-size, default 10G), its logs and temporary files. An entry
the primary served is kept --edge-lifetime seconds, then asked for again with its validators;
404s are never kept, so every miss reaches the primary, which learns it; one request per entry
goes to the primary at a time. The status line and --metrics count the edge's log and its proxy
cache. The learning options (--allow and the like) do not apply.""",
    "learn": """\
Reads access logs (nginx combined or common, python3 -m http.server) and fills DIR from every
HEAD or GET of .../b/SEGMENT/NAME answered 404: SEGMENT is decoded to its URL, and the line is kept
only when larderbox-path forms that same path back from the URL. A URL is learned whenever its
entry is absent. Downloads follow redirects themselves (at most 10), each hop checked before it is
asked: http or https only, never from https to http, no user information, an allowed host that
does not resolve to an internal address unless an --allow names it, not excluded. A URL with a
query needs --allow-query; an answer with Cache-Control no-store or private, or with a Vary other
than Accept-Encoding, is not stored. Entries keep the origin's time, validators and freshness.
One line per URL (stored, present, failed URL: reason, refused URL: reason; refusals beyond 20
summed in one line) and a summary. A LOG of "-" is standard input. With --follow, entries are
also revalidated as their freshness runs out.""",
    "refresh": """\
Asks the origin of every entry in DIR (with --due: of every entry whose freshness has run out)
for it again, with If-None-Match and If-Modified-Since from the validators kept with the entry:
unchanged entries stay as they are, and so do entries the origin sends again with the same bytes
(compared by SHA-256); changed ones are replaced in one step with the new bytes and time, those
the origin answers with 404 or 410 are removed, and every other failure keeps the entry. The
redirects and hosts are under the same policy as learn's. One line per entry and a summary.""",
    "prune": """\
Removes entries from DIR until they hold at most --max-size bytes (apparent sizes), least recently
served first: by the GETs in the --log files when given (an entry never served there goes first),
else by the oldest access time (a --log that cannot be read: by access time, and exit status 1).
Also removes the temporary files of runs that have ended and empty entry directories. Nothing
outside DIR/ is ever removed and no link is followed.""",
    "report": """\
Reads access logs: per day (in the log's own time zone) the probes (HEAD of .../b/...), hits
(answered 200), misses (answered 404), hit ratio, downloads served (GET answered 200) and their
bytes; then the most missed and the most served URLs.""",
    "list": """\
One line per entry of DIR: size in bytes, modification time (UTC), URL. Files that are not cache
entries are named on standard error.""",
    "fill": """\
Downloads each URL (else the URLs on standard input, one per line) into DIR through the same
store as learn: what larderbox-fill runs.""",
}


def argument_type(parse):
    """`parse` as an option's type: its ValueError is a usage error that says why."""
    def converted(text):
        try:
            return parse(text)
        except ValueError as error:
            raise argparse.ArgumentTypeError(str(error))
    return converted


def limits_of(args):
    return Limits(args.max_size, args.jobs, args.timeout, args.default_lifetime)


def policy_of(args):
    if not args.allow and not args.allow_any:
        args.parser.error("say which hosts may be downloaded from: --allow HOST or --allow-any")
    return Policy(args.allow, args.allow_any, args.exclude, args.allow_query)


def run_learn(run, args):
    if args.follow and "-" in args.logs:
        args.parser.error("--follow needs log files, not standard input")
    return learn(run, args.dir, args.logs, policy_of(args), limits_of(args), follow=args.follow,
                 cache_size=args.cache_size, retry_after=args.retry_after)


def run_refresh(run, args):
    return refresh(run, args.dir, policy_of(args), limits_of(args), due=args.due)


def urls_to_fill(urls, stdin):
    """The URLs as bytes: those given, else the lines of `stdin` but blank and "#" ones."""
    if urls:
        yield from (os.fsencode(url) for url in urls)
        return
    for line in stdin:
        line = line.strip()
        if line and not line.startswith(b"#"):
            yield line


def run_fill(run, args):
    run.name = "larderbox-fill"
    run.die_of_signal = True
    return fill(run, args.dir, urls_to_fill(args.urls, sys.stdin.buffer), limits_of(args),
                force=args.force)


def run_prune(run, args):
    return prune(run, args.dir, args.max_size, args.log)


def run_report(run, args):
    return report(run, args.logs, as_json=args.json, top=args.top, prometheus=args.prometheus,
                  html=args.html, directory=args.dir)


def run_serve(run, args):
    directory = args.dir or default_directory()
    if args.upstream is None:
        if args.edge_lifetime is not None:
            args.parser.error("--edge-lifetime is an edge's: give --upstream too")
        policy = policy_of(args)
    elif args.allow or args.allow_any or args.allow_query or args.exclude:
        args.parser.error("an edge (--upstream) learns nothing: --allow, --allow-any, "
                          "--allow-query and --exclude do not apply")
    elif upstream_is_itself(args.upstream, *args.listen):
        args.parser.error("--upstream %s is this edge's own address" % args.upstream)
    else:
        policy = None
    return serve(run, directory, args.listen, policy, limits_of(args),
                 cache_size=args.cache_size, retry_after=args.retry_after,
                 status_every=args.status_every, metrics=args.metrics, upstream=args.upstream,
                 edge_lifetime=args.edge_lifetime or DEFAULT_EDGE_LIFETIME)


def minutes(text):
    try:
        value = float(text)
    except ValueError:
        value = -1
    if not 0 <= value <= 10 ** 6:
        raise argparse.ArgumentTypeError("not a number of minutes: %r" % text)
    return value


def run_list(run, args):
    return list_entries(run, args.dir)


def build_parser(version):
    parser = argparse.ArgumentParser(prog=NAME, description=OVERVIEW,
                                     usage="%(prog)s [-h] [--version] [--settings FILE] COMMAND "
                                     "[ARGUMENTS...]",
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version="%s %s" % (NAME, version))
    # The commands are listed in OVERVIEW, with a line each.
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", help=argparse.SUPPRESS)
    sub = {}

    def command(name, function):
        sub[name] = commands.add_parser(name, prog="%s %s" % (NAME, name),
                                        description=HELP.get(name),
                                        formatter_class=argparse.RawDescriptionHelpFormatter)
        sub[name].set_defaults(function=function, parser=sub[name])
        return sub[name]

    def fetching(p):
        p.add_argument("--max-size", type=size_value, default=DEFAULT_MAX_SIZE, metavar="SIZE",
                       help="largest download (500M, 10G, 10GiB or bytes; default 1G)")
        p.add_argument("--jobs", type=bounded_int(1, 64), default=DEFAULT_JOBS, metavar="N",
                       help="downloads at once (default 4)")
        p.add_argument("--timeout", type=bounded_int(1, 7 * 86400), default=DEFAULT_TIMEOUT,
                       metavar="SECONDS", help="the longest one download may take (default "
                       "1800); any download slower than 1 KiB/s for 60 s is given up")
        p.add_argument("--default-lifetime", type=bounded_int(0, 10 ** 9),
                       default=DEFAULT_LIFETIME, metavar="SECONDS",
                       help="freshness of an answer with no expiry and no Last-Modified "
                       "(default 86400)")

    def policy(p):
        p.add_argument("--allow", action="append", default=[], type=argument_type(parse_allow),
                       metavar="HOST", help="download from HOST, *.DOMAIN, either with :PORT "
                       "(repeatable); an internal address only when named itself")
        p.add_argument("--allow-any", action="store_true",
                       help="download from any host (internal addresses aside)")
        p.add_argument("--allow-query", action="store_true",
                       help="download URLs with a query too")
        p.add_argument("--exclude", action="append", default=[], type=regex, metavar="REGEX",
                       help="never download a URL this matches, with or without its query "
                       "(repeatable)")

    def learning(p):
        policy(p)
        fetching(p)
        p.add_argument("--cache-size", type=size_value, metavar="SIZE",
                       help="evict the least recently served entries to keep the cache within "
                       "SIZE")
        p.add_argument("--retry-after", type=bounded_int(0, 10 ** 7), default=600,
                       metavar="SECONDS",
                       help="with --follow, try a failed URL again this much later (default 600)")

    p = command("serve", run_serve)
    p.add_argument("--listen", type=argument_type(parse_listen),
                   default=parse_listen(DEFAULT_LISTEN), metavar="ADDRESS:PORT",
                   help="where nginx listens (default %s)" % DEFAULT_LISTEN)
    p.add_argument("--status-every", type=minutes, default=10, metavar="MINUTES",
                   help="a status line this often (default 10; 0: never)")
    p.add_argument("--metrics", metavar="FILE",
                   help="write the metrics in Prometheus's text format to FILE every minute")
    p.add_argument("--upstream", type=argument_type(parse_upstream), metavar="URL",
                   help="run as an edge in front of the primary cache host at URL "
                   "(http://HOST[:PORT]), learning nothing")
    p.add_argument("--edge-lifetime", type=bounded_int(1, 10 ** 8), metavar="SECONDS",
                   help="with --upstream, how long an entry is served before the primary is "
                   "asked again (default %d)" % DEFAULT_EDGE_LIFETIME)
    learning(p)
    p.add_argument("dir", nargs="?", metavar="DIR")

    p = command("learn", run_learn)
    p.add_argument("--follow", action="store_true",
                   help="keep reading as the logs grow, rotate or are truncated, and "
                   "revalidate entries as they fall due")
    learning(p)
    p.add_argument("dir", metavar="DIR")
    p.add_argument("logs", nargs="+", metavar="LOG")

    p = command("refresh", run_refresh)
    policy(p)
    fetching(p)
    p.add_argument("--due", action="store_true",
                   help="only the entries whose freshness has run out")
    p.add_argument("dir", metavar="DIR")

    p = command("fill", run_fill)
    p.add_argument("--force", action="store_true", help="replace entries already present")
    fetching(p)
    p.add_argument("dir", metavar="DIR")
    p.add_argument("urls", nargs="*", metavar="URL")

    p = command("prune", run_prune)
    p.add_argument("--max-size", type=size_value, required=True, metavar="SIZE",
                   help="the most the entries may hold (500M, 10G, 10GiB or bytes)")
    p.add_argument("--log", action="append", default=[], metavar="LOG",
                   help="an access log telling when entries were served (repeatable)")
    p.add_argument("dir", metavar="DIR")

    p = command("report", run_report)
    p.add_argument("--json", action="store_true", help="one JSON object instead of tables")
    p.add_argument("--top", type=bounded_int(0, 10 ** 6), default=10, metavar="N",
                   help="how many most missed and most served URLs (default 10)")
    p.add_argument("--prometheus", nargs="?", const="-", metavar="FILE",
                   help="the totals in Prometheus's text format, to FILE (replaced in one step) "
                   "or standard output")
    p.add_argument("--html", metavar="FILE", help="one self-contained page to FILE")
    p.add_argument("--dir", metavar="DIR", help="with --prometheus, also the entries of DIR, "
                   "its refusals and its last learn and refresh")
    p.add_argument("logs", nargs="+", metavar="LOG")

    command("list", run_list).add_argument("dir", metavar="DIR")

    p = command("help", None)
    p.add_argument("topic", nargs="?", choices=sorted(sub), metavar="COMMAND")
    return parser, sub


def main(argv, version="unknown", program=None):
    # The cache must never fill itself: without a cache server named, a shim first on PATH as
    # curl hands every call straight to the real curl.
    for variable in CACHE_VARIABLES:
        os.environ.pop(variable, None)
    run = Run(NAME, program)
    run.stop_on_signals()
    parser, sub = build_parser(version)
    if argv[:1] == ["--settings"] or (argv and argv[0].startswith("--settings=")):
        path = argv[1] if argv[0] == "--settings" and len(argv) > 1 else argv[0][11:]
        try:
            argv = settings_arguments(path, argv[2 if argv[0] == "--settings" else 1:])
        except (OSError, ValueError) as error:
            parser.error("--settings: %s" % error)
    args = parser.parse_args(argv)
    if args.command is None:
        parser.error("no command given")
    if args.command == "help":
        (sub[args.topic] if args.topic else parser).print_help()
        return 0
    status = args.function(run, args)
    if run.signal and run.die_of_signal:
        # larderbox-fill ends as its callers expect of a shell tool: killed by the signal.
        signal.signal(run.signal, signal.SIG_DFL)
        os.kill(os.getpid(), run.signal)
    return status
