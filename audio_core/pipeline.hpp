// Steps of the per-frame pipeline that carry state from frame to frame, exposed for tests.
#pragma once

#include "audio_core/engine_record.hpp"
#include "audio_core/engine_state.hpp"

namespace orvo {

// Live-music mode follows the tuning switch, re-initialising the far-end tracker once per change.
void Pipeline_UpdateLiveMusic(AudioCore& core, PipelineState& ps);

// Far-end activity from the energy of the filtered (delayed) far-end frame: sets the hangover.
// Returns the frame energy.
float Pipeline_UpdateFarEndActivity(AudioCore& core, PipelineState& ps, const int16_t* farEnd);

// Keeps the previous output microphone as a fallback secondary one for 35 frames, and repairs
// indices that are out of range for this frame's channel count.
void Pipeline_MicrophoneBookkeeping(AudioCore& core, PipelineState& ps, int numberOfMics);

// Picks the secondary microphone for the echo filter's list.
void Pipeline_ChooseSecondary(AudioCore& core, PipelineState& ps, int numberOfMics);

// The reference delay follows the estimate within a band of two frames.
int Pipeline_TrackDelay(int refDelayFrames, int estimate);

}  // namespace orvo
