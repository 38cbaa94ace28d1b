#include "runtime/futex_mutex.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "support/watchdog.h"

namespace larderbox {
namespace {

TEST(FutexMutex, MutualExclusionUnderContention) {
  test::Watchdog bound(60);  // a lost wake-up would hang the threads below
  FutexMutex mutex;
  long counter = 0;
  constexpr int kThreads = 4, kRounds = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        mutex.lock();
        // A read-modify-write that a second holder would spoil.
        long seen = counter;
        if (i % 64 == 0) std::this_thread::yield();
        counter = seen + 1;
        mutex.unlock();
      }
    });
  }
  for (std::thread& thread : threads)
    thread.join();
  EXPECT_EQ(counter, long{kThreads} * kRounds);
}

TEST(CurrentThreadId, KernelIdPerThread) {
  std::int32_t mine = currentThreadId();
  EXPECT_EQ(mine, static_cast<std::int32_t>(syscall(SYS_gettid)));
  EXPECT_EQ(currentThreadId(), mine);
  std::int32_t other = -1, expected = -2;
  std::thread thread([&] {
    other = currentThreadId();
    expected = static_cast<std::int32_t>(syscall(SYS_gettid));
  });
  thread.join();
  EXPECT_EQ(other, expected);
  EXPECT_NE(other, mine);
}

}  // namespace
}  // namespace larderbox
