#include "cleaning/ready_memory.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#define VELMORA_READY_MEMORY 1
#endif

namespace velmora::packed {
namespace {

#if VELMORA_READY_MEMORY
constexpr size_t kHuge = size_t{2} << 20;  // a transparent huge page
constexpr size_t kPage = 4096;              // the smallest page faulted in

size_t round_up(size_t bytes, size_t to) { return bytes > SIZE_MAX - to ? SIZE_MAX : (bytes + to - 1) / to * to; }

// Fresh anonymous memory of `bytes` (a multiple of kHuge) starting on a huge
// page boundary, so that the kernel can back it with huge pages: one fault
// per 2 MiB instead of 512.
char* map_aligned(size_t bytes) {
  if (bytes > SIZE_MAX - kHuge) return nullptr;
  void* got = mmap(nullptr, bytes + kHuge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (got == MAP_FAILED) return nullptr;
  const auto begin = reinterpret_cast<uintptr_t>(got);
  const uintptr_t aligned = (begin + kHuge - 1) & ~uintptr_t{kHuge - 1};
  if (aligned > begin) munmap(got, aligned - begin);
  const uintptr_t end = begin + bytes + kHuge;
  if (end > aligned + bytes) munmap(reinterpret_cast<void*>(aligned + bytes), end - aligned - bytes);
#if defined(MADV_HUGEPAGE)
  madvise(reinterpret_cast<void*>(aligned), bytes, MADV_HUGEPAGE);  // advice only
#endif
  return reinterpret_cast<char*>(aligned);
}
#endif

}  // namespace

bool memory_made_ready_ahead() {
#if VELMORA_READY_MEMORY
  return true;
#else
  return false;
#endif
}

ReadyBlock ReadyBlock::allocated(size_t bytes) {
  void* data = std::malloc(std::max<size_t>(bytes, 1));
  if (data == nullptr) throw std::bad_alloc();
#if VELMORA_READY_MEMORY && defined(MADV_HUGEPAGE)
  // one page fault per 2 MiB instead of 512 where nothing has written yet
  const auto begin = reinterpret_cast<uintptr_t>(data);
  const uintptr_t from = round_up(begin, kHuge), to = (begin + bytes) / kHuge * kHuge;
  if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);  // advice only
#endif
  return ReadyBlock{data, bytes, 0};
}

void ReadyBlock::release() noexcept {
  if (data == nullptr) return;
#if VELMORA_READY_MEMORY
  if (mapped != 0) {
    munmap(data, mapped);
    *this = ReadyBlock{};
    return;
  }
#endif
  std::free(data);
  *this = ReadyBlock{};
}

ReadyMemory::~ReadyMemory() { clear(); }

void ReadyMemory::clear() noexcept {
#if VELMORA_READY_MEMORY
  if (data_ != nullptr) munmap(data_, capacity_);
#endif
  data_ = nullptr;
  capacity_ = ready_ = 0;
}

bool ReadyMemory::grow(size_t capacity) {
#if VELMORA_READY_MEMORY
  capacity = round_up(capacity, kHuge);
  if (capacity == SIZE_MAX) return false;
  if (data_ == nullptr) {
    data_ = map_aligned(capacity);
    if (data_ == nullptr) return false;
  } else {
    // The pages already there move with the mapping, if it has to move.
    void* moved = mremap(data_, capacity_, capacity, MREMAP_MAYMOVE);
    if (moved == MAP_FAILED) return false;
    data_ = static_cast<char*>(moved);
  }
  capacity_ = capacity;
  return true;
#else
  (void)capacity;
  return false;
#endif
}

bool ReadyMemory::ready_up_to(size_t bytes, const std::atomic<bool>& stop) {
#if VELMORA_READY_MEMORY
  if (bytes <= ready_) return true;
  // room ahead, so that growing by small steps does not remap every time
  if (bytes > capacity_ && !grow(std::max(bytes, capacity_ + capacity_ / 2))) return false;
  // Whole huge pages only: a write into a huge page faults in all of it, and
  // the region is to hold no more than was asked for. The part of a huge
  // page at the end waits for a later call or the fill.
  const size_t want = bytes / kHuge * kHuge;
  while (ready_ < want && !stop.load(std::memory_order_relaxed)) {
    const size_t to = std::min(want, (ready_ / kHuge + 1) * kHuge);
    // Nothing has been written beyond ready_: a zero there is what the page
    // holds already, and the write faults it in.
    for (size_t at = ready_; at < to; at += kPage) static_cast<volatile char*>(data_)[at] = 0;
    ready_ = to;
  }
  return ready_ >= want;
#else
  (void)bytes;
  (void)stop;
  return false;
#endif
}

ReadyBlock ReadyMemory::take(size_t bytes) {
#if VELMORA_READY_MEMORY
  const size_t need = round_up(std::max<size_t>(bytes, 1), kPage);
  if (need == SIZE_MAX) throw std::bad_alloc();
  if (need > capacity_ && !grow(need)) throw std::bad_alloc();
  if (need < capacity_) {
    // shrinking never moves the mapping; the pages beyond are given back
    if (mremap(data_, capacity_, need, 0) == MAP_FAILED) throw std::bad_alloc();
    capacity_ = need;
  }
  ReadyBlock block{data_, bytes, capacity_};
  data_ = nullptr;
  capacity_ = ready_ = 0;
  return block;
#else
  return ReadyBlock::allocated(bytes);
#endif
}

}  // namespace velmora::packed
