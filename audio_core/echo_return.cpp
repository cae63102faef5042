#include "audio_core/echo_return.hpp"

#include <cmath>

namespace orvo {

namespace {

constexpr int kFirstBin = 20;
constexpr int kLastBinBefore = 119;
constexpr int kLastBinAfter = 123;
constexpr float kLeastEnergy = 1e9f;  // quieter frames say nothing about the echo path
constexpr float kAfterGuard = 0.001f;
constexpr float kLowestRatio = 1.0f;
constexpr float kHighestRatio = 900.0f;  // 29.5 dB
constexpr float kKeep = 0.9f;
constexpr float kNew = 0.1f;
constexpr int kFarEndAlone = 2;

float BinEnergy(const Cpx* s, int first, int last) {
  float e = 0.0f;
  for (int k = first; k <= last; ++k)
    e += s[k].re * s[k].re + s[k].im * s[k].im;
  return e;
}

}  // namespace

void EchoReturn_Init(EchoReturn& record) {
  record.erleDb = 0.0f;
}

float EchoReturn_EnergyBefore(const Cpx* spectrum) {
  return BinEnergy(spectrum, kFirstBin, kLastBinBefore);
}

float EchoReturn_EnergyAfter(const Cpx* spectrum) {
  return BinEnergy(spectrum, kFirstBin, kLastBinAfter);
}

bool EchoReturn_Update(EchoReturn& record, float energyBefore, float energyAfter,
                       bool delayConfident, int talkState) {
  if (!(delayConfident && talkState == kFarEndAlone && energyBefore > kLeastEnergy)) return false;
  float r = energyBefore / (energyAfter + kAfterGuard);
  if (r < kLowestRatio) r = kLowestRatio;
  if (r > kHighestRatio) r = kHighestRatio;
  // log10 in double, rounded once to float: every C library gives these bits. Single-precision
  // log10f is not correctly rounded everywhere (glibc's differs from the rounded value for about
  // one float in ten here), and the smoothed value is state that decides the floor gain.
  const float rDb = 10.0f * static_cast<float>(std::log10(static_cast<double>(r)));
  record.erleDb = kKeep * record.erleDb + kNew * rDb;
  return true;
}

}  // namespace orvo
