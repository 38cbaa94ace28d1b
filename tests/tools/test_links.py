"""larderbox-links outside any package: fake real tools on PATH, a prefix in the case directory
holding a copy of the shim. Each row runs it twice: the second run must change nothing."""

import os
import shutil
import sys
import unittest

from tools_support import BUILD_DIR, LARDERBOX_BIN, ToolCase, run

LINKS = os.environ.get("LARDERBOX_LINKS", "")
OWN = "../../../bin/larderbox"

# Name -> (PATH entries, files put below the case directory, status, shim directory afterwards).
# A file is "real" (an executable script), "text" (not executable), "shim-link" (a link to
# P/bin/larderbox), "shim-copy" (another copy of larderbox), "own" (a link as larderbox-links
# makes it) or "foreign" (a link elsewhere); the shim directory maps a tool to the target of its
# link or "file".
ROWS = {
    "creates a link per real tool": (
        ["tools"], {"tools/curl": "real", "tools/wget": "real"}, 0, {"curl": OWN, "wget": OWN}),
    "removes the link of a tool that is gone": (
        ["tools"], {"tools/curl": "real", "P/lib/larderbox/bin/curl": "own",
                    "P/lib/larderbox/bin/wget": "own"}, 0, {"curl": OWN}),
    "leaves files that are not its links alone": (
        ["tools"], {"P/lib/larderbox/bin/curl": "foreign", "P/lib/larderbox/bin/wget": "text"},
        0, {"curl": "/usr/bin/curl", "wget": "file"}),
    "no larderbox, no shim directory, no executable counts as real": (
        ["P/lib/larderbox/bin", "alias", "other", "tools"],
        {"P/lib/larderbox/bin/curl": "own", "P/lib/larderbox/bin/wget": "own",
         "other/curl": "shim-link", "other/wget": "shim-copy", "tools/wget": "text"},
        0, {}),
    "later entries are searched past a larderbox": (
        ["other", "tools"], {"other/wget": "shim-copy", "tools/wget": "real"}, 0, {"wget": OWN}),
}


class LinksTest(ToolCase):
    def at(self, *parts):
        return os.path.join(self.row_dir, *parts)

    def make(self, relative, kind):
        path = self.at(relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if kind in ("real", "text"):
            with open(path, "w") as f:
                f.write("#!/bin/sh\n")
            os.chmod(path, 0o755 if kind == "real" else 0o644)
        elif kind == "shim-copy":
            shutil.copy(LARDERBOX_BIN, path)
        else:
            target = {"shim-link": self.at("P", "bin", "larderbox"), "own": OWN,
                      "foreign": "/usr/bin/curl"}[kind]
            os.symlink(target, path)

    def shim_dir_state(self):
        shim_dir = self.at("P", "lib", "larderbox", "bin")
        return {name: os.readlink(os.path.join(shim_dir, name))
                if os.path.islink(os.path.join(shim_dir, name)) else "file"
                for name in os.listdir(shim_dir)}

    def test_rows(self):
        self.assertTrue(LINKS, "LARDERBOX_LINKS must be set (ctest sets it)")
        for number, (name, (entries, files, status, expected)) in enumerate(ROWS.items()):
            with self.subTest(row=name):
                self.row_dir = self.path("row%d" % number)
                self.make("P/bin/larderbox", "shim-copy")
                for relative, kind in files.items():
                    self.make(relative, kind)
                os.makedirs(self.at("P", "lib", "larderbox", "bin"), exist_ok=True)
                os.symlink(self.at("P", "lib", "larderbox", "bin"), self.at("alias"))
                env = {"PATH": ":".join(self.at(entry) for entry in entries)}
                first = run([sys.executable, LINKS, "--prefix", self.at("P")], env=env)
                self.assertEqual(first.returncode, status, first.stderr)
                self.assertEqual(self.shim_dir_state(), expected)
                again = run([sys.executable, LINKS, "--prefix", self.at("P")], env=env)
                self.assertEqual((again.returncode, again.stdout), (status, b""))
                self.assertEqual(self.shim_dir_state(), expected)
                # Each change is said once, each file left alone every time.
                changed = {t for t in ("curl", "wget")
                           if (files.get("P/lib/larderbox/bin/" + t) == "own") != (expected.get(t) == OWN)}
                self.assertEqual(len(first.stdout.splitlines()), len(changed), first.stdout)
                alone = [f for f in files if files[f] in ("text", "foreign") and "/bin/" in f]
                self.assertEqual(again.stderr.count(b"left alone"), len(alone), again.stderr)

    def test_cmake_install_links_what_the_machine_has(self):
        # Only a real curl on PATH, and the python3 that the script's first line asks for.
        self.row_dir = self.case_dir
        self.make("tools/curl", "real")
        os.symlink(sys.executable, self.at("tools", "python3"))
        cmake = os.environ.get("LARDERBOX_CMAKE", "cmake")
        installed = run([cmake, "--install", BUILD_DIR, "--prefix", self.at("P")],
                        env={"PATH": self.at("tools")}, timeout=120)
        self.assertEqual(installed.returncode, 0, installed.stdout + installed.stderr)
        self.assertEqual(self.shim_dir_state(), {"curl": OWN})

    def test_missing_executable_is_an_error(self):
        missing = run([sys.executable, LINKS, "--prefix", self.path("P")], env={"PATH": "/usr/bin:/bin"})
        self.assertEqual(missing.returncode, 1)
        self.assertIn(b"larderbox not found", missing.stderr)
        self.assertFalse(os.path.exists(self.path("P", "lib")))


if __name__ == "__main__":
    unittest.main()
