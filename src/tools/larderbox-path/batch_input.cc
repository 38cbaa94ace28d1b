#include "tools/larderbox-path/batch_input.h"

#include <cstring>

#include "runtime/system_calls.h"

namespace larderbox {

std::optional<Bytes> readStandardInput(ProcessAllocator& allocator) {
  std::size_t capacity = 1 << 16;
  std::size_t size = 0;
  auto* buffer = allocator.allocateArray<char>(capacity);
  if (buffer == nullptr) return std::nullopt;
  for (;;) {
    if (size == capacity) {
      // Doubled in place when it is the newest allocation, else copied.
      char* grown = buffer;
      if (!allocator.resizeInPlace(buffer, capacity, 2 * capacity)) {
        grown = allocator.allocateArray<char>(2 * capacity);
        if (grown == nullptr) return std::nullopt;
        std::memcpy(grown, buffer, size);
      }
      buffer = grown;
      capacity *= 2;
    }
    SystemResult<std::size_t> got = readFile(0, buffer + size, capacity - size);
    if (!got) return std::nullopt;
    if (*got == 0) return Bytes(buffer, size);
    size += *got;
  }
}

std::optional<std::span<Bytes>> splitRecords(ProcessAllocator& allocator, Bytes input,
                                             char separator) {
  std::size_t count = 0;
  for (char byte : input)
    count += byte == separator ? 1 : 0;
  if (!input.empty() && input.back() != separator) ++count;
  auto* records = allocator.allocateArray<Bytes>(count);
  if (records == nullptr && count != 0) return std::nullopt;
  std::size_t start = 0;
  for (std::size_t i = 0; i < count; ++i) {
    std::size_t end = input.find(separator, start);
    if (end == Bytes::npos) end = input.size();
    records[i] = Bytes(input.data() + start, end - start);
    start = end + 1;
  }
  return std::span<Bytes>(records, count);
}

}  // namespace larderbox
