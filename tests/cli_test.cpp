// The command-line program, run as a user runs it: real audio files in and out, one clear line
// and a non-zero exit for every kind of bad input, the statistics file and the demo. Also the
// program's statistics unit and the engine's frame snapshot it relies on.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#ifdef ORVO_HAVE_SNDFILE
#include <sndfile.h>
#endif

#include "orvoaec/engine.hpp"
#include "tests/support/scenes.hpp"
#include "tools/frame_runner.hpp"
#include "tools/run_stats.hpp"

namespace {

namespace fs = std::filesystem;
namespace sc = orvo::scene;

struct Result {
  int status;
  std::string out, err;
  int ErrLines() const { return static_cast<int>(std::count(err.begin(), err.end(), '\n')); }
};

std::string Slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A fresh scratch folder per test, removed afterwards.
class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("orvo_cli_" + std::to_string(getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string P(const std::string& name) const { return (dir_ / name).string(); }

  // Runs the program with the given arguments from the scratch folder.
  Result Run(const std::string& args) const {
    const std::string command = "cd '" + dir_.string() + "' && " + ORVO_TEST_CLI_PATH + " " + args +
                                " >'" + P(".stdout") + "' 2>'" + P(".stderr") + "'";
    const int raw = std::system(command.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, Slurp(P(".stdout")), Slurp(P(".stderr"))};
  }

  // A bad input: non-zero exit, exactly one line on standard error (so the engine, which logs
  // its creation there, never started) containing `expect`, and no output file.
  void ExpectRejected(const std::string& args, const std::string& expect,
                      const std::string& out = "out.wav") const {
    SCOPED_TRACE(args);
    const Result r = Run(args);
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(r.ErrLines(), 1) << r.err;
    EXPECT_NE(r.err.find(expect), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(P(out)));
  }

  fs::path dir_;
};

void WritePcm(const fs::path& path, const std::vector<int16_t>& x, bool oddByte = false) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(x.data()), static_cast<std::streamsize>(x.size() * 2));
  if (oddByte) f.put('\x7f');
}

std::vector<int16_t> Speech(size_t n, uint32_t seed, float level = 8000.0f) {
  return sc::ToPcm(sc::Add(sc::SpeechLike(n, level, seed), sc::WhiteNoise(n, 20.0f, seed + 1)));
}

TEST_F(CliTest, HelpAndBadCommandLines) {
  EXPECT_EQ(Run("--help").status, 0);
  EXPECT_EQ(Run("process --help").status, 0);
  const Result none = Run("");
  EXPECT_NE(none.status, 0);
  EXPECT_FALSE(none.err.empty());
  WritePcm(P("a.pcm"), Speech(9600, 1));
  const std::string files = " --mic a.pcm --ref a.pcm --out out.pcm";
  ExpectRejected("frobnicate", "unknown command 'frobnicate'", "out.pcm");
  ExpectRejected("process --mic", "--mic", "out.pcm");
  ExpectRejected("process --mic a.pcm --ref a.pcm", "--out", "out.pcm");
  ExpectRejected("process --bogus 1" + files, "bogus", "out.pcm");
  // Values out of range or of the wrong kind are refused, not passed on to the engine.
  ExpectRejected("process --denoise two" + files, "--denoise", "out.pcm");
  ExpectRejected("process --denoise -7" + files, "--denoise", "out.pcm");
  ExpectRejected("process --denoise 5" + files, "--denoise", "out.pcm");
  ExpectRejected("process --denoise=-1" + files, "--denoise", "out.pcm");
  // The edges of the range are accepted.
  EXPECT_EQ(Run("process --quiet --denoise 0" + files).status, 0);
  EXPECT_EQ(Run("process --quiet --denoise 4" + files).status, 0);
}

