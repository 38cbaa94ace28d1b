#!/usr/bin/env python3
"""Times larderbox-cache where its size shows: learn's reading of a large access log (repeated
and distinct misses), refresh of many unchanged entries against a loopback nginx origin beside one
curl --parallel run making the same conditional requests, and how soon learn --follow has a new
miss in place and a due entry revalidated.

bench/cache_learn.py [--tools DIR] [--baseline REV] [--lines N] [--entries N]
                     [--jobs N]

--tools is the directory holding the built larderbox-cache and larderbox-path (default
build/test/src/tools). --baseline names a git revision whose larderbox-cache is measured in the
same run beside the built one (with the built larderbox-path), each measure before and after.
Times are wall-clock seconds with the process's CPU seconds (its children's included) beside
them: on a shared machine the CPU seconds move less with the load.

The log is nginx's combined format: a fifth misses (HEAD answered 404) of 1,000 URLs, the rest
hits, downloads and other requests. learn runs with an --allow that matches no host, so every URL
is refused after it has been parsed and formed back: downloads aside. Its peak memory is taken at
a tenth of the lines too: it must not grow with repeated lines. A second log holds --lines
distinct misses, all refused. refresh revalidates --entries entries, all unchanged,
at a loopback nginx origin (bench/serve.py when nginx is missing). learn --follow is timed from a
miss's line to its entry in place, and from an entry's falling due (the origin gives it 10 s) to
its revalidation."""

import argparse
import base64
import os
import json
import shutil
import socket
import subprocess
import sys
import tempfile
import time

BENCH = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH)
DISTINCT = 1000


