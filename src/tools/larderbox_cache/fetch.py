"""Downloads with the real curl under the policy: one request per hop, every redirect target
checked before it is asked, the connection to the address the policy checked; many first requests
at once with curl --parallel."""

import collections
import ctypes
import json
import os
import shutil
import signal
import subprocess
import tempfile
import threading
import time

from .freshness import http_time, not_storable, parse_headers
from .layout import Layout, beside_or_on_path
from .run import POLL, Outcome, Stopped, shown
from .store import file_digest, remove_quietly

DEFAULT_MAX_SIZE = 1 << 30
DEFAULT_TIMEOUT = 1800
DEFAULT_JOBS = 4
CONNECT_TIMEOUT = 30
LOW_SPEED = ("1024", "60")  # bytes per second, seconds: a trickling origin is given up
MAX_REDIRECTS = 10
REDIRECTS = (301, 302, 303, 307, 308)
CURL_REASONS = {6: "cannot resolve the host", 7: "cannot connect", 18: "the transfer ended early",
                23: "cannot write the download", 28: "timed out", 35: "TLS handshake failed",
                52: "empty reply", 56: "connection broken", 60: "certificate not trusted"}

# What every download of a run is given: its largest size, how many at once, its longest time, and
# the freshness of an answer that says nothing of it.
Limits = collections.namedtuple("Limits", "max_size jobs timeout default_lifetime")


def find_curl():
    """$REAL_CURL when it names an executable, else curl on PATH, else None."""
    real = os.environ.get("REAL_CURL", "")
    if real and os.path.isfile(real) and os.access(real, os.X_OK):
        return real
    return shutil.which("curl")


try:
    LIBC = ctypes.CDLL(None, use_errno=True)
except OSError:
    LIBC = None
PR_SET_PDEATHSIG = 1


def die_with(parent, number=signal.SIGKILL):
    """For a child: signal `number` when `parent` (the thread that started it) ends, SIGKILL
    included."""
    def prepare():
        if LIBC is not None:
            LIBC.prctl(PR_SET_PDEATHSIG, number, 0, 0, 0)
        if os.getppid() != parent:
            os._exit(127)
    return prepare


def size_of(path):
    try:
        return os.stat(path).st_size
    except OSError:
        return 0


Answer = collections.namedtuple("Answer", "outcome reason headers")


class Batch:
    """Many first requests made by one curl --parallel: their answers so far, the files of the
    run, and the curl with the thread that watches it."""

    def __init__(self, requests, work):
        self.requests, self.work = requests, work
        self.answers = [None] * len(requests)
        self.outputs, self.config = [], None
        self.process = self.watcher = None
        # Each transfer's line starts with this, which no origin can guess to forge one.
        self.marker = "larderbox-%s" % os.urandom(8).hex()  # "@" first would name a file


