"""HTTP's rules for a shared cache: which answers may be stored, how long they stay fresh, and the
validators kept with each entry."""

import calendar
import collections
import email.utils
import functools

from .run import shown

DEFAULT_LIFETIME = 24 * 3600
HEURISTIC_BOUNDS = (3600, 7 * 24 * 3600)
MONTHS = {m: i for i, m in enumerate("Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec".split(), 1)}


def parse_headers(raw):
    """name (lower case) -> its values, of the last response head in `raw`."""
    heads = [h for h in raw.replace(b"\r\n", b"\n").split(b"\n\n") if h.startswith(b"HTTP/")]
    headers = collections.defaultdict(list)
    for line in (heads[-1].split(b"\n")[1:] if heads else []):
        name, colon, value = line.partition(b":")
        if colon:
            headers[name.strip().lower().decode("latin-1")].append(
                value.strip().decode("latin-1"))
    return headers


def directives(headers):
    """Cache-Control's directives: name (lower case) -> value or None."""
    found = {}
    for value in headers.get("cache-control", []):
        for part in value.split(","):
            name, equals, argument = part.strip().partition("=")
            if name:
                found[name.lower()] = argument.strip('"') if equals else None
    return found


def not_storable(headers):
    """Why a shared cache must not store this answer, or None."""
    cache_control = directives(headers)
    if "no-store" in cache_control:
        return "no-store"
    if "private" in cache_control:
        return "no-store (Cache-Control: private)"
    varies = {v.strip().lower() for value in headers.get("vary", []) for v in value.split(",")}
    varies -= {"", "accept-encoding"}
    if varies:
        return "no-store (Vary: %s)" % ", ".join(sorted(varies))
    return None


@functools.lru_cache(maxsize=1024)  # a run reads the same few Date and Last-Modified again
def http_time(text):
    """Seconds since the epoch of an HTTP date, or None. The form every server sends today
    ("Thu, 10 Dec 2026 17:50:00 GMT") is read directly; the older ones through email.utils."""
    words = text.split(" ")
    if len(words) == 6 and words[5] == "GMT" and len(words[4]) == 8:
        try:
            clock = words[4]
            return float(calendar.timegm((int(words[3]), MONTHS[words[2]], int(words[1]),
                                          int(clock[0:2]), int(clock[3:5]), int(clock[6:8]))))
        except (KeyError, ValueError, OverflowError):
            pass
    try:
        moment = email.utils.parsedate_to_datetime(text)
        return moment.timestamp() if moment.tzinfo is not None else None
    except (TypeError, ValueError, IndexError, OverflowError):
        return None


def freshness_lifetime(headers, now, default=DEFAULT_LIFETIME):
    """Seconds the answer stays fresh: s-maxage or max-age, else Expires minus Date, else a
    tenth of the time since Last-Modified (within an hour and a week), else `default`."""
    cache_control = directives(headers)
    if "no-cache" in cache_control:
        return 0
    for name in ("s-maxage", "max-age"):
        value = cache_control.get(name) or ""
        if value.isdigit() and len(value) < 12:
            return int(value)
    date = http_time((headers.get("date") or [""])[-1]) or now
    if headers.get("expires"):
        expires = http_time(headers["expires"][-1])
        return max(0, int(expires - date)) if expires is not None else 0
    modified = http_time((headers.get("last-modified") or [""])[-1])
    if modified is not None:
        low, high = HEURISTIC_BOUNDS
        return int(min(high, max(low, (date - modified) / 10)))
    return default


def validators(headers, meta=None):
    """The metadata kept of an answer: validators, freshness, when it was validated."""
    meta = dict(meta or {})
    for name, key in (("etag", "etag"), ("last-modified", "last_modified")):
        if headers.get(name):
            meta[key] = headers[name][-1]
    return meta


def is_due(meta, now):
    if meta is None:
        return True
    try:
        return float(meta["validated"]) + float(meta["lifetime"]) <= now
    except (KeyError, TypeError, ValueError):
        return True


def metadata(url, headers, now, default_lifetime, meta=None):
    """What is kept of an entry beside it: validators, lifetime, last validation, digest."""
    meta = validators(headers, meta)
    meta.update(url=shown(url), validated=now,
                lifetime=freshness_lifetime(headers, now, default_lifetime))
    if headers.get("x-sha256"):
        meta["sha256"] = headers["x-sha256"][0]
    return meta
