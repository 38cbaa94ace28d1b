"""Hostile input from the caller: every byte value, empty strings, very many arguments, very long
PATH values and entries, a cache server value as large as the system lets through, URLs with
shell and glob characters. Nothing may crash; without a redirect the real tool (the recorder)
gets the caller's bytes exactly, with one the cache address stands in place of the URL; where
the system's own limits are met, the run ends as the failure tables say.

Each case runs the shipped static executable and the glibc sanitizer build.
"""

import os
import resource

from faults import CACHE_BODY, ORIGIN_BODY, FaultCase, harness
from harness import cache_address

ALL_BYTES = bytes(range(1, 256))
# The kernel's limit on one argument or environment string, NUL included (MAX_ARG_STRLEN).
LONGEST_STRING = 32 * 4096
SERVER = b"http://127.0.0.1:9"


class InputCase(FaultCase):
    def setUp(self):
        super().setUp()
        self.shims = {"shipped": self.install_shim("bin/curl"),
                      "glibc": self.install_shim("glibc/curl", source=self.glibc_shim)}
        self.install_shim("bin/wget")
        self.install_shim("glibc/wget", source=self.glibc_shim)

    def env_for(self, build, variables=None, **more):
        shim_dir = os.path.dirname(self.shims[build])
        env = self.environment(path=shim_dir + ":" + self.real_dir, **more)
        env.update(variables or {})
        return env

    def each_build(self):
        for build, shim in self.shims.items():
            with self.subTest(build=build):
                yield build, shim

    def reach(self, shim, args, env, expected_args=None, argv0="curl", real=None):
        """Runs the shim; the recorder must have got `expected_args` (default: `args`), the
        environment exactly as given and only the standard streams."""
        self.forget_records()
        completed = self.launch(shim, argv0=argv0, args=args, env=env)
        record = self.assert_reached(completed, real or self.real_curl,
                                     args if expected_args is None else expected_args)
        self.assertEqual(record.env, [harness.as_bytes(k) + b"=" + harness.as_bytes(v)
                                      for k, v in env.items()])
        self.assert_only_standard_streams(record)
        return record


class EveryByte(InputCase):
    def test_arguments_and_environment(self):
        rows = [
            ("one argument of every byte", [ALL_BYTES], {}),
            ("every byte its own argument", [bytes([b]) for b in ALL_BYTES], {}),
            ("every byte in a value", [b"-s"], {b"ODD": ALL_BYTES}),
            ("every byte but = in a name", [b"-s"], {ALL_BYTES.replace(b"=", b""): b"x"}),
            ("every byte in the real-tool variable", [b"-s"], {b"REAL_CURL": ALL_BYTES}),
            ("a URL of every byte without a server", [b"http://h/" + ALL_BYTES], {}),
        ]
        for build, shim in self.each_build():
            for label, args, variables in rows:
                with self.subTest(label):
                    self.reach(shim, args, self.env_for(build, variables))

    def test_program_name_of_every_byte(self):
        # The last component runs from after the "/" (byte 47) to the end.
        for build, shim in self.each_build():
            for argv0, real in ((ALL_BYTES, self.real_curl), (ALL_BYTES + b"wget", self.real_wget)):
                with self.subTest(argv0=argv0[-8:]):
                    self.reach(shim, [b"-s"], self.env_for(build), argv0=argv0, real=real)

    def test_urls_of_every_byte_are_redirected_as_they_stand(self):
        # The recorder answers every probe with 0: each run redirects. -g, for the URLs hold
        # brackets, which curl would otherwise glob.
        rows = [
            ("after the scheme", [b"-go", b"x", b"http://h/" + ALL_BYTES]),
            ("after --url", [b"-g", b"--url", b"http://h/" + ALL_BYTES]),
            ("after --url=", [b"-g", b"--url=http://h/" + ALL_BYTES]),
            ("after --", [b"-g", b"--", b"-x", b"HTTPS://h/" + ALL_BYTES]),
        ]
        for build, shim in self.each_build():
            for label, args in rows:
                with self.subTest(label):
                    url = args[-1][6:] if args[-1].startswith(b"--url=") else args[-1]
                    address = cache_address(SERVER + b"/", url)
                    last = b"--url=" + address if args[-1].startswith(b"--url=") else address
                    self.reach(shim, args, self.env_for(build, {b"LARDERBOX_SERVER": SERVER + b"/"}),
                               args[:-1] + [last])


