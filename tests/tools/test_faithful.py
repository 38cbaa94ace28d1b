"""Every command through the shim does what the real tool alone does, except that a plain download
comes from the cache. A loopback origin logs every request it gets (credentials and bodies
included), nginx with the shipped server block holds a copy of every URL the rows name (other
bytes than the origin's, so a file tells where it came from) and logs what it gets. Each row runs
twice in fresh directories, with the real tool alone and through the shim, and the runs are
compared: a plain download ("hit") comes from the cache and nothing else changes; a command line
the cache cannot serve as the origin would ("direct") reaches the real tool unchanged, and the
cache host hears nothing of it, not even a probe."""

import os
import shlex
import shutil
import string
import tempfile
import unittest

from cache_case import (Outcome, assert_gone_direct, assert_served_from_cache, cache_body,
                        compare_runs, files_below, origin_body, origin_record)
from http_servers import HttpServer, ProxyServer
from tools_support import SYSTEM_PATH, TIMEOUT, NginxServer, ToolCase, run, stored_path

REAL = {"curl": "/usr/bin/curl", "wget": "/usr/bin/wget"}
HIT, DIRECT = "hit", "direct"

# Request paths the origin serves ("/pkg/sub/.." arrives as "/pkg/", "tool[1-1].tgz" globbed).
ORIGIN_PATHS = ["/pkg/tool.tgz", "/pkg/tool.tgz?x=1", "/pkg/", "/pkg/tool1.tgz", "/dir/", "/"]
SERVED_NAME = "/cd/get"

# Every run directory starts with these.
INPUTS = {"up.txt": b"uploaded bytes\n" * 100, "auth-header.txt": b"Authorization: Bearer t0k\n"}

# $url: the origin's http://127.0.0.1:PORT/pkg/tool.tgz, $origin: its http://127.0.0.1:PORT,
# $hostport: 127.0.0.1:PORT, $ref: another origin URL, $proxy: a forward proxy on 127.0.0.1.
HIT_ROWS = [
    ("curl", "-fsSL -o f $url"),
    ("curl", "-sLO $url"),
    ("wget", "-qO- $url"),
    ("wget", "-q $url"),
    ("curl", "-fsS -C - -o f $url"),
    ("curl", "-fsS --retry 3 -o f $url"),
    ("curl", "-fsS -H 'Accept: application/octet-stream' -o f $url"),
    ("curl", "-fsS -A agent/1 -H 'Cache-Control: no-cache' -o f $url"),
    ("curl", "-fsS -X GET -o f $url"),
    # Harmless settings in the files the tools read keep the hit.
    ("curl", "-fsS -o f $url", {"files": {".curlrc": "# mine\nretry = 3\nuser-agent \"ua/1\"\n"}}),
    ("wget", "-q -O f $url", {"files": {".wgetrc": "passive_ftp = on\ntries = 2\n"}}),
    # The value of these options is not the download URL.
    ("curl", "-fsS -e $ref -o f $url"),
    ("wget", "-q --referer $ref -O f $url"),
    # After "--" nothing is an option: "-da=1" is a second URL, which curl refuses as malformed
    # (status 3) without looking up a name.
    ("curl", "-fsS -o f -- $url -da=1"),
    # "--url" as the value of -o names the file; the download is the URL after it.
    ("curl", "-fsS -o --url $url"),
    # A "--" that is -o's value ends no options: the file is named "--".
    ("curl", "-fsS -o -- --url $url"),
]

