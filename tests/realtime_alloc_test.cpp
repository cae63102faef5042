// Real-time proof: this test program replaces malloc, calloc, realloc, free and every form of
// operator new and delete, and counts what happens on the heap while frames are processed. The
// only heap traffic allowed is the neural suppressor's per-call scratch, allocated and released
// within each call.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <vector>

#include "api/engine_internal.hpp"
#include "audio_core/audio_core.hpp"
#include "audio_core/engine_record.hpp"
#include "audio_core/engine_state.hpp"
#include "orvoaec/engine.hpp"
#include "tests/support/scenes.hpp"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ORVO_COUNT_HEAP 0  // the sanitizers own malloc
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ORVO_COUNT_HEAP 0
#else
#define ORVO_COUNT_HEAP 1
#endif
#else
#define ORVO_COUNT_HEAP 1
#endif

namespace {

// What the replacements count while `counting` is set (only the test's own thread processes).
struct HeapCounts {
  size_t mallocs = 0, frees = 0, news = 0, deletes = 0, bytes = 0;
};
bool counting = false;
HeapCounts counts;

}  // namespace

#if ORVO_COUNT_HEAP
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);
void* __libc_memalign(size_t, size_t);

void* malloc(size_t n) {
  if (counting) {
    ++counts.mallocs;
    counts.bytes += n;
  }
  return __libc_malloc(n);
}
void* calloc(size_t n, size_t size) {
  if (counting) {
    ++counts.mallocs;
    counts.bytes += n * size;
  }
  return __libc_calloc(n, size);
}
void* realloc(void* p, size_t n) {
  if (counting) ++counts.mallocs;
  return __libc_realloc(p, n);
}
void free(void* p) {
  if (counting && p != nullptr) ++counts.frees;
  __libc_free(p);
}
void* aligned_alloc(size_t alignment, size_t n) {
  if (counting) ++counts.mallocs;
  return __libc_memalign(alignment, n);
}
int posix_memalign(void** out, size_t alignment, size_t n) {
  if (counting) ++counts.mallocs;
  *out = __libc_memalign(alignment, n);
  return *out != nullptr ? 0 : ENOMEM;
}
}  // extern "C"

