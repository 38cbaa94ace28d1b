"""The shim against every tool family and release at hand: curl, GNU wget, wget2 and busybox's
wget of the host (bookworm) and of Debian trixie and sid roots (scripts/test-roots makes them
once and keeps them). Each row runs twice in fresh directories with a fresh HOME, with the real
tool alone and through the shim, as in test_faithful: an ordinary download comes from the cache and
nothing else changes; a gated command line reaches the real tool unchanged and the cache host hears
nothing of it. A root's tools run in that root (chroot), the static shim copied into it; loopback
servers on the host serve both. Releases whose root cannot be made skip with the reason."""

import os
import re
import shlex
import shutil
import subprocess
import tempfile
import unittest

from cache_case import (Outcome, assert_gone_direct, assert_served_from_cache, cache_body,
                        compare_runs, files_below, origin_body, origin_record)
from http_servers import HttpServer
from tools_support import LARDERBOX_BIN, SOURCE_DIR, TIMEOUT, NginxServer, ToolCase, stored_path

SUITES = ("trixie", "sid")
PATH_IN_ROOT = "/usr/bin:/bin"

# family: (tool name, the real tool's path in the root; busybox through a link named wget).
FAMILIES = {"curl": ("curl", "/usr/bin/curl"), "GNU wget": ("wget", "/usr/bin/wget"),
            "wget2": ("wget", "/usr/bin/wget2"), "busybox": ("wget", "BUSYBOX_LINK")}
WGET_FAMILIES = ("GNU wget", "wget2", "busybox")

# $url: the origin's /pkg/tool.tgz, which the cache holds.
HIT_ROWS = {
    "curl": ["-fsSL -o f $url", "-sLO $url", "-fsS $url"],
    "wget": ["-q -O f $url", "-q $url", "-qO- $url"],
}

# One row per gated class, and the command lines newer releases read differently. A release that
# does not know an option fails alike with and without the shim, and the message, which names the
# tool by its argument 0, must read the same.
DIRECT_ROWS = {
    "curl": [
        "-fsS -d x -o f $url",
        "-fsS -u alice:s3cret -o f $url",
        "-fsS -4 -o f $url",
        "-fsS -i -o /dev/null $url",  # the headers hold the time of day
        "-fsS --show-headers -o /dev/null $url",
        "-fsS --variable tok=S --expand-header 'Authorization: Bearer {{tok}}' -o f $url",
        "-fsS --expand-user alice:s3cret -o f $url",
        "-fsS -o /dev/null -w %{url.host} $url",
        "-fsSOJ $url",
        "-fsS --frobnicate -o f $url",
    ],
    "wget": [
        "-q --post-data=a=1 -O f $url",
        "-q '--header=Authorization: Bearer t0k' -O f $url",
        "-q --spider $url",
        "-q --content-disposition $url",
        "-q -s -O f $url",
        "-q --stats-site=/dev/null -O f $url",  # its own lines hold timings
        "-q --bind-address=127.0.0.1 -O f $url",
        "-q --frobnicate -O f $url",
    ],
}


# Each release's list of its options, and the family's table in the shim's source.
HELP = {"curl": ["curl", "--help", "all"], "GNU wget": ["wget", "--help"],
        "wget2": ["wget2", "--help"], "busybox": ["busybox", "wget", "--help"]}
TABLES = {"curl": "kCurlEntries", "GNU wget": "kWgetEntries", "wget2": "kWget2Entries",
          "busybox": "kBusyboxWgetEntries"}


def table_names(array):
    with open(os.path.join(SOURCE_DIR, "src", "shim", "tool_options.cc")) as f:
        source = f.read()
    body = source[source.index(array + "[] = {"):]
    return set(re.findall(r'\{"(--[^"]+)"', body[:body.index("};")]))


def tree_below(directory):
    """Every file and directory below `directory`, empty ones included, as relative paths."""
    found = set()
    for parent, names, files in os.walk(directory):
        found |= {os.path.relpath(os.path.join(parent, n), directory) for n in names + files}
    return found


