// Fixed-iteration fuzzing of the configuration loader: mutated and random files must never
// throw nor let an out-of-range value through, and generated maps must hold exactly the values
// the rules allow. Deterministic (fixed seeds) so it runs in every test pass, with or without
// clang; `make fuzz` runs the libFuzzer target for longer.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "tests/fuzz/config_fuzz_harness.hpp"
#include "tests/sandbox_env.hpp"

namespace orvo {
namespace {

using fuzz::ConfigFuzzHarness;
using fuzz::kKeyRanges;

std::string RunText(ConfigFuzzHarness& harness, const std::string& text) {
  return harness.RunOne(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

TEST(ConfigFuzz, MutatedAndRandomFilesNeverThrowNorLeakOutOfRangeValues) {
  std::vector<std::string> seeds = {"reverberation: [21\n", "\"reverberation\": '25'\n? a\n: 1\n",
                                    "reverberation: |\n  30\nagc_gain: >\n  5\n",
                                    "%YAML 1.2\n---\nref_delay: 0o17\n...\n",
                                    "\xef\xbb\xbf"
                                    "denoise_level: 3\r\ncascade_connected: 1\r\n"};
  for (const auto& entry :
       std::filesystem::directory_iterator(std::string(ORVO_SOURCE_DIR) + "/tests/fuzz/corpus"))
    seeds.push_back(testing::SandboxEnv::ReadFile(entry.path().string()));
  std::sort(seeds.begin(), seeds.end());  // directory order is not fixed
  static const char kAlphabet[] = ":-[]{},#&*!|>'\"%@`?~ \n\t\r0123456789abcdefxyz_+.\\";
  static const char* const kNumbers[] = {"-45",        "-25", "700",         "0",   "-1",
                                         "2147483648", "08",  "-2147483649", "1e3", "0x1F"};
  ConfigFuzzHarness harness;
  std::mt19937 rng(0x0c0f19u);
  auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
  for (int i = 0; i < 4800; ++i) {
    std::string s = seeds[i % seeds.size()];
    for (size_t step = pick(4); step < 4; ++step) {
      const size_t at = pick(s.size() + 1);
      switch (pick(6)) {
        case 0:  // flip a bit
          if (at < s.size()) s[at] ^= static_cast<char>(1u << pick(8));
          break;
        case 1:
          s.insert(at, 1, kAlphabet[pick(sizeof kAlphabet - 1)]);
          break;
        case 2:  // delete or repeat a range
          pick(2) ? s.erase(at, pick(16)) : s.insert(pick(s.size() + 1), s.substr(at, pick(24)));
          break;
        case 3: {  // splice with another seed
          const std::string& other = seeds[pick(seeds.size())];
          s = s.substr(0, at) + other.substr(pick(other.size() + 1));
          break;
        }
        case 4:  // insert a key or a number
          s.insert(at, pick(2) ? std::string(kKeyRanges[pick(10)].key) + ": " : kNumbers[pick(10)]);
          break;
        case 5:  // truncate, or open a deep nest
          if (pick(2) == 0)
            s.resize(at);
          else
            s.insert(at, 1 + pick(2100), pick(2) ? '[' : '{');
          break;
      }
    }
    if (i % 6 == 5) {  // now and then, plain random bytes
      s.resize(pick(600));
      for (char& c : s)
        c = static_cast<char>(pick(256));
    }
    ASSERT_EQ(RunText(harness, s), "") << "iteration " << i << "\n" << s;
  }
}

TEST(ConfigFuzz, GeneratedMapsFollowTheRulesKeyByKey) {
  const char* const kNotIntegers[] = {"word", "1.5",  "[1, 2]",     "{a: 1}",      "~",
                                      "''",   "true", "3000000000", "-2147483649", "12abc"};
  constexpr size_t kKeys = std::size(kKeyRanges);
  ConfigFuzzHarness harness;
  std::mt19937 rng(0x5eedu);
  auto pick = [&](int64_t lo, int64_t hi) {
    return std::uniform_int_distribution<int64_t>(lo, hi)(rng);
  };
  for (int doc = 0; doc < 1500; ++doc) {
    std::string text = doc % 3 == 0 ? "version: 1.0\n" : "";
    int64_t expected[kKeys];
    size_t order[kKeys], notIntegers = 0;
    std::iota(order, order + kKeys, size_t{0});
    std::shuffle(order, order + kKeys, rng);
    for (size_t k : order) {
      expected[k] = -1;
      if (pick(0, 2) == 0) continue;  // absent
      const fuzz::KeyRange& r = kKeyRanges[k];
      std::string value = kNotIntegers[pick(0, 9)];
      if (pick(0, 4) == 0) {
        ++notIntegers;
      } else {  // around the bounds most of the time, anywhere in 32 bits now and then
        const int64_t v =
            pick(0, 5) == 0 ? pick(INT32_MIN, INT32_MAX) : (pick(0, 1) ? r.lo : r.hi) + pick(-3, 3);
        value = std::to_string(v);
        if (v >= r.lo && v <= r.hi) expected[k] = v;
      }
      text += std::string(r.key) + ": " + value + "\n";
    }
    ASSERT_EQ(RunText(harness, text), "") << text;
    for (size_t k = 0; k < kKeys; ++k)
      ASSERT_EQ(harness.Config().*kKeyRanges[k].field, expected[k]) << kKeyRanges[k].key << text;
    // Each value that is not an integer gets its conversion message.
    size_t messages = 0;
    for (size_t at = 0; (at = harness.Log().find(" is invalid. Input", at)) != std::string::npos;
         ++at)
      ++messages;
    ASSERT_EQ(messages, notIntegers) << text << harness.Log();
  }
}

}  // namespace
}  // namespace orvo
