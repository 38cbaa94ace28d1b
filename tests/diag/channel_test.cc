#include "diag/channel.h"

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "support/assertions.h"
#include "support/string_array.h"
#include "support/watchdog.h"

namespace larderbox {
namespace {

constexpr const char kPlainLine[] = "error: OutOfMemory\n";
constexpr const char kColouredLine[] =
    "\x1b[31m\x1b[1merror\x1b[0m\x1b[2m\x1b[1m: \x1b[0mOutOfMemory\n";

// A channel writing into one end of a SOCK_SEQPACKET pair: every write call arrives as one packet,
// so the packets read from the other end show how many write calls a message took.
class PacketChannel {
 public:
  PacketChannel() {
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends_) != 0) ends_[0] = ends_[1] = -1;
  }
  PacketChannel(const PacketChannel&) = delete;
  PacketChannel& operator=(const PacketChannel&) = delete;
  ~PacketChannel() {
    closeReader();
    if (ends_[1] >= 0) close(ends_[1]);
  }

  bool ready() const { return ends_[0] >= 0; }
  int writer() const { return ends_[1]; }
  void closeReader() {
    if (ends_[0] >= 0) close(ends_[0]);
    ends_[0] = -1;
  }

  // Every packet that has arrived so far, without waiting for more.
  std::vector<std::string> packets() {
    std::vector<std::string> result;
    for (int i = 0; i < 1000; ++i) {
      char packet[8192];
      ssize_t got = recv(ends_[0], packet, sizeof packet, MSG_DONTWAIT);
      if (got < 0) break;
      result.emplace_back(packet, static_cast<std::size_t>(got));
    }
    return result;
  }

 private:
  int ends_[2] = {-1, -1};
};

// SIGPIPE ignored for the lifetime of the object, as the caller of a shim may have it.
class IgnoredSigpipe {
 public:
  IgnoredSigpipe() {
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &previous_);
  }
  IgnoredSigpipe(const IgnoredSigpipe&) = delete;
  IgnoredSigpipe& operator=(const IgnoredSigpipe&) = delete;
  ~IgnoredSigpipe() { sigaction(SIGPIPE, &previous_, nullptr); }

 private:
  struct sigaction previous_ = {};
};

ColorMode modeFor(int descriptor, const test::Environment& entries, std::size_t count) {
  DiagnosticChannel channel(descriptor);
  channel.setEnvironment(entries.entries(), count);
  char buffer[kMessageBufferSize];
  ColorMode mode = channel.lock(buffer);
  channel.unlock();
  return mode;
}

TEST(ErrorLine, ExactBytesInOneWrite) {
  struct Row {
    test::Environment environment;
    std::string line;
  };
  const Row rows[] = {
      {{"NO_COLOR="}, kPlainLine},
      {{"CLICOLOR_FORCE=0"}, kColouredLine},
  };
  ASSERT_EQ(std::string(kPlainLine).size(), 19u);
  ASSERT_EQ(std::string(kColouredLine).size(), 44u);
  for (const Row& row : rows) {
    PacketChannel socket;
    ASSERT_TRUE(socket.ready());
    DiagnosticChannel channel(socket.writer());
    channel.setEnvironment(row.environment.entries(), row.environment.count());
    writeErrorLine(channel, Error::OutOfMemory);
    EXPECT_EQ(socket.packets(), std::vector<std::string>{row.line});
  }
}

TEST(ErrorLine, OtherNames) {
  PacketChannel socket;
  ASSERT_TRUE(socket.ready());
  DiagnosticChannel channel(socket.writer());
  test::Environment environment{"NO_COLOR=1"};
  channel.setEnvironment(environment.entries(), environment.count());
  writeErrorLine(channel, Error::WriteFailed);
  writeErrorLine(channel, Error::None);
  EXPECT_EQ(socket.packets(), (std::vector<std::string>{"error: WriteFailed\n", "error: \n"}));
}

