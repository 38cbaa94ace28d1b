#include "process/drain.h"

#include <errno.h>
#include <poll.h>
#include <sys/uio.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>

#include "runtime/system_calls.h"

namespace larderbox {
namespace {

constexpr short kRequestedEvents = POLLIN | POLLERR;
static_assert(kRequestedEvents == 9);
static_assert(sizeof(struct pollfd) == 8);

constexpr int kInfiniteTimeout = -1;

constexpr std::array<ErrnoMapping, 8> kReadErrors = {{
    {EIO, Error::InputOutput},
    {EBADF, Error::NotOpenForReading},
    {EAGAIN, Error::WouldBlock},
    {ENOMEM, Error::SystemResources},
    {ENOBUFS, Error::SystemResources},
    {EISDIR, Error::IsDir},
    {ECONNRESET, Error::ConnectionResetByPeer},
    {ENOTCONN, Error::SocketUnconnected},
}};

// Half of the need again plus 128 bytes: few regrowths for a large output, room for small ones.
std::size_t grownCapacity(std::size_t need) {
  return addSaturated(addSaturated(need, need / 2), 128);
}

void push(ReadBatch& batch, SlotQueue& queue, std::uint32_t index, SlotList list) {
  ReadSlot& slot = batch.slots[index];
  slot.list = list;
  slot.next = kNoSlot;
  if (queue.tail == kNoSlot)
    queue.head = index;
  else
    batch.slots[queue.tail].next = index;
  queue.tail = index;
  ++queue.count;
}

// Takes `index` off `queue`, where it follows `previous` (kNoSlot: it is the head).
void unlink(ReadBatch& batch, SlotQueue& queue, std::uint32_t previous, std::uint32_t index) {
  ReadSlot& slot = batch.slots[index];
  if (previous == kNoSlot)
    queue.head = slot.next;
  else
    batch.slots[previous].next = slot.next;
  if (queue.tail == index) queue.tail = previous;
  --queue.count;
  slot.next = kNoSlot;
  slot.list = SlotList::free_list;
}

std::uint32_t popFront(ReadBatch& batch, SlotQueue& queue) {
  std::uint32_t index = queue.head;
  unlink(batch, queue, kNoSlot, index);
  return index;
}

// Makes room for `need` bytes from the buffer's start: kept bytes plus the wanted free space.
Status ensureFree(ProcessAllocator& allocator, PipeBuffer& buffer, std::size_t need) {
  std::size_t kept = buffer.end - buffer.start;
  if (buffer.capacity >= need) {
    if (buffer.start != 0) std::memmove(buffer.storage, buffer.storage + buffer.start, kept);
    buffer.start = 0;
    buffer.end = kept;
    return {};
  }
  std::size_t capacity = grownCapacity(need);
  if (buffer.start == 0 && buffer.storage != nullptr &&
      allocator.resizeInPlace(buffer.storage, buffer.capacity, capacity)) {
    buffer.capacity = capacity;
    return {};
  }
  auto* storage = static_cast<char*>(allocator.allocate(capacity, 1));
  if (storage == nullptr) return fail(Error::OutOfMemory);
  if (kept != 0) std::memcpy(storage, buffer.storage + buffer.start, kept);
  if (buffer.storage != nullptr) allocator.release(buffer.storage, buffer.capacity);
  buffer = {storage, capacity, 0, kept};
  return {};
}

void arm(ReadBatch& batch, std::uint32_t index, const PipeBuffer& buffer) {
  ReadSlot& slot = batch.slots[index];
  slot.region = buffer.storage + buffer.end;
  slot.region_size = buffer.capacity - buffer.end;
  slot.completed_bytes = 0;
  slot.completed_error = Error::None;
  push(batch, batch.pending, index, SlotList::pending);
}

// One readv over the armed region (a single one, so far below the 8 regions a call may pass). The
// handle stays blocking: this runs only when poll reported it, or for the last read armed.
void perform(ReadSlot& slot, int handle) {
  struct iovec region = {slot.region, slot.region_size};
  int count = slot.region_size != 0 ? 1 : 0;  // empty regions are skipped
  for (;;) {
    SystemResult<std::size_t> got = readVector(handle, &region, count);
    if (got && *got > 0) {
      slot.completed_bytes = *got;
      return;
    }
    if (got) {
      slot.completed_error = Error::EndOfStream;
      return;
    }
    if (got.error() == ETIMEDOUT) continue;
    slot.completed_error = mapErrno(got.error(), kReadErrors);
    return;
  }
}

// Performs, in the order of the pending list, the armed reads for which `ready(position, index)`
// holds (position counts the pending list from 0), and moves them to the completed list.
template <class Ready>
void performReady(OutputDrain& drain, Ready ready) {
  ReadBatch& batch = drain.batch;
  std::uint32_t previous = kNoSlot;
  std::size_t position = 0;
  for (std::uint32_t index = batch.pending.head; index != kNoSlot; ++position) {
    std::uint32_t next = batch.slots[index].next;
    if (ready(position, index)) {
      unlink(batch, batch.pending, previous, index);
      perform(batch.slots[index], drain.readers[index].handle);
      push(batch, batch.completed, index, SlotList::completed);
    } else {
      previous = index;
    }
    index = next;
  }
}

struct pollfd* pollSet(OutputDrain& drain,
                       std::array<struct pollfd, kPollEntriesInPlace>& in_place) {
  ReadBatch& batch = drain.batch;
  if (batch.pending.count <= in_place.size()) return in_place.data();
  if (batch.poll_storage == nullptr) {
    batch.poll_storage = drain.allocator->allocateArray<struct pollfd>(batch.slots.size());
    if (batch.poll_storage == nullptr) return nullptr;
    batch.poll_storage_entries = batch.slots.size();
  }
  return batch.poll_storage;
}

// The poll time-out: none while a completed read waits to be accounted, the time left until the
// deadline, or infinite without one.
int pollTimeout(const ReadBatch& batch, std::int64_t deadline_ms) {
  if (batch.completed.count != 0) return 0;
  if (deadline_ms == kNoDeadline) return kInfiniteTimeout;
  std::int64_t left = std::max<std::int64_t>(deadline_ms - monotonicMilliseconds(), 0);
  return static_cast<int>(std::min<std::int64_t>(left, INT_MAX));
}

// False when the deadline passed before any armed read was ready.
Result<bool> waitForReady(OutputDrain& drain, std::int64_t deadline_ms) {
  const ReadBatch& batch = drain.batch;
  if (batch.pending.count == 0) return true;
  // One read and nothing to account: the read itself can wait, unless a deadline bounds the wait.
  if (batch.pending.count == 1 && batch.completed.count == 0 && deadline_ms == kNoDeadline) {
    performReady(drain, [](std::size_t, std::uint32_t) { return true; });
    return true;
  }
  // poll never reports an entry with a negative descriptor, so such a read would wait for ever;
  // performed now, it fails at once (EBADF) and ends only its own reader.
  performReady(drain,
               [&](std::size_t, std::uint32_t index) { return drain.readers[index].handle < 0; });
  if (batch.pending.count == 0) return true;

  std::array<struct pollfd, kPollEntriesInPlace> in_place;
  struct pollfd* entries = pollSet(drain, in_place);
  if (entries == nullptr) return fail(Error::ConcurrencyUnavailable);
  std::size_t count = 0;
  for (std::uint32_t index = batch.pending.head; index != kNoSlot; index = batch.slots[index].next)
    entries[count++] = {drain.readers[index].handle, kRequestedEvents, 0};
  int timeout = pollTimeout(batch, deadline_ms);
  SystemResult<int> ready = pollHandles(entries, count, timeout);
  if (!ready) return fail(Error::ConcurrencyUnavailable);
  if (*ready == 0 && batch.completed.count == 0 && timeout != kInfiniteTimeout) return false;
  // Any event counts, not only the requested ones: POLLHUP (writer gone) and POLLNVAL (handle not
  // open) come unasked, and the read that follows turns them into the reader's outcome instead of
  // leaving the reader armed on a handle that poll will report again at once.
  performReady(drain,
               [&](std::size_t position, std::uint32_t) { return entries[position].revents != 0; });
  return true;
}

}  // namespace

void openDrain(OutputDrain& drain, ProcessAllocator& allocator, std::span<const int> handles,
               std::span<PipeReader> readers, std::span<ReadSlot> slots) {
  std::size_t count =
      std::min({handles.size(), readers.size(), slots.size(), static_cast<std::size_t>(kNoSlot)});
  drain.allocator = &allocator;
  drain.readers = readers.first(count);
  drain.batch = ReadBatch{};
  drain.batch.slots = slots.first(count);
  for (std::size_t i = 0; i < count; ++i) {
    drain.readers[i] = PipeReader{handles[i], PipeBuffer{}, Error::None};
    drain.batch.slots[i] = ReadSlot{};
  }
  for (std::uint32_t i = 0; i < count; ++i) {
    PipeReader& reader = drain.readers[i];
    Status room = ensureFree(allocator, reader.buffer, 1);
    if (!room)
      reader.outcome = room.error();
    else
      arm(drain.batch, i, reader.buffer);
  }
}

Result<DrainProgress> drainStep(OutputDrain& drain, std::size_t minimum_free,
                                std::int64_t deadline_ms) {
  ReadBatch& batch = drain.batch;
  if (batch.pending.count == 0 && batch.completed.count == 0) return DrainProgress::nothing_pending;
  // A read needs at least one free byte: an empty region would read 0 bytes, an end of stream that
  // never happened.
  std::size_t wanted_free = std::max<std::size_t>(minimum_free, 1);
  if (!TRY(waitForReady(drain, deadline_ms))) return DrainProgress::deadline_passed;

  bool accounted = false;
  while (batch.completed.count != 0) {
    accounted = true;
    std::uint32_t index = popFront(batch, batch.completed);
    const ReadSlot& slot = batch.slots[index];
    PipeReader& reader = drain.readers[index];
    if (slot.completed_error != Error::None) {
      reader.outcome = slot.completed_error;
      continue;
    }
    PipeBuffer& buffer = reader.buffer;
    buffer.end += slot.completed_bytes;
    if (buffer.capacity - buffer.end < wanted_free) {
      Status room = ensureFree(*drain.allocator, buffer,
                               addSaturated(buffer.end - buffer.start, wanted_free));
      if (!room) {
        reader.outcome = room.error();
        continue;
      }
    }
    arm(batch, index, buffer);
  }
  return accounted ? DrainProgress::progress : DrainProgress::nothing_pending;
}

Result<Bytes> takeOutput(OutputDrain& drain, std::size_t reader_index) {
  if (reader_index >= drain.readers.size()) return Bytes();
  ProcessAllocator& allocator = *drain.allocator;
  PipeBuffer& buffer = drain.readers[reader_index].buffer;
  Bytes output;
  if (buffer.start != 0) {
    std::size_t kept = buffer.end - buffer.start;
    auto* copy = static_cast<char*>(allocator.allocate(kept, 1));
    if (copy == nullptr) return fail(Error::OutOfMemory);
    std::memcpy(copy, buffer.storage + buffer.start, kept);
    allocator.release(buffer.storage, buffer.capacity);
    output = Bytes(copy, kept);
  } else if (buffer.storage == nullptr) {
    output = Bytes();
  } else if (buffer.end == 0) {
    allocator.release(buffer.storage, buffer.capacity);
    output = Bytes();
  } else {
    char* exact = buffer.storage;
    if (!allocator.resizeInPlace(buffer.storage, buffer.capacity, buffer.end)) {
      exact = static_cast<char*>(allocator.allocate(buffer.end, 1));
      if (exact == nullptr) return fail(Error::OutOfMemory);
      std::memcpy(exact, buffer.storage, buffer.end);
      allocator.release(buffer.storage, buffer.capacity);
    }
    output = Bytes(exact, buffer.end);
  }
  buffer = PipeBuffer{};
  // A reader taken while still armed leaves the drain: its region pointed into the old buffer.
  ReadBatch& batch = drain.batch;
  auto index = static_cast<std::uint32_t>(reader_index);
  if (batch.slots[index].list == SlotList::pending) {
    std::uint32_t previous = kNoSlot;
    for (std::uint32_t at = batch.pending.head; at != index; at = batch.slots[at].next)
      previous = at;
    unlink(batch, batch.pending, previous, index);
  }
  return output;
}

void closeDrain(OutputDrain& drain) {
  ReadBatch& batch = drain.batch;
  while (batch.pending.count != 0)
    popFront(batch, batch.pending);
  while (batch.completed.count != 0)
    popFront(batch, batch.completed);
  if (drain.allocator == nullptr) return;
  if (batch.poll_storage != nullptr)
    drain.allocator->release(batch.poll_storage,
                             batch.poll_storage_entries * sizeof(struct pollfd));
  batch.poll_storage = nullptr;
  batch.poll_storage_entries = 0;
  // Newest first: the arena gives bytes back only for its most recent allocation.
  for (std::size_t i = drain.readers.size(); i-- > 0;) {
    PipeBuffer& buffer = drain.readers[i].buffer;
    if (buffer.storage != nullptr) drain.allocator->release(buffer.storage, buffer.capacity);
    buffer = PipeBuffer{};
  }
}

}  // namespace larderbox
