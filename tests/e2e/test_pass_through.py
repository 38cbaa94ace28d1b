"""The shim hands over to the real tool and passes everything through: arguments, environment,
descriptors, signal dispositions, the stack limit and the real tool's exit status."""

import os
import resource
import signal
import subprocess

import harness
from harness import MIB, ShimCase

UNLIMITED = resource.RLIM_INFINITY


class ExecVector(ShimCase):
    def setUp(self):
        super().setUp()
        self.bin_curl = self.install_shim("bin/curl")
        self.env = self.environment(path=self.path("bin") + ":" + self.real_dir)

    def test_arguments_arrive_byte_for_byte(self):
        args = [b"-fsSL", b"", b"\xff\xfe\x80 not utf-8", b"caf\xc3\xa9", b"with space",
                b"line\nbreak", b"tab\there", b"--url=http://127.0.0.1:9/x.tgz", b"-", b"--",
                b"=", b"", b"$HOME", b"*", b"\x01\x7f", b"x" * 100000]
        completed = self.launch(self.bin_curl, argv0="curl", args=args, env=self.env)
        self.assert_reached(completed, self.real_curl, args)

    def test_ten_thousand_arguments(self):
        args = [b"argument-%d" % i if i % 7 else b"" for i in range(10000)]
        completed = self.launch(self.bin_curl, argv0="curl", args=args, env=self.env)
        self.assert_reached(completed, self.real_curl, args)

    def test_no_arguments_gives_only_the_real_tool_path(self):
        completed = self.launch(self.bin_curl, argv0="curl", env=self.env)
        self.assert_reached(completed, self.real_curl, [])

    def test_argument_zero_is_the_callers_only_when_it_names_the_tool(self):
        for argv0, expected in (("/home/u/bin/curl", b"/home/u/bin/curl"),
                                ("my-curl", os.fsencode(self.real_curl))):
            with self.subTest(argv0=argv0):
                self.forget_records()
                completed = self.launch(self.bin_curl, argv0=argv0, args=["-I"], env=self.env)
                self.assertEqual(self.assert_reached(completed, self.real_curl, ["-I"]).args[0],
                                 expected)

    def test_empty_argument_vector_acts_as_curl_without_arguments(self):
        # real/ holds wget too: only "curl", the tool of a missing program name, may be chosen.
        completed = self.launch(harness.LAUNCH_EMPTY_ARGV_BIN, args=[self.bin_curl], env=self.env)
        self.assert_reached(completed, self.real_curl, [])


class Environment(ShimCase):
    def setUp(self):
        super().setUp()
        self.bin_curl = self.install_shim("bin/curl")

    def test_environment_arrives_byte_for_byte(self):
        env = self.environment(path=self.path("bin") + ":" + self.real_dir)
        env.update({
            b"EMPTY": b"",
            b"NOT_UTF8": b"\xff\xfe\x80",
            b"WITH_EQUALS": b"a=b=c",
            b"NEWLINE": b"one\ntwo",
            # Cache settings reach the real tool too; without a URL argument no probe runs.
            b"CURLLARDERBOX_SERVER": b"http://127.0.0.1:9/",
            b"NO_COLOR": b"",
            b"BIG": b"v" * 65536,
        })
        for i in range(300):
            env[b"MANY_%d" % i] = b"%d" % i
        completed = self.launch(self.bin_curl, argv0="curl", args=["-V"], env=env)
        record = self.assert_reached(completed, self.real_curl, ["-V"])
        expected = [harness.as_bytes(k) + b"=" + harness.as_bytes(v) for k, v in env.items()]
        self.assertEqual(record.env, expected)

    def test_raw_environment_block_is_passed_unchanged(self):
        # Entries a mapping cannot express: duplicates, no "=", an empty entry, an empty name.
        entries = [b"PATH=" + os.fsencode(self.path("bin") + ":" + self.real_dir),
                   b"RECORDER_OUT=" + os.fsencode(self.records_path),
                   b"DUP=first", b"DUP=second", b"NO_EQUALS_SIGN", b"", b"=empty-name",
                   b"PATH=/nonexistent"]
        completed = self.launch(harness.LAUNCH_EMPTY_ARGV_BIN, args=[b"-e", self.bin_curl] + entries)
        record = self.assert_reached(completed, self.real_curl, [])
        self.assertEqual(record.env, entries)


