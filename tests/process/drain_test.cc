// The output drain over real pipes: pipes this test writes itself for exact byte counts, and real
// children for the concurrency that the drain exists for.
#include "process/drain.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "process/child.h"
#include "process_test_support.h"
#include "runtime/system_calls.h"
#include "support/assertions.h"

namespace larderbox {
namespace {

struct TestPipe {
  TestPipe() {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) == 0) {
      read_end = ends[0];
      write_end = ends[1];
    }
  }
  ~TestPipe() {
    closeWriter();
    if (read_end >= 0) close(read_end);
  }
  TestPipe(const TestPipe&) = delete;
  TestPipe& operator=(const TestPipe&) = delete;

  void put(const std::string& bytes) const {
    ASSERT_EQ(write(write_end, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  void closeWriter() {
    if (write_end >= 0) close(write_end);
    write_end = -1;
  }

  int read_end = -1;
  int write_end = -1;
};

std::string pattern(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes)
    byte = static_cast<char>(generator());
  return bytes;
}

std::string asString(Bytes bytes) {
  return std::string(bytes.data(), bytes.size());
}

std::size_t grown(std::size_t need) {
  return need + need / 2 + 128;
}

class DrainTest : public ::testing::Test {
 protected:
  void TearDown() override {
    failNthAllocation(0);
    if (context.null_device >= 0) close(context.null_device);
    allocator.releaseAll();
  }

  // drainStep until nothing is pending; the number of progress steps, or the step's error.
  static Result<std::size_t> drainToEnd(OutputDrain& drain) {
    std::size_t progress = 0;
    for (std::size_t step = 0; step < 10'000'000; ++step) {
      Result<DrainProgress> made = drainStep(drain, 64);
      if (!made) return fail(made.error());
      if (*made == DrainProgress::nothing_pending) return progress;
      ++progress;
    }
    ADD_FAILURE() << "the drain never finished";
    return progress;
  }

  // The probe's launch: null device in, both outputs on pipes.
  test::Spawned spawnShell(const std::string& script, const std::string& operand = "") {
    arguments_ = {"/bin/sh", "-c", script};
    if (!operand.empty()) arguments_.push_back(operand);
    views_.assign(arguments_.begin(), arguments_.end());
    ChildSpawnOptions options;
    options.arguments = views_;
    options.standard_input = StdioDisposition::ignore;
    options.standard_output = StdioDisposition::pipe;
    options.standard_error = StdioDisposition::pipe;
    return test::spawn(context, options);
  }

  ProcessAllocator allocator;
  RunContext context{allocator};
  test::Watchdog watchdog{120};

 private:
  std::vector<std::string> arguments_;
  std::vector<Bytes> views_;
};

TEST_F(DrainTest, OpenArmsEveryReaderOver129Bytes) {
  TestPipe a, b;
  std::array<int, 2> handles = {a.read_end, b.read_end};
  std::array<PipeReader, 2> readers;
  std::array<ReadSlot, 2> slots;
  OutputDrain drain;
  openDrain(drain, allocator, handles, readers, slots);
  ASSERT_EQ(drain.readers.size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(readers[i].handle, handles[i]);
    EXPECT_EQ(readers[i].outcome, Error::None);
    EXPECT_EQ(readers[i].buffer.capacity, 129u);
    EXPECT_EQ(readers[i].buffer.end, 0u);
    EXPECT_EQ(slots[i].list, SlotList::pending);
    EXPECT_EQ(slots[i].region, readers[i].buffer.storage);
    EXPECT_EQ(slots[i].region_size, 129u);
  }
  EXPECT_EQ(drain.batch.pending.count, 2u);
  closeDrain(drain);
}

TEST_F(DrainTest, HandlesBeyondTheViewAreLeftAlone) {
  // Three handles in the array, a view of two: the third reader and slot must stay untouched.
  TestPipe a, b;
  std::array<int, 3> handles = {a.read_end, b.read_end, 12345};
  std::array<PipeReader, 3> readers;
  readers[2].handle = -7;
  std::array<ReadSlot, 3> slots;
  OutputDrain drain;
  openDrain(drain, allocator, std::span<const int>(handles).first(2), readers, slots);
  EXPECT_EQ(drain.readers.size(), 2u);
  EXPECT_EQ(readers[2].handle, -7);
  EXPECT_EQ(readers[2].buffer.storage, nullptr);
  EXPECT_EQ(slots[2].list, SlotList::free_list);
  a.closeWriter();
  b.closeWriter();
  ASSERT_OK(drainToEnd(drain));
  closeDrain(drain);
}

TEST_F(DrainTest, ChildThatWritesNothing) {
  test::Spawned child = spawnShell("exit 0");
  ASSERT_OK(child);
  std::array<int, 2> handles = {child->standard_output.get(), child->standard_error.get()};
  std::array<PipeReader, 2> readers;
  std::array<ReadSlot, 2> slots;
  OutputDrain drain;
  openDrain(drain, allocator, handles, readers, slots);
  Result<std::size_t> steps = drainToEnd(drain);
  ASSERT_OK(steps);
  EXPECT_GE(*steps, 1u);  // once if both pipes close together, otherwise once per pipe
  EXPECT_LE(*steps, 2u);
  EXPECT_EQ(readers[0].outcome, Error::EndOfStream);
  EXPECT_EQ(readers[1].outcome, Error::EndOfStream);
  Result<DrainProgress> again = drainStep(drain, 64);
  ASSERT_OK(again);
  EXPECT_EQ(*again, DrainProgress::nothing_pending);
  Result<Bytes> out = takeOutput(drain, 0);
  Result<Bytes> err = takeOutput(drain, 1);
  ASSERT_OK(out);
  ASSERT_OK(err);
  EXPECT_EQ(out->size(), 0u);
  EXPECT_EQ(err->size(), 0u);
  closeDrain(drain);
  Result<ChildExit> ended = waitChild(*child);
  ASSERT_OK(ended);
  EXPECT_EQ(*ended, (ChildExit{ChildExitKind::exited, 0}));
}

TEST_F(DrainTest, SixtyFiveBytesThenEndOfStream) {
  TestPipe pipe;
  std::array<int, 1> handles = {pipe.read_end};
  std::array<PipeReader, 1> readers;
  std::array<ReadSlot, 1> slots;
  OutputDrain drain;
  openDrain(drain, allocator, handles, readers, slots);
  std::string bytes = pattern(65, 1);
  pipe.put(bytes);
  char* storage = readers[0].buffer.storage;
  Result<DrainProgress> first = drainStep(drain, 64);
  ASSERT_OK(first);
  EXPECT_EQ(*first, DrainProgress::progress);
  // 64 bytes free behind the 65 kept: not fewer than the minimum, so no growth.
  EXPECT_EQ(readers[0].buffer.end, 65u);
  EXPECT_EQ(readers[0].buffer.capacity, 129u);
  EXPECT_EQ(readers[0].buffer.storage, storage);
  EXPECT_EQ(slots[0].list, SlotList::pending);
  EXPECT_EQ(slots[0].region, storage + 65);
  EXPECT_EQ(slots[0].region_size, 64u);
  pipe.closeWriter();
  Result<DrainProgress> second = drainStep(drain, 64);
  ASSERT_OK(second);
  EXPECT_EQ(*second, DrainProgress::progress);
  EXPECT_EQ(readers[0].outcome, Error::EndOfStream);
  EXPECT_EQ(readers[0].buffer.capacity, 129u);
  Result<DrainProgress> third = drainStep(drain, 64);
  ASSERT_OK(third);
  EXPECT_EQ(*third, DrainProgress::nothing_pending);
  Result<Bytes> output = takeOutput(drain, 0);
  ASSERT_OK(output);
  EXPECT_EQ(asString(*output), bytes);
  closeDrain(drain);
}

TEST_F(DrainTest, DeadlineEndsTheWaitAndKeepsTheReaders) {
  // One pipe and two: a single read that could wait by itself must not outlast the deadline either.
  for (std::size_t count : {std::size_t{1}, std::size_t{2}}) {
    TestPipe pipes[2];
    std::array<int, 2> handles = {pipes[0].read_end, pipes[1].read_end};
    std::array<PipeReader, 2> readers;
    std::array<ReadSlot, 2> slots;
    OutputDrain drain;
    openDrain(drain, allocator, std::span<const int>(handles).first(count), readers, slots);
    std::int64_t start = monotonicMilliseconds();
    Result<DrainProgress> quiet = drainStep(drain, 64, start + 100);
    ASSERT_OK(quiet);
    EXPECT_EQ(*quiet, DrainProgress::deadline_passed) << count;
    std::int64_t waited = monotonicMilliseconds() - start;
    EXPECT_GE(waited, 100) << count;
    EXPECT_LT(waited, 5000) << count;
    for (std::size_t i = 0; i < count; ++i) {
      EXPECT_EQ(readers[i].outcome, Error::None) << count;
      EXPECT_EQ(slots[i].list, SlotList::pending) << count;
    }
    // A deadline already past still takes what is ready.
    pipes[0].put("ready");
    Result<DrainProgress> late = drainStep(drain, 64, start);
    ASSERT_OK(late);
    EXPECT_EQ(*late, DrainProgress::progress) << count;
    EXPECT_EQ(readers[0].buffer.end, 5u) << count;
    closeDrain(drain);
  }
}

TEST_F(DrainTest, TakeOutputShrinksToTheExactLength) {
  TestPipe pipe;
  std::array<int, 1> handles = {pipe.read_end};
  std::array<PipeReader, 1> readers;
  std::array<ReadSlot, 1> slots;
  OutputDrain drain;
  openDrain(drain, allocator, handles, readers, slots);
  std::string bytes = pattern(129, 2);
  pipe.put(bytes);
  char* storage = readers[0].buffer.storage;
  ASSERT_OK(drainStep(drain, 64));
  // A full 129-byte buffer: need = 129 + 64 = 193, capacity 193 + 96 + 128 = 417, grown in place
  // because the buffer is the arena's most recent allocation.
  EXPECT_EQ(readers[0].buffer.end, 129u);
  EXPECT_EQ(readers[0].buffer.capacity, 417u);
  EXPECT_EQ(readers[0].buffer.storage, storage);
  pipe.closeWriter();
  ASSERT_OK(drainToEnd(drain));
  EXPECT_EQ(readers[0].outcome, Error::EndOfStream);
  Result<Bytes> output = takeOutput(drain, 0);
  ASSERT_OK(output);
  EXPECT_EQ(output->size(), 129u);
  EXPECT_EQ(output->data(), storage);  // shrunk where it was, not copied
  EXPECT_EQ(asString(*output), bytes);
  EXPECT_EQ(readers[0].buffer.storage, nullptr);
  EXPECT_EQ(readers[0].buffer.capacity, 0u);
  EXPECT_EQ(readers[0].buffer.end, 0u);
  // The shrink gave the rest back: the next allocation starts right behind the 129 bytes.
  EXPECT_EQ(allocator.allocate(1, 1), storage + 129);
  closeDrain(drain);
}

TEST_F(DrainTest, GrowthMovesABufferThatCannotGrowInPlace) {
  TestPipe a, b;
  std::array<int, 2> handles = {a.read_end, b.read_end};
  std::array<PipeReader, 2> readers;
  std::array<ReadSlot, 2> slots;
  OutputDrain drain;
  openDrain(drain, allocator, handles, readers, slots);
  std::string bytes = pattern(129, 3);
  a.put(bytes);
  char* old_storage = readers[0].buffer.storage;
  ASSERT_OK(drainStep(drain, 64));
  // Reader 1's buffer came after reader 0's, so reader 0's grows by a copy.
  EXPECT_EQ(readers[0].buffer.capacity, 417u);
  EXPECT_NE(readers[0].buffer.storage, old_storage);
  EXPECT_EQ(std::string(readers[0].buffer.storage, readers[0].buffer.end), bytes);
  EXPECT_EQ(slots[0].region, readers[0].buffer.storage + 129);
  EXPECT_EQ(slots[0].region_size, 417u - 129u);
  a.closeWriter();
  b.closeWriter();
  ASSERT_OK(drainToEnd(drain));
  Result<Bytes> output = takeOutput(drain, 0);
  ASSERT_OK(output);
  EXPECT_EQ(asString(*output), bytes);
  closeDrain(drain);
}

TEST_F(DrainTest, MegabyteOnStandardErrorWhileStandardOutputStaysOpen) {
  test::TemporaryDirectory directory;
  std::string bytes = pattern(1 << 20, 4);
  test::writeTextFile(directory / "megabyte", bytes, 0644);
  // Standard output stays open (and silent) until the child ends; if the drain waited on it, the
  // child would block on a full standard error pipe for ever.
  test::Spawned child = spawnShell("cat \"$0\" >&2", directory / "megabyte");
  ASSERT_OK(child);
  std::array<int, 2> handles = {child->standard_output.get(), child->standard_error.get()};
  std::array<PipeReader, 2> readers;
  std::array<ReadSlot, 2> slots;
  OutputDrain drain;
  openDrain(drain, allocator, handles, readers, slots);
  std::size_t capacity = readers[1].buffer.capacity;
  std::size_t growths = 0;
  bool stdout_armed_while_growing = false;
  for (;;) {
    Result<DrainProgress> step = drainStep(drain, 64);
    ASSERT_OK(step);
    if (*step == DrainProgress::nothing_pending) break;
    const PipeBuffer& buffer = readers[1].buffer;
    if (buffer.capacity != capacity) {
      ++growths;
      EXPECT_GE(buffer.capacity - buffer.end, 64u);
      EXPECT_EQ(buffer.capacity, grown(buffer.end + 64)) << "after " << buffer.end << " bytes";
      capacity = buffer.capacity;
      if (slots[0].list == SlotList::pending && readers[0].buffer.end == 0)
        stdout_armed_while_growing = true;
    }
  }
  EXPECT_GT(growths, 5u);
  EXPECT_GT(capacity, std::size_t{1} << 20);
  EXPECT_TRUE(stdout_armed_while_growing);
  EXPECT_EQ(readers[0].outcome, Error::EndOfStream);
  EXPECT_EQ(readers[1].outcome, Error::EndOfStream);
  Result<ChildExit> ended = waitChild(*child);
  ASSERT_OK(ended);
  EXPECT_EQ(*ended, (ChildExit{ChildExitKind::exited, 0}));
  Result<Bytes> out = takeOutput(drain, 0);
  Result<Bytes> err = takeOutput(drain, 1);
  ASSERT_OK(out);
  ASSERT_OK(err);
  EXPECT_EQ(out->size(), 0u);
  ASSERT_EQ(err->size(), bytes.size());
  EXPECT_TRUE(asString(*err) == bytes) << "the standard error bytes differ";
  closeDrain(drain);
}

TEST_F(DrainTest, ChildFillingBothPipesDoesNotDeadlock) {
  test::TemporaryDirectory directory;
  std::string bytes = pattern(256 * 1024, 5);
  test::writeTextFile(directory / "chunk", bytes, 0644);
  test::Spawned child = spawnShell("cat \"$0\"; cat \"$0\" >&2; cat \"$0\"", directory / "chunk");
  ASSERT_OK(child);
  std::array<int, 2> handles = {child->standard_output.get(), child->standard_error.get()};
  std::array<PipeReader, 2> readers;
  std::array<ReadSlot, 2> slots;
  OutputDrain drain;
  openDrain(drain, allocator, handles, readers, slots);
  ASSERT_OK(drainToEnd(drain));
  Result<ChildExit> ended = waitChild(*child);
  ASSERT_OK(ended);
  EXPECT_EQ(*ended, (ChildExit{ChildExitKind::exited, 0}));
  Result<Bytes> out = takeOutput(drain, 0);
  ASSERT_OK(out);
  Result<Bytes> err = takeOutput(drain, 1);
  ASSERT_OK(err);
  EXPECT_TRUE(asString(*out) == bytes + bytes);
  EXPECT_TRUE(asString(*err) == bytes);
  closeDrain(drain);
}

TEST_F(DrainTest, FailedReaderIsVisibleAfterNothingPending) {
  TestPipe good;
  int closed_number = open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(closed_number, 0);
  close(closed_number);  // a descriptor number that is not open: poll says POLLNVAL
  std::array<int, 3> handles = {-1, closed_number, good.read_end};
  std::array<PipeReader, 3> readers;
  std::array<ReadSlot, 3> slots;
  OutputDrain drain;
  openDrain(drain, allocator, handles, readers, slots);
  good.put("abc");
  good.closeWriter();
  ASSERT_OK(drainToEnd(drain));
  // A failed read ends only its own reader.
  EXPECT_EQ(errorName(readers[0].outcome), errorName(Error::NotOpenForReading));
  EXPECT_EQ(errorName(readers[1].outcome), errorName(Error::NotOpenForReading));
  EXPECT_EQ(errorName(readers[2].outcome), errorName(Error::EndOfStream));
  Result<Bytes> output = takeOutput(drain, 2);
  ASSERT_OK(output);
  EXPECT_EQ(asString(*output), "abc");
  closeDrain(drain);
}

TEST_F(DrainTest, LoneBadHandle) {
  // One armed read: performed at once, without a poll that would ignore a negative descriptor.
  std::array<int, 1> handles = {-1};
  std::array<PipeReader, 1> readers;
  std::array<ReadSlot, 1> slots;
  OutputDrain drain;
  openDrain(drain, allocator, handles, readers, slots);
  Result<std::size_t> steps = drainToEnd(drain);
  ASSERT_OK(steps);
  EXPECT_EQ(*steps, 1u);
  EXPECT_EQ(errorName(readers[0].outcome), errorName(Error::NotOpenForReading));
  closeDrain(drain);
}

TEST_F(DrainTest, HangUpEndsTheReaderWithoutSpinning) {
  // Only POLLHUP is reported for a pipe whose writer has gone (it was not asked for): the reader
  // must end with EndOfStream and never be armed again, while the others wait on.
  TestPipe gone, later_a, later_b;
  gone.closeWriter();
  std::array<int, 3> handles = {gone.read_end, later_a.read_end, later_b.read_end};
  std::array<PipeReader, 3> readers;
  std::array<ReadSlot, 3> slots;
  OutputDrain drain;
  openDrain(drain, allocator, handles, readers, slots);
  Result<DrainProgress> step = drainStep(drain, 64);
  ASSERT_OK(step);
  EXPECT_EQ(*step, DrainProgress::progress);
  EXPECT_EQ(readers[0].outcome, Error::EndOfStream);
  EXPECT_EQ(slots[0].list, SlotList::free_list);
  EXPECT_EQ(drain.batch.pending.count, 2u);
  later_a.put("a");
  later_a.closeWriter();
  later_b.put("b");
  later_b.closeWriter();
  Result<std::size_t> steps = drainToEnd(drain);
  ASSERT_OK(steps);
  EXPECT_LE(*steps, 4u);  // data and hang-up of the two others, at most a step each
  EXPECT_EQ(readers[1].outcome, Error::EndOfStream);
  EXPECT_EQ(readers[2].outcome, Error::EndOfStream);
  closeDrain(drain);
}

TEST_F(DrainTest, MoreReadersThanThePollSetHoldsInPlace) {
  constexpr std::size_t kReaders = 70;
  std::vector<std::unique_ptr<TestPipe>> pipes;
  std::vector<int> handles;
  for (std::size_t i = 0; i < kReaders; ++i) {
    pipes.push_back(std::make_unique<TestPipe>());
    ASSERT_GE(pipes.back()->read_end, 0);
    handles.push_back(pipes.back()->read_end);
  }
  std::vector<PipeReader> readers(kReaders);
  std::vector<ReadSlot> slots(kReaders);
  OutputDrain drain;
  openDrain(drain, allocator, handles, readers, slots);
  // The poll set cannot be stored: the wait fails, and every reader keeps its armed read.
  failNthAllocation(1);
  EXPECT_ERROR(drainStep(drain, 64), Error::ConcurrencyUnavailable);
  failNthAllocation(0);
  EXPECT_EQ(drain.batch.pending.count, kReaders);
  EXPECT_EQ(drain.batch.poll_storage, nullptr);

  for (std::size_t i = 0; i < kReaders; ++i) {
    pipes[i]->put("reader " + std::to_string(i) + std::string(i * 7, '.'));
    pipes[i]->closeWriter();
  }
  ASSERT_OK(drainToEnd(drain));
  EXPECT_NE(drain.batch.poll_storage, nullptr);
  EXPECT_EQ(drain.batch.poll_storage_entries, kReaders);
  for (std::size_t i = 0; i < kReaders; ++i) {
    EXPECT_EQ(readers[i].outcome, Error::EndOfStream) << i;
    EXPECT_EQ(std::string(readers[i].buffer.storage, readers[i].buffer.end),
              "reader " + std::to_string(i) + std::string(i * 7, '.'));
  }
  closeDrain(drain);
  EXPECT_EQ(drain.batch.poll_storage, nullptr);
}

TEST_F(DrainTest, FirstBufferUnavailable) {
  TestPipe a, b;
  std::array<int, 2> handles = {a.read_end, b.read_end};
  std::array<PipeReader, 2> readers;
  std::array<ReadSlot, 2> slots;
  OutputDrain drain;
  failNthAllocation(1);
  openDrain(drain, allocator, handles, readers, slots);
  failNthAllocation(0);
  EXPECT_EQ(errorName(readers[0].outcome), errorName(Error::OutOfMemory));
  EXPECT_EQ(slots[0].list, SlotList::free_list);
  EXPECT_EQ(readers[0].buffer.storage, nullptr);
  EXPECT_EQ(slots[1].list, SlotList::pending);
  b.put("still read");
  b.closeWriter();
  ASSERT_OK(drainToEnd(drain));
  EXPECT_EQ(errorName(readers[0].outcome), errorName(Error::OutOfMemory));
  EXPECT_EQ(readers[1].outcome, Error::EndOfStream);
  Result<Bytes> empty = takeOutput(drain, 0);
  ASSERT_OK(empty);
  EXPECT_EQ(empty->size(), 0u);
  Result<Bytes> read = takeOutput(drain, 1);
  ASSERT_OK(read);
  EXPECT_EQ(asString(*read), "still read");
  closeDrain(drain);
}

TEST_F(DrainTest, GrowthFailureEndsOnlyThatReader) {
  TestPipe a, b;
  std::array<int, 2> handles = {a.read_end, b.read_end};
  std::array<PipeReader, 2> readers;
  std::array<ReadSlot, 2> slots;
  OutputDrain drain;
  openDrain(drain, allocator, handles, readers, slots);
  a.put(pattern(129, 6));  // fills reader 0, which cannot grow in place (reader 1 came later)
  failNthAllocation(1);
  Result<DrainProgress> step = drainStep(drain, 64);
  failNthAllocation(0);
  ASSERT_OK(step);
  EXPECT_EQ(errorName(readers[0].outcome), errorName(Error::OutOfMemory));
  EXPECT_EQ(slots[0].list, SlotList::free_list);
  EXPECT_EQ(readers[0].buffer.end, 129u);  // what was read stays
  b.put("b");
  b.closeWriter();
  ASSERT_OK(drainToEnd(drain));
  EXPECT_EQ(readers[1].outcome, Error::EndOfStream);
  closeDrain(drain);
}

TEST_F(DrainTest, CloseDrainForgetsArmedReadsAndKeepsTheHandles) {
  TestPipe a, b;
  std::array<int, 2> handles = {a.read_end, b.read_end};
  std::array<PipeReader, 2> readers;
  std::array<ReadSlot, 2> slots;
  OutputDrain drain;
  openDrain(drain, allocator, handles, readers, slots);
  closeDrain(drain);
  EXPECT_EQ(drain.batch.pending.count, 0u);
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(slots[i].list, SlotList::free_list);
    EXPECT_EQ(readers[i].buffer.storage, nullptr);
    EXPECT_TRUE(test::isOpen(handles[i]));
  }
  Result<DrainProgress> step = drainStep(drain, 64);
  ASSERT_OK(step);
  EXPECT_EQ(*step, DrainProgress::nothing_pending);
}

TEST_F(DrainTest, SignalsWithoutRestartInterruptNothing) {
  // A rain of SIGIO while a slow child is launched, drained and waited for: every EINTR must be
  // repeated.
  test::SignalRain rain;
  std::string expected_out, expected_err;
  for (int i = 0; i < 15; ++i) {
    expected_out += "out" + std::to_string(i) + "\n";
    expected_err += "err" + std::to_string(i) + "\n";
  }
  test::Spawned child = spawnShell(
      "i=0; while [ $i -lt 15 ]; do echo out$i; echo err$i >&2; sleep 0.02; i=$((i+1)); done");
  std::string out, err;
  Result<ChildExit> ended = fail(Error::Unexpected);
  if (child) {
    std::array<int, 2> handles = {child->standard_output.get(), child->standard_error.get()};
    std::array<PipeReader, 2> readers;
    std::array<ReadSlot, 2> slots;
    OutputDrain drain;
    openDrain(drain, allocator, handles, readers, slots);
    Result<std::size_t> steps = drainToEnd(drain);
    EXPECT_TRUE(steps.has_value());
    EXPECT_EQ(readers[0].outcome, Error::EndOfStream);
    EXPECT_EQ(readers[1].outcome, Error::EndOfStream);
    ended = waitChild(*child);
    Result<Bytes> taken_out = takeOutput(drain, 0);
    Result<Bytes> taken_err = takeOutput(drain, 1);
    if (taken_out) out = asString(*taken_out);
    if (taken_err) err = asString(*taken_err);
    closeDrain(drain);
  }
  rain.stop();

  ASSERT_OK(child);
  ASSERT_OK(ended);
  EXPECT_EQ(*ended, (ChildExit{ChildExitKind::exited, 0}));
  EXPECT_EQ(out, expected_out);
  EXPECT_EQ(err, expected_err);
  EXPECT_GT(test::SignalRain::delivered(), 10u);  // a loaded machine sends fewer
}

}  // namespace
}  // namespace larderbox
