"""The figures of access logs: per day the probes, hits, misses, downloads and bytes served, and
the most missed and most served entries. report prints them; serve keeps them as its log grows."""

import collections

from .fleet import Fleet
from .logs import ENTRY_MARK, lines_of, log_day, parse_line

FIGURES = ("probes", "hits", "misses", "downloads", "bytes")


class Tally:
    """Figures of the lines added so far. Without `per_entry`, the per-entry counters are not kept:
    a server running for months sees more entries than it should remember."""

    def __init__(self, per_entry=True):
        self.days = collections.defaultdict(lambda: dict.fromkeys(FIGURES, 0))
        self.per_entry = per_entry
        self.missed, self.served = collections.Counter(), collections.Counter()
        self.served_bytes = collections.Counter()
        self.day_names = {}
        self.fleet = Fleet()  # the requests an edge passed on are counted there, not as clients'

    def add(self, blocks):
        """Counts the lines of `blocks`, as a log reader returns them."""
        for line in lines_of(blocks):
            if ENTRY_MARK not in line:
                continue
            request = parse_line(line)
            if request is None:
                continue
            day = log_day(request.time, self.day_names)
            figures = self.days[day]
            if not self.fleet.client_request(line, day, request):
                continue
            if request.method == b"HEAD":
                figures["probes"] += 1
                if request.status == b"200":
                    figures["hits"] += 1
                    self.fleet.hit(line, day)
                elif request.status == b"404":
                    figures["misses"] += 1
                    if self.per_entry:
                        self.missed[request.seg] += 1
            elif request.method == b"GET" and request.status == b"200":
                figures["downloads"] += 1
                figures["bytes"] += request.size
                if self.per_entry:
                    self.served[request.seg] += 1
                    self.served_bytes[request.seg] += request.size

    def total(self):
        total = dict.fromkeys(FIGURES, 0)
        for figures in self.days.values():
            for name in FIGURES:
                total[name] += figures[name]
        return total

    def rows(self):
        """One dict per day in order, then the total (day "total"), each with its hit ratio (None
        without probes) and, when the logs were a fleet's, the fleet's figures."""
        rows = [dict(day=day, **self.days[day]) for day in sorted(self.days)]
        rows.append(dict(day="total", **self.total()))
        for row in rows:
            row["hit_ratio"] = round(row["hits"] / row["probes"], 4) if row["probes"] else None
        self.fleet.extend(rows)
        return rows
