#include "cleaning/ready_memory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace velmora::packed {
namespace {

constexpr size_t kMiB = size_t{1} << 20;

// The pages of [data, data + bytes) that are resident, counted by the kernel.
size_t resident_pages(const void* data, size_t bytes) {
#if defined(__linux__)
  const auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const auto begin = reinterpret_cast<uintptr_t>(data) / page * page;
  const size_t length = reinterpret_cast<uintptr_t>(data) + bytes - begin;
  std::vector<unsigned char> in((length + page - 1) / page);
  if (mincore(reinterpret_cast<void*>(begin), length, in.data()) != 0) return SIZE_MAX;
  size_t n = 0;
  for (const unsigned char c : in) n += c & 1;
  return n;
#else
  (void)data;
  (void)bytes;
  return 0;
#endif
}

// Every byte of the block can be written and read back.
void expect_usable(ReadyBlock& block) {
  auto* bytes = static_cast<unsigned char*>(block.data);
  for (size_t i = 0; i < block.bytes; ++i) bytes[i] = static_cast<unsigned char>(i * 7);
  for (size_t i = 0; i < block.bytes; i += 4093) ASSERT_EQ(bytes[i], static_cast<unsigned char>(i * 7)) << i;
}

TEST(ReadyMemory, MadeReadyInStepsThenTakenAtTheSizeNeeded) {
  if (!memory_made_ready_ahead()) GTEST_SKIP() << "no memory made ready ahead on this system";
  const std::atomic<bool> go{false};
  ReadyMemory memory;
  size_t asked = 0;
  // small steps, each growing the region past where it was: the mapping may
  // move, and what was made ready moves with it
  for (size_t step : {3 * kMiB + 5, 1 * kMiB, 7 * kMiB, size_t{5}, 20 * kMiB}) {
    asked += step;
    // whole 2 MiB pages, never more than asked for
    EXPECT_TRUE(memory.ready_up_to(asked, go));
    EXPECT_EQ(memory.ready(), asked / (2 * kMiB) * (2 * kMiB));
  }
  EXPECT_EQ(memory.ready(), 30 * kMiB);
  ReadyBlock block = memory.take(asked - 3 * kMiB);
  EXPECT_EQ(memory.ready(), 0u);
  ASSERT_NE(block.data, nullptr);
  EXPECT_EQ(block.bytes, asked - 3 * kMiB);
  EXPECT_EQ(resident_pages(block.data, block.bytes), (block.bytes + 4095) / 4096);
  expect_usable(block);
  block.release();
  EXPECT_EQ(block.data, nullptr);
  block.release();  // an empty block: nothing to do
}

TEST(ReadyMemory, TakingMoreThanWasMadeReadyGrowsTheBlock) {
  const std::atomic<bool> go{false};
  ReadyMemory memory;
  memory.ready_up_to(2 * kMiB, go);
  ReadyBlock block = memory.take(37 * kMiB + 11);
  EXPECT_EQ(block.bytes, 37 * kMiB + 11);
  expect_usable(block);
  block.release();
  // and from nothing made ready at all, or from the heap, down to a block
  // of no bytes
  for (size_t bytes : {size_t{0}, size_t{1}, size_t{4096}, 3 * kMiB}) {
    ReadyMemory none;
    for (ReadyBlock b : {none.take(bytes), ReadyBlock::allocated(bytes)}) {
      ASSERT_NE(b.data, nullptr);
      EXPECT_EQ(b.bytes, bytes);
      expect_usable(b);
      b.release();
    }
  }
}

TEST(ReadyMemory, StopsMakingReadyOnceToldTo) {
  if (!memory_made_ready_ahead()) GTEST_SKIP() << "no memory made ready ahead on this system";
  const std::atomic<bool> stop{true};
  ReadyMemory memory;
  EXPECT_FALSE(memory.ready_up_to(64 * kMiB, stop));
  EXPECT_EQ(memory.ready(), 0u);
  ReadyBlock block = memory.take(64 * kMiB);
  // nothing was faulted in: the pages come on first write
  EXPECT_LT(resident_pages(block.data, block.bytes), block.bytes / 4096);
  expect_usable(block);
  block.release();
}

TEST(ReadyMemory, ClearedOrDestroyedGivesTheRegionBack) {
  const std::atomic<bool> go{false};
  ReadyMemory memory;
  memory.ready_up_to(9 * kMiB, go);
  memory.clear();
  EXPECT_EQ(memory.ready(), 0u);
  // usable again after clearing
  memory.ready_up_to(kMiB, go);
  ReadyBlock block = memory.take(kMiB);
  expect_usable(block);
  block.release();
  ReadyMemory dropped;
  dropped.ready_up_to(5 * kMiB, go);  // released by its destructor (the sanitizers watch)
}

TEST(ReadyMemory, SizesBeyondAnyMemoryAreRefusedNotWrapped) {
  const std::atomic<bool> go{false};
  ReadyMemory memory;
  EXPECT_FALSE(memory.ready_up_to(SIZE_MAX - 10, go));
  EXPECT_EQ(memory.ready(), 0u);
  EXPECT_THROW(memory.take(SIZE_MAX - 10), std::bad_alloc);
  EXPECT_THROW(memory.take(SIZE_MAX / 2), std::bad_alloc);
}

}  // namespace
}  // namespace velmora::packed