def attributes_below(directory):
    """The extended attributes of every file below `directory` (wget2 1.x records the URL)."""
    found = {}
    for parent, _, files in os.walk(directory):
        for name in files:
            path = os.path.join(parent, name)
            found[os.path.relpath(path, directory)] = {
                key: os.getxattr(path, key) for key in os.listxattr(path)}
    return found


def make_roots():
    """Suite: root or skip reason, from scripts/test-roots."""
    script = os.path.join(SOURCE_DIR, "scripts", "test-roots")
    completed = subprocess.run([script] + list(SUITES), stdin=subprocess.DEVNULL,
                               capture_output=True, text=True, timeout=3600, check=False)
    found = {suite: "scripts/test-roots printed nothing for it" for suite in SUITES}
    for line in completed.stdout.splitlines():
        suite, _, rest = line.partition(" ")
        found[suite] = rest
    return found


class Release:
    """A root with the shim copied in, its own run directories, and runs inside it."""

    def __init__(self, name, root):
        self.name, self.root = name, root
        self.work = tempfile.mkdtemp(prefix="larderbox-families-", dir=os.path.join(root, "tmp"))
        os.chmod(self.work, 0o755)
        os.makedirs(self.host("bin"))
        for tool in ("curl", "wget"):
            shutil.copy(LARDERBOX_BIN, self.host("bin", tool))
        os.makedirs(self.host("busybox"))
        os.symlink("/usr/bin/busybox", self.host("busybox", "wget"))

    def host(self, *parts):
        return os.path.join(self.work, *parts)

    def inside(self, host_path):
        return "/" + os.path.relpath(host_path, self.root)

    def real_tool(self, family):
        real = FAMILIES[family][1]
        return self.inside(self.host("busybox", "wget")) if real == "BUSYBOX_LINK" else real

    def run(self, argv, executable, env, cwd):
        enter = None if self.root == "/" else (lambda: os.chroot(self.root))
        return subprocess.run(argv, executable=executable, env=env, cwd=cwd, preexec_fn=enter,
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=TIMEOUT,
                              check=False)

    def left_behind(self):
        """What a run may leave outside its directory and HOME: wget2's lock files in /tmp
        (others' files come and go there), and below the root's own /root in a root of ours."""
        names = {n for n in os.listdir(os.path.join(self.root, "tmp")) if n.startswith(".wget")}
        if self.root != "/":
            names |= {"/root/" + p for p in tree_below(os.path.join(self.root, "root"))}
        return names


