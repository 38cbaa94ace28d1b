"""The Debian package: built with cpack in a build directory of its own, configured for the
default prefix /usr/local (reused by later runs), then lintian's verdict, its file list, its
control fields, the versions its helpers print, its services and the unpacked tree at work; and,
installed with dpkg in a copy of a Debian root, the shim directory's links following the real
tools as apt installs and removes them."""

import glob
import os
import shutil
import tempfile
import unittest

from tools_support import BUILD_DIR, SOURCE_DIR, OriginServer, ToolCase, find_program, run

BUILD_TIMEOUT = 480
CMAKE = os.environ.get("LARDERBOX_CMAKE", "cmake")
CPACK = os.environ.get("LARDERBOX_CPACK", "cpack")
UNITS = ["larderbox-cache-learn.service", "larderbox-cache-maintain.service",
         "larderbox-cache-maintain.timer"]

# Path in the package -> (mode string, link target or None).
EXPECTED = {
    "./usr/bin/larderbox": ("-rwxr-xr-x", None),
    "./usr/bin/larderbox-path": ("-rwxr-xr-x", None),
    "./usr/bin/larderbox-fill": ("-rwxr-xr-x", None),
    "./usr/bin/larderbox-cache": ("-rwxr-xr-x", None),
    "./usr/bin/larderbox-links": ("-rwxr-xr-x", None),
    "./usr/share/man/man1/larderbox.1.gz": ("-rw-r--r--", None),
    "./usr/share/man/man1/larderbox-path.1.gz": ("-rw-r--r--", None),
    "./usr/share/man/man1/larderbox-fill.1.gz": ("-rw-r--r--", None),
    "./usr/share/man/man1/larderbox-cache.1.gz": ("-rw-r--r--", None),
    "./usr/share/man/man1/larderbox-links.1.gz": ("-rw-r--r--", None),
    "./usr/share/doc/larderbox/copyright": ("-rw-r--r--", None),
    "./usr/share/doc/larderbox/changelog.gz": ("-rw-r--r--", None),
    "./usr/share/lintian/overrides/larderbox": ("-rw-r--r--", None),
    "./usr/share/larderbox/nginx/larderbox-cache.conf": ("-rw-r--r--", None),
    "./usr/share/larderbox/nginx/nginx.conf": ("-rw-r--r--", None),
    "./usr/lib/sysusers.d/larderbox.conf": ("-rw-r--r--", None),
    "./etc/default/larderbox-cache": ("-rw-r--r--", None),
}
EXPECTED.update({"./usr/lib/systemd/system/" + unit: ("-rw-r--r--", None) for unit in UNITS})
# larderbox-cache's package, beside nothing else of Python's.
CACHE_MODULES = ["__init__", "cli", "commands", "fetch", "freshness", "layout", "learn", "logs",
                 "policy", "revalidate", "run", "store"]
EXPECTED.update({"./usr/share/larderbox/python/larderbox_cache/%s.py" % module:
                 ("-rw-r--r--", None) for module in CACHE_MODULES})

CHROOT_ENV = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "LC_ALL": "C",
              "DEBIAN_FRONTEND": "noninteractive"}
SHIM_DIR = "/usr/lib/larderbox/bin"


def last_line(output):
    lines = output.decode(errors="replace").strip().splitlines()
    return lines[-1] if lines else "no output"


