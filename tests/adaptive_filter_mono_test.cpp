#include "audio_core/adaptive_filter_mono.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>
#include <cstring>
#include <memory>
#include <random>
#include <utility>
#include <vector>

#include "tests/support/adaptive_filter_plain.hpp"
#include "tests/support/cpu_levels.hpp"

namespace orvo {
namespace {

// Tap j of filter A (or B) of microphone m at bin k, in the block layout.
template <int T>
std::pair<float*, float*> TapIn(AfCoefBlock<T>& b, bool B, int j, int lane) {
  return {&(B ? b.bRe : b.aRe)[j][lane], &(B ? b.bIm : b.aIm)[j][lane]};
}
std::pair<float*, float*> TapAt(AdaptiveFilterMono& s, int m, int k, int j, bool B) {
  const int blk = k / kAfLanes, lane = k % kAfLanes;
  if (k < kAfMidFirstBin) return TapIn(s.lowCoef[m][blk], B, j, lane);
  if (k < kAfHighFirstBin) return TapIn(s.midCoef[m][blk - kAfLowBlocks], B, j, lane);
  return TapIn(s.highCoef[m][blk - kAfLowBlocks - kAfMidBlocks], B, j, lane);
}
Cpx Tap(AdaptiveFilterMono& s, int m, int k, int j, bool B = false) {
  const auto [re, im] = TapAt(s, m, k, j, B);
  return {*re, *im};
}
void SetTap(AdaptiveFilterMono& s, int m, int k, int j, Cpx v, bool B = false) {
  const auto [re, im] = TapAt(s, m, k, j, B);
  *re = v.re;
  *im = v.im;
}
int TapsOfBin(int k) {
  return k < kAfMidFirstBin ? kAfLowTaps : (k < kAfHighFirstBin ? kAfMidTaps : kAfHighTaps);
}
bool Same(Cpx a, Cpx b) {
  return a.re == b.re && a.im == b.im;
}

class AdaptiveFilterMonoTest : public ::testing::Test {
 protected:
  AdaptiveFilterMonoTest() : noise(kMaxMics), micData(kMaxMics) { Reset(); }
  // Fresh filter, silent spectra, coupling 16 and the given noise floor everywhere.
  void Reset(float noiseFloor = 1.0f) {
    AdaptiveFilterMono_Create(filter.get());
    far.assign(kNumBins, Cpx{0.0f, 0.0f});
    for (int m = 0; m < kMaxMics; ++m) {
      NoisePSD_Create(&noise[m]);
      std::fill_n(noise[m].noise, kNumBins, noiseFloor);
      std::fill_n(coupling[m], kNumGroups, 16.0f);
      micData[m].assign(kNumBins, Cpx{0.0f, 0.0f});
      mics[m] = micData[m].data();
    }
  }
  void Run(int numberOfMics, int bestMic = 0, int secondaryMic = -1, int talkState = 2) {
    AdaptiveFilterMono_Process(far.data(), numberOfMics, coupling, noise.data(), mics, bestMic,
                               secondaryMic, talkState, *filter);
  }
  std::vector<int> List() const { return {filter->MicList, filter->MicList + filter->listCount}; }

