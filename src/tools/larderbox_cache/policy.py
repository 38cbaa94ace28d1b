"""The policy: which URLs are downloaded at all, checked again at every redirect hop, and which
address a host's connection goes to."""

import collections
import ipaddress
import re
import socket
import threading
import time
import urllib.parse

from .run import BoundedDict, Outcome

HOST = re.compile(r"(?:[A-Za-z0-9](?:[A-Za-z0-9.-]*[A-Za-z0-9])?|\[[0-9A-Fa-f:.]+\])"
                  r"(?::[0-9]{1,5})?")
PLAIN_ORIGIN = re.compile(rb"(?i)(https?)://([a-z0-9](?:[a-z0-9.-]*[a-z0-9])?)(?::([0-9]{1,5}))?"
                          rb"(?=[/?#]|$)")
BLANK_OR_CONTROL = re.compile(rb"[\x00-\x20\x7f]")
BLANKS_AND_CONTROLS = bytes(range(0x21)) + b"\x7f"
NOT_ALLOWED = "the host is not allowed (--allow)"
# Each URL's scheme and authority, from a line feed before it: the engine finds the line feeds
# fastest, and a URL that is no scheme://authority/... leaves its line feed unmatched.
SCHEME_AUTHORITY = re.compile(rb"\n([^/]*//[^/\n]*)")
UNRESERVED = re.compile(r"%(2[DdEe]|3[0-9]|[46][1-9A-Fa-f]|[57][0-9Aa]|5[Ff]|7[Ee])")


def parse_allow(pattern):
    """(host or ".domain", port or None) from HOST, *.DOMAIN, with an optional :PORT."""
    wildcard = pattern.startswith("*.")
    text = pattern[1:] if wildcard else pattern
    if not HOST.fullmatch(text[1:] if wildcard else text):
        raise ValueError("not a host pattern: %r" % pattern)
    host, port = text, None
    if not text.endswith("]") and ":" in text:
        host, _, number = text.rpartition(":")
        port = int(number)
    return host.lower().strip("[]"), port


def as_seen_by_server(url):
    """The URL as the origin reads it: no fragment, percent-escapes of unreserved characters
    decoded; and that without its query."""
    text = UNRESERVED.sub(lambda m: chr(int(m.group(1), 16)), url.split("#", 1)[0])
    return text, text.split("?", 1)[0]


def internal_address(address):
    """Loopback, link-local, private or unspecified, IPv4-mapped IPv6 included."""
    ip = ipaddress.ip_address(address.split("%", 1)[0])
    if ip.version == 6 and ip.ipv4_mapped is not None:
        ip = ip.ipv4_mapped
    return ip.is_loopback or ip.is_link_local or ip.is_private or ip.is_unspecified


Target = collections.namedtuple("Target", "scheme host port query")


