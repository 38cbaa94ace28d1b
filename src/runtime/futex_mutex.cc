#include "runtime/futex_mutex.h"

#include <sys/syscall.h>
#include <unistd.h>

namespace larderbox {
namespace {

// The kernel's futex operations (musl ships no kernel headers).
constexpr int kFutexWait = 0;
constexpr int kFutexWake = 1;
constexpr int kFutexPrivateFlag = 128;
// cppcheck-suppress badBitmaskCheck ; FUTEX_WAIT is operation 0, written out beside its flag
constexpr int kFutexWaitPrivate = kFutexWait | kFutexPrivateFlag;
constexpr int kFutexWakePrivate = kFutexWake | kFutexPrivateFlag;

void futexWait(std::uint32_t* word, std::uint32_t expected) {
  syscall(SYS_futex, word, kFutexWaitPrivate, expected, nullptr, nullptr, 0);
}

void futexWakeOne(std::uint32_t* word) {
  syscall(SYS_futex, word, kFutexWakePrivate, 1, nullptr, nullptr, 0);
}

}  // namespace

void FutexMutex::lock() {
  std::uint32_t expected = 0;
  if (__atomic_compare_exchange_n(&word_, &expected, 1, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
    return;
  if (expected == 2) futexWait(&word_, 2);
  while (__atomic_exchange_n(&word_, 2, __ATOMIC_ACQUIRE) != 0)
    futexWait(&word_, 2);
}

void FutexMutex::unlock() {
  if (__atomic_exchange_n(&word_, 0, __ATOMIC_RELEASE) == 2) futexWakeOne(&word_);
}

std::int32_t currentThreadId() {
  static thread_local std::int32_t cached = -1;
  if (cached == -1) cached = static_cast<std::int32_t>(syscall(SYS_gettid));
  return cached;
}

}  // namespace larderbox
