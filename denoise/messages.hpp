// The texts the neural noise suppressor prints. The texts are the system's own and stay exactly
// as they are.
#pragma once

namespace orvo::msg {

// A scratch allocation failed: the operation's name (%s) and its number (%d).
inline constexpr const char kDenoiseMallocFailed[] = "[%s %d] malloc failed\n";

}  // namespace orvo::msg
