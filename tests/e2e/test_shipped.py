"""The executable as shipped: static, small, and carrying the marker where other larderbox
executables look for it."""

import os
import re
import struct
import subprocess
import unittest

import harness

MARKER_WINDOW = 4096


def tool_output(*argv):
    return subprocess.run(argv, capture_output=True, timeout=harness.TIMEOUT, check=True).stdout


def program_headers(path):
    """(type, offset, file size, memory size) of each program header, as readelf lists them."""
    headers = []
    pattern = re.compile(r"^\s+(\S+)\s+(0x[0-9a-f]+)\s+0x[0-9a-f]+\s+0x[0-9a-f]+\s+"
                         r"(0x[0-9a-f]+)\s+(0x[0-9a-f]+)\s")
    for line in tool_output("readelf", "-lW", path).decode().splitlines():
        match = pattern.match(line)
        if match:
            kind, offset, file_size, memory_size = match.groups()
            headers.append((kind, int(offset, 16), int(file_size, 16), int(memory_size, 16)))
    return headers


def section(path, wanted):
    """(file offset, bytes) of the section named `wanted`, read from the ELF section headers."""
    with open(path, "rb") as f:
        image = f.read()
    if image[:4] != b"\x7fELF" or image[4] != 2:
        raise AssertionError("not a 64-bit ELF file")
    section_offset, = struct.unpack_from("<Q", image, 0x28)
    entry_size, count, names_index = struct.unpack_from("<HHH", image, 0x3A)

    def header(index):
        # name, type, flags, address, offset, size
        return struct.unpack_from("<IIQQQQ", image, section_offset + index * entry_size)

    names_offset = header(names_index)[4]
    for index in range(count):
        name, _, _, _, offset, size = header(index)
        end = image.index(b"\0", names_offset + name)
        if image[names_offset + name:end].decode() == wanted:
            return offset, image[offset:offset + size]
    return None


class Shipped(unittest.TestCase):
    def setUp(self):
        self.binary = harness.LARDERBOX_BIN
        if not self.binary:
            self.fail("LARDERBOX_BIN must name the built executable")

    def test_statically_linked_without_interpreter(self):
        self.assertIn(b"statically linked", tool_output("file", "-b", self.binary))
        kinds = [kind for kind, _, _, _ in program_headers(self.binary)]
        self.assertIn("LOAD", kinds, "the readelf listing was not understood")
        self.assertNotIn("INTERP", kinds)

    def test_small_and_stripped(self):
        self.assertLess(os.path.getsize(self.binary), 65536)
        self.assertIsNone(section(self.binary, ".symtab"), "symbol table left in")

    def test_marker_note_within_the_first_four_kib(self):
        found = section(self.binary, ".note.larderbox")
        self.assertIsNotNone(found, "no .note.larderbox section")
        offset, note = found
        name_size, descriptor_size, _ = struct.unpack_from("<III", note, 0)
        self.assertEqual(descriptor_size, 16)
        name_end = 12 + (name_size + 3) // 4 * 4
        self.assertEqual(note[12:12 + name_size].rstrip(b"\0"), b"larderbox")
        descriptor = note[name_end:name_end + descriptor_size]
        self.assertEqual(len(descriptor), 16)
        self.assertLessEqual(offset + len(note), MARKER_WINDOW)
        with open(self.binary, "rb") as f:
            head = f.read(MARKER_WINDOW)
        self.assertIn(descriptor, head)
        # The marker must be distinctive: not something any ELF file carries in its first 4 KiB.
        with open(harness.RECORDER_BIN, "rb") as f:
            self.assertNotIn(descriptor, f.read(MARKER_WINDOW))


if __name__ == "__main__":
    harness.main()
