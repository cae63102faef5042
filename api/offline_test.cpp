// The offline file run behind startTest: raw 16-bit PCM files in the current directory go
// through the frame entry block by block, as two-channel frames.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <system_error>

#include "api/exported_engine.hpp"
#include "audio_core/audio_core.hpp"
#include "audio_core/engine_record.hpp"
#include "audio_core/engine_state.hpp"

namespace orvo {

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

std::string LastError() {
  return std::error_code(errno, std::generic_category()).message();
}

// Reads one block from a side input. Past the end of a shorter file the block is silence, so
// the run keeps going with zeros rather than with stale samples of an earlier block.
void ReadSideBlock(std::FILE* file, int16_t* block) {
  const size_t got = std::fread(block, sizeof(int16_t), kFrameSize, file);
  for (size_t i = got; i < static_cast<size_t>(kFrameSize); ++i)
    block[i] = 0;
}

}  // namespace

int RunOfflineTest(EngineState& engine) {
  AudioCore_Create(engine);
  LoadConfigFromDocuments(engine);

  // All three inputs must exist; without them nothing is processed and Out.pcm is not touched.
  static const char* const kInputs[3] = {"MicData.pcm", "MicData2.pcm", "RefData.pcm"};
  File inputs[3];
  bool missing = false;
  for (int k = 0; k < 3; ++k) {
    inputs[k].reset(std::fopen(kInputs[k], "rb"));
    if (!inputs[k]) {
      engine.log.Printf("startTest: cannot open %s (%s); offline test not run\n", kInputs[k],
                        LastError().c_str());
      missing = true;
    }
  }
  if (missing) return 0;
  std::FILE* const mic = inputs[0].get();
  std::FILE* const mic2 = inputs[1].get();
  std::FILE* const ref = inputs[2].get();

  File out(std::fopen("Out.pcm", "wb"));
  if (!out) {
    engine.log.Printf("startTest: cannot create Out.pcm (%s); offline test not run\n",
                      LastError().c_str());
    return 0;
  }

  int16_t channel0[kFrameSize] = {};
  int16_t channel1[kFrameSize] = {};
  int16_t reference[kFrameSize] = {};
  int16_t output[kFrameSize] = {};
  int16_t interleaved[2 * kFrameSize] = {};

  // The run ends at the first block of MicData.pcm that is not complete.
  while (std::fread(channel0, sizeof(int16_t), kFrameSize, mic) ==
         static_cast<size_t>(kFrameSize)) {
    ReadSideBlock(ref, reference);
    ReadSideBlock(mic2, channel1);
    for (int i = 0; i < kFrameSize; ++i) {
      interleaved[2 * i] = channel0[i];
      interleaved[2 * i + 1] = channel1[i];
    }
    // As ORVOAEC_Process with a set frame flag, mode 3 and duckerHold 99.
    OmbrixAudioCore_FrameProcess(engine, interleaved, reference, 2, 2 * kFrameSize, output, 8, 4, 3,
                                 99);
    if (std::fwrite(output, sizeof(int16_t), kFrameSize, out.get()) !=
        static_cast<size_t>(kFrameSize)) {
      engine.log.Printf("startTest: cannot write Out.pcm (%s); offline test stopped\n",
                        LastError().c_str());
      break;
    }
  }
  return 0;
}

}  // namespace orvo
