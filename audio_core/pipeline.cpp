// The per-frame pipeline.
#include "audio_core/audio_core.hpp"

namespace orvo {

void AudioCore_ProcessFrame(EngineState& engine, int16_t* outPcm, int /*mask*/, int /*duckerHold*/,
                            const int16_t* /*refPcm*/) {
  AudioCore& core = *engine.hRoomPro;
  ++core.frameCounter;
  const int16_t* selected = engine.proc->channel[0];
  for (int i = 0; i < kFrameSize; ++i)
    outPcm[i] = selected[i];
  core.doubleTalkFlag = 0;
}

}  // namespace orvo
