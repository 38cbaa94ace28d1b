// The cache address, taken apart again and checked piece by piece against its layout. The input is
// the cache server value, a NUL, then the URL (which may hold further NUL bytes); an input without
// a NUL is a URL alone, with an empty server value.
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "runtime/allocator.h"
#include "shim/cache_address.h"

namespace larderbox::fuzz {
namespace {

bool isBlank(char byte) {
  return byte == ' ' || byte == '\t' || byte == '\r' || byte == '\n';
}

std::string_view referenceTrim(std::string_view server) {
  std::size_t first = 0, last = server.size();
  while (first < last && isBlank(server[first]))
    ++first;
  while (last > first && isBlank(server[last - 1]))
    --last;
  while (last > first && server[last - 1] == '/')
    --last;
  return server.substr(first, last - first);
}

std::size_t layoutLength(std::size_t n) {
  std::size_t tail = n % 3 == 0 ? 0 : n % 3 == 1 ? 2 : 3;
  return 4 * (n / 3) + tail;
}

int sextet(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '-') return 62;
  if (c == '_') return 63;
  return -1;
}

// Unpadded base64url back to bytes; none for a character outside the alphabet, an impossible
// length, or bits left over at the end that are not zero (an encoder never writes those).
std::optional<std::string> decodeBase64Url(std::string_view text) {
  if (text.size() % 4 == 1) return std::nullopt;
  std::string bytes;
  unsigned accumulated = 0;
  int bits = 0;
  for (char c : text) {
    int value = sextet(c);
    if (value < 0) return std::nullopt;
    accumulated = (accumulated << 6 | static_cast<unsigned>(value)) & 0xFFFFFF;
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      bytes.push_back(static_cast<char>(accumulated >> bits & 0xFF));
    }
  }
  if ((accumulated & ((1u << bits) - 1)) != 0) return std::nullopt;
  return bytes;
}

// Up to the first "?" or "#", trailing "/" off, after the last "/" left; "download" when empty.
std::string_view referenceFileName(std::string_view url) {
  std::size_t end = 0;
  while (end < url.size() && url[end] != '?' && url[end] != '#')
    ++end;
  while (end > 0 && url[end - 1] == '/')
    --end;
  std::size_t start = end;
  while (start > 0 && url[start - 1] != '/')
    --start;
  if (start == end) return "download";
  return url.substr(start, end - start);
}

void checkFileName(std::string_view url) {
  std::string_view name = cacheFileName(url);
  require(!name.empty(), "the file name is never empty");
  require(name.find_first_of("/?#") == std::string_view::npos,
          "the file name holds no \"/\", \"?\" or \"#\"");
  require(name == referenceFileName(url), "the file name follows its rules");
  require(name == "download" || isViewInto(name, url), "the file name is a view into the URL");
}

void checkAddress(std::string_view address, std::string_view server, std::string_view url) {
  std::string_view trimmed = referenceTrim(server);
  std::size_t encoded_length = layoutLength(url.size());
  std::string_view file_name = referenceFileName(url);
  require(address.size() == trimmed.size() + 3 + encoded_length + 1 + file_name.size(),
          "the address has the length of its layout");
  require(address.data()[address.size()] == '\0', "a NUL follows the address");
  require(address.substr(0, trimmed.size()) == trimmed,
          "the address begins with the trimmed server");
  std::string_view rest = address.substr(trimmed.size());
  require(rest.starts_with("/b/"), "\"/b/\" follows the server");
  std::string_view encoded = rest.substr(3, encoded_length);
  std::optional<std::string> decoded = decodeBase64Url(encoded);
  require(decoded.has_value(), "the middle segment is unpadded base64url");
  require(*decoded == url, "the middle segment decodes to the URL byte for byte");
  rest = rest.substr(3 + encoded_length);
  require(rest.size() == 1 + file_name.size() && rest[0] == '/', "\"/\" follows the segment");
  require(rest.substr(1) == file_name, "the address ends with the file name");
}

}  // namespace

void fuzzInput(std::string_view input) {
  std::size_t nul = input.find('\0');
  std::string_view server =
      nul == std::string_view::npos ? std::string_view() : input.substr(0, nul);
  std::string_view url = nul == std::string_view::npos ? input : input.substr(nul + 1);

  std::string_view trimmed = trimCacheServer(server);
  require(trimmed == referenceTrim(server), "the server is trimmed by its rules");
  require(isViewInto(trimmed, server), "the trimmed server is a view into the value");
  require(base64UrlLength(url.size()) == layoutLength(url.size()),
          "the segment length follows the layout");
  checkFileName(url);

  std::string encoded(base64UrlLength(url.size()), '\0');
  encodeBase64UrlInto(url, encoded.data());
  std::optional<std::string> decoded = decodeBase64Url(encoded);
  require(decoded && *decoded == url, "encodeBase64UrlInto decodes to the URL byte for byte");

  ProcessAllocator allocator;

  Result<Bytes> address = buildCacheAddress(allocator, server, url);
  require(address.has_value(), "building a short address does not run out of memory");
  checkAddress(*address, server, url);
  allocator.releaseAll();
}

}  // namespace larderbox::fuzz
