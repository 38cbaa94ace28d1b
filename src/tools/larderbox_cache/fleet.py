"""A report over the logs of a fleet: a primary and the edges in front of it (the shipped
larderbox-edge.conf). A client's probe is counted once, where the client made it: the primary's
lines of the requests an edge passed on carry the edge's user agent and are counted apart. An
edge's line ends in `cache=STATUS` (nginx's $upstream_cache_status), which tells a hit served from
the edge's own cache from one it fetched from the primary."""

import collections

# The user agent larderbox-edge.conf sends to the primary, as the combined format quotes it.
EDGE_AGENT = b'"larderbox-edge'
# The edge's last field, outside the quotes: no client-sent text can end a line with it.
CACHE_FIELD = b"cache="
# The statuses whose bytes came from the edge's cache (REVALIDATED: the primary said 304).
FROM_EDGE_CACHE = frozenset((b"HIT", b"REVALIDATED", b"STALE", b"UPDATING"))
FIGURES = ("edge_hits", "fetched_hits", "passed_on", "passed_on_bytes")


def user_agent(line):
    """The last quoted field of a combined-format line (its user agent), quote included."""
    end = line.rfind(b'"')
    return line[line.rfind(b'"', 0, end):end] if end > 0 else b""


def cache_status(line):
    """The edge's cache status of a line in the edge's format, else None."""
    last = line[line.rfind(b'"') + 1:].strip()
    return last[len(CACHE_FIELD):] if last.startswith(CACHE_FIELD) else None


class Fleet:
    """The figures of a fleet per day, beside the report's own."""

    def __init__(self):
        self.days = collections.defaultdict(lambda: dict.fromkeys(FIGURES, 0))
        self.seen = False

    def client_request(self, line, day, request):
        """False for a request an edge passed on to the primary (counted here instead): it is
        not a client's."""
        if not user_agent(line).startswith(EDGE_AGENT):
            return True
        self.seen = True
        self.days[day]["passed_on"] += 1
        self.days[day]["passed_on_bytes"] += request.size
        return False

    def hit(self, line, day):
        """A probe answered 200: at an edge, from its cache or fetched from the primary."""
        status = cache_status(line)
        if status is not None:
            self.seen = True
            self.days[day]["edge_hits" if status in FROM_EDGE_CACHE else "fetched_hits"] += 1

    def extend(self, rows):
        """The fleet's figures added to the report's rows (the last one the total), when any of
        the logs was an edge's or had an edge's requests."""
        if not self.seen:
            return
        for row in rows[:-1]:
            row.update(self.days[row["day"]])
        rows[-1].update({name: sum(row[name] for row in rows[:-1]) for name in FIGURES})

    def say(self, run, rows):
        if not self.seen:
            return
        run.say("\nedges (hits from an edge's cache, hits it fetched from the primary, requests "
                "passed on\nto the primary and their bytes):")
        run.say("%-10s %9s %9s %10s %14s" % ("day", "edge hits", "fetched", "passed on",
                                             "bytes"))
        for row in rows:
            run.say("%-10s %9d %9d %10d %14d" % (row["day"], row["edge_hits"],
                                                 row["fetched_hits"], row["passed_on"],
                                                 row["passed_on_bytes"]))
