// The diagnostics channel: everything larderbox itself says goes through here to standard error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>

#include "diag/error.h"
#include "runtime/bytes.h"
#include "runtime/futex_mutex.h"

namespace larderbox {

enum class ColorMode : std::uint8_t { no_color = 0, escape_codes = 1 };

enum class TerminalColor : std::uint8_t { red, bold, dim, reset };

// One message is one locked section: lock, any number of writeAll/setColor, unlock. While locked,
// writes collect in the caller's buffer, so a message that fits reaches the system in one write
// call and cannot interleave with other writers of the same descriptor. Outside a locked section
// the capacity is 0 and every write goes straight to the system.
class DiagnosticChannel {
 public:
  constexpr explicit DiagnosticChannel(int descriptor) : descriptor_(descriptor) {}

  // Start-up hands over the environment block; colour variables are looked up in it lazily.
  void setEnvironment(char* const* entries, std::size_t count);

  // Recursive for the owning thread: a nested section writes into the outermost section's buffer
  // and its unlock flushes nothing. The colour mode is decided at the first lock of the channel.
  ColorMode lock(std::span<char> buffer);
  Status writeAll(Bytes bytes);
  Status setColor(ColorMode mode, TerminalColor color);
  void unlock();

 private:
  ColorMode decideColorMode();
  void scanEnvironment();
  // One gathered write of the buffered bytes and then `rest`; returns how much of `rest` went out.
  Result<std::size_t> writeBufferedThen(Bytes rest);

  int descriptor_;
  char* buffer_ = nullptr;
  std::size_t capacity_ = 0;
  std::size_t fill_ = 0;
  Error pending_write_error_ = Error::None;

  std::int32_t owner_ = -1;
  std::uint32_t depth_ = 0;
  FutexMutex lock_;

  bool color_decided_ = false;
  ColorMode color_mode_ = ColorMode::no_color;

  char* const* environment_ = nullptr;
  std::size_t environment_count_ = 0;
  bool scanned_ = false;
  bool no_color_present_ = false;
  bool clicolor_force_present_ = false;
  FutexMutex scan_lock_;
};

// The process-wide channel on descriptor 2.
DiagnosticChannel& stderrChannel();

// The buffer of one message on the writer's stack: a longer message goes out in more writes.
inline constexpr std::size_t kMessageBufferSize = 64;

// "error: " and the error's name, coloured where the mode says, in one locked section.
void writeErrorLine(DiagnosticChannel& channel, Error error);
inline void writeErrorLine(Error error) {
  writeErrorLine(stderrChannel(), error);
}

// A plain message: the pieces in order in one locked section; the first failed piece drops the
// rest.
void writeMessage(DiagnosticChannel& channel, std::initializer_list<Bytes> pieces);
inline void writeMessage(std::initializer_list<Bytes> pieces) {
  writeMessage(stderrChannel(), pieces);
}

}  // namespace larderbox
