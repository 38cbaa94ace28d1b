"""What one run shares: its name, the stop request, standard output, the outcomes it counts and the
workers it keeps busy. One Run object per run, passed to whatever needs it."""

import collections
import contextlib
import enum
import queue
import signal
import sys
import threading

POLL = 0.2  # how often a waiting thread looks whether the run was asked to stop
REFUSALS_SHOWN = 20
REFUSAL_KEYS = 1000
TOOL_FAILED = 3  # larderbox-path or curl failed in a way no URL explains
CONTROL = {c: "\\x%02x" % c for c in list(range(0x20)) + list(range(0x7F, 0xA0))}


class Outcome(enum.Enum):
    STORED = "stored"
    PRESENT = "present"
    UNCHANGED = "unchanged"
    UPDATED = "updated"
    REMOVED = "removed"
    GONE = "gone"
    REFUSED = "refused"
    FAILED = "failed"
    SKIPPED = "skipped"


class Stopped(Exception):
    """A signal asked the run to stop; whatever raises this leaves nothing behind."""


class ToolFailed(Exception):
    """larderbox-path failed: the run ends, its children and temporary files with it."""


def add_refusals(counter, reasons):
    """Adds (reason, n) pairs to `counter`, reason by reason while it holds fewer than
    REFUSAL_KEYS, then as "other reasons": a reason may name a host, and hosts have no end."""
    for reason, n in reasons:
        if reason not in counter and len(counter) >= REFUSAL_KEYS:
            reason = "other reasons"
        counter[reason] += n


def shown(raw):
    """Bytes from a log or a URL as one printable line."""
    if isinstance(raw, str):
        raw = raw.encode("utf-8", "surrogateescape")
    return raw.decode("utf-8", "backslashreplace").translate(CONTROL)


class Run:
    """One run: its name in messages, the signal that stops it, whether it was aborted, the
    fetchers whose children a stop ends, and standard output shared by its threads."""

    def __init__(self, name="larderbox-cache", program=None, out=None, err=None):
        self.name, self.program = name, program
        self.out = out if out is not None else sys.stdout
        self.err = err if err is not None else sys.stderr
        self.signal = 0
        self.aborted = False
        self.die_of_signal = False  # larderbox-fill ends killed by the signal, as a shell tool
        self.fetchers = []
        self.lock = threading.Lock()
        self.output_failed = False
        self.holding = 0  # while above 0, lines wait in the buffer of standard output

    def say(self, text):
        with self.lock:
            if self.output_failed:
                return
            try:
                self.out.write(text + "\n")
                if not self.holding:
                    self.out.flush()
            except (BrokenPipeError, OSError):
                self.output_failed = True

    @contextlib.contextmanager
    def held(self):
        """Lines said meanwhile are written together at the end: one write for a batch's
        thousand lines rather than one each."""
        with self.lock:
            self.holding += 1
        try:
            yield
        finally:
            with self.lock:
                self.holding -= 1
            self.flush_output()

    def flush_output(self):
        """Writes out what waits in the buffer."""
        with self.lock:
            if self.output_failed or self.holding:
                return
            try:
                self.out.flush()
            except (BrokenPipeError, OSError):
                self.output_failed = True

    def warn(self, text):
        print("%s: %s" % (self.name, text), file=self.err, flush=True)

    def stopping(self):
        return self.signal != 0 or self.aborted

    def abort(self):
        """Ends the run: every fetcher's children die now."""
        self.aborted = True
        self.stop_fetchers()

    def stop_fetchers(self):
        for fetcher in self.fetchers:
            fetcher.stop()

    def stop_on_signals(self):
        def handler(number, _frame):
            self.signal = number
            self.stop_fetchers()

        for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(number, handler)

    def exit_status(self, status):
        """128 plus the signal's number when one stopped the run (its leftovers are gone by now);
        1 when standard output could not take every line."""
        if self.signal:
            return 128 + self.signal
        return 1 if self.output_failed else status


