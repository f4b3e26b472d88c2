// A large buffer of numbers whose growth leaves its elements uninitialised,
// so that the code filling it is the first to touch its pages (the engine's
// resize_large zeroes what it grows by, with several threads). Public for
// the I/O library, whose images hold their voxels in it.
#pragma once

#include <memory>
#include <utility>
#include <vector>

namespace zarvo {

// An allocator whose vectors leave the elements they grow by uninitialised,
// so that the code filling a buffer is the first to touch its pages.
template <typename T>
struct Uninitialised : std::allocator<T> {
  using std::allocator<T>::allocator;
  template <typename U>
  struct rebind {
    using other = Uninitialised<U>;
  };
  template <typename U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

// A large buffer of numbers: resize_large zeroes what it grows by, with
// several threads when it is large.
template <typename T>
using Buffer = std::vector<T, Uninitialised<T>>;

}  // namespace zarvo
