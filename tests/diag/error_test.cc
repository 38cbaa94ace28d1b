#include "diag/error.h"

#include <errno.h>

#include <gtest/gtest.h>

namespace larderbox {
namespace {

TEST(ErrorName, EmptyForNoneAndOutsideTheTable) {
  EXPECT_EQ(errorName(Error::ConcurrencyUnavailable), "ConcurrencyUnavailable");  // the last one
  EXPECT_EQ(errorName(Error::None), "");
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
