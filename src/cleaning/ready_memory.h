// Memory made ready ahead of the call that fills it.
//
// The first write to a page of fresh memory costs the kernel a fault and the
// zeroing of the page: on the machines measured, writing a large result for
// the first time took several times as long as writing it again. A fetch
// whose rows are still on their way has time to spare; ReadyMemory lets it
// fault in the memory of the result it will build while it waits, so that
// the fill at the end writes into pages that are already there.
//
// A ReadyMemory is one growing region: ready_up_to() grows it and faults in
// its pages as far as asked, take() hands it over as a block of the size
// finally needed (what was made ready beyond that is given back). Where the
// system has no anonymous memory maps that can grow in place (anything but
// Linux), nothing is made ready ahead and take() allocates.
#pragma once

#include <atomic>
#include <cstddef>

namespace velmora::packed {

// Memory handed over by take() or allocated(): `bytes` usable bytes at
// `data`, released by release(). An empty block has no data.
struct ReadyBlock {
  void* data = nullptr;
  size_t bytes = 0;
  size_t mapped = 0;  // the length of the memory map; 0 for the heap's memory

  // Memory from the heap, not made ready (std::bad_alloc when there is none);
  // transparent huge pages are asked for under the 2 MiB it spans whole.
  static ReadyBlock allocated(size_t bytes);
  // Gives the memory back; the block is then empty.
  void release() noexcept;
};

class ReadyMemory {
 public:
  ReadyMemory() = default;
  ReadyMemory(const ReadyMemory&) = delete;
  ReadyMemory& operator=(const ReadyMemory&) = delete;
  ~ReadyMemory();

  // Grows the region to at least `bytes` and faults in its pages up to the
  // last 2 MiB boundary at or below `bytes` (whole transparent huge pages,
  // never more than asked for), stopping early, between pages, once `stop`
  // is set. Returns whether it got that far: false when stopped, or when
  // the region could not grow (not an error: the memory stays as it was).
  bool ready_up_to(size_t bytes, const std::atomic<bool>& stop);
  size_t ready() const { return ready_; }

  // The region as a block of `bytes` (its pages faulted in as far as they
  // were made ready, the rest faulting in on first write); what lies beyond
  // is given back. The ReadyMemory is then empty. Throws std::bad_alloc when
  // the memory cannot be had.
  ReadyBlock take(size_t bytes);

  // Gives the whole region back.
  void clear() noexcept;

 private:
  bool grow(size_t capacity);

  char* data_ = nullptr;
  size_t capacity_ = 0;  // mapped
  size_t ready_ = 0;     // faulted in
};

// Whether this build makes memory ready ahead at all.
bool memory_made_ready_ahead();

}  // namespace velmora::packed
