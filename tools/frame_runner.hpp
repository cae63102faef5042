// Runs whole signals through one engine frame by frame, keeping each frame's statistics.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "orvoaec/engine.hpp"

namespace orvo::cli {

struct RunResult {
  std::vector<int16_t> out;        // as many samples as the run's length
  std::vector<FrameStats> frames;  // one per 20 ms frame
  double processingSeconds = 0.0;  // time spent inside the engine
};

// Called now and then with the samples done so far and the total.
using ProgressSink = std::function<void(size_t done, size_t total)>;

// Processes `length` samples; inputs shorter than that are padded with silence, and the last
// partial frame is padded too and cut back. With `mic2` the two microphones are processed as a
// pair (mode 3), else one microphone (mode 1).
RunResult RunFrames(Engine& engine, const std::vector<int16_t>& mic,
                    const std::vector<int16_t>* mic2, const std::vector<int16_t>& ref,
                    size_t length, const ProgressSink& progress = {});

}  // namespace orvo::cli
