#include "tools/frame_runner.hpp"

#include <algorithm>
#include <chrono>

namespace orvo::cli {

RunResult RunFrames(Engine& engine, const std::vector<int16_t>& mic,
                    const std::vector<int16_t>* mic2, const std::vector<int16_t>& ref,
                    size_t length, const ProgressSink& progress) {
  constexpr int kFrame = Engine::kFrameSamples;
  RunResult result;
  result.out.assign(length, 0);
  result.frames.reserve((length + kFrame - 1) / kFrame);
  const int mode = mic2 != nullptr ? 3 : 1;
  std::vector<int16_t> in(2 * kFrame), farEnd(kFrame), frameOut(kFrame);
  auto at = [](const std::vector<int16_t>& v, size_t i) -> int16_t {
    return i < v.size() ? v[i] : 0;
  };
  using Clock = std::chrono::steady_clock;
  Clock::duration busy{};
  const size_t step = std::max<size_t>(length / 200, kFrame);
  size_t nextReport = 0;
  for (size_t start = 0; start < length; start += kFrame) {
    for (int i = 0; i < kFrame; ++i) {
      const size_t n = start + static_cast<size_t>(i);
      if (mic2 != nullptr) {
        in[2 * i] = at(mic, n);
        in[2 * i + 1] = at(*mic2, n);
      } else {
        in[i] = at(mic, n);
      }
      farEnd[i] = at(ref, n);
    }
    const Clock::time_point t0 = Clock::now();
    engine.AddFarEnd(farEnd.data());
    engine.Process(in.data(), farEnd.data(), frameOut.data(), false, mode, 1);
    busy += Clock::now() - t0;
    result.frames.push_back(engine.LastFrameStats());
    for (int i = 0; i < kFrame && start + static_cast<size_t>(i) < length; ++i)
      result.out[start + static_cast<size_t>(i)] = frameOut[i];
    if (progress && start >= nextReport) {
      progress(start, length);
      nextReport = start + step;
    }
  }
  if (progress) progress(length, length);
  result.processingSeconds = std::chrono::duration<double>(busy).count();
  return result;
}

}  // namespace orvo::cli
