#include "audio_core/adaptive_filter_mono.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "tests/adaptive_filter_mono_reference.hpp"

namespace orvo {
namespace {

// ---------------------------------------------------------------------------------------------
// Access to the block layout of the coefficients: filter A or B, tap j of microphone m at bin k.

template <int T>
Cpx GetTap(const AfCoefBlock<T>& b, bool filterB, int j, int lane) {
  return filterB ? Cpx{b.bRe[j][lane], b.bIm[j][lane]} : Cpx{b.aRe[j][lane], b.aIm[j][lane]};
}

template <int T>
void SetTap(AfCoefBlock<T>& b, bool filterB, int j, int lane, Cpx v) {
  (filterB ? b.bRe : b.aRe)[j][lane] = v.re;
  (filterB ? b.bIm : b.aIm)[j][lane] = v.im;
}

int TapsOfBin(int k) {
  return k < kAfMidFirstBin ? kAfLowTaps : (k < kAfHighFirstBin ? kAfMidTaps : kAfHighTaps);
}

Cpx Tap(const AdaptiveFilterMono& s, int m, int k, int j, bool filterB = false) {
  const int blk = k / kAfLanes, lane = k % kAfLanes;
  if (k < kAfMidFirstBin) return GetTap(s.lowCoef[m][blk], filterB, j, lane);
  if (k < kAfHighFirstBin) return GetTap(s.midCoef[m][blk - kAfLowBlocks], filterB, j, lane);
  return GetTap(s.highCoef[m][blk - kAfLowBlocks - kAfMidBlocks], filterB, j, lane);
}

void SetTapOf(AdaptiveFilterMono& s, int m, int k, int j, Cpx v, bool filterB = false) {
  const int blk = k / kAfLanes, lane = k % kAfLanes;
  if (k < kAfMidFirstBin)
    SetTap(s.lowCoef[m][blk], filterB, j, lane, v);
  else if (k < kAfHighFirstBin)
    SetTap(s.midCoef[m][blk - kAfLowBlocks], filterB, j, lane, v);
  else
    SetTap(s.highCoef[m][blk - kAfLowBlocks - kAfMidBlocks], filterB, j, lane, v);
}

bool Same(Cpx a, Cpx b) {
  return a.re == b.re && a.im == b.im;
}

// ---------------------------------------------------------------------------------------------
// Engine-side inputs of the filter: spectra, coupling ratios, noise records.

class AdaptiveFilterMonoTest : public ::testing::Test {
 protected:
  AdaptiveFilterMonoTest()
      : filter(std::make_unique<AdaptiveFilterMono>()),
        noise(kMaxMics),
        far(kNumBins, Cpx{0.0f, 0.0f}),
        micData(kMaxMics, std::vector<Cpx>(kNumBins, Cpx{0.0f, 0.0f})) {
    AdaptiveFilterMono_Create(filter.get());
    for (auto& n : noise)
      NoisePSD_Create(&n);
    SetNoise(1.0f);
    SetCoupling(16.0f);
    for (int m = 0; m < kMaxMics; ++m)
      mics[m] = micData[m].data();
  }

  void SetNoise(float v) {
    for (auto& n : noise)
      for (float& x : n.noise)
        x = v;
  }
  void SetCoupling(float v) {
    for (auto& row : coupling)
      for (float& c : row)
        c = v;
  }
  void ClearSpectra() {
    std::fill(far.begin(), far.end(), Cpx{0.0f, 0.0f});
    for (auto& m : micData)
      std::fill(m.begin(), m.end(), Cpx{0.0f, 0.0f});
  }
  void Run(int numberOfMics, int bestMic = 0, int secondaryMic = -1, int talkState = 2) {
    AdaptiveFilterMono_Process(far.data(), numberOfMics, coupling, noise.data(), mics, bestMic,
                               secondaryMic, talkState, *filter);
  }
  std::vector<int> List() const {
    return std::vector<int>(filter->MicList, filter->MicList + filter->listCount);
  }

