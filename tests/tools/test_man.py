"""The man pages render without a single warning."""

import os
import unittest

from tools_support import SOURCE_DIR, ToolCase, find_program, run

PAGES = ["larderbox.1", "larderbox-path.1", "larderbox-fill.1", "larderbox-cache.1", "larderbox-links.1"]


class ManPageTest(ToolCase):
    def test_pages_render_without_warnings(self):
        groff = find_program("groff")
        for page in PAGES:
            with self.subTest(page=page):
                path = os.path.join(SOURCE_DIR, "man", page)
                checked = run([groff, "-man", "-ww", "-z", path])
                self.assertEqual((checked.returncode, checked.stdout, checked.stderr),
                                 (0, b"", b""))
                # And they say something: the name line of each page is its own.
                text = run([groff, "-man", "-Tascii", path], env={"PATH": "/usr/bin:/bin"})
                self.assertIn(page[:-2].encode() + b" - ", text.stdout.replace(b"\x08", b""))


if __name__ == "__main__":
    unittest.main()
