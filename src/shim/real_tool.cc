#include "shim/real_tool.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "runtime/path_list.h"
#include "runtime/strings.h"
#include "runtime/system_calls.h"
#include "shim/marker.h"
#include "shim/tool_name.h"

namespace larderbox {

std::optional<std::uint64_t> fileSize(const char* path) {
  struct stat status;
  if (!pathStatus(path, status)) return std::nullopt;
  return static_cast<std::uint64_t>(status.st_size);
}

bool isExecutable(const char* path) {
  return checkAccess(path, X_OK).has_value();
}

SelfIdentity SelfIdentity::ofThisProcess() {
  const char* executed_as = executedPath();
  return executedAs(executed_as != nullptr ? Bytes(executed_as) : Bytes());
}

SelfIdentity SelfIdentity::executedAs(Bytes path) {
  SelfIdentity self;
  self.executed_as_ = path;
  return self;
}

// The path this process was executed under names the file it runs from, unless that file was
// replaced since the exec; it is asked first because a fresh process's first look into /proc is
// far dearer than a stat (procfs makes its entries on first use).
std::optional<std::uint64_t> SelfIdentity::size() {
  if (!taken_) {
    taken_ = true;
    if (!executed_as_.empty()) size_ = fileSize(executed_as_.data());
    if (!size_) size_ = fileSize("/proc/self/exe");
  }
  return size_;
}

bool SelfIdentity::isExecutedAs(Bytes path) const {
  return !executed_as_.empty() && sameBytes(path, executed_as_);
}

namespace {

// The executable test of an open file: the test access makes for its path (real user and group,
// links followed, a mount without exec refused). Kernels before faccessat2 test the path instead.
bool openFileIsExecutable(int fd, const char* path) {
  SystemStatus tested = checkOpenFileAccess(fd, X_OK);
  if (!tested && (tested.error() == ENOSYS || tested.error() == EINVAL)) return isExecutable(path);
  return tested.has_value();
}

// A file whose first 4 KiB cannot be read (execute-only, say) hides its marker, so its size has to
// stand in for it: an execute-only copy of this executable is another inode of exactly this size,
// and two such copies on PATH would otherwise execute each other for ever. A real tool of exactly
// the shim's size that the user cannot read is skipped too; that is the price.
CandidateKind judgeBySize(const struct stat& status, SelfIdentity& self) {
  std::optional<std::uint64_t> mine = self.size();
  return mine && static_cast<std::uint64_t>(status.st_size) == *mine ? CandidateKind::larderbox
                                                                     : CandidateKind::real_tool;
}

CandidateKind judgeOpenCandidate(int fd, const char* path, SelfIdentity& self) {
  if (!openFileIsExecutable(fd, path)) return CandidateKind::not_executable;
  struct stat status;
  if (!openFileStatus(fd, status)) return CandidateKind::real_tool;
  if (!S_ISREG(status.st_mode)) return CandidateKind::not_executable;
  switch (readMarker(fd)) {
    case MarkerCheck::carries_marker:
      return CandidateKind::larderbox;
    case MarkerCheck::lacks_marker:
      return CandidateKind::real_tool;
    case MarkerCheck::unreadable:
      break;
  }
  return judgeBySize(status, self);
}

CandidateKind judgeUnreadableCandidate(const char* path, SelfIdentity& self) {
  if (!isExecutable(path)) return CandidateKind::not_executable;
  struct stat status;
  if (!pathStatus(path, status)) return CandidateKind::real_tool;
  if (!S_ISREG(status.st_mode)) return CandidateKind::not_executable;
  return judgeBySize(status, self);
}

}  // namespace

// The marker marks every larderbox executable that can be read, this one through any link included;
// only where it cannot be read does the size stand in for it. A readable candidate answers the
// executable test, its type and its marker through one open, so its path is walked once; path walks
// are what a pass-through spends most of its own time on.
CandidateKind judgeCandidate(Bytes path, SelfIdentity& self) {
  // The path this process was executed under names this executable: skipped without a look at it.
  if (self.isExecutedAs(path)) return CandidateKind::larderbox;
  // O_NONBLOCK: opening a FIFO must not wait for a writer.
  SystemResult<int> fd = openFile(path.data(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (!fd) return judgeUnreadableCandidate(path.data(), self);
  CandidateKind kind = judgeOpenCandidate(*fd, path.data(), self);
  closeFile(*fd);
  return kind;
}

// A candidate is the real tool when
// 1. it passes the executable test (access X_OK) and is a regular file: a directory or a FIFO is
//    skipped as a shell skips it;
// 2. it is not a larderbox executable (this one, a link to it, or another copy), whether its
//    path is absolute or relative, so that the shim can never execute itself round and round.
// The first such candidate wins; empty entries are skipped and never mean the working directory.
Result<std::optional<Bytes>> findOnPath(ProcessAllocator& allocator,
                                        std::optional<Bytes> path_value, Tool tool,
                                        SelfIdentity& self) {
  if (!path_value) return std::nullopt;
  Bytes rest = *path_value;
  while (std::optional<Bytes> entry = takePathEntry(rest)) {
    std::optional<Bytes> candidate = joinWithNul(allocator, {*entry, "/", toolName(tool)});
    if (!candidate) return fail(Error::OutOfMemory);
    if (judgeCandidate(*candidate, self) == CandidateKind::real_tool) return candidate;
  }
  return std::nullopt;
}

Result<std::optional<Bytes>> findRealTool(ProcessAllocator& allocator, EnvironmentBlock environment,
                                          Tool tool, SelfIdentity& self) {
  std::optional<Bytes> named = lookupEnv(environment, realToolVariable(tool));
  // An environment value is NUL-terminated in place, so it needs no copy for the system.
  if (named && !named->empty() && judgeCandidate(*named, self) == CandidateKind::real_tool)
    return named;
  return findOnPath(allocator, lookupEnv(environment, "PATH"), tool, self);
}

}  // namespace larderbox