TEST_F(CliTest, InputsThatAreNotAudio) {
  WritePcm(P("ref.pcm"), Speech(9600, 2));
  fs::create_directories(P("folder.wav"));
  std::ofstream(P("text.wav")) << "this is not a RIFF file\n";
  std::ofstream(P("empty.pcm"));
  std::ofstream(P("empty.wav"));
  const std::string rest = " --ref ref.pcm --out out.wav";
  ExpectRejected("process --mic folder.wav" + rest, "is a directory");
  ExpectRejected("process --mic " + P("folder.wav") + "/" + rest, "is a directory");
  ExpectRejected("process --mic /dev/zero" + rest, "not a regular file");
  ExpectRejected("process --mic missing.wav" + rest, "missing.wav");
  ExpectRejected("process --mic empty.pcm" + rest, "zero length");
  ExpectRejected("process --mic empty.wav" + rest, "zero length");
  ExpectRejected("process --mic ref.pcm --ref /dev/zero --out out.wav", "not a regular file");
  ExpectRejected("process --mic ref.pcm --mic2 . --ref ref.pcm --out out.wav", "is a directory");
  ExpectRejected("process --mic ref.pcm --ref ref.pcm --out out.wav --config missing.yml",
                 "missing.yml");
  ExpectRejected("process --mic ref.pcm --ref ref.pcm --out out.wav --config /dev/null",
                 "not a regular file");
#ifdef ORVO_HAVE_SNDFILE
  ExpectRejected("process --mic text.wav" + rest, "not an audio file");
  // A well-formed WAV header with no samples behind it.
  SF_INFO info{0, 48000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 0, 0};
  sf_close(sf_open(P("header_only.wav").c_str(), SFM_WRITE, &info));
  ExpectRejected("process --mic header_only.wav" + rest, "zero length");
#endif
}

TEST_F(CliTest, OutputIsCheckedBeforeProcessing) {
  WritePcm(P("mic.pcm"), Speech(48000 * 2, 3));
  const std::string in = "process --mic mic.pcm --ref mic.pcm";
  ExpectRejected(in + " --out no/such/folder/out.pcm", "cannot write", "no");
  fs::create_directories(P("outdir"));
  ExpectRejected(in + " --out outdir", "is a directory", "outdir/x");
  ExpectRejected(in + " --out mic.pcm", "overwrite an input", "x");
  ExpectRejected(in + " --out out.pcm --stats no/such/folder/s.json", "s.json", "out.pcm");
  ExpectRejected(in + " --out out.pcm --stats ./out.pcm", "same file", "out.pcm");
#ifdef ORVO_HAVE_SNDFILE
  ExpectRejected(in + " --out out.mp9", "from its extension", "out.mp9");
#endif
  // A device that refuses the data: the failure is reported, and the device is not removed.
  if (fs::exists("/dev/full")) {
    const Result r = Run(in + " --raw --quiet --out /dev/full");
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("cannot write '/dev/full'"), std::string::npos) << r.err;
    EXPECT_TRUE(fs::is_character_file("/dev/full"));
  }
}

TEST_F(CliTest, OddTrailingByteIsDroppedWithANote) {
  WritePcm(P("mic.pcm"), Speech(960 * 4 + 10, 4), /*oddByte=*/true);
  WritePcm(P("ref.pcm"), Speech(960 * 4 + 10, 5));
  const Result r = Run("process --mic mic.pcm --ref ref.pcm --out out.pcm");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("'mic.pcm' ends in an odd byte"), std::string::npos) << r.err;
  EXPECT_EQ(fs::file_size(P("out.pcm")), (960u * 4 + 10) * 2);
}

