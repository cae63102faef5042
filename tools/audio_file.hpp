// Audio files for the command-line program: raw 16-bit 48 kHz PCM always, and with libsndfile
// and libsoxr (ORVO_HAVE_SNDFILE) every format libsndfile reads, at any sample rate. Inputs are
// converted to 16-bit at 48 kHz; the output is written back in the shape of the microphone file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace orvo::cli {

constexpr int kNativeRate = 48000;
// Whole files are held in memory; longer inputs are refused rather than exhausting it.
constexpr double kMaxSeconds = 3600.0;

// Receives one-line notes about conversions (written to standard error by the program).
using NoteSink = std::function<void(const std::string&)>;

// The shape of a file before conversion.
struct AudioFormat {
  bool raw = true;
  int rate = kNativeRate;
  int sndFormat = 0;  // libsndfile container | sample format; 0 for raw PCM
};

struct Audio {
  AudioFormat format;
  std::vector<std::vector<int16_t>> channels;  // 16-bit samples at 48 kHz, one vector a channel
  size_t Frames() const { return channels.empty() ? 0 : channels[0].size(); }
};

// True when the program was built with libsndfile and libsoxr.
bool HasAudioFileSupport();

// True for the extensions taken as headerless PCM (.pcm, .raw), or for every path without
// audio-file support.
bool IsRawPath(const std::string& path);

// Checks that `path` names an existing regular file (not a directory, device or pipe).
bool CheckInputFile(const std::string& path, std::string& error);

// Reads a whole input file. `raw` forces headerless PCM. On failure returns nothing and sets
// `error` to one line.
std::optional<Audio> ReadAudio(const std::string& path, bool raw, std::string& error,
                               const NoteSink& note);

// Checks before any processing that `path` can be written in the requested way; leaves no file
// behind that was not there before.
bool CheckOutputWritable(const std::string& path, bool raw, std::string& error);

// Writes 48 kHz 16-bit mono samples: raw PCM when `raw`, else in the container of the path's
// extension with the sample format and rate of `like` (resampled back when needed). A file that
// cannot be written completely is removed, and `error` says so.
bool WriteAudio(const std::string& path, const std::vector<int16_t>& samples, bool raw,
                const AudioFormat& like, std::string& error, const NoteSink& note);

// Removes a partly written output file; anything but a regular file (a device given as the
// output) is left alone. Returns what was done, for the error message.
std::string RemovePartialOutput(const std::string& path);

// Resamples interleaved float audio (full scale 1.0) between two rates. Empty without libsoxr
// (only called when the rates differ, which only audio files can ask for).
std::vector<float> Resample(const std::vector<float>& in, int channels, int fromRate, int toRate);

}  // namespace orvo::cli