DIRECT_ROWS = [
    # Not a plain GET of the resource.
    ("curl", "-fsS -T up.txt $url"),
    ("curl", "-sS --json '{\"a\":1}' $url"),
    ("curl", "-fsS -F part=@up.txt $url"),
    ("curl", "-fsS -X POST -o f $url"),
    ("curl", "-fsSI -o /dev/null $url"),
    ("wget", "-q --spider $url"),
    ("wget", "-q --post-data=a=1 -O f $url"),
    # Spellings: clustered with a separate value, attached value, unambiguous abbreviations.
    ("curl", "-sSd x $url"),
    ("curl", "-sS -da=1 $url"),
    ("curl", "-sS --upload-f up.txt $url"),
    ("wget", "-q --post-d=a=1 -O f $url"),
    # Credentials.
    ("curl", "-fsS -u alice:s3cret -o f $url"),
    ("curl", "-fsS -H 'Authorization: Bearer t0k' -o f $url"),
    ("curl", "-fsS -H @auth-header.txt -o f $url"),
    ("curl", "-fsS -b session=1 -o f $url"),
    ("curl", "-fsS -o f http://alice:s3cret@$hostport/pkg/tool.tgz"),
    ("wget", "-q --user=alice --password=s3cret --auth-no-challenge -O f $url"),
    ("wget", "-q '--header=cookie: session=1' -O f $url"),
    # Transport constraints the cache host may not meet.
    ("curl", "-fsS -4 -o f $url"),
    ("curl", "-fsS --proto =http -o f $url"),
    ("curl", "-fsS --resolve example.invalid:80:127.0.0.1 -o f $url"),
    ("wget", "-q --bind-address=127.0.0.1 -O f $url"),
    ("curl", "-fsS -x $proxy -o f $url"),
    # The probe takes the caller's proxy, which cannot reach the cache (named as localhost, which
    # no_proxy does not cover): it fails, and the download goes to the origin as without larderbox.
    ("curl", "-sS -o f $url", {"env": {"http_proxy": "http://127.0.0.1:9", "no_proxy": "127.0.0.1",
                                        "LARDERBOX_SERVER": "$cache_by_name"}}),
    ("wget", "-q -O f $url", {"env": {"http_proxy": "http://127.0.0.1:9", "no_proxy": "127.0.0.1",
                                       "LARDERBOX_SERVER": "$cache_by_name"}}),
    # Headers other than a few harmless ones, wherever they come from.
    ("curl", "-fsS -H 'PRIVATE-TOKEN: t0k' -o f $url"),
    ("curl", "-fsS -H 'X-Api-Key: k3y' -o f $url"),
    ("curl", "-fsS -H 'Proxy-Authorization: Basic eDp5' -o f $url"),
    ("curl", "-fsS -H 'X-A: 1\r\nAuthorization: Bearer t0k' -o f $url"),
    ("curl", "-fsS -H 'Accept: application/json' -o f $url"),
    ("wget", "-q '--header=PRIVATE-TOKEN: t0k' -O f $url"),
    # What the tools read before their command line.
    ("curl", "-sS -o f $url", {"files": {".curlrc": "data = \"x\"\n"}}),
    ("curl", "-fsS -o f $url", {"files": {"ch/.curlrc": "user = alice:s3cret\n"},
                                "env": {"CURL_HOME": "$home/ch"}}),
    ("curl", "-fsS -o f $url", {"files": {"xdg/.curlrc": "header = \"PRIVATE-TOKEN: t0k\"\n"},
                                "env": {"XDG_CONFIG_HOME": "$home/xdg"}}),
    ("curl", "-fsS -O $origin" + SERVED_NAME, {"files": {".curlrc": "remote-header-name\n"}}),
    ("curl", "-fsS -o f $url", {"files": {".curlrc": "write-out = \"%{url_effective}\\n\"\n"}}),
    ("wget", "-q -O f $url", {"files": {".wgetrc": "post_data = x\n"}}),
    ("wget", "-q -O f $url", {"files": {"rc": "header = Authorization: Bearer t0k\n"},
                              "env": {"WGETRC": "$home/rc"}}),
    ("wget", "-q -O f $url", {"files": {".wgetrc": "user = alice\npassword = s3cret\n"}}),
    ("wget", "-q $origin" + SERVED_NAME, {"files": {".wgetrc": "content_disposition = on\n"}}),
    ("wget", "-q -O f $url", {"files": {".netrc": "machine 127.0.0.1 login a password s3cret\n"}}),
    # Only http and https, and only lines that make a transfer.
    ("curl", "-sS -o f file://$home/notes.txt", {"files": {"notes.txt": "my notes\n"}, "local": True}),
    ("curl", "-V $url", {"local": True}),
    ("wget", "--version $url", {"local": True}),
    # Output that reports where the bytes came from.
    ("curl", "-fsSL -o /dev/null -w %{url_effective} $url"),
    # Names or layout taken from the server or the URL.
    ("curl", "-fsS -OJ $origin" + SERVED_NAME),
    ("wget", "-q --content-disposition $origin" + SERVED_NAME),
    ("wget", "-q -r $url"),
    ("wget", "-q -x $url"),
    ("wget", "-q $url?x=1"),
    ("wget", "-q $origin/dir/"),
    ("wget", "-q $origin/"),
    ("curl", "-fsS -o f $origin/pkg/sub/.."),
    ("curl", "-fsS -o f $origin/pkg/tool[1-1].tgz"),
]


