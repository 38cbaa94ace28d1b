#include "shim/probe.h"

#include <array>

#include "process/child.h"
#include "process/drain.h"
#include "process/system_calls.h"

namespace larderbox {
namespace {

// A header-only (curl) or spider (wget) request with the tool's own 5-second limit, one try, and
// none of the caller's options: headers, proxies and credentials for the origin stay out of it.
std::array<Bytes, 8> probeCommand(Bytes real_tool, Bytes tool_name, Bytes cache_address) {
  if (tool_name == "wget")
    return {real_tool, "--spider", "-q", "-T", "5", "-t", "1", cache_address};
  return {real_tool, "-fsS", "-I", "-m", "5", "-o", "/dev/null", cache_address};
}

// curl's 5-second limit covers the whole transfer, wget's only each read: a cache that trickles
// header lines would hold wget, and the caller's download behind it, for ever. Three times the
// tools' own limit is more than one header-only request ever needs; past it the answer is "no".
constexpr std::int64_t kProbeDeadlineMs = 15000;

bool anyReaderFailed(const OutputDrain& drain) {
  for (const PipeReader& reader : drain.readers)
    if (reader.outcome != Error::None && reader.outcome != Error::EndOfStream) return true;
  return false;
}

// Reads both pipes to their end; false when the deadline passed, or the wait for readiness or any
// read failed. A failed reader (its first buffer included) is read no more, so a child that goes on
// writing to its pipe blocks there for ever: the other pipe would then never end, and the first
// failure stops the draining at once.
bool drainToEnd(OutputDrain& drain, std::int64_t deadline_ms) {
  for (;;) {
    if (anyReaderFailed(drain)) return false;
    Result<DrainProgress> step = drainStep(drain, 64, deadline_ms);
    if (!step || *step == DrainProgress::deadline_passed) return false;
    if (*step == DrainProgress::nothing_pending) return !anyReaderFailed(drain);
  }
}

// The output is taken only to be released unread: nobody ever sees what the probe printed.
bool discardOutput(ProcessAllocator& allocator, OutputDrain& drain) {
  Result<Bytes> output = takeOutput(drain, 0);
  if (!output) return false;
  Result<Bytes> errors = takeOutput(drain, 1);
  if (errors) allocator.release(const_cast<char*>(errors->data()), errors->size());
  allocator.release(const_cast<char*>(output->data()), output->size());
  return errors.has_value();
}

std::optional<ChildExit> collectExit(RunContext& context, ChildProcess& child,
                                     std::int64_t deadline_ms) {
  if (!child.standard_output || !child.standard_error) return std::nullopt;
  std::array<int, 2> handles = {*child.standard_output, *child.standard_error};
  std::array<PipeReader, 2> readers;
  std::array<ReadSlot, 2> slots;
  OutputDrain drain;
  openDrain(drain, context.allocator, handles, readers, slots);
  std::optional<ChildExit> ended;
  if (drainToEnd(drain, deadline_ms)) {
    Result<ChildExit> waited = waitChild(child);
    if (waited && discardOutput(context.allocator, drain)) ended = *waited;
  }
  closeDrain(drain);
  return ended;
}

}  // namespace

bool probeCache(RunContext& context, Bytes real_tool, Bytes tool_name, Bytes cache_address) {
  std::array<Bytes, 8> command = probeCommand(real_tool, tool_name, cache_address);
  ChildSpawnOptions options;
  options.arguments = command;
  options.environment = {};  // no PATH, HOME, proxy or cache variables reach the probe
  options.standard_input = {StdioDisposition::ignore};
  options.standard_output = {StdioDisposition::pipe};
  options.standard_error = {StdioDisposition::pipe};
  options.keep_argument_0 = true;
  Result<ChildProcess> spawned = spawnChild(context, options);
  if (!spawned) return false;
  ChildProcess child = *spawned;
  std::optional<ChildExit> ended =
      collectExit(context, child, monotonicMilliseconds() + kProbeDeadlineMs);
  if (child.pid) killChild(child);
  return ended && *ended == ChildExit{ChildExitKind::exited, 0};
}

}  // namespace larderbox
