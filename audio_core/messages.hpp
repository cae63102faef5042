// The texts the engine's processing stages print, kept apart so that the stages read as signal
// processing. Each is a printf format with its own line end where it has one; the texts are the
// system's own and stay exactly as they are (spelling and spacing included).
#pragma once

namespace orvo::msg {

// Pipeline: live-music mode switched by the tuning value.
inline constexpr const char kLiveMusicEnabled[] = "LIVE MUSIC MODE ENABLED\n";
inline constexpr const char kLiveMusicDisabled[] = "LIVE MUSIC MODE DISABLED\n";

// Source-localisation tables: the distance range (feet, %f), the self-check failure, and the end
// of the table build.
inline constexpr const char kSslMaximumRange[] = "Maximum range of distance measuring is %f feet\n";
inline constexpr const char kSslAverageDistance[] = "Average distance is %f feet\n";
inline constexpr const char kSslTableError[] = "ERROR\n";
inline constexpr const char kSslTablesBuilt[] =
    "\n Have found the table of weights for different angles.\n";

}  // namespace orvo::msg
