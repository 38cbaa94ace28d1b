#include "shim/trace.h"

#include <fcntl.h>

#include "runtime/system_calls.h"
#include "shim/url_parts.h"

namespace larderbox {
namespace {

// The URL without its userinfo: the bytes before it and after its last "@".
struct MaskedUrl {
  Bytes before;
  Bytes mask;
  Bytes after;
};

MaskedUrl maskUserinfo(Bytes url) {
  UrlParts parts = splitUrl(url);
  std::size_t at = parts.authority.rfind('@');
  if (at == Bytes::npos) return {url, {}, {}};
  return {parts.scheme, "***@", bytesFrom(url, parts.scheme.size() + at + 1)};
}

bool isControl(unsigned char byte) {
  return byte < 0x20 || byte == 0x7f;
}

char* appendEscaped(char* out, Bytes piece) {
  constexpr char kHex[] = "0123456789ABCDEF";
  for (char byte : piece) {
    auto value = static_cast<unsigned char>(byte);
    if (!isControl(value)) {
      *out++ = byte;
      continue;
    }
    *out++ = '%';
    *out++ = kHex[value >> 4];
    *out++ = kHex[value & 15];
  }
  return out;
}

void writeLine(const TraceSink& sink, Bytes line) {
  if (sink.file == nullptr) {
    (void)writeFile(2, line.data(), line.size());
    return;
  }
  // O_NONBLOCK: a FIFO without a reader must not hold the download.
  SystemResult<int> fd =
      openFile(sink.file, O_WRONLY | O_APPEND | O_CREAT | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, 0600);
  if (!fd) return;
  (void)writeFile(*fd, line.data(), line.size());
  closeFile(*fd);
}

// The decimal digits of `value`, at the end of `buffer`.
Bytes decimal(std::uint32_t value, std::span<char, 10> buffer) {
  std::size_t start = buffer.size();
  do {
    buffer[--start] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  return Bytes(buffer.data() + start, buffer.size() - start);
}

}  // namespace

TraceSink traceSinkFrom(EnvironmentBlock environment) {
  std::optional<Bytes> value = lookupEnv(environment, "LARDERBOX_TRACE");
  if (!value) return {};
  // An environment value is NUL-terminated in place.
  return {true, value->starts_with('/') ? value->data() : nullptr};
}

void writeTrace(ProcessAllocator& allocator, const TraceSink& sink, Bytes decision,
                std::optional<Bytes> url, std::initializer_list<Bytes> detail,
                std::optional<Bytes> target) {
  if (!sink.enabled) return;
  MaskedUrl masked = url ? maskUserinfo(*url) : MaskedUrl{"-", {}, {}};
  MaskedUrl masked_target = target ? maskUserinfo(*target) : MaskedUrl{};
  std::initializer_list<Bytes> head = {"larderbox: ", decision,    " ",
                                       masked.before, masked.mask, masked.after};
  std::initializer_list<Bytes> tail = {masked_target.before, masked_target.mask,
                                       masked_target.after};
  std::size_t size = 1;
  for (std::initializer_list<Bytes> part : {head, detail, tail})
    for (Bytes piece : part) {
      if (piece.size() > (SIZE_MAX - size) / 4) return;
      size += piece.size() * 3;
    }
  char* line = allocator.allocateArray<char>(size);
  if (line == nullptr) return;
  char* out = line;
  for (std::initializer_list<Bytes> part : {head, detail, tail})
    for (Bytes piece : part)
      out = appendEscaped(out, piece);
  *out++ = '\n';
  writeLine(sink, Bytes(line, static_cast<std::size_t>(out - line)));
  allocator.release(line, size);
}

MissReason describeMiss(ProbeVerdict verdict, std::span<char, 10> digits) {
  switch (verdict.outcome) {
    case ProbeOutcome::exited:
      return {" (probe exited ", decimal(verdict.value, digits), ")"};
    case ProbeOutcome::signalled:
      return {" (probe ended by signal ", decimal(verdict.value, digits), ")"};
    case ProbeOutcome::no_answer:
      return {" (probe gave no answer in ", decimal(kProbeDeadlineSeconds, digits), " s)"};
    case ProbeOutcome::not_started:
      return {" (probe could not start", "", ")"};
    case ProbeOutcome::answered:
    case ProbeOutcome::failed:
      break;
  }
  return {" (probe failed", "", ")"};
}

void traceMiss(ProcessAllocator& allocator, const TraceSink& sink, Bytes url,
               ProbeVerdict verdict) {
  if (!sink.enabled) return;
  char digits[10];
  MissReason reason = describeMiss(verdict, digits);
  writeTrace(allocator, sink, "miss", url, {reason[0], reason[1], reason[2]});
}

}  // namespace larderbox
