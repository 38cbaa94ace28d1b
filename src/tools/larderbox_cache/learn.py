"""learn: entries from a cache server's own misses, and with --follow their revalidation as they
fall due."""

import os
import threading
import time

from .fetch import Fetcher, find_tools
from .freshness import is_due, metadata
from .layout import entry_of, served_path
from .logs import ENTRY_MARK, LogReader, parse_line
from .revalidate import DueList, revalidate
from .run import POLL, TOOL_FAILED, BoundedDict, Counts, Outcome, Pool, ToolFailed, shown
from .store import Store

NAME_MAX = 255  # what the usual file systems allow for one file name
MEMORY = 1 << 15  # --follow remembers this many log paths and URLs, the oldest forgotten first


class Learner:
    """Turns 404 lines for cache addresses into downloads. Whether a URL is learned is the
    directory's to say: an absent entry is learned at its next miss, whatever happened before."""

    def __init__(self, run, layout, store, fetcher, default_lifetime, retry_after):
        self.run, self.layout, self.store = run, layout, store
        self.fetcher, self.policy = fetcher, fetcher.policy
        self.default_lifetime, self.retry_after = default_lifetime, retry_after
        self.counts = Counts(run, "stored", "present", "failed", "refused", "skipped", "unchanged",
                             "updated", "removed")
        # (segment, name) -> (URL, segment, stored name); None when skipped, False when refused
        # (already said).
        self.lines = BoundedDict(MEMORY)
        self.urls = BoundedDict(MEMORY)  # URL -> "busy", "done", "refused" or when it failed
        self.pending = {}
        self.lock = threading.Lock()
        self.pool = None
        self.due = DueList(store)

    def feed(self, lines):
        for line in lines:
            if ENTRY_MARK not in line:
                continue
            if self.store.cache_size is not None and b'" 200 ' in line:
                request = parse_line(line)
                if request is not None and request.method == b"GET":
                    self.store.served[request.seg] = time.time()
                continue
            if b'" 404 ' not in line:
                continue
            request = parse_line(line)
            if request is None:
                self.counts.add("skipped")
                continue
            if request.status != b"404" or request.method not in (b"GET", b"HEAD"):
                continue
            key = (request.seg, request.name)
            if key in self.pending:
                self.pending[key] += 1
            elif key not in self.lines:
                self.pending[key] = 1
                if len(self.pending) >= 4096:
                    self.flush()
            elif self.lines[key] is False:
                continue
            elif self.lines[key] is None:
                self.counts.add("skipped")
            else:
                self.consider(*self.lines[key])

    def flush(self):
        """Asks larderbox-path which URL each new path is the address of (none for a forged or
        garbled path), and fills them."""
        pending, self.pending = self.pending, {}
        keys = list(pending)
        origins = self.layout.origins([served_path(*key) for key in keys])
        for key, origin in zip(keys, origins):
            if origin is None:
                self._skip(key, pending[key])
                continue
            url, stored = origin
            why = self.policy.refusal(url)
            if why is not None:
                # Remembered as refused: a later miss of it is not even looked at again.
                self.lines[key] = False
                self.counts.outcome(Outcome.REFUSED, url, why)
                continue
            seg, name = entry_of(stored)
            self.lines[key] = (url, seg, name)
            self.consider(url, seg, name)

    def _skip(self, key, lines):
        self.lines[key] = None
        self.counts.add("skipped", by=lines)

    def consider(self, url, seg, name):
        with self.lock:
            state = self.urls.get(url)
            if state in ("busy", "refused") or (
                    isinstance(state, float) and time.monotonic() - state < self.retry_after):
                return
        refusal = self.policy.refusal(url)
        if refusal is None and max(len(seg), len(name)) > NAME_MAX:
            refusal = "its cache address is too long to be a file name"
        if refusal is not None:
            self._finish(url, Outcome.REFUSED, refusal)
            return
        with self.lock:
            if self.urls.get(url) == "busy":
                return
            if self.store.exists(seg, name):
                if state != "done":
                    self.urls[url] = "done"
                    self.counts.outcome(Outcome.PRESENT, url)
                return
            self.urls[url] = "busy"
        self.pool.submit(("learn", url, seg, name))

    def work(self, item):
        kind, url, seg, name = item
        if kind == "refresh":
            outcome, reason = revalidate(self.store, self.fetcher, url, seg, name,
                                         self.default_lifetime)
            meta = self.store.load_meta(seg)
            if meta is not None:
                self.due.note(seg, meta)
            self._finish(url, outcome, reason, refreshed=True)
            return
        answer = self.fetcher.fetch(url, seg, name)
        if answer.outcome is Outcome.STORED:
            meta = dict(metadata(url, answer.headers, time.time(), self.default_lifetime),
                        name=os.fsdecode(name))
            try:
                self.store.save_meta(seg, meta)
                self.due.note(seg, meta)
            except OSError as error:
                self.run.warn("cannot keep the validators of %s: %s" % (shown(url), error.strerror))
        outcome = Outcome.FAILED if answer.outcome is Outcome.GONE else answer.outcome
        self._finish(url, outcome, answer.reason)

    def _finish(self, url, kind, reason="", refreshed=False):
        with self.lock:
            self.urls[url] = (time.monotonic() if kind is Outcome.FAILED and not refreshed
                              else "refused" if kind is Outcome.REFUSED and not refreshed
                              else "done")
        self.counts.outcome(kind, url, reason)

    def refresh_due(self):
        """Submits every entry fallen due (learn --follow)."""
        segments = self.due.due(time.time())
        for seg, origin in zip(segments, self.layout.origins(segments)):
            meta = self.store.load_meta(seg)
            if meta is None or origin is None:
                continue
            if not is_due(meta, time.time()):
                self.due.note(seg, meta)
                continue
            url, name = origin[0], entry_of(origin[1])[1]
            with self.lock:
                if self.urls.get(url) == "busy" or not self.store.exists(seg, name):
                    continue
                self.urls[url] = "busy"
            self.pool.submit(("refresh", url, seg, name))


