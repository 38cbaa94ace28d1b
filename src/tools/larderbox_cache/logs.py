"""Reading access logs: the requests of their lines, and the lines themselves, a chunk at a time,
across the renames and truncations of log rotation."""

import calendar
import collections
import os
import re
import sys
import time

# A request of an entry has this in its path: lines without it are passed over unparsed.
ENTRY_MARK = b"/b/"
MAX_LINE = 1 << 20  # longer log lines are skipped: no server logs a request that long
CHUNK = 1 << 20
DRAIN = 60  # a renamed log is still read this long after its last growth (a server reopens late)
MONTHS = {m.encode(): i for i, m in enumerate(
    "Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec".split(), 1)}

Request = collections.namedtuple("Request", "time method seg name status size")


def parse_line(line):
    """The request of an access-log line in nginx's combined or common format or that of
    `python3 -m http.server`, when it names .../b/SEGMENT/NAME; else None. String searches only,
    so that no line, however long or hostile, costs more than one pass."""
    start = line.find(b'] "')
    end = line.find(b'" ', start + 3)
    if start < 0 or end < 0:
        return None
    method, _, target = line[start + 3:end].partition(b" ")
    path, blank, version = target.rpartition(b" ")
    if blank and version.startswith(b"HTTP/"):
        target = path
    prefix_b, seg, name = (target.rsplit(b"/", 3) + [b""] * 3)[1:4]
    if prefix_b != b"b" or not seg or not name:
        return None
    if b"\\x" in name:  # nginx writes quotes, backslashes and unprintable bytes as \xHH
        name = re.sub(rb"\\x([0-9A-Fa-f]{2})", lambda m: bytes([int(m.group(1), 16)]), name)
    status, _, rest = line[end + 2:].partition(b" ")
    size = rest.split(b" ", 1)[0]
    when = line[line.rfind(b"[", 0, start) + 1:start]
    # A size of more digits than any file has is not a size: the line cannot be read.
    if len(size) > 18:
        return None
    return Request(when, method, seg, name, status, int(size) if size.isdigit() else 0)


def log_day(raw, days):
    """The day (YYYY-MM-DD) of a log time, through `days`, the caller's memory of those seen."""
    day = days.get(raw[:11])
    if day is None:
        try:
            day = "%s-%02d-%s" % (raw[7:11].decode(), MONTHS[raw[3:6]], raw[0:2].decode())
        except (KeyError, UnicodeDecodeError):
            day = "unknown"
        days[raw[:11]] = day
    return day


def log_epoch(raw):
    """Seconds since the epoch of [10/Oct/2026:13:55:36 +0200] (nginx) or [10/Oct/2026 13:55:36]
    (python, local time), or None."""
    try:
        moment = (int(raw[7:11]), MONTHS[raw[3:6]], int(raw[0:2]), int(raw[12:14]),
                  int(raw[15:17]), int(raw[18:20]))
    except (KeyError, ValueError):
        return None
    zone = raw[21:26]
    if len(zone) == 5 and zone[:1] in (b"+", b"-") and zone[1:].isdigit():
        offset = int(zone[1:3]) * 3600 + int(zone[3:5]) * 60
        return calendar.timegm(moment) - (offset if zone[:1] == b"+" else -offset)
    return time.mktime(moment + (0, 0, -1))