  std::unique_ptr<AdaptiveFilterMono> filter;
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

// ---------------------------------------------------------------------------------------------
// Microphone list.

TEST_F(AdaptiveFilterMonoTest, ListUpToNineMicrophonesHoldsAllBestFirst) {
  Run(1, 0);
  EXPECT_EQ(List(), (std::vector<int>{0}));
  Run(2, 1);
  EXPECT_EQ(List(), (std::vector<int>{1, 0}));
  Run(5, 3, 1);  // the secondary microphone plays no part below ten microphones
  EXPECT_EQ(List(), (std::vector<int>{3, 0, 1, 2, 4}));
  Run(9, 8);
  EXPECT_EQ(List(), (std::vector<int>{8, 0, 1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(filter->rotationStart, 0);
}

TEST_F(AdaptiveFilterMonoTest, TwelveMicrophonesRotateEveryTenFrames) {
  for (int frame = 0; frame < 10; ++frame) {
    Run(12, 0, -1);
    EXPECT_EQ(filter->rotationStart, 7);
    EXPECT_EQ(List(), (std::vector<int>{0, 7, 8, 9, 10, 11, 1, 2, 3})) << "frame " << frame;
  }
  Run(12, 0, -1);  // frame 10: 7 + 7 = 14, minus 12
  EXPECT_EQ(filter->rotationStart, 2);
  EXPECT_EQ(List(), (std::vector<int>{0, 2, 3, 4, 5, 6, 7, 8, 9}));
}

TEST_F(AdaptiveFilterMonoTest, TenMicrophonesRotationSequenceAndSecondary) {
  const int expected[] = {7, 4, 1, 8, 5, 2, 9, 6, 3, 0};
  for (int frame = 0; frame < 100; ++frame) {
    if (frame == 30) {
      Run(10, 9, 8);
      EXPECT_EQ(List(), (std::vector<int>{9, 8, 0, 1, 2, 3, 4, 5, 6}));
    } else {
      Run(10, 0, -1);
    }
    ASSERT_EQ(filter->rotationStart, expected[frame / 10]) << "frame " << frame;
  }
  // A secondary microphone that is out of range or equals BestMic is left out.
  Run(10, 3, 3);
  EXPECT_EQ(List(), (std::vector<int>{3, 7, 8, 9, 0, 1, 2, 4, 5}));
  Run(10, 3, 10);
  EXPECT_EQ(List(), (std::vector<int>{3, 7, 8, 9, 0, 1, 2, 4, 5}));
}

TEST_F(AdaptiveFilterMonoTest, MicrophonesOutsideTheListKeepRawSpectraAndState) {
  std::mt19937 rng(5);
  std::normal_distribution<float> n(0.0f, 100.0f);
  for (int frame = 0; frame < 5; ++frame) {
    for (int k = 0; k < kNumBins; ++k) {
      far[k] = Cpx{n(rng), n(rng)};
      for (int m = 0; m < 12; ++m)
        micData[m][k] = Cpx{0.5f * far[k].re, 0.5f * far[k].im};
    }
    const std::vector<std::vector<Cpx>> before = micData;
    Run(12, 0, -1);  // list 0, 7, 8, 9, 10, 11, 1, 2, 3
    for (int m : {4, 5, 6}) {
      EXPECT_EQ(0, std::memcmp(before[m].data(), micData[m].data(), kNumBins * sizeof(Cpx)));
      EXPECT_EQ(filter->residualGroupPower[m][3], 0.0f);
      EXPECT_EQ(filter->smoothedMicPower[m][100], 0.0f);
      EXPECT_TRUE(Same(Tap(*filter, m, 100, 0), Cpx{0.0f, 0.0f}));
    }
    EXPECT_GT(filter->residualGroupPower[7][3], 0.0f);
  }
  EXPECT_FALSE(Same(Tap(*filter, 7, 100, 0), Cpx{0.0f, 0.0f}));
}

// ---------------------------------------------------------------------------------------------
// Output choice, untouched bins, band groups.

TEST_F(AdaptiveFilterMonoTest, OutputsTheSmallerErrorAndBOnTies) {
  SetNoise(1e30f);  // no adaptation
  const Cpx one{1.0f, 0.0f};
  for (int k : {5, 100, 300}) {
    far[k] = one;
    micData[0][k] = one;
    micData[1][k] = one;
    // Mic 0: YA = 1 + i, so |EA|^2 = |-i|^2 = 1 = |EB|^2 (B is zero): a tie, B's error wins.
    SetTapOf(*filter, 0, k, 0, Cpx{1.0f, 1.0f});
    // Mic 1: YA = 0.5, |EA|^2 = 0.25 < 1: A's error wins.
    SetTapOf(*filter, 1, k, 0, Cpx{0.5f, 0.0f});
  }
  Run(2, 0);
  for (int k : {5, 100, 300}) {
    EXPECT_TRUE(Same(micData[0][k], one)) << k;
    EXPECT_EQ(filter->echoPower[0][k], 0.0f) << k;
    EXPECT_EQ(filter->residualPower[0][k], 1.0f) << k;
    EXPECT_TRUE(Same(micData[1][k], Cpx{0.5f, 0.0f})) << k;
    EXPECT_EQ(filter->echoPower[1][k], 0.25f) << k;
    EXPECT_EQ(filter->residualPower[1][k], 0.25f) << k;
  }
}

TEST_F(AdaptiveFilterMonoTest, BinZeroAndBinsAbove480LeaveBitIdentical) {
  std::mt19937 rng(11);
  std::normal_distribution<float> n(0.0f, 1000.0f);
  for (int frame = 0; frame < 20; ++frame) {
    for (int k = 0; k < kNumBins; ++k) {
      far[k] = Cpx{n(rng), n(rng)};
      for (int m = 0; m < 3; ++m)
        micData[m][k] = Cpx{0.3f * far[k].re + n(rng), -0.2f * far[k].im + n(rng)};
    }
    micData[1][0] = Cpx{-0.0f, std::nanf("")};  // bit patterns that a float copy could alter
    const std::vector<std::vector<Cpx>> before = micData;
    Run(3, 1);
    int changed = 0;
    for (int m = 0; m < 3; ++m) {
      ASSERT_EQ(0, std::memcmp(&before[m][0], &micData[m][0], sizeof(Cpx)));
      ASSERT_EQ(0, std::memcmp(&before[m][481], &micData[m][481], 479 * sizeof(Cpx)));
      for (int k = 1; k <= 480; ++k)
        changed += !Same(before[m][k], micData[m][k]);
      EXPECT_EQ(filter->echoPower[m][0], 0.0f);
      EXPECT_EQ(filter->residualPower[m][481], 0.0f);
    }
    if (frame > 2) {
      EXPECT_GT(changed, 200);
    }
  }
  EXPECT_EQ(filter->farBinPower[0], 0.0f);
  EXPECT_EQ(filter->farBinPower[481], 0.0f);
}

TEST_F(AdaptiveFilterMonoTest, GroupSumsTakeEachBinInItsGroup) {
  SetNoise(1e30f);
  const struct {
    int bin, group;
  } cases[] = {{1, 0},  {11, 0}, {12, 1},  {23, 1},  {24, 2},  {39, 2},  {40, 2},
               {59, 2}, {60, 3}, {139, 3}, {140, 4}, {279, 4}, {280, 5}, {480, 5}};
  for (const auto& c : cases) {
    AdaptiveFilterMono_Create(filter.get());
    ClearSpectra();
    far[c.bin] = Cpx{3.0f, 4.0f};
    micData[0][c.bin] = Cpx{6.0f, 8.0f};
    SetTapOf(*filter, 0, c.bin, 0, Cpx{0.5f, 0.0f});  // Y = 1.5 + 2i, EA = 4.5 + 6i
    Run(1, 0);
    for (int g = 0; g < kNumGroups; ++g) {
      const bool in = g == c.group;
      EXPECT_EQ(filter->farGroupPower[g], in ? 25.0f : 0.0f) << c.bin << " " << g;
      EXPECT_EQ(filter->micGroupPower[0][g], in ? 100.0f : 0.0f) << c.bin << " " << g;
      EXPECT_EQ(filter->echoGroupPower[0][g], in ? 6.25f : 0.0f) << c.bin << " " << g;
      EXPECT_EQ(filter->residualGroupPower[0][g], in ? 56.25f : 0.0f) << c.bin << " " << g;
    }
    EXPECT_EQ(filter->farBinPower[c.bin], 25.0f);
    // The residual total covers the low and mid bands only (bins 1..279).
    EXPECT_EQ(filter->residualTotal[0], c.bin < 280 ? 56.25f : 0.0f) << c.bin;
  }
}

// ---------------------------------------------------------------------------------------------
// Adaptation.

TEST_F(AdaptiveFilterMonoTest, SilentReferenceGivesNoAdaptation) {
  SetNoise(0.0f);  // any echo prediction above zero would adapt
  std::mt19937 rng(3);
  std::normal_distribution<float> n(0.0f, 10.0f);
  const int bins[] = {1, 20, 77, 279, 300, 480};
  for (int k : bins)
    for (int j = 0; j < TapsOfBin(k); ++j)
      SetTapOf(*filter, 0, k, j, Cpx{n(rng), n(rng)});
  std::vector<Cpx> taps;
  for (int k : bins)
    for (int j = 0; j < TapsOfBin(k); ++j)
      taps.push_back(Tap(*filter, 0, k, j));
  for (int frame = 0; frame < 30; ++frame) {
    for (int k = 0; k < kNumBins; ++k)
      micData[0][k] = Cpx{n(rng), n(rng)};
    const std::vector<Cpx> before = micData[0];
    Run(1, 0);
    for (int k = 1; k <= 480; ++k) {
      ASSERT_EQ(filter->refTapEnergy[k], 0.0f);
      ASSERT_TRUE(Same(micData[0][k], before[k])) << k;  // Y = 0: the bin passes unchanged
    }
  }
  size_t i = 0;
  for (int k : bins)
    for (int j = 0; j < TapsOfBin(k); ++j)
      EXPECT_TRUE(Same(Tap(*filter, 0, k, j), taps[i++])) << k << " " << j;
}

TEST_F(AdaptiveFilterMonoTest, AdaptationMarginFollowsTalkState) {
  // Expected echo 16 * Ex = 16 against a noise floor of 0.08: a ratio of 200, above the margin
  // of 100 (far end alone) but below 400 (far end silent or double talk).
  SetNoise(0.08f);
  for (int talkState : {1, 2, 3}) {
    AdaptiveFilterMono_Create(filter.get());
    ClearSpectra();
    far[100] = Cpx{1.0f, 0.0f};
    micData[0][100] = Cpx{2.0f, -1.0f};
    Run(1, 0, -1, talkState);
    const Cpx a = Tap(*filter, 0, 100, 0);
    if (talkState == 2) {
      const float mu = 0.5f / (1.0f + 100.0f);  // Ex = 1
      EXPECT_EQ(a.re, mu * 2.0f);
      EXPECT_EQ(a.im, mu * -1.0f);
    } else {
      EXPECT_TRUE(Same(a, Cpx{0.0f, 0.0f})) << talkState;
    }
  }
  // A coupling ratio of zero in the microphone's group stops adaptation there.
  AdaptiveFilterMono_Create(filter.get());
  coupling[0][GroupOfBin(100)] = 0.0f;
  far[100] = Cpx{1.0f, 0.0f};
  micData[0][100] = Cpx{2.0f, -1.0f};
  Run(1, 0);
  EXPECT_TRUE(Same(Tap(*filter, 0, 100, 0), Cpx{0.0f, 0.0f}));
}

// Microphone bin = far end of `lag` frames ago times a fixed gain: filter A converges to the
// gain at tap `lag`, the backup B receives it, and the output error falls.
TEST_F(AdaptiveFilterMonoTest, SingleBinConvergesToEchoTapInEveryBand) {
  const std::complex<float> gain(0.6f, -0.3f);
  const struct {
    int bin, lag;
  } cases[] = {{10, 12}, {100, 7}, {400, 3}, {39, 5}, {40, 0}, {279, 4}, {480, 1}};
  for (const auto& c : cases) {
    AdaptiveFilterMono_Create(filter.get());
    ClearSpectra();
    std::mt19937 rng(c.bin);
    std::normal_distribution<float> n(0.0f, 100.0f);
    constexpr int kFrames = 400;
    std::vector<std::complex<float>> history(kFrames);
    float micPower = 0.0f, errorPower = 0.0f;
    for (int frame = 0; frame < kFrames; ++frame) {
      history[frame] = {n(rng), n(rng)};
      far[c.bin] = Cpx{history[frame].real(), history[frame].imag()};
      const std::complex<float> d =
          frame >= c.lag ? gain * history[frame - c.lag] : std::complex<float>(0.0f, 0.0f);
      micData[0][c.bin] = Cpx{d.real(), d.imag()};
      Run(1, 0);
      if (frame >= kFrames - 50) {
        micPower += std::norm(d);
        errorPower += Power(micData[0][c.bin]);
      }
    }
    EXPECT_LT(errorPower, 1e-6f * micPower) << "bin " << c.bin;
    for (int j = 0; j < TapsOfBin(c.bin); ++j) {
      const Cpx a = Tap(*filter, 0, c.bin, j);
      const std::complex<float> expect = j == c.lag ? gain : 0.0f;
      EXPECT_LT(std::abs(std::complex<float>(a.re, a.im) - expect), 1e-3f)
          << "bin " << c.bin << " tap " << j;
    }
    const Cpx b = Tap(*filter, 0, c.bin, c.lag, true);
    EXPECT_LT(std::abs(std::complex<float>(b.re, b.im) - gain), 1e-2f) << "bin " << c.bin;
  }
}

// ---------------------------------------------------------------------------------------------
// Divergence and transfers, on bin 100 in the first frame (X = 1 in the newest slot only).

class AdaptiveFilterTransferTest : public AdaptiveFilterMonoTest {
 protected:
  static constexpr int kBin = 100;
  void Frame(Cpx d, Cpx a, Cpx b, bool adapt) {
    SetNoise(adapt ? 0.0f : 1e30f);
    far[kBin] = Cpx{1.0f, 0.0f};
    micData[0][kBin] = d;
    SetTapOf(*filter, 0, kBin, 0, a);
    SetTapOf(*filter, 0, kBin, 0, b, true);
    SetTapOf(*filter, 0, kBin, 3, Cpx{7.0f, 7.0f}, true);  // taps beyond 0 see X = 0
    Run(1, 0);
  }
  bool PowersCleared() const {
    return filter->smoothedMicPower[0][kBin] == 0.0f && filter->smoothedErrorA[0][kBin] == 0.0f &&
           filter->smoothedErrorB[0][kBin] == 0.0f;
  }
  const float mu = 0.5f / (1.0f + 100.0f);
};

TEST_F(AdaptiveFilterTransferTest, DivergedAIsCleared) {
  Frame(Cpx{1.0f, 0.0f}, Cpx{1000.0f, 0.0f}, Cpx{0.5f, 0.0f}, false);
  EXPECT_TRUE(PowersCleared());
  for (int j = 0; j < kAfMidTaps; ++j)
    EXPECT_TRUE(Same(Tap(*filter, 0, kBin, j), Cpx{0.0f, 0.0f})) << j;
  EXPECT_TRUE(Same(Tap(*filter, 0, kBin, 0, true), Cpx{0.5f, 0.0f}));  // B untouched
  EXPECT_TRUE(Same(micData[0][kBin], Cpx{0.5f, 0.0f}));                // B's error put out
}

TEST_F(AdaptiveFilterTransferTest, ClearedAStillAdaptsWithErrorFromBeforeTheClearing) {
  Frame(Cpx{1.0f, 0.0f}, Cpx{1000.0f, 0.0f}, Cpx{0.0f, 0.0f}, true);
  EXPECT_TRUE(PowersCleared());
  EXPECT_EQ(Tap(*filter, 0, kBin, 0).re, mu * -999.0f);  // EA = 1 - 1000
  EXPECT_EQ(Tap(*filter, 0, kBin, 0).im, 0.0f);
  EXPECT_TRUE(Same(Tap(*filter, 0, kBin, 1), Cpx{0.0f, 0.0f}));
}

TEST_F(AdaptiveFilterTransferTest, DivergedBIsCleared) {
  Frame(Cpx{1.0f, 0.0f}, Cpx{0.0f, 0.0f}, Cpx{1000.0f, 0.0f}, false);
  EXPECT_TRUE(PowersCleared());
  for (int j = 0; j < kAfMidTaps; ++j)
    EXPECT_TRUE(Same(Tap(*filter, 0, kBin, j, true), Cpx{0.0f, 0.0f})) << j;
}

TEST_F(AdaptiveFilterTransferTest, GoodAIsCopiedToB) {
  const Cpx g{0.5f, 0.25f};
  Frame(g, g, Cpx{0.0f, 0.0f}, false);  // EA = 0, EB = D
  EXPECT_TRUE(PowersCleared());
  for (int j = 0; j < kAfMidTaps; ++j)
    EXPECT_TRUE(Same(Tap(*filter, 0, kBin, j, true), Tap(*filter, 0, kBin, j))) << j;
  EXPECT_TRUE(Same(Tap(*filter, 0, kBin, 0, true), g));
  EXPECT_TRUE(Same(micData[0][kBin], Cpx{0.0f, 0.0f}));
}

TEST_F(AdaptiveFilterTransferTest, GoodBIsCopiedToAWhichAdaptsWithBsError) {
  const Cpx g{0.5f, 0.25f};
  Frame(g, Cpx{0.0f, 0.0f}, g, true);  // EB = 0: the update after the copy changes nothing
  EXPECT_TRUE(PowersCleared());
  EXPECT_TRUE(Same(Tap(*filter, 0, kBin, 0), g));
  EXPECT_TRUE(Same(Tap(*filter, 0, kBin, 3), Cpx{7.0f, 7.0f}));
}

// ---------------------------------------------------------------------------------------------
// Agreement with the plain per-bin formulation over many frames of random data, for every
// kernel this processor can run. The echo paths change, near-end bursts make A drift, the
// microphones fall silent now and then, so adaptation, divergence and transfers all happen.

struct Scenario {
  int numberOfMics;
  int frames;
  uint32_t seed;
  bool expectEveryRule;  // long enough for every divergence and transfer rule to fire
};

void RunAgreement(const Scenario& sc, AfKernel kernel) {
  constexpr int kLags = 4;
  std::mt19937 rng(sc.seed);
  std::normal_distribution<float> gauss(0.0f, 1.0f);
  std::uniform_real_distribution<float> uni(0.0f, 1.0f);

  auto opt = std::make_unique<AdaptiveFilterMono>();
  AdaptiveFilterMono_Create(opt.get());
  opt->kernel = kernel;
  auto ref = std::make_unique<reference::AdaptiveFilter>();

  // Noise floors: adaptation is blocked in some bins, and in whole microphones at times.
  std::vector<NoisePsdState> noise(kMaxMics);
  std::vector<std::vector<float>> floors(kMaxMics, std::vector<float>(kNumBins));
  for (int m = 0; m < kMaxMics; ++m) {
    NoisePSD_Create(&noise[m]);
    for (float& x : floors[m])
      x = uni(rng) < 0.1f ? 1e12f : 1000.0f * uni(rng);
  }
  float coupling[kMaxMics][kNumGroups];
  std::vector<std::vector<std::complex<float>>> path(kMaxMics * kNumBins,
                                                     std::vector<std::complex<float>>(kLags));
  auto newPaths = [&] {
    for (auto& p : path)
      for (auto& t : p)
        t = {0.5f * gauss(rng), 0.5f * gauss(rng)};
    for (auto& row : coupling)
      for (float& c : row)
        c = 0.05f + 32.0f * uni(rng);
  };
  newPaths();

  std::vector<std::vector<Cpx>> farHistory(kLags, std::vector<Cpx>(kNumBins));
  std::vector<std::vector<Cpx>> micsOpt(kMaxMics, std::vector<Cpx>(kNumBins));
  std::vector<std::vector<Cpx>> micsRef = micsOpt;
  Cpx* po[kMaxMics];
  Cpx* pr[kMaxMics];
  int bestMic = 0, secondaryMic = -1, talkState = 2;
  float nearLevel = 0.0f, farLevel = 300.0f;
  float micScale[kMaxMics];
  for (int frame = 0; frame < sc.frames; ++frame) {
    if (frame % 150 == 149) newPaths();
    if (frame % 60 == 0) {
      talkState = 1 + static_cast<int>(uni(rng) * 3.0f);
      bestMic = static_cast<int>(uni(rng) * static_cast<float>(sc.numberOfMics));
      secondaryMic = static_cast<int>(uni(rng) * static_cast<float>(sc.numberOfMics)) - 1;
      nearLevel = uni(rng) < 0.3f ? 3000.0f : 0.0f;  // near-end burst
      farLevel = uni(rng) < 0.1f ? 0.0f : 300.0f;    // far end silent
      for (int m = 0; m < kMaxMics; ++m) {
        const float u = uni(rng);
        micScale[m] = u < 0.15f ? 0.0f : (u < 0.3f ? 0.01f : 1.0f);  // microphone fades out
        const float block = uni(rng) < 0.25f ? 1e9f : 1.0f;          // adaptation held off
        for (int k = 0; k < kNumBins; ++k)
          noise[m].noise[k] = block * floors[m][k];
      }
    }
    std::rotate(farHistory.rbegin(), farHistory.rbegin() + 1, farHistory.rend());
    for (auto& x : farHistory[0])
      x = Cpx{farLevel * gauss(rng), farLevel * gauss(rng)};
    for (int m = 0; m < sc.numberOfMics; ++m) {
      for (int k = 0; k < kNumBins; ++k) {
        std::complex<float> d(nearLevel * gauss(rng) + gauss(rng),
                              nearLevel * gauss(rng) + gauss(rng));
        for (int l = 0; l < kLags; ++l)
          d += path[m * kNumBins + k][l] *
               std::complex<float>(farHistory[l][k].re, farHistory[l][k].im);
        micsOpt[m][k] = micsRef[m][k] = Cpx{micScale[m] * d.real(), micScale[m] * d.imag()};
      }
    }
    for (int m = 0; m < kMaxMics; ++m) {
      po[m] = micsOpt[m].data();
      pr[m] = micsRef[m].data();
    }
    AdaptiveFilterMono_Process(farHistory[0].data(), sc.numberOfMics, coupling, noise.data(), po,
                               bestMic, secondaryMic, talkState, *opt);
    reference::Process(farHistory[0].data(), sc.numberOfMics, coupling, noise.data(), pr, bestMic,
                       secondaryMic, talkState, *ref);

    ASSERT_EQ(opt->listCount, ref->listCount) << frame;
    ASSERT_EQ(0, std::memcmp(opt->MicList, ref->MicList, sizeof(int32_t) * opt->listCount));
    ASSERT_EQ(0, std::memcmp(opt->farBinPower, ref->farBinPower, sizeof ref->farBinPower));
    ASSERT_EQ(0, std::memcmp(opt->refTapEnergy, ref->refTapEnergy, sizeof ref->refTapEnergy));
    ASSERT_EQ(0, std::memcmp(opt->farGroupPower, ref->farGroupPower, sizeof ref->farGroupPower));
    for (int m = 0; m < sc.numberOfMics; ++m) {
      ASSERT_EQ(0, std::memcmp(po[m], pr[m], kNumBins * sizeof(Cpx))) << "frame " << frame;
      ASSERT_EQ(0, std::memcmp(opt->echoPower[m], ref->echoPower[m], sizeof ref->echoPower[m]));
      ASSERT_EQ(0, std::memcmp(opt->residualPower[m], ref->residualPower[m],
                               sizeof ref->residualPower[m]));
      ASSERT_EQ(0, std::memcmp(opt->echoGroupPower[m], ref->echoGroupPower[m],
                               sizeof ref->echoGroupPower[m]));
      ASSERT_EQ(0, std::memcmp(opt->micGroupPower[m], ref->micGroupPower[m],
                               sizeof ref->micGroupPower[m]));
      ASSERT_EQ(0, std::memcmp(opt->residualGroupPower[m], ref->residualGroupPower[m],
                               sizeof ref->residualGroupPower[m]));
      ASSERT_EQ(opt->residualTotal[m], ref->residualTotal[m]) << "frame " << frame;
    }
  }
  // Final state of every filter and smoothed power.
  for (int m = 0; m < sc.numberOfMics; ++m) {
    for (int k = 1; k <= 480; ++k) {
      const int i = k * kMaxMics + m;
      ASSERT_EQ(opt->smoothedMicPower[m][k], ref->smoothedMicPower[i]);
      ASSERT_EQ(opt->smoothedErrorA[m][k], ref->smoothedErrorA[i]);
      ASSERT_EQ(opt->smoothedErrorB[m][k], ref->smoothedErrorB[i]);
      for (int j = 0; j < TapsOfBin(k); ++j) {
        const Cpx* r = k < 40 ? ref->lowCoef[k][m][0]
                              : (k < 280 ? ref->midCoef[k][m][0] : ref->highCoef[k - 280][m][0]);
        const Cpx* rb = r + (k < 40 ? 16 : TapsOfBin(k));
        ASSERT_TRUE(Same(Tap(*opt, m, k, j), r[j])) << m << " " << k << " " << j;
        ASSERT_TRUE(Same(Tap(*opt, m, k, j, true), rb[j])) << m << " " << k << " " << j;
      }
    }
  }
  // The scenario exercised every rule.
  if (!sc.expectEveryRule) return;
  EXPECT_GT(ref->adaptations, 10000u);
  EXPECT_GT(ref->clearedA, 10u);
  EXPECT_GT(ref->clearedB, 10u);
  EXPECT_GT(ref->copiedAtoB, 10u);
  EXPECT_GT(ref->copiedBtoA, 10u);
}

class AdaptiveFilterAgreementTest : public ::testing::TestWithParam<AfKernel> {};

TEST_P(AdaptiveFilterAgreementTest, MatchesPlainFormulationExactly) {
  if (GetParam() == kAfKernelAvx2 && !__builtin_cpu_supports("avx2"))
    GTEST_SKIP() << "no AVX2 on this processor";
  RunAgreement({3, 600, 1234u, true}, GetParam());
  RunAgreement({11, 120, 99u, false}, GetParam());  // rotating list
}

INSTANTIATE_TEST_SUITE_P(Kernels, AdaptiveFilterAgreementTest,
                         ::testing::Values(kAfKernelGeneric, kAfKernelAvx2), [](const auto& info) {
                           return info.param == kAfKernelGeneric ? std::string("Generic")
                                                                 : std::string("Avx2");
                         });

}  // namespace
}  // namespace orvo
