"""The bridge to larderbox-path, which forms every cache address with the shim's own code: the
file below the cache directory for a URL, and the URL and file for a cache address or segment.
Nothing here or elsewhere in the package encodes or decodes an address itself."""

import os
import shutil
import subprocess
import threading

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


class Later:
    """A call run in a thread of its own; result() waits for its value or raises its
    ToolFailed."""

    def __init__(self, function, *args):
        self.value, self.error = None, None
        self.thread = threading.Thread(target=self._call, args=(function,) + args, daemon=True)
        self.thread.start()

    def _call(self, function, *args):
        try:
            self.value = function(*args)
        except ToolFailed as error:
            self.error = error

    def result(self):
        self.thread.join()
        if self.error is not None:
            raise self.error
        return self.value


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

    def inverse(self, addresses):
        """(URLs, stored paths) of many cache addresses, from larderbox-path --url, b"" in both
        where the address is no URL's own. All in one call."""
        answers = self._ask(["--url"], addresses)
        return answers[0::2], answers[1::2]

    def inverse_later(self, addresses):
        """inverse(addresses), asked in a thread of its own: the Later's result() is its
        answer."""
        return Later(self.inverse, addresses)

    def urls(self, addresses):
        """The URL of each cache address or segment, or None; for what is shown to people."""
        return [origin[0] if origin is not None else None for origin in self.origins(addresses)]

    def _ask(self, options, records):
        """The NUL-separated answers of larderbox-path --stdin -z for `records`."""
        if not records:
            return []
        argv = [self.path_tool] + options + ["--stdin", "-z"]
        try:
            done = subprocess.run(argv, input=b"\0".join(records) + b"\0", capture_output=True)
        except OSError as error:
            raise ToolFailed("larderbox-path failed: %s" % error.strerror)
        answers = done.stdout.split(b"\0")[:-1]
        expected = len(records) * (2 if options == ["--url"] else 1)
        if done.returncode not in (0, 1) or len(answers) != expected:
            raise ToolFailed("larderbox-path failed: " + shown(done.stderr.strip() or
                                                               b"status %d" % done.returncode))
        return answers

    def form(self, urls, file=True):
        """One result per URL: its line from larderbox-path (--file: the path below the cache
        directory), or None where larderbox-path has no line for it. All in one call."""
        return [answer or None for answer in self._ask(["--file"] if file else [], list(urls))]
