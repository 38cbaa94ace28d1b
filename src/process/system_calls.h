// Thin wrappers over the system calls larderbox makes: each repeats EINTR where it is safe to and
// returns the errno as a value.
#pragma once

#include <sys/types.h>

#include <expected>

namespace larderbox {

template <class T>
using SystemResult = std::expected<T, int>;  // the errno on failure

// open(2) straight to the kernel: the C library's open may add an fcntl for O_CLOEXEC.
SystemResult<int> openFile(const char* path, int flags, mode_t mode = 0);
void closeFile(int fd);
SystemResult<std::size_t> readFile(int fd, void* buffer, std::size_t size);

}  // namespace larderbox