TEST_F(CliTest, RawFilesOfDifferentLengthsArePaddedToTheLongest) {
  WritePcm(P("mic.pcm"), Speech(960 * 5 + 123, 6));  // a partial last frame
  WritePcm(P("mic2.pcm"), Speech(960 * 2, 7));
  WritePcm(P("ref.pcm"), Speech(960 * 3, 8));
  Result r = Run("process --mic mic.pcm --ref ref.pcm --out out.pcm");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(fs::file_size(P("out.pcm")), (960u * 5 + 123) * 2);
  // The padding is said once, naming the lengths.
  size_t notes = 0;
  for (size_t at = r.err.find("padded"); at != std::string::npos; at = r.err.find("padded", at + 1))
    ++notes;
  EXPECT_EQ(notes, 1u) << r.err;
  EXPECT_NE(r.err.find("reference 0.06 s"), std::string::npos) << r.err;

  // A longer reference makes the run (and the output) longer.
  WritePcm(P("ref.pcm"), Speech(960 * 7, 8));
  r = Run("process --mic mic.pcm --mic2 mic2.pcm --ref ref.pcm --out out.pcm");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(fs::file_size(P("out.pcm")), 960u * 7 * 2);

  // Identical lengths: no note.
  WritePcm(P("ref.pcm"), Speech(960 * 5 + 123, 8));
  r = Run("process --mic mic.pcm --ref ref.pcm --out out.pcm");
  EXPECT_EQ(r.err.find("padded"), std::string::npos) << r.err;
}

TEST_F(CliTest, StartTestNeedsItsInputFiles) {
  ExpectRejected("starttest", "MicData.pcm, MicData2.pcm, RefData.pcm", "Out.pcm");
  WritePcm(P("MicData.pcm"), Speech(960 * 3, 9));
  WritePcm(P("RefData.pcm"), Speech(960 * 3, 10));
  ExpectRejected("starttest", "not usable: MicData2.pcm", "Out.pcm");
  ExpectRejected("starttest --dir nowhere", "not a directory", "Out.pcm");
  WritePcm(P("MicData2.pcm"), Speech(960 * 3, 11));
  const Result r = Run("starttest --dir " + dir_.string());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(fs::file_size(P("Out.pcm")), 960u * 3 * 2);
}

TEST_F(CliTest, ConfigFileIsApplied) {
  WritePcm(P("mic.pcm"), Speech(9600, 12));
  std::ofstream(P("tuning.yml")) << "reverberation: 30\ndouble_talk_threshold: 64\n";
  const Result r = Run("process --mic mic.pcm --ref mic.pcm --out out.pcm --config tuning.yml");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("AudioCore set hangover time 30\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("AudioCore set double talk threashold 64\n"), std::string::npos) << r.err;
}

#ifdef ORVO_HAVE_SNDFILE

struct Wav {
  SF_INFO info{};
  std::vector<short> samples;  // interleaved
};

void WriteWav(const fs::path& path, int rate, int format, const std::vector<short>& interleaved,
              int channels) {
  SF_INFO info{0, rate, channels, format, 0, 0};
  SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
  sf_writef_short(f, interleaved.data(), static_cast<sf_count_t>(interleaved.size() / channels));
  sf_close(f);
}

Wav ReadWav(const fs::path& path) {
  Wav w;
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &w.info);
  if (f == nullptr) return w;
  w.samples.resize(static_cast<size_t>(w.info.frames * w.info.channels));
  sf_readf_short(f, w.samples.data(), w.info.frames);
  sf_close(f);
  return w;
}

// Largest normalised cross-correlation of y against x over lags 0..maxLag (y delayed).
double BestCorrelation(const std::vector<double>& x, const std::vector<double>& y, int maxLag) {
  double best = 0.0;
  for (int lag = 0; lag <= maxLag; ++lag) {
    double xy = 0.0, xx = 1e-9, yy = 1e-9;
    for (size_t i = 0; i + static_cast<size_t>(lag) < y.size() && i < x.size(); ++i) {
      const double a = x[i], b = y[i + static_cast<size_t>(lag)];
      xy += a * b;
      xx += a * a;
      yy += b * b;
    }
    best = std::max(best, xy / std::sqrt(xx * yy));
  }
  return best;
}

