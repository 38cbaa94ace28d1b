#include "tools/larderbox-path/standard_output.h"

#include <cstring>

#include "runtime/system_calls.h"

namespace larderbox {

void StandardOutput::append(Bytes bytes) {
  while (!bytes.empty() && !failed_) {
    if (fill_ == sizeof(buffer_)) flush();
    std::size_t take =
        bytes.size() < sizeof(buffer_) - fill_ ? bytes.size() : sizeof(buffer_) - fill_;
    std::memcpy(buffer_ + fill_, bytes.data(), take);
    fill_ += take;
    bytes = bytesFrom(bytes, take);
  }
}

bool StandardOutput::flush() {
  if (!failed_ && fill_ != 0) failed_ = !writeWhole(1, buffer_, fill_);
  fill_ = 0;
  return !failed_;
}

}  // namespace larderbox