def timed(argv):
    """(seconds, peak resident KiB, completed process) of one run, its output kept in files so
    that the run can be reaped with its own resource usage; the process's CPU seconds (with those
    of its children) are its `cpu`."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        start = time.monotonic()
        process = subprocess.Popen(argv, stdout=out, stderr=err, stdin=subprocess.DEVNULL)
        _, status, usage = os.wait4(process.pid, 0)
        seconds = time.monotonic() - start
        process.returncode = os.waitstatus_to_exitcode(status)
        out.seek(0)
        err.seek(0)
        done = subprocess.CompletedProcess(argv, process.returncode, out.read(), err.read())
    # wait4 reaps the process alone: its children's CPU counts in it once they were waited for.
    done.cpu = usage.ru_utime + usage.ru_stime
    return seconds, usage.ru_maxrss, done


def baseline_tools(revision, tools, work):
    """A directory holding larderbox-cache as `revision` had it (a script, or a launcher with its
    package) beside the built larderbox-path."""
    directory = os.path.join(work, "baseline")
    os.makedirs(directory)
    names = subprocess.run(["git", "-C", ROOT, "ls-tree", "-r", "--name-only", revision, "--",
                            "src/tools/larderbox-cache", "src/tools/larderbox_cache"],
                           check=True, capture_output=True, text=True).stdout.split()
    for name in names:
        text = subprocess.run(["git", "-C", ROOT, "show", "%s:%s" % (revision, name)],
                              check=True, capture_output=True).stdout
        text = text.replace(b"@PROJECT_VERSION@", b"0").replace(
            b"@LARDERBOX_CACHE_PACKAGE_FROM_BIN@", b".")
        path = os.path.join(directory, os.path.relpath(name, "src/tools"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(text)
    os.chmod(os.path.join(directory, "larderbox-cache"), 0o755)
    shutil.copy(os.path.join(tools, "larderbox-path"), directory)
    return directory


def load():
    return "load %.2f" % os.getloadavg()[0]


def address(tools, url):
    return subprocess.run([os.path.join(tools, "larderbox-path"), url], check=True,
                          capture_output=True, text=True).stdout.strip()


def write_log(path, lines, paths):
    kinds = [
        '"HEAD /%s HTTP/1.1" 404 0 "-" "curl/7.88.1"',
        '"HEAD /%s HTTP/1.1" 200 0 "-" "curl/7.88.1"',
        '"GET /%s HTTP/1.1" 200 52113 "-" "curl/7.88.1"',
        '"HEAD /%s HTTP/1.1" 200 0 "-" "Wget/1.21.3"',
        '"GET /favicon.ico HTTP/1.1" 404 153 "-" "Mozilla/5.0 (X11; Linux x86_64)"%s',
    ]
    with open(path, "w") as log:
        for i in range(lines):
            request = kinds[i % 5] % (paths[i // 5 % len(paths)] if i % 5 != 4 else "")
            log.write('10.1.%d.%d - - [09/Dec/2026:06:%02d:%02d +0100] %s\n'
                      % (i % 200, i % 250, i // 60 % 60, i % 60, request))


def bench_learn(variants, work, lines):
    """learn on the logs, for each (label, tools directory) of `variants`; the (seconds, peak
    KiB) of the last one at a tenth of the lines and at all of them."""
    tools = variants[-1][1]
    paths = [address(tools, "https://deb.example.org/pool/main/p/pkg%d/pkg%d_1.%d_amd64.deb"
                     % (i, i, i)) for i in range(DISTINCT)]
    results = {}
    for count in (lines // 10, lines):
        log = os.path.join(work, "access-%d.log" % count)
        write_log(log, count, paths)
        for label, directory in variants:
            seconds, peak, done = timed([os.path.join(directory, "larderbox-cache"), "learn",
                                         "--allow", "nothing.invalid",
                                         os.path.join(work, "cache"), log])
            summary = (done.stdout.decode().splitlines() or [""])[-1]
            if "%d refused" % DISTINCT not in summary:
                sys.exit("learn did not see the %d URLs: %s %s" % (DISTINCT, summary, done.stderr))
            results[count] = (seconds, peak)
            print("learn %s, %9d log lines (%d distinct misses): %.2f s (%.2f s CPU), peak %d KiB"
                  ", %s" % (label, count, DISTINCT, seconds, done.cpu, peak, load()), flush=True)
    log = os.path.join(work, "distinct.log")
    with open(log, "w") as f:
        for i in range(lines):
            url = "https://deb.example.org/pool/p%d/pkg_%d.deb" % (i % 997, i)
            seg = base64.urlsafe_b64encode(url.encode()).rstrip(b"=").decode()
            f.write('10.1.0.1 - - [09/Dec/2026:06:00:00 +0100] "HEAD /b/%s/pkg_%d.deb HTTP/1.1" '
                    '404 0 "-" "curl/7.88.1"\n' % (seg, i))
    for label, directory in variants:
        seconds, peak, done = timed([os.path.join(directory, "larderbox-cache"), "learn",
                                     "--allow", "nothing.invalid", os.path.join(work, "cache"),
                                     log])
        summary = (done.stdout.decode().splitlines() or [""])[-1]
        if "%d refused" % lines not in summary:
            sys.exit("learn did not refuse the %d URLs: %s %s" % (lines, summary, done.stderr))
        print("learn %s, %9d distinct refused misses: %.2f s (%.2f s CPU), peak %d KiB, %d output"
              " bytes, %s" % (label, lines, seconds, done.cpu, peak, len(done.stdout), load()),
              flush=True)
    return results


def bench_refresh(variants, work, entries, jobs):
    """Fills a cache from a loopback origin, refreshes it with each (label, tools) of `variants`
    beside one curl --parallel run, then follows a log (same origin) with the last one."""
    tools = variants[-1][1]
    origin = os.path.join(work, "origin")
    os.makedirs(os.path.join(origin, "due"))
    for i in range(entries):
        with open(os.path.join(origin, "file%d.bin" % i), "wb") as f:
            f.write(os.urandom(4096))
    with open(os.path.join(origin, "due", "soon.bin"), "wb") as f:
        f.write(os.urandom(4096))
    server, port = start_origin(work, origin)
    try:
        urls = ["http://127.0.0.1:%d/file%d.bin" % (port, i) for i in range(entries)]
        learned = urls[:min(entries, 1000)]
        log = os.path.join(work, "misses.log")
        with open(log, "w") as f:
            for url in learned:
                f.write('127.0.0.1 - - [09/Dec/2026:06:00:00 +0000] "HEAD /%s HTTP/1.1" 404 0\n'
                        % address(tools, url))
        cache = os.path.join(work, "refresh-cache")
        learn = [os.path.join(tools, "larderbox-cache"), "learn", "--allow", "127.0.0.1",
                 "--jobs", str(jobs), cache, log]
        seconds, _, done = timed(learn)
        if done.returncode != 0:
            sys.exit("learn failed: %s" % done.stdout.decode()[-500:])
        print("learn, %d downloads on loopback, --jobs %d: %.2f s (%.2f s CPU), %s"
              % (len(learned), jobs, seconds, done.cpu, load()), flush=True)
        # The other entries as an older version left them (no metadata): a first refresh, not
        # timed, keeps their validators.
        stored = subprocess.run([os.path.join(tools, "larderbox-path"), "--file", "--"] + urls,
                                check=True, capture_output=True, text=True).stdout.split("\n")
        for i, relative in enumerate(stored[:entries]):
            entry = os.path.join(cache, relative)
            if not os.path.exists(entry):
                os.makedirs(os.path.dirname(entry), exist_ok=True)
                shutil.copy2(os.path.join(origin, "file%d.bin" % i), entry)
        refresh = [os.path.join(tools, "larderbox-cache"), "refresh", "--allow", "127.0.0.1",
                   "--jobs", str(jobs), cache]
        seconds, _, done = timed(refresh)
        print("refresh, %d entries, their validators kept on the way: %.2f s"
              % (entries, seconds), flush=True)
        # curl alone, then each refresh, then curl again: the ratio is to their mean.
        parallel = [bench_parallel_curl(work, cache, urls, jobs)]
        measured = []
        for label, directory in variants:
            refresh[0] = os.path.join(directory, "larderbox-cache")
            seconds, _, done = timed(refresh)
            summary = (done.stdout.decode().splitlines() or [""])[-1]
            if "%d unchanged" % entries not in summary:
                sys.exit("refresh did not find every entry unchanged: %s %s"
                         % (summary, done.stderr))
            measured.append((label, seconds, done.cpu, load()))
        parallel.append(bench_parallel_curl(work, cache, urls, jobs))
        mean = sum(s for s, _ in parallel) / len(parallel)
        print("curl --parallel, the same %d conditional requests: %s s (%s s CPU)"
              % (entries, " and ".join("%.2f" % s for s, _ in parallel),
                 " and ".join("%.2f" % c for _, c in parallel)), flush=True)
        for label, seconds, cpu, when in measured:
            print("refresh %s, %d unchanged entries on loopback, --jobs %d: %.2f s (%.2f s CPU), "
                  "%.1fx curl --parallel, %s" % (label, entries, jobs, seconds, cpu,
                                                 seconds / mean, when), flush=True)
        bench_follow(tools, work, port)
    finally:
        stop_origin(server)


def start_origin(work, directory):
    """nginx serving `directory` on a free loopback port (ETag and Last-Modified as usual), else
    bench/serve.py; the process and its port."""
    nginx = shutil.which("nginx", path=os.environ.get("PATH", "") + ":/usr/sbin")
    if nginx is None:
        server = subprocess.Popen([sys.executable, os.path.join(BENCH, "serve.py"), directory],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        return server, int(server.stdout.readline())
    prefix = os.path.join(work, "nginx")
    os.makedirs(os.path.join(prefix, "logs"))
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    with open(os.path.join(prefix, "nginx.conf"), "w") as f:
        f.write("worker_processes 2; pid nginx.pid; error_log logs/error.log;\n"
                "events { worker_connections 1024; }\n"
                "http { access_log off; client_body_temp_path %s;\n"
                "  server { listen 127.0.0.1:%d; root %s; location /due/ { expires 10s; } } }\n"
                % (prefix, port, directory))
    server = subprocess.Popen([nginx, "-p", prefix, "-e", "logs/error.log", "-c",
                               os.path.join(prefix, "nginx.conf"), "-g", "daemon off;"],
                              stdin=subprocess.PIPE, stdout=subprocess.DEVNULL)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            break
        except OSError:
            time.sleep(0.05)
    return server, port


def stop_origin(server):
    if server.stdin is not None:
        server.stdin.close()
    server.terminate()
    server.wait(timeout=10)


def bench_parallel_curl(work, cache, urls, jobs):
    """Seconds of one curl --parallel run asking each URL with the validators refresh keeps."""
    config = os.path.join(work, "parallel.curlrc")
    sections = []
    for url in urls:
        seg = base64.urlsafe_b64encode(url.encode()).rstrip(b"=").decode()
        with open(os.path.join(cache, "meta", seg)) as m:
            meta = json.load(m)
        sections.append('url = "%s"\noutput = "/dev/null"\nheader = "If-None-Match: %s"\n'
                        'header = "If-Modified-Since: %s"\n'
                        % (url, meta["etag"].replace('"', '\\"'), meta["last_modified"]))
    with open(config, "w") as f:
        f.write("next\n".join(sections))
    seconds, _, done = timed(["curl", "-q", "-sS", "--parallel", "--parallel-max", str(jobs),
                              "-K", config])
    if done.returncode != 0:
        sys.exit("curl --parallel failed: %s" % done.stderr.decode()[-500:])
    return seconds, done.cpu


def bench_follow(tools, work, port):
    """From the miss's line in the log to the entry in place, with a loopback origin; then from
    an entry's falling due to its revalidation."""
    log = os.path.join(work, "follow.log")
    open(log, "w").close()
    cache = os.path.join(work, "follow-cache")
    follower = subprocess.Popen([os.path.join(tools, "larderbox-cache"), "learn", "--follow",
                                 "--allow", "127.0.0.1", cache, log], stdout=subprocess.PIPE)
    delays = []
    try:
        time.sleep(0.5)
        for i in range(5):
            url = "http://127.0.0.1:%d/file%d.bin" % (port, i)
            delays.append(miss_to_entry(tools, log, cache, url))
            time.sleep(0.13 * i)  # the miss lands anywhere in the polling interval
        print("learn --follow, miss line to stored entry: worst %.2f s, mean %.2f s of %d, %s"
              % (max(delays), sum(delays) / len(delays), len(delays), load()), flush=True)
        url = "http://127.0.0.1:%d/due/soon.bin" % port
        miss_to_entry(tools, log, cache, url)
        meta = os.path.join(cache, "meta", os.path.dirname(address(tools, url)).split("/")[-1])
        first = validated(meta)
        if first is None or first[1] > 60:
            print("learn --follow, due entry: not measured (the origin gave no short lifetime)")
            return
        due = first[0] + first[1]
        deadline = due + 120
        while time.time() < deadline:
            now = validated(meta)
            if now is not None and now[0] > first[0]:
                print("learn --follow, due entry (lifetime %d s) revalidated %.2f s after it fell "
                      "due, %s" % (first[1], now[0] - due, load()), flush=True)
                return
            time.sleep(0.05)
        print("learn --follow, due entry: not revalidated within 120 s of falling due")
    finally:
        follower.terminate()
        follower.communicate(timeout=10)


