#include "shim/probe.h"

#include <array>
#include <span>

#include "process/child.h"
#include "process/drain.h"
#include "runtime/strings.h"
#include "runtime/system_calls.h"
#include "shim/tool_family.h"

namespace larderbox {
namespace {

// A header-only (curl) or spider (wget) request with the tool's own 5-second limit where it has
// one, one try, and none of the caller's options: headers, proxies and credentials for the origin
// stay out of it. The empty environment does not keep the tools from their configuration files
// (they find the home directory through the password database), so those are switched off by name:
// a "user" line would reach the cache host, a "retry" line would hold every miss. curl wants -q
// first, and -g keeps it from globbing the address. wget2 keeps HSTS, HPKP and OCSP databases in
// the working directory when there is no HOME, and their lock files in /tmp: --no-local-db stops
// the files. busybox reads no configuration file; its -T crashes 1.35, so the shim's own
// deadline stands in for it. busybox picks its applet by argument 0, or by the first argument when
// argument 0 names busybox itself.
struct ProbeCommand {
  std::array<Bytes, 12> words;
  std::size_t count;
};

ProbeCommand probeCommand(Bytes real_tool, ToolFamily family, Bytes cache_address) {
  switch (family) {
    case ToolFamily::curl:
      break;
    case ToolFamily::gnu_wget:
      return {{real_tool, "--no-config", "--no-netrc", "--spider", "-q", "-T", "5", "-t", "1",
               cache_address},
              10};
    case ToolFamily::wget2:
      return {{real_tool, "--no-config", "--no-local-db", "--no-netrc", "--spider", "-q", "-T", "5",
               "-t", "1", cache_address},
              11};
    case ToolFamily::busybox:
      if (namesBusybox(real_tool))
        return {{real_tool, "wget", "--spider", "-q", "-t", "1", cache_address}, 7};
      return {{real_tool, "--spider", "-q", "-t", "1", cache_address}, 6};
  }
  return {{real_tool, "-q", "-g", "-fsS", "-I", "-m", "5", "-o", "/dev/null", cache_address}, 10};
}

// The variables that choose the route to a host and the certificates that vouch for it, as each
// tool reads them (measured): the probe must reach the cache the way the download will.
constexpr Bytes kCurlRouteVariables[] = {
    "http_proxy", "https_proxy", "HTTPS_PROXY",    "all_proxy",     "ALL_PROXY",
    "no_proxy",   "NO_PROXY",    "CURL_CA_BUNDLE", "SSL_CERT_FILE", "SSL_CERT_DIR"};
constexpr Bytes kWgetRouteVariables[] = {"http_proxy", "https_proxy", "no_proxy"};
// wget2 2.x makes .local/share/wget below its home directory (the working directory when HOME is
// unset) and .cache below the password database's home even with --no-local-db: a home that is no
// directory leaves every mkdir failing, and wget2 probes all the same (measured with strace).
constexpr Bytes kWget2ProbeHome = "HOME=/dev/null";
constexpr std::size_t kMostRouteVariables = std::size(kCurlRouteVariables);
static_assert(std::size(kWgetRouteVariables) + 1 <= kMostRouteVariables);

struct ProbeEnvironment {
  std::array<Bytes, kMostRouteVariables> entries;
  std::size_t count = 0;
};

// The caller's own entries for those variables, byte for byte, and nothing else.
ProbeEnvironment probeEnvironment(EnvironmentBlock environment, ToolFamily family) {
  std::span<const Bytes> names = kCurlRouteVariables;
  if (family != ToolFamily::curl) names = kWgetRouteVariables;
  ProbeEnvironment probe;
  for (Bytes name : names) {
    std::optional<Bytes> value = lookupEnv(environment, name);
    if (!value) continue;
    const char* entry = value->data() - name.size() - 1;
    probe.entries[probe.count++] = Bytes(entry, name.size() + 1 + value->size());
  }
  if (family == ToolFamily::wget2) probe.entries[probe.count++] = kWget2ProbeHome;
  return probe;
}

// The file the hand-over will execute: a path without "/" names one in the working directory to
// execve, where a launch would search PATH instead.
std::optional<Bytes> executedFile(ProcessAllocator& allocator, Bytes real_tool) {
  if (containsBytes(real_tool, "/")) return real_tool;
  return joinWithNul(allocator, {"./", real_tool});
}

// curl's 5-second limit covers the whole transfer, wget's only each read: a cache that trickles
// header lines would hold wget, and the caller's download behind it, for ever. Three times the
// tools' own limit is more than one header-only request ever needs; past it the answer is "no".
constexpr std::int64_t kProbeDeadlineMs = kProbeDeadlineSeconds * 1000;

enum class Drained : std::uint8_t { to_end, deadline_passed, failed };

bool anyReaderFailed(const OutputDrain& drain) {
  for (const PipeReader& reader : drain.readers)
    if (reader.outcome != Error::None && reader.outcome != Error::EndOfStream) return true;
  return false;
}

// Reads both pipes to their end, unless the deadline passes or the wait for readiness or a read
// fails. A failed reader (its first buffer included) is read no more, so a child that goes on
// writing to its pipe blocks there for ever: the other pipe would then never end, and the first
// failure stops the draining at once.
Drained drainToEnd(OutputDrain& drain, std::int64_t deadline_ms) {
  for (;;) {
    if (anyReaderFailed(drain)) return Drained::failed;
    Result<DrainProgress> step = drainStep(drain, 64, deadline_ms);
    if (!step) return Drained::failed;
    if (*step == DrainProgress::deadline_passed) return Drained::deadline_passed;
    if (*step == DrainProgress::nothing_pending)
      return anyReaderFailed(drain) ? Drained::failed : Drained::to_end;
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

ProbeVerdict verdictOf(ChildExit exit) {
  switch (exit.kind) {
    case ChildExitKind::exited:
      return {exit.value == 0 ? ProbeOutcome::answered : ProbeOutcome::exited, exit.value};
    case ChildExitKind::signal:
      return {ProbeOutcome::signalled, exit.value};
    case ChildExitKind::unknown:
      break;
  }
  return {ProbeOutcome::failed, 0};
}

ProbeVerdict collectExit(RunContext& context, ChildProcess& child, std::int64_t deadline_ms) {
  if (!child.standard_output.isOpen() || !child.standard_error.isOpen())
    return {ProbeOutcome::failed, 0};
  std::array<int, 2> handles = {child.standard_output.get(), child.standard_error.get()};
  std::array<PipeReader, 2> readers;
  std::array<ReadSlot, 2> slots;
  OutputDrain drain;
  openDrain(drain, context.allocator, handles, readers, slots);
  ProbeVerdict verdict{ProbeOutcome::failed, 0};
  Drained drained = drainToEnd(drain, deadline_ms);
  if (drained == Drained::deadline_passed) verdict = {ProbeOutcome::no_answer, 0};
  if (drained == Drained::to_end) {
    Result<ChildExit> waited = waitChild(child);
    if (waited && discardOutput(context.allocator, drain)) verdict = verdictOf(*waited);
  }
  closeDrain(drain);
  return verdict;
}

}  // namespace

ProbeVerdict probeCache(RunContext& context, EnvironmentBlock environment, Bytes real_tool,
                        ToolFamily family, Bytes cache_address) {
  std::optional<Bytes> program = executedFile(context.allocator, real_tool);
  if (!program) return {ProbeOutcome::not_started, 0};
  ProbeCommand command = probeCommand(*program, family, cache_address);
  ProbeEnvironment route = probeEnvironment(environment, family);
  ChildSpawnOptions options;
  options.arguments = std::span<const Bytes>(command.words.data(), command.count);
  // No PATH or cache variables: only the route reaches the probe, and wget2's HOME.
  options.environment = std::span<const Bytes>(route.entries.data(), route.count);
  options.standard_input = StdioDisposition::ignore;
  options.standard_output = StdioDisposition::pipe;
  options.standard_error = StdioDisposition::pipe;
  options.keep_argument_0 = true;
  ChildProcess child;
  if (!spawnChild(context, options, child)) return {ProbeOutcome::not_started, 0};
  // A probe still running at the deadline is terminated and reaped as its record goes.
  return collectExit(context, child, monotonicMilliseconds() + kProbeDeadlineMs);
}

}  // namespace larderbox
