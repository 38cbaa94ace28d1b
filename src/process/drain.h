// Reading several pipes of a child to their end at once, on one thread, by readiness polling.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "diag/error.h"
#include "runtime/allocator.h"
#include "runtime/bytes.h"

namespace larderbox {

// Bytes from start to end are kept; end to capacity are free. Empty: no storage, capacity 0.
struct PipeBuffer {
  char* storage = nullptr;
  std::size_t capacity = 0;
  std::size_t start = 0;
  std::size_t end = 0;
};

struct PipeReader {
  int handle = -1;  // owned by the ChildProcess; the drain never closes it
  PipeBuffer buffer;
  Error outcome = Error::None;  // EndOfStream, or the error that ended the reader
};

// One slot per reader; slot i carries reader i's read and is on exactly one list.
enum class SlotList : std::uint8_t { free_list, pending, completed };

struct ReadSlot {
  SlotList list = SlotList::free_list;
  std::size_t completed_bytes = 0;
  Error completed_error = Error::None;
  std::uint32_t completion_order = 0;
};

struct ReadBatch {
  std::span<ReadSlot> slots;
  std::uint32_t next_completion = 0;
  // Poll entries beyond the ones held in place, from the allocator until closeDrain.
  void* poll_storage = nullptr;
  std::size_t poll_storage_size = 0;
};

struct OutputDrain {
  ProcessAllocator* allocator = nullptr;
  std::span<PipeReader> readers;
  ReadBatch batch;
};

enum class DrainProgress : std::uint8_t { progress, nothing_pending };

// Readers and slots are storage of the caller's, one of each per handle, living as long as the
// drain. Every reader starts with a 129-byte buffer and one armed read; openDrain never fails.
void openDrain(OutputDrain& drain, ProcessAllocator& allocator, std::span<const int> handles,
               std::span<PipeReader> readers, std::span<ReadSlot> slots);

// Waits for at least one armed read to be ready (no time-out), performs the ready reads and
// accounts them. ConcurrencyUnavailable when the wait itself fails.
Result<DrainProgress> drainStep(OutputDrain& drain, std::size_t minimum_free);

// The reader's kept bytes, exactly their length, owned by the caller; the reader is empty after.
Result<Bytes> takeOutput(OutputDrain& drain, std::size_t reader);

// Forgets armed reads and releases every buffer; never closes the handles.
void closeDrain(OutputDrain& drain);

}  // namespace larderbox
