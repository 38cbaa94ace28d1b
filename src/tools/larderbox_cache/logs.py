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
MISSED = b'" 404 '  # a request's closing quote, then the status of a miss
HUGE_SIZE = re.compile(rb'" 404 [0-9]{19}')  # a size field longer than MAX_DIGITS
# A plain request of a miss: GET or HEAD, a target, HTTP/x; the target is kept when it names an
# entry. Targets are runs of non-blanks, which the engine finds fastest: one holding a quote,
# backslash or line feed is no plain one. Searched for among the requests of the misses, each
# after a line feed; or, when nearly every line is a miss (a flood of them), in the block itself,
# where the search costs a step on every line but saves one per miss.
PLAIN_REQUEST = re.compile(rb'\n(?:GET|HEAD) (?:([^ ]*?/b/[^ ]*)|[^ ]*) HTTP/[0-9.]+(?=\n)')
PLAIN_MISS = re.compile(rb'\] "(?:GET|HEAD) (?:([^ ]*?/b/[^ ]*)|[^ ]*) HTTP/[0-9.]+" 404 '
                        rb'(?![0-9]{19})')
NOT_PLAIN = b'"\\\n'
FLOOD = 0.9  # the share of lines that are misses from which the block itself is searched
FLOOD_SAMPLE = 1 << 14  # the share is judged on the block's first bytes: it only picks a search
MAX_DIGITS = 18  # a size field longer than this is no file's size
MAX_LINE = 1 << 20  # longer log lines are skipped: no server logs a request that long
CHUNK = 1 << 18  # read at once: small enough that what is made of it stays small
COPY_REST = 16 << 20  # the most read of a copied log beyond where it was read before
DRAIN = 60  # a renamed log is still read this long after its last growth (a server reopens late)
MONTHS = {m.encode(): i for i, m in enumerate(
    "Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec".split(), 1)}

Request = collections.namedtuple("Request", "time method seg name status size")


def parse_request(request):
    """(method, segment, name) of a request ("METHOD TARGET[ HTTP/x]") of .../b/SEGMENT/NAME, or
    None."""
    method, _, target = request.partition(b" ")
    path, blank, version = target.rpartition(b" ")
    if blank and version.startswith(b"HTTP/"):
        target = path
    prefix_b, seg, name = (target.rsplit(b"/", 3) + [b""] * 3)[1:4]
    if prefix_b != b"b" or not seg or not name:
        return None
    if b"\\x" in name:
        name = unescape(name)
    return method, seg, name


def parse_line(line):
    """The request of an access-log line in nginx's combined or common format or that of
    `python3 -m http.server`, when it names .../b/SEGMENT/NAME; else None. String searches only,
    so that no line, however long or hostile, costs more than one pass."""
    start = line.find(b'] "')
    end = line.find(b'" ', start + 3)
    if start < 0 or end < 0:
        return None
    parsed = parse_request(line[start + 3:end])
    if parsed is None:
        return None
    status, _, rest = line[end + 2:].partition(b" ")
    size = rest.split(b" ", 1)[0]
    when = line[line.rfind(b"[", 0, start) + 1:start]
    # A size of more digits than any file has is not a size: the line cannot be read.
    if len(size) > MAX_DIGITS:
        return None
    return Request(when, parsed[0], parsed[1], parsed[2], status,
                   int(size) if size.isdigit() else 0)


