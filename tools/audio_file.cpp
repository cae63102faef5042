// Reading and writing the command-line program's audio files.
#include "tools/audio_file.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <system_error>
#include <type_traits>

#ifdef ORVO_HAVE_SNDFILE
#include <sndfile.h>
#include <soxr.h>
#endif

namespace orvo::cli {

namespace fs = std::filesystem;

namespace {

std::string Quoted(const std::string& path) {
  return "'" + path + "'";
}

std::string Lower(std::string s) {
  for (char& c : s)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string Seconds(double s) {
  char text[32];
  std::snprintf(text, sizeof text, "%.0f", s);
  return text;
}

std::optional<Audio> ReadRaw(const std::string& path, std::string& error, const NoteSink& note) {
  std::error_code ec;
  const uintmax_t size = fs::file_size(path, ec);
  if (ec) {
    error = "cannot read " + Quoted(path) + ": " + ec.message();
    return std::nullopt;
  }
  if (static_cast<double>(size / 2) / kNativeRate > kMaxSeconds) {
    error = Quoted(path) + " is longer than " + Seconds(kMaxSeconds / 60) +
            " minutes of 48 kHz 16-bit audio; split it into shorter files";
    return std::nullopt;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot open " + Quoted(path) + ": " + std::strerror(errno);
    return std::nullopt;
  }
  Audio audio;
  audio.channels.emplace_back(static_cast<size_t>(size / 2));
  in.read(reinterpret_cast<char*>(audio.channels[0].data()),
          static_cast<std::streamsize>(audio.channels[0].size() * 2));
  if (static_cast<uintmax_t>(in.gcount()) != (size / 2) * 2) {
    error = "cannot read " + Quoted(path) + ": the file ended early";
    return std::nullopt;
  }
  if (size % 2 != 0)
    note(Quoted(path) + " ends in an odd byte (raw PCM is 16-bit); that byte is dropped");
  if (audio.channels[0].empty()) {
    error = Quoted(path) + " holds no audio (zero length)";
    return std::nullopt;
  }
  return audio;
}

bool WriteRaw(const std::string& path, const std::vector<int16_t>& samples, std::string& error) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) {
    error = "cannot create " + Quoted(path) + ": " + std::strerror(errno);
    return false;
  }
  out.write(reinterpret_cast<const char*>(samples.data()),
            static_cast<std::streamsize>(samples.size() * 2));
  out.close();
  if (!out) {
    error = "cannot write " + Quoted(path) + " completely; " + RemovePartialOutput(path);
    return false;
  }
  return true;
}

#ifdef ORVO_HAVE_SNDFILE

int16_t ToSample(float v) {
  const float s = std::round(v * 32768.0f);
  return static_cast<int16_t>(std::clamp(s, -32768.0f, 32767.0f));
}

struct SndCloser {
  void operator()(SNDFILE* f) const { sf_close(f); }
};
using SndFile = std::unique_ptr<SNDFILE, SndCloser>;

struct SoxrDeleter {
  void operator()(soxr_t s) const { soxr_delete(s); }
};

// Streaming resampler over interleaved float frames.
class Resampler {
 public:
  Resampler(int channels, int fromRate, int toRate) : channels_(channels) {
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    soxr_error_t err = nullptr;
    soxr_.reset(soxr_create(fromRate, toRate, static_cast<unsigned>(channels), &err, &io, &quality,
                            nullptr));
    if (err != nullptr) soxr_.reset();
    ratio_ = static_cast<double>(toRate) / fromRate;
  }
  bool Ok() const { return soxr_ != nullptr; }

  // Feeds `frames` frames (none at the end, which drains the resampler) and appends the
  // resampled frames to `out`.
  void Process(const float* in, size_t frames, std::vector<float>& out) {
    const size_t room = static_cast<size_t>(static_cast<double>(frames) * ratio_) + 256;
    buffer_.resize(room * static_cast<size_t>(channels_));
    for (;;) {
      size_t used = 0, made = 0;
      soxr_process(soxr_.get(), frames ? in : nullptr, frames, &used, buffer_.data(), room, &made);
      out.insert(out.end(), buffer_.begin(),
                 buffer_.begin() + static_cast<std::ptrdiff_t>(made * channels_));
      in += used * static_cast<size_t>(channels_);
      frames -= used;
      // Feeding ends when all input is taken; draining when nothing more comes out.
      if (frames == 0 && (in != nullptr || made == 0)) break;
    }
  }

 private:
  int channels_;
  double ratio_ = 1.0;
  std::unique_ptr<std::remove_pointer_t<soxr_t>, SoxrDeleter> soxr_;
  std::vector<float> buffer_;
};

std::string SampleFormatName(int format) {
  SF_FORMAT_INFO info{};
  info.format = format & SF_FORMAT_SUBMASK;
  if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof info) == 0 && info.name != nullptr)
    return info.name;
  return "non-16-bit samples";
}

