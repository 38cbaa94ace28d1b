"""The commands besides learn: refresh, prune, list, fill and report. Each takes the run and plain
parameters and returns the exit status."""

import collections
import itertools
import json
import os
import time

from .fetch import Fetcher, find_tools
from .figures import Tally
from .freshness import is_due, metadata
from .layout import entry_of, served_path
from .logs import ENTRY_MARK, LogReader, lines_of, log_epoch, parse_line
from .metrics import directory_figures, exposition, write_atomically
from .page import render
from .policy import Policy
from .revalidate import Revalidation, revalidate
from .run import TOOL_FAILED, Counts, Outcome, Pool, Stopped, ToolFailed, shown
from .store import (TMP_MAX_AGE, TMP_PREFIXES, Store, meta_names, remove_below, remove_quietly,
                    scan_entries, segment_names, walk_entries)

BATCH = 1024  # refresh asks this many entries' origins with one curl --parallel

def entry_urls(layout, entries):
    """The URL of each entry that is the file of its segment's own URL, else None."""
    origins = layout.origins([entry.seg for entry in entries])
    return [origin[0] if origin is not None and entry_of(origin[1]) == (entry.seg, entry.name)
            else None for entry, origin in zip(entries, origins)]


def cannot_read(run, directory, error):
    run.warn("cannot read %s: %s" % (shown(os.fsencode(error.filename or directory)),
                                 error.strerror))
    return 1


