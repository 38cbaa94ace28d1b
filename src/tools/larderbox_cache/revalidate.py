"""Revalidation: asking an origin for an entry again with its validators, and what the answer
means for the entry (refresh, and learn --follow as entries fall due)."""

import email.utils
import heapq
import os
import time

from .freshness import metadata
from .run import Outcome, shown
from .store import file_digest, meta_names

RECHECK_FLOOR = 5  # --follow asks an origin about one entry no more often than this (seconds)


def conditions(meta, path):
    """The conditional request headers for an entry, and the SHA-256 its bytes have."""
    headers = []
    if meta and meta.get("etag"):
        headers.append("If-None-Match: " + meta["etag"])
    if meta and meta.get("last_modified"):
        headers.append("If-Modified-Since: " + meta["last_modified"])
    elif not headers:  # an entry of an older version: its time is the origin's
        headers.append("If-Modified-Since: " + email.utils.formatdate(
            os.lstat(path).st_mtime, usegmt=True))
    digest = meta.get("sha256") if meta else None
    return headers, digest or file_digest(path)


def revalidate(store, fetcher, url, seg, name, default_lifetime):
    """(Outcome, reason) of asking the origin for an entry again: UNCHANGED keeps it and its time,
    UPDATED replaces it, REMOVED when the origin says it is gone; every failure keeps it."""
    meta = store.load_meta(seg)
    try:
        headers, digest = conditions(meta, store.entry_path(seg, name))
    except OSError as error:
        return Outcome.FAILED, "%s (kept)" % error.strerror
    answer = fetcher.fetch(url, seg, name, headers, digest)
    return settle(store, url, seg, name, meta, answer, default_lifetime, digest)


class Revalidation:
    """Many entries asked of their origins by one curl --parallel (their first requests): made
    ready, started, then settled, so that a caller can ready the next while this one's curl
    runs and settle this one while the next one's runs."""

    def __init__(self, store, fetcher, items):
        """Reads the validators of each (url, seg, name) and writes the curl configuration."""
        self.store, self.fetcher, self.items = store, fetcher, items
        self.prepared, self.results = [], [None] * len(items)
        for i, (url, seg, name) in enumerate(items):
            meta = store.load_meta(seg)
            try:
                headers, digest = conditions(meta, store.entry_path(seg, name))
            except OSError as error:
                self.results[i] = (Outcome.FAILED, "%s (kept)" % error.strerror)
                continue
            self.prepared.append((i, meta, (url, seg, name, headers, digest)))
        self.batch = fetcher.prepare_many([request for _, _, request in self.prepared])

    def start(self, jobs):
        self.fetcher.start(self.batch, jobs)

    def wait(self):
        self.fetcher.wait(self.batch)

    def settle(self, default_lifetime):
        """(Outcome, reason) or None (ask revalidate()) for each item, once its curl ended."""
        answers = self.fetcher.answers(self.batch)
        for (i, meta, (url, seg, name, _, digest)), answer in zip(self.prepared, answers):
            if answer is not None:
                self.results[i] = settle(self.store, url, seg, name, meta, answer,
                                         default_lifetime, digest)
        return self.results


def settle(store, url, seg, name, meta, answer, default_lifetime, digest=None):
    """What an origin's Answer about an entry means for it, metadata kept."""
    now = time.time()
    if answer.outcome is Outcome.GONE:
        store.remove(seg, name)
        return Outcome.REMOVED, answer.reason
    if answer.outcome in (Outcome.UNCHANGED, Outcome.STORED):
        keep = meta if answer.outcome is Outcome.UNCHANGED else None
        new = dict(metadata(url, answer.headers, now, default_lifetime, keep),
                   name=os.fsdecode(name))
        if digest is not None and answer.outcome is Outcome.UNCHANGED:
            new.setdefault("sha256", digest)
        try:
            if keep is not None and dict(new, validated=0) == dict(keep, validated=0):
                store.touch_meta(seg, now)  # only the time of validation moves
            else:
                store.save_meta(seg, new)
        except OSError as error:
            store.run.warn("cannot keep the validators of %s: %s" % (shown(url), error.strerror))
        kind = Outcome.UPDATED if answer.outcome is Outcome.STORED else Outcome.UNCHANGED
        return kind, ""
    return answer.outcome, answer.reason + " (kept)"


class DueList:
    """When each entry falls due, soonest first, from DIR/meta/ read again every hour (another
    process may have stored or validated entries meanwhile)."""

    RESCAN = 3600

    def __init__(self, store):
        self.store, self.heap, self.next_scan = store, [], 0.0

    def note(self, seg, meta):
        try:
            validated = float(meta["validated"])
            moment = validated + max(float(meta["lifetime"]), RECHECK_FLOOR)
        except (KeyError, TypeError, ValueError):
            moment = 0.0
        heapq.heappush(self.heap, (moment, seg))

    def due(self, now):
        """The segments due by `now`, each once."""
        if now >= self.next_scan:
            self.heap, self.next_scan = [], now + self.RESCAN
            try:
                names = meta_names(self.store.meta)
            except OSError:
                names = []
            for seg in names:
                meta = self.store.load_meta(seg)
                if meta is not None:
                    self.note(seg, meta)
        found = []
        while self.heap and self.heap[0][0] <= now:
            found.append(heapq.heappop(self.heap)[1])
        return found
