#include "diag/error.h"

namespace larderbox {

std::string_view errorName(Error error) {
  auto index = static_cast<std::uint16_t>(error);
  return index < kErrorCount ? detail::kErrorNames[index] : std::string_view();
}

Error errorFromCode(std::uint16_t code) {
  if (code == 0 || code >= kErrorCount) return Error::Unexpected;
  return static_cast<Error>(code);
}

Error mapErrno(int errnum, std::span<const ErrnoMapping> table) {
  for (const ErrnoMapping& row : table)
    if (row.errnum == errnum) return row.error;
  return Error::Unexpected;
}

}  // namespace larderbox
