#include "runtime/descriptor.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <utility>

namespace larderbox {
namespace {

bool isOpen(int fd) {
  return fcntl(fd, F_GETFD) != -1;
}

int openNullDevice() {
  return open("/dev/null", O_RDONLY | O_CLOEXEC);
}

TEST(Descriptor, ClosesWhatItOwns) {
  int fd = openNullDevice();
  ASSERT_GE(fd, 0);
  {
    Descriptor owner(fd);
    EXPECT_EQ(owner.get(), fd);
    EXPECT_TRUE(owner.isOpen());
  }
  EXPECT_FALSE(isOpen(fd));
  Descriptor none;  // owns nothing: going out of scope closes nothing
  EXPECT_FALSE(none.isOpen());
  EXPECT_EQ(none.get(), -1);
}

TEST(Descriptor, ReleaseHandsItOnOpen) {
  int fd = openNullDevice();
  ASSERT_GE(fd, 0);
  {
    Descriptor owner(fd);
    EXPECT_EQ(owner.release(), fd);
    EXPECT_FALSE(owner.isOpen());
    EXPECT_EQ(owner.release(), -1);
  }
  EXPECT_TRUE(isOpen(fd));
  close(fd);
}

TEST(Descriptor, MovesTransferOwnership) {
  int first = openNullDevice();
  int second = openNullDevice();
  ASSERT_GE(first, 0);
  ASSERT_GE(second, 0);
  {
    Descriptor a(first);
    Descriptor b(std::move(a));
    EXPECT_FALSE(a.isOpen());  // NOLINT(bugprone-use-after-move): a moved-from owner owns nothing
    EXPECT_EQ(b.get(), first);
    Descriptor c(second);
    c = std::move(b);  // c's own descriptor is closed at once
    EXPECT_FALSE(isOpen(second));
    EXPECT_EQ(c.get(), first);
    EXPECT_TRUE(isOpen(first));
    c.reset();
    EXPECT_FALSE(isOpen(first));
    EXPECT_FALSE(c.isOpen());
  }
}

}  // namespace
}  // namespace larderbox
