"""The cache directory: entries below DIR/b/, their metadata in DIR/meta/, downloads in progress
in DIR/tmp/. Nothing is ever written or removed outside DIR, and no link is followed."""

import collections
import fcntl
import json
import os
import shutil
import stat
import tempfile
import threading
import time

from .run import BoundedDict, ToolFailed, add_refusals, shown

# larderbox-fill's and older versions' temporary files beside entries: prune ages them.
TMP_PREFIXES = (b".larderbox-tmp-", b".larderbox-fill.")
TMP_MAX_AGE = 24 * 3600
# learn's and refresh's record beside the entries' metadata: a dot name is never a segment's
RUNS = b".runs.json"
MEMORY = 1 << 15  # learn remembers when this many entries were served, the oldest forgotten first
CHUNK = 1 << 20


def remove_quietly(path, dir_fd=None):
    try:
        os.unlink(path, dir_fd=dir_fd)
    except OSError:
        pass


def open_directory(name, dir_fd=None):
    """A descriptor of the directory `name`, never through a symbolic link."""
    return os.open(name, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC,
                   dir_fd=dir_fd)


class Store:
    """DIR as this run sees it. Downloads go to a directory of the run's own below DIR/tmp/, locked
    while the run lives: a later run removes every such directory whose lock is free, so a run
    killed with SIGKILL leaves nothing behind for long. Entries are renamed into DIR/b/ through
    descriptors opened without following links: nothing is ever written outside DIR."""

    def __init__(self, run, directory, cache_size=None, layout=None):
        self.run, self.layout = run, layout  # the layout names what --cache-size evicts
        self.dir = os.fsencode(directory)
        self.root = os.path.join(self.dir, b"b")
        self.meta = os.path.join(self.dir, b"meta")
        self.tmp = os.path.join(self.dir, b"tmp")
        self.run_dir = None
        self.lock_fd = None
        self.cache_size, self.total = cache_size, None
        self.served = BoundedDict(MEMORY)  # segment -> when learn saw it served
        self.budget_lock = threading.Lock()
        umask = os.umask(0)
        os.umask(umask)
        self.mode = 0o666 & ~umask  # mkstemp makes 0600; the web server's user must read entries

    def open(self):
        """Makes DIR/b, DIR/meta and this run's temporary directory; removes the leftovers of
        runs that are gone. An OSError says what could not be made."""
        for name in (self.root, self.meta, self.tmp):
            os.makedirs(name, exist_ok=True)
            if os.path.islink(name):
                raise OSError(0, "a symbolic link stands there", name)
        self.remove_leftovers()
        self.run_dir = tempfile.mkdtemp(prefix=b"run-", dir=self.tmp)
        self.lock_fd = os.open(os.path.join(self.run_dir, b"lock"),
                               os.O_CREAT | os.O_RDWR | os.O_CLOEXEC, 0o600)
        fcntl.flock(self.lock_fd, fcntl.LOCK_EX)

    def close(self):
        if self.run_dir is not None:
            shutil.rmtree(self.run_dir, ignore_errors=True)
            os.close(self.lock_fd)
            self.run_dir = None

    def remove_leftovers(self):
        """The temporary directories of runs that have ended; their count."""
        removed = 0
        try:
            names = os.listdir(self.tmp)
        except OSError:
            return 0
        for name in names:
            path = os.path.join(self.tmp, name)
            try:
                fd = os.open(os.path.join(path, b"lock"), os.O_RDONLY | os.O_CLOEXEC)
            except FileNotFoundError:
                fd = None  # not locked yet, or a stray file: an hour's grace
                if time.time() - os.lstat(path).st_mtime < 3600:
                    continue
            except OSError:
                continue
            try:
                if fd is not None:
                    fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except OSError:
                continue  # a live run holds it
            finally:
                if fd is not None:
                    os.close(fd)
            if os.path.isdir(path) and not os.path.islink(path):
                shutil.rmtree(path, ignore_errors=True)
            else:
                remove_quietly(path)
            removed += 1
        return removed

    def temporary(self):
        fd, tmp = tempfile.mkstemp(prefix=b"dl-", dir=self.run_dir)
        os.close(fd)
        return tmp

    def entry_path(self, seg, name):
        return b"%s/%s/%s" % (self.root, seg, name)

    def exists(self, seg, name):
        return os.path.lexists(self.entry_path(seg, name))

    def place(self, tmp, seg, name, mtime):
        """Renames the complete download `tmp` into DIR/b/SEG/NAME in one step."""
        os.chmod(tmp, self.mode)
        os.utime(tmp, (time.time(), mtime))
        root = open_directory(self.root)
        try:
            try:
                os.mkdir(seg, 0o755, dir_fd=root)
            except FileExistsError:
                pass
            segment = open_directory(seg, dir_fd=root)
            try:
                os.replace(tmp, name, dst_dir_fd=segment)
            finally:
                os.close(segment)
        finally:
            os.close(root)

    def remove(self, seg, name):
        """Removes an entry, its metadata and its directory when empty; False when it was gone."""
        root = open_directory(self.root)
        try:
            segment = open_directory(seg, dir_fd=root)
            try:
                os.unlink(name, dir_fd=segment)
            finally:
                os.close(segment)
            try:
                os.rmdir(seg, dir_fd=root)
            except OSError:
                pass
        except FileNotFoundError:
            return False
        finally:
            os.close(root)
            remove_quietly(os.path.join(self.meta, seg))
        return True

    def load_meta(self, seg):
        """An entry's metadata; its last validation is the later of the one written in it and
        the file's time (a validation that changed nothing else only touches the file)."""
        try:
            fd = os.open(self.meta + b"/" + seg, os.O_RDONLY | os.O_CLOEXEC)
        except OSError:
            return None
        try:
            meta = json.loads(os.read(fd, 1 << 16).decode())
            touched = os.fstat(fd).st_mtime
        except (OSError, ValueError):
            return None
        finally:
            os.close(fd)
        if not isinstance(meta, dict):
            return None
        try:
            meta["validated"] = max(float(meta.get("validated", 0)), touched)
        except (TypeError, ValueError):
            meta["validated"] = touched
        return meta

    def touch_meta(self, seg, now):
        os.utime(self.meta + b"/" + seg, (now, now))

    def save_meta(self, seg, meta):
        self._replace_json(os.path.join(self.meta, seg), meta)

    def _replace_json(self, path, value, mode=None):
        """`value` as the JSON file `path`, put in place by one rename from the run's directory."""
        fd, tmp = tempfile.mkstemp(prefix=b"json-", dir=self.run_dir)
        with os.fdopen(fd, "w") as f:
            json.dump(value, f)
        if mode is not None:
            os.chmod(tmp, mode)
        os.replace(tmp, path)

    def record_run(self, times, refusals):
        """Adds to DIR's record of runs: `times` ("last_learn"/"last_refresh" -> when) and
        `refusals` (reason -> URLs) summed. The metadata directory is locked meanwhile, for learn
        and refresh may run at once; a record that cannot be written is said, not fatal."""
        try:
            fd = open_directory(self.meta)
        except OSError as error:
            self.run.warn("cannot record the run in %s: %s" % (shown(self.meta), error.strerror))
            return
        try:
            fcntl.flock(fd, fcntl.LOCK_EX)
            runs = read_runs(self.dir)
            summed = collections.Counter(runs.get("refusals", {}))
            add_refusals(summed, refusals.items())
            runs.update(times, refusals=dict(summed))
            self._replace_json(os.path.join(self.meta, RUNS), runs, self.mode)
        except OSError as error:
            self.run.warn("cannot record the run in %s: %s" % (shown(self.meta), error.strerror))
        finally:
            os.close(fd)

    # The whole cache's size: what --cache-size keeps.

    def make_room(self, size):
        """Evicts the least recently served entries until `size` more bytes fit --cache-size;
        False when they cannot."""
        if self.cache_size is None:
            return True
        with self.budget_lock:
            if self.total is None or self.total + size > self.cache_size:
                entries = scan_entries(self.run, self.dir)[0]
                self.total = sum(entry.stat.st_size for entry in entries)
                if self.total + size > self.cache_size:
                    entries.sort(key=lambda e: self.served.get(e.seg, e.stat.st_atime))
                    evicted = []
                    for entry in entries:
                        if self.total + size <= self.cache_size:
                            break
                        if self.remove(entry.seg, entry.name):
                            self.total -= entry.stat.st_size
                            evicted.append(entry)
                    self.say_removed("evicted", evicted)
            if self.total + size > self.cache_size:
                return False
            self.total += size
            return True


    def say_removed(self, verb, entries):
        """One line per removed entry, its URL from larderbox-path (else its path)."""
        urls = [None] * len(entries)
        if self.layout is not None and entries:
            try:
                urls = self.layout.urls([entry.seg for entry in entries])
            except ToolFailed as failure:
                self.run.warn(str(failure))
        for entry, url in zip(entries, urls):
            self.run.say("%s %s (%d bytes)" % (verb, shown(url or entry.path),
                                               entry.stat.st_size))