// The container for an output path, by extension; 0 when unknown.
int ContainerForPath(const std::string& path) {
  const std::string ext = Lower(fs::path(path).extension().string());
  if (ext == ".wav") return SF_FORMAT_WAV;
  if (ext == ".w64") return SF_FORMAT_W64;
  if (ext == ".flac") return SF_FORMAT_FLAC;
  if (ext == ".ogg" || ext == ".oga") return SF_FORMAT_OGG;
  if (ext == ".aif" || ext == ".aiff") return SF_FORMAT_AIFF;
  if (ext == ".au" || ext == ".snd") return SF_FORMAT_AU;
  if (ext == ".caf") return SF_FORMAT_CAF;
  return 0;
}

std::optional<Audio> ReadSoundFile(const std::string& path, std::string& error,
                                   const NoteSink& note) {
  SF_INFO info{};
  SndFile file(sf_open(path.c_str(), SFM_READ, &info));
  if (!file) {
    error = Quoted(path) + " is not an audio file that can be read (" + sf_strerror(nullptr) + ")";
    return std::nullopt;
  }
  if (info.frames <= 0 || info.channels <= 0) {
    error = Quoted(path) + " holds no audio (zero length)";
    return std::nullopt;
  }
  if (static_cast<double>(info.frames) / info.samplerate > kMaxSeconds) {
    error = Quoted(path) + " is longer than " + Seconds(kMaxSeconds / 60) +
            " minutes; split it into shorter files";
    return std::nullopt;
  }
  if (info.channels > 8) {
    error = Quoted(path) + " has " + std::to_string(info.channels) +
            " channels; at most two microphones are supported";
    return std::nullopt;
  }
  Audio audio;
  audio.format.raw = false;
  audio.format.rate = info.samplerate;
  audio.format.sndFormat = info.format;
  const int ch = info.channels;
  if ((info.format & SF_FORMAT_SUBMASK) != SF_FORMAT_PCM_16)
    note(Quoted(path) + ": " + SampleFormatName(info.format) + " converted to 16-bit PCM");
  std::optional<Resampler> resampler;
  if (info.samplerate != kNativeRate) {
    resampler.emplace(ch, info.samplerate, kNativeRate);
    if (!resampler->Ok()) {
      error =
          "cannot resample " + Quoted(path) + " from " + std::to_string(info.samplerate) + " Hz";
      return std::nullopt;
    }
    note(Quoted(path) + ": " + std::to_string(info.samplerate) +
         " Hz resampled to 48000 Hz for processing");
  }
  const size_t expected = static_cast<size_t>(
      std::llround(static_cast<double>(info.frames) * kNativeRate / info.samplerate));
  audio.channels.assign(static_cast<size_t>(ch), {});
  for (auto& c : audio.channels)
    c.reserve(expected);
  auto append = [&](const float* x, size_t frames) {
    for (size_t i = 0; i < frames; ++i)
      for (int k = 0; k < ch; ++k)
        audio.channels[static_cast<size_t>(k)].push_back(ToSample(x[i * ch + k]));
  };
  constexpr sf_count_t kChunk = 8192;
  std::vector<float> chunk(static_cast<size_t>(kChunk * ch)), resampled;
  sf_count_t total = 0;
  for (;;) {
    const sf_count_t got = sf_readf_float(file.get(), chunk.data(), kChunk);
    if (got <= 0) break;
    total += got;
    if (resampler) {
      resampled.clear();
      resampler->Process(chunk.data(), static_cast<size_t>(got), resampled);
      append(resampled.data(), resampled.size() / static_cast<size_t>(ch));
    } else {
      append(chunk.data(), static_cast<size_t>(got));
    }
  }
  if (total < info.frames) {
    error = "cannot read " + Quoted(path) + " to its end (" + sf_strerror(file.get()) + ")";
    return std::nullopt;
  }
  if (resampler) {
    resampled.clear();
    resampler->Process(nullptr, 0, resampled);
    append(resampled.data(), resampled.size() / static_cast<size_t>(ch));
  }
  for (auto& c : audio.channels)
    c.resize(expected, 0);
  return audio;
}

bool WriteSoundFile(const std::string& path, const std::vector<int16_t>& samples,
                    const AudioFormat& like, std::string& error, const NoteSink& note) {
  SF_INFO info{};
  info.channels = 1;
  info.samplerate = like.raw ? kNativeRate : like.rate;
  const int container = ContainerForPath(path);
  info.format = container | (like.raw ? SF_FORMAT_PCM_16 : (like.sndFormat & SF_FORMAT_SUBMASK));
  if (!sf_format_check(&info)) {
    info.format = container | (container == SF_FORMAT_OGG ? SF_FORMAT_VORBIS : SF_FORMAT_PCM_16);
  }
  std::vector<float> x(samples.size());
  for (size_t i = 0; i < samples.size(); ++i)
    x[i] = static_cast<float>(samples[i]) / 32768.0f;
  if (info.samplerate != kNativeRate) {
    x = Resample(x, 1, kNativeRate, info.samplerate);
    note(Quoted(path) + ": output resampled back to " + std::to_string(info.samplerate) + " Hz");
  }
  SndFile file(sf_open(path.c_str(), SFM_WRITE, &info));
  if (!file) {
    error = "cannot create " + Quoted(path) + ": " + sf_strerror(nullptr);
    return false;
  }
  sf_command(file.get(), SFC_SET_CLIPPING, nullptr, SF_TRUE);
  const sf_count_t written =
      sf_writef_float(file.get(), x.data(), static_cast<sf_count_t>(x.size()));
  const bool ok = written == static_cast<sf_count_t>(x.size());
  const std::string why = sf_strerror(file.get());
  if (sf_close(file.release()) != 0 || !ok) {
    error =
        "cannot write " + Quoted(path) + " completely (" + why + "); " + RemovePartialOutput(path);
    return false;
  }
  return true;
}

