#include "process/child.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>

#include <array>
#include <utility>

#include "process/exec_scratch.h"
#include "process/exec_search.h"
#include "runtime/system_calls.h"

namespace larderbox {
namespace {

constexpr std::array<ErrnoMapping, 2> kPipeErrors = {{
    {ENFILE, Error::SystemFdQuotaExceeded},
    {EMFILE, Error::ProcessFdQuotaExceeded},
}};

constexpr std::array<ErrnoMapping, 7> kNullDeviceErrors = {{
    {EPERM, Error::PermissionDenied},
    {ENOENT, Error::FileNotFound},
    {ENOMEM, Error::SystemResources},
    {EACCES, Error::AccessDenied},
    {ENODEV, Error::NoDevice},
    {ENFILE, Error::SystemFdQuotaExceeded},
    {EMFILE, Error::ProcessFdQuotaExceeded},
}};

constexpr std::array<ErrnoMapping, 3> kForkErrors = {{
    {EAGAIN, Error::SystemResources},
    {ENOMEM, Error::SystemResources},
    {ENOSYS, Error::OperationUnsupported},
}};

constexpr std::array<ErrnoMapping, 2> kDuplicateErrors = {{
    {ENOMEM, Error::SystemResources},
    {EMFILE, Error::ProcessFdQuotaExceeded},
}};

constexpr std::size_t kReportSize = 8;

struct Pipe {
  Descriptor read;
  Descriptor write;
};

Status openPipe(Pipe& pipe) {
  int ends[2];
  SystemStatus created = createPipe(ends);
  if (!created) return fail(mapErrno(created.error(), kPipeErrors));
  pipe.read.reset(ends[0]);
  pipe.write.reset(ends[1]);
  return {};
}

// The shared "/dev/null" handle. The open runs outside the mutex; a handle stored meanwhile by
// another launch wins and ours is closed. Close-on-exec, so that it reaches the real tool at the
// hand-over no more than a child's pipe ends do: children get it only as a duplicated 0, 1 or 2.
Result<int> takeNullDevice(RunContext& context) {
  context.null_device_mutex.lock();
  int held = context.null_device;
  context.null_device_mutex.unlock();
  if (held >= 0) return held;
  SystemResult<int> opened = openFile("/dev/null", O_RDWR | O_CLOEXEC);
  if (!opened) return fail(mapErrno(opened.error(), kNullDeviceErrors));
  context.null_device_mutex.lock();
  if (context.null_device < 0) context.null_device = *opened;
  held = context.null_device;
  context.null_device_mutex.unlock();
  if (held != *opened) closeFile(*opened);
  return held;
}

// The value of the child's own PATH entry, in one scan: the last entry named PATH counts, an empty
// value is present and empty, and without an entry there is none.
std::optional<Bytes> searchPathOf(std::span<const Bytes> environment) {
  constexpr Bytes kPrefix = "PATH=";
  std::optional<Bytes> value;
  for (Bytes entry : environment)
    if (entry.starts_with(kPrefix)) value = bytesFrom(entry, kPrefix.size());
  return value;
}

// Everything the child needs between fork and exec, prepared in the parent.
struct ChildPlan {
  std::array<int, 3> sources = {-1, -1, -1};  // the descriptor each of 0, 1 and 2 gets
  int error_pipe = -1;                        // write end
  Bytes argument_0;                           // the copy in the scratch area, NUL-terminated
  char** arguments = nullptr;
  char** environment = nullptr;
  std::optional<Bytes> search_path;
  bool keep_argument_0 = false;
  pid_t parent = 0;                        // this process, as the child must find it
  std::array<int, 2> caught_signals = {};  // signals this process handles; 0 for none
  sigset_t caller_mask = {};               // the mask before the launch blocked every signal
};

// The signals whose do-nothing handler is in place: the child puts them back to default before it
// unblocks signals, since a handler of this process must never run in a child that shares its
// memory.
std::array<int, 2> caughtSignals(const RunContext& context) {
  return {context.sigio_handled ? SIGIO : 0, context.sigpipe_handled ? SIGPIPE : 0};
}

// Since the report is shorter than PIPE_BUF, one write delivers it whole; writeWhole only covers
// a kernel that says otherwise.
[[noreturn]] void reportAndExit(int error_pipe, Error error) {
  auto code = static_cast<std::uint16_t>(error);
  unsigned char report[kReportSize] = {static_cast<unsigned char>(code & 0xff),
                                       static_cast<unsigned char>(code >> 8)};
  (void)writeWhole(error_pipe, report, kReportSize);
  exitImmediately(1);
}

// dup2 onto itself keeps close-on-exec, which only happens when the parent itself had the target
// closed; the child's 0, 1 and 2 must survive the exec all the same.
Status redirect(int source, int target) {
  SystemStatus done = source == target ? clearCloseOnExec(target) : duplicateOnto(source, target);
  if (!done) return fail(mapErrno(done.error(), kDuplicateErrors));
  return {};
}

// The child between fork and exec: no allocation, no lock, no return into the caller's code. It
// starts with every signal blocked. It is this process's alone: it dies with this process (a
// parent that is already gone has nobody to report to), and its program gets descriptors 0 to 2
// only, whatever this process holds; the error pipe stays open until the exec closes it.
[[noreturn]] void runChild(ChildPlan& plan) {
  if (!dieWithParent(plan.parent)) exitImmediately(1);
  for (int signal_number : plan.caught_signals)
    if (signal_number != 0) resetSignalToDefault(signal_number);
  for (int target = 0; target < 3; ++target) {
    Status redirected = redirect(plan.sources[target], target);
    if (!redirected) reportAndExit(plan.error_pipe, redirected.error());
  }
  markCloseOnExecFrom(3);
  setSignalMask(plan.caller_mask);
  reportAndExit(plan.error_pipe, execSearch(plan.argument_0, plan.arguments, plan.environment,
                                            plan.search_path, plan.keep_argument_0));
}

int childEntry(void* plan) {
  runChild(*static_cast<ChildPlan*>(plan));
}

// Room for the child's frames until its exec, a candidate path of up to 4 KiB among them.
constexpr std::size_t kChildStackSize = std::size_t{64} * 1024;

// Static, not on the caller's stack: a caller's small stack limit must not decide whether the probe
// can start. Only the pages the child touches are ever mapped.
alignas(16) char child_stack[kChildStackSize];

// Every signal stays blocked in this process until the child has executed its program or ended, so
// that no handler runs in either while they share memory; the caller's mask comes back afterwards.
SystemResult<pid_t> startChild(ChildPlan& plan) {
  blockAllSignals(plan.caller_mask);
  SystemResult<pid_t> started = startSharedChild(childEntry, &plan, child_stack);
  setSignalMask(plan.caller_mask);
  return started;
}

// The child's report: 8 bytes when it failed, fewer (end of file at its exec) when it did not.
std::optional<Error> readReport(int error_pipe) {
  unsigned char report[kReportSize];
  std::size_t got = 0;
  while (got < kReportSize) {
    SystemResult<std::size_t> read = readFile(error_pipe, report + got, kReportSize - got);
    if (!read || *read == 0) return std::nullopt;
    got += *read;
  }
  return errorFromCode(static_cast<std::uint16_t>(report[0] | report[1] << 8));
}

// What a launch holds in this process until the child runs its program: the pipes of its streams
// and of its report, the copies for its exec, and the plan it runs by. Each closes or gives itself
// back, whichever way the launch ends.
struct Launch {
  explicit Launch(ProcessAllocator& allocator) : scratch(allocator) {}
  std::array<Pipe, 3> streams;  // for the streams joined to a pipe
  Pipe report;
  ExecScratch scratch;
  ChildPlan plan;
};

// Pipes for the streams joined to one, then the null device for those joined to it: the child's
// descriptor for each of its streams goes into the plan.
Status prepareStreams(RunContext& context, const ChildSpawnOptions& options, Launch& launch) {
  const std::array<StdioDisposition, 3> dispositions = {
      options.standard_input, options.standard_output, options.standard_error};
  bool needs_null_device = false;
  for (int target = 0; target < 3; ++target) {
    if (dispositions[target] == StdioDisposition::ignore) {
      needs_null_device = true;
      continue;
    }
    Pipe& pipe = launch.streams[target];
    TRY(openPipe(pipe));
    launch.plan.sources[target] = target == 0 ? pipe.read.get() : pipe.write.get();
  }
  if (!needs_null_device) return {};
  int null_device = TRY(takeNullDevice(context));
  for (int target = 0; target < 3; ++target)
    if (dispositions[target] == StdioDisposition::ignore) launch.plan.sources[target] = null_device;
  return {};
}

// The copies for the exec, the report pipe, and the rest of the plan.
Status prepareExec(const RunContext& context, const ChildSpawnOptions& options, Launch& launch) {
  TRY(launch.scratch.copy(options.arguments, options.environment));
  TRY(openPipe(launch.report));
  ChildPlan& plan = launch.plan;
  plan.error_pipe = launch.report.write.get();
  plan.argument_0 = Bytes(launch.scratch.arguments()[0], options.arguments[0].size());
  plan.arguments = launch.scratch.arguments();
  plan.environment = launch.scratch.environment();
  plan.search_path = searchPathOf(options.environment);
  plan.keep_argument_0 = options.keep_argument_0;
  plan.parent = currentProcessId();
  plan.caught_signals = caughtSignals(context);
  return {};
}

// Starts the child. This process then keeps only its own ends: the write end of standard input's
// pipe, the read ends of standard output's, standard error's and the report's.
Result<pid_t> startLaunch(Launch& launch) {
  SystemResult<pid_t> forked = startChild(launch.plan);
  if (!forked) return fail(mapErrno(forked.error(), kForkErrors));
  launch.report.write.reset();
  launch.streams[0].read.reset();
  launch.streams[1].write.reset();
  launch.streams[2].write.reset();
  launch.scratch.release();
  return *forked;
}

// The record of a child that runs its program: the ends of its stream pipes become its handles. A
// child the record still held is let go first.
void fillRecord(ChildProcess& child, pid_t pid, Launch& launch) {
  killChild(child);
  child.pid = pid;
  child.standard_input = std::move(launch.streams[0].write);
  child.standard_output = std::move(launch.streams[1].read);
  child.standard_error = std::move(launch.streams[2].read);
}

void forgetChild(ChildProcess& child) {
  child.standard_input.reset();
  child.standard_output.reset();
  child.standard_error.reset();
  child.pid.reset();
}

}  // namespace

Status spawnChild(RunContext& context, const ChildSpawnOptions& options, ChildProcess& child) {
  if (options.arguments.empty()) return fail(Error::Unexpected);  // nothing names the program
  std::optional<Error> reported;
  pid_t pid = 0;
  {
    Launch launch(context.allocator);
    TRY(prepareStreams(context, options, launch));
    TRY(prepareExec(context, options, launch));
    pid = TRY(startLaunch(launch));
    reported = readReport(launch.report.read.get());
    if (!reported) {
      fillRecord(child, pid, launch);
      return {};
    }
  }
  // The child is ending by itself with status 1, which nobody looks at; reaping it here keeps a
  // zombie out of this process and out of the real tool that inherits its children.
  (void)waitProcess(pid, nullptr);
  return fail(*reported);
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept {
  *this = std::move(other);
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    killChild(*this);
    pid = std::exchange(other.pid, std::nullopt);
    standard_input = std::move(other.standard_input);
    standard_output = std::move(other.standard_output);
    standard_error = std::move(other.standard_error);
  }
  return *this;
}

ChildProcess::~ChildProcess() {
  killChild(*this);
}

Result<ChildExit> waitChild(ChildProcess& child) {
  Result<ChildExit> ended = fail(Error::Unexpected);
  // A pid of 0 or below would wait for any child, or for a whole process group.
  if (child.pid && *child.pid > 0) {
    int status = 0;
    if (waitProcess(*child.pid, &status))
      ended = decodeWaitStatus(static_cast<std::uint32_t>(status));
  }
  forgetChild(child);
  return ended;
}

void killChild(ChildProcess& child) {
  // A pid of 0 or below would signal a whole process group, or every process we may signal.
  if (child.pid && *child.pid > 0 && sendSignal(*child.pid, SIGTERM))
    (void)waitProcess(*child.pid, nullptr);
  forgetChild(child);
}

ChildExit decodeWaitStatus(std::uint32_t status) {
  if (WIFEXITED(status)) return {ChildExitKind::exited, WEXITSTATUS(status)};
  if (WIFSIGNALED(status)) return {ChildExitKind::signal, WTERMSIG(status)};
  return {ChildExitKind::unknown, status};
}

}  // namespace larderbox
