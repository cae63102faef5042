// Prints the checksum of the engine's output for every run of the fixed scene set, one line per
// run; with --out DIR it also writes each output as raw 16-bit PCM (DIR/<run>.pcm). Used to
// check that a change keeps the engine's output bit-identical, across builds and systems.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "tests/support/engine_scenes.hpp"

int main(int argc, char** argv) {
  std::string outDir;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--out") == 0 && i + 1 < argc) {
      outDir = argv[++i];
    } else {
      std::fprintf(stderr, "usage: scene_checksums [--out DIR]\n");
      return 1;
    }
  }
  for (const orvo::testing::EngineRun& run : orvo::testing::EngineRuns()) {
    orvo::Engine engine([](std::string_view) {});
    const std::vector<int16_t> out = orvo::testing::RunEngineScene(engine, run);
    std::printf("%-18s %016" PRIx64 "\n", run.name.c_str(), orvo::testing::Checksum(out));
    if (outDir.empty()) continue;
    const std::string path = outDir + "/" + run.name + ".pcm";
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(out.data(), sizeof(int16_t), out.size(), f) != out.size()) {
      std::fprintf(stderr, "scene_checksums: cannot write %s\n", path.c_str());
      if (f != nullptr) std::fclose(f);
      return 1;
    }
    std::fclose(f);
  }
  return 0;
}
