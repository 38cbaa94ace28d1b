"""larderbox-path against the shim itself: every address it prints is the one the shim redirects
to, through curl and wget; plus its --file paths and its usage errors."""

import os
import unittest

from tools_support import (PATH_BIN, SYSTEM_PATH, StaticServer, ToolCase, cache_address, run,
                           stored_path)

# (server value, how the URL is given to the shim, URL, cache address or None where the table has
# no row). "arg" is a URL-looking argument, "--url" a separate value, "--url=" the joined form.
ADDRESSES = [
    (b"http://c:8080", "arg", b"http://h/a/b.tar.gz",
     b"http://c:8080/b/aHR0cDovL2gvYS9iLnRhci5neg/b.tar.gz"),
    (b" http://c:8080//\n", "arg", b"http://h/a/b.tar.gz",
     b"http://c:8080/b/aHR0cDovL2gvYS9iLnRhci5neg/b.tar.gz"),
    (b"http://c:8080/cache/", "arg", b"https://h/a/b.tar.gz?x=1#f",
     b"http://c:8080/cache/b/aHR0cHM6Ly9oL2EvYi50YXIuZ3o_eD0xI2Y/b.tar.gz"),
    (b"http://c", "arg", b"http://h", b"http://c/b/aHR0cDovL2g/h"),
    (b"http://c", "arg", b"http://h/", b"http://c/b/aHR0cDovL2gv/h"),
    (b"http://c", "--url=", b"", b"http://c/b//download"),
    (b"http://c", "--url", b"h/x.tgz", b"http://c/b/aC94LnRneg/x.tgz"),
    (b"", "arg", b"http://h/a", b"/b/aHR0cDovL2gvYQ/a"),
    (b" / ", "arg", b"http://h/a", b"/b/aHR0cDovL2gvYQ/a"),
    (b"http://c/ /", "arg", b"http://h/a", b"http://c/ /b/aHR0cDovL2gvYQ/a"),
    # Beyond the table: every URL length modulo 3, trimming of tabs and CRs, query and fragment
    # only inside the encoding, bytes that are never escaped, and the "--url" forms with odd values.
    (b"\t\r http://c:8080///\t", "arg", b"http://h/ab", None),
    (b"http://c", "arg", b"http://h/abc", None),
    (b"http://c", "arg", b"http://h/p#a/b?c", None),
    (b"http://c", "arg", b"ftp://h/dir//", None),
    (b"http://c", "arg", b"http://h:8080/?q=/x", None),
    (b"http://c", "arg", b"http://h/a%20b.txt", None),
    (b"http://c", "arg", b"http://h/\xc3\xa9 t.txt", None),
    (b"http://c/with space/", "arg", b"http://h/~~~", None),
    (b"http://c", "--url=", b"?x", None),
    (b"http://c", "--url", b"///", None),
    (b"http://c", "--url", b"-not-an-option", None),
]

FAKE_REAL_TOOL = """#!/bin/sh
# The probe (curl's -I, wget's --spider) always hits; the hand-over records its arguments.
for argument; do
  case $argument in -I | --spider) exit 0 ;; esac
done
printf '%%s\\000' "$@" > %s
"""


def shim_arguments(tool, form, url):
    # wget names its file after the cache address unless -O names it: without it, URLs with a
    # query, no path or a trailing slash are never redirected.
    output = [b"-O", b"out"] if tool == "wget" else []
    if form == "arg":
        return output + ([b"-q", url] if tool == "wget" else [b"-fsS", url, b"-o", b"out"])
    if form == "--url":
        return output + [b"--url", url]
    return output + [b"--url=" + url]


def redirected_scheme(url):
    return url.lower().startswith((b"http://", b"https://"))


class AgreementTest(ToolCase):
    def setUp(self):
        super().setUp()
        self.record = self.path("argv")
        self.fakes = {}
        for tool in ("curl", "wget"):
            fake = self.write_file("real/" + tool, (FAKE_REAL_TOOL % self.record).encode(), 0o755)
            self.fakes[tool] = fake

    def shim_address(self, tool, server, form, url):
        """The URL argument that the real tool got from the shim run as `tool`."""
        if os.path.exists(self.record):
            os.unlink(self.record)
        arguments = shim_arguments(tool, form, url)
        env = {b"PATH": os.fsencode(self.shim_dir() + ":" + SYSTEM_PATH),
               b"REAL_" + tool.upper().encode(): os.fsencode(self.fakes[tool]),
               tool.upper().encode() + b"LARDERBOX_SERVER": server}
        result = run([os.path.join(self.shim_dir(), tool)] + arguments, env=env)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(self.record, "rb") as f:
            received = f.read().split(b"\0")[:-1]
        self.assertEqual(len(received), len(arguments))
        changed = [i for i, (a, b) in enumerate(zip(arguments, received)) if a != b]
        self.assertEqual(len(changed), 1, "the shim did not redirect exactly one argument")
        address = received[changed[0]]
        return address[len(b"--url="):] if form == "--url=" else address

    def test_addresses_agree_with_the_shim(self):
        for server, form, url, expected in ADDRESSES:
            with self.subTest(server=server, url=url):
                printed = run([PATH_BIN, "--server", server, "--", url])
                self.assertEqual(printed.returncode, 0, printed.stderr)
                self.assertTrue(printed.stdout.endswith(b"\n"))
                address = printed.stdout[:-1]
                if expected is not None:
                    self.assertEqual(address, expected)
                if not redirected_scheme(url):
                    continue  # the shim sends only http and https URLs to the cache
                # wget has no --url: it would refuse the option, and the shim leaves it alone.
                for tool in ("curl", "wget") if form == "arg" else ("curl",):
                    self.assertEqual(self.shim_address(tool, server, form, url), address, tool)

    def test_server_path_is_the_address_on_the_empty_server(self):
        for _, form, url, _ in ADDRESSES:
            with self.subTest(url=url):
                printed = run([PATH_BIN, "--", url])
                self.assertEqual(printed.returncode, 0, printed.stderr)
                if not redirected_scheme(url):
                    continue
                self.assertEqual(b"/" + printed.stdout[:-1],
                                 self.shim_address("curl", b"", form, url))