class Policy:
    """Which URLs are downloaded at all, checked again at every redirect hop; and the address a
    host's connection goes to, checked before any request leaves."""

    def __init__(self, allow=(), allow_any=False, exclude=(), allow_query=False):
        self.allow, self.allow_any, self.exclude = allow, allow_any, exclude
        self.allow_query = allow_query
        self.addresses = BoundedDict(4096)
        self.origins = BoundedDict(4096)  # scheme://host:port -> whether it is allowed
        self.lock = threading.Lock()

    @staticmethod
    def target(url):
        """(Target, None), or (None, why the URL is no URL to download)."""
        if BLANK_OR_CONTROL.search(url):
            return None, "holds a blank or a control character"
        plain = PLAIN_ORIGIN.match(url)
        if plain is not None:  # the common form, read without taking the whole URL apart
            scheme = plain.group(1).decode().lower()
            port = int(plain.group(3) or (b"443" if scheme == "https" else b"80"))
            if port <= 65535:
                query = url.partition(b"#")[0].partition(b"?")[2]
                return Target(scheme, plain.group(2).decode().lower(), port, bool(query)), None
        text = url.decode("utf-8", "surrogateescape")
        try:
            parts = urllib.parse.urlsplit(text)
            port = parts.port
        except ValueError:
            return None, "not a valid URL"
        scheme = parts.scheme.lower()
        if scheme not in ("http", "https"):
            return None, "the scheme is not http or https"
        if "@" in parts.netloc:
            return None, "holds user information"
        if not HOST.fullmatch(parts.netloc):
            return None, "the host is not a plain host name"
        host = parts.netloc.rpartition(":")[0] if port is not None else parts.netloc
        port = port if port is not None else 443 if scheme == "https" else 80
        return Target(scheme, host.lower().strip("[]"), port, bool(parts.query)), None

    def _allowed(self, host, port):
        return self.allow_any or any(
            (host == pattern or (pattern.startswith(".") and host.endswith(pattern)))
            and (allowed_port is None or allowed_port == port)
            for pattern, allowed_port in self.allow)

    def named(self, host, port, address=None):
        """Whether an --allow names `host` (or `address`) itself, not through a pattern."""
        return any(pattern in (host, address) and allowed_port in (None, port)
                   for pattern, allowed_port in self.allow)

    def refusal(self, url, came_from=None):
        """Why `url` must not be asked for, or None. `came_from` is the Target that redirected."""
        return self.judged(url, came_from)[1]

    def judged(self, url, came_from=None):
        """(the Target of `url` when it may be asked for, refusal(url, came_from))."""
        plain = None if came_from is not None else PLAIN_ORIGIN.match(url)
        if plain is not None and not BLANK_OR_CONTROL.search(url):
            # The common case, refused without taking the whole URL apart: once per origin.
            allowed = self.origins.get(plain.group(0))
            if allowed is None:
                port = plain.group(3) or (b"443" if plain.group(1).lower() == b"https" else b"80")
                allowed = self._allowed(plain.group(2).decode().lower(), int(port))
                self.origins[plain.group(0)] = allowed
            if not allowed:
                return None, NOT_ALLOWED
        target, why = self.target(url)
        if target is not None and came_from is not None and (
                came_from.scheme, target.scheme) == ("https", "http"):
            why = "from https to http"
        if target is not None and why is None:
            if not self._allowed(target.host, target.port):
                why = NOT_ALLOWED
            elif target.query and came_from is None and not self.allow_query:
                why = "query"
            else:
                text = url.decode("utf-8", "surrogateescape")
                for expression in self.exclude:
                    if any(expression.search(form) for form in as_seen_by_server(text)):
                        why = "excluded by --exclude %s" % expression.pattern
                        break
        if why is not None and came_from is not None:
            host = target.host if target is not None else "another scheme"
            return None, "redirect to %s is not allowed" % host
        return (target if why is None else None), why

    def refusals(self, urls, origins):
        """refusal(url) of each of many URLs (not redirects), whose `origins` are what
        url_origins() found. A host not allowed is judged once per origin, and the URLs of such
        an origin are refused with no step of their own, so that a log of many URLs of hosts not
        allowed costs little; the others are asked of refusal() one by one."""
        if origins is None:
            return [self.refusal(url) for url in urls]
        distinct = set(origins)
        refused = {origin for origin in distinct if self.refusal(origin + b"/") == NOT_ALLOWED}
        if len(refused) == len(distinct):
            return [NOT_ALLOWED] * len(urls)
        return [NOT_ALLOWED if origin in refused else self.refusal(url)
                for url, origin in zip(urls, origins)]

    def address(self, target):
        """(the address to connect to, None), or (None, (Outcome, why))."""
        key = (target.host, target.port)
        with self.lock:
            known = self.addresses.get(key)
        if known is not None and known[1] > time.monotonic():
            return known[0]
        try:
            found = socket.getaddrinfo(target.host, target.port, type=socket.SOCK_STREAM)
        except (OSError, UnicodeError):
            return None, (Outcome.FAILED, "cannot resolve the host")
        addresses = [info[4][0] for info in found]
        for address in addresses:
            if internal_address(address) and not self.named(target.host, target.port, address):
                return None, (Outcome.REFUSED, "%s is an internal address (name it with --allow)"
                              % target.host)
        answer = (addresses[0], None)
        with self.lock:
            self.addresses[key] = (answer, time.monotonic() + 60)
        return answer


def url_origins(urls):
    """The scheme and authority ("https://host:port") of each of many URLs, found in one search;
    None when one of them holds a blank or a control character or is not of that form."""
    joined = b"\n" + b"\n".join(urls)
    if len(joined.translate(None, BLANKS_AND_CONTROLS)) != len(joined) - len(urls):
        return None
    origins = SCHEME_AUTHORITY.findall(joined)
    return origins if len(origins) == len(urls) else None
