"""The cache address, written from the layout's rules and not from the shim's code, for the
black-box tests and the benchmark: the server without blanks at its ends and without trailing "/",
then "/b/", the URL in unpadded base64url, "/", and the file name (the last path segment before any
"?" or "#", trailing slashes dropped; "download" when that leaves nothing)."""

import base64
import os


def cache_address(server, url):
    """The address of `url` on `server`: bytes for bytes, str for str."""
    if isinstance(url, str):
        return os.fsdecode(cache_address(os.fsencode(server), os.fsencode(url)))
    trimmed = server.strip(b" \t\r\n").rstrip(b"/")
    ends = [i for i in (url.find(b"?"), url.find(b"#")) if i >= 0]
    kept = url[:min(ends)] if ends else url
    name = kept.rstrip(b"/").rsplit(b"/", 1)[-1] or b"download"
    return trimmed + b"/b/" + base64.urlsafe_b64encode(url).rstrip(b"=") + b"/" + name
