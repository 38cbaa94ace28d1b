"""larderbox-links on fake real tools: a prefix in the case directory holding a copy of the shim,
PATH made of the row's directories. Each row runs it twice; the second run must change nothing."""

import os
import shutil
import sys
import unittest

from tools_support import BUILD_DIR, LARDERBOX_BIN, ToolCase, run

LINKS = os.environ.get("LARDERBOX_LINKS", "")
OWN = "../../../bin/larderbox"
SHIM_DIR = "P/lib/larderbox/bin"

# (PATH entries, files made, the shim directory afterwards: a link's target or "file"). A file is
# "real" (an executable), "text" (not executable), "shim-link" (a link to P/bin/larderbox),
# "shim-copy" (another copy of larderbox), OWN, or another link target.
ROWS = {
    "creates": (["tools"], {"tools/curl": "real", "tools/wget": "real"},
                {"curl": OWN, "wget": OWN}),
    "removes": (["tools"], {"tools/curl": "real", SHIM_DIR + "/curl": OWN, SHIM_DIR + "/wget": OWN},
                {"curl": OWN}),
    "leaves foreign files alone": (
        [], {SHIM_DIR + "/curl": "/usr/bin/curl", SHIM_DIR + "/wget": "text"},
        {"curl": "/usr/bin/curl", "wget": "file"}),
    "never the shim directory nor a larderbox": (
        [SHIM_DIR, "alias", "other", "tools"],
        {SHIM_DIR + "/curl": OWN, SHIM_DIR + "/wget": OWN, "other/curl": "shim-link",
         "other/wget": "shim-copy", "tools/curl": "text"},
        {}),
}


class LinksTest(ToolCase):
    def make(self, relative, kind):
        path = self.path(relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if kind in ("real", "text"):
            self.write_file(relative, b"#!/bin/sh\n", 0o755 if kind == "real" else 0o644)
        elif kind == "shim-copy":
            shutil.copy(LARDERBOX_BIN, path)
        else:
            os.symlink(self.path("P/bin/larderbox") if kind == "shim-link" else kind, path)

    def shim_dir(self):
        names = os.listdir(self.path(SHIM_DIR))
        return {n: os.readlink(self.path(SHIM_DIR, n)) if os.path.islink(self.path(SHIM_DIR, n))
                else "file" for n in names}

    def links(self, *entries):
        return run([sys.executable, LINKS, "--prefix", self.path("P")],
                   env={"PATH": ":".join(self.path(entry) for entry in entries)})

    def test_rows(self):
        for name, (entries, files, expected) in ROWS.items():
            with self.subTest(row=name):
                shutil.rmtree(self.case_dir)
                for relative, kind in dict(files, **{"P/bin/larderbox": "shim-copy"}).items():
                    self.make(relative, kind)
                os.makedirs(self.path(SHIM_DIR), exist_ok=True)
                os.symlink(self.path(SHIM_DIR), self.path("alias"))
                first, again = self.links(*entries), self.links(*entries)
                self.assertEqual(first.returncode, 0, first.stderr)
                self.assertEqual((again.returncode, again.stdout), (0, b""))
                self.assertEqual(self.shim_dir(), expected)

    def test_cmake_install_links_what_the_machine_has(self):
        self.make("tools/curl", "real")
        os.symlink(sys.executable, self.path("tools", "python3"))  # for the script's first line
        installed = run([os.environ.get("LARDERBOX_CMAKE", "cmake"), "--install", BUILD_DIR,
                         "--prefix", self.path("P")], env={"PATH": self.path("tools")}, timeout=120)
        self.assertEqual(installed.returncode, 0, installed.stdout + installed.stderr)
        self.assertEqual(self.shim_dir(), {"curl": OWN})
        missing = run([sys.executable, LINKS, "--prefix", self.path("none")])
        self.assertEqual((missing.returncode, missing.stdout), (1, b""), missing.stderr)


if __name__ == "__main__":
    unittest.main()
