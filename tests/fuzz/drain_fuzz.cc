// The output drain over two real pipes, written in chunks that the input chooses. Each chunk's
// first byte picks its pipe, its length and whether the drain runs before the next chunk is
// written; the input byte 0 also picks the minimum free space. Whatever was written to a pipe must
// come out of its reader byte for byte, and every pipe must end in EndOfStream.
//
// One thread writes and drains: the write ends are nonblocking, and drainStep runs only while a
// pipe holds unread bytes or after both writers are closed, so no call can wait for ever.
#include <errno.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "process/drain.h"
#include "runtime/allocator.h"

namespace larderbox::fuzz {
namespace {

// Larger inputs add nothing but time; a pipe holds 64 KiB, so this is one full pipe at most.
constexpr std::size_t kMaxInput = 64 * 1024;
constexpr std::size_t kPipes = 2;

struct Pipes {
  std::array<int, kPipes> read_ends{-1, -1};
  std::array<int, kPipes> write_ends{-1, -1};

  bool open() {
    for (std::size_t i = 0; i < kPipes; ++i) {
      int ends[2];
      if (pipe2(ends, O_CLOEXEC) != 0) return false;
      read_ends[i] = ends[0];
      write_ends[i] = ends[1];
      if (fcntl(ends[1], F_SETFL, O_NONBLOCK) != 0) return false;
    }
    return true;
  }
  void closeWriters() {
    for (int& end : write_ends)
      if (end >= 0) close(end), end = -1;
  }
  ~Pipes() {
    closeWriters();
    for (int end : read_ends)
      if (end >= 0) close(end);
  }
};

std::size_t unreadBytes(int read_end) {
  int count = 0;
  require(ioctl(read_end, FIONREAD, &count) == 0, "FIONREAD works on a pipe");
  return static_cast<std::size_t>(count);
}

struct Run {
  OutputDrain drain;
  Pipes pipes;
  std::size_t minimum_free = 0;
  std::size_t steps = 0;
  std::size_t bytes_written = 0;
};

// Drains while some reader's pipe holds unread bytes, so every step has a ready read.
void drainUnread(Run& run) {
  for (;;) {
    std::size_t unread = 0;
    for (std::size_t i = 0; i < kPipes; ++i) {
      require(run.drain.readers[i].outcome == Error::None, "no reader ends while its writer lives");
      unread += unreadBytes(run.pipes.read_ends[i]);
    }
    if (unread == 0) return;
    Result<DrainProgress> step = drainStep(run.drain, run.minimum_free);
    require(step.has_value(), "the wait for readiness does not fail");
    require(*step == DrainProgress::progress, "a pipe with unread bytes gives progress");
    ++run.steps;
  }
}

void writeAll(Run& run, int write_end, std::string_view chunk) {
  while (!chunk.empty()) {
    ssize_t written = write(write_end, chunk.data(), chunk.size());
    if (written < 0) {
      require(errno == EAGAIN, "a write to a full pipe only has to wait");
      drainUnread(run);
      continue;
    }
    chunk.remove_prefix(static_cast<std::size_t>(written));
    run.bytes_written += static_cast<std::size_t>(written);
  }
}

// Up to 1 + 127 * 33 = 4192 bytes: smaller than, equal to and larger than every early capacity.
std::size_t chunkLength(unsigned char control) {
  return 1 + (control >> 1 & 0x7F) * 33;
}

}  // namespace

void fuzzInput(std::string_view input) {
  if (input.empty() || input.size() > kMaxInput) return;
  constexpr std::size_t kMinimumFree[] = {0, 1, 64, 4096};

  Run run;
  run.minimum_free = kMinimumFree[static_cast<unsigned char>(input[0]) % 4];
  require(run.pipes.open(), "two pipes can be had");
  ProcessAllocator allocator;
  std::array<PipeReader, kPipes> readers;
  std::array<ReadSlot, kPipes> slots;
  openDrain(run.drain, allocator, run.pipes.read_ends, readers, slots);

  std::array<std::string, kPipes> expected;
  for (std::size_t at = 0; at < input.size();) {
    auto control = static_cast<unsigned char>(input[at]);
    std::string_view chunk = input.substr(at, chunkLength(control));
    std::size_t pipe = control & 1;
    expected[pipe].append(chunk);
    writeAll(run, run.pipes.write_ends[pipe], chunk);
    if (control % 3 == 0) drainUnread(run);
    at += chunk.size();
  }
  require(run.bytes_written == input.size(), "every input byte went into a pipe");

  run.pipes.closeWriters();
  for (;;) {
    Result<DrainProgress> step = drainStep(run.drain, run.minimum_free);
    require(step.has_value(), "the wait for readiness does not fail");
    if (*step == DrainProgress::nothing_pending) break;
    // Each step accounts at least one read, of at least one byte or an end of stream.
    require(++run.steps <= input.size() + kPipes,
            "the drain finishes in a bounded number of steps");
  }
  for (std::size_t i = 0; i < kPipes; ++i) {
    require(readers[i].outcome == Error::EndOfStream, "every pipe is read to its end");
    Result<Bytes> output = takeOutput(run.drain, i);
    require(output.has_value(), "the output can be taken");
    require(*output == expected[i], "the reader holds exactly the bytes written to its pipe");
  }
  closeDrain(run.drain);
  allocator.releaseAll();
}

}  // namespace larderbox::fuzz
