// larderbox-path's one writer to standard output.
#pragma once

#include <cstddef>

#include "runtime/bytes.h"

namespace larderbox {

// Standard output in blocks. After a failed write the rest is dropped, and flush() says so.
class StandardOutput {
 public:
  void append(Bytes bytes);

  // What was appended goes out now; false when any write of the run failed.
  bool flush();

 private:
  char buffer_[1 << 16] = {};
  std::size_t fill_ = 0;
  bool failed_ = false;
};

}  // namespace larderbox
