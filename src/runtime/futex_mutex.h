// A three-state futex mutex (0 free, 1 held, 2 held with waiters), process-private.
#pragma once

#include <cstdint>

namespace larderbox {

class FutexMutex {
 public:
  void lock();
  void unlock();

 private:
  std::uint32_t word_ = 0;
};

// The calling thread's kernel id, asked for once per thread.
std::int32_t currentThreadId();

}  // namespace larderbox
