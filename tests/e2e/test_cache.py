"""The cache redirect end to end, with the machine's real curl and wget: an origin and a cache
server on 127.0.0.1 serve different bytes for the same download, so every test can tell where the
bytes came from, and both log every request so the tests can see what the probe sent."""

import hashlib
import os
import pwd
import subprocess
import time

import harness
from cache_case import (CACHE_BODY, NAME, ORIGIN_BODY, REAL, SYSTEM_PATH, CacheCase,
                        download_args, fake_tool_script)
from harness import MIB, TIMEOUT, cache_address
from http_servers import Answer, ProxyServer, SilentServer, unused_port

# Long enough for the probe's 5-second limit plus the download on a loaded machine.
SLOW_TIMEOUT = 30
# The probe's own limit is 5 s; a fallback that is not "at once" takes about that long.
PROMPT = 2.5


def tool_user_agent(tool):
    """The User-Agent the tool sends when nobody chose one, from its version line."""
    first = subprocess.run([REAL[tool], "--version"], capture_output=True, timeout=TIMEOUT,
                           check=True).stdout.split(b"\n", 1)[0].decode()
    words = first.split()
    return "curl/" + words[1] if tool == "curl" else "Wget/" + words[2]


class Hit(CacheCase):
    def test_a_cached_file_is_downloaded_from_the_cache(self):
        dead = "http://127.0.0.1:%d" % unused_port()
        cache = self.cache.base()
        rows = [
            # label, tool, arguments ({url}: the origin URL), variables ({cache}, {dead}), prefix
            ("curl, URL last", "curl", ["-fsSL", "-o", "out", "{url}"],
             {"LARDERBOX_SERVER": "{cache}"}, ""),
            ("curl --url URL", "curl", ["-sS", "--url", "{url}", "-o", "out"],
             {"LARDERBOX_SERVER": "{cache}"}, ""),
            ("curl, URL after --", "curl", ["-fsS", "-o", "out", "--", "{url}"],
             {"LARDERBOX_SERVER": "{cache}"}, ""),
            ("wget", "wget", ["-q", "-O", "out", "{url}"], {"LARDERBOX_SERVER": "{cache}"}, ""),
            ("CURLLARDERBOX_SERVER", "curl", ["-fsSL", "-o", "out", "{url}"],
             {"CURLLARDERBOX_SERVER": "{cache}"}, ""),
            ("WGETLARDERBOX_SERVER", "wget", ["-q", "-O", "out", "{url}"],
             {"WGETLARDERBOX_SERVER": "{cache}"}, ""),
            ("tool variable wins over LARDERBOX_SERVER", "curl", ["-fsS", "-o", "out", "{url}"],
             {"LARDERBOX_SERVER": "{dead}", "CURLLARDERBOX_SERVER": "{cache}"}, ""),
            ("wget's variable wins too", "wget", ["-q", "-O", "out", "{url}"],
             {"LARDERBOX_SERVER": "{dead}", "WGETLARDERBOX_SERVER": "{cache}"}, ""),
            ("trailing slashes and blanks", "curl", ["-fsS", "-o", "out", "{url}"],
             {"LARDERBOX_SERVER": " \t{cache}///\r\n"}, ""),
            ("path prefix", "curl", ["-fsS", "-o", "out", "{url}"],
             {"LARDERBOX_SERVER": "{cache}/cache/"}, "/cache"),
            ("wget, path prefix", "wget", ["-q", "-O", "out", "{url}"],
             {"LARDERBOX_SERVER": "{cache}/cache/"}, "/cache"),
        ]
        for label, tool, template, variables, prefix in rows:
            with self.subTest(label):
                self.forget_traffic()
                url, address = self.publish(prefix=prefix)
                args = [a.format(url=url) for a in template]
                env = self.tool_env(**{k: v.format(cache=cache, dead=dead)
                                       for k, v in variables.items()})
                completed = self.through_shim(tool, args, env)
                self.assert_downloaded_from(completed, CACHE_BODY)
                self.assertEqual(completed.stdout, b"")
                # The probe's HEAD (wget's spider sends HEAD too), then the download itself.
                self.assertEqual(self.cache.requests(), [("HEAD", address), ("GET", address)])
                self.assertEqual(self.origin.requests(), [])

    def test_query_and_fragment_are_part_of_the_address(self):
        url, address = self.publish(url_path="/pkg/" + NAME + "?x=1#f")
        self.assertEqual(url.rsplit("/", 1)[1], NAME + "?x=1#f")
        completed = self.through_shim("curl", ["-fsS", "-o", "out", url],
                                      self.tool_env(LARDERBOX_SERVER=self.cache.base()))
        self.assert_downloaded_from(completed, CACHE_BODY)
        self.assertEqual(self.cache.requests(), [("HEAD", address), ("GET", address)])
        self.assertEqual(self.origin.requests(), [])

    def test_url_equals_form_is_rewritten_in_place(self):
        # Neither real tool knows "--url=" (curl takes no "=" after long options, wget has no
        # --url): for curl the shim still probes and rewrites the element whole, and curl then
        # refuses it just as it refuses the caller's own element; wget's table does not know the
        # option, so the command line goes direct without a probe.
        url, address = self.publish()
        cache_address = self.cache.url(address)
        env = self.tool_env(LARDERBOX_SERVER=self.cache.base())
        fake = self.install_fake_tool("curl", probe_status=0, then="stop")
        fake_env = dict(env, PATH=self.path("bin") + ":" + self.path("fake") + ":" + SYSTEM_PATH)
        completed = self.through_shim("curl", ["--url=" + url, "-o", "out"], fake_env)
        self.assertEqual((completed.returncode, completed.stderr), (0, b""))
        self.assertEqual(self.read_case_file("probe-args").split(b"\0")[-2],
                         os.fsencode(cache_address))
        self.assertEqual(self.read_case_file("real-args"),
                         b"--url=" + os.fsencode(cache_address) + b"\0-o\0out\0")
        os.unlink(fake)
        for tool in ("curl", "wget"):
            with self.subTest(tool=tool):
                self.cache.forget()
                args = ["--url=" + url, "-o", "out"]
                direct = self.direct(tool, args, env)
                completed = self.through_shim(tool, args, env)
                probed = tool == "curl"
                self.assertEqual(self.cache.requests(), [("HEAD", address)] if probed else [])
                self.assertNotEqual(direct.returncode, 0)
                self.assertEqual(completed.returncode, direct.returncode)
                expected_stderr = direct.stderr.replace(
                    os.fsencode(url), os.fsencode(cache_address if probed else url))
                self.assertEqual(completed.stderr, expected_stderr)
                self.assertEqual(self.origin.requests(), [])
                self.assertIsNone(self.output_file())

    def test_only_the_first_url_is_redirected(self):
        url, address = self.publish()
        second = self.origin.url("/pkg/other.tgz")
        self.origin.serve("/pkg/other.tgz", b"other from the origin\n")
        self.cache.serve(cache_address("", second), b"other from the cache\n")
        completed = self.through_shim("curl", ["-fsS", "-o", "out", url, "-o", "second", second],
                                      self.tool_env(LARDERBOX_SERVER=self.cache.base()))
        self.assert_downloaded_from(completed, CACHE_BODY)
        self.assertEqual(self.output_file("second"), b"other from the origin\n")
        self.assertEqual(self.cache.requests(), [("HEAD", address), ("GET", address)])
        self.assertEqual(self.origin.requests(), [("GET", "/pkg/other.tgz")])