def build_package():
    """The .deb from the dedicated build directory, rebuilt from the current sources."""
    build = os.path.join(BUILD_DIR, "package-test")
    steps = [
        [CMAKE, "-S", SOURCE_DIR, "-B", build, "-DCMAKE_INSTALL_PREFIX=/usr/local",
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
        cls.root = tempfile.mkdtemp(prefix="larderbox-package-")
        os.chmod(cls.root, 0o755)
        cls.addClassCleanup(shutil.rmtree, cls.root, True)
        unpacked = run([cls.dpkg_deb, "-x", cls.package, cls.root])
        if unpacked.returncode != 0:
            raise AssertionError("dpkg-deb -x: %r" % unpacked.stderr)
        version = run([cls.dpkg_deb, "-f", cls.package, "Version"])
        cls.version = version.stdout.decode().strip()

    def test_lintian_finds_nothing(self):
        lintian = find_program("lintian")
        checked = run([lintian, "--pedantic", "--tag-display-limit", "0", self.package],
                      timeout=BUILD_TIMEOUT)
        findings = [line for line in checked.stdout.decode().splitlines()
                    if line.startswith(("E:", "W:", "P:"))]
        self.assertEqual(findings, [], checked.stdout.decode() + checked.stderr.decode())
        self.assertEqual(checked.returncode, 0, checked.stderr)

    def test_file_list(self):
        listing = run([self.dpkg_deb, "-c", self.package])
        self.assertEqual(listing.returncode, 0, listing.stderr)
        found = {}
        for line in listing.stdout.decode().splitlines():
            mode, owner, _, _, _, rest = line.split(None, 5)
            path, _, target = rest.partition(" -> ")
            self.assertEqual(owner, "root/root", path)
            self.assertTrue(path.startswith(("./usr/", "./etc/")), path)
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
        root = self.root
        shim_dir = os.path.join(root, "usr", "lib", "larderbox", "bin")
        env = {"PATH": shim_dir + ":/usr/bin"}
        # The package holds no links: its postinst makes them for the tools the machine has.
        linked = run([os.path.join(root, "usr", "bin", "larderbox-links")], env=env)
        self.assertEqual(linked.returncode, 0, linked.stderr)
        for tool, banner in (("curl", b"curl "), ("wget", b"GNU Wget ")):
            with self.subTest(tool=tool):
                version = run([os.path.join(shim_dir, tool), "--version"], env=env)
                self.assertEqual(version.returncode, 0, version.stderr)
                self.assertTrue(version.stdout.startswith(banner), version.stdout[:80])
        # larderbox-fill finds the larderbox-cache and larderbox-path beside it, which PATH does
        # not hold.
        bin_dir = os.path.join(root, "usr", "bin")
        with OriginServer() as origin:
            origin.files["/source.txt"] = b"packaged\n"
            url = origin.url("/source.txt")
            filled = run([os.path.join(bin_dir, "larderbox-fill"), self.path("cache"), url],
                         env=env)
        self.assertEqual(filled.returncode, 0, filled.stdout + filled.stderr)
        relative = run([os.path.join(bin_dir, "larderbox-path"), "--file", url])
        with open(os.path.join(self.path("cache"), relative.stdout.decode().rstrip("\n")),
                  "rb") as f:
            self.assertEqual(f.read(), b"packaged\n")
        # larderbox-cache too.
        listed = run([os.path.join(bin_dir, "larderbox-cache"), "list", self.path("cache")],
                     env=env)
        self.assertEqual(listed.returncode, 0, listed.stderr)
        self.assertTrue(listed.stdout.rstrip().endswith(b" " + url.encode()))

    def test_helpers_print_the_package_version(self):
        for helper in ("larderbox-path", "larderbox-fill", "larderbox-cache", "larderbox-links"):
            with self.subTest(helper=helper):
                shown = run([os.path.join(self.root, "usr", "bin", helper), "--version"],
                            env={"PATH": "/usr/bin:/bin"})
                self.assertEqual((shown.returncode, shown.stdout.decode(), shown.stderr),
                                 (0, "%s %s\n" % (helper, self.version), b""))

    def test_services_verify(self):
        # The units run from the unpacked tree, beside the host's own units, which they name.
        units = os.path.join(self.root, "usr", "lib", "systemd", "system")
        shutil.copytree("/usr/lib/systemd/system", units, symlinks=True, dirs_exist_ok=True,
                        ignore=lambda _, names: [n for n in names if n in UNITS])
        env = {"PATH": "/usr/bin:/bin", "MANPATH": os.path.join(self.root, "usr", "share", "man")}
        verified = run([find_program("systemd-analyze"), "verify", "--root=" + self.root] + UNITS,
                       env=env, timeout=120)
        self.assertEqual((verified.returncode, verified.stdout, verified.stderr), (0, b"", b""))
        # verify looks at the first command of a unit only.
        for unit in UNITS:
            with open(os.path.join(units, unit)) as f:
                for line in f:
                    if line.startswith("ExecStart="):
                        program = line[len("ExecStart="):].lstrip("-@:+!").split()[0]
                        self.assertTrue(os.access(self.root + program, os.X_OK), line)
        # postinst creates the services' user from this file.
        users = run([find_program("systemd-sysusers"), "--root=" + self.root, "--dry-run",
                     "larderbox.conf"], env=env)
        self.assertEqual(users.returncode, 0, users.stderr)
        self.assertIn(b"Creating user 'larderbox'", users.stdout + users.stderr)

    def test_links_follow_the_real_tools_in_a_debian_root(self):
        # A copy of the trixie root of scripts/test-roots, which has curl and wget but no python3.
        made = run([os.path.join(SOURCE_DIR, "scripts", "test-roots"), "trixie"], timeout=1800)
        found = made.stdout.decode().strip().partition(" ")[2].removeprefix("skip: ")
        if not found.startswith("/"):
            self.skipTest("no trixie root: " + (found or last_line(made.stderr)))
        chroot = find_program("chroot")
        root = tempfile.mkdtemp(prefix="links-run-", dir=os.path.dirname(found))
        self.addCleanup(shutil.rmtree, root, True)
        copied = run(["cp", "-a", found + "/.", root], timeout=BUILD_TIMEOUT)
        self.assertEqual(copied.returncode, 0, copied.stderr)
        shutil.copy(self.package, os.path.join(root, "tmp", "larderbox.deb"))

        def inside(command, path=CHROOT_ENV["PATH"]):
            return run([chroot, root, "sh", "-c", command], env=dict(CHROOT_ENV, PATH=path),
                       timeout=BUILD_TIMEOUT)

        ready = inside("apt-get update -q && apt-get install -q -y python3")
        if ready.returncode != 0:
            self.skipTest("the Debian archive cannot be reached: " + last_line(ready.stderr))
        # What a script sees with the shim directory first on PATH, and what wget turns out to be.
        probe = 'for t in curl wget; do echo "$t $(command -v $t)"; done; wget -V | head -n 1'
        for command, curl, wget in (
                ("dpkg -i /tmp/larderbox.deb", SHIM_DIR + "/curl", SHIM_DIR + "/wget"),
                ("apt-get remove -q -y wget", SHIM_DIR + "/curl", ""),
                ("apt-get install -q -y wget", SHIM_DIR + "/curl", SHIM_DIR + "/wget"),
                ("dpkg --purge larderbox", "/usr/bin/curl", "/usr/bin/wget")):
            with self.subTest(command=command):
                done = inside(command)
                self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
                seen = inside(probe, SHIM_DIR + ":/usr/bin:/bin").stdout.decode().splitlines()
                self.assertEqual(seen[:2], ["curl " + curl, "wget " + wget])
                self.assertEqual([line[:9] for line in seen[2:]], ["GNU Wget "] if wget else [])
        self.assertFalse(os.path.lexists(os.path.join(root, "usr", "lib", "larderbox")))


if __name__ == "__main__":
    unittest.main()
