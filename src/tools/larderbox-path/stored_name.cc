#include "tools/larderbox-path/stored_name.h"

namespace larderbox {
namespace {

int hexValue(char digit) {
  if (digit >= '0' && digit <= '9') return digit - '0';
  if (digit >= 'a' && digit <= 'f') return digit - 'a' + 10;
  if (digit >= 'A' && digit <= 'F') return digit - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<std::size_t> decodeStoredName(Bytes name, char* out) {
  std::size_t length = 0;
  for (std::size_t i = 0; i < name.size(); ++i) {
    char byte = name[i];
    if (byte == '%' && i + 2 < name.size() && hexValue(name[i + 1]) >= 0 &&
        hexValue(name[i + 2]) >= 0) {
      byte = static_cast<char>(hexValue(name[i + 1]) << 4 | hexValue(name[i + 2]));
      i += 2;
    }
    // A "/" would put the file into a subdirectory that the request never names.
    if (byte == '/' || byte == '\0' || byte == '\n') return std::nullopt;
    out[length++] = byte;
  }
  Bytes decoded(out, length);
  if (decoded.empty() || decoded == "." || decoded == "..") return std::nullopt;
  return length;
}

}  // namespace larderbox