TEST(ColorMode, DecisionOrder) {
  int primary = -1, terminal = -1;
  ASSERT_EQ(openpty(&primary, &terminal, nullptr, nullptr, nullptr), 0);
  int pipe_ends[2];
  ASSERT_EQ(pipe2(pipe_ends, O_CLOEXEC), 0);
  int file = open("/dev/null", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(file, 0);

  struct Row {
    const char* what;
    test::Environment environment;
    int descriptor;
    ColorMode expected;
  };
  const Row rows[] = {
      {"terminal", {"TERM=xterm"}, terminal, ColorMode::escape_codes},
      {"pipe", {"TERM=xterm"}, pipe_ends[1], ColorMode::no_color},
      {"character device that is no terminal", {}, file, ColorMode::no_color},
      {"closed descriptor", {}, 1000, ColorMode::no_color},
      {"empty environment", {}, terminal, ColorMode::escape_codes},
      {"NO_COLOR empty, terminal", {"NO_COLOR="}, terminal, ColorMode::no_color},
      {"NO_COLOR 0, terminal", {"NO_COLOR=0"}, terminal, ColorMode::no_color},
      {"NO_COLOR wins", {"CLICOLOR_FORCE=1", "NO_COLOR=1"}, terminal, ColorMode::no_color},
      {"NO_COLOR wins on a pipe",
       {"NO_COLOR=", "CLICOLOR_FORCE="},
       pipe_ends[1],
       ColorMode::no_color},
      {"CLICOLOR_FORCE 0, pipe", {"CLICOLOR_FORCE=0"}, pipe_ends[1], ColorMode::escape_codes},
      {"CLICOLOR_FORCE false, closed", {"CLICOLOR_FORCE=false"}, 1000, ColorMode::escape_codes},
      {"NO_COLOR without '='", {"NO_COLOR"}, terminal, ColorMode::no_color},
      {"CLICOLOR_FORCE without '='", {"CLICOLOR_FORCE"}, pipe_ends[1], ColorMode::escape_codes},
      {"NO_COLORS", {"NO_COLORS=1"}, terminal, ColorMode::escape_codes},
      {"no_color", {"no_color=1"}, terminal, ColorMode::escape_codes},
      {"XNO_COLOR", {"XNO_COLOR=1"}, terminal, ColorMode::escape_codes},
      {"NO_COL", {"NO_COL=1"}, terminal, ColorMode::escape_codes},
      {"value only", {"X=NO_COLOR"}, terminal, ColorMode::escape_codes},
      {"CLICOLOR_FORCED", {"CLICOLOR_FORCED=1"}, pipe_ends[1], ColorMode::no_color},
      {"clicolor_force", {"clicolor_force=1"}, pipe_ends[1], ColorMode::no_color},
      {"CLICOLOR", {"CLICOLOR=1"}, pipe_ends[1], ColorMode::no_color},
  };
  for (const Row& row : rows)
    EXPECT_EQ(modeFor(row.descriptor, row.environment, row.environment.count()), row.expected)
        << row.what;

  // Only `count` entries belong to the view: a NO_COLOR behind it is not seen.
  test::Environment longer{"TERM=xterm", "NO_COLOR=1"};
  EXPECT_EQ(modeFor(terminal, longer, 1), ColorMode::escape_codes);
  EXPECT_EQ(modeFor(terminal, longer, 2), ColorMode::no_color);

  close(primary);
  close(terminal);
  close(pipe_ends[0]);
  close(pipe_ends[1]);
  close(file);
}

TEST(ColorMode, DecidedOnceAtFirstLock) {
  int pipe_ends[2];
  ASSERT_EQ(pipe2(pipe_ends, O_CLOEXEC), 0);
  test::Environment forced{"CLICOLOR_FORCE=1"};
  test::Environment none{};
  DiagnosticChannel channel(pipe_ends[1]);
  channel.setEnvironment(forced.entries(), forced.count());
  char buffer[kMessageBufferSize];
  EXPECT_EQ(channel.lock(buffer), ColorMode::escape_codes);
  channel.unlock();
  channel.setEnvironment(none.entries(), none.count());
  EXPECT_EQ(channel.lock(buffer), ColorMode::escape_codes);
  channel.unlock();
  close(pipe_ends[0]);
  close(pipe_ends[1]);
}

TEST(Message, ExecFailureWriteCalls) {
  const std::string prefix = "larderbox shim: cannot exec ";
  ASSERT_EQ(prefix.size(), 28u);
  struct Row {
    std::size_t path_length;
    std::vector<std::size_t> packet_sizes;
  };
  const Row rows[] = {
      {30, {59}},        {35, {64}},  // exactly fills the buffer
      {36, {65}},       // the newline no longer fits: buffered bytes and it in one gathered write
      {100, {128, 1}},  // the path does not fit: prefix and path together, the newline at unlock
      {5000, {5028, 1}},
  };
  for (const Row& row : rows) {
    PacketChannel socket;
    ASSERT_TRUE(socket.ready());
    DiagnosticChannel channel(socket.writer());
    // A path longer than the view: nothing behind its end may be written.
    std::string path(row.path_length, 'p');
    path.replace(0, 1, "/");
    std::string backing = path + "BEHIND";
    writeMessage(channel, {prefix, Bytes(backing.data(), path.size()), "\n"});
    std::vector<std::string> packets = socket.packets();
    std::string joined;
    std::vector<std::size_t> sizes;
    for (const std::string& packet : packets) {
      sizes.push_back(packet.size());
      joined += packet;
    }
    EXPECT_EQ(sizes, row.packet_sizes) << row.path_length;
    EXPECT_EQ(joined, prefix + path + "\n") << row.path_length;
  }
}

TEST(Message, UnbufferedOutsideALockedSection) {
  PacketChannel socket;
  ASSERT_TRUE(socket.ready());
  DiagnosticChannel channel(socket.writer());
  ASSERT_OK(channel.writeAll("one"));
  ASSERT_OK(channel.writeAll("two"));
  ASSERT_OK(channel.writeAll(""));
  EXPECT_EQ(socket.packets(), (std::vector<std::string>{"one", "two"}));
}

TEST(Message, SetColorWritesOnlyWithEscapeCodes) {
  PacketChannel socket;
  ASSERT_TRUE(socket.ready());
  DiagnosticChannel channel(socket.writer());
  ASSERT_OK(channel.setColor(ColorMode::no_color, TerminalColor::red));
  ASSERT_OK(channel.setColor(ColorMode::escape_codes, TerminalColor::red));
  ASSERT_OK(channel.setColor(ColorMode::escape_codes, TerminalColor::bold));
  ASSERT_OK(channel.setColor(ColorMode::escape_codes, TerminalColor::dim));
  ASSERT_OK(channel.setColor(ColorMode::escape_codes, TerminalColor::reset));
  EXPECT_EQ(socket.packets(),
            (std::vector<std::string>{"\x1b[31m", "\x1b[1m", "\x1b[2m", "\x1b[0m"}));
}

TEST(Message, FailedWriteCutsTheMessage) {
  test::Watchdog bound(20);
  IgnoredSigpipe ignored;
  {
    // The reader has gone: every write fails with EPIPE, nothing hangs, nothing is retried.
    PacketChannel socket;
    ASSERT_TRUE(socket.ready());
    socket.closeReader();
    DiagnosticChannel channel(socket.writer());
    test::Environment environment{"CLICOLOR_FORCE=1"};
    channel.setEnvironment(environment.entries(), environment.count());
    writeErrorLine(channel, Error::OutOfMemory);
    writeMessage(channel, {"larderbox shim: cannot exec ", std::string(100, 'p'), "\n"});
    EXPECT_ERROR(channel.writeAll("unbuffered"), Error::WriteFailed);
  }

  // A write that fails inside a section drops what is still buffered, and the next section
  // starts clean. A full non-blocking pipe fails with EAGAIN and can be drained afterwards.
  int pipe_ends[2];
  ASSERT_EQ(pipe2(pipe_ends, O_CLOEXEC | O_NONBLOCK), 0);
  std::string filler(4096, 'f');
  std::size_t filled = 0;
  for (int i = 0; i < 4096; ++i) {
    ssize_t wrote = write(pipe_ends[1], filler.data(), filler.size());
    if (wrote <= 0) break;
    filled += static_cast<std::size_t>(wrote);
  }
  ASSERT_GT(filled, 0u);
  DiagnosticChannel channel(pipe_ends[1]);
  char buffer[kMessageBufferSize];
  channel.lock(buffer);
  ASSERT_OK(channel.writeAll("buffered"));
  EXPECT_ERROR(channel.writeAll(std::string(100, 'x')), Error::WriteFailed);
  // Drain the pipe: were the buffer flushed at unlock, "buffered" would now arrive.
  std::string drained;
  for (std::size_t i = 0; i < filled + 1; ++i) {
    char chunk[65536];
    ssize_t got = read(pipe_ends[0], chunk, sizeof chunk);
    if (got <= 0) break;
    drained.append(chunk, static_cast<std::size_t>(got));
  }
  EXPECT_EQ(drained.size(), filled);
  channel.unlock();
  writeMessage(channel, {"next", "\n"});
  char chunk[256];
  ssize_t got = read(pipe_ends[0], chunk, sizeof chunk);
  ASSERT_GT(got, 0);
  EXPECT_EQ(std::string(chunk, static_cast<std::size_t>(got)), "next\n");
  close(pipe_ends[0]);
  close(pipe_ends[1]);
}

TEST(Lock, RecursiveForTheOwnerAndReleasedAtDepthZero) {
  test::Watchdog bound(20);
  PacketChannel socket;
  ASSERT_TRUE(socket.ready());
  DiagnosticChannel channel(socket.writer());
  char outer[kMessageBufferSize];
  char inner[kMessageBufferSize];
  channel.lock(outer);
  ASSERT_OK(channel.writeAll("outer "));
  channel.lock(inner);  // must not wait for itself
  ASSERT_OK(channel.writeAll("inner "));
  channel.unlock();
  ASSERT_OK(channel.writeAll("outer again"));
  EXPECT_TRUE(socket.packets().empty());  // the inner unlock flushed nothing
  channel.unlock();
  // Released: another thread gets the lock and writes.
  std::thread other([&] { writeMessage(channel, {"from ", "another thread"}); });
  other.join();
  EXPECT_EQ(socket.packets(),
            (std::vector<std::string>{"outer inner outer again", "from another thread"}));
}

TEST(Lock, SerialisesThreads) {
  test::Watchdog bound(60);
  PacketChannel socket;
  ASSERT_TRUE(socket.ready());
  int size = 1 << 20;
  setsockopt(socket.writer(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  DiagnosticChannel channel(socket.writer());
  constexpr int kThreads = 4, kMessages = 25;  // few enough to fit the socket's buffer
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&channel, t] {
      std::string tag(1, static_cast<char>('a' + t));
      for (int m = 0; m < kMessages; ++m) {
        char buffer[kMessageBufferSize];
        channel.lock(buffer);
        // Two pieces that a broken lock would let other threads split apart.
        (void)channel.writeAll(tag);
        (void)channel.writeAll(tag + "\n");
        channel.unlock();
      }
    });
  }
  for (std::thread& thread : threads)
    thread.join();
  std::vector<std::string> packets = socket.packets();
  EXPECT_EQ(packets.size(), static_cast<std::size_t>(kThreads * kMessages));
  for (const std::string& packet : packets) {
    ASSERT_EQ(packet.size(), 3u);
    EXPECT_EQ(packet[0], packet[1]);
    EXPECT_EQ(packet[2], '\n');
  }
}

}  // namespace
}  // namespace larderbox
