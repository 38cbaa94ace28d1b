// Finding the genuine curl or wget: never the shim itself, nor any other larderbox executable.
#pragma once

#include <cstdint>
#include <optional>

#include "diag/error.h"
#include "runtime/allocator.h"
#include "runtime/bytes.h"
#include "runtime/environment.h"
#include "shim/tool_name.h"

namespace larderbox {

// The size of `path` with links followed; none when its status cannot be taken. stat, not open, so
// that execute-only files and a process without free descriptors are measured too.
std::optional<std::uint64_t> fileSize(const char* path);

// Whether the calling process may execute `path` (access with X_OK).
bool isExecutable(const char* path);

// What identifies the running executable: the path it was executed under, and its size, taken once
// on first use from that path's status, or from "/proc/self/exe" when that path no longer names a
// file.
class SelfIdentity {
 public:
  static SelfIdentity ofThisProcess();
  // The executable as if it had been executed under `path` (followed by a NUL; empty: unknown).
  static SelfIdentity executedAs(Bytes path);
  std::optional<std::uint64_t> size();
  // Whether `path` is byte for byte the path this process was executed under.
  [[nodiscard]] bool isExecutedAs(Bytes path) const;

 private:
  SelfIdentity() = default;
  bool taken_ = false;
  Bytes executed_as_;  // followed by a NUL; empty when unknown
  std::optional<std::uint64_t> size_;
};

enum class CandidateKind { not_executable, larderbox, real_tool };

// What `path` (followed by a NUL) is to the lookup: not executable (access X_OK fails, or it is no
// regular file: a directory or a FIFO), a larderbox executable (the path this process was executed
// under, a file that carries the marker, or one whose marker cannot be read and that has this
// executable's size), or the real tool.
CandidateKind judgeCandidate(Bytes path, SelfIdentity& self);

// The first usable "<entry>/<tool>" of `path_value`, or none. Fails only with OutOfMemory.
Result<std::optional<Bytes>> findOnPath(ProcessAllocator& allocator,
                                        std::optional<Bytes> path_value, Tool tool,
                                        SelfIdentity& self);

// REAL_<TOOL> when it names a usable executable, else the PATH search.
Result<std::optional<Bytes>> findRealTool(ProcessAllocator& allocator, EnvironmentBlock environment,
                                          Tool tool, SelfIdentity& self);

}  // namespace larderbox
