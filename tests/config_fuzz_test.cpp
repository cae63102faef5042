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
#include "tests/support/sandbox_env.hpp"

namespace orvo {
namespace {

using fuzz::ConfigFuzzHarness;
using fuzz::kKeyRanges;

std::string RunText(ConfigFuzzHarness& harness, const std::string& text) {
  return harness.RunOne(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

TEST(ConfigFuzz, MutatedAndRandomFilesNeverThrowNorLeakOutOfRangeValues) {
  // The corpus and a few more YAML forms: flow, block scalars, directives, BOM and CRLF.
  std::vector<std::string> seeds = {"reverberation: [21\n",
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
  auto tail = [&](const std::string& text) { return text.substr(pick(text.size() + 1)); };
  for (int i = 0; i < 4800; ++i) {
    std::string s = seeds[i % seeds.size()];
    for (size_t step = pick(4); step < 4; ++step) {
      const size_t at = pick(s.size() + 1), op = pick(9);
      if (op == 0 && at < s.size()) s[at] ^= static_cast<char>(1u << pick(8));
      if (op == 1) s.insert(at, 1, kAlphabet[pick(sizeof kAlphabet - 1)]);
      if (op == 2) s.erase(at, pick(16));
      if (op == 3) s.insert(pick(s.size() + 1), s.substr(at, pick(24)));
      if (op == 4) s = s.substr(0, at) + tail(seeds[pick(seeds.size())]);  // splice
      if (op == 5) s.insert(at, std::string(kKeyRanges[pick(std::size(kKeyRanges))].key) + ": ");
      if (op == 6) s.insert(at, kNumbers[pick(std::size(kNumbers))]);
      if (op == 7) s.resize(at);
      if (op == 8) s.insert(at, 1 + pick(2100), pick(2) ? '[' : '{');  // a deep nest
    }
    if (i % 6 == 5) {  // now and then, plain random bytes
      s.resize(pick(600));
      for (char& c : s)
        c = static_cast<char>(pick(256));
    }
    ASSERT_EQ(RunText(harness, s), "") << "iteration " << i << "\n" << s;
  }
}

// Maps of known content in a random key order: each field holds exactly the values in range.
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
    std::string text;
    int64_t expected[kKeys];
    size_t order[kKeys];
    std::iota(order, order + kKeys, size_t{0});
    std::shuffle(order, order + kKeys, rng);
    for (size_t k : order) {
      const fuzz::KeyRange& r = kKeyRanges[k];
      // Absent, not an integer, around a bound, or anywhere in 32 bits.
      const int64_t kind = pick(0, 14), v = kind == 3 ? pick(INT32_MIN, INT32_MAX)
                                                      : (kind % 2 ? r.lo : r.hi) + pick(-3, 3);
      expected[k] = kind >= 3 && v >= r.lo && v <= r.hi ? v : -1;
      if (kind >= 2)
        text += std::string(r.key) + ": " +
                (kind == 2 ? kNotIntegers[pick(0, 9)] : std::to_string(v)) + "\n";
    }
    ASSERT_EQ(RunText(harness, text), "") << text;
    for (size_t k = 0; k < kKeys; ++k)
      ASSERT_EQ(harness.Config().*kKeyRanges[k].field, expected[k]) << kKeyRanges[k].key << text;
  }
}

}  // namespace
}  // namespace orvo