class BoundedDict:
    """A mapping of at most `limit` keys, memory a long --follow cannot grow: keys are set in a
    young half, which becomes the old one when full, the old one forgotten then. Plain dicts
    underneath, so that a lookup costs what a dict's does."""

    def __init__(self, limit):
        self.half = max(1, limit // 2)
        self.young, self.old = {}, {}

    def get(self, key, default=None):
        value = self.young.get(key, _ABSENT)
        return self.old.get(key, default) if value is _ABSENT else value

    def __contains__(self, key):
        return key in self.young or key in self.old

    def __getitem__(self, key):
        value = self.get(key, _ABSENT)
        if value is _ABSENT:
            raise KeyError(key)
        return value

    def __setitem__(self, key, value):
        self.young[key] = value
        if len(self.young) >= self.half:
            self.young, self.old = {}, self.young

    def update(self, mapping):
        self.young.update(mapping)
        if len(self.young) >= self.half:
            self.young, self.old = {}, self.young

    def partition(self, keys):
        """(the keys it holds, the keys it does not), each in their order."""
        young, old = self.young, self.old
        if young.keys().isdisjoint(keys) and old.keys().isdisjoint(keys):
            return [], list(keys)
        return ([key for key in keys if key in young or key in old],
                [key for key in keys if key not in young and key not in old])


_ABSENT = object()


class Pool:
    """`jobs` threads running `work` on submitted items; submitting waits while they are busy."""

    def __init__(self, run, jobs, work):
        self.run, self.work = run, work
        self.queue = queue.Queue(maxsize=2 * jobs)
        self.threads = [threading.Thread(target=self._serve, daemon=True) for _ in range(jobs)]
        for thread in self.threads:
            thread.start()

    def _serve(self):
        while not self.run.stopping():
            try:
                item = self.queue.get(timeout=POLL)
            except queue.Empty:
                continue
            if item is None:
                return
            try:
                self.work(item)
            except Stopped:
                return
            except Exception as error:  # noqa: BLE001 - one bad item must not take a worker down
                self.run.warn("internal error on %r: %r" % (item[0], error))

    def submit(self, item):
        while not self.run.stopping():
            try:
                self.queue.put(item, timeout=POLL)
                return
            except queue.Full:
                pass

    def finish(self):
        for _ in self.threads:
            self.submit(None)
        for thread in self.threads:
            while thread.is_alive():
                thread.join(POLL)


class Counts:
    """How many URLs ended each way. Refusals are printed for the first REFUSALS_SHOWN URLs, then
    summed per reason and host into one line at the end."""

    def __init__(self, run, *names):
        self.run = run
        self.lock = threading.Lock()
        self.values = dict.fromkeys(names, 0)
        self.refusals = collections.Counter()
        self.refusals_shown = 0
        self.refused_by = collections.Counter()  # reason -> URLs, for the metrics

    def add(self, name, line=None, by=1):
        with self.lock:
            self.values[name] += by
        if line is not None:
            self.run.say(line)

    def refused(self, urls, reasons, origins=None):
        """Many refusals at once, each URL's reason beside it: what outcome() does for each, with
        one lock, the hidden ones counted per reason and origin (`origins`, as url_origins()
        gives them, when the caller has them) before they are summed per host."""
        with self.lock:
            shown_count = min(len(urls), max(0, REFUSALS_SHOWN - self.refusals_shown))
            self.refusals_shown += len(urls)
            self.values[Outcome.REFUSED.value] += len(urls)
            add_refusals(self.refused_by, collections.Counter(reasons).items())
            hidden = reasons[shown_count:]
            if origins is not None:
                if hidden and hidden.count(hidden[0]) == len(hidden):  # one reason, as a flood's
                    keys = ((hidden[0], origin, n) for origin, n in
                            collections.Counter(origins[shown_count:]).items())
                else:
                    keys = ((reason, origin, n) for (reason, origin), n in
                            collections.Counter(zip(hidden, origins[shown_count:])).items())
                summed = (((reason, origin.partition(b"//")[2]), n) for reason, origin, n in keys)
            else:
                summed = collections.Counter(_authorities(zip(urls[shown_count:], hidden))).items()
            for (reason, authority), n in summed:
                self._sum(reason, authority, n)
        for url, reason in zip(urls[:shown_count], reasons):
            self.run.say("refused %s: %s" % (shown(url), reason))

    def _sum(self, reason, authority, n=1):
        host = authority.rpartition(b"@")[2]
        if not host.endswith(b"]") and b":" in host:
            host = host.rpartition(b":")[0]
        key = (reason, host)
        if key in self.refusals or len(self.refusals) < REFUSAL_KEYS:
            self.refusals[key] += n
        else:
            self.refusals[("other reasons", b"other hosts")] += n

    def outcome(self, kind, url, reason="", suffix=""):
        """One URL's line: `kind` URL: reason."""
        line = True
        if kind is Outcome.REFUSED:
            with self.lock:
                add_refusals(self.refused_by, [(reason, 1)])
                quiet = self.refusals_shown >= REFUSALS_SHOWN
                self.refusals_shown += 1
                if quiet:
                    self._sum(*next(_authorities([(url, reason)])))
            if quiet:
                line = None
        if line is not None:
            line = "%s %s%s%s" % (kind.value, shown(url), ": " + reason if reason else "", suffix)
        self.add(kind.value, line)

    def summary(self, command, names):
        hidden = self.refusals_shown - REFUSALS_SHOWN
        if hidden > 0:
            self.run.say("refused %d more URLs: %s" % (hidden, "; ".join(
                "%d %s (%s)" % (n, reason, shown(host).lower())
                for (reason, host), n in self.refusals.most_common(5)) + (
                "; ..." if len(self.refusals) > 5 else "")))
        self.run.say("%s %s: %s" % (self.run.name, command, ", ".join(
            "%d %s" % (self.values[key], label) for key, label in names)))


def _authorities(refusals):
    """(reason, the URL's authority) of each (URL, reason)."""
    for url, reason in refusals:
        parts = url.split(b"/", 3)
        yield reason, parts[2] if len(parts) > 2 else b"-"