Entry = collections.namedtuple("Entry", "seg name path stat")


def scan_entries(run, directory, links=False, stats=True):
    """Every file DIR/b/SEGMENT/NAME, never following a link, temporary files aside; and the
    temporary files. Entries are regular files (and, with `links`, symbolic links). A DIR that
    does not exist is an error; a DIR without b/ holds no entries. Without `stats`, the entries'
    stat is None: their type comes from the directory, with no call per file."""
    entries, temporaries = [], []
    for found in walk_entries(run, directory, links, stats):
        (temporaries if found.name.startswith(TMP_PREFIXES) else entries).append(found)
    return entries, temporaries


def walk_entries(run, directory, links=False, stats=True):
    """What scan_entries() finds, temporary files among the entries, one segment at a time: DIR
    is checked now (its errors raised here), its segments read as the caller goes on."""
    directory = os.fsencode(directory)
    if not os.path.isdir(directory):
        raise FileNotFoundError(2, "no such directory", directory)
    root = os.path.join(directory, b"b")
    try:
        if not stat.S_ISDIR(os.lstat(root).st_mode):
            raise NotADirectoryError(0, "not a directory", root)
        segments = sorted((e for e in os.scandir(root) if e.is_dir(follow_symlinks=False)),
                          key=lambda e: e.name)
    except FileNotFoundError:
        segments = []
    return _segment_files(run, segments, links, stats)


