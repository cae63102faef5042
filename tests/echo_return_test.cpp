#include "audio_core/echo_return.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <utility>
#include <vector>

namespace orvo {
namespace {

TEST(EchoReturn, EnergyBeforeTheFilterCoversBins20To119AndAfterItBins20To123) {
  std::vector<Cpx> s(kNumBins, Cpx{0.0f, 0.0f});
  for (int k : {19, 20, 119, 120, 123, 124})
    s[k] = Cpx{1.0f, 2.0f};                             // power 5 each
  EXPECT_EQ(EchoReturn_EnergyBefore(s.data()), 10.0f);  // bins 20 and 119
  EXPECT_EQ(EchoReturn_EnergyAfter(s.data()), 20.0f);   // bins 20, 119, 120 and 123
}

TEST(EchoReturn, MeasuresOnlyWithAConfidentDelayTheFarEndAloneAndEnoughEnergy) {
  // {confident, talk state, energy before}; only the first measures.
  const std::tuple<bool, int, float> cases[] = {
      {true, 2, 2e9f}, {false, 2, 2e9f}, {true, 1, 2e9f}, {true, 3, 2e9f}, {true, 2, 1e9f}};
  for (const auto& [confident, talkState, before] : cases) {
    EchoReturn r;
    EchoReturn_Init(r);
    const bool measured = EchoReturn_Update(r, before, before / 100.0f, confident, talkState);
    const bool expected = confident && talkState == 2 && before > 1e9f;
    EXPECT_EQ(measured, expected) << confident << " " << talkState << " " << before;
    EXPECT_EQ(r.erleDb, expected ? 0.1f * (10.0f * std::log10(100.0f)) : 0.0f);
  }
  EchoReturn r;
  EchoReturn_Init(r);
  EXPECT_TRUE(EchoReturn_Update(r, std::nextafter(1e9f, 2e9f), 1e7f, true, 2));  // just above
}

TEST(EchoReturn, MovesATenthOfTheWayTowardsTheRatioHeldWithinOneAndNineHundred) {
  EchoReturn r;
  EchoReturn_Init(r);
  EXPECT_EQ(r.erleDb, 0.0f);
  const float before = 4e9f;
  // {energy after, ratio as used}: 20 dB, then above 900 (29.5 dB), then below 1 (0 dB); an
  // empty residual is guarded by 0.001 and held at 900 too.
  const std::pair<float, float> frames[] = {{before / 100.0f, 100.0f},
                                            {before / 5000.0f, 900.0f},
                                            {2.0f * before, 1.0f},
                                            {0.0f, 900.0f},
                                            {before / 100.0f, 100.0f}};
  float expected = 0.0f;
  for (const auto& [after, ratio] : frames) {
    ASSERT_TRUE(EchoReturn_Update(r, before, after, true, 2));
    const float measured = ratio == 100.0f ? before / (after + 0.001f) : ratio;
    expected = 0.9f * expected + 0.1f * (10.0f * std::log10(measured));
    EXPECT_EQ(r.erleDb, expected) << after;
  }
  // The smoothing: a steady 20 dB takes 22 frames from 0 to above 18 dB.
  EchoReturn_Init(r);
  int frames20 = 0;
  while (r.erleDb <= 18.0f && frames20 < 100) {
    EchoReturn_Update(r, before, before / 100.0f, true, 2);
    ++frames20;
  }
  EXPECT_EQ(frames20, 22);
}

}  // namespace
}  // namespace orvo
