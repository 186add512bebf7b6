// Vectors for the kernel's scratch work.
//
// Their elements start uninitialised: the kernels write every element once,
// so zero-filling first would only cost time.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace velmora::packed {

template <typename T>
struct UninitialisedAllocator {
  using value_type = T;

  UninitialisedAllocator() = default;
  template <typename U>
  UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}

  T* allocate(size_t n) { return std::allocator<T>().allocate(n); }
  void deallocate(T* p, size_t n) noexcept { std::allocator<T>().deallocate(p, n); }

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
