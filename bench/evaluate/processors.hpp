// The echo cancellers under comparison, behind one interface: this library, and, when they were
// found at build time, SpeexDSP and webrtc-audio-processing.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bench/evaluate/scenes.hpp"

namespace orvo::eval {

struct Run {
  std::vector<int16_t> out;  // as long as the scene
  double cpuSeconds = 0;     // thread CPU time spent inside the processor's calls
};

class Processor {
 public:
  virtual ~Processor() = default;
  virtual std::string Name() const = 0;
  // How the processor is set up, one line for the report.
  virtual std::string Setup() const = 0;
  // Runs a fresh instance over the whole scene, in the processor's own block size.
  virtual Run Process(const Scene& scene) = 0;
};

// Every processor this build has; this library first.
std::vector<std::unique_ptr<Processor>> MakeProcessors();

// Thread CPU time in seconds.
double ThreadCpuSeconds();

}  // namespace orvo::eval
