// Vectors for large kernel results.
//
// Their elements start uninitialised: the kernels write every element once,
// so zero-filling first would only cost time. Buffers of several megabytes
// are mapped directly and marked for transparent huge pages where the system
// offers them: a fresh buffer of 2 MiB pages takes one page fault per 2 MiB
// instead of 512.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

// AddressSanitizer only checks memory that comes from its allocator: under it,
// large buffers come from there too.
#if defined(__SANITIZE_ADDRESS__)
#define VELMORA_MAP_LARGE_BUFFERS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELMORA_MAP_LARGE_BUFFERS 0
#endif
#endif
#ifndef VELMORA_MAP_LARGE_BUFFERS
#define VELMORA_MAP_LARGE_BUFFERS 1
#endif

namespace velmora::packed {

namespace detail {

inline constexpr size_t kHugePage = size_t{2} << 20;
inline constexpr size_t kMappedFrom = size_t{4} << 20;

inline size_t mapped_size(size_t bytes) { return (bytes + kHugePage - 1) & ~(kHugePage - 1); }

inline void* map_large(size_t bytes) {
#if defined(__linux__)
  void* p = mmap(nullptr, mapped_size(bytes), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  madvise(p, mapped_size(bytes), MADV_HUGEPAGE);  // advice only: ignored where unsupported
  return p;
#else
  return ::operator new(bytes);
#endif
}

inline void unmap_large(void* p, size_t bytes) {
#if defined(__linux__)
  munmap(p, mapped_size(bytes));
#else
  ::operator delete(p);
#endif
}

}  // namespace detail

template <typename T>
struct UninitialisedAllocator {
  using value_type = T;

  UninitialisedAllocator() = default;
  template <typename U>
  UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}

  T* allocate(size_t n) {
    if (n > std::allocator_traits<std::allocator<T>>::max_size(std::allocator<T>())) throw std::bad_array_new_length();
    const size_t bytes = n * sizeof(T);
    if (VELMORA_MAP_LARGE_BUFFERS && bytes >= detail::kMappedFrom) return static_cast<T*>(detail::map_large(bytes));
    return std::allocator<T>().allocate(n);
  }

  void deallocate(T* p, size_t n) noexcept {
    const size_t bytes = n * sizeof(T);
    if (VELMORA_MAP_LARGE_BUFFERS && bytes >= detail::kMappedFrom) {
      detail::unmap_large(p, bytes);
    } else {
      std::allocator<T>().deallocate(p, n);
    }
  }

  template <typename U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;  // default-initialise: no zeroing for numbers
  }
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }

  friend bool operator==(const UninitialisedAllocator&, const UninitialisedAllocator&) { return true; }
};

template <typename T>
using Buffer = std::vector<T, UninitialisedAllocator<T>>;

}  // namespace velmora::packed
