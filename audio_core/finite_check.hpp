// One walk over every floating-point value an engine carries from frame to frame: spectra,
// filter-bank memories, echo filters, level and noise trackers, detectors, gains and the neural
// suppressor's state. Debug builds run it after every processed frame; tests call it directly.
#pragma once

namespace orvo {

struct EngineState;

// Name of the first record that holds a NaN or an infinity, or null when every value is
// finite (also when there is no engine record). Allocates nothing.
const char* AudioCore_FirstNonFinite(const EngineState& engine);

}  // namespace orvo