class OutputTest(ToolCase):
    def test_one_line_per_url_in_order(self):
        urls = [row[2] for row in ADDRESSES]
        together = run([PATH_BIN, "--server=http://c", "--"] + urls)
        self.assertEqual(together.returncode, 0, together.stderr)
        alone = [run([PATH_BIN, "--server", "http://c", "--", url]).stdout for url in urls]
        self.assertEqual(together.stdout, b"".join(alone))

    def test_batch_answers_every_url_of_standard_input(self):
        urls = [row[2] for row in ADDRESSES if b"\n" not in row[2]]
        bad = [b"http://h/a/..", b"http://h/a%00"]  # no file can hold them: empty answers
        for form in ([], ["--server", "http://c"], ["--file"]):
            alone = [run([PATH_BIN] + form + ["--", url]).stdout[:-1] for url in urls + bad]
            # (separator option, separator, whether the input ends with it)
            for option, separator, ended in ([], b"\n", True), ([], b"\n", False), \
                    (["-z"], b"\0", True):
                with self.subTest(form=form, option=option, ended=ended):
                    given = separator.join(urls + bad) + (separator if ended else b"")
                    result = run([PATH_BIN] + form + ["--stdin"] + option, input=given)
                    self.assertEqual(result.returncode, 1 if form == ["--file"] else 0)
                    self.assertEqual(result.stdout.split(separator)[:-1], alone)
        self.assertEqual(alone[-2:], [b"", b""])  # the last form, --file, has none for them
        for args in (["--stdin", "http://h/a"], ["-z", "http://h/a"], ["--stdin", "--check"]):
            self.assertEqual(run([PATH_BIN] + args, input=b"").returncode, 2, args)

    def test_url_goes_back_from_an_address(self):
        # The empty URL aside: its empty answer could not be told from none.
        urls = [row[2] for row in ADDRESSES if row[2] and b"\n" not in row[2]]
        for url in urls:
            address = run([PATH_BIN, "--server", "http://c/x", "--", url]).stdout[:-1]
            stored = run([PATH_BIN, "--file", "--", url])
            segment = address.split(b"/")[-2]
            for given in (address, b"b/" + segment, segment):
                with self.subTest(url=url, given=given):
                    back = run([PATH_BIN, "--url", "--", given])
                    self.assertEqual((back.returncode, back.stdout), (0, url + b"\n" +
                                                                      stored.stdout))
        # (address, why it is no URL's own): each gets two empty answers.
        seg = b"aHR0cDovL2gvYQ"  # http://h/a
        for given, why in [(b"b/%s/other" % seg, "another file name"),
                           (b"b/aHR0cDovL2gvYR/a", "bits past the last byte"),
                           (b"b/aHR0cDovL2gvY/a", "a length no encoding has"),
                           (b"b/aHR0c*ovL2gvYQ/a", "not base64url"),
                           (b"x/%s/a" % seg, "no b/ before the segment"),
                           (b"b/aHR0cDovL2gvYS8uLg/..", "no file can hold it")]:
            with self.subTest(why=why):
                back = run([PATH_BIN, "--url", "--stdin", "-z"], input=given + b"\0" +
                           b"b/%s/%%61\0" % seg)
                self.assertEqual((back.returncode, back.stdout.split(b"\0")),
                                 (1, [b"", b"", b"http://h/a", b"b/%s/a" % seg, b""]))

    def test_options_may_follow_urls(self):
        self.assertEqual(run([PATH_BIN, "http://h/a", "--server", "http://c"]).stdout,
                         b"http://c/b/aHR0cDovL2gvYQ/a\n")

    def test_file_decodes_percent_escapes_of_the_name(self):
        for url, name in [
            (b"http://h/a%20b.txt", b"a b.txt"),
            (b"http://h/%41%62c?x=%2F", b"Abc"),
            (b"http://h/%E2%82%ACx", b"\xe2\x82\xacx"),
            (b"http://h/a+b%zz%4", b"a+b%zz%4"),
            (b"http://h/%2e%2e%2e", b"..."),
        ]:
            with self.subTest(url=url):
                server_path = run([PATH_BIN, "--", url]).stdout[:-1]
                stored = run([PATH_BIN, "--file", "--", url])
                self.assertEqual(stored.returncode, 0, stored.stderr)
                directory = server_path[:server_path.rindex(b"/") + 1]
                self.assertEqual(stored.stdout, directory + name + b"\n")

    def test_file_refuses_names_that_are_not_one_file(self):
        for url in [b"http://h/a/..", b"http://h/.", b"http://h/%2E%2e", b"http://h/a%2Fb",
                    b"http://h/a%2fb", b"http://h/a%00", b"http://h/a%0Ab", b"http://h/a\nb"]:
            with self.subTest(url=url):
                # A good URL beside it: nothing is printed unless every line can be.
                result = run([PATH_BIN, "--file", "http://h/good", url])
                self.assertEqual(result.returncode, 1)
                self.assertEqual(result.stdout, b"")
                self.assertIn(b"larderbox-path: " + url + b": ", result.stderr)

    def test_line_feeds_are_never_printed(self):
        for args in [[b"--server", b"http://c\n/x", b"http://h/a"], [b"http://h/a\nb"]]:
            with self.subTest(args=args):
                result = run([PATH_BIN] + args)
                self.assertEqual((result.returncode, result.stdout), (1, b""))
                self.assertTrue(result.stderr.startswith(b"larderbox-path: "))

    def test_failed_output_is_an_error(self):
        # Every form writes through the one writer; --check writes a line at a time.
        for args, given in [(["http://h/a"], None), (["--url", "/b/aHR0cDovL2gvYQ/a"], None),
                            (["--stdin"], b"http://h/a\n"), (["--check", "http://h/a"], None)]:
            with self.subTest(args=args):
                with open("/dev/full", "wb") as full:
                    result = run([PATH_BIN] + args, env={"PATH": SYSTEM_PATH}, input=given,
                                 stdout=full)
                self.assertEqual(result.returncode, 1)
                self.assertIn(b"cannot write to standard output", result.stderr)