class Miss(CacheCase):
    def test_a_miss_falls_back_to_the_origin_after_one_probe(self):
        for tool in ("curl", "wget"):
            for status in (404, 403, 500):
                with self.subTest(tool=tool, status=status):
                    self.forget_traffic()
                    url, address = self.publish()
                    self.cache.answer(address, status, body=b"not cached\n")
                    env = self.tool_env(LARDERBOX_SERVER=self.cache.base())
                    completed = self.through_shim(tool, download_args(tool, url), env)
                    self.assert_downloaded_from(completed, ORIGIN_BODY)
                    self.assertEqual(self.cache.requests(), [("HEAD", address)])
                    self.assertEqual(self.origin.requests(), [("GET", "/pkg/" + NAME)])

    def test_a_cache_that_is_down_falls_back_at_once(self):
        dead = "http://127.0.0.1:%d" % unused_port()
        for tool in ("curl", "wget"):
            with self.subTest(tool=tool):
                self.forget_traffic()
                url, _ = self.publish()
                started = time.monotonic()
                completed = self.through_shim(tool, download_args(tool, url),
                                              self.tool_env(LARDERBOX_SERVER=dead))
                elapsed = time.monotonic() - started
                self.assert_downloaded_from(completed, ORIGIN_BODY)
                self.assertLess(elapsed, PROMPT)
                self.assertEqual(self.origin.requests(), [("GET", "/pkg/" + NAME)])

    def test_an_empty_tool_variable_hides_the_general_one(self):
        # The address then begins with "/b/", which the real curl refuses: an ordinary miss.
        url, _ = self.publish()
        env = self.tool_env(CURLLARDERBOX_SERVER="", LARDERBOX_SERVER=self.cache.base())
        completed = self.through_shim("curl", download_args("curl", url), env)
        self.assert_downloaded_from(completed, ORIGIN_BODY)
        self.assertEqual(self.cache.requests(), [])
        self.assertEqual(self.origin.requests(), [("GET", "/pkg/" + NAME)])


