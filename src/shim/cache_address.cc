#include "shim/cache_address.h"

#include <cstring>

namespace larderbox {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

bool isBlank(char byte) {
  return byte == ' ' || byte == '\t' || byte == '\r' || byte == '\n';
}

unsigned byteAt(Bytes bytes, std::size_t i) {
  return static_cast<unsigned char>(bytes[i]);
}

char* append(char* out, Bytes bytes) {
  if (!bytes.empty()) std::memcpy(out, bytes.data(), bytes.size());
  return out + bytes.size();
}

}  // namespace

Bytes trimCacheServer(Bytes server) {
  while (!server.empty() && isBlank(server.front()))
    server.remove_prefix(1);
  while (!server.empty() && isBlank(server.back()))
    server.remove_suffix(1);
  while (!server.empty() && server.back() == '/')
    server.remove_suffix(1);
  return server;
}

std::size_t base64UrlLength(std::size_t input_length) {
  constexpr std::size_t kTail[] = {0, 2, 3};
  return 4 * (input_length / 3) + kTail[input_length % 3];
}

void encodeBase64UrlInto(Bytes input, char* out) {
  std::size_t i = 0;
  for (; i + 3 <= input.size(); i += 3) {
    unsigned group = byteAt(input, i) << 16 | byteAt(input, i + 1) << 8 | byteAt(input, i + 2);
    *out++ = kAlphabet[group >> 18 & 63];
    *out++ = kAlphabet[group >> 12 & 63];
    *out++ = kAlphabet[group >> 6 & 63];
    *out++ = kAlphabet[group & 63];
  }
  std::size_t left = input.size() - i;
  if (left == 1) {
    unsigned first = byteAt(input, i);
    *out++ = kAlphabet[first >> 2];
    *out++ = kAlphabet[(first & 3) << 4];
  } else if (left == 2) {
    unsigned first = byteAt(input, i);
    unsigned second = byteAt(input, i + 1);
    *out++ = kAlphabet[first >> 2];
    *out++ = kAlphabet[(first & 3) << 4 | second >> 4];
    *out++ = kAlphabet[(second & 15) << 2];
  }
}

Bytes cacheFileName(Bytes url) {
  Bytes kept = bytesUpTo(url, url.find_first_of("?#"));
  while (!kept.empty() && kept.back() == '/')
    kept.remove_suffix(1);
  std::size_t slash = kept.rfind('/');
  Bytes name = slash == Bytes::npos ? kept : bytesFrom(kept, slash + 1);
  return name.empty() ? Bytes("download") : name;
}

Result<Bytes> buildCacheAddress(ProcessAllocator& allocator, Bytes server, Bytes url) {
  constexpr Bytes kSegment = "/b/";
  Bytes trimmed = trimCacheServer(server);
  Bytes file_name = cacheFileName(url);
  if (url.size() > (SIZE_MAX - 16 - trimmed.size() - file_name.size()) / 4 * 3)
    return fail(Error::OutOfMemory);
  std::size_t length =
      trimmed.size() + kSegment.size() + base64UrlLength(url.size()) + 1 + file_name.size();
  char* address = allocator.allocateArray<char>(length + 1);
  if (address == nullptr) return fail(Error::OutOfMemory);
  char* out = append(address, trimmed);
  out = append(out, kSegment);
  encodeBase64UrlInto(url, out);
  out += base64UrlLength(url.size());
  out = append(out, "/");
  out = append(out, file_name);
  *out = '\0';
  return Bytes(address, length);
}

}  // namespace larderbox
