#include "runtime/stack_limit.h"

#include <sys/resource.h>

namespace larderbox {
namespace {

// What the link step writes into PT_GNU_STACK (-z stack-size=16777216, checked against the
// executable by the tests): a constant spares two auxiliary-vector scans and the header walk.
constexpr std::uint64_t kWantedStackSize = std::uint64_t{16} * 1024 * 1024;

}  // namespace

std::optional<rlim_t> raisedSoftStackLimit(std::uint64_t wanted, rlim_t soft, rlim_t hard) {
  if (wanted == 0) return std::nullopt;
  // RLIM_INFINITY is the largest rlim_t, so unsigned comparison treats unlimited as largest.
  rlim_t target = wanted < hard ? static_cast<rlim_t>(wanted) : hard;
  if (target > soft) return target;
  return std::nullopt;
}

void raiseStackLimit() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_STACK, &limit) != 0) return;
  std::optional<rlim_t> soft =
      raisedSoftStackLimit(kWantedStackSize, limit.rlim_cur, limit.rlim_max);
  if (!soft) return;
  limit.rlim_cur = *soft;
  setrlimit(RLIMIT_STACK, &limit);
}

}  // namespace larderbox
