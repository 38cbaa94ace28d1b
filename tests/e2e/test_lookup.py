"""Finding the real tool: REAL_CURL/REAL_WGET, the PATH search, and never handing over to a
larderbox executable, so that no arrangement of links, copies or PATH entries makes the shim run
itself in a loop (a loop shows up as a timeout)."""

import os
import shutil
import subprocess

import harness
from harness import ShimCase

NOBODY = 65534


class RealToolVariable(ShimCase):
    def setUp(self):
        super().setUp()
        self.alt_curl = self.install_recorder("alt/curl")
        self.alt_wget = self.install_recorder("alt/wget")

    def test_executable_value_wins_over_path(self):
        env = self.environment(path=self.real_dir, REAL_CURL=self.alt_curl)
        completed = self.launch(self.shim, argv0="curl", args=["-s"], env=env)
        self.assert_reached(completed, self.alt_curl, ["-s"])

    def test_value_is_used_byte_for_byte(self):
        os.symlink(self.alt_curl, self.path("link-to-curl"))
        rows = [
            ("relative value stays relative", "alt/curl"),
            ("dot-relative value", "./alt/../alt/curl"),
            ("symbolic link is not resolved", self.path("link-to-curl")),
            ("doubled slash kept", self.path("alt") + "//curl"),
        ]
        for label, value in rows:
            with self.subTest(label):
                self.forget_records()
                env = self.environment(path=self.real_dir, REAL_CURL=value)
                completed = self.launch(self.shim, argv0="curl", env=env, cwd=self.case_dir)
                self.assert_reached(completed, value)

    def test_unusable_value_falls_back_to_path_silently(self):
        self.write_file("plain/curl", b"#!/bin/sh\n", mode=0o644)
        rows = [
            ("missing file", {"REAL_CURL": self.path("missing", "curl")}),
            ("not executable", {"REAL_CURL": self.path("plain", "curl")}),
            ("empty value", {"REAL_CURL": ""}),
            ("lower-case tool in the name", {"REAL_curl": self.alt_curl}),
            ("other tool's variable", {"REAL_WGET": self.alt_wget}),
            ("prefix of the name", {"REAL_CURLX": self.alt_curl, "REAL_CUR": self.alt_curl}),
        ]
        for label, variables in rows:
            with self.subTest(label):
                self.forget_records()
                env = self.environment(path=self.real_dir, **variables)
                completed = self.launch(self.shim, argv0="curl", args=["-o", "x"], env=env)
                self.assert_reached(completed, self.real_curl, ["-o", "x"])

    def test_wget_variable_without_path(self):
        env = self.environment(REAL_WGET=self.alt_wget, REAL_CURL=self.alt_curl)
        completed = self.launch(self.shim, argv0="wget", args=["-q"], env=env)
        self.assert_reached(completed, self.alt_wget, ["-q"])

    def test_first_of_duplicate_entries_counts(self):
        missing = os.fsencode(self.path("missing"))
        rows = [
            ("first usable", [os.fsencode(self.alt_curl), missing], self.alt_curl),
            ("first unusable", [missing, os.fsencode(self.alt_curl)], self.real_curl),
        ]
        for label, values, expected in rows:
            with self.subTest(label):
                self.forget_records()
                entries = [b"PATH=" + os.fsencode(self.real_dir),
                           b"RECORDER_OUT=" + os.fsencode(self.records_path)]
                entries += [b"REAL_CURL=" + value for value in values]
                completed = self.launch(harness.LAUNCH_EMPTY_ARGV_BIN,
                                        args=[b"-e", self.shim] + entries)
                self.assert_reached(completed, expected)

    def test_value_naming_a_larderbox_executable_is_unusable(self):
        bin_curl = self.install_shim("bin/curl", "symlink")
        self.install_shim("copies/curl", "copy")
        self.install_shim("hard/curl", "hardlink")
        rows = [
            ("the running file itself", bin_curl),
            ("its real path", self.shim),
            ("a symbolic link to it", self.path("bin", "curl")),
            ("relative path to it", "store/larderbox"),
            ("a hard link", self.path("hard", "curl")),
            ("a separate copy", self.path("copies", "curl")),
        ]
        for label, value in rows:
            with self.subTest(label):
                self.forget_records()
                env = self.environment(path=self.path("bin") + ":" + self.real_dir, REAL_CURL=value)
                completed = self.launch(bin_curl, argv0="curl", args=["-L"], env=env,
                                        cwd=self.case_dir)
                self.assert_reached(completed, self.real_curl, ["-L"])

    def test_value_naming_the_shim_without_path_finds_nothing(self):
        env = self.environment(REAL_CURL=self.shim)
        completed = self.launch(self.shim, argv0="curl", env=env)
        self.assert_no_real_tool(completed, "curl")