class Descriptors(ShimCase):
    def test_only_the_callers_descriptors_arrive(self):
        bin_curl = self.install_shim("bin/curl")
        env = self.environment(path=self.path("bin") + ":" + self.real_dir)
        input_path = self.write_file("input", b"in")
        extra_path = self.write_file("extra", b"")
        with open(input_path, "rb") as stdin, open(self.path("out"), "wb") as stdout, \
                open(self.path("err"), "wb") as stderr, open(extra_path, "rb") as extra:
            # A descriptor number well away from the ones a process opens first.
            extra_fd = os.dup2(extra.fileno(), 37)
            try:
                completed = self.launch(bin_curl, argv0="curl", env=env, stdin=stdin,
                                        stdout=stdout, stderr=stderr, pass_fds=(extra_fd,))
            finally:
                os.close(extra_fd)
        self.assertEqual(completed.returncode, 0)
        with open(self.path("err"), "rb") as f:
            self.assertEqual(f.read(), b"")
        record = self.single_record()
        self.assertTrue(record.fds_available)
        self.assertEqual(record.fds, {
            0: os.fsencode(input_path),
            1: os.fsencode(self.path("out")),
            2: os.fsencode(self.path("err")),
            37: os.fsencode(extra_path),
        })


def with_signals(ignored=(), blocked=()):
    """SIGPIPE and SIGIO ignored if in `ignored`, at default otherwise (Python itself ignores
    SIGPIPE), and `blocked` added to the mask."""
    def prepare():
        for number in (signal.SIGPIPE, signal.SIGIO):
            signal.signal(number, signal.SIG_IGN if number in ignored else signal.SIG_DFL)
        signal.pthread_sigmask(signal.SIG_BLOCK, blocked)
    return prepare


class Signals(ShimCase):
    def setUp(self):
        super().setUp()
        self.bin_curl = self.install_shim("bin/curl")
        self.env = self.environment(path=self.path("bin") + ":" + self.real_dir)

    def run_both(self, prepare):
        """The record of the recorder run directly (to show the caller's setting took hold) and the
        record of the recorder reached through the shim."""
        direct = self.launch(self.real_curl, env=self.env, preexec_fn=prepare,
                             restore_signals=False)
        self.assertEqual(direct.returncode, 0)
        through = self.launch(self.bin_curl, argv0="curl", env=self.env, preexec_fn=prepare,
                              restore_signals=False)
        self.assertEqual(through.returncode, 0)
        self.assertEqual(through.stderr, b"")
        records = self.records()
        self.assertEqual(len(records), 2)
        return records

    def test_dispositions_arrive_as_the_caller_left_them(self):
        rows = [
            ("nothing ignored", ()),
            ("SIGPIPE ignored", (signal.SIGPIPE,)),
            ("SIGIO ignored", (signal.SIGIO,)),
            ("both ignored", (signal.SIGPIPE, signal.SIGIO)),
        ]
        for label, ignored in rows:
            with self.subTest(label):
                self.forget_records()
                direct, through = self.run_both(with_signals(ignored=ignored))
                expected = {name: "ignored" if getattr(signal, name) in ignored else "default"
                            for name in ("SIGPIPE", "SIGIO")}
                self.assertEqual(direct.signals, expected)
                self.assertEqual(through.signals, expected)

    def test_signal_mask_is_unchanged(self):
        _, through = self.run_both(with_signals(blocked=(signal.SIGIO,)))
        self.assertEqual(through.blocked, {"SIGPIPE": False, "SIGIO": True})


