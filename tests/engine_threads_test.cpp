// Several engines in one process, each on its own thread, are fully independent.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "orvoaec/engine.hpp"
#include "tests/support/scenes.hpp"

namespace orvo {
namespace {

struct Feed {
  std::vector<int16_t> mic, ref;
};

Feed MakeFeed(uint32_t seed, size_t frames) {
  namespace sc = scene;
  const size_t n = frames * 960;
  std::vector<float> far = sc::SpeechLike(n, 8000.0f, seed);
  std::vector<float> near = sc::SpeechLike(n, 5000.0f, seed + 100);
  std::vector<float> echo = sc::Convolve(far, sc::RoomResponse(0.02, 0.1, 0.4f, seed));
  return {sc::ToPcm(sc::Add(sc::Add(echo, near), sc::WhiteNoise(n, 20.0f, seed + 7))),
          sc::ToPcm(far)};
}

std::vector<int16_t> RunEngine(const Feed& feed, int mode) {
  Engine engine([](std::string_view) {});
  std::vector<int16_t> out(feed.ref.size());
  std::vector<int16_t> in(1920);
  for (size_t f = 0; f * 960 < feed.ref.size(); ++f) {
    for (int i = 0; i < 960; ++i) {
      if (mode == 3) {
        in[2 * i] = feed.mic[f * 960 + i];
        in[2 * i + 1] = static_cast<int16_t>(feed.mic[f * 960 + i] / 2);
      } else {
        in[i] = feed.mic[f * 960 + i];
      }
    }
    engine.AddFarEnd(&feed.ref[f * 960]);
    engine.Process(in.data(), &feed.ref[f * 960], &out[f * 960], false, mode, 1);
  }
  return out;
}

TEST(EngineThreads, TwoEnginesOnTwoThreadsMatchEachRunAlone) {
  const Feed a = MakeFeed(1, 60), b = MakeFeed(2, 60);
  const std::vector<int16_t> aloneA = RunEngine(a, 1), aloneB = RunEngine(b, 3);
  std::vector<int16_t> threadA, threadB;
  std::thread ta([&] { threadA = RunEngine(a, 1); });
  std::thread tb([&] { threadB = RunEngine(b, 3); });
  ta.join();
  tb.join();
  EXPECT_EQ(threadA, aloneA);
  EXPECT_EQ(threadB, aloneB);
  EXPECT_NE(aloneA, aloneB);
}

}  // namespace
}  // namespace orvo

namespace orvo {
namespace {

// Sixteen engines, each on its own thread and each with its own signal, mode and settings,
// started together; every output equals what the same engine gives when it runs alone.
TEST(EngineThreads, SixteenEnginesOnSixteenThreadsMatchEachRunAlone) {
  constexpr int kEngines = 16;
  std::vector<Feed> feeds;
  for (int i = 0; i < kEngines; ++i)
    feeds.push_back(MakeFeed(static_cast<uint32_t>(10 + i), 40));
  auto run = [&](int i) { return RunEngine(feeds[i], i % 2 ? 3 : 1); };
  std::vector<std::vector<int16_t>> alone(kEngines), threaded(kEngines);
  for (int i = 0; i < kEngines; ++i)
    alone[i] = run(i);
  std::vector<std::thread> threads;
  std::atomic<int> ready{0};
  for (int i = 0; i < kEngines; ++i) {
    threads.emplace_back([&, i] {
      ++ready;
      while (ready < kEngines)
        std::this_thread::yield();  // all start at once
      threaded[i] = run(i);
    });
  }
  for (std::thread& t : threads)
    t.join();
  for (int i = 0; i < kEngines; ++i) {
    EXPECT_EQ(threaded[i], alone[i]) << "engine " << i;
    if (i > 0) {
      EXPECT_NE(alone[i], alone[i - 1]) << "engines " << i - 1 << " and " << i;
    }
  }
}

}  // namespace
}  // namespace orvo
