"""Shared pieces of the fault tests, on top of the black-box harness of tests/support: the glibc build
with the allocation-failure seam, the real tools behind a recording wrapper, and the endings of a
run sorted into the few kinds the failure tables allow.

Environment (set by ctest): besides the harness's own variables, LARDERBOX_GLIBC_BIN, the glibc
sanitizer build, and TOOL_WRAPPER_BIN, the recording wrapper for the machine's real tools.
"""

import os
import shutil

import harness  # noqa: F401 (re-exported for the fault tests)
from cache_case import CacheCase
# Re-exported for the fault tests.
from cache_case import CACHE_BODY, ORIGIN_BODY, REAL, fake_tool_script  # noqa: F401
from harness import as_bytes, no_real_tool_message, read_available, read_records

LARDERBOX_GLIBC_BIN = os.environ.get("LARDERBOX_GLIBC_BIN", "")
TOOL_WRAPPER_BIN = os.environ.get("TOOL_WRAPPER_BIN", "")

OUT_OF_MEMORY = b"error: OutOfMemory\n"

# Kinds of ending, one letter each so that a whole series of runs reads as one word.
HANDED = "H"        # the real tool ran with the caller's arguments, the shim said nothing
REDIRECTED = "R"    # the real tool ran with the cache address in place of the URL
ERROR_EXIT = "O"    # "error: OutOfMemory", status 1, no real tool
SILENT_127 = "S"    # status 127 and not a byte written, no real tool
NO_REAL_TOOL = "N"  # the no-real-tool message and status 127


class FaultCase(CacheCase):
    """A cache case (the shim as bin/curl and bin/wget, an origin and a cache server) that can
    also run the glibc build and the real tools behind the wrapper."""

    def setUp(self):
        super().setUp()
        if not LARDERBOX_GLIBC_BIN or not TOOL_WRAPPER_BIN:
            self.fail("LARDERBOX_GLIBC_BIN and TOOL_WRAPPER_BIN must name the built executables")
        self.glibc_shim = self.path("store", "larderbox-glibc")
        shutil.copy2(LARDERBOX_GLIBC_BIN, self.glibc_shim)

    def install_wrapped_tool(self, relative, real):
        """The wrapper at `relative`, executing `real` and recording into `<relative>.records`."""
        target = self.install_recorder(relative)
        os.unlink(target)
        shutil.copy2(TOOL_WRAPPER_BIN, target)
        os.symlink(real, target + ".real")
        return target

    def wrapped_records(self, wrapper):
        return read_records(wrapper + ".records")

    def forget_wrapped_records(self, wrapper):
        if os.path.exists(wrapper + ".records"):
            os.unlink(wrapper + ".records")

    def launch_failing(self, executable, nth, argv0, args, env, **kwargs):
        """Runs the glibc build with its `nth` allocation failing; returns the completed run and
        whether that allocation happened at all."""
        report_read, report_write = os.pipe()
        env = dict(env)
        env["LARDERBOX_FAIL_ALLOCATION"] = str(nth)
        env["LARDERBOX_FAIL_ALLOCATION_FD"] = str(report_write)
        try:
            completed = self.launch(executable, argv0=argv0, args=args, env=env,
                                    pass_fds=(report_write,), **kwargs)
            os.close(report_write)
            report_write = None
            fired = read_available(report_read)
        finally:
            if report_write is not None:
                os.close(report_write)
            os.close(report_read)
        self.assertIn(fired, (b"", b"!"), "the seam fires once at most")
        return completed, fired == b"!", env

    def ending(self, completed, records, real_tool, args, redirected_args, tool="curl"):
        """The kind of ending of one run, failing the test for any ending the tables do not have.
        `records` are the real tool's records of this run (the probe's excluded)."""
        detail = "status %r, stderr %r" % (completed.returncode, completed.stderr[:300])
        self.assertGreaterEqual(completed.returncode, 0, "killed by a signal: " + detail)
        self.assertEqual(completed.stdout, b"", "the shim never writes to standard output")
        if not records:
            if (completed.returncode, completed.stderr) == (1, OUT_OF_MEMORY):
                return ERROR_EXIT
            if (completed.returncode, completed.stderr) == (127, b""):
                return SILENT_127
            if (completed.returncode, completed.stderr) == (127, no_real_tool_message(tool)):
                return NO_REAL_TOOL
            self.fail("an ending without the real tool that no table has: " + detail)
        self.assertEqual(len(records), 1, "the real tool runs once at most")
        self.assertEqual(completed.stderr, b"", "a run that reaches the real tool is silent")
        record = records[0]
        self.assert_only_standard_streams(record)
        got = record.args
        # Argument 0 is the real tool's path, or the caller's when it names the tool.
        if got[:1] == [as_bytes(real_tool)] or os.path.basename(got[0]) in (b"curl", b"wget"):
            if got[1:] == [as_bytes(a) for a in args]:
                return HANDED
            if redirected_args is not None and got[1:] == redirected_args:
                return REDIRECTED
        self.fail("the real tool got arguments that are neither the caller's nor the redirected "
                  "ones: %r" % got[:8])

    def assert_only_standard_streams(self, record):
        self.assertTrue(record.fds_available)
        self.assertEqual(sorted(record.fds), [0, 1, 2],
                         "descriptors leaked to the real tool: %r" % record.fds)
