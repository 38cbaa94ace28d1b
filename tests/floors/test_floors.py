"""The floors of src/ hold: a file includes headers of its own floor and of lower ones only.

LARDERBOX_FLOORS names the floors lowest first, comma-separated; LARDERBOX_SOURCE_DIR is the tree.
Folders of src/ that are no floor (the companion tools) stand above them all and are not checked.
"""
import os
import re
import tempfile
import unittest

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"/]+)/[^"]*"', re.MULTILINE)


def sources(src, floor):
    folder = os.path.join(src, floor)
    for name in sorted(os.listdir(folder)):
        if name.endswith((".cc", ".h")):
            yield os.path.join(folder, name)


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


if __name__ == "__main__":
    unittest.main()
