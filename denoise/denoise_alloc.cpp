#include "denoise/denoise_alloc.hpp"

#include <cstdlib>

namespace orvo {

namespace {

void* MallocScratch(void*, std::size_t bytes) {
  return std::malloc(bytes);
}

void FreeScratch(void*, void* block) {
  std::free(block);
}

}  // namespace

const DenoiseAllocator& DefaultDenoiseAllocator() {
  static const DenoiseAllocator heap{MallocScratch, FreeScratch, nullptr};
  return heap;
}

}  // namespace orvo
