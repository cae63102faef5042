#include "audio_core/finite_check.hpp"

#include <cfloat>
#include <cmath>
#include <type_traits>

#include "audio_core/audio_core.hpp"
#include "audio_core/engine_record.hpp"
#include "audio_core/engine_state.hpp"

namespace orvo {

namespace {

// True when all n floats from p are finite. One pass without early exit, so it vectorises.
bool AllFinite(const float* p, size_t n) {
  bool ok = true;
  for (size_t i = 0; i < n; ++i)
    ok &= std::fabs(p[i]) <= FLT_MAX;  // false for NaN and for both infinities
  return ok;
}

// Records made of floats only (arrays, complex values, coefficient blocks) are walked as one
// run of floats.
template <class T>
bool Floats(const T& record) {
  static_assert(std::is_trivially_copyable_v<T> && sizeof(T) % sizeof(float) == 0);
  constexpr size_t kBytes = sizeof(T), kFloats = kBytes / sizeof(float);
  return AllFinite(reinterpret_cast<const float*>(&record), kFloats);
}

template <class... T>
bool Each(const T&... values) {
  return (std::isfinite(values) && ...);
}

bool Finite(const LevelTracker& t) {
  return Each(t.gatedReset, t.gatedSubstitute, t.gatedMin, t.gatedCandidate, t.gatedSmooth,
              t.gatedLevel, t.baseReset, t.gateFloor, t.baseMin, t.baseCandidate, t.baseSmooth,
              t.baseLevel);
}

bool Finite(const FilterBankState& f) {
  return std::isfinite(f.memory) && Floats(f.storage) && Floats(f.work) && Floats(f.time);
}

bool Finite(const AdaptiveFilterMono& a) {
  return Floats(a.lowCoef) && Floats(a.midCoef) && Floats(a.highCoef) && Floats(a.lowHistory) &&
         Floats(a.midHistory) && Floats(a.highHistory) && Floats(a.echoPower) &&
         Floats(a.smoothedErrorB) && Floats(a.smoothedErrorA) && Floats(a.smoothedMicPower) &&
         Floats(a.farGroupPower) && Floats(a.echoGroupPower) && Floats(a.micGroupPower) &&
         Floats(a.residualGroupPower) && Floats(a.refTapEnergy) && Floats(a.residualPower) &&
         Floats(a.farBinPower) && Floats(a.residualTotal);
}

bool Finite(const NoisePsdState& n) {
  return Floats(n.smoothed) && Floats(n.windowMin) && Floats(n.noise) &&
         Each(n.alphaSmooth, n.alphaFall, n.alphaRise);
}

bool Finite(const NoiseWeights& w) {
  return Floats(w.inverseNoise) && Each(w.totalNoise, w.runningSum);
}

bool Finite(const EchoCoupling& c) {
  for (const LevelTracker& t : c.trackers)
    if (!Finite(t)) return false;
  return Floats(c.smoothedFarPower) && Floats(c.smoothedEchoPower) && Floats(c.coupling) &&
         Each(c.releaseFactor, c.lowestRatio);
}

bool Finite(const EchoPeakState& e) {
  return Floats(e.peak) && Floats(e.echoEstimate) && Floats(e.regionFactor) &&
         Floats(e.regionThreshold) && Each(e.echoLevel, e.scale);
}

bool Finite(const NearEndState& n) {
  return Floats(n.nearMap) && Floats(n.weightedPower) && Floats(n.nearEnergy) &&
         Each(n.weightedLevel, n.highBandPeak);
}

bool Finite(const PostFilterState& p) {
  return Floats(p.tracked) && Floats(p.hangOffset) && Floats(p.baseOffset) &&
         Floats(p.windowMean) && Each(p.alpha, p.floorGain);
}

bool Finite(const Agc& a) {
  return Each(a.level, a.levelSmoothing, a.peakLevel, a.peakSmoothing, a.idleSmoothing,
              a.runningMax, a.candidateMax, a.resetValue, a.gainCeiling, a.outputGain,
              a.lowestDenominator, a.rawGain, a.gainScale);
}

bool Finite(const DelayEstimator& d) {
  return Floats(d.farDevHist) && Floats(d.farNormHist) && Floats(d.xcorr) && Floats(d.farFast) &&
         Floats(d.farSlow) && Floats(d.micFast) && Floats(d.micSlow) && Floats(d.farDevPower) &&
         Floats(d.micDevPower) && Each(d.candidateDelay, d.lockedDelay);
}

bool Finite(const DenoiserState& s) {
  return Floats(s.analysis_history) && Floats(s.cepstrum_history) && Floats(s.synthesis_overlap) &&
         Floats(s.pitch_history) && Floats(s.highpass_state) && Floats(s.prev_band_gains) &&
         Floats(s.network_state) && Floats(s.saved_bin_gains) &&
         Each(s.prev_pitch_gain, s.gain_floor);
}

template <class T, size_t N>
bool All(const T (&records)[N]) {
  for (const T& r : records)
    if (!Finite(r)) return false;
  return true;
}

}  // namespace

const char* AudioCore_FirstNonFinite(const EngineState& engine) {
  const AudioCore* core = engine.hRoomPro;
  if (core == nullptr) return nullptr;
  const AudioCore& c = *core;
  if (!Each(c.duckerThreshold, c.agcGain)) return "engine record";
  if (!All(c.analysis) || !Finite(c.synthesis)) return "filter bank";
  if (!Floats(c.farSpectrum)) return "far-end spectrum";
  if (!Finite(c.aec)) return "echo filter";
  if (!All(c.levels)) return "level trackers";
  if (!All(c.noise) || !All(c.weights)) return "noise estimator";
  if (!Finite(c.coupling)) return "echo coupling";
  if (!Floats(c.doubleTalk.farPeak) || !Each(c.doubleTalk.score, c.doubleTalk.threshold))
    return "double-talk detector";
  if (!Floats(c.talker.peak) || !std::isfinite(c.talker.bestScore)) return "talker search";
  if (!All(c.echoPeak)) return "echo peaks";
  if (!All(c.nearEnd)) return "near-end detector";
  if (!All(c.postFilter)) return "post filter";
  if (!Floats(c.choice.smoothed) || !Each(c.choice.attack, c.choice.release, c.choice.preference))
    return "microphone choice";
  if (!Finite(c.agc)) return "AGC";
  if (!All(c.denoiser)) return "neural suppressor";
  if (const ProcessState* p = engine.proc.get()) {
    const PipelineState& ps = p->pipeline;
    if (!Each(p->micBias, p->agcSmoothedGain, ps.echoReturn.erleDb, ps.farFilterInput,
              ps.farFilterOutput))
      return "pipeline state";
    if (!Floats(p->spectra)) return "spectra";
    if (!Floats(p->delayLine.spectra)) return "far-end delay line";
    if (!Finite(p->estimator)) return "delay estimator";
  }
  return nullptr;
}

}  // namespace orvo
