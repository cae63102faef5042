#include "tools/run_stats.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <nlohmann/json.hpp>

namespace orvo::cli {

RunSummary Summarise(const RunResult& run, int sampleRate) {
  constexpr int kFrame = Engine::kFrameSamples;
  const size_t framesPerSecond = static_cast<size_t>(sampleRate / kFrame);
  RunSummary s;
  s.frames = run.frames.size();
  s.audioSeconds = static_cast<double>(run.out.size()) / sampleRate;
  s.processingSeconds = run.processingSeconds;
  s.realTimeFactor = s.audioSeconds > 0.0 ? s.processingSeconds / s.audioSeconds : 0.0;
  for (size_t first = 0; first < run.frames.size(); first += framesPerSecond) {
    const size_t last = std::min(first + framesPerSecond, run.frames.size());
    SecondStats sec;
    sec.start = static_cast<double>(first * kFrame) / sampleRate;
    size_t doubleTalk = 0;
    double gain = 0.0;
    std::array<size_t, 2> micCount{};
    for (size_t f = first; f < last; ++f) {
      const FrameStats& fs = run.frames[f];
      doubleTalk += fs.doubleTalk ? 1 : 0;
      gain += fs.agcGain;
      micCount[fs.selectedMic == 0 ? 0 : 1]++;
    }
    const size_t n = last - first;
    s.doubleTalkFrames += doubleTalk;
    sec.doubleTalkShare = static_cast<double>(doubleTalk) / static_cast<double>(n);
    sec.agcGain = gain / static_cast<double>(n);
    sec.selectedMic = micCount[1] > micCount[0] ? 1 : 0;
    sec.delayMs = run.frames[last - 1].delayFrames * 1000.0 * kFrame / sampleRate;
    const size_t begin = first * kFrame;
    const size_t end = std::min(last * kFrame, run.out.size());
    sec.duration = static_cast<double>(end - begin) / sampleRate;
    double power = 0.0;
    for (size_t i = begin; i < end; ++i)
      power += static_cast<double>(run.out[i]) * run.out[i];
    if (end > begin && power > 0.0)
      sec.outputDbfs =
          10.0 * std::log10(power / static_cast<double>(end - begin) / (32768.0 * 32768.0));
    s.seconds.push_back(sec);
  }
  return s;
}

std::string SummaryJson(const RunSummary& summary, const std::string& inputDescription) {
  using nlohmann::json;
  auto round3 = [](double v) { return std::round(v * 1000.0) / 1000.0; };
  json doc;
  doc["input"] = inputDescription;
  doc["audio_seconds"] = round3(summary.audioSeconds);
  doc["processing_seconds"] = round3(summary.processingSeconds);
  doc["real_time_factor"] = summary.realTimeFactor;
  doc["frames"] = summary.frames;
  doc["double_talk_frames"] = summary.doubleTalkFrames;
  json seconds = json::array();
  for (const SecondStats& s : summary.seconds) {
    json j;
    j["start_s"] = round3(s.start);
    j["duration_s"] = round3(s.duration);
    j["double_talk_share"] = round3(s.doubleTalkShare);
    j["selected_mic"] = s.selectedMic;
    j["delay_ms"] = round3(s.delayMs);
    j["agc_gain"] = round3(s.agcGain);
    j["output_dbfs"] = s.outputDbfs ? json(round3(*s.outputDbfs)) : json(nullptr);
    seconds.push_back(j);
  }
  doc["per_second"] = seconds;
  return doc.dump(2) + "\n";
}

}  // namespace orvo::cli
