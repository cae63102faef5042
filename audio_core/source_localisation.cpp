#include "audio_core/source_localisation.hpp"

#include <cmath>
#include <cstdlib>

#include "audio_core/messages.hpp"

#include "platform/platform.hpp"

namespace orvo {

namespace {

constexpr float kSecondsPerInch = 7.385525e-5f;  // travel time of sound over one inch
constexpr float kMicHalfSpacing = 6.375f;        // inches from the array centre

}  // namespace

std::unique_ptr<SourceLocalisation> SourceLocalisation_Create(const Logger& log) {
  auto s = std::make_unique<SourceLocalisation>();

  s->angleSettings[0] = 90;
  s->angleSettings[1] = 90;
  s->angleSettings[2] = 6;

  // Distances grow by 1.2 from two feet; the first nine are fixed, the rest computed.
  static const float kFixedDistances[9] = {24.0f,     28.8f,      34.56f,    41.472f,   49.7664f,
                                           59.71969f, 71.663635f, 85.99637f, 103.19565f};
  for (int i = 0; i < 9; ++i)
    s->distance[i] = kFixedDistances[i];
  for (int i = 9; i < SourceLocalisation::kDistances; ++i)
    s->distance[i] = s->distance[i - 1] * 1.2f;

  log.Printf(msg::kSslMaximumRange, s->distance[11] / 12.0);
  log.Printf(msg::kSslAverageDistance, s->distance[6] / 12.0);

  for (int k = 0; k < SourceLocalisation::kTwiddles; ++k) {
    const double angle = k * 3.1415926 * 0.00390625;
    s->twiddle[k] = {static_cast<float>(std::cos(angle)), static_cast<float>(-std::sin(angle))};
  }

  s->micPosition[0][0] = -kMicHalfSpacing;
  s->micPosition[0][1] = 0.0f;
  s->micPosition[1][0] = kMicHalfSpacing;
  s->micPosition[1][1] = 0.0f;

  for (int r = 0; r < SourceLocalisation::kDistances; ++r) {
    const float range = s->distance[r];
    for (int a = 0; a < SourceLocalisation::kDirections; ++a) {
      const float theta = static_cast<float>(a) * 0.004363323f;
      const float x = range * std::cos(theta);
      const float y = range * std::sin(theta);
      const float r0 = std::sqrt(x * x + y * y);
      for (int m = 0; m < 2; ++m) {
        const float mx = s->micPosition[m][0];
        const float my = s->micPosition[m][1];
        const float d = r0 - std::sqrt((y - my) * (y - my) + (x - mx) * (x - mx));
        const float step = d * kSecondsPerInch * 25.0f * 512.0f;
        s->phaseStep[r][a][m] = step;
        // The phase at 24 kHz computed directly must match the truncated twiddle entry.
        const float half = d * -kSecondsPerInch * 25.0f;
        const float direct = std::cos((half + half) * 3.1415925f * 960.0f);
        const int index = static_cast<int>(step * 960.0f) & (SourceLocalisation::kTwiddles - 1);
        if (std::fabs(direct - s->twiddle[index].re) > 0.02f) {
          log.Printf("%s", msg::kSslTableError);
          std::exit(2);
        }
      }
    }
  }
  log.Printf("%s", msg::kSslTablesBuilt);

  s->tableWord = 0;
  s->creationTick = platform::TickCountMs();
  for (int k = 0; k < kNumBins; ++k) {
    s->binWeightA[k] = 1.0f;
    s->binFloor[k] = 100000.0f;
    s->binWeightB[k] = 1.0f;
  }
  s->secondWord = 0;
  s->leadingWord = 0;
  return s;
}

}  // namespace orvo