  std::unique_ptr<AdaptiveFilterMono> filter = std::make_unique<AdaptiveFilterMono>();
  std::vector<NoisePsdState> noise;
  float coupling[kMaxMics][kNumGroups];
  std::vector<Cpx> far;
  std::vector<std::vector<Cpx>> micData;
  Cpx* mics[kMaxMics];
};

using AdaptiveFilterMonoDeathTest = AdaptiveFilterMonoTest;

TEST_F(AdaptiveFilterMonoDeathTest, ChecksRecordAndBestMic) {
  EXPECT_DEATH(AdaptiveFilterMono_Create(nullptr), "This != NULL");
  EXPECT_DEATH(Run(2, 2), "BestMic<NumberOfMics");
  EXPECT_DEATH(Run(0, 0), "BestMic<NumberOfMics");
}

TEST_F(AdaptiveFilterMonoTest, MicrophoneListAndRotation) {
  using L = std::vector<int>;
  Run(1, 0);
  EXPECT_EQ(List(), L{0});
  Run(5, 3, 1);  // the secondary microphone plays no part below ten microphones
  EXPECT_EQ(List(), (L{3, 0, 1, 2, 4}));
  Run(9, 8);
  EXPECT_EQ(List(), (L{8, 0, 1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(filter->rotationStart, 0);
  // Twelve: frame 0 moves the start to 7, frame 10 to 7 + 7 - 12 = 2.
  Reset();
  for (int frame = 0; frame <= 10; ++frame) {
    Run(12, 0, -1);
    ASSERT_EQ(List(), (frame < 10 ? L{0, 7, 8, 9, 10, 11, 1, 2, 3} : L{0, 2, 3, 4, 5, 6, 7, 8, 9}))
        << frame;
  }
  Reset();
  const int expected[] = {7, 4, 1, 8, 5, 2, 9, 6, 3, 0};
  for (int frame = 0; frame < 100; ++frame) {
    Run(10, frame == 30 ? 9 : 0, frame == 30 ? 8 : -1);
    ASSERT_EQ(filter->rotationStart, expected[frame / 10]) << "frame " << frame;
    if (frame == 30) {
      EXPECT_EQ(List(), (L{9, 8, 0, 1, 2, 3, 4, 5, 6}));
    }
  }
  // A secondary microphone that is out of range or equals BestMic is left out.
  for (int secondary : {3, 10}) {
    Run(10, 3, secondary);
    EXPECT_EQ(List(), (L{3, 7, 8, 9, 0, 1, 2, 4, 5}));
  }
}

// The smaller error is put out, B's on a tie, and every power lands in the group of its bin.
TEST_F(AdaptiveFilterMonoTest, OutputChoiceTiesAndGroupSums) {
  const int cases[][2] = {{1, 0},  {11, 0}, {12, 1},  {23, 1},  {24, 2},  {39, 2},  {40, 2},
                          {59, 2}, {60, 3}, {139, 3}, {140, 4}, {279, 4}, {280, 5}, {480, 5}};
  for (const auto [bin, group] : cases) {
    Reset(1e30f);  // no adaptation
    far[bin] = Cpx{3.0f, 4.0f};
    micData[0][bin] = micData[1][bin] = Cpx{6.0f, 8.0f};
    SetTap(*filter, 0, bin, 0, Cpx{0.5f, 0.0f});  // YA = 1.5 + 2i, EA = 4.5 + 6i
    SetTap(*filter, 1, bin, 0, Cpx{4.0f, 0.0f});  // YA = 12 + 16i, EA = -D: |EA| = |EB|
    Run(2, 0);
    EXPECT_TRUE(Same(micData[0][bin], Cpx{4.5f, 6.0f}) && Same(micData[1][bin], Cpx{6.0f, 8.0f}))
        << bin;
    EXPECT_TRUE(filter->echoPower[1][bin] == 0.0f && filter->residualPower[1][bin] == 100.0f);
    for (int g = 0; g < kNumGroups; ++g) {
      const float in = g == group ? 1.0f : 0.0f;
      EXPECT_EQ(filter->farGroupPower[g], in * 25.0f) << bin << " " << g;
      EXPECT_EQ(filter->micGroupPower[0][g], in * 100.0f) << bin << " " << g;
      EXPECT_EQ(filter->echoGroupPower[0][g], in * 6.25f) << bin << " " << g;
      EXPECT_EQ(filter->residualGroupPower[0][g], in * 56.25f) << bin << " " << g;
    }
    EXPECT_EQ(filter->farBinPower[bin], 25.0f);
    // The residual total covers the low and mid bands only (bins 1..279).
    EXPECT_EQ(filter->residualTotal[0], bin < 280 ? 56.25f : 0.0f) << bin;
  }
}

TEST_F(AdaptiveFilterMonoTest, SilentReferenceGivesNoAdaptation) {
  Reset(0.0f);  // any echo prediction above zero would adapt
  std::mt19937 rng(3);
  std::normal_distribution<float> n(0.0f, 10.0f);
  for (int k = 1; k <= kAfLastBin; ++k)
    for (int j = 0; j < TapsOfBin(k); ++j)
      SetTap(*filter, 0, k, j, Cpx{n(rng), n(rng)});
  const auto before = std::make_unique<AdaptiveFilterMono>(*filter);
  for (int frame = 0; frame < 30; ++frame) {
    for (Cpx& x : micData[0])
      x = Cpx{n(rng), n(rng)};
    const std::vector<Cpx> input = micData[0];
    Run(1, 0);
    // Y = 0: every bin passes unchanged.
    ASSERT_EQ(0, std::memcmp(input.data(), mics[0], kNumBins * sizeof(Cpx)));
    ASSERT_EQ(*std::max_element(filter->refTapEnergy, filter->refTapEnergy + kNumBins), 0.0f);
  }
  // Every coefficient block, low to high band, is unchanged.
  EXPECT_EQ(0, std::memcmp(before.get(), filter.get(), offsetof(AdaptiveFilterMono, lowHistory)));
}

// Agreement with the plain per-bin formulation over many frames of random data, for every
// processor level this machine can run. The echo paths change, near-end bursts make A drift, the
// microphones fall silent now and then, so adaptation, divergence and transfers all happen.
// Bin 0 and bins 481..959 must come back bit-identical (bin 0 holds -0 and a NaN).
void RunAgreement(int numberOfMics, int frames, uint32_t seed, CpuLevel level) {
  constexpr int kLags = 4;
  std::mt19937 rng(seed);
  std::normal_distribution<float> gauss(0.0f, 1.0f);
  std::uniform_real_distribution<float> uni(0.0f, 1.0f);
  const auto opt = std::make_unique<AdaptiveFilterMono>();
  AdaptiveFilterMono_Create(opt.get(), level);
  ASSERT_EQ(level, opt->level);
  const auto ref = std::make_unique<reference::AdaptiveFilter>();
  // Noise floors: adaptation is blocked in some bins, and in whole microphones at times.
  std::vector<NoisePsdState> noise(kMaxMics);
  std::vector<float> floors(kMaxMics * kNumBins);
  for (float& x : floors)
    x = uni(rng) < 0.1f ? 1e12f : 1000.0f * uni(rng);
  float coupling[kMaxMics][kNumGroups];
  std::vector<std::complex<float>> path(kMaxMics * kNumBins * kLags);
  const auto newPaths = [&] {
    for (auto& t : path)
      t = {0.5f * gauss(rng), 0.5f * gauss(rng)};
    for (auto& row : coupling)
      for (float& c : row)
        c = 0.05f + 32.0f * uni(rng);
  };
  newPaths();
  std::vector<std::vector<Cpx>> farHistory(kLags, std::vector<Cpx>(kNumBins));
  std::vector<std::vector<Cpx>> input(kMaxMics, std::vector<Cpx>(kNumBins)), opts = input,
                                                                             refs = input;
  Cpx *po[kMaxMics], *pr[kMaxMics];
  for (int m = 0; m < kMaxMics; ++m) {
    po[m] = opts[m].data();
    pr[m] = refs[m].data();
  }
  int bestMic = 0, secondaryMic = -1, talkState = 2;
  float nearLevel = 0.0f, farLevel = 300.0f, micScale[kMaxMics];
  for (int frame = 0; frame < frames; ++frame) {
    if (frame % 150 == 149) newPaths();
    if (frame % 60 == 0) {
      talkState = 1 + static_cast<int>(uni(rng) * 3.0f);
      bestMic = static_cast<int>(uni(rng) * static_cast<float>(numberOfMics));
      secondaryMic = static_cast<int>(uni(rng) * static_cast<float>(numberOfMics)) - 1;
      nearLevel = uni(rng) < 0.3f ? 3000.0f : 0.0f;  // near-end burst
      farLevel = uni(rng) < 0.1f ? 0.0f : 300.0f;    // far end silent
      for (int m = 0; m < kMaxMics; ++m) {
        const float u = uni(rng);
        micScale[m] = u < 0.15f ? 0.0f : (u < 0.3f ? 0.01f : 1.0f);  // microphone fades out
        const float block = uni(rng) < 0.25f ? 1e9f : 1.0f;          // adaptation held off
        for (int k = 0; k < kNumBins; ++k)
          noise[m].noise[k] = block * floors[m * kNumBins + k];
      }
    }
    std::rotate(farHistory.rbegin(), farHistory.rbegin() + 1, farHistory.rend());
    for (auto& x : farHistory[0])
      x = Cpx{farLevel * gauss(rng), farLevel * gauss(rng)};
    for (int m = 0; m < numberOfMics; ++m) {
      for (int k = 0; k < kNumBins; ++k) {
        std::complex<float> d(nearLevel * gauss(rng) + gauss(rng),
                              nearLevel * gauss(rng) + gauss(rng));
        for (int l = 0; l < kLags; ++l)
          d += path[(m * kNumBins + k) * kLags + l] *
               std::complex(farHistory[l][k].re, farHistory[l][k].im);
        input[m][k] = Cpx{micScale[m] * d.real(), micScale[m] * d.imag()};
      }
      input[m][0] = Cpx{-0.0f, std::nanf("")};
      opts[m] = refs[m] = input[m];
    }
    AdaptiveFilterMono_Process(farHistory[0].data(), numberOfMics, coupling, noise.data(), po,
                               bestMic, secondaryMic, talkState, *opt);
    reference::Process(farHistory[0].data(), numberOfMics, coupling, noise.data(), pr, bestMic,
                       secondaryMic, talkState, *ref);
#define SAME(field) (!std::memcmp(&opt->field, &ref->field, sizeof ref->field))
    ASSERT_TRUE(SAME(listCount) && SAME(MicList) && SAME(farBinPower) && SAME(farGroupPower) &&
                SAME(refTapEnergy) && SAME(echoPower) && SAME(residualPower) &&
                SAME(echoGroupPower) && SAME(micGroupPower) && SAME(residualGroupPower) &&
                SAME(residualTotal))
        << "frame " << frame;
#undef SAME
    for (int m = 0; m < numberOfMics; ++m) {
      ASSERT_EQ(0, std::memcmp(po[m], pr[m], kNumBins * sizeof(Cpx))) << frame << " " << m;
      ASSERT_EQ(0, std::memcmp(po[m], input[m].data(), sizeof(Cpx)));
      ASSERT_EQ(0, std::memcmp(po[m] + 481, &input[m][481], 479 * sizeof(Cpx)));
    }
  }
  // Final state of every filter and smoothed power.
  for (int m = 0; m < numberOfMics; ++m) {
    for (int k = 1; k <= kAfLastBin; ++k) {
      ASSERT_TRUE(opt->smoothedMicPower[m][k] == ref->smoothedMicPower[k][m] &&
                  opt->smoothedErrorA[m][k] == ref->smoothedErrorA[k][m] &&
                  opt->smoothedErrorB[m][k] == ref->smoothedErrorB[k][m])
          << m << " " << k;
      const Cpx* a = k < 40 ? ref->lowCoef[k][m][0]
                            : (k < 280 ? ref->midCoef[k][m][0] : ref->highCoef[k - 280][m][0]);
      const Cpx* b = a + (k < 40 ? 16 : TapsOfBin(k));  // filter B follows A
      for (int j = 0; j < TapsOfBin(k); ++j) {
        ASSERT_TRUE(Same(Tap(*opt, m, k, j), a[j])) << m << " " << k << " " << j;
        ASSERT_TRUE(Same(Tap(*opt, m, k, j, true), b[j])) << m << " " << k << " " << j;
      }
    }
  }
  if (frames < 600) return;
  // A scenario this long exercises every rule.
  EXPECT_GT(ref->adaptations, 10000u);
  EXPECT_GT(std::min({ref->clearedA, ref->clearedB, ref->copiedAtoB, ref->copiedBtoA}), 10u);
}

class AdaptiveFilterAgreementTest : public ::testing::TestWithParam<CpuLevel> {};

TEST_P(AdaptiveFilterAgreementTest, MatchesPlainFormulationExactly) {
  ORVO_SKIP_UNSUPPORTED_LEVEL(GetParam());
  RunAgreement(3, 600, 1234u, GetParam());
  RunAgreement(11, 120, 99u, GetParam());  // rotating list
}

INSTANTIATE_TEST_SUITE_P(Levels, AdaptiveFilterAgreementTest, ORVO_ALL_CPU_LEVELS);

}  // namespace
}  // namespace orvo
