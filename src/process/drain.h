// Reading several pipes of a child to their end at once, on one thread, by readiness polling.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "diag/error.h"
#include "runtime/allocator.h"
#include "runtime/bytes.h"

struct pollfd;

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
  Error outcome = Error::None;  // EndOfStream, or the error that ended the reader; never re-armed
};

// One slot per reader; slot i carries reader i's read and is on exactly one list.
enum class SlotList : std::uint8_t { free_list, pending, completed };

inline constexpr std::uint32_t kNoSlot = UINT32_MAX;

struct ReadSlot {
  SlotList list = SlotList::free_list;
  std::uint32_t next = kNoSlot;  // the next slot on the same list (pending or completed)
  // The armed region, end to capacity of the reader's buffer: a description, nothing in flight.
  char* region = nullptr;
  std::size_t region_size = 0;
  // A completed read: a byte count above 0, or an error.
  std::size_t completed_bytes = 0;
  Error completed_error = Error::None;
};

// A first-in, first-out list of slots, linked through ReadSlot::next.
struct SlotQueue {
  std::uint32_t head = kNoSlot;
  std::uint32_t tail = kNoSlot;
  std::uint32_t count = 0;
};

struct ReadBatch {
  std::span<ReadSlot> slots;
  SlotQueue pending;    // armed, in the order they were armed
  SlotQueue completed;  // performed, in the order they completed
  // The poll set beyond the entries held in place: one entry per slot, from the allocator on the
  // first step with more armed reads than fit in place, kept until closeDrain.
  struct pollfd* poll_storage = nullptr;
  std::size_t poll_storage_entries = 0;
};

struct OutputDrain {
  ProcessAllocator* allocator = nullptr;
  std::span<PipeReader> readers;
  ReadBatch batch;
};

// deadline_passed: the step's deadline came before any armed read was ready; nothing was read.
enum class DrainProgress : std::uint8_t { progress, nothing_pending, deadline_passed };

// No deadline: a step waits as long as its readers take.
inline constexpr std::int64_t kNoDeadline = -1;

// The poll entries a step holds in place, on its own stack.
inline constexpr std::size_t kPollEntriesInPlace = 64;

// Readers and slots are storage of the caller's, one of each per handle, living as long as the
// drain (extra elements are left alone). Every reader starts with a 129-byte buffer and one armed
// read, or, when that buffer cannot be had, with OutOfMemory as its outcome; openDrain never fails.
void openDrain(OutputDrain& drain, ProcessAllocator& allocator, std::span<const int> handles,
               std::span<PipeReader> readers, std::span<ReadSlot> slots);

// Waits for at least one armed read to be ready, performs the ready reads and accounts them; a
// reader left with fewer than `minimum_free` free bytes grows first. nothing_pending when no read
// was armed: every reader then has its outcome. With `deadline_ms` (CLOCK_MONOTONIC, as
// monotonicMilliseconds gives it), the wait ends there: deadline_passed, the readers unchanged.
// ConcurrencyUnavailable when the wait itself fails; the readers keep their state.
Result<DrainProgress> drainStep(OutputDrain& drain, std::size_t minimum_free,
                                std::int64_t deadline_ms = kNoDeadline);

// The reader's kept bytes, exactly their length, owned by the caller (release them with the
// process allocator); the reader is empty after. OutOfMemory leaves the bytes where they were.
// An index without a reader gives the empty byte string.
Result<Bytes> takeOutput(OutputDrain& drain, std::size_t reader);

// Forgets armed reads and releases every buffer and the poll storage; never closes the handles.
void closeDrain(OutputDrain& drain);

}  // namespace larderbox
