// The system-call floor: every call larderbox makes to the kernel goes through one of these thin
// wrappers, each of which repeats EINTR where that is safe and returns the errno as a value. No
// other file reads errno or retries a call.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>

struct iovec;
struct pollfd;
struct stat;

namespace larderbox {

template <class T>
using SystemResult = std::expected<T, int>;  // the errno on failure
using SystemStatus = std::expected<void, int>;

// --- Files and descriptors ----------------------------------------------------------------------

// open(2) straight to the kernel: the C library's open may add an fcntl for O_CLOEXEC.
SystemResult<int> openFile(const char* path, int flags, mode_t mode = 0);
void closeFile(int fd);
SystemResult<std::size_t> readFile(int fd, void* buffer, std::size_t size);

// write(2) once, EINTR repeated; the count may be short.
SystemResult<std::size_t> writeFile(int fd, const void* buffer, std::size_t size);

// write(2) until every byte is out, EINTR repeated. A call that writes nothing would be repeated
// for ever: it fails the whole with EIO.
SystemStatus writeWhole(int fd, const void* buffer, std::size_t size);

// readv(2) and writev(2), EINTR repeated; the count may be short.
SystemResult<std::size_t> readVector(int fd, const struct iovec* regions, int count);
SystemResult<std::size_t> writeVector(int fd, const struct iovec* regions, int count);

// stat(2) of a path (links followed) and fstat(2) of an open file, EINTR repeated.
SystemStatus pathStatus(const char* path, struct stat& status);
SystemStatus openFileStatus(int fd, struct stat& status);

// readlink(2): the target of the symbolic link `path` into `buffer`, not NUL-terminated; its
// length, which equals the buffer's size when the target may have been cut short. EINVAL: no link.
SystemResult<std::size_t> readSymbolicLink(const char* path, std::span<char> buffer);

// access(2): whether the real user and group may use `path` in `mode` (X_OK, say).
SystemStatus checkAccess(const char* path, int mode);

// The same test for an open file (faccessat2 with AT_EMPTY_PATH). Kernels before faccessat2 fail
// it with ENOSYS or EINVAL.
SystemStatus checkOpenFileAccess(int fd, int mode);

// Whether `fd` is a terminal (it has a window size), EINTR repeated.
bool isTerminal(int fd);

// pipe2(2) with O_CLOEXEC on both ends; not repeated. ends[0] reads, ends[1] writes.
SystemStatus createPipe(int (&ends)[2]);

// dup2(2), EINTR and EBUSY (a racing open on Linux) repeated.
SystemStatus duplicateOnto(int source, int target);

// Sets or clears FD_CLOEXEC: dup2 of a descriptor onto itself leaves the flag as it was.
SystemStatus setCloseOnExec(int fd);
SystemStatus clearCloseOnExec(int fd);

// Makes every descriptor from `lowest` up close-on-exec (close_range with CLOSE_RANGE_CLOEXEC), so
// that an exec keeps only those below it while the ones still in use until then stay open. Where
// the kernel refuses that, descriptor numbers below the soft descriptor limit are marked one by
// one, up to a bound that keeps a huge limit from stalling a launch.
void markCloseOnExecFrom(int lowest);

// poll(2), EINTR repeated. Returns the number of entries with events.
SystemResult<int> pollHandles(struct pollfd* entries, std::size_t count, int timeout_ms);

// --- Memory -------------------------------------------------------------------------------------

// Private anonymous memory, readable and writable, in whole pages; munmap(2) of such a mapping.
SystemResult<void*> mapAnonymous(std::size_t size);
void unmapMemory(void* memory, std::size_t size);

// --- Signals ------------------------------------------------------------------------------------

// sigaction(2); `previous` may be null.
SystemStatus changeSignalAction(int signal_number, const struct sigaction& action,
                                struct sigaction* previous);

// The default action for `signal_number` again; a failure leaves the disposition as it was.
void resetSignalToDefault(int signal_number);

// Blocks every signal that can be blocked; the mask in force before is stored in `previous`.
void blockAllSignals(sigset_t& previous);

// Puts `mask` in force as the signal mask.
void setSignalMask(const sigset_t& mask);

// --- Processes and threads ----------------------------------------------------------------------

// The path this process was executed under, as the kernel passed it (AT_EXECFN); null without one.
const char* executedPath();

// getpid(2) and gettid(2).
pid_t currentProcessId();
// getuid(2): whose password-database entry names the home directory when HOME does not.
std::uint32_t realUserId();
std::int32_t threadId();

// A child process that runs `entry(argument)` on `stack` while it shares this process's memory, and
// this process waits until the child has executed a program or ended (clone with CLONE_VM and
// CLONE_VFORK, the way posix_spawn starts a program): no page tables are copied and no page is
// faulted in copy-on-write afterwards. `entry` must end in an exec or an exit, never return. Not
// repeated; the child's id.
SystemResult<pid_t> startSharedChild(int (*entry)(void*), void* argument, std::span<char> stack);

// Asks for SIGKILL when the parent ends (PR_SET_PDEATHSIG); false when the parent is no longer
// `parent`, that is when it ended before the request took effect and this process was adopted.
bool dieWithParent(pid_t parent);

// execve(2), once; returns only on failure, with the errno.
int executeProgram(const char* path, char* const* arguments, char* const* environment);

// exit_group(2) at once: no exit handlers, nothing flushed. For the child between fork and exec.
[[noreturn]] void exitImmediately(int status);

// wait4(2) with no options and no resource usage, EINTR repeated. `status` may be null.
SystemResult<pid_t> waitProcess(pid_t pid, int* status);

// kill(2), EINTR repeated.
SystemStatus sendSignal(pid_t pid, int signal_number);

// A process-private futex: sleep while `*word` is `expected`, and wake one sleeper. Not repeated:
// a wait that ends early for any reason sends the caller back to look at the word again.
void futexWait(std::uint32_t* word, std::uint32_t expected);
void futexWakeOne(std::uint32_t* word);

// --- Time ---------------------------------------------------------------------------------------

// CLOCK_MONOTONIC in milliseconds; it cannot fail for that clock.
std::int64_t monotonicMilliseconds();

}  // namespace larderbox
