// An open descriptor with one owner.
#pragma once

#include "runtime/system_calls.h"

namespace larderbox {

// Move-only: the descriptor is closed when its owner goes, unless release() has handed it on. An
// owner of -1 owns nothing.
class Descriptor {
 public:
  Descriptor() = default;
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(Descriptor&& other) noexcept : fd_(other.release()) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() { reset(); }

  [[nodiscard]] int get() const { return fd_; }
  [[nodiscard]] bool isOpen() const { return fd_ >= 0; }

  // Gives the descriptor up without closing it.
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

  // Closes what is owned, then owns `fd`.
  void reset(int fd = -1) {
    if (fd_ >= 0) closeFile(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

}  // namespace larderbox
