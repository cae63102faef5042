// Writes a two-microphone conference scene as the offline test's raw PCM files, for comparing
// the outputs of different builds on the same input:
//   scene_files DIR [SECONDS]  ->  DIR/MicData.pcm, DIR/MicData2.pcm, DIR/RefData.pcm
// The far end talks through a room into both microphones (two different echo paths); a
// near-end talker sits close to microphone 1 in the second quarter, talks over the far end in
// the third and moves to microphone 0 in the last; both microphones carry their own room noise.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/scenes.hpp"

namespace {

bool Write(const std::string& path, const std::vector<int16_t>& pcm) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(pcm.data(), sizeof(int16_t), pcm.size(), f) == pcm.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: scene_files DIR [SECONDS]\n");
    return 2;
  }
  const std::string dir = argv[1];
  const long seconds = argc == 3 ? std::strtol(argv[2], nullptr, 10) : 30;
  if (seconds < 4 || seconds > 600) {
    std::fprintf(stderr, "scene_files: SECONDS must be 4 to 600\n");
    return 2;
  }
  namespace sc = orvo::scene;
  const size_t n = static_cast<size_t>(seconds) * sc::kRate, quarter = n / 4;

  std::vector<float> far = sc::SpeechLike(n, 9000.0f, 101);
  for (size_t i = quarter; i < 2 * quarter; ++i)
    far[i] = 0.0f;
  std::vector<float> talker = sc::SpeechLike(n, 7000.0f, 202);
  for (size_t i = 0; i < quarter; ++i)
    talker[i] = 0.0f;
  std::vector<float> nearOn0(n, 0.0f), nearOn1(n, 0.0f);
  for (size_t i = quarter; i < n; ++i) {
    const bool atMic1 = i < 3 * quarter;
    (atMic1 ? nearOn1 : nearOn0)[i] = talker[i];
    (atMic1 ? nearOn0 : nearOn1)[i] = 0.3f * talker[i];  // the other microphone hears less
  }
  const std::vector<float> echo0 = sc::Convolve(far, sc::RoomResponse(0.030, 0.15, 0.5f, 5));
  const std::vector<float> echo1 = sc::Convolve(far, sc::RoomResponse(0.032, 0.18, 0.4f, 6));
  const std::vector<int16_t> mic0 =
      sc::ToPcm(sc::Add(sc::Add(echo0, nearOn0), sc::ColouredNoise(n, 40.0f, 7)));
  const std::vector<int16_t> mic1 =
      sc::ToPcm(sc::Add(sc::Add(echo1, nearOn1), sc::ColouredNoise(n, 40.0f, 8)));
  const std::vector<int16_t> ref = sc::ToPcm(far);

  if (!Write(dir + "/MicData.pcm", mic0) || !Write(dir + "/MicData2.pcm", mic1) ||
      !Write(dir + "/RefData.pcm", ref)) {
    std::fprintf(stderr, "scene_files: cannot write the files in %s\n", dir.c_str());
    return 1;
  }
  return 0;
}
