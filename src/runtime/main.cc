// Process entry: start-up, then one call of the program's function.
#include "runtime/environment.h"
#include "runtime/program.h"
#include "runtime/run_context.h"
#include "runtime/signals.h"

#ifdef LARDERBOX_FAULT_SEAM
#include <cstdint>
#include <cstring>
#include <optional>

#include "runtime/system_calls.h"

namespace {

// The decimal value of `name` in the block, read in place: nothing may allocate before the seam is
// armed, or the count would be off by the allocations made so far.
std::optional<std::uint64_t> seamNumber(char** envp, const char* name) {
  std::size_t length = std::strlen(name);
  for (char** entry = envp; entry != nullptr && *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, name, length) != 0 || (*entry)[length] != '=') continue;
    std::uint64_t value = 0;
    const char* digit = *entry + length + 1;
    if (*digit == '\0') return std::nullopt;
    for (; *digit != '\0'; ++digit) {
      if (*digit < '0' || *digit > '9' || value > (UINT64_MAX - 9) / 10) return std::nullopt;
      value = value * 10 + static_cast<std::uint64_t>(*digit - '0');
    }
    return value;
  }
  return std::nullopt;
}

// Fault-injection runs: LARDERBOX_FAIL_ALLOCATION=<n> fails the n-th allocation of the run, and
// LARDERBOX_FAIL_ALLOCATION_FD=<fd> names a descriptor that learns whether it did, for a run that
// ends in the real tool cannot tell. The descriptor is made close-on-exec so that neither the
// probe's child nor the real tool inherits it: the runs must look like any other.
void armAllocationFailure(char** envp) {
  std::optional<std::uint64_t> nth = seamNumber(envp, "LARDERBOX_FAIL_ALLOCATION");
  if (!nth) return;
  std::optional<std::uint64_t> report = seamNumber(envp, "LARDERBOX_FAIL_ALLOCATION_FD");
  int fd = -1;
  if (report && *report <= INT32_MAX && larderbox::setCloseOnExec(static_cast<int>(*report)))
    fd = static_cast<int>(*report);
  larderbox::failNthAllocation(*nth, fd);
}

}  // namespace
#endif

namespace {

// The allocator's first block, in the executable's zero-filled data: a run whose strings fit there
// maps no memory for them. Not aligned to a page, so that it begins in the page that start-up
// writes to anyway, and the first strings cost no page fault of their own.
alignas(16) char first_allocator_block[4096];

}  // namespace

int main(int argc, char** argv, char** envp) {
  using namespace larderbox;
#ifdef LARDERBOX_FAULT_SEAM
  armAllocationFailure(envp);
#endif
  EnvironmentBlock environment = environmentBlock(envp);
  ProcessAllocator allocator(first_allocator_block);
  RunContext context(allocator);
  installSignalHandlers(context);
  context.handlers_installed = true;
  return runProgram(context, argc, argv, environment);
}
