"""learn: entries from a cache server's own misses, and with --follow their revalidation as they
fall due."""

import collections
import os
import threading
import time

from .fetch import Fetcher, find_tools
from .freshness import is_due, metadata
from .layout import entry_of
from .logs import LogReader, answered, missed_targets, parse_request
from .policy import url_origins
from .revalidate import DueList, revalidate
from .run import POLL, TOOL_FAILED, BoundedDict, Counts, Outcome, Pool, ToolFailed, shown
from .store import Store

NAME_MAX = 255  # what the usual file systems allow for one file name
MEMORY = 1 << 14  # --follow remembers this many log paths and URLs, the oldest forgotten first
BATCH = 1 << 12  # larderbox-path is asked about this many new paths at once
RECORD_EVERY = 1.0  # seconds between notes of the run's times in DIR, but for the last


class Learner:
    """Turns 404 lines for cache addresses into downloads. Whether a URL is learned is the
    directory's to say: an absent entry is learned at its next miss, whatever happened before."""

    def __init__(self, run, layout, store, fetcher, default_lifetime, retry_after):
        self.run, self.layout, self.store = run, layout, store
        self.fetcher, self.policy = fetcher, fetcher.policy
        self.default_lifetime, self.retry_after = default_lifetime, retry_after
        self.counts = Counts(run, "stored", "present", "failed", "refused", "skipped", "unchanged",
                             "updated", "removed")
        # A logged target -> (URL, segment, stored name); None when skipped, False when refused
        # (already said).
        self.lines = BoundedDict(MEMORY)
        self.urls = BoundedDict(MEMORY)  # URL -> "busy", "done", "refused" or when it failed
        self.pending = {}  # target -> its misses, to be asked of larderbox-path
        self.asking, self.asked = {}, None  # the same of the batch being asked, and its answer
        self.lock = threading.Lock()
        self.pool = None
        self.due = DueList(store)
        self.recorded, self.seen = collections.Counter(), (0, 0)  # what record() last wrote
        self.recorded_at = 0.0

    def feed(self, blocks):
        """Takes in blocks of whole log lines: the misses of entries, and with --cache-size when
        entries were served."""
        for block in blocks:
            if self.store.cache_size is not None:
                now = time.time()
                for request in answered(block, b"200")[0]:
                    parsed = parse_request(request)
                    if parsed is not None and parsed[0] == b"GET":
                        self.store.served[parsed[1]] = now
            targets, unreadable = missed_targets(block)
            if unreadable:
                self.counts.add("skipped", by=unreadable)
            misses = dict.fromkeys(targets, 1)  # each once, as in a flood of misses
            self._misses(misses if len(misses) == len(targets) else collections.Counter(targets))

    def _misses(self, misses):
        """Misses counted per target: those new are asked of larderbox-path in batches, the
        others are what was found for them before."""
        known, new = self.lines.partition(misses)
        pending, asking = self.pending, self.asking
        if not asking.keys().isdisjoint(new):
            for target in [target for target in new if target in asking]:
                asking[target] += misses[target]  # larderbox-path is being asked about it
            new = [target for target in new if target not in asking]
        if pending.keys().isdisjoint(new):  # as when every miss is another URL's
            pending.update(zip(new, map(misses.__getitem__, new)))
        else:
            pending.update({target: pending.get(target, 0) + misses[target] for target in new})
        for target in known:
            state = self.lines[target]
            if state is None:
                self.counts.add("skipped", by=misses[target])
            elif state is not False:
                self.consider(*state)
        if len(pending) >= BATCH:
            self.flush()

    def flush(self, wait=False):
        """Asks larderbox-path which URL each new target is the address of (none for a forged
        or garbled one), and fills them. larderbox-path works on one batch while the next is
        read: the answers of the batch asked before are taken in here; with `wait`, those of
        this one too. Without `wait`, only a full batch is asked."""
        if not wait and len(self.pending) < BATCH:
            return
        previous = self.asked
        self.asked, self.asking = None, {}
        if self.pending:
            self.asking, self.pending = self.pending, {}
            self.asked = (self.asking, self.layout.inverse_later(list(self.asking)))
        if previous is not None:
            self._settle(*previous)
        if wait and self.asked is not None:
            current, self.asked, self.asking = self.asked, None, {}
            self._settle(*current)

    def _settle(self, pending, answer):
        """What larderbox-path answered about the targets of `pending`. Refusals are remembered:
        a later miss of a refused URL is not even looked at again. In bulk: a batch of refusals
        costs no step of its own per URL here."""
        targets = list(pending)
        urls, stored = answer.result()
        learned = {}
        if b"" in urls:
            learned = dict.fromkeys([target for target, url in zip(targets, urls) if not url])
            self.counts.add("skipped", by=sum(pending[target] for target in learned))
            kept = [i for i, url in enumerate(urls) if url]
            targets, urls, stored = ([items[i] for i in kept] for items in (targets, urls, stored))
        origins = url_origins(urls)
        verdicts = self.policy.refusals(urls, origins)
        if verdicts.count(None) == 0:  # all refused, as a flood of misses of other hosts is
            learned.update(dict.fromkeys(targets, False))
            self.lines.update(learned)
            if urls:
                self.counts.refused(urls, verdicts, origins)
            return
        refused = [i for i, why in enumerate(verdicts) if why is not None]
        for target, url, path, why in zip(targets, urls, stored, verdicts):
            if why is None:
                learned[target] = (url,) + entry_of(path)
                self.consider(*learned[target])
            else:
                learned[target] = False
        self.lines.update(learned)
        if refused:
            self.counts.refused([urls[i] for i in refused], [verdicts[i] for i in refused],
                                None if origins is None else [origins[i] for i in refused])

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

    def record(self, ended=False):
        """Notes in DIR when learn last handled a URL (or ended) and refreshed an entry, and the
        refusals since the last note: what report --prometheus --dir shows."""
        with self.counts.lock:  # the download workers add to it
            refused = self.counts.refused_by - self.recorded
            seen = tuple(sum(self.counts.values[key] for key in keys) for keys in (
                ("stored", "present", "failed", "refused"), ("unchanged", "updated", "removed")))
        now = time.time()
        if not ended and now - self.recorded_at < RECORD_EVERY:
            return
        times = {name: now for name, was, new in zip(("last_learn", "last_refresh"), self.seen,
                                                     seen) if new != was}
        if ended:
            times["last_learn"] = now
        if times:
            self.store.record_run(times, refused)
            self.recorded.update(refused)
            self.recorded_at = now
        self.seen = seen

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


def learn(run, directory, logs, policy, limits, follow=False, cache_size=None, retry_after=600,
          watch=None):
    """Fills `directory` from the misses in `logs` (paths, "-" for standard input), downloading
    under `policy` within `limits`; following the logs, and revalidating entries as they fall due,
    with `follow`. A `watch` (serve's) sees every line read, and the learner once per round. The
    exit status."""
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
    if watch is not None:
        watch.readers = readers
    learner.pool = Pool(run, limits.jobs, learner.work)
    status = None
    try:
        while not run.stopping():
            idle = True
            for reader in readers:
                blocks = reader.read()
                idle = idle and not blocks
                learner.feed(blocks)
                if watch is not None:
                    watch.lines(blocks)
            # Caught up with the logs, every miss read is answered now; behind, in batches.
            learner.flush(wait=not any(reader.behind for reader in readers))
            if follow:
                learner.refresh_due()
            elif all(reader.done for reader in readers):
                break
            learner.record()
            if watch is not None:
                watch.tick()
            if idle:
                time.sleep(POLL)
    except ToolFailed as failure:
        run.warn(str(failure))
        status = TOOL_FAILED
        run.abort()
    finally:
        learner.pool.finish()
        learner.record(ended=True)
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