class SilentCache(CacheCase):
    """A cache that accepts the connection and never answers: the probe ends on its own 5-second
    limit, with one try, and the download goes to the origin."""

    def test_fallback_after_the_probe_limit(self):
        rows = [
            # tool, origin holds the file
            ("curl", True),
            ("wget", True),
            ("curl", False),
        ]
        for tool, present in rows:
            with self.subTest(tool=tool, origin_has_the_file=present):
                silent = self.start(SilentServer())
                self.forget_traffic()
                url, _ = self.publish()
                if not present:
                    del self.origin.files["/pkg/" + NAME]
                args = download_args(tool, url)
                env = self.tool_env(LARDERBOX_SERVER=silent.base())
                direct = self.direct(tool, args, env)
                direct_output = self.output_file()
                self.origin.forget()
                started = time.monotonic()
                completed = self.through_shim(tool, args, env, timeout=SLOW_TIMEOUT)
                elapsed = time.monotonic() - started
                self.assertGreaterEqual(elapsed, 4.5)
                self.assertLess(elapsed, 15)
                self.assertEqual(completed.returncode, direct.returncode)
                self.assertEqual(completed.stderr, direct.stderr)
                self.assertEqual(self.output_file(), direct_output)
                if present:
                    self.assertEqual(direct_output, ORIGIN_BODY)
                    self.assertEqual(completed.returncode, 0)
                else:
                    self.assertNotEqual(completed.returncode, 0)
                self.assertEqual(self.origin.requests(), [("GET", "/pkg/" + NAME)])
                self.assertEqual(silent.connection_count(), 1)