#endif  // ORVO_HAVE_SNDFILE

}  // namespace

std::string RemovePartialOutput(const std::string& path) {
  std::error_code ec;
  if (fs::is_regular_file(path, ec) && fs::remove(path, ec)) return "the partial file was removed";
  return "nothing was removed";
}

bool HasAudioFileSupport() {
#ifdef ORVO_HAVE_SNDFILE
  return true;
#else
  return false;
#endif
}

bool IsRawPath(const std::string& path) {
  if (!HasAudioFileSupport()) return true;
  const std::string ext = Lower(fs::path(path).extension().string());
  return ext == ".pcm" || ext == ".raw";
}

bool CheckInputFile(const std::string& path, std::string& error) {
  std::error_code ec;
  const fs::file_status st = fs::status(path, ec);
  if (ec || !fs::exists(st)) {
    error = "cannot open " + Quoted(path) + ": " +
            (ec ? ec.message() : std::string("No such file or directory"));
    return false;
  }
  if (fs::is_directory(st)) {
    error = Quoted(path) + " is a directory, not an audio file";
    return false;
  }
  if (!fs::is_regular_file(st)) {
    error = Quoted(path) + " is not a regular file (a device or pipe cannot be read as audio)";
    return false;
  }
  return true;
}

std::optional<Audio> ReadAudio(const std::string& path, bool raw, std::string& error,
                               const NoteSink& note) {
  if (!CheckInputFile(path, error)) return std::nullopt;
  std::error_code ec;
  if (fs::file_size(path, ec) == 0 && !ec) {
    error = Quoted(path) + " holds no audio (zero length)";
    return std::nullopt;
  }
  if (raw || IsRawPath(path)) return ReadRaw(path, error, note);
#ifdef ORVO_HAVE_SNDFILE
  return ReadSoundFile(path, error, note);
#else
  return ReadRaw(path, error, note);
#endif
}

bool CheckOutputWritable(const std::string& path, bool raw, std::string& error) {
  std::error_code ec;
  const fs::file_status st = fs::status(path, ec);
  if (fs::is_directory(st)) {
    error = "cannot write " + Quoted(path) + ": it is a directory";
    return false;
  }
#ifdef ORVO_HAVE_SNDFILE
  if (!raw && !IsRawPath(path) && ContainerForPath(path) == 0) {
    error = "cannot tell the format of " + Quoted(path) +
            " from its extension (use .wav, .flac, .ogg, .aiff, .au, .caf, .w64, or .pcm/.raw)";
    return false;
  }
#else
  (void)raw;
#endif
  const bool existed = fs::exists(st);
  // Opening for appending creates a missing file without truncating an existing one.
  std::FILE* f = std::fopen(path.c_str(), "ab");
  if (f == nullptr) {
    error = "cannot write " + Quoted(path) + ": " + std::strerror(errno);
    return false;
  }
  std::fclose(f);
  if (!existed) fs::remove(path, ec);
  return true;
}

bool WriteAudio(const std::string& path, const std::vector<int16_t>& samples, bool raw,
                const AudioFormat& like, std::string& error, const NoteSink& note) {
  if (raw || IsRawPath(path)) return WriteRaw(path, samples, error);
#ifdef ORVO_HAVE_SNDFILE
  return WriteSoundFile(path, samples, like, error, note);
#else
  (void)like;
  (void)note;
  return WriteRaw(path, samples, error);
#endif
}

std::vector<float> Resample(const std::vector<float>& in, int channels, int fromRate, int toRate) {
#ifdef ORVO_HAVE_SNDFILE
  if (fromRate == toRate) return in;
  Resampler r(channels, fromRate, toRate);
  std::vector<float> out;
  if (!r.Ok()) return out;
  const size_t frames = in.size() / static_cast<size_t>(channels);
  r.Process(in.data(), frames, out);
  r.Process(nullptr, 0, out);
  const size_t expected =
      static_cast<size_t>(std::llround(static_cast<double>(frames) * toRate / fromRate));
  out.resize(expected * static_cast<size_t>(channels), 0.0f);
  return out;
#else
  (void)channels;
  (void)fromRate;
  (void)toRate;
  return fromRate == toRate ? in : std::vector<float>{};
#endif
}

}  // namespace orvo::cli