class StackLimit(ShimCase):
    def test_callers_limit_is_handed_on_unchanged(self):
        # A raised soft limit would cost a tool under a tight address-space limit its threads.
        bin_curl = self.install_shim("bin/curl")
        env = self.environment(path=self.path("bin") + ":" + self.real_dir)
        rows = [
            # caller's (soft, hard), which the real tool gets
            (8 * MIB, UNLIMITED),
            (64 * MIB, UNLIMITED),
            (8 * MIB, 10 * MIB),
            (16 * MIB, UNLIMITED),
            (UNLIMITED, UNLIMITED),
            (1 * MIB, 1 * MIB),
            (1 * MIB, 32 * MIB),
        ]
        for caller in rows:
            with self.subTest(caller=caller):
                self.forget_records()

                def prepare(limits=caller):
                    resource.setrlimit(resource.RLIMIT_STACK, limits)

                direct = self.launch(self.real_curl, env=env, preexec_fn=prepare)
                completed = self.launch(bin_curl, argv0="curl", env=env, preexec_fn=prepare)
                self.assertEqual((direct.returncode, completed.returncode), (0, 0))
                self.assertEqual(completed.stderr, b"")
                direct_record, through = self.records()
                self.assertEqual(direct_record.stack, caller)
                self.assertEqual(through.stack, caller)


class ExitStatus(ShimCase):
    def test_real_tools_status_is_the_callers(self):
        bin_curl = self.install_shim("bin/curl")
        for status in (0, 1, 3, 127, 255):
            with self.subTest(status=status):
                env = self.environment(path=self.path("bin") + ":" + self.real_dir,
                                       RECORDER_STATUS=str(status))
                completed = self.launch(bin_curl, argv0="curl", args=["-f"], env=env)
                self.assertEqual(completed.returncode, status)
                self.assertEqual(completed.stderr, b"")


class Installation(ShimCase):
    """Installed in a directory ahead of the real tool, under a name and by a kind of link."""

    def test_names_and_links(self):
        rows = [
            # installed name, how, argument 0, tool expected
            ("curl", "copy", "curl", "curl"),
            ("wget", "copy", "wget", "wget"),
            ("my-wget-shim", "copy", "my-wget-shim", "wget"),
            ("curl", "symlink", "curl", "curl"),
            ("wget", "symlink", "wget", "wget"),
            ("curl", "relative-symlink", "curl", "curl"),
            ("wget", "relative-symlink", None, "wget"),
            ("curl", "hardlink", "curl", "curl"),
            ("wget", "hardlink", None, "wget"),
        ]
        for index, (name, how, argv0, tool) in enumerate(rows):
            with self.subTest(name=name, how=how, argv0=argv0):
                bin_dir = "bin%d" % index
                installed = self.install_shim(bin_dir + "/" + name, how)
                env = self.environment(path=self.path(bin_dir) + ":" + self.real_dir)
                self.forget_records()
                completed = self.launch(installed, argv0=argv0, args=["--version"], env=env)
                self.assert_reached(completed, os.path.join(self.real_dir, tool), ["--version"])

    def test_symlink_to_a_symlink_run_from_its_directory(self):
        self.install_shim("lib/curl", "relative-symlink")
        self.mkdir("bin")
        os.symlink("../lib/curl", self.path("bin", "curl"))
        env = self.environment(path=self.path("bin") + ":" + self.path("lib") + ":" + self.real_dir)
        completed = self.launch("./curl", args=["-s"], env=env, cwd=self.path("bin"))
        self.assert_reached(completed, self.real_curl, ["-s"])


class ToolName(ShimCase):
    def test_tool_is_chosen_from_argument_zero(self):
        env = self.environment(path=self.real_dir)
        rows = [
            ("wget", "wget"), ("/usr/local/bin/wget", "wget"), ("wget2", "wget"),
            ("my-wget-shim", "wget"), ("./wget", "wget"), ("/opt/wget/", "wget"),
            ("WGET", "curl"), ("/opt/wget/curl", "curl"), ("curl", "curl"), ("fetch", "curl"),
            ("", "curl"), ("/", "curl"), ("//wget//", "wget"), (b"\xffwget\xfe", "wget"),
        ]
        for argv0, tool in rows:
            with self.subTest(argv0=argv0):
                self.forget_records()
                completed = self.launch(self.shim, argv0=argv0, env=env)
                self.assert_reached(completed, os.path.join(self.real_dir, tool))


if __name__ == "__main__":
    harness.main()