class EmptyStrings(InputCase):
    def test_empty_arguments_and_values(self):
        empty_url = [b"", b"--url=", b""]
        rows = [
            # label, arguments, variables, arguments the recorder gets
            ("a thousand empty arguments", [b""] * 1000, {}, None),
            ("empty values everywhere", [b"", b"http://h/x", b""],
             {"REAL_CURL": "", "NO_COLOR": "", "": ""}, None),
            ("an empty server redirects to /b/", [b"", b"http://h/x", b""],
             {"LARDERBOX_SERVER": ""}, [b"", cache_address(b"", b"http://h/x"), b""]),
            ("an empty tool variable hides the general one", [b"http://h/x"],
             {"CURLLARDERBOX_SERVER": "", "LARDERBOX_SERVER": SERVER},
             [cache_address(b"", b"http://h/x")]),
            # No scheme, so not http or https: the caller's arguments as they stand.
            ("an empty --url= value", empty_url, {"LARDERBOX_SERVER": SERVER}, None),
            ("--url with an empty value", [b"--url", b""], {"LARDERBOX_SERVER": SERVER}, None),
            ("a server of blanks and slashes", [b"http://h/x"], {"LARDERBOX_SERVER": " / \t\n"},
             [cache_address(b"", b"http://h/x")]),
            ("a blank uncovered by the slashes stays", [b"http://h/x"],
             {"LARDERBOX_SERVER": "http://c/ /"}, [b"http://c/ " + cache_address(b"", b"http://h/x")]),
        ]
        for build, shim in self.each_build():
            for label, args, variables, expected in rows:
                with self.subTest(label):
                    self.reach(shim, args, self.env_for(build, variables), expected)

    def test_empty_path_entries_are_skipped(self):
        for build, shim in self.each_build():
            shim_dir = os.path.dirname(shim)
            env = self.environment(path="::" + shim_dir + ":::" + self.real_dir + "::")
            self.reach(shim, [b"-s"], env)


