// Drives the frame entries with arbitrary bytes: microphone and far-end frames, mode,
// duckerHold, frame flags, the raw frame entry's channel and sample counts and microphone type,
// null buffers, setters and switches, re-creation and configuration loads between frames. Runs
// on the C exports (compiled into the program) and on a C++ engine side by side. Shared by the
// libFuzzer target and the fixed-iteration test.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "api/engine_internal.hpp"
#include "api/exported_engine.hpp"
#include "audio_core/audio_core.hpp"
#include "audio_core/engine_record.hpp"
#include "audio_core/engine_state.hpp"
#include "audio_core/finite_check.hpp"
#include "orvoaec/engine.hpp"
#include "orvoaec/orvoaec.h"
#include "tests/support/sandbox_env.hpp"

namespace orvo::fuzz {

// Reads the input front to back; past its end every read gives zeros.
class ByteReader {
 public:
  ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return pos_ >= size_; }
  uint8_t U8() { return pos_ < size_ ? data_[pos_++] : 0; }
  int32_t I32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
      v |= static_cast<uint32_t>(U8()) << (8 * i);
    return static_cast<int32_t>(v);
  }
  // An integer that is often one of the values the code treats specially.
  int32_t Interesting(std::initializer_list<int32_t> special) {
    const uint8_t pick = U8();
    if (pick < 2 * special.size()) return special.begin()[pick % special.size()];
    return I32();
  }
  // Fills n samples: raw input bytes, or one of a few synthetic patterns.
  void Samples(int16_t* out, size_t n) {
    const uint8_t kind = U8();
    const int16_t a = static_cast<int16_t>(I32());
    switch (kind % 6) {
      case 0:  // raw bytes from the input
        for (size_t i = 0; i < n; ++i)
          out[i] = static_cast<int16_t>(U8() | (U8() << 8));
        break;
      case 1:  // constant
        for (size_t i = 0; i < n; ++i)
          out[i] = a;
        break;
      case 2:  // alternating extremes
        for (size_t i = 0; i < n; ++i)
          out[i] = i % 2 ? INT16_MAX : INT16_MIN;
        break;
      case 3:  // square wave of amplitude a and a period from the input
      {
        const size_t half = 1 + U8();
        for (size_t i = 0; i < n; ++i)
          out[i] = (i / half) % 2 ? a : static_cast<int16_t>(-a);
        break;
      }
      case 4:  // a short pattern repeated
      {
        int16_t pattern[8];
        for (int16_t& p : pattern)
          p = static_cast<int16_t>(U8() | (U8() << 8));
        for (size_t i = 0; i < n; ++i)
          out[i] = pattern[i % 8];
        break;
      }
      default:  // tiny values around zero
        for (size_t i = 0; i < n; ++i)
          out[i] = static_cast<int16_t>(static_cast<int8_t>(U8()) >> 5);
        break;
    }
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

class FrameFuzzHarness {
 public:
  static constexpr int kMaxOps = 48;
  static constexpr size_t kMicCapacity = kMaxMics * kFrameSize;

  FrameFuzzHarness() {
    ExportedEngine().log.SetSink([](void*, const char*) {}, nullptr);
  }

  // Runs one input. Returns an empty string when every check held, else what went wrong.
  std::string RunOne(const uint8_t* data, size_t size) {
    ByteReader in(data, size);
    Engine engine([](std::string_view) {});
    if (ORVOAEC_Create() == nullptr) return "ORVOAEC_Create returned null";
    for (int op = 0; op < kMaxOps && !in.empty(); ++op) {
      const uint8_t code = in.U8();
      std::string problem =
          code & 0x80 ? OnEngine(engine, code & 0x7f, in) : OnExports(code & 0x7f, in);
      if (!problem.empty()) return "operation " + std::to_string(op) + ": " + problem;
    }
    return {};
  }

 private:
  // Buffers of the next frame call; a few null pointers now and then.
  void FillFrame(ByteReader& in, size_t micSamples) {
    in.Samples(mic_.data(), micSamples);
    in.Samples(ref_.data(), kFrameSize);
    std::fill(out_.begin(), out_.end(), int16_t{0x5a5a});
    const uint8_t nulls = in.U8();
    micPtr_ = nulls == 1 ? nullptr : mic_.data();
    refPtr_ = nulls == 2 ? nullptr : ref_.data();
    outPtr_ = nulls == 3 ? nullptr : out_.data();
  }

  static std::string Check(const EngineState& state) {
    if (const char* where = AudioCore_FirstNonFinite(state))
      return std::string("non-finite value in the ") + where;
    if (state.hRoomPro != nullptr) {
      const int s = state.hRoomPro->choice.selection;
      if (s < 0 || s >= kMaxMics) return "choice selection " + std::to_string(s);
      if (state.hRoomPro->doubleTalkFlag != 0 && state.hRoomPro->doubleTalkFlag != 1)
        return "double-talk flag out of range";
    }
    return {};
  }

  std::string OnExports(int code, ByteReader& in) {
    switch (code % 8) {
      case 0:
      case 1:
      case 2: {
        const int mode = in.Interesting({1, 3, 0, 2, -1, INT32_MIN, INT32_MAX});
        FillFrame(in, mode == 3 ? 2 * kFrameSize : kFrameSize);
        const int result = ORVOAEC_Process(micPtr_, refPtr_, outPtr_, in.U8(), mode,
                                           in.Interesting({0, 1, 99, -1, INT32_MAX}));
        if (result < 0 || result >= kMaxMics) return "Process returned " + std::to_string(result);
        const int dt = ORVOAEC_IsDoubleTalk();
        if (dt != 0 && dt != 1) return "IsDoubleTalk returned " + std::to_string(dt);
        break;
      }
      case 3:
        in.Samples(ref_.data(), kFrameSize);
        if (ORVOAEC_AddData(in.U8() == 0 ? nullptr : ref_.data()) != 0)
          return "AddData returned non-zero";
        break;
      case 4:
        if (ORVOAEC_Create() == nullptr) return "ORVOAEC_Create returned null";
        break;
      case 5: {
        // A configuration file made of the next bytes, then the load.
        const size_t n = in.U8();
        std::string text;
        for (size_t i = 0; i < n; ++i)
          text += static_cast<char>(in.U8());
        testing::SandboxEnv::WriteFile(env_.ConfigPath(), text);
        ORVOAEC_LoadConfig();
        break;
      }
      case 6:
        ORVOAEC_SetDenoiseLevel();
        break;
      default:
        Setter(ExportedEngine(), in);
        break;
    }
    return Check(ExportedEngine());
  }

  // Setters and switches through the engine entries the C exports and the loader use.
  static void Setter(EngineState& state, ByteReader& in) {
    const int32_t v = in.I32();
    switch (in.U8() % 7) {
      case 0:
        AudioCore_SetHangoverTime(state, v);
        break;
      case 1:
        AudioCore_SetDuckerEnterTime(state, v);
        break;
      case 2:
        AudioCore_SetDuckerExitTime(state, v);
        break;
      case 3:
        AudioCore_SetDuckerThreshold(state, v);
        break;
      case 4:
        AudioCore_SetDoubleTalkThreshold(state, v);
        break;
      case 5:
        if (state.hRoomPro != nullptr) AudioCore_SetFeature(1 << (in.U8() % 17), v, state.hRoomPro);
        break;
      default:
        if (state.hRoomPro != nullptr) state.hRoomPro->denoiseMode = v;
        break;
    }
  }

  std::string OnEngine(Engine& engine, int code, ByteReader& in) {
    switch (code % 8) {
      case 0:
      case 1: {
        const int mode = in.Interesting({1, 3, 0, 2, 7, -1, INT32_MIN});
        FillFrame(in, mode == 3 ? 2 * kFrameSize : kFrameSize);
        const int result = engine.Process(micPtr_, refPtr_, outPtr_, in.U8() & 1, mode,
                                          in.Interesting({0, 1, 99, -1}));
        if (result < 0 || result >= kMaxMics) return "Process returned " + std::to_string(result);
        break;
      }
      case 2: {
        // The raw frame entry: any channel count, sample count and microphone type; the
        // buffer always holds at least the sample count given.
        const int channels = in.Interesting({1, 2, 3, 14, 15, 0, -1});
        const int samples = static_cast<int>(static_cast<uint32_t>(in.I32()) % (kMicCapacity + 1));
        const int micType = in.Interesting({4, 5, 0, 1, 2, 3, 6, -1});
        const int mode = in.Interesting({1, 3, 0, 2, -1});
        FillFrame(in, kMicCapacity);
        engine.FrameProcess(micPtr_, refPtr_, channels, samples, outPtr_, in.I32(), micType, mode,
                            in.I32());
        break;
      }
      case 3:
        in.Samples(ref_.data(), kFrameSize);
        engine.AddFarEnd(in.U8() == 0 ? nullptr : ref_.data());
        break;
      case 4:
        engine.Recreate();
        break;
      case 5: {
        const int32_t v = in.I32();
        switch (in.U8() % 6) {
          case 0:
            engine.SetDenoiseMode(v);
            break;
          case 1:
            engine.SetLiveMusic(v & 1);
            break;
          case 2: {
            float preset;
            std::memcpy(&preset, &v, sizeof preset);
            engine.SetBandWeightPreset(v % 3 == 0 ? 100.0f : v % 3 == 1 ? 101.0f : preset);
            break;
          }
          case 3:
            engine.SetFixedThreshold(v & 1);
            break;
          case 4:
            engine.SetHoldFlag(v);
            break;
          default:
            engine.SetFeature(static_cast<Feature>(1 << (in.U8() % 17)), v);
            break;
        }
        break;
      }
      default:
        Setter(orvo::internal::StateOf(engine), in);
        break;
    }
    return Check(orvo::internal::StateOf(engine));
  }

  testing::SandboxEnv env_;  // HOME and the Documents folder for configuration loads
  std::vector<int16_t> mic_ = std::vector<int16_t>(kMicCapacity);
  std::vector<int16_t> ref_ = std::vector<int16_t>(kFrameSize);
  std::vector<int16_t> out_ = std::vector<int16_t>(kFrameSize);
  const int16_t* micPtr_ = nullptr;
  const int16_t* refPtr_ = nullptr;
  int16_t* outPtr_ = nullptr;
};

}  // namespace orvo::fuzz
