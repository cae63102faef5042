// Per-second statistics of a processing run, and their JSON form.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tools/frame_runner.hpp"

namespace orvo::cli {

struct SecondStats {
  double start = 0.0;                // seconds
  double duration = 0.0;             // seconds (the last one may be short)
  double doubleTalkShare = 0.0;      // share of frames flagged as double talk, 0 to 1
  int selectedMic = 0;               // the microphone selected in most frames
  double delayMs = 0.0;              // far-end delay in force at the end of the second
  double agcGain = 1.0;              // mean AGC gain (linear)
  std::optional<double> outputDbfs;  // RMS output level; none for digital silence
};

struct RunSummary {
  std::vector<SecondStats> seconds;
  double audioSeconds = 0.0;
  double processingSeconds = 0.0;
  double realTimeFactor = 0.0;  // processing time / audio time; below 1 is faster than real time
  size_t frames = 0;
  size_t doubleTalkFrames = 0;
};

RunSummary Summarise(const RunResult& run, int sampleRate = 48000);

// The summary as a JSON document (pretty-printed).
std::string SummaryJson(const RunSummary& summary, const std::string& inputDescription);

}  // namespace orvo::cli
