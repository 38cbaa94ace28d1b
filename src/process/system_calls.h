// Thin wrappers over the system calls larderbox makes: each repeats EINTR where it is safe to and
// returns the errno as a value.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>

struct iovec;
struct pollfd;

namespace larderbox {

template <class T>
using SystemResult = std::expected<T, int>;  // the errno on failure
using SystemStatus = std::expected<void, int>;

// open(2) straight to the kernel: the C library's open may add an fcntl for O_CLOEXEC.
SystemResult<int> openFile(const char* path, int flags, mode_t mode = 0);
void closeFile(int fd);
SystemResult<std::size_t> readFile(int fd, void* buffer, std::size_t size);

// write(2) once, EINTR repeated; the count may be short.
SystemResult<std::size_t> writeFile(int fd, const void* buffer, std::size_t size);

// readv(2), EINTR repeated.
SystemResult<std::size_t> readVector(int fd, const struct iovec* regions, int count);

// pipe2(2) with O_CLOEXEC on both ends; not repeated. ends[0] reads, ends[1] writes.
SystemStatus createPipe(int (&ends)[2]);

// dup2(2), EINTR and EBUSY (a racing open on Linux) repeated.
SystemStatus duplicateOnto(int source, int target);

// Clears FD_CLOEXEC: dup2 of a descriptor onto itself leaves the flag as it was.
SystemStatus clearCloseOnExec(int fd);

// A child process that runs `entry(argument)` on `stack` while it shares this process's memory, and
// this process waits until the child has executed a program or ended (clone with CLONE_VM and
// CLONE_VFORK, the way posix_spawn starts a program): no page tables are copied and no page is
// faulted in copy-on-write afterwards. `entry` must end in an exec or an exit, never return. Not
// repeated; the child's id.
SystemResult<pid_t> startSharedChild(int (*entry)(void*), void* argument, std::span<char> stack);

// Blocks every signal that can be blocked; the mask in force before is stored in `previous`.
void blockAllSignals(sigset_t& previous);

// Puts `mask` in force as the signal mask.
void setSignalMask(const sigset_t& mask);

// The default action for `signal_number` again; a failure leaves the disposition as it was.
void resetSignalToDefault(int signal_number);

// getpid(2).
pid_t currentProcessId();

// Asks for SIGKILL when the parent ends (PR_SET_PDEATHSIG); false when the parent is no longer
// `parent`, that is when it ended before the request took effect and this process was adopted.
bool dieWithParent(pid_t parent);

// Makes every descriptor from `lowest` up close-on-exec (close_range with CLOSE_RANGE_CLOEXEC), so
// that an exec keeps only those below it while the ones still in use until then stay open. Where
// the kernel refuses that, descriptor numbers below the soft descriptor limit are marked one by
// one, up to a bound that keeps a huge limit from stalling a launch.
void markCloseOnExecFrom(int lowest);

// execve(2), once; returns only on failure.
int executeProgram(const char* path, char* const* arguments, char* const* environment);

// exit_group(2) at once: no exit handlers, nothing flushed. For the child between fork and exec.
[[noreturn]] void exitImmediately(int status);

// wait4(2) with no options and no resource usage, EINTR repeated. `status` may be null.
SystemResult<pid_t> waitProcess(pid_t pid, int* status);

// kill(2), EINTR repeated.
SystemStatus sendSignal(pid_t pid, int signal_number);

// poll(2), EINTR repeated. Returns the number of entries with events.
SystemResult<int> pollHandles(struct pollfd* entries, std::size_t count, int timeout_ms);

// CLOCK_MONOTONIC in milliseconds; it cannot fail for that clock.
std::int64_t monotonicMilliseconds();

}  // namespace larderbox
