// ORVOAEC C++ interface: independent engines for hosts that want more than the C exports.
//
// Each Engine is complete in itself: several may exist in one process and each may run on its
// own thread (calls on one engine must not overlap). Link with the static library
// liborvoaec_static.a.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace orvo {

struct EngineState;
struct EngineAccess;

// Receives every log message exactly as the engine formats it (line ends included).
using LogSink = std::function<void(std::string_view text)>;

// Feature switch ids for Engine::SetFeature.
enum class Feature : int {
  kEchoCanceler = 1,
  kNoiseFill = 2,
  kMicSteering = 4,
  kPostFilter = 8,
  kNoiseReduction = 16,
  kEchoSuppression = 32,
  kAgc = 64,
  kAdaptDebug = 128,
  kDoubleTalkDebug = 256,
  kSignalActivityDebug = 512,
  kSpeechActivityDebug = 1024,
  kMicBypass = 2048,
  kSpkLoopback = 4096,
  kTimeDelayCheck = 8192,
  kNearOnlyCheck = 16384,
  kSsl = 32768,
};

// The tuning values in force.
struct EngineSettings {
  int hangoverTime;       // frames
  int duckerEnterTime;    // frames
  int duckerExitTime;     // frames
  float duckerThreshold;  // linear power
  int doubleTalkThreshold;
  int denoiseMode;
  int liveMusicSwitch;  // 0 asks for live-music mode
  float bandWeightPreset;
  int fixedThreshold;
  int holdFlag;
};

// A read-only snapshot of what the last processed frame left behind, for tools that report on a
// run (statistics, plots). Reading it has no effect on the processing.
struct FrameStats {
  bool doubleTalk;  // the last frame was classified as double talk
  int talkState;    // 1 far end silent, 2 far end talking alone, 3 double talk
  int selectedMic;  // the microphone channel the choice currently selects
  int delayFrames;  // far-end delay in force, whole 20 ms frames
  float agcGain;    // the automatic gain control's gain (1.0 while it is off)
  float inputGain;  // the adaptive input gain applied to the microphone
};

class Engine {
 public:
  static constexpr int kFrameSamples = 960;

  // Creates an engine; the creation log goes to the sink (standard output when empty).
  explicit Engine(LogSink sink = {});
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // Rebuilds the engine record with creation defaults, as a second creation does; the input
  // gain and the frame pipeline's running state carry over.
  void Recreate();

  // One frame, as the C export ORVOAEC_Process: mic holds 1920 interleaved samples with mode 3,
  // else 960. Returns the chosen microphone channel.
  int Process(const int16_t* mic, const int16_t* ref, int16_t* out, bool frameFlag, int mode,
              int duckerHold);

  // The raw frame entry with every argument explicit.
  void FrameProcess(const int16_t* mic, const int16_t* ref, int channelCount, int sampleCount,
                    int16_t* out, int flags, int micType, int mode, int duckerHold);

  // Stores one 960-sample far-end frame in the far-end history.
  void AddFarEnd(const int16_t* farEnd);

  bool IsDoubleTalk() const;
  FrameStats LastFrameStats() const;
  int ChoiceSelection() const;
  float MicBias() const;

  // Samples by which output sample n lags input sample n with the current denoise mode: the
  // filter bank's three frames, plus one 480-sample hop when the neural suppressor runs.
  int ProcessingDelaySamples() const;

  void SetFeature(Feature id, int value);
  int GetFeature(Feature id) const;

  void SetHangoverTime(int frames);
  void SetDuckerEnterTime(int ms);
  void SetDuckerExitTime(int ms);
  void SetDuckerThreshold(int code);  // -45, -40, -35, -30; others keep the threshold
  void SetDoubleTalkThreshold(int value);
  void SetDenoiseMode(int mode);  // 1 or 2 run the neural suppressor; 2 and up strong mode
  void SetLiveMusic(bool on);
  void SetBandWeightPreset(float preset);
  void SetFixedThreshold(bool on);
  void SetHoldFlag(int flag);
  EngineSettings Settings() const;

  // Reads RereridEva/config.yml in the user's Documents folder and applies it, as
  // ORVOAEC_LoadConfig does: a missing file is written with the default values and applies
  // nothing. Problems with the file are logged, never thrown.
  void LoadConfig();
  // Reads and applies the configuration file at `path`; a missing file changes nothing.
  void LoadConfigFile(const std::string& path);

 private:
  friend struct EngineAccess;  // the project's own tests and tools look inside
  LogSink sink_;
  std::unique_ptr<EngineState> state_;
};

}  // namespace orvo
