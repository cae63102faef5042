#include "audio_core/mic_choice.hpp"

#include <cmath>

namespace orvo {

namespace {

constexpr int kFirstGroupBin = 20;
constexpr int kGroupStep = 2;
constexpr float kNoiseMargin = 32.0f;
constexpr float kSecondMicLevel = 100000.0f;
// Weight of the current selection's level: a pair switches only for a clearly louder channel.
constexpr float kPreferencePair = 4.0f;
constexpr float kPreferenceOther = 1.5f;

// Updates the smoothed level of every channel in one group; returns the channel with the
// largest level (first on ties) or -1 when no level is above 0. `sums` (optional) receives
// each channel's weighted power.
int UpdateGroup(MicChoice& c, int group, const Cpx* const* spectra, const NoisePsdState* noise,
                float* sums) {
  const int k = kFirstGroupBin + kGroupStep * group;
  int winner = -1;
  float best = 0.0f;
  for (int i = 0; i < c.channelCount; ++i) {
    float p = Power(spectra[i][k]) - kNoiseMargin * noise[i].noise[k];
    if (!(p > 0.0f)) p = 0.0f;
    if (i == c.selection) p *= c.preference;
    float& s = c.smoothed[group][i];
    if (p > s) {
      s = s + (p - s) * c.attack;
    } else {
      s = c.release * s;
    }
    if (sums != nullptr) sums[i] += p;
    if (s > best) {
      best = s;
      winner = i;
    }
  }
  return winner;
}

}  // namespace

void MicChoice_Init(MicChoice& choice) {
  choice = MicChoice{};
  choice.attack = static_cast<float>(1.0 - std::exp(-0.2857143));
  choice.release = static_cast<float>(std::pow(10.0, -0.12));
  choice.selection = 0;
  choice.channelCount = 2;
  choice.preference = 0.0f;
}

void MicChoice_SetChannels(MicChoice& choice, int channelCount) {
  choice.channelCount = channelCount;
  choice.preference = channelCount == 2 ? kPreferencePair : kPreferenceOther;
}

void MicChoice_ResetSelection(MicChoice& choice) {
  choice.selection = 0;
}

int MicChoice_OneMic(MicChoice& c, const Cpx* const* spectra, const NoisePsdState* noise) {
  if (c.channelCount == 1) {
    c.selection = 0;
    return 0;
  }
  int votes[kMaxMics] = {};
  for (int g = 0; g < MicChoice::kGroups; ++g) {
    const int winner = UpdateGroup(c, g, spectra, noise, nullptr);
    if (winner >= 0) ++votes[winner];
  }
  int best = -1;
  for (int i = 0; i < c.channelCount; ++i)
    if (votes[i] > 10 && (best < 0 || votes[i] > votes[best])) best = i;
  if (best >= 0) c.selection = best;
  return c.selection;
}

int MicChoice_TwoMic(MicChoice& c, const Cpx* const* spectra, const NoisePsdState* noise,
                     int enterTime, int exitTime, float threshold, int duckerHold,
                     int& switchCounter) {
  if (c.channelCount == 1) {
    c.selection = 0;
    return 0;
  }
  float sums[kMaxMics] = {};
  for (int g = 0; g < MicChoice::kGroups; ++g)
    UpdateGroup(c, g, spectra, noise, sums);
  const float s0 = sums[0], s1 = sums[1];

  int candidate;
  if (s0 > threshold) {
    candidate = 0;
  } else if (s0 == 0.0f && s1 == 0.0f) {
    candidate = c.selection;
  } else {
    candidate = s1 > kSecondMicLevel ? 1 : 0;
  }

  int limit = c.selection == 1 ? enterTime : exitTime;
  if (c.selection == 0 && duckerHold == 0) limit = 10;

  if (candidate != c.selection) {
    ++switchCounter;
    if (switchCounter < limit) return c.selection;
  }
  switchCounter = 0;
  c.selection = candidate;
  return c.selection;
}

}  // namespace orvo
