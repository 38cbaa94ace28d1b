#include "shim/config_syntax.h"

namespace larderbox {
namespace {

bool isBlank(char byte) {
  return byte == ' ' || byte == '\t' || byte == '\r';
}

Bytes skipBlanks(Bytes bytes) {
  while (!bytes.empty() && isBlank(bytes.front()))
    bytes.remove_prefix(1);
  return bytes;
}

std::size_t findBlank(Bytes bytes) {
  for (std::size_t i = 0; i < bytes.size(); ++i)
    if (isBlank(bytes[i])) return i;
  return Bytes::npos;
}

char unescaped(char byte) {
  switch (byte) {
    case 't':
      return '\t';
    case 'n':
      return '\n';
    case 'r':
      return '\r';
    case 'v':
      return '\v';
    default:
      return byte;
  }
}

// The quoted value after the opening quote, up to the closing quote or the line's end: a view when
// it holds no escape, else unescaped into arena memory.
std::optional<Bytes> unquote(ProcessAllocator& allocator, Bytes quoted) {
  // A plain loop: find_first_of calls memchr once per byte of the value.
  std::size_t end = 0;
  while (end < quoted.size() && quoted[end] != '"' && quoted[end] != '\\')
    ++end;
  if (end == quoted.size() || quoted[end] == '"') return bytesUpTo(quoted, end);
  char* out = allocator.allocateArray<char>(quoted.size());
  if (out == nullptr) return std::nullopt;
  std::size_t size = 0;
  for (std::size_t i = 0; i < quoted.size() && quoted[i] != '"'; ++i) {
    if (quoted[i] == '\\' && i + 1 < quoted.size()) {
      out[size++] = unescaped(quoted[++i]);
      continue;
    }
    out[size++] = quoted[i];
  }
  return Bytes(out, size);
}

// The next token of a netrc file: blanks and line ends separate them.
std::optional<Bytes> takeToken(Bytes& rest) {
  std::size_t start = 0;
  while (start < rest.size() && (isBlank(rest[start]) || rest[start] == '\n'))
    ++start;
  if (start == rest.size()) return std::nullopt;
  std::size_t end = start;
  while (end < rest.size() && !isBlank(rest[end]) && rest[end] != '\n')
    ++end;
  Bytes token(rest.data() + start, end - start);
  rest = bytesFrom(rest, end);
  return token;
}

// A macro body ends at the first empty line.
void skipMacroBody(Bytes& rest) {
  std::size_t end = rest.find("\n\n");
  rest = end == Bytes::npos ? Bytes() : bytesFrom(rest, end + 2);
}

}  // namespace

std::optional<Bytes> takeLine(Bytes& rest) {
  if (rest.empty()) return std::nullopt;
  std::size_t end = rest.find('\n');
  Bytes line = bytesUpTo(rest, end);
  rest = end == Bytes::npos ? Bytes() : bytesFrom(rest, end + 1);
  return line;
}

bool isEmptySetting(Bytes line) {
  Bytes content = skipBlanks(line);
  return content.empty() || content.front() == '#';
}

std::optional<CurlSetting> parseCurlSetting(ProcessAllocator& allocator, Bytes line) {
  Bytes rest = skipBlanks(line);
  std::size_t name_end = 0;
  while (name_end < rest.size() && !isBlank(rest[name_end]) && rest[name_end] != '=' &&
         rest[name_end] != ':')
    ++name_end;
  CurlSetting setting{bytesUpTo(rest, name_end), std::nullopt};
  rest = skipBlanks(bytesFrom(rest, name_end));
  if (!rest.empty() && (rest.front() == '=' || rest.front() == ':'))
    rest = skipBlanks(bytesFrom(rest, 1));
  if (rest.empty()) return setting;
  if (rest.front() != '"') {
    setting.value = bytesUpTo(rest, findBlank(rest));
    return setting;
  }
  setting.value = unquote(allocator, bytesFrom(rest, 1));
  if (!setting.value) return std::nullopt;
  return setting;
}

bool netrcCoversHost(Bytes netrc, Bytes host) {
  Bytes rest = netrc;
  while (std::optional<Bytes> token = takeToken(rest)) {
    if (*token == "default") return true;
    if (*token == "macdef") {
      skipMacroBody(rest);
      continue;
    }
    if (*token != "machine") continue;
    std::optional<Bytes> machine = takeToken(rest);
    if (machine && sameIgnoringCase(*machine, host)) return true;
  }
  return false;
}

}  // namespace larderbox
