// Minimal C++ host: two independent engines, each with its own settings and log sink, each
// cancelling the echo of a far-end tone. Prints the echo level before and after.
#include <orvoaec/engine.hpp>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

int main() {
  constexpr int kFrame = orvo::Engine::kFrameSamples;
  int failures = 0;
  for (int denoise : {0, 1}) {
    std::string log;
    orvo::Engine engine([&log](std::string_view text) { log += text; });
    engine.SetDenoiseMode(denoise);  // 0 leaves out the neural noise suppressor
    std::vector<int16_t> far(kFrame), mic(kFrame), out(kFrame);
    double micPower = 0.0, outPower = 0.0;
    for (int frame = 0; frame < 150; ++frame) {
      for (int i = 0; i < kFrame; ++i) {
        const double t = (frame * kFrame + i) / 48000.0;
        far[i] = static_cast<int16_t>(8000.0 * std::sin(2.0 * M_PI * 440.0 * t) *
                                      (0.6 + 0.4 * std::sin(2.0 * M_PI * 3.0 * t)));
        mic[i] = static_cast<int16_t>(far[i] / 4);
      }
      engine.Process(mic.data(), far.data(), out.data(), false, 1, 1);
      for (int i = 0; frame >= 100 && i < kFrame; ++i) {
        micPower += double(mic[i]) * mic[i];
        outPower += double(out[i]) * out[i];
      }
    }
    const double fullScale = 50.0 * kFrame * 32768.0 * 32768.0;
    std::printf("denoise mode %d: echo %.1f dBFS, after processing %.1f dBFS (%zu bytes of log)\n",
                denoise, 10 * std::log10(micPower / fullScale + 1e-12),
                10 * std::log10(outPower / fullScale + 1e-12), log.size());
    if (!(outPower < micPower / 10) || log.empty()) ++failures;
  }
  return failures == 0 ? 0 : 1;
}
