// Per-call scratch memory of the neural noise suppressor. Every operation obtains its scratch
// buffers from a DenoiseAllocator at the start of the call and returns them before it ends;
// the allocator is a plain pair of functions so that a host (or a test) can supply its own.
#pragma once

#include <cstddef>

namespace orvo {

struct DenoiseAllocator {
  void* (*allocate)(void* context, std::size_t bytes);  // null on failure
  void (*release)(void* context, void* block);          // block is never null
  void* context;
};

// malloc / free.
const DenoiseAllocator& DefaultDenoiseAllocator();

// One scratch block, returned to its allocator when the owner goes out of scope.
class ScratchBlock {
 public:
  ScratchBlock(const DenoiseAllocator& alloc, std::size_t bytes)
      : alloc_(alloc), block_(alloc.allocate(alloc.context, bytes)) {}
  ~ScratchBlock() {
    if (block_ != nullptr) alloc_.release(alloc_.context, block_);
  }
  ScratchBlock(const ScratchBlock&) = delete;
  ScratchBlock& operator=(const ScratchBlock&) = delete;

  explicit operator bool() const { return block_ != nullptr; }
  template <class T>
  T* as() const {
    return static_cast<T*>(block_);
  }

 private:
  const DenoiseAllocator& alloc_;
  void* block_;
};

}  // namespace orvo
