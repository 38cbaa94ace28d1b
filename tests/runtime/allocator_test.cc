#include "runtime/allocator.h"

#include <sys/mman.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

namespace larderbox {
namespace {

constexpr std::size_t kPage = 4096;
constexpr std::size_t kHeader = 24;

std::uintptr_t address(const void* memory) {
  return reinterpret_cast<std::uintptr_t>(memory);
}

// A block's first allocation (alignment up to 8) sits right behind the header of a fresh mapping.
bool startsABlock(const void* memory) {
  return address(memory) % kPage == kHeader;
}

// Whether the page holding `memory` is mapped at all.
bool isMapped(const void* memory) {
  unsigned char state;
  void* page = reinterpret_cast<void*>(address(memory) & ~(kPage - 1));
  return mincore(page, kPage, &state) == 0 || errno != ENOMEM;
}

class AllocatorTest : public ::testing::Test {
 protected:
  void TearDown() override {
    failNthAllocation(0);
    allocator_.releaseAll();
  }
  char* take(std::size_t size, std::size_t alignment = 1) {
    return static_cast<char*>(allocator_.allocate(size, alignment));
  }
  ProcessAllocator allocator_;
};

TEST_F(AllocatorTest, AllocationsFromOneBlockAreContiguous) {
  char* first = take(1);
  ASSERT_NE(first, nullptr);
  EXPECT_TRUE(startsABlock(first));
  char* second = take(10);
  EXPECT_EQ(second, first + 1);
  char* third = take(0);
  EXPECT_EQ(third, second + 10);
  // The memory is ours to write, header untouched.
  std::memset(first, 0xAB, 11);
  EXPECT_EQ(take(5), first + 11);
}

TEST_F(AllocatorTest, BlockSizesFollowTheGrowthRule) {
  // First block: 1.5 x (0 + 1 + 1 + 40) = 63, even 64, in whole pages: one page, 4072 usable.
  char* first = take(1);
  ASSERT_NE(first, nullptr);
  char* rest = take(kPage - kHeader - 1);
  EXPECT_EQ(rest, first + 1) << "the whole page belongs to the first block";
  // Full: the next byte maps a block of 1.5 x (4072 + 1 + 1 + 40) = 6171, even 6172: two pages.
  char* second_block = take(1);
  ASSERT_NE(second_block, nullptr);
  EXPECT_TRUE(startsABlock(second_block));
  EXPECT_NE(second_block, rest + (kPage - kHeader - 1));
  char* fill = take(2 * kPage - kHeader - 1);
  EXPECT_EQ(fill, second_block + 1) << "the second block spans two pages";
  // 1.5 x (8168 + 1 + 1 + 40) = 12315, even 12316: a third block of four pages.
  char* third_block = take(1);
  ASSERT_NE(third_block, nullptr);
  EXPECT_TRUE(startsABlock(third_block));
  EXPECT_EQ(take(4 * kPage - kHeader - 1), third_block + 1);
  EXPECT_TRUE(startsABlock(take(1)));
}

TEST_F(AllocatorTest, LargeFirstRequestSizesItsBlock) {
  // 1.5 x (0 + 10000 + 1 + 40) = 15061.5, even 15062, in pages 16384: 6360 bytes left behind it.
  char* big = take(10000);
  ASSERT_NE(big, nullptr);
  EXPECT_TRUE(startsABlock(big));
  std::memset(big, 1, 10000);
  EXPECT_EQ(take(16384 - kHeader - 10000), big + 10000);
  EXPECT_TRUE(startsABlock(take(1)));
}

TEST_F(AllocatorTest, RequestLargerThanWhatRemainsMapsANewBlock) {
  // 1.5 x (4000 + 1 + 40) = 6061.5, even 6062, in pages 8192: 4168 bytes remain behind it.
  constexpr std::size_t kRemaining = 2 * kPage - kHeader - 4000;
  char* first = take(4000);
  ASSERT_NE(first, nullptr);
  char* next = take(kRemaining + 1);  // one byte too many for the first block
  ASSERT_NE(next, nullptr);
  EXPECT_TRUE(startsABlock(next));
  // The rest of the old block is not used any more: allocations go on in the new one.
  EXPECT_EQ(take(8), next + kRemaining + 1);
  // Exactly what remains still fits.
  allocator_.releaseAll();
  first = take(4000);
  EXPECT_EQ(take(kRemaining), first + 4000);
}

TEST_F(AllocatorTest, ReleaseGivesBackOnlyTheMostRecent) {
  char* a = take(16);
  char* b = take(16);
  ASSERT_NE(b, nullptr);
  allocator_.release(a, 16);  // not the most recent: nothing happens
  EXPECT_EQ(take(16), b + 16);
  char* c = take(32);
  allocator_.release(c, 31);  // wrong size: not recognised as the most recent
  EXPECT_EQ(take(1), c + 32);
  char* d = take(100);
  allocator_.release(d, 100);
  EXPECT_EQ(take(100), d) << "released bytes are handed out again";
  allocator_.release(nullptr, 0);
  // Memory of an older block is never given back to the current one.
  char* big = take(2 * kPage);
  ASSERT_TRUE(startsABlock(big));
  char* tail = take(8);
  allocator_.release(d, 100);
  EXPECT_EQ(take(8), tail + 8);
}

TEST_F(AllocatorTest, ResizeInPlace) {
  char* a = take(10);
  ASSERT_NE(a, nullptr);
  EXPECT_TRUE(allocator_.resizeInPlace(a, 10, 100));
  EXPECT_EQ(take(1), a + 100) << "growth moved the end of the used bytes";

  char* b = take(10);
  EXPECT_FALSE(allocator_.resizeInPlace(a, 100, 200)) << "not the most recent";
  EXPECT_TRUE(allocator_.resizeInPlace(a, 100, 50)) << "shrinking always succeeds";
  EXPECT_EQ(take(1), b + 10) << "shrinking an older allocation gives nothing back";

  char* c = take(10);
  std::size_t room = kPage - kHeader - static_cast<std::size_t>(c - a);
  EXPECT_FALSE(allocator_.resizeInPlace(c, 10, room + 1)) << "beyond the block's end";
  EXPECT_EQ(take(1), c + 10) << "a failed growth changes nothing";

  char* d = take(10);
  room = kPage - kHeader - static_cast<std::size_t>(d - a);
  EXPECT_TRUE(allocator_.resizeInPlace(d, 10, room)) << "up to the block's last byte";
  std::memset(d, 7, room);
  EXPECT_TRUE(startsABlock(take(1)));

  char* e = take(64);
  EXPECT_TRUE(allocator_.resizeInPlace(e, 64, 8));
  EXPECT_EQ(take(1), e + 8) << "shrinking the most recent gives the tail back";
}

TEST_F(AllocatorTest, AlignmentHonoured) {
  for (std::size_t alignment = 1; alignment <= kPage; alignment *= 2) {
    ASSERT_NE(take(3), nullptr);  // leave the next free byte misaligned
    char* memory = take(alignment + 5, alignment);
    ASSERT_NE(memory, nullptr) << alignment;
    EXPECT_EQ(address(memory) % alignment, 0u) << alignment;
    std::memset(memory, 0x5A, alignment + 5);
  }
  // An aligned request on a fresh arena: the block leaves room for the padding.
  allocator_.releaseAll();
  char* page_aligned = take(kPage, kPage);
  ASSERT_NE(page_aligned, nullptr);
  EXPECT_EQ(address(page_aligned) % kPage, 0u);
  std::memset(page_aligned, 1, kPage);
  std::uint64_t* words = allocator_.allocateArray<std::uint64_t>(3);
  ASSERT_NE(words, nullptr);
  EXPECT_EQ(address(words) % alignof(std::uint64_t), 0u);
}

TEST_F(AllocatorTest, HugeRequestsFailCleanly) {
  ASSERT_NE(take(8), nullptr);
  struct Row {
    std::size_t size;
    std::size_t alignment;
  };
  const Row rows[] = {
      {SIZE_MAX, 1},         {SIZE_MAX, 4096},         {SIZE_MAX / 2, 1},
      {SIZE_MAX / 2, 8},     {SIZE_MAX - kHeader, 16}, {SIZE_MAX - 40, 1},
      {SIZE_MAX / 3 * 2, 1},
  };
  for (const Row& row : rows)
    EXPECT_EQ(take(row.size, row.alignment), nullptr) << row.size;
  EXPECT_EQ(allocator_.allocateArray<std::uint64_t>(SIZE_MAX / 4), nullptr);
  EXPECT_EQ(allocator_.allocateArray<std::uint64_t>(SIZE_MAX / 8 + 1), nullptr);
  // A failed request leaves the arena usable.
  char* after = take(8);
  ASSERT_NE(after, nullptr);
  std::memset(after, 0, 8);
  // A huge growth fails without touching the used bytes.
  EXPECT_FALSE(allocator_.resizeInPlace(after, 8, SIZE_MAX));
  EXPECT_EQ(take(1), after + 8);
}

TEST_F(AllocatorTest, ReleaseAllUnmapsEveryBlockAndStartsAfresh) {
  std::vector<char*> blocks;
  blocks.push_back(take(100));
  blocks.push_back(take(kPage));
  blocks.push_back(take(3 * kPage));
  for (char* block : blocks) {
    ASSERT_NE(block, nullptr);
    EXPECT_TRUE(isMapped(block));
  }
  allocator_.releaseAll();
  for (char* block : blocks)
    EXPECT_FALSE(isMapped(block));
  char* again = take(1);
  ASSERT_NE(again, nullptr);
  EXPECT_TRUE(startsABlock(again));
  // The growth rule starts from scratch: a one-page block again.
  EXPECT_EQ(take(kPage - kHeader - 1), again + 1);
  allocator_.releaseAll();
  allocator_.releaseAll();  // nothing left: a no-op
}

TEST(AllocatorFirstBlock, HandedOverStorageComesFirstAndIsNeverUnmapped) {
  alignas(4096) static char storage[kPage];
  ProcessAllocator allocator{std::span<char>(storage)};
  char* first = static_cast<char*>(allocator.allocate(1, 1));
  EXPECT_EQ(first, storage + kHeader);
  // The storage is a block like a mapped one: it is full at its end, and the next block follows
  // the growth rule from its usable size, 1.5 x (4072 + 1 + 1 + 40): two pages.
  EXPECT_EQ(allocator.allocate(kPage - kHeader - 1, 1), first + 1);
  char* mapped = static_cast<char*>(allocator.allocate(1, 1));
  ASSERT_NE(mapped, nullptr);
  EXPECT_TRUE(startsABlock(mapped));
  EXPECT_EQ(allocator.allocate(2 * kPage - kHeader - 1, 1), mapped + 1);
  // Only what was mapped goes back: the storage stays, and is not handed out again.
  allocator.releaseAll();
  EXPECT_FALSE(isMapped(mapped));
  EXPECT_TRUE(isMapped(storage));
  char* afresh = static_cast<char*>(allocator.allocate(1, 1));
  ASSERT_NE(afresh, nullptr);
  EXPECT_TRUE(startsABlock(afresh));
  EXPECT_NE(afresh, storage + kHeader);
  allocator.releaseAll();
}

TEST_F(AllocatorTest, FaultSeamFailsExactlyTheNthAllocation) {
  for (std::uint64_t n = 1; n <= 4; ++n) {
    failNthAllocation(n);
    for (std::uint64_t i = 1; i <= 6; ++i)
      EXPECT_EQ(take(8) == nullptr, i == n) << "allocation " << i << " with n = " << n;
  }
  failNthAllocation(2);
  failNthAllocation(0);  // disarmed
  for (int i = 0; i < 4; ++i)
    EXPECT_NE(take(8), nullptr);
}

}  // namespace
}  // namespace larderbox
