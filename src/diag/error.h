// Error values: every failure in larderbox is one of these, returned, never thrown.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string_view>
#include <utility>

namespace larderbox {

// Every error after None, in the order of their numbers. The one list gives the enumerators and
// their names, which are spelled exactly as the enumerators.
#define LARDERBOX_ERRORS(X) \
  X(OutOfMemory)            \
  X(WriteFailed)            \
  X(Unexpected)             \
  X(FileNotFound)           \
  X(AccessDenied)           \
  X(PermissionDenied)       \
  X(SystemResources)        \
  X(NoDevice)               \
  X(SystemFdQuotaExceeded)  \
  X(ProcessFdQuotaExceeded) \
  X(OperationUnsupported)   \
  X(FileSystem)             \
  X(InvalidExe)             \
  X(NotDir)                 \
  X(IsDir)                  \
  X(FileBusy)               \
  X(NameTooLong)            \
  X(EndOfStream)            \
  X(InputOutput)            \
  X(NotOpenForReading)      \
  X(WouldBlock)             \
  X(ConnectionResetByPeer)  \
  X(SocketUnconnected)      \
  X(ConcurrencyUnavailable)

// The value 0 stands for "no error" and has the empty name.
enum class Error : std::uint16_t {
  None = 0,
#define LARDERBOX_ERROR_ENUMERATOR(name) name,
  LARDERBOX_ERRORS(LARDERBOX_ERROR_ENUMERATOR)
#undef LARDERBOX_ERROR_ENUMERATOR
};

namespace detail {
// Indexed by the error's number: the empty name for None, then the list's names.
inline constexpr std::string_view kErrorNames[] = {"",
#define LARDERBOX_ERROR_NAME(name) #name,
                                                   LARDERBOX_ERRORS(LARDERBOX_ERROR_NAME)
#undef LARDERBOX_ERROR_NAME
};
}  // namespace detail

inline constexpr auto kErrorCount = static_cast<std::uint16_t>(std::size(detail::kErrorNames));

// The fixed name of an error; the empty string for Error::None and for values outside the table.
std::string_view errorName(Error error);

// The error numbered `code`, or Error::Unexpected when no error has that number.
Error errorFromCode(std::uint16_t code);

template <class T>
using Result = std::expected<T, Error>;
using Status = std::expected<void, Error>;

inline std::unexpected<Error> fail(Error error) {
  return std::unexpected<Error>(error);
}

// One row of a per-operation errno table.
struct ErrnoMapping {
  int errnum;
  Error error;
};

// Looks `errnum` up in `table`; an errno without its own row is Error::Unexpected.
Error mapErrno(int errnum, std::span<const ErrnoMapping> table);

}  // namespace larderbox

// Evaluates an expression yielding Result<T> or Status; on error, returns the error from the
// enclosing function, otherwise yields the value.
#define TRY(expression)                                                                  \
  __extension__({                                                                        \
    auto larderbox_try_result_ = (expression);                                           \
    if (!larderbox_try_result_) return ::larderbox::fail(larderbox_try_result_.error()); \
    ::larderbox::detail::takeValue(std::move(larderbox_try_result_));                    \
  })

namespace larderbox::detail {
template <class T>
T takeValue(Result<T>&& result) {
  return std::move(*result);
}
inline void takeValue(Status&&) {}
}  // namespace larderbox::detail
