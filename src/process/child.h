// Launching a child with chosen standard streams, waiting for it, and terminating it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "diag/error.h"
#include "runtime/bytes.h"
#include "runtime/descriptor.h"
#include "runtime/run_context.h"

namespace larderbox {

// What a child's standard stream is joined to.
enum class StdioDisposition : std::uint8_t {
  ignore,  // the null device
  pipe,    // a pipe whose other end the parent keeps
};

struct ChildSpawnOptions {
  std::span<const Bytes> arguments;    // argument 0 names the program
  std::span<const Bytes> environment;  // NAME=value entries: exactly the child's environment
  StdioDisposition standard_input = StdioDisposition::ignore;
  StdioDisposition standard_output = StdioDisposition::ignore;
  StdioDisposition standard_error = StdioDisposition::ignore;
  bool keep_argument_0 = false;  // a PATH search leaves argument 0 as written
};

// The launched child as the parent sees it: its process id from a successful spawnChild until
// waitChild or killChild, and the parent ends of its `pipe` streams. The record owns both: it
// closes the ends and terminates and reaps a child still held when it goes, so that no child
// outlives its record as a zombie.
struct ChildProcess {
  ChildProcess() = default;
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  std::optional<std::int32_t> pid;
  Descriptor standard_input;
  Descriptor standard_output;
  Descriptor standard_error;
};

// Stopped and continued states never reach a wait without WUNTRACED or WCONTINUED.
enum class ChildExitKind : std::uint8_t { exited = 0, signal = 1, unknown = 2 };

struct ChildExit {
  ChildExitKind kind = ChildExitKind::unknown;
  std::uint32_t value = 0;  // exit code, signal number, or the raw status for `unknown`
  bool operator==(const ChildExit&) const = default;
};

// Blocks until the child has executed its program or failed; a failure in the child (redirection,
// exec) arrives as the error it reported over the close-on-exec error pipe. The program starts with
// descriptors 0 to 2 only, this process's signal mask, and the signals this process catches at
// their default action; it is killed when this process ends.
// On success `child` holds the record. A parameter rather than a Result: the older clang that the
// static checks run cannot build std::expected around a type with a destructor of its own.
Status spawnChild(RunContext& context, const ChildSpawnOptions& options, ChildProcess& child);

// Blocks until the child has ended. Afterwards `child` holds no process id and no handles.
Result<ChildExit> waitChild(ChildProcess& child);

// SIGTERM, then reaps it when the signal could be sent. Afterwards `child` holds nothing.
void killChild(ChildProcess& child);

// Decodes a wait status word of a child that ended.
ChildExit decodeWaitStatus(std::uint32_t status);

}  // namespace larderbox
