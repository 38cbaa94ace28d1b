#include "runtime/futex_mutex.h"

#include "runtime/system_calls.h"

namespace larderbox {

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
  if (cached == -1) cached = threadId();
  return cached;
}

}  // namespace larderbox
