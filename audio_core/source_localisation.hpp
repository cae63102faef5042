// Geometry tables for locating a talker with a two-microphone array: for twelve distances and
// 720 directions, the phase advance per frequency bin of each microphone relative to the array
// centre. Built once when an engine is created; no frame stage reads them yet.
#pragma once

#include <cstdint>
#include <memory>

#include "base/common.hpp"
#include "base/log.hpp"

namespace orvo {

struct SourceLocalisation {
  static constexpr int kDistances = 12;
  static constexpr int kDirections = 720;  // a quarter degree each, covering 180 degrees
  static constexpr int kTwiddles = 512;

  int32_t leadingWord;
  uint32_t creationTick;
  int32_t secondWord;
  float binWeightA[kNumBins];
  float binFloor[kNumBins];
  float binWeightB[kNumBins];
  float micPosition[2][2];                      // (x, y) in inches
  Cpx twiddle[kTwiddles];                       // (cos, -sin) of k * pi / 256
  float distance[kDistances];                   // inches
  float phaseStep[kDistances][kDirections][2];  // per microphone, 1/512 turn per 25 Hz
  int32_t tableWord;
  int32_t angleSettings[3];
};

// Builds the object and logs the distance range. The table's own consistency check ends the
// process with status 2 if it fails (it cannot with these constants).
std::unique_ptr<SourceLocalisation> SourceLocalisation_Create(const Logger& log);

}  // namespace orvo