class ProbeRequest(CacheCase):
    """The probe carries none of the caller's options; the redirected download carries them all
    (credentials and other headers never get this far: such command lines are not redirected)."""

    ROWS = {
        "curl": ["-fsS", "-H", "Pragma: x-secret", "-A", "agent/9", "-o", "out"],
        "wget": ["-q", "--header", "Pragma: x-secret", "-U", "agent/9", "-O", "out"],
    }

    def test_callers_headers_stay_out_of_the_probe(self):
        for tool, options in self.ROWS.items():
            for hit in (True, False):
                with self.subTest(tool=tool, hit=hit):
                    self.forget_traffic()
                    url, address = self.publish()
                    if not hit:
                        self.cache.answer(address, 404)
                    env = self.tool_env(LARDERBOX_SERVER=self.cache.base())
                    completed = self.through_shim(tool, options + [url], env)
                    self.assert_downloaded_from(completed, CACHE_BODY if hit else ORIGIN_BODY)
                    log = self.cache.log()
                    self.assertEqual(log[0].method, "HEAD")
                    probe = log[0]
                    self.assertEqual(probe.header("Pragma"), [])
                    self.assertEqual(probe.header("Authorization"), [])
                    self.assertEqual(probe.header("User-Agent"), [tool_user_agent(tool)])
                    download = log[1] if hit else self.origin.log()[0]
                    self.assertEqual(len(log), 2 if hit else 1)
                    self.assertEqual(download.method, "GET")
                    self.assertEqual(download.header("Pragma"), ["x-secret"])
                    self.assertEqual(download.header("User-Agent"), ["agent/9"])


class StandardInput(CacheCase):
    def setUp(self):
        super().setUp()
        self.data = os.urandom(MIB)
        self.digest = hashlib.sha256(self.data).hexdigest()

    def test_uploads_from_stdin_reach_the_origin_whole(self):
        # Even for a URL the cache holds: an upload is never redirected, nor probed.
        rows = [
            ("PUT from -T -", "PUT", ["-fsS", "-T", "-"]),
            ("POST from --data-binary @-", "POST", ["-fsS", "--data-binary", "@-"]),
        ]
        for label, method, options in rows:
            with self.subTest(label):
                self.forget_traffic()
                url, _ = self.publish(url_path="/upload/blob.bin")
                env = self.tool_env(LARDERBOX_SERVER=self.cache.base())
                completed = self.through_shim("curl", options + [url], env, stdin=None,
                                              input=self.data)
                self.assertEqual((completed.returncode, completed.stderr), (0, b""))
                self.assertEqual(completed.stdout, b"received %d bytes\n" % MIB)
                uploads = [e for e in self.origin.log() if e.method == method]
                self.assertEqual([e.path for e in uploads], ["/upload/blob.bin"])
                self.assertEqual((uploads[0].body_length, uploads[0].body_sha256),
                                 (MIB, self.digest))
                self.assertEqual(self.cache.requests(), [])

    def test_probe_reads_nothing_of_the_callers_stdin(self):
        # A stand-in that reads its standard input to the end in the probe as well.
        for tool in ("curl", "wget"):
            for probe_status in (0, 1):
                with self.subTest(tool=tool, probe_status=probe_status):
                    self.forget_traffic()
                    fake = self.install_fake_tool(tool, probe_status=probe_status, then="stdin")
                    url, _ = self.publish()
                    env = self.tool_env(path=self.path("bin") + ":" + self.path("fake") + ":" +
                                        SYSTEM_PATH, LARDERBOX_SERVER=self.cache.base())
                    completed = self.through_shim(tool, download_args(tool, url), env, stdin=None,
                                                  input=self.data)
                    self.assertEqual((completed.returncode, completed.stderr), (0, b""))
                    self.assertEqual(self.read_case_file("probe-stdin-link"), b"/dev/null\n")
                    self.assertEqual(self.read_case_file("probe-stdin"), b"")
                    self.assertEqual(hashlib.sha256(self.read_case_file("real-stdin"))
                                     .hexdigest(), self.digest)
                    os.unlink(fake)


