"""The Debian package: built with cpack in a build directory of its own (configured for /usr,
reused by later runs), then its file list, its control fields and the unpacked tree at work."""

import glob
import os
import unittest

from tools_support import BUILD_DIR, SOURCE_DIR, ToolCase, find_program, run

BUILD_TIMEOUT = 480
CMAKE = os.environ.get("LARDERBOX_CMAKE", "cmake")
CPACK = os.environ.get("LARDERBOX_CPACK", "cpack")

# Path in the package -> (mode string, link target or None).
EXPECTED = {
    "./usr/bin/larderbox": ("-rwxr-xr-x", None),
    "./usr/bin/larderbox-path": ("-rwxr-xr-x", None),
    "./usr/bin/larderbox-fill": ("-rwxr-xr-x", None),
    "./usr/bin/larderbox-cache": ("-rwxr-xr-x", None),
    "./usr/lib/larderbox/bin/curl": ("lrwxrwxrwx", "../../../bin/larderbox"),
    "./usr/lib/larderbox/bin/wget": ("lrwxrwxrwx", "../../../bin/larderbox"),
    "./usr/share/man/man1/larderbox.1": ("-rw-r--r--", None),
    "./usr/share/man/man1/larderbox-path.1": ("-rw-r--r--", None),
    "./usr/share/man/man1/larderbox-fill.1": ("-rw-r--r--", None),
    "./usr/share/man/man1/larderbox-cache.1": ("-rw-r--r--", None),
    "./usr/share/doc/larderbox/copyright": ("-rw-r--r--", None),
    "./usr/share/larderbox/nginx/larderbox-cache.conf": ("-rw-r--r--", None),
}


def build_package():
    """The .deb from the dedicated build directory, rebuilt from the current sources."""
    build = os.path.join(BUILD_DIR, "package-test")
    steps = [
        [CMAKE, "-S", SOURCE_DIR, "-B", build, "-DCMAKE_INSTALL_PREFIX=/usr",
         "-DLARDERBOX_TESTS=OFF", "-DCMAKE_BUILD_TYPE=Release"],
        [CMAKE, "--build", build, "-j", "2"],
    ]
    for step in steps:
        result = run(step, timeout=BUILD_TIMEOUT)
        if result.returncode != 0:
            raise AssertionError("%s failed:\n%s%s" % (step[:2], result.stdout.decode(),
                                                       result.stderr.decode()))
    for old in glob.glob(os.path.join(build, "*.deb")):
        os.unlink(old)
    result = run([CPACK, "-G", "DEB"], cwd=build, timeout=BUILD_TIMEOUT)
    packages = glob.glob(os.path.join(build, "*.deb"))
    if result.returncode != 0 or len(packages) != 1:
        raise AssertionError("cpack failed:\n%s%s" % (result.stdout.decode(),
                                                       result.stderr.decode()))
    return packages[0]


class PackageTest(ToolCase):
    @classmethod
    def setUpClass(cls):
        if not BUILD_DIR or not SOURCE_DIR:
            raise AssertionError("LARDERBOX_BUILD_DIR and LARDERBOX_SOURCE_DIR must be set")
        cls.dpkg_deb = find_program("dpkg-deb")
        cls.package = build_package()

    def test_file_list(self):
        listing = run([self.dpkg_deb, "-c", self.package])
        self.assertEqual(listing.returncode, 0, listing.stderr)
        found = {}
        for line in listing.stdout.decode().splitlines():
            mode, owner, _, _, _, rest = line.split(None, 5)
            path, _, target = rest.partition(" -> ")
            self.assertEqual(owner, "root/root", path)
            self.assertTrue(path.startswith("./usr/"), path)
            if mode.startswith("d"):
                self.assertEqual(mode, "drwxr-xr-x", path)
            else:
                found[path] = (mode, target or None)
        self.assertEqual(found, EXPECTED)

    def test_control_fields(self):
        fields = ["Package", "Version", "Architecture", "Maintainer", "Depends", "Section",
                  "Description"]
        shown = run([self.dpkg_deb, "-f", self.package] + fields)
        self.assertEqual(shown.returncode, 0, shown.stderr)
        values, extended = {}, []
        for line in shown.stdout.decode().splitlines():
            if line.startswith(" "):
                extended.append(line.strip())
            else:
                name, _, value = line.partition(": ")
                values[name] = value
        self.assertEqual(values["Package"], "larderbox")
        self.assertRegex(values["Version"], r"^\d+\.\d+\.\d+$")
        self.assertEqual(values["Architecture"], "amd64")
        self.assertRegex(values["Maintainer"], r"^[^<>]+ <[^<>@]+@[^<>]+>$")
        self.assertEqual(values["Depends"], "curl, python3")
        self.assertTrue(values["Description"].strip(), "no synopsis")
        self.assertTrue(extended, "no extended description")
        self.assertNotEqual(extended[0], values["Description"], "the synopsis twice")
        info = run([self.dpkg_deb, "-I", self.package])
        self.assertEqual(info.returncode, 0, info.stderr)
        self.assertIn(b" Package: larderbox\n", info.stdout)

    def test_unpacked_tree_works(self):
        root = self.path("root")
        unpacked = run([self.dpkg_deb, "-x", self.package, root])
        self.assertEqual(unpacked.returncode, 0, unpacked.stderr)
        shim_dir = os.path.join(root, "usr", "lib", "larderbox", "bin")
        env = {"PATH": shim_dir + ":/usr/bin"}
        for tool, banner in (("curl", b"curl "), ("wget", b"GNU Wget ")):
            with self.subTest(tool=tool):
                version = run([os.path.join(shim_dir, tool), "--version"], env=env)
                self.assertEqual(version.returncode, 0, version.stderr)
                self.assertTrue(version.stdout.startswith(banner), version.stdout[:80])
        # larderbox-fill finds the larderbox-path beside it, which PATH does not hold.
        source = self.write_file("source.txt", b"packaged\n")
        bin_dir = os.path.join(root, "usr", "bin")
        filled = run([os.path.join(bin_dir, "larderbox-fill"), self.path("cache"),
                      "file://" + source], env=env)
        self.assertEqual(filled.returncode, 0, filled.stdout + filled.stderr)
        relative = run([os.path.join(bin_dir, "larderbox-path"), "--file", "file://" + source])
        with open(os.path.join(self.path("cache"), relative.stdout.decode().rstrip("\n")),
                  "rb") as f:
            self.assertEqual(f.read(), b"packaged\n")
        # larderbox-cache too, and it carries the package's version.
        listed = run([os.path.join(bin_dir, "larderbox-cache"), "list", self.path("cache")],
                     env=env)
        self.assertEqual(listed.returncode, 0, listed.stderr)
        self.assertTrue(listed.stdout.rstrip().endswith(b" file://" + source.encode()))
        version = run([os.path.join(bin_dir, "larderbox-cache"), "--version"])
        self.assertRegex(version.stdout, rb"^larderbox-cache \d+\.\d+\.\d+\n$")


if __name__ == "__main__":
    unittest.main()
