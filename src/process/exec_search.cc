#include "process/exec_search.h"

#include <errno.h>

#include <array>
#include <cstring>

#include "runtime/path_list.h"
#include "runtime/system_calls.h"

namespace larderbox {
namespace {

constexpr std::array<ErrnoMapping, 16> kExecErrors = {{
    {EPERM, Error::PermissionDenied},
    {ENOENT, Error::FileNotFound},
    {EIO, Error::FileSystem},
    {ELOOP, Error::FileSystem},
    {E2BIG, Error::SystemResources},
    {ENOMEM, Error::SystemResources},
    {ENOEXEC, Error::InvalidExe},
    {EINVAL, Error::InvalidExe},
    {ELIBBAD, Error::InvalidExe},
    {EACCES, Error::AccessDenied},
    {ENOTDIR, Error::NotDir},
    {EISDIR, Error::IsDir},
    {ENFILE, Error::SystemFdQuotaExceeded},
    {EMFILE, Error::ProcessFdQuotaExceeded},
    {ETXTBSY, Error::FileBusy},
    {ENAMETOOLONG, Error::NameTooLong},
}};

// The longest d + argument 0: d, "/", argument 0 and a NUL fill the candidate buffer.
constexpr std::size_t kLongestJoined = kCandidateBufferSize - 2;

char* copyBytes(char* to, Bytes from) {
  std::memcpy(to, from.data(), from.size());
  return to + from.size();
}

}  // namespace

Error execError(int errnum) {
  return mapErrno(errnum, kExecErrors);
}

Error execSearch(Bytes argument_0, char** arguments, char** environment,
                 std::optional<Bytes> path_value, bool keep_argument_0) {
  if (containsBytes(argument_0, "/"))
    return execError(executeProgram(argument_0.data(), arguments, environment));

  char* const written_argument_0 = arguments[0];
  Error pending = Error::FileNotFound;
  bool access_denied = false;
  char candidate[kCandidateBufferSize];
  Bytes rest = path_value ? *path_value : kDefaultSearchPath;
  while (std::optional<Bytes> directory = takePathEntry(rest)) {
    if (argument_0.size() > kLongestJoined ||
        directory->size() > kLongestJoined - argument_0.size())
      return Error::NameTooLong;
    char* end = copyBytes(candidate, *directory);
    *end++ = '/';
    end = copyBytes(end, argument_0);
    *end = '\0';
    if (!keep_argument_0) arguments[0] = candidate;
    Error error = execError(executeProgram(candidate, arguments, environment));
    arguments[0] = written_argument_0;  // every exit from the loop finds argument 0 as written
    if (error == Error::FileNotFound || error == Error::NotDir) {
      pending = error;
    } else if (error == Error::AccessDenied) {
      access_denied = true;
    } else {
      return error;
    }
  }
  return access_denied ? Error::AccessDenied : pending;
}

}  // namespace larderbox