def answered(block, status):
    """The requests ("METHOD TARGET[ HTTP/x]") of the lines of `block` (whole lines, each ending
    in a line feed) that the server answered with `status` (b"404") and that name an entry, and
    how many such lines cannot be read. Only the lines with that status are looked at: a search
    for it runs over the whole block at once, with no step per other line."""
    needle = b'" ' + status + b" "
    find, rfind = block.find, block.rfind
    requests, unreadable = [], 0
    at = find(needle)
    while at >= 0:
        line_start = rfind(b"\n", 0, at) + 1
        start = find(b'] "', line_start, at)
        # The status follows the request's closing quote, the first one after its opening.
        if start >= 0 and find(b'" ', start + 3, at + 2) == at:
            request = block[start + 3:at]
            if ENTRY_MARK in request:
                size = at + len(needle)
                if block[size:size + MAX_DIGITS + 1].isdigit():  # no file is that large
                    unreadable += 1
                else:
                    requests.append(request)
        elif start < 0 and ENTRY_MARK in block[line_start:at]:
            unreadable += 1
        at = find(b"\n", at)
        if at < 0:
            break
        at = find(needle, at)
    return requests, unreadable


def missed_targets(block):
    """The targets of the GET and HEAD requests of entries that the whole lines of `block` show
    answered 404 (one per line, repeats kept), and how many such lines cannot be read. The block
    is cut at each miss's status, so that the lines of other answers cost no step of their own;
    what every line must hold is checked over the whole block at once where it can be."""
    misses = block.count(MISSED)
    if not misses:
        return [], 0
    if block.count(MISSED, 0, FLOOD_SAMPLE) >= FLOOD * block.count(b"\n", 0, FLOOD_SAMPLE):
        plain = PLAIN_MISS.findall(block)
        targets = _entry_targets(plain) if len(plain) == misses else None
        if targets is not None:
            return targets, 0
    pieces, heads = _pieces_and_heads(block)
    # The usual block, whose every miss is a plain request on a line of its own: one search over
    # them finds them all.
    requests = b"\n".join(heads)
    plain = PLAIN_REQUEST.findall(b"\n%s\n" % requests)
    if (len(plain) == len(heads) and requests.count(b"\n") == len(heads) - 1
            and not HUGE_SIZE.search(block)):
        targets = _entry_targets(plain)
        if targets is not None:
            return targets, 0
    return _careful_targets(block, pieces, heads)


def _pieces_and_heads(block):
    """The block cut at each miss's status, and the request of each miss or what stands in it."""
    # A line feed first: a line with no request at all shows one in what stands for its request.
    pieces = (b"\n" + block).split(MISSED)
    # Each piece but the last ends with the request of a line answered 404, or what stands in it.
    return pieces, [piece.rpartition(b'] "')[2] for piece in pieces[:-1]]


def _careful_targets(block, pieces, heads):
    """missed_targets() for any block: every request read for what it is."""
    joined = b"\0".join(heads)
    if b"\n" in joined or b'" ' in joined or HUGE_SIZE.search(block):
        requests, unreadable = _checked(heads, pieces)
    else:
        requests, unreadable = [head for head in heads if ENTRY_MARK in head], 0
    words = [request.split(b" ") for request in requests]
    targets = [w[1] for w in words if len(w) == 3 and (w[0] == b"HEAD" or w[0] == b"GET")
               and w[2].startswith(b"HTTP/")]
    if len(targets) != len(words):
        targets += [_target(request) for request, w in zip(requests, words)
                    if len(w) != 3 or not w[2].startswith(b"HTTP/")]
        targets = [target for target in targets if target is not None]
    if b"\\x" in block:
        targets = [unescape(target) if b"\\x" in target else target for target in targets]
    return targets, unreadable


def _entry_targets(plain):
    """The targets of entries among those of plain requests (b"" where a request names no
    entry), or None when one of them holds what no plain target does."""
    joined = b" ".join(plain)
    if len(joined.translate(None, NOT_PLAIN)) != len(joined):
        return None
    return list(filter(None, plain)) if b"" in plain else plain


def _checked(heads, pieces):
    """The requests of entries among `heads` whose line can be read, and how many cannot."""
    requests, unreadable = [], 0
    for head, rest in zip(heads, pieces[1:]):
        if b"\n" in head:  # no request where it belongs: is an entry named on the line?
            unreadable += ENTRY_MARK in head.rpartition(b"\n")[2]
        elif ENTRY_MARK not in head or b'" ' in head:
            continue  # no entry's, or the status is not the one after the request
        elif rest[:MAX_DIGITS + 1].isdigit():
            unreadable += 1  # no file is that large
        else:
            requests.append(head)
    return requests, unreadable


