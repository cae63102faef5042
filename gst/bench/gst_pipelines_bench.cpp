// N GStreamer pipelines in one process, each running a 30-second two-microphone file through
// orvoaecdsp with its own orvoaecprobe; reports the real-time factor per stream and how many
// streams one core carries.
//
//   gst_pipelines_bench [--streams 1,8,32] [--seconds 30]
// (Google Benchmark options, as `make bench` passes them, are ignored.)
#include <glib/gstdio.h>
#include <gst/gst.h>
#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kRate = 48000;

void WriteWav(const std::string& path, const std::vector<int16_t>& interleaved, int channels) {
  std::ofstream out(path, std::ios::binary);
  auto le = [&out](uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
      out.put(static_cast<char>((v >> (8 * i)) & 0xff));
  };
  const uint32_t bytes = static_cast<uint32_t>(interleaved.size() * 2);
  out.write("RIFF", 4);
  le(36 + bytes, 4);
  out.write("WAVEfmt ", 8);
  le(16, 4);
  le(1, 2);
  le(static_cast<uint32_t>(channels), 2);
  le(kRate, 4);
  le(static_cast<uint32_t>(kRate * channels * 2), 4);
  le(static_cast<uint32_t>(channels * 2), 2);
  le(16, 2);
  out.write("data", 4);
  le(bytes, 4);
  out.write(reinterpret_cast<const char*>(interleaved.data()), bytes);
}

// Far end: noise bursts; microphones: its echo plus a near-end tone, at two levels.
void MakeFiles(const std::string& dir, int seconds) {
  const size_t n = static_cast<size_t>(seconds) * kRate;
  std::vector<int16_t> far(n), mic(2 * n);
  uint32_t state = 5;
  auto noise = [&state] {
    state = state * 1664525u + 1013904223u;
    return static_cast<int>((state >> 16) & 0x7fff) - 16384;
  };
  for (size_t i = 0; i < n; ++i)
    far[i] = static_cast<int16_t>((i / 9600) % 3 != 2 ? noise() / 2 : 0);
  for (size_t i = 0; i < n; ++i) {
    const int echo = i >= 480 ? far[i - 480] / 4 : 0;
    const double t = static_cast<double>(i) / kRate;
    const int tone = static_cast<int>(8000 * (0.6 + 0.4 * std::sin(2 * M_PI * 2 * t)) *
                                      std::sin(2 * M_PI * 440 * t));
    mic[2 * i] = static_cast<int16_t>(echo + tone);
    mic[2 * i + 1] = static_cast<int16_t>(echo / 2 + tone / 4);
  }
  WriteWav(dir + "/far.wav", far, 1);
  WriteWav(dir + "/mic.wav", mic, 2);
}

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

// Runs `streams` pipelines at once to their ends; false when one fails.
bool Run(const std::string& dir, int streams, double* wall, double* cpu) {
  std::vector<GstElement*> pipelines;
  for (int k = 0; k < streams; ++k) {
    const std::string name = "benchfar" + std::to_string(k);
    const std::string description = "filesrc location=" + dir + "/far.wav ! wavparse ! " +
                                    "orvoaecprobe name=" + name + " ! queue ! fakesink " +
                                    "filesrc location=" + dir + "/mic.wav ! wavparse ! " +
                                    "orvoaecdsp probe=" + name + " ! fakesink";
    GError* error = nullptr;
    GstElement* p = gst_parse_launch(description.c_str(), &error);
    if (p == nullptr) {
      std::fprintf(stderr, "cannot build the pipeline: %s\n", error ? error->message : "?");
      return false;
    }
    pipelines.push_back(p);
  }
  const double cpu0 = CpuSeconds();
  const auto t0 = std::chrono::steady_clock::now();
  for (GstElement* p : pipelines)
    gst_element_set_state(p, GST_STATE_PLAYING);
  bool ok = true;
  for (GstElement* p : pipelines) {
    GstBus* bus = gst_element_get_bus(p);
    GstMessage* m = gst_bus_timed_pop_filtered(
        bus, GST_CLOCK_TIME_NONE, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    if (GST_MESSAGE_TYPE(m) == GST_MESSAGE_ERROR) {
      GError* err = nullptr;
      gst_message_parse_error(m, &err, nullptr);
      std::fprintf(stderr, "pipeline error: %s\n", err->message);
      g_error_free(err);
      ok = false;
    }
    gst_message_unref(m);
    gst_object_unref(bus);
  }
  *wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  *cpu = CpuSeconds() - cpu0;
  for (GstElement* p : pipelines) {
    gst_element_set_state(p, GST_STATE_NULL);
    gst_object_unref(p);
  }
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> counts = {1, 8, 32};
  int seconds = 30;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--streams") == 0 && i + 1 < argc) {
      counts.clear();
      for (char* s = std::strtok(argv[++i], ","); s; s = std::strtok(nullptr, ","))
        counts.push_back(std::atoi(s));
    } else if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
      seconds = std::atoi(argv[++i]);
    }
  }
  if (getenv("GST_PLUGIN_PATH") == nullptr) setenv("GST_PLUGIN_PATH", ORVO_GST_PLUGIN_DIR, 1);
  gst_init(nullptr, nullptr);
  gchar* dir = g_dir_make_tmp("orvoaec-bench-XXXXXX", nullptr);
  if (dir == nullptr) return 1;
  MakeFiles(dir, seconds);

  std::printf("%d-second two-microphone file per stream, %u hardware threads\n", seconds,
              std::thread::hardware_concurrency());
  std::printf("%8s %10s %10s %16s %16s %14s\n", "streams", "wall s", "cpu s", "RTF/stream wall",
              "RTF/stream cpu", "streams/core");
  int status = 0;
  for (int n : counts) {
    double wall = 0, cpu = 0;
    if (n < 1 || !Run(dir, n, &wall, &cpu)) {
      status = 1;
      continue;
    }
    const double audio = static_cast<double>(seconds);
    const double cpuRtf = cpu / (n * audio);
    std::printf("%8d %10.2f %10.2f %16.4f %16.4f %14.0f\n", n, wall, cpu, wall / audio, cpuRtf,
                1.0 / cpuRtf);
  }
  for (const char* f : {"far.wav", "mic.wav"})
    std::remove((std::string(dir) + "/" + f).c_str());
  g_rmdir(dir);
  g_free(dir);
  gst_deinit();
  return status;
}