def refresh(run, directory, policy, limits, due=False):
    """Revalidates every entry of `directory` (with `due`: those whose freshness has run out) at
    its origin under `policy` within `limits`. The exit status."""
    layout, curl = find_tools(run, need_curl=True)
    store = Store(run, directory)
    try:
        found = walk_entries(run, directory, stats=False)
        store.open()
    except OSError as error:
        return cannot_read(run, directory, error)
    # Read a batch at a time: the first curl starts before the whole directory is read.
    entries = (entry for entry in found if not entry.name.startswith(TMP_PREFIXES))
    chunks = iter(lambda: list(itertools.islice(entries, BATCH)), [])
    fetcher = Fetcher(run, curl, store, policy, limits.max_size, limits.timeout)
    counts = Counts(run, *(kind.value for kind in Outcome))
    now = time.time()

    def refresh_one(item):
        url, seg, name = item
        outcome, reason = revalidate(store, fetcher, url, seg, name, limits.default_lifetime)
        counts.outcome(outcome, url, reason)

    # One curl for the first requests of a batch, the rest (redirects) one by one. Two curls run
    # at once, each with half the jobs: the next batch is made ready and the oldest settled while
    # they run, so that neither this process nor curl waits for the other.
    running = collections.deque()  # batches whose curl was started, oldest first
    in_flight = 2 if limits.jobs >= 2 else 1

    def settle_oldest():
        oldest = running.popleft()
        oldest.wait()
        with run.held():
            for item, result in zip(oldest.items, oldest.settle(limits.default_lifetime)):
                if result is None:
                    pool.submit(item)
                else:
                    counts.outcome(result[0], item[0], result[1])

    def refresh_batch(batch):
        ready = Revalidation(store, fetcher, batch)
        if len(running) == in_flight:
            settle_oldest()
        ready.start(limits.jobs // in_flight)
        running.append(ready)

    pool = Pool(run, limits.jobs, refresh_one)
    status = None
    batch = []
    try:
        for entry, url in ((entry, url) for entries in chunks
                           for entry, url in zip(entries, entry_urls(layout, entries))):
            if run.stopping():
                break
            if url is None:
                counts.add("skipped", "skipped %s: not a cache entry" % shown(entry.path))
            elif due and not is_due(store.load_meta(entry.seg), now):
                continue
            else:  # refused or not, the batch says: "refused URL: why (kept)"
                batch.append((url, entry.seg, entry.name))
                if len(batch) == BATCH:
                    refresh_batch(batch)
                    batch = []
        if batch and not run.stopping():
            refresh_batch(batch)
        while running and not run.stopping():
            settle_oldest()
    except Stopped:
        pass
    except ToolFailed as failure:
        run.warn(str(failure))
        status = TOOL_FAILED
        run.abort()
    finally:
        pool.finish()
        store.record_run({"last_refresh": time.time()}, {})
        store.close()
    counts.summary("refresh", [(k, k) for k in ("unchanged", "updated", "removed", "failed",
                                                   "refused", "skipped")])
    return status or run.exit_status(1 if counts.values["failed"] else 0)


def last_served(run, layout, logs):
    """(segment, stored name) -> when a GET of it was last answered with the file; None when a
    log cannot be read. The stored name of each path served is larderbox-path's to say."""
    served = {}
    for path in logs:
        reader = LogReader(run, path, follow=False)
        while not reader.done and not run.stopping():
            for line in lines_of(reader.read()):
                if ENTRY_MARK not in line or b"GET" not in line:
                    continue
                request = parse_line(line)
                if request is None or request.method != b"GET" or request.status not in (
                        b"200", b"206", b"304"):
                    continue
                key = (request.seg, request.name)
                moment = log_epoch(request.time)
                if moment is not None and moment > served.get(key, float("-inf")):
                    served[key] = moment
        if reader.failed:
            return None
    keys = list(served)
    stored = {}
    for key, origin in zip(keys, layout.origins([served_path(*key) for key in keys])):
        if origin is not None:
            entry = entry_of(origin[1])
            stored[entry] = max(stored.get(entry, served[key]), served[key])
    return stored


def prune(run, directory, max_size, logs=()):
    """Removes the least recently served entries of `directory` (by the GETs in `logs`, else by
    access time) until they hold at most `max_size` bytes, and what runs left behind. The exit
    status."""
    layout, _ = find_tools(run, need_curl=False)
    try:
        served = last_served(run, layout, logs) if logs else {}
    except ToolFailed as failure:
        run.warn(str(failure))
        return TOOL_FAILED
    log_failed = served is None
    if log_failed:
        run.warn("pruning by access time alone: a --log could not be read")
        served = {}
    try:
        entries, temporaries = scan_entries(run, directory, links=True)
    except OSError as error:
        return cannot_read(run, directory, error)
    store = Store(run, directory)
    counts = Counts(run, "removed", "temporary", "directories", "failed")
    counts.add("temporary", by=store.remove_leftovers())
    root = store.root
    now = time.time()
    for tmp in temporaries:
        if now - tmp.stat.st_mtime > TMP_MAX_AGE and remove_below(root, tmp, counts):
            counts.add("temporary", "removed temporary file %s" % shown(tmp.path))

    def order(entry):
        # Never served sorts first; then the last time served, else the last access.
        moment = served.get((entry.seg, entry.name))
        return (moment is not None, entry.stat.st_atime if moment is None else moment, entry.path)

    total = sum(entry.stat.st_size for entry in entries)
    freed = 0
    removed = []
    for entry in sorted(entries, key=order):
        if total - freed <= max_size or run.stopping():
            break
        if remove_below(root, entry, counts):
            remove_quietly(os.path.join(store.meta, entry.seg))
            freed += entry.stat.st_size
            removed.append(entry)
    counts.add("removed", by=len(removed))
    store.layout = layout
    store.say_removed("removed", removed)
    for segment in sorted(segment_names(root)):
        try:
            os.rmdir(os.path.join(root, segment))
            counts.add("directories")
        except OSError:
            pass
    # Metadata whose entry is gone (removed while a refresh was writing it, say).
    try:
        orphans = set(meta_names(store.meta)) - segment_names(root)
    except OSError:
        orphans = set()
    for segment in orphans:
        remove_quietly(os.path.join(store.meta, segment))
    counts.summary("prune", [("removed", "entries removed (%d bytes)" % freed),
                             ("temporary", "temporary files removed"),
                             ("directories", "empty directories removed"),
                             ("failed", "failed")])
    run.say("%s prune: %d bytes kept in %d entries" % (
        run.name, total - freed, len(entries) - counts.values["removed"]))
    return run.exit_status(1 if counts.values["failed"] or log_failed else 0)


def list_entries(run, directory):
    """One line per entry of `directory`: size, time, URL. The exit status."""
    layout, _ = find_tools(run, need_curl=False)
    try:
        entries, _ = scan_entries(run, directory)
    except OSError as error:
        return cannot_read(run, directory, error)
    rows = []
    try:
        urls = entry_urls(layout, entries)
    except ToolFailed as failure:
        run.warn(str(failure))
        return TOOL_FAILED
    for entry, url in zip(entries, urls):
        if url is None:
            run.warn("not a cache entry: " + shown(entry.path))
        else:
            rows.append((url, entry.stat))
    for url, info in sorted(rows, key=lambda row: row[0]):
        when = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(info.st_mtime))
        run.say("%12d  %s  %s" % (info.st_size, when, shown(url)))
    return run.exit_status(0)


def fill(run, directory, urls, limits, force=False):
    """Downloads each of `urls` (bytes) into `directory` through the same store as learn: what
    larderbox-fill runs. With `force`, entries present are downloaded again. The exit status."""
    layout, curl = find_tools(run, need_curl=True)
    store = Store(run, directory)
    try:
        store.open()
    except OSError as error:
        run.warn("cannot prepare %s: %s" % (shown(error.filename or directory), error.strerror))
        return 1
    # The operator names each URL: its host (and query) are allowed as named; redirects may go
    # anywhere but to another internal address.
    policy = Policy(allow=[], allow_any=True, allow_query=True)
    fetcher = Fetcher(run, curl, store, policy, limits.max_size, limits.timeout)
    counts = Counts(run, "stored", "present", "failed", "refused")
    try:
        for url in urls:
            if run.stopping():
                break
            fill_one(layout, store, fetcher, counts, url, force, limits.default_lifetime)
    except Stopped:
        pass
    except ToolFailed as failure:
        run.warn(str(failure))
        return TOOL_FAILED
    finally:
        store.close()
    run.say("%s: %d stored, %d present, %d failed" % (
        run.name, counts.values["stored"], counts.values["present"],
        counts.values["failed"] + counts.values["refused"]))
    return run.exit_status(1 if counts.values["failed"] or counts.values["refused"] else 0)


