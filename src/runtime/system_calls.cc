#include "runtime/system_calls.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/auxv.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>

#ifdef __SANITIZE_ADDRESS__
#include <sanitizer/asan_interface.h>
#endif

namespace larderbox {
namespace {

// CLOSE_RANGE_CLOEXEC, which musl's headers do not define.
constexpr unsigned kCloseRangeCloseOnExec = 1U << 2;

// The highest descriptor number the one-by-one fallback of markCloseOnExecFrom reaches.
constexpr int kCloseOnExecFallbackBound = 65536;

// The kernel's futex operations (musl ships no kernel headers).
constexpr int kFutexWait = 0;
constexpr int kFutexWake = 1;
constexpr int kFutexPrivateFlag = 128;
// cppcheck-suppress badBitmaskCheck ; FUTEX_WAIT is operation 0, written out beside its flag
constexpr int kFutexWaitPrivate = kFutexWait | kFutexPrivateFlag;
constexpr int kFutexWakePrivate = kFutexWake | kFutexPrivateFlag;

// The raw stat calls below fill the C library's struct stat: on x86-64 it is the kernel's.
static_assert(sizeof(struct stat) == 144);

}  // namespace

SystemResult<int> openFile(const char* path, int flags, mode_t mode) {
  for (;;) {
    long fd = syscall(SYS_openat, AT_FDCWD, path, flags, mode);
    if (fd >= 0) return static_cast<int>(fd);
    if (errno != EINTR) return std::unexpected(errno);
  }
}

// Not repeated on EINTR: on Linux the descriptor is gone even then, and a retry could close a
// descriptor opened meanwhile.
void closeFile(int fd) {
  close(fd);
}

SystemResult<std::size_t> readFile(int fd, void* buffer, std::size_t size) {
  for (;;) {
    ssize_t got = read(fd, buffer, size);
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR) return std::unexpected(errno);
  }
}

SystemResult<std::size_t> writeFile(int fd, const void* buffer, std::size_t size) {
  for (;;) {
    ssize_t put = write(fd, buffer, size);
    if (put >= 0) return static_cast<std::size_t>(put);
    if (errno != EINTR) return std::unexpected(errno);
  }
}

SystemStatus writeWhole(int fd, const void* buffer, std::size_t size) {
  const char* next = static_cast<const char*>(buffer);
  while (size != 0) {
    SystemResult<std::size_t> put = writeFile(fd, next, size);
    if (!put) return std::unexpected(put.error());
    if (*put == 0) return std::unexpected(EIO);
    next += *put;
    size -= *put;
  }
  return {};
}

SystemResult<std::size_t> readVector(int fd, const struct iovec* regions, int count) {
  for (;;) {
    ssize_t got = readv(fd, regions, count);
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR) return std::unexpected(errno);
  }
}

SystemResult<std::size_t> writeVector(int fd, const struct iovec* regions, int count) {
  for (;;) {
    ssize_t put = writev(fd, regions, count);
    if (put >= 0) return static_cast<std::size_t>(put);
    if (errno != EINTR) return std::unexpected(errno);
  }
}

// stat and fstat go to the kernel directly: on x86-64 its struct stat is the C library's, and
// musl's wrappers would copy it field by field.
SystemStatus pathStatus(const char* path, struct stat& status) {
  for (;;) {
    if (syscall(SYS_stat, path, &status) == 0) return {};
    if (errno != EINTR) return std::unexpected(errno);
  }
}

SystemStatus openFileStatus(int fd, struct stat& status) {
  for (;;) {
    if (syscall(SYS_fstat, fd, &status) == 0) return {};
    if (errno != EINTR) return std::unexpected(errno);
  }
}

SystemResult<std::size_t> readSymbolicLink(const char* path, std::span<char> buffer) {
  long length = syscall(SYS_readlink, path, buffer.data(), buffer.size());
  if (length < 0) return std::unexpected(errno);
  return static_cast<std::size_t>(length);
}

SystemStatus checkAccess(const char* path, int mode) {
  if (access(path, mode) == 0) return {};
  return std::unexpected(errno);
}

SystemStatus checkOpenFileAccess(int fd, int mode) {
  if (syscall(SYS_faccessat2, fd, "", mode, AT_EMPTY_PATH) == 0) return {};
  return std::unexpected(errno);
}

bool isTerminal(int fd) {
  struct winsize size;
  for (;;) {
    if (ioctl(fd, TIOCGWINSZ, &size) == 0) return true;
    if (errno != EINTR) return false;
  }
}

SystemStatus createPipe(int (&ends)[2]) {
  if (pipe2(ends, O_CLOEXEC) == 0) return {};
  return std::unexpected(errno);
}