class PathSearch(ShimCase):
    def test_entries_are_taken_as_they_stand(self):
        self.install_recorder("second/curl")
        odd = os.fsencode(self.case_dir) + b"/caf\xe9\xff"
        os.makedirs(odd)
        shutil.copy2(harness.RECORDER_BIN, odd + b"/curl")
        real = os.fsencode(self.real_dir)
        rows = [
            # label, PATH, expected real tool
            ("first entry wins", real + b":" + os.fsencode(self.path("second")), real + b"/curl"),
            ("leading empty entries", b"::" + real, real + b"/curl"),
            ("trailing empty entries", real + b"::", real + b"/curl"),
            ("doubled slash from a trailing slash", real + b"/", real + b"//curl"),
            ("slashes kept", real + b"//", real + b"///curl"),
            ("relative entry stays relative", b"real", b"real/curl"),
            ("non-UTF-8 entry", odd, odd + b"/curl"),
            ("missing directory skipped", os.fsencode(self.path("missing")) + b":" + real,
             real + b"/curl"),
        ]
        for label, path, expected in rows:
            with self.subTest(label):
                self.forget_records()
                env = self.environment(path=path)
                completed = self.launch(self.shim, argv0="curl", args=["x"], env=env,
                                        cwd=self.case_dir)
                self.assert_reached(completed, expected, ["x"])

    def test_not_executable_candidate_is_skipped(self):
        self.write_file("plain/curl", b"#!/bin/sh\n", mode=0o644)
        env = self.environment(path=self.path("plain") + ":" + self.real_dir)
        completed = self.launch(self.shim, argv0="curl", env=env)
        self.assert_reached(completed, self.real_curl)

    def test_empty_entries_never_mean_the_working_directory(self):
        # The only curl is in the working directory.
        self.install_recorder("cwd/curl")
        self.mkdir("empty")
        for path in ("::" + self.path("empty"), ":", self.path("empty") + ":", "::"):
            with self.subTest(path=path):
                completed = self.launch(self.shim, argv0="curl", env=self.environment(path=path),
                                        cwd=self.path("cwd"))
                self.assert_no_real_tool(completed, "curl")

    def test_directory_named_like_the_tool_is_skipped(self):
        # A checkout of curl's sources on PATH, as a shell skips it.
        self.mkdir("dirs/curl")
        for variables in ({}, {"REAL_CURL": self.path("dirs", "curl")}):
            with self.subTest(variables=variables):
                self.forget_records()
                env = self.environment(path=self.path("dirs") + ":" + self.real_dir, **variables)
                completed = self.launch(self.shim, argv0="curl", env=env)
                self.assert_reached(completed, self.real_curl)


