"""The opt-in trace with the machine's real curl and wget: one whole line per run that reached a
decision, on standard error or appended to a file, and never a credential."""

import os
import stat
import subprocess

from harness import TIMEOUT
from cache_case import CACHE_BODY, ORIGIN_BODY, CacheCase, download_args


class Trace(CacheCase):
    def traced(self, tool, args, **variables):
        env = self.tool_env(LARDERBOX_TRACE="1", **variables)
        return self.through_shim(tool, args, env)

    def test_each_decision_is_one_line_on_standard_error(self):
        url, address = self.publish()
        missing = self.origin.url("/pkg/missing.tgz")
        self.origin.serve("/pkg/missing.tgz", ORIGIN_BODY)
        cache = self.cache.base()
        rows = [
            # tool, arguments, variables, the line, the body saved
            ("curl", download_args("curl", url), {"LARDERBOX_SERVER": cache},
             "hit %s -> %s" % (url, self.cache.url(address)), CACHE_BODY),
            ("wget", download_args("wget", url), {"LARDERBOX_SERVER": cache},
             "hit %s -> %s" % (url, self.cache.url(address)), CACHE_BODY),
            ("curl", download_args("curl", missing), {"LARDERBOX_SERVER": cache},
             "miss %s (probe exited 22)" % missing, ORIGIN_BODY),
            ("wget", download_args("wget", missing), {"LARDERBOX_SERVER": cache},
             "miss %s (probe exited 8)" % missing, ORIGIN_BODY),
            ("curl", download_args("curl", url), {}, "direct - (no cache server)", ORIGIN_BODY),
            ("wget", ["-q", "-O", "out", "--header=Cookie: a=1", url], {"LARDERBOX_SERVER": cache},
             "direct %s (header: Cookie)" % url, ORIGIN_BODY),
        ]
        for tool, args, variables, line, body in rows:
            with self.subTest(tool=tool, line=line):
                completed = self.traced(tool, args, **variables)
                self.assertEqual(completed.returncode, 0, completed.stderr)
                self.assertEqual(completed.stderr, b"larderbox: " + line.encode() + b"\n")
                self.assertEqual(self.output_file(), body)

    def test_userinfo_and_control_bytes_are_not_written(self):
        url = self.origin.url("/pkg/x").replace("http://", "http://alice:s3cret@") + "\n"
        completed = self.traced("curl", ["-s", "-o", "out", url],
                                LARDERBOX_SERVER=self.cache.base())
        self.assertNotIn(b"s3cret", completed.stderr)
        self.assertEqual(completed.stderr.count(b"\n"), 1, completed.stderr)
        self.assertRegex(completed.stderr,
                         rb"^larderbox: direct http://\*\*\*@127\.0\.0\.1:\d+/pkg/x%0A \(.+\)\n")
        self.assertEqual(self.cache.requests(), [])

    def test_parallel_runs_append_whole_lines_to_one_file(self):
        url, address = self.publish()
        trace = self.path("trace.log")
        env = self.tool_env(LARDERBOX_TRACE=trace, LARDERBOX_SERVER=self.cache.base())
        runs = [subprocess.Popen([self.path("bin", "curl"), "-fsS", "-o", "out%d" % i, url],
                                 env=env, cwd=self.case_dir, stdin=subprocess.DEVNULL,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
                for i in range(50)]
        for run in runs:
            _, stderr = run.communicate(timeout=TIMEOUT * 3)
            self.assertEqual((run.returncode, stderr), (0, b""))
        with open(trace, "rb") as f:
            lines = f.read().split(b"\n")
        self.assertEqual(lines[-1], b"")
        expected = ("larderbox: hit %s -> %s" % (url, self.cache.url(address))).encode()
        self.assertEqual(lines[:-1], [expected] * 50)
        self.assertEqual(stat.S_IMODE(os.stat(trace).st_mode), 0o600)


if __name__ == "__main__":
    import harness
    harness.main()
