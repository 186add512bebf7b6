// Vectors whose elements start uninitialised: the kernels write every element
// once, so zero-filling large result buffers first would only cost time.
#pragma once

#include <memory>
#include <vector>

namespace velmora::packed {

template <typename T>
struct UninitialisedAllocator : std::allocator<T> {
  template <typename U>
  struct rebind {
    using other = UninitialisedAllocator<U>;
  };
  UninitialisedAllocator() = default;
  template <typename U>
  UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}

  template <typename U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;  // default-initialise: no zeroing for numbers
  }
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

template <typename T>
using Buffer = std::vector<T, UninitialisedAllocator<T>>;

}  // namespace velmora::packed