class NoLoops(ShimCase):
    """Every arrangement ends at the recorder, or with the no-real-tool message."""

    def test_shim_in_the_working_directory_with_dot_first(self):
        for how in ("copy", "symlink", "relative-symlink", "hardlink"):
            with self.subTest(how=how):
                self.forget_records()
                work = "work-" + how
                self.install_shim(work + "/curl", how)
                env = self.environment(path=".:" + self.real_dir)
                completed = self.launch("./curl", argv0="curl", env=env, cwd=self.path(work))
                self.assert_reached(completed, self.real_curl)

    def test_copies_and_links_ahead_of_the_real_tool_are_skipped(self):
        rows = [
            ("separate copy", "copy"),
            ("symbolic link", "symlink"),
            ("relative symbolic link", "relative-symlink"),
            ("hard link", "hardlink"),
        ]
        bin_curl = self.install_shim("bin/curl")
        for label, how in rows:
            with self.subTest(label):
                self.forget_records()
                ahead = "ahead-" + how
                self.install_shim(ahead + "/curl", how)
                env = self.environment(path=":".join(
                    [self.path(ahead), self.path("bin"), self.real_dir]))
                completed = self.launch(bin_curl, argv0="curl", env=env)
                self.assert_reached(completed, self.real_curl)

    def test_only_larderbox_executables_on_path(self):
        self.install_shim("a/curl", "copy")
        self.install_shim("b/curl", "symlink")
        self.install_shim("c/curl", "hardlink")
        self.install_shim("d/curl", "relative-symlink")
        self.install_shim("a/wget", "copy")
        path = ":".join([self.path(d) for d in "abcd"] + ["."])
        for tool in ("curl", "wget"):
            with self.subTest(tool=tool):
                completed = self.launch(self.path("a", tool), argv0=tool,
                                        env=self.environment(path=path), cwd=self.path("a"))
                self.assert_no_real_tool(completed, tool)

    def test_execute_only_copies(self):
        """A copy the user cannot read carries a marker nobody can see: the identity has to do.
        Run as an unprivileged user, since root reads anything."""
        user = run_as_unprivileged(self)
        self.install_shim("bin/curl")
        self.install_shim("xonly/curl", "copy")
        self.install_shim("xlink/curl", "hardlink", source=self.path("xonly", "curl"))
        self.install_shim("xother/curl", "copy")
        for name in ("xonly/curl", "xlink/curl", "xother/curl"):
            os.chmod(self.path(name), 0o111)
        out = self.mkdir("out", 0o777)
        self.records_path = os.path.join(out, "records")
        rows = [
            # label, the shim that is run, PATH
            ("readable shim, execute-only copy ahead of the real tool", "bin/curl",
             ["bin", "xonly"]),
            ("execute-only copy run itself", "xonly/curl", ["xonly", "bin"]),
            ("execute-only hard link of the running copy", "xonly/curl", ["xlink", "xonly"]),
            # Neither can read the other's marker: they would execute each other for ever.
            ("two execute-only copies", "xonly/curl", ["xonly", "xother"]),
            ("two execute-only copies, the other run", "xother/curl", ["xonly", "xother"]),
        ]
        for label, shim, entries in rows:
            with self.subTest(label):
                self.forget_records()
                env = self.environment(path=":".join(
                    [self.path(e) for e in entries] + [self.real_dir]))
                completed = self.launch(self.path(shim), argv0="curl", env=env, preexec_fn=user)
                self.assert_reached(completed, self.real_curl)


def run_as_unprivileged(case):
    """A preexec function that drops to an unprivileged user when running as root; skips the
    case when that is refused."""
    if os.geteuid() != 0:
        return None

    def drop():
        os.setgroups([])
        os.setgid(NOBODY)
        os.setuid(NOBODY)

    try:
        probe = subprocess.run(["true"], executable="/bin/true", preexec_fn=drop,
                               timeout=harness.TIMEOUT, check=False)
    except (OSError, subprocess.SubprocessError) as error:
        case.skipTest("cannot drop to uid %d: %s" % (NOBODY, error))
    if probe.returncode != 0:
        case.skipTest("cannot drop to uid %d" % NOBODY)
    return drop


def mount_namespace(case, mount_point, tools=("unshare", "mount")):
    """The paths of `tools` once a private mount namespace can mount a tmpfs on `mount_point`
    here; skips the case with the reason where that is refused (not root, a chroot or a container
    without the capability, tools missing)."""
    if os.geteuid() != 0:
        case.skipTest("needs root for a mount namespace")
    paths = [shutil.which(tool) for tool in tools]
    if None in paths:
        case.skipTest("%s not installed" % ", ".join(tools))
    unshare, mount = paths[:2]
    probe = subprocess.run([unshare, "-m", mount, "-t", "tmpfs", "none", mount_point],
                           timeout=harness.TIMEOUT, capture_output=True, check=False)
    if probe.returncode != 0:
        case.skipTest("no mount namespace can be made here: %s" %
                      probe.stderr.decode(errors="replace").strip())
    return paths


