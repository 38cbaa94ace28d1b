#include "diag/error.h"

#include <array>

namespace larderbox {
namespace {

constexpr std::array<std::string_view, kErrorCount> kNames = {"",
#define LARDERBOX_ERROR_NAME(name) #name,
                                                              LARDERBOX_ERRORS(LARDERBOX_ERROR_NAME)
#undef LARDERBOX_ERROR_NAME
};

}  // namespace

std::string_view errorName(Error error) {
  auto index = static_cast<std::uint16_t>(error);
  return index < kNames.size() ? kNames[index] : std::string_view();
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