TEST_F(CliTest, RoundTripsA441kHzStereoMicrophoneWav) {
  constexpr int kRate = 44100;
  constexpr size_t kFrames = kRate * 7 + 333;  // 7.0076 s, not a whole number of blocks
  // Near-end talk only (the reference is silent), on two microphones at different levels.
  const std::vector<int16_t> talk = Speech(kFrames, 13);
  std::vector<short> mic(2 * kFrames);
  for (size_t i = 0; i < kFrames; ++i) {
    mic[2 * i] = talk[i];
    mic[2 * i + 1] = static_cast<short>(talk[i] / 2);
  }
  WriteWav(P("mic.wav"), kRate, SF_FORMAT_WAV | SF_FORMAT_PCM_16, mic, 2);
  WriteWav(P("ref.wav"), kRate, SF_FORMAT_WAV | SF_FORMAT_PCM_16, std::vector<short>(kFrames, 0),
           1);
  const Result r =
      Run("process --mic mic.wav --ref ref.wav --out out.wav --stats stats.json --quiet");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("'mic.wav': 44100 Hz resampled to 48000 Hz"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("output resampled back to 44100 Hz"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("two microphones"), std::string::npos) << r.out;

  // Same rate, length and sample format as the microphone file, one channel.
  const Wav out = ReadWav(P("out.wav"));
  EXPECT_EQ(out.info.samplerate, kRate);
  EXPECT_EQ(out.info.channels, 1);
  EXPECT_EQ(out.info.frames, static_cast<sf_count_t>(kFrames));
  EXPECT_EQ(out.info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);

  // The talk comes through at its own pitch and time scale: after the first second the output
  // follows the microphone closely, behind it by the engine's latency of about 70 ms (a wrong
  // rate anywhere would smear the correlation away).
  std::vector<double> x, y;
  for (size_t i = kRate; i < kFrames - kRate / 2; ++i) {
    x.push_back(talk[i]);
    y.push_back(out.samples[i]);
  }
  EXPECT_GT(BestCorrelation(x, y, 4096), 0.9);

  // Statistics: one entry per started second, figures within their ranges.
  const nlohmann::json stats = nlohmann::json::parse(Slurp(P("stats.json")));
  const double seconds = static_cast<double>(kFrames) / kRate;
  const size_t blocks = (static_cast<size_t>(std::llround(seconds * 48000)) + 959) / 960;
  EXPECT_EQ(stats["frames"].get<size_t>(), blocks);
  EXPECT_EQ(stats["per_second"].size(), static_cast<size_t>(std::ceil(blocks / 50.0)));
  EXPECT_NEAR(stats["audio_seconds"].get<double>(), seconds, 0.001);
  EXPECT_GT(stats["real_time_factor"].get<double>(), 0.0);
  EXPECT_LT(stats["real_time_factor"].get<double>(), 1.0);
  for (const auto& s : stats["per_second"]) {
    EXPECT_GE(s["double_talk_share"].get<double>(), 0.0);
    EXPECT_LE(s["double_talk_share"].get<double>(), 1.0);
    EXPECT_TRUE(s["selected_mic"] == 0 || s["selected_mic"] == 1);
    EXPECT_GE(s["delay_ms"].get<double>(), 0.0);
    EXPECT_GT(s["agc_gain"].get<double>(), 0.0);
  }
  // Talk is present throughout, so after the first second every output level is set and sane.
  for (size_t k = 1; k < stats["per_second"].size(); ++k) {
    ASSERT_FALSE(stats["per_second"][k]["output_dbfs"].is_null()) << k;
    EXPECT_LT(stats["per_second"][k]["output_dbfs"].get<double>(), 0.0);
    EXPECT_GT(stats["per_second"][k]["output_dbfs"].get<double>(), -60.0);
  }
}

TEST_F(CliTest, OtherSampleFormatsAndChannelCounts) {
  const std::vector<int16_t> talk = Speech(48000, 14);
  std::vector<short> mono(talk.begin(), talk.end()), stereo(2 * talk.size()), three;
  for (size_t i = 0; i < talk.size(); ++i) {
    stereo[2 * i] = stereo[2 * i + 1] = talk[i];
    for (int k = 0; k < 3; ++k)
      three.push_back(talk[i]);
  }
  WriteWav(P("mic24.wav"), 48000, SF_FORMAT_WAV | SF_FORMAT_PCM_24, mono, 1);
  WriteWav(P("mono.wav"), 48000, SF_FORMAT_WAV | SF_FORMAT_PCM_16, mono, 1);
  WriteWav(P("stereo.wav"), 48000, SF_FORMAT_WAV | SF_FORMAT_PCM_16, stereo, 2);
  WriteWav(P("three.wav"), 48000, SF_FORMAT_WAV | SF_FORMAT_PCM_16, three, 3);

  // 24-bit input: converted with a note, and the output keeps the 24-bit format.
  Result r = Run("process --mic mic24.wav --ref mono.wav --out out.wav");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("converted to 16-bit PCM"), std::string::npos) << r.err;
  EXPECT_EQ(ReadWav(P("out.wav")).info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_24);
  fs::remove(P("out.wav"));

  ExpectRejected("process --mic three.wav --ref mono.wav --out out.wav", "3 channels");
  ExpectRejected("process --mic stereo.wav --mic2 mono.wav --ref mono.wav --out out.wav",
                 "already stereo");
  ExpectRejected("process --mic mono.wav --mic2 stereo.wav --ref mono.wav --out out.wav",
                 "--mic2 must be mono");
  ExpectRejected("process --mic mono.wav --ref stereo.wav --out out.wav", "reference must be mono");
}