class FaithfulRedirects(ToolCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="larderbox-faithful-")
        os.chmod(cls.work, 0o755)
        cls.addClassCleanup(shutil.rmtree, cls.work, True)
        cls.origin = HttpServer()
        cls.addClassCleanup(cls.origin.close)
        cls.proxy = ProxyServer()
        cls.addClassCleanup(cls.proxy.close)
        for path in ORIGIN_PATHS:
            cls.origin.serve(path, origin_body(path))
        cls.origin.answer(SERVED_NAME, 200, [("Content-Disposition",
                                              'attachment; filename="served.bin"')],
                          origin_body(SERVED_NAME))
        cls.values = {"url": cls.origin.url("/pkg/tool.tgz"), "origin": cls.origin.base(),
                      "hostport": "127.0.0.1:%d" % cls.origin.port,
                      "ref": cls.origin.url("/ref.html"), "proxy": cls.proxy.base(),
                      "home": os.path.join(cls.work, "home")}
        # The cache holds every URL-looking argument of every row, so that a wrong redirect (or
        # a value taken for the URL) finds something to redirect to.
        cache = os.path.join(cls.work, "cache")
        for row in HIT_ROWS + DIRECT_ROWS:
            for url in (a for a in cls.arguments(row[1]) if "://" in a):
                if url.endswith(("/.", "/..")):
                    continue  # no file can have that name
                entry = os.path.join(cache, stored_path(url))
                os.makedirs(os.path.dirname(entry), exist_ok=True)
                with open(entry, "wb") as f:
                    f.write(cache_body(url))
        os.makedirs(os.path.join(cls.work, "nginx"))
        cls.nginx = NginxServer(os.path.join(cls.work, "nginx"), cache).__enter__()
        cls.addClassCleanup(cls.nginx.__exit__, None, None, None)
        cls.values["cache_by_name"] = cls.nginx.url().replace("127.0.0.1", "localhost")

    @classmethod
    def arguments(cls, template):
        return [string.Template(a).substitute(cls.values) for a in shlex.split(template)]

    def run_once(self, tool, args, setup, through_shim):
        """Runs the command in a fresh directory with a fresh HOME holding the row's files: how it
        ended, what it wrote, what the origin and the cache host received."""
        directory = tempfile.mkdtemp(dir=self.case_dir)
        home = self.values["home"]  # one path, so that the cache can hold its file:// URLs
        shutil.rmtree(home, ignore_errors=True)
        os.makedirs(home)
        for name, content in INPUTS.items():
            with open(os.path.join(directory, name), "wb") as f:
                f.write(content)
        for name, content in setup.get("files", {}).items():
            os.makedirs(os.path.dirname(os.path.join(home, name)), exist_ok=True)
            with open(os.path.join(home, name), "w") as f:
                f.write(content)
        self.origin.forget()
        cache_before = len(self.nginx.received())
        env = {"PATH": (self.shim_dir() + ":" if through_shim else "") + SYSTEM_PATH,
               "HOME": home, "LARDERBOX_SERVER": self.nginx.url()}
        env.update({k: string.Template(v).substitute(self.values) for k, v in
                    setup.get("env", {}).items()})
        executable = os.path.join(self.shim_dir(), tool) if through_shim else REAL[tool]
        completed = run([tool] + args, env=env, cwd=directory, executable=executable,
                        timeout=TIMEOUT)
        origin = [origin_record(e) for e in self.origin.log()]
        return Outcome(completed, files_below(directory), origin,
                       self.nginx.received()[cache_before:])

    def compare(self, tool, template, setup):
        args = self.arguments(template)
        return compare_runs(self, lambda through_shim: self.run_once(tool, args, setup,
                                                                     through_shim))

    def test_plain_downloads_come_from_the_cache(self):
        url = self.values["url"]
        address = "/" + stored_path(url)
        for tool, template, *setup in HIT_ROWS:
            with self.subTest(tool=tool, args=template, setup=setup):
                alone, shim = self.compare(tool, template, setup[0] if setup else {})
                assert_served_from_cache(self, alone, shim, "/pkg/tool.tgz", url)
                # The probe and the download, with no credentials.
                self.assertEqual(shim.cache, [("HEAD", address, "-", "-", "-"),
                                              ("GET", address, "-", "-", "-")])

    def test_command_lines_the_cache_cannot_serve_go_direct(self):
        for tool, template, *setup in DIRECT_ROWS:
            setup = setup[0] if setup else {}
            with self.subTest(tool=tool, args=template, setup=setup):
                alone, shim = self.compare(tool, template, setup)
                if not setup.get("local"):
                    self.assertNotEqual(alone.origin, [], "the row sends nothing to the origin")
                assert_gone_direct(self, alone, shim)


if __name__ == "__main__":
    unittest.main()