namespace {
void* CountedNew(size_t n, size_t alignment = 0) {
  if (counting) ++counts.news;
  void* p = alignment > alignof(std::max_align_t) ? __libc_memalign(alignment, n ? n : 1)
                                                  : __libc_malloc(n ? n : 1);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void CountedDelete(void* p) {
  if (counting && p != nullptr) ++counts.deletes;
  __libc_free(p);
}
}  // namespace

void* operator new(size_t n) {
  return CountedNew(n);
}
void* operator new[](size_t n) {
  return CountedNew(n);
}
void* operator new(size_t n, std::align_val_t a) {
  return CountedNew(n, static_cast<size_t>(a));
}
void* operator new[](size_t n, std::align_val_t a) {
  return CountedNew(n, static_cast<size_t>(a));
}
void* operator new(size_t n, const std::nothrow_t&) noexcept {
  try {
    return CountedNew(n);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](size_t n, const std::nothrow_t&) noexcept {
  try {
    return CountedNew(n);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* p) noexcept {
  CountedDelete(p);
}
void operator delete[](void* p) noexcept {
  CountedDelete(p);
}
void operator delete(void* p, size_t) noexcept {
  CountedDelete(p);
}
void operator delete[](void* p, size_t) noexcept {
  CountedDelete(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
  CountedDelete(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
  CountedDelete(p);
}
void operator delete(void* p, size_t, std::align_val_t) noexcept {
  CountedDelete(p);
}
void operator delete[](void* p, size_t, std::align_val_t) noexcept {
  CountedDelete(p);
}
#endif  // ORVO_COUNT_HEAP

namespace orvo {
namespace {

namespace sc = scene;

// Wraps the suppressor's scratch allocator: counts its blocks, and checks that each is
// released before the frame ends.
struct ScratchLedger {
  size_t blocks = 0, released = 0, bytes = 0, outstanding = 0, mostOutstanding = 0;
  static void* Allocate(void* self, size_t n) {
    auto& l = *static_cast<ScratchLedger*>(self);
    ++l.blocks;
    l.bytes += n;
    l.mostOutstanding = std::max(l.mostOutstanding, ++l.outstanding);
    return std::malloc(n);
  }
  static void Release(void* self, void* block) {
    auto& l = *static_cast<ScratchLedger*>(self);
    ++l.released;
    --l.outstanding;
    std::free(block);
  }
};

struct Scene {
  std::vector<int16_t> mic, far;
};

// Silence, then far-end speech with its echo, then double talk, then near-end speech alone;
// mode 3 gets a second channel at half level.
Scene MakeScene(int mode) {
  const size_t n = 6 * sc::kRate;
  std::vector<float> far = sc::SpeechLike(n, 8000.0f, 3), near = sc::SpeechLike(n, 5000.0f, 4);
  for (size_t i = 0; i < n; ++i) {
    if (i < n / 6 || i >= 5 * n / 6) far[i] = 0.0f;
    if (i < n / 2) near[i] = 0.0f;
  }
  const std::vector<float> mic =
      sc::Add(sc::Add(near, sc::Convolve(far, sc::RoomResponse(0.01, 0.1, 0.3f, 5))),
              sc::WhiteNoise(n, 20.0f, 6));
  Scene s{sc::ToPcm(mic), sc::ToPcm(far)};
  if (mode == 3) {
    std::vector<int16_t> two(2 * n);
    for (size_t i = 0; i < n; ++i) {
      two[2 * i] = s.mic[i];
      two[2 * i + 1] = static_cast<int16_t>(s.mic[i] / 2);
    }
    s.mic = std::move(two);
  }
  return s;
}

class RealTime : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    if (!ORVO_COUNT_HEAP) GTEST_SKIP() << "the sanitizers replace malloc themselves";
  }
};

TEST_P(RealTime, FramesAllocateOnlyTheSuppressorsPerCallScratch) {
  const int mode = GetParam();
  const Scene scene = MakeScene(mode);
  const size_t channels = mode == 3 ? 2 : 1, frames = scene.far.size() / 960;
  Engine engine([](std::string_view) {});
  ScratchLedger ledger;
  AudioCore& core = *orvo::internal::StateOf(engine).hRoomPro;
  core.denoiseAllocator = {&ScratchLedger::Allocate, &ScratchLedger::Release, &ledger};
  std::vector<int16_t> out(960);
  size_t worstFrameBlocks = 0;
  for (size_t f = 0; f < frames; ++f) {
    const size_t before = ledger.blocks;
    counts = {};
    counting = true;
    engine.AddFarEnd(&scene.far[f * 960]);
    engine.Process(&scene.mic[f * 960 * channels], &scene.far[f * 960], out.data(), false, mode, 0);
    counting = false;
    const size_t scratch = ledger.blocks - before;
    worstFrameBlocks = std::max(worstFrameBlocks, scratch);
    // Every heap call of the frame is one of the suppressor's scratch blocks, released in the
    // same frame; nothing uses operator new.
    ASSERT_EQ(counts.mallocs, scratch) << "frame " << f;
    ASSERT_EQ(counts.frees, scratch) << "frame " << f;
    ASSERT_EQ(counts.news, 0u) << "frame " << f;
    ASSERT_EQ(counts.deletes, 0u) << "frame " << f;
    ASSERT_EQ(ledger.outstanding, 0u) << "frame " << f;
  }
  // Two suppressor calls per frame, each with its scratch.
  EXPECT_GT(ledger.blocks, 2 * frames);
  std::printf(
      "[ figure   ] mode %d: %zu frames, %zu scratch blocks (%.1f per frame, at most %zu), "
      "%.1f KiB per frame, at most %zu held at once\n",
      mode, frames, ledger.blocks, static_cast<double>(ledger.blocks) / frames, worstFrameBlocks,
      ledger.bytes / 1024.0 / frames, ledger.mostOutstanding);

  // Without the suppressor (denoise mode 0) a frame touches the heap not at all.
  engine.SetDenoiseMode(0);
  for (size_t f = 0; f < frames; f += 7) {
    counts = {};
    counting = true;
    engine.Process(&scene.mic[f * 960 * channels], &scene.far[f * 960], out.data(), false, mode, 0);
    counting = false;
    ASSERT_EQ(counts.mallocs + counts.frees + counts.news + counts.deletes, 0u) << "frame " << f;
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, RealTime, ::testing::Values(1, 3));

}  // namespace
}  // namespace orvo
