"""Every way a run ends without the real tool: its message, byte for byte, and its status."""

import os
import resource
import signal
import termios

import harness
from harness import (UNSEARCHED_DIRECTORY, AddressSpaceSearch, ShimCase, address_space_limit,
                     broken_pipe, no_real_tool_message, read_available)

PLAIN_ERROR = b"error: OutOfMemory\n"
COLOURED_ERROR = b"\x1b[31m\x1b[1merror\x1b[0m\x1b[2m\x1b[1m: \x1b[0mOutOfMemory\n"


class NoRealTool(ShimCase):
    def test_message_and_status_for_every_reason(self):
        self.mkdir("empty")
        self.write_file("plain/curl", b"#!/bin/sh\n", mode=0o644)
        self.write_file("plain/wget", b"#!/bin/sh\n", mode=0o644)
        rows = [
            # label, PATH (None: unset), further variables
            ("PATH unset", None, {}),
            ("PATH empty", "", {}),
            ("only empty entries", ":::", {}),
            ("directory without the tool", self.path("empty"), {}),
            ("tool without execute permission", self.path("plain"), {}),
            ("missing directory", self.path("missing"), {}),
            ("real-tool variable unusable too", self.path("empty"),
             {"REAL_CURL": self.path("missing"), "REAL_WGET": self.path("missing")}),
        ]
        for tool in ("curl", "wget"):
            for label, path, variables in rows:
                with self.subTest(tool=tool, reason=label):
                    env = self.environment(path=path, **variables)
                    completed = self.launch(self.shim, argv0=tool, args=["http://127.0.0.1:9/"],
                                            env=env)
                    self.assert_no_real_tool(completed, tool)

    def test_message_bytes(self):
        # The exact wording: no blank between the tool and "larderbox:", the upper-case variable.
        self.assertEqual(no_real_tool_message("curl"),
                         b"curllarderbox: no real curl found on PATH (set $REAL_CURL)\n")
        completed = self.launch(self.shim, argv0="curl", env=self.environment(path=""))
        self.assertEqual(completed.stderr,
                         b"curllarderbox: no real curl found on PATH (set $REAL_CURL)\n")
        completed = self.launch(self.shim, argv0="my-wget-shim", env=self.environment())
        self.assertEqual(completed.stderr,
                         b"wgetlarderbox: no real wget found on PATH (set $REAL_WGET)\n")


class ExecFailure(ShimCase):
    def test_message_and_status_when_the_candidate_cannot_run(self):
        rows = [
            ("garbage with execute permission",
             lambda: self.write_file("garbage/curl", b"\x00\x01 not a program \xff" * 50, 0o755)),
            ("empty file with execute permission", lambda: self.write_file("zero/curl", b"", 0o755)),
            ("script for a missing interpreter",
             lambda: self.write_file("script/curl", b"#!/nonexistent/interpreter\n", 0o755)),
            ("truncated ELF header", lambda: self.write_file("elf/curl", b"\x7fELF\x02\x01", 0o755)),
        ]
        for label, make in rows:
            with self.subTest(label):
                candidate = make()
                directory = os.path.dirname(candidate)
                env = self.environment(path=directory + ":" + self.real_dir)
                completed = self.launch(self.shim, argv0="curl", args=["-s"], env=env)
                self.assert_cannot_exec(completed, candidate)

    def test_real_tool_variable_naming_a_file_that_cannot_run(self):
        garbage = self.write_file("somewhere/tool", b"\x00\x01 not a program", 0o755)
        env = self.environment(path=self.real_dir, REAL_CURL=garbage)
        completed = self.launch(self.shim, argv0="curl", env=env)
        self.assert_cannot_exec(completed, garbage)

    def test_path_bytes_are_written_as_they_stand(self):
        rows = [
            ("non-UTF-8 directory", b"caf\xe9\xff"),
            # Longer than the message buffer: the message must still arrive whole.
            ("long path", b"/".join([b"d" * 40] * 5)),
            ("doubled slash kept", b"trailing"),
        ]
        for label, relative in rows:
            with self.subTest(label):
                directory = os.path.join(os.fsencode(self.case_dir), relative)
                os.makedirs(directory, exist_ok=True)
                with open(directory + b"/curl", "wb") as garbage:
                    garbage.write(b"\x00\x01 not a program")
                os.chmod(directory + b"/curl", 0o755)
                entry = directory + b"/" if label == "doubled slash kept" else directory
                env = self.environment(path=entry + b":" + os.fsencode(self.real_dir))
                completed = self.launch(self.shim, argv0="curl", env=env)
                self.assert_cannot_exec(completed, entry + b"/curl")