def _target(request):
    """The target of a GET or HEAD request in another form than METHOD TARGET HTTP/x, or None."""
    method, _, target = request.partition(b" ")
    path, blank, version = target.rpartition(b" ")
    if method not in (b"GET", b"HEAD"):
        return None
    return path if blank and version.startswith(b"HTTP/") else target


def unescape(raw):
    """nginx writes quotes, backslashes and unprintable bytes as \\xHH."""
    return re.sub(rb"\\x([0-9A-Fa-f]{2})", lambda m: bytes([int(m.group(1), 16)]), raw)


def lines_of(blocks):
    """The lines of blocks of whole lines."""
    for block in blocks:
        yield from block.split(b"\n")[:-1]


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

    def block(self, data, final):
        """The whole lines that `data` completes, as one block in which each ends with a line
        feed (b"" when there is none); `final`, the last line too, though no line feed ends it.
        Lines longer than MAX_LINE are left out and counted."""
        data = self.partial + data
        if self.discarding:  # inside an overlong line: its first end ends it
            end = data.find(b"\n")
            if end < 0:
                self.partial, self.discarding = b"", not final
                return b""
            data, self.discarding = data[end + 1:], False
        end = len(data) if final else data.rfind(b"\n") + 1
        block, self.partial = data[:end], data[end:]
        if block and not block.endswith(b"\n"):
            block += b"\n"
        if len(self.partial) > MAX_LINE:
            self.partial, self.discarding = b"", True
            self.overlong += 1
        return self._without_overlong(block)

    def _without_overlong(self, block):
        # A line longer than MAX_LINE holds a multiple of MAX_LINE: only those places are looked
        # at, never each line.
        kept, start = [], 0
        for middle in range(MAX_LINE, len(block), MAX_LINE):
            if middle < start:
                continue
            first = block.rfind(b"\n", 0, middle) + 1
            end = block.find(b"\n", middle)
            if end - first > MAX_LINE:
                kept.append(block[start:first])
                start = end + 1
                self.overlong += 1
        return block if start == 0 else b"".join(kept) + block[start:]


class LogReader:
    """Complete lines of one log. Following, a log renamed away is still read for DRAIN seconds
    after it last grew (a server writes there until it reopens), beside the new one; a log copied
    and truncated is read on in its copy up to where the copy ends, then from its new start."""

    def __init__(self, run, path, follow):
        self.run, self.path, self.follow = run, path, follow
        self.source, self.draining = None, []
        self.done, self.failed, self.warned, self.overlong = False, False, False, 0
        self.behind = False  # the last read filled a whole chunk: more is waiting

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
                    rest = copy.read(COPY_REST)
            except OSError:
                continue
            return [source.block(rest, final=True)]
        return [source.block(b"", final=True)]

    def read(self):
        """Blocks of whole lines (see LogSource.block) read since the last call."""
        blocks = []
        for source in list(self.draining):
            data = source.read()
            if data:
                blocks.append(source.block(data, final=False))
            elif time.monotonic() - source.grew > DRAIN:
                blocks.append(source.block(b"", final=True))
                self._close(source)
                self.draining.remove(source)
        if not self.done and (self.source is not None or self._open()):
            blocks += self._read_source()
        return [block for block in blocks if block]

    def _read_source(self):
        blocks = []
        if self.follow and self.path != "-" and self.source.truncated():
            blocks += self._copy_rest()
            self.source.restart()
        data = self.source.read()
        self.behind = len(data) == CHUNK
        if data:
            return blocks + [self.source.block(data, final=False)]
        if not self.follow:
            self.done = True
            return blocks + [self.source.block(b"", final=True)]
        if self._renamed():
            self.draining.append(self.source)
            self.source = None
        return blocks

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