class ProbeEnvironment(CacheCase):
    def test_probe_gets_the_route_variables_only_and_the_real_tool_all_of_it(self):
        probe_options = {
            "curl": ["-q", "-g", "-fsS", "-I", "-m", "5", "-o", "/dev/null"],
            "wget": ["--no-config", "--no-netrc", "--spider", "-q", "-T", "5", "-t", "1"],
        }
        for tool in ("curl", "wget"):
            for empty_tool_variable in (False, True):
                with self.subTest(tool=tool, empty_tool_variable=empty_tool_variable):
                    self.forget_traffic()
                    fake = self.install_fake_tool(tool, probe_status=0, then="stop")
                    url, address = self.publish()
                    variable = tool.upper() + "LARDERBOX_SERVER"
                    env = self.tool_env(
                        path=self.path("bin") + ":" + self.path("fake") + ":" + SYSTEM_PATH,
                        HOME=self.path("home"), LANG="C.UTF-8", https_proxy="http://127.0.0.1:9",
                        LARDERBOX_SERVER=self.cache.base(),
                        **{"REAL_" + tool.upper(): fake})
                    if empty_tool_variable:
                        env[variable] = ""
                    args = download_args(tool, url)
                    completed = self.through_shim(tool, args, env)
                    self.assertEqual((completed.returncode, completed.stderr), (0, b""))
                    # Only the proxy and certificate variables, byte for byte: no PATH, HOME, LANG.
                    self.assertEqual(self.read_case_file("probe-environ"),
                                     b"https_proxy=http://127.0.0.1:9\0")
                    probed = ("" if empty_tool_variable else self.cache.base()) + address
                    self.assertEqual(self.read_case_file("probe-args"),
                                     b"".join(os.fsencode(a) + b"\0"
                                              for a in probe_options[tool] + [probed]))
                    self.assertEqual(self.read_case_file("probe-cwd"),
                                     os.fsencode(self.case_dir) + b"\n")
                    expected_env = b"".join(os.fsencode(k) + b"=" + os.fsencode(v) + b"\0"
                                            for k, v in env.items())
                    self.assertEqual(self.read_case_file("real-environ"), expected_env)
                    self.assertEqual(self.read_case_file("real-args"),
                                     b"".join(os.fsencode(a if a != url else probed) + b"\0"
                                              for a in args))
                    os.unlink(fake)

    def test_probe_runs_the_file_the_hand_over_runs(self):
        # REAL_CURL without a slash: execve takes it from the working directory, so must the probe.
        for tool in ("curl", "wget"):
            with self.subTest(tool=tool):
                self.forget_traffic()
                fake = self.write_file(tool, fake_tool_script(tool, self.case_dir, then="stop")
                                       .encode(), mode=0o755)
                url, address = self.publish()
                env = self.tool_env(LARDERBOX_SERVER=self.cache.base(), **{"REAL_" + tool.upper(): tool})
                completed = self.through_shim(tool, download_args(tool, url), env)
                self.assertEqual((completed.returncode, completed.stderr), (0, b""))
                self.assertTrue(self.read_case_file("probe-args").endswith(
                    os.fsencode(self.cache.base() + address) + b"\0"))
                self.assertIn(os.fsencode(self.cache.base() + address),
                              self.read_case_file("real-args"))
                self.assertEqual(self.cache.log(), [])  # the probe was the fake's, not a real tool's
                os.unlink(fake)

    def test_probe_takes_the_callers_proxy_as_the_download_does(self):
        proxy = self.start(ProxyServer())
        for tool in ("curl", "wget"):
            with self.subTest(tool=tool):
                self.forget_traffic(self.origin, self.cache, proxy)
                url, address = self.publish()
                env = self.tool_env(LARDERBOX_SERVER=self.cache.base(), http_proxy=proxy.base())
                completed = self.through_shim(tool, download_args(tool, url), env)
                self.assert_downloaded_from(completed, CACHE_BODY)
                self.assertEqual(proxy.requests(), [("HEAD", self.cache.url(address)),
                                                    ("GET", self.cache.url(address))])
                log = self.cache.log()
                self.assertEqual([(e.method, e.path, e.header("Via")) for e in log],
                                 [("HEAD", address, ["1.1 recording-proxy"]),
                                  ("GET", address, ["1.1 recording-proxy"])])
                self.assertEqual(self.origin.requests(), [])


