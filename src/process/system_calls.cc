#include "process/system_calls.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace larderbox {

SystemResult<int> openFile(const char* path, int flags, mode_t mode) {
  for (;;) {
    long fd = syscall(SYS_openat, AT_FDCWD, path, flags, mode);
    if (fd >= 0) return static_cast<int>(fd);
    if (errno != EINTR) return std::unexpected(errno);
  }
}

// Not repeated on EINTR: on Linux the descriptor is gone even then, and a retry could close a
// descriptor opened meanwhile.
void closeFile(int fd) { close(fd); }

SystemResult<std::size_t> readFile(int fd, void* buffer, std::size_t size) {
  for (;;) {
    ssize_t got = read(fd, buffer, size);
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR) return std::unexpected(errno);
  }
}

}  // namespace larderbox