class UsageTest(ToolCase):
    def test_bad_usage_is_status_2_with_the_usage_line(self):
        for args in [[], ["--server"], ["--server", "http://c"], ["--bogus", "http://h/a"],
                     ["-x", "http://h/a"], ["--server", "a", "--server", "b", "http://h/a"],
                     ["--server", "a", "--file", "http://h/a"], ["--"]]:
            with self.subTest(args=args):
                result = run([PATH_BIN] + args)
                self.assertEqual(result.returncode, 2)
                self.assertEqual(result.stdout, b"")
                self.assertTrue(result.stderr.startswith(b"larderbox-path: "), result.stderr)
                self.assertIn(b"\nusage: larderbox-path [--server SERVER | --file] [--] URL...\n",
                              result.stderr)

    def test_help(self):
        for flag in ("--help", "-h"):
            with self.subTest(flag=flag):
                result = run([PATH_BIN, "http://h/a", flag])
                self.assertEqual(result.returncode, 0)
                self.assertTrue(result.stdout.startswith(b"usage: larderbox-path "))
                self.assertIn(b"--file", result.stdout)
                self.assertEqual(result.stderr, b"")

    def test_arguments_after_double_dash_are_urls(self):
        result = run([PATH_BIN, "--", "--help", "-x"])
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(len(result.stdout.splitlines()), 2)


class CheckTest(ToolCase):
    """--check against a served cache, with the shim first on PATH as a user has it."""

    def test_says_what_the_shim_would_do(self):
        held = "http://127.0.0.1:9/pkg/held.tgz"
        self.write_file("cache/" + stored_path(held), b"x")
        with StaticServer(self.path("cache")) as cache:
            server = cache.url()
            env = {"PATH": self.shim_dir() + ":" + SYSTEM_PATH, "LARDERBOX_SERVER": server}
            missing = "http://127.0.0.1:9/pkg/missing.tgz"
            rows = [
                # tool, URLs, environment, lines, status
                ("curl", [held], env, ["hit " + cache_address(server, held)], 0),
                ("wget", [held, missing], env,
                 ["hit " + cache_address(server, held),
                  "miss %s (probe exited 8)" % cache_address(server, missing)], 1),
                ("curl", [missing], env,
                 ["miss %s (probe exited 22)" % cache_address(server, missing)], 1),
                ("curl", ["http://u:p@127.0.0.1:9/x"], env, ["direct (credentials: userinfo)"],
                 1),
                ("curl", [held], {"PATH": env["PATH"]}, ["direct (no cache server)"], 1),
            ]
            for tool, urls, variables, lines, status in rows:
                with self.subTest(tool=tool, urls=urls):
                    checked = run([PATH_BIN, "--check", "--tool", tool, "--"] + urls,
                                  env=variables)
                    self.assertEqual((checked.returncode, checked.stderr), (status, b""))
                    self.assertEqual(checked.stdout.decode().splitlines(), lines)


if __name__ == "__main__":
    unittest.main()