def learn(run, directory, logs, policy, limits, follow=False, cache_size=None, retry_after=600):
    """Fills `directory` from the misses in `logs` (paths, "-" for standard input), downloading
    under `policy` within `limits`; following the logs, and revalidating entries as they fall due,
    with `follow`. The exit status."""
    layout, curl = find_tools(run, need_curl=True)
    store = Store(run, directory, cache_size, layout)
    try:
        store.open()
    except OSError as error:
        run.warn("cannot prepare %s: %s" % (shown(error.filename or directory), error.strerror))
        return 1
    fetcher = Fetcher(run, curl, store, policy, limits.max_size, limits.timeout)
    learner = Learner(run, layout, store, fetcher, limits.default_lifetime, retry_after)
    readers = [LogReader(run, path, follow) for path in logs]
    learner.pool = Pool(run, limits.jobs, learner.work)
    status = None
    try:
        while not run.stopping():
            idle = True
            for reader in readers:
                lines = reader.read()
                idle = idle and not lines
                learner.feed(lines)
            learner.flush()
            if follow:
                learner.refresh_due()
            elif all(reader.done for reader in readers):
                break
            if idle:
                time.sleep(POLL)
    except ToolFailed as failure:
        run.warn(str(failure))
        status = TOOL_FAILED
        run.abort()
    finally:
        learner.pool.finish()
        store.close()
    learner.counts.add("skipped", by=sum(reader.unreadable() for reader in readers))
    names = [("stored", "stored"), ("present", "present"), ("failed", "failed"),
             ("refused", "refused"), ("skipped", "lines skipped")]
    if follow:
        names += [("unchanged", "unchanged"), ("updated", "updated"), ("removed", "removed")]
    learner.counts.summary("learn", names)
    if status is not None:
        return status
    failed = learner.counts.values["failed"] or any(reader.failed for reader in readers)
    return run.exit_status(1 if failed else 0)
