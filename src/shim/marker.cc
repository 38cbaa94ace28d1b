#include "shim/marker.h"

#include <elf.h>

#include <cstring>

#include "runtime/system_calls.h"

namespace larderbox {
namespace {

constexpr std::size_t kMarkerSize = 16;

// An ELF note: name size, descriptor size, type, "larderbox" padded to 12 bytes, the marker.
struct MarkerNote {
  unsigned int name_size;
  unsigned int descriptor_size;
  unsigned int type;
  char name[12];
  char descriptor[kMarkerSize];
};

__attribute__((section(".note.larderbox"), used, aligned(4))) constexpr MarkerNote kNote = {
    10,
    kMarkerSize,
    1,
    "larderbox",
    {'\x7f', 'l', 'a', 'r', 'd', 'e', 'r', 'b', 'o', 'x', '-', 's', 'h', 'i', 'm', '\x01'}};

// True when a PT_NOTE segment inside `head` holds the whole note kNote. Only the program headers
// and the notes are looked at: a byte search would scan all 4 KiB of the window for every real
// tool, where this reads a few headers.
bool notesCarryMarker(const char* head, std::size_t size) {
  Elf64_Ehdr header;
  if (size < sizeof header) return false;
  std::memcpy(&header, head, sizeof header);
  if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64 ||
      header.e_phentsize != sizeof(Elf64_Phdr) || header.e_phoff > size)
    return false;
  std::size_t count = (size - header.e_phoff) / sizeof(Elf64_Phdr);
  if (header.e_phnum < count) count = header.e_phnum;
  for (std::size_t i = 0; i < count; ++i) {
    Elf64_Phdr segment;
    std::memcpy(&segment, head + header.e_phoff + i * sizeof segment, sizeof segment);
    if (segment.p_type != PT_NOTE || segment.p_offset > size ||
        segment.p_filesz > size - segment.p_offset)
      continue;
    std::size_t at = segment.p_offset;
    std::size_t end = at + segment.p_filesz;
    while (end - at >= sizeof(Elf64_Nhdr)) {
      Elf64_Nhdr note;
      std::memcpy(&note, head + at, sizeof note);
      std::size_t name_room = (std::size_t{note.n_namesz} + 3) & ~std::size_t{3};
      std::size_t descriptor_room = (std::size_t{note.n_descsz} + 3) & ~std::size_t{3};
      std::size_t room = end - at - sizeof note;
      if (name_room > room || descriptor_room > room - name_room) break;
      if (sizeof note + name_room + descriptor_room == sizeof kNote &&
          std::memcmp(head + at, &kNote, sizeof kNote) == 0)
        return true;
      at += sizeof note + name_room + descriptor_room;
    }
  }
  return false;
}

}  // namespace

MarkerCheck readMarker(int fd) {
  char window[kMarkerWindow];
  SystemResult<std::size_t> got = readFile(fd, window, sizeof window);
  if (!got) return MarkerCheck::unreadable;
  return notesCarryMarker(window, *got) ? MarkerCheck::carries_marker : MarkerCheck::lacks_marker;
}

}  // namespace larderbox
