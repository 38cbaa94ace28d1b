"""Numbers for monitors: the cache's figures in Prometheus's text exposition format, written to a
file in one step, as node_exporter's textfile collector wants it."""

import os
import tempfile

from .store import read_runs, scan_entries

REASONS_KEPT = 50  # refusal reasons beyond these are summed as "other": a bounded label set

# name, type, help; the value's key in the figures given.
COUNTERS = (
    ("probes", "larderbox_cache_probes_total", "Probes (HEAD of an entry's address) in the log."),
    ("hits", "larderbox_cache_hits_total", "Probes answered 200."),
    ("misses", "larderbox_cache_misses_total", "Probes answered 404."),
    ("downloads", "larderbox_cache_downloads_total", "Downloads (GET answered 200) served."),
    ("bytes", "larderbox_cache_served_bytes_total", "Bytes of the downloads served."),
)
GAUGES = (
    ("entries", "larderbox_cache_entries", "Entries in the cache directory."),
    ("cache_bytes", "larderbox_cache_bytes", "Bytes the entries hold (apparent sizes)."),
    ("last_learn", "larderbox_cache_last_learn_timestamp_seconds",
     "When learn last handled a URL or ended."),
    ("last_refresh", "larderbox_cache_last_refresh_timestamp_seconds",
     "When refresh last revalidated an entry or ended."),
)


def directory_figures(run, directory):
    """{"entries": N, "cache_bytes": B} of the cache directory, with what its record of runs holds
    (the last learn and refresh, the refusals); what cannot be read is left out."""
    figures = read_runs(directory)
    try:
        entries = scan_entries(run, directory)[0]
    except OSError:
        return figures
    return dict(figures, entries=len(entries), cache_bytes=sum(e.stat.st_size for e in entries))


def label(text):
    return text.replace("\\", "\\\\").replace("\n", "\\n").replace('"', '\\"')


def exposition(figures):
    """The text format: every figure present in `figures` (see COUNTERS and GAUGES; absent or None
    ones are left out, not written as 0), and with "refusals" (reason -> count) one series per
    reason."""
    out = []
    refusals = figures.get("refusals")

    def family(name, kind, text):
        out.append("# HELP %s %s\n# TYPE %s %s\n" % (name, text, name, kind))

    for kind, table in (("counter", COUNTERS), ("gauge", GAUGES)):
        for key, name, text in table:
            if figures.get(key) is not None:
                family(name, kind, text)
                out.append("%s %s\n" % (name, format_value(figures[key])))
    if refusals is not None:
        family("larderbox_cache_refusals_total", "counter", "URLs learn refused, by reason.")
        kept = sorted(refusals.items(), key=lambda item: (-item[1], item[0]))
        other = sum(n for _, n in kept[REASONS_KEPT:])
        for reason, n in kept[:REASONS_KEPT] + ([("other", other)] if other else []):
            out.append('larderbox_cache_refusals_total{reason="%s"} %d\n' % (label(reason), n))
    return "".join(out)


def format_value(value):
    return "%d" % value if isinstance(value, int) else "%.3f" % value


def write_atomically(path, text):
    """`text` as the file `path`, replaced in one rename from a temporary file beside it (whose
    name a collector reading *.prom passes over). An OSError says what failed."""
    directory, name = os.path.split(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(prefix="." + name + ".", suffix=".tmp", dir=directory)
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            f.write(text)
            f.flush()
            os.fchmod(f.fileno(), 0o644)
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
