// Fixed-iteration fuzzing of the configuration loader: mutated and random files must never
// throw and never let an out-of-range value through; generated maps are checked against the
// rules key by key. Deterministic (fixed seeds), so it runs in every test pass with or without
// clang; `make fuzz` runs the libFuzzer target for longer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "tests/fuzz/config_fuzz_harness.hpp"
#include "tests/sandbox_env.hpp"

namespace orvo {
namespace {

using fuzz::ConfigFuzzHarness;

std::string RunText(ConfigFuzzHarness& harness, const std::string& text) {
  return harness.RunOne(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

std::vector<std::string> Seeds() {
  std::vector<std::string> seeds;
  for (const auto& entry :
       std::filesystem::directory_iterator(std::string(ORVO_SOURCE_DIR) + "/tests/fuzz/corpus")) {
    if (auto text = testing::SandboxEnv::ReadFile(entry.path().string())) seeds.push_back(*text);
  }
  std::sort(seeds.begin(), seeds.end());  // directory order is not fixed
  seeds.push_back("reverberation: [21\n");
  seeds.push_back("reverberation: 30\n  ducker_enter_time: 300\n");
  seeds.push_back("\"reverberation\": '25'\n? ducker_exit_time\n: 140\n");
  seeds.push_back("reverberation: |\n  30\nagc_gain: >\n  5\n");
  seeds.push_back("%YAML 1.2\n---\nref_delay: 0o17\n...\n");
  seeds.push_back(
      "\xef\xbb\xbf"
      "denoise_level: 3\r\ncascade_connected: 1\r\n");
  return seeds;
}

const char kAlphabet[] = ":-[]{},#&*!|>'\"%@`?~ \n\t\r0123456789abcdefxyz_+.\\";
const char* const kKeys[] = {"version",           "local_playback_flag", "reverberation",
                             "ducker_enter_time", "ducker_exit_time",    "ducker_threashold",
                             "agc_gain",          "ref_delay",           "double_talk_threshold",
                             "denoise_level",     "cascade_connected"};

std::string Mutate(std::string s, const std::vector<std::string>& seeds, std::mt19937& rng) {
  auto pick = [&](size_t n) {
    return n == 0 ? size_t{0} : std::uniform_int_distribution<size_t>(0, n - 1)(rng);
  };
  const int steps = 1 + static_cast<int>(pick(4));
  for (int step = 0; step < steps; ++step) {
    switch (pick(8)) {
      case 0:  // flip a bit
        if (!s.empty()) s[pick(s.size())] ^= static_cast<char>(1u << pick(8));
        break;
      case 1:  // insert a YAML-significant character
        s.insert(s.begin() + static_cast<std::ptrdiff_t>(pick(s.size() + 1)),
                 kAlphabet[pick(sizeof kAlphabet - 1)]);
        break;
      case 2:  // delete a range
        if (!s.empty()) {
          const size_t at = pick(s.size());
          s.erase(at, 1 + pick(16));
        }
        break;
      case 3:  // duplicate a range
        if (!s.empty()) {
          const size_t at = pick(s.size());
          const std::string part = s.substr(at, 1 + pick(24));
          s.insert(pick(s.size() + 1), part);
        }
        break;
      case 4:  // splice with another seed
      {
        const std::string& other = seeds[pick(seeds.size())];
        s = s.substr(0, pick(s.size() + 1)) + other.substr(pick(other.size() + 1));
        break;
      }
      case 5:  // insert a key
        s.insert(pick(s.size() + 1), std::string(kKeys[pick(std::size(kKeys))]) + ": ");
        break;
      case 6:  // insert a number, sometimes beyond 32 bits
      {
        static const char* const kNumbers[] = {"-45", "-25",        "700",        "0",
                                               "-1",  "2147483647", "2147483648", "-2147483649",
                                               "1e3", "0x1F",       "08"};
        s.insert(pick(s.size() + 1), kNumbers[pick(std::size(kNumbers))]);
        break;
      }
      case 7:  // truncate, or open a deep nest
        if (pick(2) == 0) {
          s.resize(pick(s.size() + 1));
        } else {
          s.insert(pick(s.size() + 1), std::string(1 + pick(2100), pick(2) ? '[' : '{'));
        }
        break;
    }
  }
  return s;
}

TEST(ConfigFuzz, MutatedFilesNeverThrowNorLeakOutOfRangeValues) {
  ConfigFuzzHarness harness;
  const std::vector<std::string> seeds = Seeds();
  for (const std::string& seed : seeds)
    ASSERT_EQ(RunText(harness, seed), "") << seed;
  std::mt19937 rng(0x0c0f19u);
  for (int i = 0; i < 4000; ++i) {
    const std::string input = Mutate(seeds[i % seeds.size()], seeds, rng);
    ASSERT_EQ(RunText(harness, input), "") << "iteration " << i << "\n" << input;
  }
}

TEST(ConfigFuzz, RandomBytesNeverThrow) {
  ConfigFuzzHarness harness;
  std::mt19937 rng(0xb17e5u);
  std::uniform_int_distribution<int> byte(0, 255), length(0, 600);
  for (int i = 0; i < 800; ++i) {
    std::string input(static_cast<size_t>(length(rng)), '\0');
    for (char& c : input)
      c = static_cast<char>(byte(rng));
    ASSERT_EQ(RunText(harness, input), "") << "iteration " << i;
  }
}

// Generated maps with known content: each field must hold exactly the value the rules allow.
struct KeyRange {
  const char* key;
  int32_t AudioConfig::*field;
  int lo, hi;
  const char* notInteger;  // the start of the conversion message after "<loader>, "
};

TEST(ConfigFuzz, GeneratedMapsFollowTheRulesKeyByKey) {
  const KeyRange ranges[] = {
      {"local_playback_flag", &AudioConfig::local_playback_flag, 0, 1, "local_playback_flag is"},
      {"reverberation", &AudioConfig::reverberation, 17, 50, "reverberation is"},
      {"ducker_enter_time", &AudioConfig::ducker_enter_time, 120, 700, "ducker hold time is"},
      {"ducker_exit_time", &AudioConfig::ducker_exit_time, 120, 700, "ducker hold time is"},
      {"ducker_threashold", &AudioConfig::ducker_threashold, -45, -25, "ducker threhold is"},
      {"agc_gain", &AudioConfig::agc_gain, 1, 9, "agc_gain is"},
      {"ref_delay", &AudioConfig::ref_delay, 2, 15, "ref_delay is"},
      {"double_talk_threshold", &AudioConfig::double_talk_threshold, 8, 256,
       "double_talk_threshold is"},
      {"denoise_level", &AudioConfig::denoise_level, 0, 4, "denoise_level is"},
      {"cascade_connected", &AudioConfig::cascade_connected, 0, 1, "cascade_connected is"},
  };
  static const char* const kNotIntegers[] = {"word", "1.5",  "[1, 2]",     "{a: 1}",      "~",
                                             "''",   "true", "3000000000", "-2147483649", "12abc"};
  ConfigFuzzHarness harness;
  std::mt19937 rng(0x5eedu);
  for (int doc = 0; doc < 1500; ++doc) {
    std::string text = doc % 3 == 0 ? "version: 1.0\n" : "";
    int64_t expected[std::size(ranges)];
    bool converts[std::size(ranges)];
    std::vector<size_t> order(std::size(ranges));
    for (size_t k = 0; k < order.size(); ++k)
      order[k] = k;
    std::shuffle(order.begin(), order.end(), rng);
    for (size_t k : order) {
      expected[k] = -1;
      converts[k] = true;
      const int present = std::uniform_int_distribution<int>(0, 2)(rng);
      if (present == 0) continue;  // absent
      const KeyRange& range = ranges[k];
      std::string value;
      if (std::uniform_int_distribution<int>(0, 4)(rng) == 0) {
        value = kNotIntegers[std::uniform_int_distribution<size_t>(
            0, std::size(kNotIntegers) - 1)(rng)];
        converts[k] = false;
      } else {
        // Around the bounds most of the time, anywhere in 32 bits now and then.
        int64_t v;
        if (std::uniform_int_distribution<int>(0, 5)(rng) == 0) {
          v = std::uniform_int_distribution<int64_t>(INT32_MIN, INT32_MAX)(rng);
        } else {
          const int64_t edge = std::uniform_int_distribution<int>(0, 1)(rng) ? range.lo : range.hi;
          v = edge + std::uniform_int_distribution<int64_t>(-3, 3)(rng);
        }
        value = std::to_string(v);
        if (v >= range.lo && v <= range.hi) expected[k] = v;
      }
      text += std::string(range.key) + ": " + value + "\n";
    }
    ASSERT_EQ(RunText(harness, text), "") << text;
    const AudioConfig& got = harness.Config();
    for (size_t k = 0; k < std::size(ranges); ++k) {
      ASSERT_EQ(got.*ranges[k].field, expected[k]) << ranges[k].key << "\n" << text;
      if (!converts[k]) {
        ASSERT_NE(harness.Log().find(std::string(", ") + ranges[k].notInteger + " invalid. Input"),
                  std::string::npos)
            << text << harness.Log();
      }
    }
  }
}

}  // namespace
}  // namespace orvo
