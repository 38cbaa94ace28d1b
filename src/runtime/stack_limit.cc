#include "runtime/stack_limit.h"

#include <elf.h>
#include <link.h>
#include <sys/auxv.h>

namespace larderbox {
namespace {

// The memory size of the first PT_GNU_STACK program header, 0 when there is none.
std::uint64_t wantedStackSize() {
  auto* headers = reinterpret_cast<const ElfW(Phdr)*>(getauxval(AT_PHDR));
  unsigned long count = getauxval(AT_PHNUM);
  if (headers == nullptr) return 0;
  for (unsigned long i = 0; i < count; ++i)
    if (headers[i].p_type == PT_GNU_STACK) return headers[i].p_memsz;
  return 0;
}

}  // namespace

std::optional<rlim_t> raisedSoftStackLimit(std::uint64_t wanted, rlim_t soft, rlim_t hard) {
  if (wanted == 0) return std::nullopt;
  // RLIM_INFINITY is the largest rlim_t, so unsigned comparison treats unlimited as largest.
  rlim_t target = wanted < hard ? static_cast<rlim_t>(wanted) : hard;
  if (target > soft) return target;
  return std::nullopt;
}

void raiseStackLimit() {
  std::uint64_t wanted = wantedStackSize();
  if (wanted == 0) return;
  struct rlimit limit;
  if (getrlimit(RLIMIT_STACK, &limit) != 0) return;
  std::optional<rlim_t> soft = raisedSoftStackLimit(wanted, limit.rlim_cur, limit.rlim_max);
  if (!soft) return;
  limit.rlim_cur = *soft;
  setrlimit(RLIMIT_STACK, &limit);
}

}  // namespace larderbox