class WithoutProc(ShimCase):
    """/proc hidden under an empty tmpfs in a private mount namespace: the self identity comes
    from the path the shim was executed under."""

    def setUp(self):
        super().setUp()
        self.unshare, self.mount = mount_namespace(self, "/proc")

    def launch_without_proc(self, shim, env, setup="", prefix=()):
        """Runs `shim` with /proc empty; `setup` is shell run first, `prefix` goes before `shim`."""
        script = '"$0" -t tmpfs none /proc && %s exec "$@"' % setup
        argv = [self.unshare, "-m", "/bin/sh", "-c", script, self.mount] + list(prefix) + [shim]
        return self.launch(self.unshare, argv0=self.unshare, args=argv[1:], env=env)

    def test_shim_ahead_of_the_real_tool(self):
        bin_curl = self.install_shim("bin/curl", "symlink")
        self.install_shim("copy/curl", "copy")
        env = self.environment(path=":".join([self.path("bin"), self.path("copy"), self.real_dir]))
        completed = self.launch_without_proc(bin_curl, env)
        record = self.assert_reached(completed, self.real_curl)
        self.assertFalse(record.fds_available, "/proc should have been empty")

    def test_real_tool_variable_naming_the_shim(self):
        bin_curl = self.install_shim("bin/curl")
        env = self.environment(path=self.path("bin") + ":" + self.real_dir, REAL_CURL=bin_curl)
        completed = self.launch_without_proc(bin_curl, env)
        self.assert_reached(completed, self.real_curl)

    def test_execute_only_shim_is_recognised_by_the_path_it_ran_under(self):
        setpriv = shutil.which("setpriv")
        if setpriv is None:
            self.skipTest("setpriv not installed")
        xonly = self.install_shim("xonly/curl")
        os.chmod(xonly, 0o111)
        out = self.mkdir("out", 0o777)
        self.records_path = os.path.join(out, "records")
        env = self.environment(path=self.path("xonly") + ":" + self.real_dir)
        drop = [setpriv, "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY, "--clear-groups", "--"]
        completed = self.launch_without_proc(xonly, env, prefix=drop)
        self.assert_reached(completed, self.real_curl)


class SameIdentityElsewhere(ShimCase):
    """A different program with the shim's inode number and size, on another file system, is the
    real tool: for a file that can be read, the marker alone decides."""

    def test_readable_file_with_the_shims_identity_is_the_real_tool(self):
        first, second = self.mkdir("fs1"), self.mkdir("fs2")
        unshare, mount, cp, stat = mount_namespace(self, first, ("unshare", "mount", "cp", "stat"))
        shim_size = os.path.getsize(self.shim)
        with open(harness.RECORDER_BIN, "rb") as f:
            recorder = f.read()
        if len(recorder) > shim_size:
            self.skipTest("the recorder is larger than the shim; cannot give it the same size")
        # Trailing bytes past the end of every segment do not change what the program does.
        self.write_file("padded-recorder", recorder + b"\0" * (shim_size - len(recorder)), 0o755)
        # Two fresh tmpfs mounts number their inodes alike, so the first file made in each gets the
        # same inode number.
        script = ('"$0" -t tmpfs none "$1" && "$0" -t tmpfs none "$2" && '
                  '"$5" "$3" "$1/curl" && "$5" "$4" "$2/curl" && '
                  'test "$("$6" -c %i "$1/curl")" = "$("$6" -c %i "$2/curl")" || exit 99; '
                  'exec "$1/curl"')
        env = self.environment(path=":".join([second, self.real_dir]))
        completed = self.launch(unshare, args=["-m", "/bin/sh", "-c", script, mount, first, second,
                                               self.shim, self.path("padded-recorder"), cp, stat],
                                env=env)
        if completed.returncode == 99:
            self.skipTest("the two tmpfs mounts gave different inode numbers")
        self.assert_reached(completed, os.path.join(second, "curl"))


if __name__ == "__main__":
    harness.main()
