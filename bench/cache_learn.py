#!/usr/bin/env python3
"""Times larderbox-cache where its size shows: learn's reading of a large access log, refresh of
many unchanged entries, and how soon learn --follow has a new miss in place.

bench/cache_learn.py [--tools DIR] [--lines N] [--entries N] [--jobs N]

--tools is the directory holding the built larderbox-cache and larderbox-path (default
build/test/src/tools). The log is nginx's combined format: a fifth misses (HEAD answered 404) of
1,000 URLs, the rest hits, downloads and other requests. learn runs with an --allow that matches no
host, so every URL is refused after it has been parsed and formed back: downloads aside. Its peak
memory is taken at a tenth of the lines too: it must not grow with repeated lines. refresh
revalidates --entries entries, all unchanged, at a loopback origin (bench/serve.py)."""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

BENCH = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH)
DISTINCT = 1000


def timed(argv):
    """(seconds, peak resident KiB, completed process) of one run, its output kept in files so
    that the run can be reaped with its own resource usage."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        start = time.monotonic()
        process = subprocess.Popen(argv, stdout=out, stderr=err, stdin=subprocess.DEVNULL)
        _, status, usage = os.wait4(process.pid, 0)
        seconds = time.monotonic() - start
        process.returncode = os.waitstatus_to_exitcode(status)
        out.seek(0)
        err.seek(0)
        done = subprocess.CompletedProcess(argv, process.returncode, out.read(), err.read())
    return seconds, usage.ru_maxrss, done


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


def bench_learn(tools, work, lines):
    paths = [address(tools, "https://deb.example.org/pool/main/p/pkg%d/pkg%d_1.%d_amd64.deb"
                     % (i, i, i)) for i in range(DISTINCT)]
    results = {}
    for count in (lines // 10, lines):
        log = os.path.join(work, "access-%d.log" % count)
        write_log(log, count, paths)
        seconds, peak, done = timed([os.path.join(tools, "larderbox-cache"), "learn", "--allow",
                                     "nothing.invalid", os.path.join(work, "cache"), log])
        summary = (done.stdout.decode().splitlines() or [""])[-1]
        if "%d refused" % DISTINCT not in summary:
            sys.exit("learn did not see the %d URLs: %s %s" % (DISTINCT, summary, done.stderr))
        results[count] = (seconds, peak)
        print("learn, %9d log lines (%d distinct misses): %.2f s, peak %d KiB"
              % (count, DISTINCT, seconds, peak), flush=True)
    return results


def bench_refresh(tools, work, entries, jobs):
    """Fills a cache from a loopback origin, refreshes it, then follows a log (same origin)."""
    origin = os.path.join(work, "origin")
    os.makedirs(origin)
    for i in range(entries):
        with open(os.path.join(origin, "file%d.bin" % i), "wb") as f:
            f.write(os.urandom(4096))
    server = subprocess.Popen([sys.executable, os.path.join(BENCH, "serve.py"), origin],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        port = int(server.stdout.readline())
        urls = ["http://127.0.0.1:%d/file%d.bin" % (port, i) for i in range(entries)]
        log = os.path.join(work, "misses.log")
        with open(log, "w") as f:
            for url in urls:
                f.write('127.0.0.1 - - [09/Dec/2026:06:00:00 +0000] "HEAD /%s HTTP/1.1" 404 0\n'
                        % address(tools, url))
        cache = os.path.join(work, "refresh-cache")
        learn = [os.path.join(tools, "larderbox-cache"), "learn", "--allow", "127.0.0.1",
                 "--jobs", str(jobs), cache, log]
        seconds, _, done = timed(learn)
        if done.returncode != 0:
            sys.exit("learn failed: %s" % done.stdout.decode()[-500:])
        print("learn, %d downloads on loopback, --jobs %d: %.2f s" % (entries, jobs, seconds))
        refresh = [os.path.join(tools, "larderbox-cache"), "refresh", "--jobs", str(jobs), cache]
        seconds, _, done = timed(refresh)
        summary = (done.stdout.decode().splitlines() or [""])[-1]
        if "%d unchanged" % entries not in summary:
            sys.exit("refresh did not find every entry unchanged: %s %s" % (summary, done.stderr))
        print("refresh, %d unchanged entries on loopback, --jobs %d: %.2f s"
              % (entries, jobs, seconds), flush=True)
        bench_follow(tools, work, port)
    finally:
        server.stdin.close()
        server.wait(timeout=10)


def bench_follow(tools, work, port):
    """From the miss's line in the log to the entry in place, with a loopback origin."""
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
            path = address(tools, url)
            entry = os.path.join(cache, path)
            start = time.monotonic()
            with open(log, "a") as f:
                f.write('127.0.0.1 - - [09/Dec/2026:06:00:00 +0000] "HEAD /%s HTTP/1.1" 404 0\n'
                        % path)
            while not os.path.exists(entry) and time.monotonic() - start < 10:
                time.sleep(0.01)
            delays.append(time.monotonic() - start)
            time.sleep(0.13 * i)  # the miss lands anywhere in the polling interval
    finally:
        follower.terminate()
        follower.communicate(timeout=10)
    print("learn --follow, miss line to stored entry: worst %.2f s, mean %.2f s of %d"
          % (max(delays), sum(delays) / len(delays), len(delays)), flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tools", default=os.path.join(ROOT, "build", "test", "src", "tools"))
    parser.add_argument("--lines", type=int, default=1000000)
    parser.add_argument("--entries", type=int, default=1000)
    parser.add_argument("--jobs", type=int, default=8)
    args = parser.parse_args()
    tools = os.path.abspath(args.tools)
    work = tempfile.mkdtemp(prefix="larderbox-bench-")
    try:
        print("%s, %d cores, load %.2f" % (time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()),
                                           os.cpu_count(), os.getloadavg()[0]), flush=True)
        learned = bench_learn(tools, work, args.lines)
        bench_refresh(tools, work, args.entries, args.jobs)
        small, large = learned[args.lines // 10][1], learned[args.lines][1]
        print("peak memory, %d lines against %d: %+.1f %%"
              % (args.lines, args.lines // 10, 100.0 * (large - small) / small))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