def fill_one(layout, store, fetcher, counts, url, force, default_lifetime):
    path = layout.form([url], file=True)[0]
    if path is None or b"\n" in url:
        counts.outcome(Outcome.FAILED, url, "no cache entry can hold it")
        return
    _, seg, name = path.split(b"/", 2)
    if store.exists(seg, name) and not force:
        counts.outcome(Outcome.PRESENT, url)
        return
    target = Policy.target(url)[0]
    if target is not None:
        fetcher.policy.allow = [(target.host, target.port)]
    answer = fetcher.fetch(url, seg, name)
    if answer.outcome is Outcome.STORED:
        try:
            store.save_meta(seg, dict(metadata(url, answer.headers, time.time(),
                                               default_lifetime), name=os.fsdecode(name)))
        except OSError as error:
            store.run.warn("cannot keep the validators of %s: %s" % (shown(url), error.strerror))
    outcome = Outcome.FAILED if answer.outcome is Outcome.GONE else answer.outcome
    counts.outcome(outcome, url, answer.reason)


def report(run, logs, as_json=False, top=10, prometheus=None, html=None, directory=None):
    """Probes, hits, misses and downloads per day from `logs`, then the `top` most missed and
    most served URLs; one JSON object with `as_json`. With `prometheus` (a file, "-" for standard
    output) the totals in the text exposition format, with `html` (a file) one page; `directory`
    adds the entries and their bytes. The exit status."""
    layout, _ = find_tools(run, need_curl=False)
    tally = Tally()
    failed = False
    for path in logs:
        reader = LogReader(run, path, follow=False)
        while not reader.done and not run.stopping():
            tally.add(reader.read())
        failed = failed or reader.failed
    if run.stopping():
        return run.exit_status(1)
    missed, served = tally.missed.most_common(top), tally.served.most_common(top)
    try:
        urls = dict(zip([s for s, _ in missed + served],
                        layout.urls([s for s, _ in missed + served])))
    except ToolFailed as failure:
        run.warn(str(failure))
        return TOOL_FAILED

    def url(seg):
        return shown(urls.get(seg) or b"(not a cache address) " + seg)

    most_missed = [{"url": url(s), "misses": n} for s, n in missed]
    most_served = [{"url": url(s), "downloads": n, "bytes": tally.served_bytes[s]}
                   for s, n in served]
    rows = tally.rows()
    if prometheus is not None or html is not None:
        status = write_reports(run, rows, most_missed, prometheus, html, directory)
        return run.exit_status(1 if failed else status)
    if as_json:
        run.say(json.dumps({"days": rows[:-1], "total": rows[-1], "most_missed": most_missed,
                            "most_served": most_served}, indent=1))
        return run.exit_status(1 if failed else 0)
    run.say("%-10s %9s %9s %9s %9s %10s %14s" % ("day", "probes", "hits", "misses", "hit ratio",
                                                "downloads", "bytes"))
    for row in rows:
        ratio = "-" if row["hit_ratio"] is None else "%.1f%%" % (100 * row["hit_ratio"])
        run.say("%-10s %9d %9d %9d %9s %10d %14d" % (row["day"], row["probes"], row["hits"],
                                                    row["misses"], ratio, row["downloads"],
                                                    row["bytes"]))
    tally.fleet.say(run, rows)
    run.say("\nmost missed (misses, URL):")
    for item in most_missed:
        run.say("%9d  %s" % (item["misses"], item["url"]))
    run.say("\nmost served (downloads, bytes, URL):")
    for item in most_served:
        run.say("%9d %14d  %s" % (item["downloads"], item["bytes"], item["url"]))
    return run.exit_status(1 if failed else 0)


def write_reports(run, rows, most_missed, prometheus, html, directory):
    """The exposition text to `prometheus` ("-": standard output) and the page to `html`, each
    file replaced in one step. The exit status."""
    figures = dict(rows[-1], **(directory_figures(run, directory) if directory else {}))
    outputs = [(prometheus, lambda: exposition(figures)),
               (html, lambda: render(rows, most_missed))]
    status = 0
    for path, text in outputs:
        if path == "-":
            run.say(text().rstrip("\n"))
        elif path is not None:
            try:
                write_atomically(path, text())
            except OSError as error:
                run.warn("cannot write %s: %s" % (path, error.strerror))
                status = 1
    return status
