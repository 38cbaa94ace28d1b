"""The bridge to larderbox-path, which forms every cache address with the shim's own code: the
file below the cache directory for a URL, and the URL and file for a cache address or segment.
Nothing here or elsewhere in the package encodes or decodes an address itself."""

import os
import shutil
import subprocess
import tempfile

from .run import ToolFailed, shown


def served_path(seg, name):
    """What larderbox-path --url reads back for a request of SEGMENT/NAME as a log shows it."""
    return b"b/%s/%s" % (seg, name)


def entry_of(stored):
    """(segment, file name) of a path below the cache directory as larderbox-path gives it."""
    _, seg, name = stored.split(b"/", 2)
    return seg, name


def beside_or_on_path(program, name):
    """The executable `name` beside `program` (as called, then with its links resolved), else
    on PATH: an installed or built set always agree with each other."""
    if program:
        for directory in (os.path.dirname(os.path.abspath(program)),
                          os.path.dirname(os.path.realpath(program))):
            candidate = os.path.join(directory, name)
            if os.path.isfile(candidate) and os.access(candidate, os.X_OK):
                return candidate
    return shutil.which(name)


class Asked:
    """larderbox-path started on a batch: it reads the batch from one anonymous file and writes
    its answers to another, so that it works on its own core while the caller goes on, with no
    thread here to feed it. answers() waits for them: `per_record` for each record."""

    def __init__(self, argv, records, per_record):
        self.count = len(records) * per_record
        self.process = None
        if not records:
            return
        try:
            with _anonymous_file() as given:
                given.write(b"\0".join(records) + b"\0")
                given.seek(0)
                self.output, self.errors = _anonymous_file(), _anonymous_file()
                self.process = subprocess.Popen(argv, stdin=given, stdout=self.output,
                                                stderr=self.errors)
        except OSError as error:
            raise ToolFailed("larderbox-path failed: %s" % error.strerror)

    def answers(self):
        """The NUL-separated answers, or ToolFailed."""
        if self.process is None:
            return []
        status = self.process.wait()
        with self.output, self.errors:
            self.output.seek(0)
            self.errors.seek(0)
            answers, errors = self.output.read(), self.errors.read()
        if status not in (0, 1):
            raise ToolFailed("larderbox-path failed: " + shown(errors.strip() or
                                                               b"status %d" % status))
        answers = answers.split(b"\0")[:-1]
        if len(answers) != self.count:
            raise ToolFailed("larderbox-path failed: %d answers where %d were due"
                             % (len(answers), self.count))
        return answers

    def result(self):
        """With two answers a record (--url): the first of each, and the second of each."""
        answers = self.answers()
        return answers[0::2], answers[1::2]


def _anonymous_file():
    """A file with no name, in memory where the system allows."""
    try:
        return open(os.memfd_create("larderbox-path"), "w+b")
    except (AttributeError, OSError):
        return tempfile.TemporaryFile()


class Layout:
    """larderbox-path, asked about many URLs or addresses at once (--stdin -z)."""

    def __init__(self, path_tool):
        self.path_tool = path_tool

    def origins(self, addresses):
        """(URL, stored path) for each cache address, from larderbox-path --url; None where the
        address is no URL's own. All in one call."""
        answers = self._ask(["--url"], addresses)
        return [(answers[2 * i], answers[2 * i + 1]) if answers[2 * i] else None
                for i in range(len(addresses))]

    def inverse_later(self, addresses):
        """The (URLs, stored paths) of many cache addresses, from larderbox-path --url, b"" in
        both where an address is no URL's own: larderbox-path starts now, and the result() of
        what this returns is its answer."""
        return self._start(["--url"], addresses)

    def urls(self, addresses):
        """The URL of each cache address or segment, or None; for what is shown to people."""
        return [origin[0] if origin is not None else None for origin in self.origins(addresses)]

    def _start(self, options, records):
        return Asked([self.path_tool] + options + ["--stdin", "-z"], records,
                     2 if options == ["--url"] else 1)

    def _ask(self, options, records):
        """The NUL-separated answers of larderbox-path --stdin -z for `records`."""
        return self._start(options, records).answers()

    def form(self, urls, file=True):
        """One result per URL: its line from larderbox-path (--file: the path below the cache
        directory), or None where larderbox-path has no line for it. All in one call."""
        return [answer or None for answer in self._ask(["--file"] if file else [], list(urls))]