class ProbeConfiguration(CacheCase):
    """With HOME unset curl and wget find the home directory through the passwd entry. There, in
    a private mount namespace (the real home stays untouched), the user names a user agent in a
    curlrc and a wgetrc, a harmless setting that keeps the hit: the real tool uses it, the probe
    must not."""

    FILES = {
        ".curlrc": b"user-agent = \"from-rc\"\n",
        ".wgetrc": b"user_agent = from-rc\ntries = 3\n",
    }
    # Mounts an empty file system over the home directory ($0), copies the files from $1 into
    # it and runs the rest; 97 tells that the mount or the copy failed.
    SCRIPT = ('mount -t tmpfs larderbox-home "$0" && cp -p "$1"/.[a-z]* "$0"/ || exit 97\n'
              'shift\nexec "$@"\n')

    def private_mount_namespace(self):
        """unshare's command line for a private mount namespace and the user id inside it, or a
        skip where none can be made."""
        refusal = b""
        for options, uid in ((["--mount"], os.getuid()), (["--map-root-user", "--mount"], 0)):
            command = ["unshare", "--propagation", "private"] + options
            try:
                tried = subprocess.run(command + ["true"], capture_output=True, timeout=TIMEOUT)
            except FileNotFoundError:
                self.skipTest("unshare is not installed")
            if tried.returncode == 0:
                return command, uid
            refusal = tried.stderr
        self.skipTest("no mount namespace can be made here: " + refusal.decode(errors="replace"))

    def test_probe_reads_no_user_configuration(self):
        namespace, uid = self.private_mount_namespace()
        home = pwd.getpwuid(uid).pw_dir
        if not os.path.isdir(home):
            self.skipTest("the passwd home directory %s does not exist" % home)
        for name, content in self.FILES.items():
            self.write_file("rc/" + name, content, mode=0o600)
        for tool in ("curl", "wget"):
            with self.subTest(tool=tool):
                self.forget_traffic()
                url, address = self.publish()
                env = self.tool_env(LARDERBOX_SERVER=self.cache.base())
                self.assertNotIn("HOME", env)
                completed = self.launch(
                    namespace[0], args=namespace[1:] + ["sh", "-c", self.SCRIPT, home,
                                                         self.path("rc"), self.path("bin", tool)]
                    + download_args(tool, url), env=env, cwd=self.case_dir)
                if completed.returncode == 97:
                    self.skipTest("cannot mount over %s: %s" % (home, completed.stderr))
                self.assert_downloaded_from(completed, CACHE_BODY)
                agents = [(e.method, e.header("User-Agent")) for e in self.cache.log()]
                self.assertEqual(agents, [("HEAD", [tool_user_agent(tool)]), ("GET", ["from-rc"])])


class NoServer(CacheCase):
    """Without a cache server for this tool nothing is scanned or probed."""

    ROWS = [
        # label, tool, variables
        ("nothing set", "curl", {}),
        ("lower-case name", "curl", {"larderbox_server": "{cache}"}),
        ("longer name", "curl", {"LARDERBOX_SERVERX": "{cache}"}),
        ("prefixed name", "curl", {"XLARDERBOX_SERVER": "{cache}"}),
        ("only wget's variable", "curl", {"WGETLARDERBOX_SERVER": "{cache}"}),
        ("only curl's variable", "wget", {"CURLLARDERBOX_SERVER": "{cache}"}),
        ("nothing set", "wget", {}),
    ]

    def test_arguments_pass_unchanged_and_no_probe_runs(self):
        for label, tool, variables in self.ROWS:
            with self.subTest(label, tool=tool):
                self.forget_traffic()
                self.forget_records()
                url, _ = self.publish()
                values = {k: v.format(cache=self.cache.base()) for k, v in variables.items()}
                args = download_args(tool, url) + ["--url", url]
                # The recorder as the real tool: a probe of it would succeed (it exits 0) and
                # change the arguments.
                recorded = self.through_shim(tool, args, self.tool_env(
                    path=self.path("bin") + ":" + self.real_dir, RECORDER_OUT=self.records_path,
                    **values))
                self.assert_reached(recorded, os.path.join(self.real_dir, tool), args)
                # The machine's tool: the cache sees nothing, the origin serves the download.
                completed = self.through_shim(tool, download_args(tool, url),
                                              self.tool_env(**values))
                self.assert_downloaded_from(completed, ORIGIN_BODY)
                self.assertEqual(self.cache.requests(), [])
                self.assertEqual(self.origin.requests(), [("GET", "/pkg/" + NAME)])


