#include "diag/error.h"

#include <errno.h>

#include <gtest/gtest.h>

#include <cctype>
#include <iterator>
#include <set>
#include <string>

namespace larderbox {
namespace {

TEST(ErrorName, SpelledAsTheEnumerator) {
  struct Row {
    Error error;
    const char* name;
  };
#define ROW(name) \
  { Error::name, #name }
  const Row rows[] = {
      ROW(OutOfMemory),
      ROW(WriteFailed),
      ROW(Unexpected),
      ROW(FileNotFound),
      ROW(AccessDenied),
      ROW(PermissionDenied),
      ROW(SystemResources),
      ROW(NoDevice),
      ROW(SystemFdQuotaExceeded),
      ROW(ProcessFdQuotaExceeded),
      ROW(OperationUnsupported),
      ROW(FileSystem),
      ROW(InvalidExe),
      ROW(NotDir),
      ROW(IsDir),
      ROW(FileBusy),
      ROW(NameTooLong),
      ROW(EndOfStream),
      ROW(InputOutput),
      ROW(NotOpenForReading),
      ROW(WouldBlock),
      ROW(ConnectionResetByPeer),
      ROW(SocketUnconnected),
      ROW(ConcurrencyUnavailable),
  };
#undef ROW
  // Every error has its row: the table cannot silently grow past the names.
  EXPECT_EQ(std::size(rows) + 1, kErrorCount);
  for (const Row& row : rows)
    EXPECT_EQ(errorName(row.error), row.name);
  EXPECT_EQ(errorName(Error::None), "");
}

TEST(ErrorName, TableIsDenseAndDistinct) {
  std::set<std::string> seen;
  for (std::uint16_t code = 1; code < kErrorCount; ++code) {
    std::string name(errorName(static_cast<Error>(code)));
    EXPECT_FALSE(name.empty()) << code;
    EXPECT_TRUE(seen.insert(name).second) << "duplicate " << name;
    for (char c : name)
      EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c))) << name;
  }
  // Outside the table: the empty name, never a read past its end.
  EXPECT_EQ(errorName(static_cast<Error>(kErrorCount)), "");
  EXPECT_EQ(errorName(static_cast<Error>(0xFFFF)), "");
}

TEST(ErrorFromCode, RoundTripAndOutOfRange) {
  for (std::uint16_t code = 1; code < kErrorCount; ++code)
    EXPECT_EQ(static_cast<std::uint16_t>(errorFromCode(code)), code);
  for (std::uint16_t code :
       {std::uint16_t{0}, kErrorCount, std::uint16_t(kErrorCount + 1), std::uint16_t{0xFFFF}})
    EXPECT_EQ(errorFromCode(code), Error::Unexpected) << code;
}

TEST(MapErrno, RowsThenUnexpected) {
  const ErrnoMapping table[] = {
      {ENOENT, Error::FileNotFound},
      {EACCES, Error::AccessDenied},
      {ENOENT, Error::NotDir},  // a later duplicate never wins
  };
  EXPECT_EQ(mapErrno(ENOENT, table), Error::FileNotFound);
  EXPECT_EQ(mapErrno(EACCES, table), Error::AccessDenied);
  EXPECT_EQ(mapErrno(EIO, table), Error::Unexpected);
  EXPECT_EQ(mapErrno(0, table), Error::Unexpected);
  EXPECT_EQ(mapErrno(ENOENT, {}), Error::Unexpected);
}

// TRY returns the error from the enclosing function and yields the value otherwise.
Result<int> doubled(Result<int> input, int* reached) {
  int value = TRY(input);
  ++*reached;
  return value * 2;
}

TEST(Try, PropagatesErrorsAndYieldsValues) {
  int reached = 0;
  EXPECT_EQ(doubled(21, &reached), 42);
  EXPECT_EQ(reached, 1);
  Result<int> failed = doubled(fail(Error::WriteFailed), &reached);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error(), Error::WriteFailed);
  EXPECT_EQ(reached, 1);
}

}  // namespace
}  // namespace larderbox
