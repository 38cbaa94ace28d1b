#include "shim/marker.h"

#include <fcntl.h>
#include <sys/stat.h>

#include "process/system_calls.h"

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
    10, kMarkerSize, 1, "larderbox", {'\x7f', 'l', 'a', 'r', 'd', 'e', 'r', 'b', 'o', 'x', '-', 's',
                                      'h', 'i', 'm', '\x01'}};

}  // namespace

MarkerCheck readMarker(int fd) {
  char window[kMarkerWindow];
  SystemResult<std::size_t> got = readFile(fd, window, sizeof window);
  if (!got) return MarkerCheck::unreadable;
  Bytes head(window, *got);
  return containsBytes(head, larderboxMarker()) ? MarkerCheck::carries_marker
                                                : MarkerCheck::lacks_marker;
}

Bytes larderboxMarker() { return Bytes(kNote.descriptor, kMarkerSize); }

MarkerCheck checkMarker(const char* path) {
  // O_NONBLOCK: opening a FIFO must not wait for a writer.
  SystemResult<int> fd = openFile(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (!fd) return MarkerCheck::unreadable;
  struct stat status;
  bool regular = fstat(*fd, &status) == 0 && S_ISREG(status.st_mode);
  MarkerCheck verdict = regular ? readMarker(*fd) : MarkerCheck::unreadable;
  closeFile(*fd);
  return verdict;
}

}  // namespace larderbox