class Sizes(InputCase):
    def test_a_hundred_thousand_arguments(self):
        args = [b"a%d" % i if i % 3 else b"" for i in range(100000)]
        url = b"http://h/last.tgz"
        for build, shim in self.each_build():
            with self.subTest("passed on"):
                self.reach(shim, args, self.env_for(build))
            with self.subTest("the last one redirected"):
                self.reach(shim, args + [url], self.env_for(build, {b"LARDERBOX_SERVER": SERVER}),
                           args + [cache_address(SERVER, url)])

    def test_a_hundred_thousand_environment_entries(self):
        # Empty values keep the block under the caller's own limit; the variables the shim reads
        # come last, behind every entry it has to pass.
        for build, shim in self.each_build():
            env = {b"E%d" % i: b"" for i in range(100000)}
            env.update(self.env_for(build, {b"LARDERBOX_SERVER": SERVER}))
            self.reach(shim, [b"http://h/x"], env, [cache_address(SERVER, b"http://h/x")])

    def test_long_path_values_and_entries(self):
        # One environment string holds 128 KiB at most: the entries are as short, or as few, as
        # that needs.
        long_entry = "/" + "e" * 4095  # a whole path buffer: every candidate is too long
        rows = [
            ("ten thousand entries before the real tool",
             ":".join("/m/%d" % i for i in range(10000))),
            ("entries of 4,096 bytes before the real tool", ":".join([long_entry] * 30)),
            ("entries one byte short of the buffer", ":".join(["/" + "e" * 4090] * 30)),
        ]
        for build, shim in self.each_build():
            shim_dir = os.path.dirname(shim)
            for label, before in rows:
                with self.subTest(label):
                    env = self.environment(path=before + ":" + shim_dir + ":" + self.real_dir)
                    self.reach(shim, [b"-s"], env)
            with self.subTest("only entries too long to name a file"):
                self.forget_records()
                completed = self.launch(shim, argv0="curl", args=[b"-s"],
                                        env=self.environment(path=":".join([long_entry] * 10)))
                self.assert_no_real_tool(completed)
            with self.subTest("a real-tool variable too long to name a file"):
                self.reach(shim, [b"-s"], self.env_for(build, {"REAL_CURL": "/" + "r" * 8000}))

    def test_cache_server_values_up_to_the_system_limit(self):
        url = b"http://h/x.tgz"
        variable = b"LARDERBOX_SERVER="
        largest = SERVER + b"/" + b"s" * (LONGEST_STRING - len(variable) - len(SERVER) - 2)
        for build, shim in self.each_build():
            with self.subTest("1 MiB is refused by the system before the shim starts"):
                env = self.env_for(build, {b"LARDERBOX_SERVER": b"s" * harness.MIB})
                with self.assertRaises(OSError) as refused:
                    harness.run_program([b"curl", url], shim, env)
                self.assertEqual(refused.exception.errno, 7)  # E2BIG
            with self.subTest("an address that fits is used"):
                server = SERVER + b"/" + b"s" * 60000
                self.reach(shim, [url], self.env_for(build, {b"LARDERBOX_SERVER": server}),
                           [cache_address(server, url)])
            with self.subTest("the largest value: the probe cannot be executed, no redirect"):
                self.reach(shim, [url], self.env_for(build, {b"LARDERBOX_SERVER": largest}))

    def at_the_system_limit(self, build, argv0, url, variables):
        """A run whose environment is padded by `padding` bytes under a 16 MiB stack limit, which
        caps arguments and environment together at 4 MiB and which the shim hands on unchanged;
        and the largest padding with which the caller can still execute the shim."""
        stack = limited_stack(16 * harness.MIB)

        def run(padding):
            env = self.env_for(build, variables)
            for i in range(padding // 100000):
                env[b"PAD%d" % i] = b"p" * 100000
            env[b"PAD"] = b"p" * (padding % 100000)
            self.forget_records()
            return harness.run_program([argv0, url], self.shims[build], env, preexec_fn=stack)

        low, high = 0, 8 * harness.MIB
        while high - low > 1:
            middle = (low + high) // 2
            try:
                run(middle)
                low = middle
            except OSError:
                high = middle
        return run, low

    def test_a_redirect_too_large_to_execute_falls_back_to_the_callers_url(self):
        # The cache address is a third longer than the URL, so only the redirect does not fit; the
        # caller's own vector does (argument 0 is the real tool's path, and 256 bytes are left for
        # the program paths, which the kernel counts too).
        url = b"http://h/x?" + b"q" * 90000
        for build, _ in self.each_build():
            run, largest = self.at_the_system_limit(build, os.fsencode(self.real_curl), url,
                                                    {b"LARDERBOX_SERVER": SERVER})
            with self.subTest("with room to spare the redirect is used"):
                self.assert_reached(run(largest - 65536), self.real_curl,
                                    [cache_address(SERVER, url)])
            with self.subTest("at the limit the caller's URL is used"):
                self.assert_reached(run(largest - 256), self.real_curl, [url])

    def test_a_real_tool_path_too_long_for_the_callers_limit(self):
        # Argument 0 grows from one byte to the real tool's path: the exec itself is refused.
        for build, _ in self.each_build():
            run, largest = self.at_the_system_limit(build, b"c", b"http://h/x", {})
            self.assert_cannot_exec(run(largest), self.real_curl)
            self.assert_reached(run(largest - 4096), self.real_curl, [b"http://h/x"])


def limited_stack(size):
    def prepare():
        resource.setrlimit(resource.RLIMIT_STACK, (size, size))
    return prepare


class Characters(InputCase):
    def test_glob_and_shell_characters_in_urls(self):
        urls = [b"http://h/a[1-2].tgz", b"http://h/{a,b}.tgz", b"http://h/with space.tgz",
                b"http://[::1]:8080/x", b"http://h/$(id)`id`;|&*?.tgz", b"http://h/%00%20x",
                b"http://h/a'b\"c\\d"]
        for build, shim in self.each_build():
            for url in urls:
                with self.subTest(url=url):
                    args = [b"-g", b"-o", b"out", url]
                    self.reach(shim, args, self.env_for(build),)
                    self.reach(shim, args, self.env_for(build, {b"LARDERBOX_SERVER": SERVER}),
                               args[:-1] + [cache_address(SERVER, url)])


class CharactersWithRealTools(FaultCase):
    """The same characters through the machine's curl and wget, with an origin and a cache that
    both serve the file: whatever the tool makes of the cache address, a download that works
    without the shim works with it, from the cache or from the origin, and one that does not ends
    as it does without the shim."""

    def test_downloads_still_succeed(self):
        names = ["a[1].tgz", "{a,b}.tgz", "with space.tgz", "semi;colon&amp.tgz"]
        for tool in ("curl", "wget"):
            for name in names:
                with self.subTest(tool=tool, name=name):
                    self.forget_traffic()
                    url, _ = self.publish("/pkg/" + name)
                    # curl reads brackets and braces as globs unless told not to.
                    args = (["-g", "-fsS", "-o", "out", url] if tool == "curl"
                            else ["-q", "-t", "1", "-O", "out", url])
                    env = self.tool_env(LARDERBOX_SERVER=self.cache.base())
                    direct = self.direct(tool, args, env)
                    direct_body = self.output_file()
                    completed = self.through_shim(tool, args, env, timeout=30)
                    if direct.returncode == 0:
                        self.assertEqual(direct_body, ORIGIN_BODY)
                        self.assertEqual((completed.returncode, completed.stderr), (0, b""))
                        self.assertIn(self.output_file(), (ORIGIN_BODY, CACHE_BODY))
                    else:
                        # A name the tool itself refuses or alters: its own ending, unchanged.
                        self.assertEqual((completed.returncode, completed.stderr),
                                         (direct.returncode, direct.stderr))
                        self.assertEqual(self.output_file(), direct_body)


if __name__ == "__main__":
    harness.main()