class EveryFamilyAndRelease(ToolCase):
    @classmethod
    def setUpClass(cls):
        cls.origin = HttpServer()
        cls.addClassCleanup(cls.origin.close)
        cls.origin.serve("/pkg/tool.tgz", origin_body("/pkg/tool.tgz"))
        cls.url = cls.origin.url("/pkg/tool.tgz")
        cls.work = tempfile.mkdtemp(prefix="larderbox-families-")
        cls.addClassCleanup(shutil.rmtree, cls.work, True)
        os.chmod(cls.work, 0o755)
        entry = os.path.join(cls.work, "cache", stored_path(cls.url))
        os.makedirs(os.path.dirname(entry))
        with open(entry, "wb") as f:
            f.write(cache_body(cls.url))
        os.makedirs(os.path.join(cls.work, "nginx"))
        cls.nginx = NginxServer(os.path.join(cls.work, "nginx"),
                                os.path.join(cls.work, "cache")).__enter__()
        cls.addClassCleanup(cls.nginx.__exit__, None, None, None)
        cls.releases, cls.skipped = [], {}
        roots = {"bookworm": "/"}
        if os.geteuid() != 0:
            cls.skipped = {suite: "chroot needs root" for suite in SUITES}
        else:
            for suite, found in make_roots().items():
                if found.startswith("skip: "):
                    cls.skipped[suite] = found[len("skip: "):]
                else:
                    roots[suite] = found
        for name, root in roots.items():
            release = Release(name, root)
            cls.addClassCleanup(shutil.rmtree, release.work, True)
            cls.releases.append(release)

    def test_every_release_is_at_hand(self):
        for suite in SUITES:
            with self.subTest(suite=suite):
                if suite in self.skipped:
                    self.skipTest("no %s root: %s" % (suite, self.skipped[suite]))

    def test_tables_know_every_option_each_release_lists(self):
        for release in self.releases:
            for family, argv in HELP.items():
                with self.subTest(release=release.name, family=family):
                    known = table_names(TABLES[family])
                    listed = release.run(argv, "/usr/bin/" + argv[0], {"PATH": PATH_IN_ROOT},
                                         release.work)
                    text = (listed.stdout + listed.stderr).decode(errors="replace")
                    names = re.findall(r"(?<![\w-])--([a-z0-9][a-z0-9.-]*[a-z0-9])", text)
                    self.assertGreater(len(names), 4, text)
                    # A switch's "--no-" form is the switch.
                    unknown = {n for n in names if "--" + n not in known
                               and not (n.startswith("no-") and "--" + n[3:] in known)}
                    self.assertEqual(unknown, set())

    def run_once(self, release, family, args, through_shim):
        """Runs the command in a fresh directory with a fresh HOME: how it ended, what it wrote
        (the directory and HOME), what the origin and the cache host received, and the names the
        run left in the root's /tmp."""
        tool = FAMILIES[family][0]
        directory = tempfile.mkdtemp(dir=release.work)
        home = tempfile.mkdtemp(dir=release.work)
        self.origin.forget()
        cache_before = len(self.nginx.received())
        env = {"PATH": PATH_IN_ROOT, "HOME": release.inside(home),
               "LARDERBOX_SERVER": self.nginx.url()}
        executable = release.real_tool(family)
        if through_shim:
            env["PATH"] = release.inside(release.host("bin")) + ":" + PATH_IN_ROOT
            env["REAL_" + tool.upper()] = executable
            executable = release.inside(release.host("bin", tool))
        completed = release.run([tool] + args, executable, env, directory)
        outcome = Outcome(completed, files_below(directory), [
            origin_record(e) for e in self.origin.log()], self.nginx.received()[cache_before:])
        outcome.tree, outcome.home = tree_below(directory), tree_below(home)
        outcome.attributes = attributes_below(directory)
        outcome.left = release.left_behind()
        return outcome

    def compare(self, release, family, template):
        args = [a.replace("$url", self.url) for a in shlex.split(template)]
        alone, shim = compare_runs(self, lambda through_shim: self.run_once(
            release, family, args, through_shim))
        # Nothing the probe leaves: the download's own files and directories only, nothing new
        # elsewhere.
        self.assertEqual((shim.tree, shim.home), (alone.tree, alone.home))
        self.assertEqual(shim.attributes, alone.attributes)
        self.assertLessEqual(shim.left, alone.left)
        return alone, shim

    def records_the_url(self, release, family):
        """Whether the real tool alone writes extended attributes with a plain download."""
        if FAMILIES[family][0] != "wget":
            return False
        alone = self.run_once(release, family, ["-q", "-O", "f", self.url], through_shim=False)
        return any(alone.attributes.values())

    def rows(self):
        for release in self.releases:
            for family, (tool, _) in FAMILIES.items():
                yield release, family, tool

    def test_ordinary_downloads_hit(self):
        address = "/" + stored_path(self.url)
        for release, family, tool in self.rows():
            for template in HIT_ROWS[tool]:
                with self.subTest(release=release.name, family=family, args=template):
                    alone, shim = self.compare(release, family, template)
                    if self.records_the_url(release, family):
                        # A release that records the URL beside its files goes to the origin.
                        assert_gone_direct(self, alone, shim)
                        continue
                    assert_served_from_cache(self, alone, shim, "/pkg/tool.tgz", self.url)
                    # The probe (busybox spiders with a GET) and the download, no credentials.
                    self.assertEqual([c[1:] for c in shim.cache], [(address, "-", "-", "-")] * 2)
                    self.assertEqual(shim.cache[-1][0], "GET")

    def test_gated_command_lines_go_direct(self):
        for release, family, tool in self.rows():
            for template in DIRECT_ROWS[tool]:
                with self.subTest(release=release.name, family=family, args=template):
                    alone, shim = self.compare(release, family, template)
                    assert_gone_direct(self, alone, shim)



if __name__ == "__main__":
    unittest.main()