def _segment_files(run, segments, links, stats):
    for segment in segments:
        try:
            files = list(os.scandir(segment.path))
        except OSError as error:
            run.warn("cannot read %s: %s" % (shown(segment.path), error.strerror))
            continue
        for item in files:
            try:
                info = item.stat(follow_symlinks=False) if stats else None
                kind = item.is_file(follow_symlinks=False) or (
                    links and item.is_symlink())
            except OSError:  # gone meanwhile
                continue
            if kind:
                yield Entry(segment.name, item.name, item.path, info)


def read_runs(directory):
    """DIR's record of runs, {"last_learn": when, "last_refresh": when, "refusals": {reason: n}},
    what of it is sound; {} when it cannot be read."""
    try:
        with open(os.path.join(os.fsencode(directory), b"meta", RUNS), "rb") as f:
            runs = json.loads(f.read(1 << 20))
    except (OSError, ValueError):
        return {}
    if not isinstance(runs, dict):
        return {}
    kept = {key: runs[key] for key in ("last_learn", "last_refresh")
            if type(runs.get(key)) in (int, float)}
    refusals = runs.get("refusals")
    if isinstance(refusals, dict):
        kept["refusals"] = {reason: n for reason, n in refusals.items()
                            if type(n) is int and n > 0}
    return kept


def meta_names(meta):
    """The segments with metadata in DIR/meta/ (the record of runs aside)."""
    return [name for name in os.listdir(meta) if not name.startswith(b".")]


def file_digest(path):
    import hashlib  # here: OpenSSL costs a run that never digests anything 3 MB

    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(CHUNK), b""):
            digest.update(block)
    return digest.hexdigest()


def segment_names(root):
    try:
        return {e.name for e in os.scandir(root) if e.is_dir(follow_symlinks=False)}
    except OSError:
        return set()


def remove_below(root, entry, counts):
    """Unlinks DIR/b/SEGMENT/NAME through a descriptor of SEGMENT opened without following a link,
    so that nothing outside DIR/b/ is ever removed, whatever is swapped in meanwhile."""
    try:
        directory = open_directory(os.path.join(root, entry.seg))
        try:
            os.unlink(entry.name, dir_fd=directory)
        finally:
            os.close(directory)
        return True
    except FileNotFoundError:
        return False
    except OSError as error:
        counts.add("failed", "failed %s: %s" % (shown(entry.path), error.strerror))
        return False