class LogSource:
    """One open log file: complete lines a chunk at a time, with what was last read kept, so that
    a truncation that has grown back past the reading position is still seen."""

    TAIL = 64

    def __init__(self, file):
        self.file, self.partial, self.discarding = file, b"", False
        self.offset, self.tail, self.overlong = 0, b"", 0
        self.grew = time.monotonic()

    def read(self):
        data = self.file.read(CHUNK)
        if data:
            self.offset += len(data)
            self.tail = (self.tail + data)[-self.TAIL:]
            self.grew = time.monotonic()
        return data

    def truncated(self):
        """True when the file was cut below what was read, even if it grew back since."""
        try:
            fd = self.file.fileno()
            if os.fstat(fd).st_size < self.offset:
                return True
            return bool(self.tail) and os.pread(fd, len(self.tail),
                                                self.offset - len(self.tail)) != self.tail
        except (OSError, ValueError):
            return False

    def restart(self):
        self.file.seek(0)
        self.offset, self.tail, self.partial, self.discarding = 0, b"", b"", False

    def lines(self, data, final):
        lines = (self.partial + data).split(b"\n")
        last = lines.pop()
        self.partial = b"" if final else last
        if final and last:  # a last line that no line feed ends; nothing after a final one
            lines.append(last)
        if self.discarding:  # inside an overlong line: its first end ends it
            if lines or final:
                lines, self.discarding = lines[1:], False
            else:
                self.partial = b""
        if len(self.partial) > MAX_LINE:
            self.partial, self.discarding = b"", True
            self.overlong += 1
        kept = [line for line in lines if len(line) <= MAX_LINE]
        self.overlong += len(lines) - len(kept)
        return kept


class LogReader:
    """Complete lines of one log. Following, a log renamed away is still read for DRAIN seconds
    after it last grew (a server writes there until it reopens), beside the new one; a log copied
    and truncated is read on in its copy up to where the copy ends, then from its new start."""

    def __init__(self, run, path, follow):
        self.run, self.path, self.follow = run, path, follow
        self.source, self.draining = None, []
        self.done, self.failed, self.warned, self.overlong = False, False, False, 0

    def _open(self):
        try:
            self.source = LogSource(sys.stdin.buffer if self.path == "-" else
                                    open(self.path, "rb"))
        except OSError as error:
            if not self.warned:  # following, it is tried again until it appears
                self.run.warn("cannot read %s: %s" % (self.path, error.strerror))
            self.warned = True
            self.failed = self.done = not self.follow
            return False
        return True

    def _close(self, source):
        self.overlong += source.overlong
        source.file.close()

    def _renamed(self):
        if self.path == "-":
            return False
        try:
            now = os.stat(self.path)
        except OSError:
            return False  # between the rename and the new file: keep the old one
        then = os.fstat(self.source.file.fileno())
        return (now.st_ino, now.st_dev) != (then.st_ino, then.st_dev)

    def _copy_rest(self):
        """The lines a copied-then-truncated log gained after they were last read here, from the
        copy whose bytes before the reading position are the ones read last."""
        source = self.source
        candidates = [self.path + ".1"] + sorted(
            name for name in _siblings(self.path) if name != self.path + ".1")
        for name in candidates:
            try:
                with open(name, "rb") as copy:
                    start = source.offset - len(source.tail)
                    if os.pread(copy.fileno(), len(source.tail), start) != source.tail:
                        continue
                    copy.seek(source.offset)
                    rest = copy.read(16 * CHUNK)
            except OSError:
                continue
            return source.lines(rest, final=True)
        return source.lines(b"", final=True)

    def read(self):
        lines = []
        for source in list(self.draining):
            data = source.read()
            if data:
                lines += source.lines(data, final=False)
            elif time.monotonic() - source.grew > DRAIN:
                lines += source.lines(b"", final=True)
                self._close(source)
                self.draining.remove(source)
        if self.done or (self.source is None and not self._open()):
            return lines
        if self.follow and self.path != "-" and self.source.truncated():
            lines += self._copy_rest()
            self.source.restart()
        data = self.source.read()
        if data:
            return lines + self.source.lines(data, final=False)
        if not self.follow:
            self.done = True
            return lines + self.source.lines(b"", final=True)
        if self._renamed():
            self.draining.append(self.source)
            self.source = None
        return lines

    def unreadable(self):
        return self.overlong + sum(s.overlong for s in self.draining + [self.source] if s)


def _siblings(path):
    """Rotated copies of `path` (PATH.N, PATH-DATE)."""
    directory, base = os.path.split(path)
    try:
        names = [os.path.join(directory, n) for n in os.listdir(directory or ".")
                 if n.startswith(base + ".") or n.startswith(base + "-")]
    except OSError:
        return []
    return sorted(names)