class ProbeOutput(CacheCase):
    """Whatever the probe writes goes nowhere: the caller sees only the real download."""

    def test_real_tools_probe_output_is_discarded(self):
        rows = [
            # label, tool, cache answer for HEAD at the address (None: plain hit), body expected
            ("curl, miss with an error line", "curl", Answer(404, [], b"x" * 10000), ORIGIN_BODY),
            ("curl, hit with 100 KB of headers", "curl",
             Answer(200, [("X-Filler-%03d" % i, "f" * 200) for i in range(500)], CACHE_BODY),
             CACHE_BODY),
            ("wget, miss", "wget", Answer(404, [], b"x" * 10000), ORIGIN_BODY),
            ("wget, hit with headers", "wget",
             Answer(200, [("X-Filler-%03d" % i, "f" * 200) for i in range(100)], CACHE_BODY),
             CACHE_BODY),
        ]
        for label, tool, answer, expected in rows:
            with self.subTest(label):
                self.forget_traffic()
                url, address = self.publish()
                self.cache.answers[("HEAD", address)] = answer
                args = ["-s", url] if tool == "curl" else ["-q", "-O", "-", url]
                completed = self.through_shim(tool, args,
                                              self.tool_env(LARDERBOX_SERVER=self.cache.base()))
                self.assertEqual(completed.returncode, 0)
                self.assertEqual(completed.stderr, b"")
                self.assertEqual(completed.stdout, expected)

    def test_megabytes_of_probe_output_are_drained_and_dropped(self):
        for tool in ("curl", "wget"):
            for probe_status, expected in ((0, CACHE_BODY), (1, ORIGIN_BODY)):
                with self.subTest(tool=tool, probe_status=probe_status):
                    self.forget_traffic()
                    fake = self.install_fake_tool(tool, probe_status=probe_status,
                                                  probe_output=4 * MIB)
                    url, _ = self.publish()
                    env = self.tool_env(path=self.path("bin") + ":" + self.path("fake") + ":" +
                                        SYSTEM_PATH, LARDERBOX_SERVER=self.cache.base())
                    args = ["-s", url] if tool == "curl" else ["-q", "-O", "-", url]
                    completed = self.through_shim(tool, args, env)
                    self.assertEqual((completed.returncode, completed.stderr), (0, b""))
                    self.assertEqual(completed.stdout, expected)
                    os.unlink(fake)


