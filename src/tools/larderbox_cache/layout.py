"""The bridge to larderbox-path, which forms every cache address with the shim's own code: the
file below the cache directory for a URL, and the URL and file for a cache address or segment."""

import base64
import os
import shutil
import subprocess
import urllib.parse

from .run import ToolFailed, shown

BASE64URL = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"


def decode_segment(seg):
    """The URL that an unpadded base64url SEGMENT holds, or None."""
    if seg.translate(None, BASE64URL) or len(seg) % 4 == 1:
        return None
    return base64.urlsafe_b64decode(seg + b"=" * (-len(seg) % 4))


def stored_name(name):
    """The file a static server looks for when asked for NAME (percent-escapes decoded, as
    larderbox-path --file does), or None when no file can have that name."""
    if b"%" in name:
        name = urllib.parse.unquote_to_bytes(name)
    if name in (b"", b".", b"..") or b"/" in name or b"\0" in name or b"\n" in name:
        return None
    return name


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