class Fetcher:
    """Downloads with the real curl, one request per hop: every redirect target is checked by the
    policy before it is asked, and the connection goes to the address the policy checked. A
    download goes to the run's temporary directory and is renamed into place only when it is
    complete and storable. Every running curl is known, so that a signal ends them all."""

    def __init__(self, run, curl, store, policy, max_size=DEFAULT_MAX_SIZE,
                 timeout=DEFAULT_TIMEOUT):
        self.run, self.curl, self.store, self.policy = run, curl, store, policy
        self.max_size, self.timeout = max_size, timeout
        # Reentrant: the signal handler stops the curls from the main thread, which may hold it.
        self.lock = threading.RLock()
        self.active = {}  # temporary file -> its curl (None until started)
        # What every transfer of a batch is given. No "proto": the policy has judged each URL
        # http or https, and no redirect is followed there; curl reads that option slowly
        # enough to make it the largest cost of a refresh.
        self.limits = "\n".join([
            "globoff", "max-filesize = %d" % max_size,
            "connect-timeout = %d" % min(CONNECT_TIMEOUT, timeout), "max-time = %d" % timeout,
            "speed-limit = " + LOW_SPEED[0], "speed-time = " + LOW_SPEED[1]])
        run.fetchers.append(self)

    def stop(self):
        with self.lock:
            for process in self.active.values():
                if process is not None:
                    process.kill()

    def fetch(self, url, seg, name, conditional=(), digest=None, place=True):
        """An Answer. With `conditional` headers a 304 is UNCHANGED; with `digest` (the entry's
        SHA-256) the same bytes are UNCHANGED too. STORED answers are in place."""
        tmp = self.store.temporary()
        with self.lock:
            self.active[tmp] = None
        try:
            answer, code = self._follow(url, tmp, conditional)
            if answer is not None:
                return answer
            return self._conclude(tmp, code, seg, name, conditional, digest, place)
        except OSError as error:
            return Answer(Outcome.FAILED, "%s: %s" % (
                shown(error.filename or b"the cache"), error.strerror), {})
        finally:
            remove_quietly(tmp)
            with self.lock:
                self.active.pop(tmp, None)

    def _conclude(self, tmp, code, seg, name, conditional, digest, place=True):
        """The Answer for the last hop's (HTTP code, headers) with its body in `tmp`, placed
        when it is new and storable."""
        headers = code[1]
        if code[0] == 304 and conditional:
            return Answer(Outcome.UNCHANGED, "", headers)
        if code[0] in (404, 410):
            return Answer(Outcome.GONE, "the origin answered %d" % code[0], headers)
        if code[0] != 200:
            return Answer(Outcome.FAILED, "the origin answered %d" % code[0], headers)
        why = not_storable(headers)
        if why is not None:
            return Answer(Outcome.REFUSED, why, headers)
        size = os.path.getsize(tmp)
        if size > self.max_size:
            return Answer(Outcome.REFUSED, "larger than --max-size", headers)
        headers["x-sha256"] = [file_digest(tmp)]
        if digest is not None and headers["x-sha256"][0] == digest:
            return Answer(Outcome.UNCHANGED, "", headers)
        if not place:
            return Answer(Outcome.STORED, "", headers)
        if digest is None and not self.store.make_room(size):
            return Answer(Outcome.REFUSED, "larger than --cache-size", headers)
        modified = http_time((headers.get("last-modified") or [""])[-1])
        self.store.place(tmp, seg, name, modified if modified is not None else time.time())
        return Answer(Outcome.STORED, "", headers)

    def prepare_many(self, requests):
        """The Batch of many (url, seg, name, conditional, digest): one curl to make every first
        request with --parallel, its configuration written, not started. Its answers are None
        where the URL needs more than that (a redirect, a download stopped for its size): the
        caller asks fetch() for it."""
        batch = Batch(requests, tempfile.mkdtemp(prefix=b"batch-", dir=self.store.run_dir))
        config = []
        for i, (url, _, _, conditional, _) in enumerate(requests):
            target, why = self.policy.judged(url)
            address, problem = (None, (Outcome.REFUSED, why)) if why is not None else \
                self.policy.address(target)
            if problem is not None:
                batch.answers[i] = Answer(problem[0], problem[1], {})
                batch.outputs.append(None)
                continue
            batch.outputs.append(b"%s/%d" % (batch.work, i))
            config.append(self._section(url, target, address, batch.outputs[i], conditional, i,
                                        batch.marker))
        if config:
            batch.config = os.path.join(batch.work, b"curlrc")
            with open(batch.config, "w", encoding="latin-1") as f:
                f.write("next\n".join(config))  # a "next" after the last would be a transfer too
        return batch

    def start(self, batch, jobs):
        """Starts the curl of `batch`, watched by a thread of its own: it stops the curl when a
        download grows past --max-size (curl enforces it only when the origin announces the
        length) or when the run is asked to stop."""
        if batch.config is None:
            return
        argv = [self.curl, "-q", "-sS", "--parallel", "--parallel-max", str(jobs), "-K",
                os.fsdecode(batch.config)]
        with self.lock:
            if self.run.stopping():
                raise Stopped()
            with open(os.path.join(batch.work, b"out"), "wb") as out:
                batch.process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out,
                                                 stderr=subprocess.DEVNULL,
                                                 preexec_fn=die_with(os.getpid()))
            self.active[batch.work] = batch.process
        batch.watcher = threading.Thread(target=self._watch, args=(batch,), daemon=True)
        batch.watcher.start()

    def _watch(self, batch):
        outputs = [o for o in batch.outputs if o]
        while True:
            try:
                batch.process.wait(timeout=POLL)
                return
            except subprocess.TimeoutExpired:
                if self.run.stopping() or any(size_of(o) > self.max_size for o in outputs):
                    batch.process.kill()

    def wait(self, batch):
        """Waits for the curl of a started batch to end."""
        if batch.watcher is not None:
            batch.watcher.join()
            with self.lock:
                self.active.pop(batch.work, None)
        if self.run.stopping():
            shutil.rmtree(batch.work, ignore_errors=True)
            raise Stopped()

    def answers(self, batch):
        """The answers of a batch whose curl has ended; its files are removed."""
        try:
            for i, status, code, headers in self._results(batch):
                if status not in (0, 63):
                    batch.answers[i] = self._curl_failure(status, b"")
                if status != 0 or code in REDIRECTS:
                    continue  # asked again one hop at a time
                url, seg, name, conditional, digest = batch.requests[i]
                try:
                    batch.answers[i] = self._conclude(batch.outputs[i], (int(code), headers), seg,
                                                      name, conditional, digest)
                except OSError as error:
                    batch.answers[i] = Answer(Outcome.FAILED, "%s: %s" % (
                        shown(error.filename or b"the cache"), error.strerror), {})
        finally:
            shutil.rmtree(batch.work, ignore_errors=True)
        return batch.answers

    def _section(self, url, target, address, output, conditional, index, marker):
        """One transfer of a curl configuration file, every option its own."""
        section = ('url = %s\noutput = %s\n%s\n'
                   'write-out = "%s %d %%{exitcode} %%{http_code} %%{header_json}\\n"\n'
                   % (_quoted(url.decode("latin-1")), _quoted(os.fsdecode(output)), self.limits,
                      marker, index))
        if address != target.host:  # a name, not an address: connect where it was checked
            shown_address = "[%s]" % address if ":" in address else address
            section += "resolve = %s:%d:%s\n" % (target.host, target.port, shown_address)
        return section + "".join("header = %s\n" % _quoted(header) for header in conditional)

    def _results(self, batch):
        """(index, curl status, HTTP code, headers) of each transfer of a batch's curl run; those
        it did not finish (stopped for their size) are left out."""
        if batch.config is None:
            return []
        with open(os.path.join(batch.work, b"out"), "rb") as f:
            out = f.read()
        records = [(record.split(b" ", 3) + [b""] * 4)[:4]
                   for record in out.split(batch.marker.encode() + b" ")[1:]]
        # Every transfer's headers in one parse; one by one when that fails (a transfer cut
        # short), so that a bad one spoils only itself.
        texts = [rest.strip() or b"{}" for _, _, _, rest in records]
        try:
            parsed = json.loads(b"[%s]" % b",".join(texts))
        except ValueError:
            parsed = None
        if not isinstance(parsed, list) or len(parsed) != len(records):
            parsed = [_json_or_none(text) for text in texts]
        results = []
        for (index, status, code, _), headers in zip(records, parsed):
            if not (index.isdigit() and status.isdigit() and code.isdigit()
                    and isinstance(headers, dict)):
                continue
            # curl gives each header's values as a list of strings under its lower-case name.
            headers = collections.defaultdict(list, {
                str(k).lower(): vs if isinstance(vs, list) else [str(vs)]
                for k, vs in headers.items()})
            results.append((int(index), int(status), int(code), headers))
        return results

    def _follow(self, url, tmp, conditional):
        """(Answer, None) when the URL ends without an answer to keep, else (None, (HTTP code,
        headers)) of the last hop."""
        came_from = None
        for _ in range(MAX_REDIRECTS + 1):
            target, why = self.policy.judged(url, came_from)
            if why is not None:
                return Answer(Outcome.REFUSED, why, {}), None
            address, problem = self.policy.address(target)
            if problem is not None:
                if came_from is not None and problem[0] is Outcome.REFUSED:
                    problem = (Outcome.REFUSED, "redirect to %s is not allowed" % target.host)
                return Answer(problem[0], problem[1], {}), None
            status, code, location, headers, error = self._transfer(
                url, target, address, tmp, conditional)
            if self.run.stopping():
                raise Stopped()
            if status in (0,) and code in REDIRECTS and location:
                url, came_from = location, target
                continue
            if status != 0:
                return self._curl_failure(status, error), None
            return None, (code, headers)
        return Answer(Outcome.FAILED, "more than %d redirects" % MAX_REDIRECTS, {}), None

    def _transfer(self, url, target, address, tmp, conditional):
        argv = [self.curl, "-q", "-sS", "-g", "--proto", "=http,https",
                "--max-filesize", str(self.max_size), "--connect-timeout",
                str(min(CONNECT_TIMEOUT, self.timeout)), "--max-time", str(self.timeout),
                "-Y", LOW_SPEED[0], "-y", LOW_SPEED[1], "-D", "-", "-o", tmp,
                "-w", "\n%{http_code} %{redirect_url}"]
        if address != target.host:  # a name, not an address: connect where it was checked
            shown_address = "[%s]" % address if ":" in address else address
            argv += ["--resolve", "%s:%d:%s" % (target.host, target.port, shown_address)]
        for header in conditional:
            argv += ["-H", header]
        with self.lock:
            if self.run.stopping():
                raise Stopped()
            process = subprocess.Popen(argv + ["--url", url], stdin=subprocess.DEVNULL,
                                       stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                       preexec_fn=die_with(os.getpid()))
            self.active[tmp] = process
        out, error, oversize = self._wait(process, tmp)
        head, _, written = out.rpartition(b"\n")
        code, _, location = written.decode("latin-1").partition(" ")
        status = 63 if oversize else process.returncode
        return (status, int(code) if code.isdigit() else 0, location.strip().encode(
            "latin-1"), parse_headers(head), error)

    def _wait(self, process, tmp):
        """curl's output and error text, and whether it was stopped for its size: curl enforces
        --max-filesize only when the origin announces the length."""
        oversize = False
        while True:
            try:
                out, error = process.communicate(timeout=POLL)
                return out, error, oversize
            except subprocess.TimeoutExpired:
                if self.run.stopping():
                    process.kill()
                elif os.path.getsize(tmp) > self.max_size:
                    oversize = True
                    process.kill()

    @staticmethod
    def _curl_failure(status, error):
        if status == 63:
            return Answer(Outcome.REFUSED, "larger than --max-size", {})
        last = error.strip().splitlines()[-1:] or [b"no message"]
        detail = CURL_REASONS.get(status) or shown(last[0])
        return Answer(Outcome.FAILED, "curl exited with status %d (%s)" % (status, detail), {})


def _quoted(text):
    """A value of a curl configuration file, quoted."""
    return '"%s"' % text.replace("\\", "\\\\").replace('"', '\\"')


def _json_or_none(text):
    try:
        return json.loads(text)
    except ValueError:
        return None


def find_tools(run, need_curl):
    """(Layout over larderbox-path, the real curl or None); SystemExit(2) when one is missing."""
    path_tool = beside_or_on_path(run.program, "larderbox-path")
    curl = find_curl() if need_curl else None
    for name, found in (("larderbox-path", path_tool),
                        ("curl (set $REAL_CURL)", curl or not need_curl)):
        if not found:
            run.warn(name + " not found")
            raise SystemExit(2)
    return Layout(path_tool), curl