class ExitStatus(CacheCase):
    """Nothing about the cache changes how a run ends: the status, output and downloaded file
    are those of the real tool run directly."""

    def test_status_equals_the_real_tools_own(self):
        dead = "http://127.0.0.1:%d" % unused_port()
        no_url = {"curl": ["-fsS", "-o", "out"], "wget": ["-q", "-O", "out"]}
        conditions = [
            # label, server ({cache}, {dead}), the cache's status at the address (None: it holds
            # the file), arguments (a function of tool and URL), probe requests the cache sees
            ("no URL", "{cache}", None, lambda tool, url: no_url[tool], 0),
            ("URL without a scheme", "{cache}", None,
             lambda tool, url: download_args(tool, url[len("http://"):]), 0),
            ("cache down", "{dead}", None, download_args, 0),
            ("cache 404", "{cache}", 404, download_args, 1),
            ("cache 500", "{cache}", 500, download_args, 1),
        ]
        for tool in ("curl", "wget"):
            for label, server, status, make_args, seen in conditions:
                for present in (True, False):
                    with self.subTest(label, tool=tool, origin_has_the_file=present):
                        self.forget_traffic()
                        url, address = self.publish()
                        if status is not None:
                            self.cache.answer(address, status)
                        if not present:
                            del self.origin.files["/pkg/" + NAME]
                        args = make_args(tool, url)
                        env = self.tool_env(LARDERBOX_SERVER=server.format(
                            cache=self.cache.base(), dead=dead))
                        direct = self.direct(tool, args, env)
                        direct_output = self.output_file()
                        self.cache.forget()
                        completed = self.through_shim(tool, args, env)
                        self.assertEqual(completed.returncode, direct.returncode)
                        self.assertEqual(completed.stdout, direct.stdout)
                        self.assertEqual(completed.stderr, direct.stderr)
                        self.assertEqual(self.output_file(), direct_output)
                        self.assertEqual(self.cache.requests(), [("HEAD", address)] * seen)
                        # The rows really differ in how the real tool ends.
                        fetches = label != "no URL"
                        self.assertEqual(direct.returncode == 0, fetches and present)
                        if fetches and present:
                            self.assertEqual(direct_output, ORIGIN_BODY)

    def test_a_redirecting_cache_counts_as_a_hit_for_curl(self):
        # curl's probe does not follow the 302 and -f fails only from 400 on: the probe exits 0,
        # and the real curl is sent to the cache, where it gets the redirect itself. Without -L
        # the caller receives the redirect's page with status 0, even where the origin would have
        # failed; with -L it follows to the Location and ends as a direct run would.
        rows = [
            # options, origin holds the file, expected status, expected file
            (["-fsS"], True, 0, b"moved\n"),
            (["-fsS"], False, 0, b"moved\n"),
            (["-fsSL"], True, 0, ORIGIN_BODY),
            (["-fsSL"], False, 22, None),
        ]
        for options, present, status, expected in rows:
            with self.subTest(options=options, origin_has_the_file=present):
                self.forget_traffic()
                url, address = self.publish()
                self.cache.answer(address, 302, [("Location", url)], b"moved\n")
                if not present:
                    del self.origin.files["/pkg/" + NAME]
                completed = self.through_shim("curl", options + ["-o", "out", url],
                                              self.tool_env(LARDERBOX_SERVER=self.cache.base()))
                self.assertEqual(completed.returncode, status)
                self.assertEqual(self.output_file(), expected)
                self.assertEqual(self.cache.requests(), [("HEAD", address), ("GET", address)])
                followed = [("GET", "/pkg/" + NAME)] if "-fsSL" in options else []
                self.assertEqual(self.origin.requests(), followed)

    def test_a_redirecting_cache_is_followed_by_wget(self):
        # wget's spider follows the redirect: the probe's verdict is that of the Location, and a
        # hit downloads through the redirect, so the run ends as a direct run would.
        for present in (True, False):
            with self.subTest(origin_has_the_file=present):
                self.forget_traffic()
                url, address = self.publish()
                self.cache.answer(address, 302, [("Location", url)], b"moved\n")
                if not present:
                    del self.origin.files["/pkg/" + NAME]
                args = download_args("wget", url)
                env = self.tool_env(LARDERBOX_SERVER=self.cache.base())
                direct = self.direct("wget", args, env)
                direct_output = self.output_file()
                self.origin.forget()
                self.cache.forget()
                completed = self.through_shim("wget", args, env)
                self.assertEqual(completed.returncode, direct.returncode)
                self.assertEqual(completed.stderr, direct.stderr)
                self.assertEqual(self.output_file(), direct_output)
                if present:
                    self.assertEqual((completed.returncode, direct_output), (0, ORIGIN_BODY))
                    self.assertEqual(self.cache.requests(), [("HEAD", address), ("GET", address)])
                    self.assertEqual(self.origin.requests(),
                                     [("HEAD", "/pkg/" + NAME), ("GET", "/pkg/" + NAME)])
                else:
                    self.assertEqual(completed.returncode, 8)
                    self.assertEqual(self.cache.requests(), [("HEAD", address)])
                    self.assertEqual(self.origin.requests(),
                                     [("HEAD", "/pkg/" + NAME), ("GET", "/pkg/" + NAME)])


if __name__ == "__main__":
    harness.main()