TEST_F(CliTest, DemoWritesRecordingsPictureAndReport) {
  const Result r = Run("demo --dir scene");
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char* name : {"mic.wav", "ref.wav", "out.wav"}) {
    const Wav w = ReadWav(P(std::string("scene/") + name));
    EXPECT_EQ(w.info.samplerate, 48000) << name;
    EXPECT_EQ(w.info.channels, 1) << name;
    EXPECT_EQ(w.info.frames, 24 * 48000) << name;
  }
  const std::string png = Slurp(P("scene/demo.png"));
  ASSERT_GT(png.size(), 10000u);
  EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
  // Only the three recordings and the picture are left behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(P("scene")), fs::directory_iterator()), 4);
  for (const char* line :
       {"far end only", "near end only", "double talk flagged in", "real-time factor"})
    EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
  // The report's echo figure matches the files: the output is far quieter than the microphone
  // once the canceller has converged.
  const Wav mic = ReadWav(P("scene/mic.wav")), out = ReadWav(P("scene/out.wav"));
  EXPECT_GT(sc::Power(mic.samples, 3 * 48000, 9 * 48000),
            10.0 * sc::Power(out.samples, 3 * 48000, 9 * 48000));
}

#endif  // ORVO_HAVE_SNDFILE

TEST_F(CliTest, DemoWithTheBuiltInSpeech) {
  const Result r = Run("demo --dir scene --builtin-speech --no-picture");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("built-in speech-like signal"), std::string::npos) << r.out;
  EXPECT_FALSE(fs::exists(P("scene/demo.png")));
  const std::string ext = r.out.find("out.wav") != std::string::npos ? ".wav" : ".pcm";
  EXPECT_TRUE(fs::exists(P("scene/out" + ext)));
  // A file where the folder should be is reported, not overwritten.
  std::ofstream(P("taken")) << "x";
  ExpectRejected("demo --dir taken --no-picture", "cannot create the folder", "taken/out.wav");
}