SystemStatus duplicateOnto(int source, int target) {
  for (;;) {
    if (dup2(source, target) >= 0) return {};
    if (errno != EINTR && errno != EBUSY) return std::unexpected(errno);
  }
}

SystemStatus setCloseOnExec(int fd) {
  if (fcntl(fd, F_SETFD, FD_CLOEXEC) == 0) return {};
  return std::unexpected(errno);
}

SystemStatus clearCloseOnExec(int fd) {
  if (fcntl(fd, F_SETFD, 0) == 0) return {};
  return std::unexpected(errno);
}

void markCloseOnExecFrom(int lowest) {
  if (syscall(SYS_close_range, lowest, ~0U, kCloseRangeCloseOnExec) == 0) return;
  int end = kCloseOnExecFallbackBound;
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < static_cast<rlim_t>(end))
    end = static_cast<int>(limit.rlim_cur);
  for (int fd = lowest; fd < end; ++fd)
    fcntl(fd, F_SETFD, FD_CLOEXEC);
}

SystemResult<int> pollHandles(struct pollfd* entries, std::size_t count, int timeout_ms) {
  for (;;) {
    int ready = poll(entries, static_cast<nfds_t>(count), timeout_ms);
    if (ready >= 0) return ready;
    if (errno != EINTR) return std::unexpected(errno);
  }
}

SystemResult<void*> mapAnonymous(std::size_t size) {
  void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return std::unexpected(errno);
  return memory;
}

void unmapMemory(void* memory, std::size_t size) {
  munmap(memory, size);
}

SystemStatus changeSignalAction(int signal_number, const struct sigaction& action,
                                struct sigaction* previous) {
  if (sigaction(signal_number, &action, previous) == 0) return {};
  return std::unexpected(errno);
}

void resetSignalToDefault(int signal_number) {
  struct sigaction action = {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signal_number, &action, nullptr);
}

void blockAllSignals(sigset_t& previous) {
  sigset_t all;
  sigfillset(&all);
  sigprocmask(SIG_SETMASK, &all, &previous);
}

void setSignalMask(const sigset_t& mask) {
  sigprocmask(SIG_SETMASK, &mask, nullptr);
}

const char* executedPath() {
  // NOLINTNEXTLINE(performance-no-int-to-ptr): the auxiliary vector holds addresses as integers
  return reinterpret_cast<const char*>(getauxval(AT_EXECFN));
}

pid_t currentProcessId() {
  return getpid();
}

std::uint32_t realUserId() {
  return static_cast<std::uint32_t>(getuid());
}

std::int32_t threadId() {
  return static_cast<std::int32_t>(syscall(SYS_gettid));
}

SystemResult<pid_t> startSharedChild(int (*entry)(void*), void* argument, std::span<char> stack) {
  // The stack grows down: the child starts at the top, 16-byte aligned as the ABI wants.
  char* top = stack.data() + stack.size();
  top -= reinterpret_cast<std::uintptr_t>(top) & 15;
  int pid = clone(entry, top, CLONE_VM | CLONE_VFORK | SIGCHLD, argument);
#ifdef __SANITIZE_ADDRESS__
  // The child's frames left their red zones marked in the shadow of this memory.
  __asan_unpoison_memory_region(stack.data(), stack.size());
#endif
  if (pid >= 0) return pid;
  return std::unexpected(errno);
}

bool dieWithParent(pid_t parent) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  return getppid() == parent;
}

int executeProgram(const char* path, char* const* arguments, char* const* environment) {
  execve(path, arguments, environment);
  return errno;
}

void exitImmediately(int status) {
  for (;;)
    syscall(SYS_exit_group, status);
}

SystemResult<pid_t> waitProcess(pid_t pid, int* status) {
  for (;;) {
    pid_t got = wait4(pid, status, 0, nullptr);
    if (got >= 0) return got;
    if (errno != EINTR) return std::unexpected(errno);
  }
}

SystemStatus sendSignal(pid_t pid, int signal_number) {
  for (;;) {
    if (kill(pid, signal_number) == 0) return {};
    if (errno != EINTR) return std::unexpected(errno);
  }
}

void futexWait(std::uint32_t* word, std::uint32_t expected) {
  syscall(SYS_futex, word, kFutexWaitPrivate, expected, nullptr, nullptr, 0);
}

void futexWakeOne(std::uint32_t* word) {
  syscall(SYS_futex, word, kFutexWakePrivate, 1, nullptr, nullptr, 0);
}

std::int64_t monotonicMilliseconds() {
  struct timespec now = {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace larderbox
