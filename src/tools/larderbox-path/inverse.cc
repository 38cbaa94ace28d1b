#include "tools/larderbox-path/inverse.h"

#include "runtime/strings.h"
#include "shim/cache_address.h"
#include "tools/larderbox-path/stored_name.h"

namespace larderbox {
namespace {

int sextet(char digit) {
  if (digit >= 'A' && digit <= 'Z') return digit - 'A';
  if (digit >= 'a' && digit <= 'z') return digit - 'a' + 26;
  if (digit >= '0' && digit <= '9') return digit - '0' + 52;
  if (digit == '-') return 62;
  if (digit == '_') return 63;
  return -1;
}

struct AddressParts {
  Bytes segment;
  std::optional<Bytes> name;
};

// The last two path parts after a "b" part, or the last one after it, or the whole.
std::optional<AddressParts> splitAddress(Bytes address) {
  std::size_t last = address.rfind('/');
  if (last == Bytes::npos) return AddressParts{address, std::nullopt};
  Bytes before = bytesUpTo(address, last);
  Bytes after = bytesFrom(address, last + 1);
  if (before == "b" || before.ends_with("/b")) return AddressParts{after, std::nullopt};
  std::size_t middle = before.rfind('/');
  Bytes segment = middle == Bytes::npos ? before : bytesFrom(before, middle + 1);
  Bytes prefix = middle == Bytes::npos ? Bytes() : bytesUpTo(before, middle);
  if (prefix == "b" || prefix.ends_with("/b")) return AddressParts{segment, after};
  return std::nullopt;
}

// `name` decoded as a server looks it up, in arena memory; none when no file can have it.
std::optional<Bytes> storedForm(ProcessAllocator& allocator, Bytes name) {
  char* out = allocator.allocateArray<char>(name.size() + 1);
  if (out == nullptr) return std::nullopt;
  std::optional<std::size_t> length = decodeStoredName(name, out);
  if (!length) return std::nullopt;
  return Bytes(out, *length);
}

}  // namespace

std::optional<Bytes> decodeBase64Url(ProcessAllocator& allocator, Bytes segment) {
  if (segment.size() % 4 == 1) return std::nullopt;
  auto* out = allocator.allocateArray<char>(segment.size() / 4 * 3 + 3);
  if (out == nullptr) return std::nullopt;
  std::size_t length = 0;
  std::uint32_t bits = 0;
  int held = 0;
  for (char digit : segment) {
    int value = sextet(digit);
    if (value < 0) return std::nullopt;
    bits = (bits << 6) | static_cast<std::uint32_t>(value);
    held += 6;
    if (held >= 8) {
      held -= 8;
      out[length++] = static_cast<char>((bits >> held) & 0xFF);
    }
  }
  return Bytes(out, length);
}

Result<std::optional<AddressOrigin>> originOfAddress(ProcessAllocator& allocator, Bytes address) {
  std::optional<AddressParts> parts = splitAddress(address);
  if (!parts || parts->segment.empty()) return std::optional<AddressOrigin>();
  std::optional<Bytes> url = decodeBase64Url(allocator, parts->segment);
  if (!url) return std::optional<AddressOrigin>();
  // The URL's own address, formed by the shim's code, must name the same segment.
  Bytes own = TRY(buildCacheAddress(allocator, "", *url));
  Bytes own_name = cacheFileName(*url);
  Bytes own_segment = bytesUpTo(bytesFrom(own, 3), own.size() - 3 - own_name.size() - 1);
  if (own_segment != parts->segment) return std::optional<AddressOrigin>();
  std::optional<Bytes> stored = storedForm(allocator, own_name);
  if (!stored) return std::optional<AddressOrigin>();
  if (parts->name) {
    std::optional<Bytes> asked = storedForm(allocator, *parts->name);
    if (!asked || *asked != *stored) return std::optional<AddressOrigin>();
  }
  std::optional<Bytes> path = joinWithNul(allocator, {"b/", own_segment, "/", *stored});
  if (!path) return fail(Error::OutOfMemory);
  return std::optional<AddressOrigin>(AddressOrigin{*url, *path});
}

}  // namespace larderbox