// The per-second statistics against hand-made frames.
TEST(RunStats, PerSecondFigures) {
  orvo::cli::RunResult run;
  const size_t frames = 75;  // one and a half seconds
  run.out.assign(frames * 960, 0);
  for (size_t f = 0; f < frames; ++f) {
    orvo::FrameStats s{};
    s.doubleTalk = f < 50 && f % 5 == 0;  // 10 of the first 50 frames
    s.selectedMic = f >= 20 && f < 50 ? 1 : 0;
    s.delayFrames = f < 49 ? 2 : 3;
    s.agcGain = f < 50 ? 2.0f : 1.0f;
    run.frames.push_back(s);
  }
  // A full-scale-halved square wave in the first second, silence in the second.
  for (size_t i = 0; i < 50 * 960; ++i)
    run.out[i] = static_cast<int16_t>(i % 2 ? 16384 : -16384);
  run.processingSeconds = 0.15;
  const orvo::cli::RunSummary s = orvo::cli::Summarise(run);
  ASSERT_EQ(s.seconds.size(), 2u);
  EXPECT_DOUBLE_EQ(s.seconds[0].doubleTalkShare, 0.2);
  EXPECT_EQ(s.seconds[0].selectedMic, 1);  // 30 of 50 frames
  EXPECT_DOUBLE_EQ(s.seconds[0].delayMs, 60.0);
  EXPECT_DOUBLE_EQ(s.seconds[0].agcGain, 2.0);
  ASSERT_TRUE(s.seconds[0].outputDbfs.has_value());
  EXPECT_NEAR(*s.seconds[0].outputDbfs, 20.0 * std::log10(0.5), 1e-9);
  EXPECT_DOUBLE_EQ(s.seconds[1].start, 1.0);
  EXPECT_DOUBLE_EQ(s.seconds[1].duration, 0.5);
  EXPECT_EQ(s.seconds[1].selectedMic, 0);
  EXPECT_DOUBLE_EQ(s.seconds[1].doubleTalkShare, 0.0);
  EXPECT_FALSE(s.seconds[1].outputDbfs.has_value());
  EXPECT_EQ(s.doubleTalkFrames, 10u);
  EXPECT_DOUBLE_EQ(s.audioSeconds, 1.5);
  EXPECT_NEAR(s.realTimeFactor, 0.1, 1e-12);
  const nlohmann::json j = nlohmann::json::parse(orvo::cli::SummaryJson(s, "x"));
  EXPECT_TRUE(j["per_second"][1]["output_dbfs"].is_null());
  EXPECT_EQ(j["double_talk_frames"], 10);
}

// The engine's frame snapshot agrees with its other accessors frame by frame.
TEST(FrameStats, AgreesWithTheEngine) {
  orvo::Engine engine([](std::string_view) {});
  orvo::FrameStats s = engine.LastFrameStats();
  EXPECT_FALSE(s.doubleTalk);
  EXPECT_EQ(s.selectedMic, 0);
  EXPECT_EQ(s.delayFrames, 0);
  EXPECT_FLOAT_EQ(s.agcGain, 1.0f);
  EXPECT_FLOAT_EQ(s.inputGain, engine.MicBias());
  const size_t n = 48000 * 6;
  const std::vector<float> far = sc::SpeechLike(n, 9000.0f, 31);
  const std::vector<int16_t> mic = sc::ToPcm(sc::Add(
      sc::Convolve(far, sc::RoomResponse(0.04, 0.1, 0.5f, 3)), sc::SpeechLike(n, 5000.0f, 37)));
  const std::vector<int16_t> ref = sc::ToPcm(far);
  const orvo::cli::RunResult run = orvo::cli::RunFrames(engine, mic, nullptr, ref, n);
  ASSERT_EQ(run.frames.size(), n / 960);
  int doubleTalk = 0;
  for (const orvo::FrameStats& f : run.frames) {
    EXPECT_EQ(f.doubleTalk, f.talkState == 3);
    EXPECT_GE(f.delayFrames, 0);
    doubleTalk += f.doubleTalk;
  }
  EXPECT_GT(doubleTalk, 0);  // both ends talk throughout, so some frames are flagged
  s = engine.LastFrameStats();
  EXPECT_EQ(s.doubleTalk, engine.IsDoubleTalk());
  EXPECT_EQ(s.selectedMic, engine.ChoiceSelection());
  EXPECT_FLOAT_EQ(s.inputGain, engine.MicBias());
}

}  // namespace
