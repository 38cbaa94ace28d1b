"""The floors of src/ hold: a file includes headers of its own floor and of lower ones only, and
the system-call floor alone talks to the kernel: no other file makes a raw syscall(), calls the C
library's system-call functions, reads errno or repeats a call on EINTR.

LARDERBOX_FLOORS names the floors lowest first, comma-separated; LARDERBOX_SOURCE_DIR is the tree.
The companion tools (src/tools, a folder per tool) are no floor: they stand above them all and may
include any, but they too talk to the kernel only through the system-call floor.
"""
import os
import re
import tempfile
import unittest

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"/]+)/[^"]*"', re.MULTILINE)
SYSTEM_CALL_FLOOR = "runtime/system_calls.cc"
# The C library's functions that are one system call each; the process exit's exit() is the C
# library's own ending, not one of them.
SYSTEM_CALLS = ("syscall", "read", "write", "readv", "writev", "open", "openat", "close", "stat",
                "fstat", "access", "faccessat", "ioctl", "fcntl", "pipe2", "dup2", "mmap",
                "munmap", "mremap", "sigaction", "sigprocmask", "clone", "execve", "wait4",
                "waitpid", "kill", "poll", "prctl", "getpid", "gettid", "getauxval", "_exit")
RAW_CALL = re.compile(r"(?<![\w.>:])(?:::)?(%s)\s*\(" % "|".join(SYSTEM_CALLS))
ERRNO = re.compile(r"\b(errno|EINTR)\b")
# Comments, string and character literals, and preprocessor lines: what is not code.
NOT_CODE = re.compile(r'//[^\n]*|/\*.*?\*/|"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'|^\s*#[^\n]*',
                      re.DOTALL | re.MULTILINE)


TOOLS = "tools"


def sources(src, floor):
    """The C++ files of a floor, or of every tool's folder below src/tools."""
    for parent, names, files in sorted(os.walk(os.path.join(src, floor))):
        names.sort()
        for name in sorted(files):
            if name.endswith((".cc", ".h")):
                yield os.path.join(parent, name)


def line_of(text, offset):
    return text.count("\n", 0, offset) + 1


def include_findings(src, floors):
    """Every #include of a higher floor, or of a folder that is no floor at all."""
    rank = {floor: position for position, floor in enumerate(floors)}
    findings = []
    for floor in floors:
        for path in sources(src, floor):
            with open(path, encoding="utf-8") as source:
                text = source.read()
            for match in INCLUDE.finditer(text):
                target = match.group(1)
                if rank.get(target, len(floors)) > rank[floor]:
                    findings.append("%s:%d: %s includes %s, above its floor" % (
                        os.path.relpath(path, os.path.dirname(src)), line_of(text, match.start()),
                        floor, match.group(0).split('"')[1]))
    return findings


def code_only(text):
    """`text` with what is not code blanked out, its line breaks kept."""
    return NOT_CODE.sub(lambda match: re.sub(r"[^\n]", " ", match.group(0)), text)


def system_call_findings(src, floors):
    """Every raw system call, errno read and EINTR outside the system-call floor."""
    findings = []
    for floor in floors + [TOOLS]:
        for path in sources(src, floor):
            relative = os.path.relpath(path, src)
            if relative == SYSTEM_CALL_FLOOR:
                continue
            with open(path, encoding="utf-8") as source:
                code = code_only(source.read())
            for pattern in (RAW_CALL, ERRNO):
                for match in pattern.finditer(code):
                    findings.append((relative, line_of(code, match.start()), match.group(1)))
    return ["src/%s:%d: %s outside %s" % (relative, line, name, SYSTEM_CALL_FLOOR)
            for relative, line, name in sorted(findings)]


class FloorsTest(unittest.TestCase):
    def setUp(self):
        self.floors = os.environ["LARDERBOX_FLOORS"].split(",")
        self.src = os.path.join(os.environ["LARDERBOX_SOURCE_DIR"], "src")

    def test_no_floor_includes_a_higher_one(self):
        self.assertEqual(include_findings(self.src, self.floors), [])

    def test_the_check_sees_an_include_from_above(self):
        # A check that finds nothing in any tree would pass the test above as well.
        with tempfile.TemporaryDirectory() as root:
            src = os.path.join(root, "src")
            for floor, text in (("low", '#include "low/a.h"\n  # include "high/b.h"\n'),
                                ("high", '#include "low/a.h"\n#include "tools/c.h"\n')):
                os.makedirs(os.path.join(src, floor))
                with open(os.path.join(src, floor, "file.cc"), "w") as out:
                    out.write(text)
            self.assertEqual(include_findings(src, ["low", "high"]), [
                "src/low/file.cc:2: low includes high/b.h, above its floor",
                "src/high/file.cc:2: high includes tools/c.h, above its floor"])

    def test_only_the_system_call_floor_talks_to_the_kernel(self):
        self.assertEqual(system_call_findings(self.src, self.floors), [])

    def test_the_check_sees_a_system_call_above_the_floor(self):
        code = ('#include <errno.h>  // for ENOENT\n'
                'int f() { /* errno */ return ::read(0, "errno", 1); }\n'
                'int g(File& file) { return file.read() + writeAll(1) + syscall(2); }\n'
                'int h() { while (x < 0 && errno == EINTR) {} }\n')
        with tempfile.TemporaryDirectory() as root:
            src = os.path.join(root, "src")
            for name in ("runtime/system_calls.cc", "runtime/other.cc", "tools/a-tool/main.cc"):
                os.makedirs(os.path.dirname(os.path.join(src, name)), exist_ok=True)
                with open(os.path.join(src, name), "w") as out:
                    out.write(code)
            floor = " outside " + SYSTEM_CALL_FLOOR
            self.assertEqual(system_call_findings(src, ["runtime"]), [
                "src/%s:%d: %s%s" % (path, line, name, floor)
                for path in ("runtime/other.cc", "tools/a-tool/main.cc")
                for line, name in ((2, "read"), (3, "syscall"), (4, "EINTR"), (4, "errno"))])


if __name__ == "__main__":
    unittest.main()
