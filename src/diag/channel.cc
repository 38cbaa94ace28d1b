#include "diag/channel.h"

#include <sys/uio.h>

#include <cstring>

#include "runtime/system_calls.h"

namespace larderbox {
namespace {

constinit DiagnosticChannel standard_error(2);

Bytes colorBytes(TerminalColor color) {
  switch (color) {
    case TerminalColor::red:
      return "\x1b[31m";
    case TerminalColor::bold:
      return "\x1b[1m";
    case TerminalColor::dim:
      return "\x1b[2m";
    case TerminalColor::reset:
      return "\x1b[0m";
  }
  return {};
}

// The entry's name: its bytes up to the first "=", or all of it.
Bytes entryName(const char* entry) {
  Bytes whole(entry);
  std::size_t equals = whole.find('=');
  return equals == Bytes::npos ? whole : bytesUpTo(whole, equals);
}

}  // namespace

DiagnosticChannel& stderrChannel() {
  return standard_error;
}

void DiagnosticChannel::setEnvironment(char* const* entries, std::size_t count) {
  environment_ = entries;
  environment_count_ = count;
  scanned_ = count == 0;
}

ColorMode DiagnosticChannel::lock(std::span<char> buffer) {
  std::int32_t self = currentThreadId();
  if (owner_ == self) {
    // A nested section appends to the outer one's buffer: its bytes go out with the outer's.
    ++depth_;
    return color_mode_;
  }
  lock_.lock();
  owner_ = self;
  depth_ = 1;
  if (!color_decided_) {
    color_mode_ = decideColorMode();
    color_decided_ = true;
  }
  buffer_ = buffer.data();
  capacity_ = buffer.size();
  fill_ = 0;
  return color_mode_;
}

void DiagnosticChannel::scanEnvironment() {
  scan_lock_.lock();
  if (!scanned_) {
    for (std::size_t i = 0; i < environment_count_; ++i) {
      Bytes name = entryName(environment_[i]);
      if (name == "NO_COLOR") no_color_present_ = true;
      if (name == "CLICOLOR_FORCE") clicolor_force_present_ = true;
    }
    scanned_ = true;
  }
  scan_lock_.unlock();
}

ColorMode DiagnosticChannel::decideColorMode() {
  if (!scanned_) scanEnvironment();
  if (no_color_present_) return ColorMode::no_color;
  if (clicolor_force_present_) return ColorMode::escape_codes;
  return isTerminal(descriptor_) ? ColorMode::escape_codes : ColorMode::no_color;
}

Result<std::size_t> DiagnosticChannel::writeBufferedThen(Bytes rest) {
  struct iovec parts[2];
  int count = 0;
  if (fill_ > 0) parts[count++] = {buffer_, fill_};
  if (!rest.empty()) parts[count++] = {const_cast<char*>(rest.data()), rest.size()};
  SystemResult<std::size_t> written = writeVector(descriptor_, parts, count);
  // A zero count for a non-empty write would repeat for ever: take it as a failure.
  if (!written || *written == 0) {
    pending_write_error_ = Error::WriteFailed;
    return fail(Error::WriteFailed);
  }
  std::size_t accepted = *written;
  if (accepted < fill_) {
    std::memmove(buffer_, buffer_ + accepted, fill_ - accepted);
    fill_ -= accepted;
    return 0;
  }
  accepted -= fill_;
  fill_ = 0;
  return accepted;
}

Status DiagnosticChannel::writeAll(Bytes bytes) {
  while (!bytes.empty()) {
    if (bytes.size() <= capacity_ - fill_) {
      std::memcpy(buffer_ + fill_, bytes.data(), bytes.size());
      fill_ += bytes.size();
      return {};
    }
    std::size_t sent = TRY(writeBufferedThen(bytes));
    bytes = bytesFrom(bytes, sent);
  }
  return {};
}

Status DiagnosticChannel::setColor(ColorMode mode, TerminalColor color) {
  if (mode == ColorMode::no_color) return {};
  return writeAll(colorBytes(color));
}

void DiagnosticChannel::unlock() {
  if (--depth_ != 0) return;
  if (pending_write_error_ == Error::None)
    while (fill_ != 0 && writeBufferedThen({})) {
    }
  pending_write_error_ = Error::None;
  buffer_ = nullptr;
  capacity_ = 0;
  fill_ = 0;
  owner_ = -1;
  lock_.unlock();
}

void writeErrorLine(DiagnosticChannel& channel, Error error) {
  char buffer[kMessageBufferSize];
  ColorMode mode = channel.lock(buffer);
  (void)channel.setColor(mode, TerminalColor::red);
  (void)channel.setColor(mode, TerminalColor::bold);
  if (channel.writeAll("error")) {
    (void)channel.setColor(mode, TerminalColor::reset);
    (void)channel.setColor(mode, TerminalColor::dim);
    (void)channel.setColor(mode, TerminalColor::bold);
    if (channel.writeAll(": ")) {
      (void)channel.setColor(mode, TerminalColor::reset);
      if (channel.writeAll(errorName(error))) (void)channel.writeAll("\n");
    }
  }
  channel.unlock();
}

void writeMessage(DiagnosticChannel& channel, std::initializer_list<Bytes> pieces) {
  char buffer[kMessageBufferSize];
  channel.lock(buffer);
  for (Bytes piece : pieces)
    if (!channel.writeAll(piece)) break;
  channel.unlock();
}

}  // namespace larderbox