def miss_to_entry(tools, log, cache, url):
    """Seconds from a miss of `url` written to `log` to its entry in `cache` (at most 10)."""
    path = address(tools, url)
    entry = os.path.join(cache, path)
    start = time.monotonic()
    with open(log, "a") as f:
        f.write('127.0.0.1 - - [09/Dec/2026:06:00:00 +0000] "HEAD /%s HTTP/1.1" 404 0\n' % path)
    while not os.path.exists(entry) and time.monotonic() - start < 10:
        time.sleep(0.01)
    return time.monotonic() - start


def validated(meta):
    """(when the entry was last validated, its lifetime) from its metadata file, or None."""
    try:
        with open(meta) as f:
            kept = json.load(f)
        return max(float(kept["validated"]), os.stat(meta).st_mtime), float(kept["lifetime"])
    except (OSError, ValueError, KeyError, TypeError):
        return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tools", default=os.path.join(ROOT, "build", "test", "src", "tools"))
    parser.add_argument("--baseline", metavar="REV",
                        help="a git revision whose larderbox-cache is measured too")
    parser.add_argument("--lines", type=int, default=1000000)
    parser.add_argument("--entries", type=int, default=10000)
    parser.add_argument("--jobs", type=int, default=8)
    args = parser.parse_args()
    tools = os.path.abspath(args.tools)
    work = tempfile.mkdtemp(prefix="larderbox-bench-")
    os.chmod(work, 0o755)  # nginx's workers may run as another user
    try:
        print("%s, %d cores, %s" % (time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()),
                                    os.cpu_count(), load()), flush=True)
        variants = [("now", tools)]
        if args.baseline:
            variants.insert(0, ("at " + args.baseline, baseline_tools(args.baseline, tools, work)))
        learned = bench_learn(variants, work, args.lines)
        bench_refresh(variants, work, args.entries, args.jobs)
        small, large = learned[args.lines // 10][1], learned[args.lines][1]
        print("peak memory, %d lines against %d: %+.1f %%"
              % (args.lines, args.lines // 10, 100.0 * (large - small) / small))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