class OutOfMemory(AddressSpaceSearch, ShimCase):
    """A low address-space limit set by the caller lets the shim start but fails its first
    anonymous mapping, so the run takes the error exit."""

    def run_starved(self, env, **kwargs):
        limit = self.lowest_starting_limit(env)
        return self.launch(self.shim, argv0="curl", env=env,
                           preexec_fn=address_space_limit(limit), **kwargs)

    def test_error_line_and_colour(self):
        rows = [
            # label, colour variables, expected line on a pipe
            ("no colour variables", {}, PLAIN_ERROR),
            ("CLICOLOR_FORCE", {"CLICOLOR_FORCE": "1"}, COLOURED_ERROR),
            ("CLICOLOR_FORCE=0 still forces", {"CLICOLOR_FORCE": "0"}, COLOURED_ERROR),
            ("NO_COLOR wins over CLICOLOR_FORCE", {"CLICOLOR_FORCE": "1", "NO_COLOR": "1"},
             PLAIN_ERROR),
            ("NO_COLOR empty", {"NO_COLOR": "", "CLICOLOR_FORCE": ""}, PLAIN_ERROR),
            ("names differing in case do not count", {"clicolor_force": "1", "NO_COLORS": "1"},
             PLAIN_ERROR),
        ]
        for label, variables, expected in rows:
            with self.subTest(label):
                env = self.environment(path=UNSEARCHED_DIRECTORY, **variables)
                completed = self.run_starved(env)
                self.assertEqual(completed.stderr, expected)
                self.assertEqual(completed.stdout, b"")
                self.assertEqual(completed.returncode, 1)
                # With room to allocate, the same run ends otherwise: the limit caused the error.
                roomy = self.launch(self.shim, argv0="curl", env=env,
                                    preexec_fn=address_space_limit(64 * 1024 * 1024))
                self.assertEqual(roomy.stderr, no_real_tool_message("curl"))
        self.assertEqual(len(PLAIN_ERROR), 19)
        self.assertEqual(len(COLOURED_ERROR), 44)

    def test_colour_on_a_terminal(self):
        rows = [
            ("terminal, no variables", {}, COLOURED_ERROR),
            ("terminal, NO_COLOR empty", {"NO_COLOR": ""}, PLAIN_ERROR),
        ]
        for label, variables, expected in rows:
            with self.subTest(label):
                controller, terminal = os.openpty()
                try:
                    attributes = termios.tcgetattr(terminal)
                    attributes[1] &= ~termios.OPOST  # bytes as written, no "\r\n"
                    termios.tcsetattr(terminal, termios.TCSANOW, attributes)
                    env = self.environment(path=UNSEARCHED_DIRECTORY, **variables)
                    completed = self.run_starved(env, stderr=terminal)
                    os.close(terminal)
                    terminal = None
                    self.assertEqual(completed.returncode, 1)
                    self.assertEqual(read_available(controller), expected)
                finally:
                    os.close(controller)
                    if terminal is not None:
                        os.close(terminal)

    def test_error_line_uses_the_callers_sigpipe_disposition(self):
        env = self.environment(path=UNSEARCHED_DIRECTORY)
        limit = self.lowest_starting_limit(env)
        rows = [
            # caller's SIGPIPE, expected status
            (signal.SIG_DFL, -signal.SIGPIPE),
            (signal.SIG_IGN, 1),
        ]
        for disposition, status in rows:
            with self.subTest(disposition=disposition):
                def prepare(handler=disposition):
                    signal.signal(signal.SIGPIPE, handler)
                    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

                stderr = broken_pipe()
                try:
                    completed = self.launch(self.shim, argv0="curl", env=env, stderr=stderr,
                                            preexec_fn=prepare, restore_signals=False)
                finally:
                    os.close(stderr)
                self.assertEqual(completed.returncode, status)


if __name__ == "__main__":
    harness.main()
