// End to end: WAV files through filesrc ! wavparse pipelines with orvoaecprobe and orvoaecdsp
// give, sample for sample, what `orvoaec process` gives for the same samples as raw PCM.
//
// Alignment: the element takes the engine's processing delay D out of the timeline (output
// sample n belongs to input sample n), while `orvoaec process` writes engine output frame by
// frame (its sample n + D belongs to input sample n). With the command's microphone files
// extended by D samples of silence, which is what the element runs through the engine at the end
// of the stream, element sample n equals command sample n + D for every n.
#include <glib/gstdio.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <tuple>

#include "gst/tests/gst_test_support.hpp"

namespace {

using namespace orvo::gsttest;

void WriteLe16(std::ofstream& out, uint32_t v) {
  const char b[2] = {static_cast<char>(v & 0xff), static_cast<char>((v >> 8) & 0xff)};
  out.write(b, 2);
}
void WriteLe32(std::ofstream& out, uint32_t v) {
  WriteLe16(out, v & 0xffff);
  WriteLe16(out, v >> 16);
}

// A canonical 44-byte-header PCM WAV file, 16 bits, 48 kHz.
void WriteWav(const std::string& path, const std::vector<int16_t>& interleaved, int channels) {
  std::ofstream out(path, std::ios::binary);
  const uint32_t bytes = static_cast<uint32_t>(interleaved.size() * 2);
  out.write("RIFF", 4);
  WriteLe32(out, 36 + bytes);
  out.write("WAVEfmt ", 8);
  WriteLe32(out, 16);
  WriteLe16(out, 1);  // PCM
  WriteLe16(out, static_cast<uint32_t>(channels));
  WriteLe32(out, kRate);
  WriteLe32(out, static_cast<uint32_t>(kRate * channels * 2));
  WriteLe16(out, static_cast<uint32_t>(channels * 2));
  WriteLe16(out, 16);
  out.write("data", 4);
  WriteLe32(out, bytes);
  out.write(reinterpret_cast<const char*>(interleaved.data()), bytes);
  ASSERT_TRUE(out.good()) << path;
}

void WritePcm(const std::string& path, const std::vector<int16_t>& samples) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(samples.data()),
            static_cast<std::streamsize>(samples.size() * 2));
  ASSERT_TRUE(out.good()) << path;
}

std::vector<char> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<int16_t> ReadPcm(const std::string& path) {
  const std::vector<char> bytes = ReadAll(path);
  std::vector<int16_t> samples(bytes.size() / 2);
  std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
  return samples;
}

// The samples of the "data" chunk of a 16-bit mono WAV file.
std::vector<int16_t> ReadWavMono(const std::string& path) {
  const std::vector<char> bytes = ReadAll(path);
  EXPECT_GE(bytes.size(), 12u);
  size_t at = 12;
  auto le32 = [&](size_t i) {
    uint32_t v = 0;
    for (int k = 3; k >= 0; --k)
      v = (v << 8) | static_cast<uint8_t>(bytes[i + k]);
    return v;
  };
  while (at + 8 <= bytes.size()) {
    const uint32_t size = le32(at + 4);
    if (std::memcmp(bytes.data() + at, "fmt ", 4) == 0) {
      EXPECT_EQ(static_cast<uint8_t>(bytes[at + 10]), 1) << "one channel";
    } else if (std::memcmp(bytes.data() + at, "data", 4) == 0) {
      const size_t n = std::min<size_t>(size, bytes.size() - at - 8) / 2;
      std::vector<int16_t> samples(n);
      std::memcpy(samples.data(), bytes.data() + at + 8, n * 2);
      return samples;
    }
    at += 8 + size + (size & 1);
  }
  ADD_FAILURE() << "no data chunk in " << path;
  return {};
}

void RunToEos(GstElement* pipeline) {
  ASSERT_NE(gst_element_set_state(pipeline, GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
  GstBus* bus = gst_element_get_bus(pipeline);
  GstMessage* m = gst_bus_timed_pop_filtered(
      bus, 60 * GST_SECOND, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  gst_object_unref(bus);
  ASSERT_NE(m, nullptr) << "timed out";
  if (GST_MESSAGE_TYPE(m) == GST_MESSAGE_ERROR) {
    GError* err = nullptr;
    gst_message_parse_error(m, &err, nullptr);
    ADD_FAILURE() << err->message;
    g_error_free(err);
  }
  gst_message_unref(m);
}

GstElement* Launch(const std::string& description) {
  GError* error = nullptr;
  GstElement* pipeline = gst_parse_launch(description.c_str(), &error);
  EXPECT_EQ(error, nullptr) << (error ? error->message : "");
  if (error) g_error_free(error);
  return pipeline;
}

// Parameters: microphones, and whether both branches run in one pipeline (the far end through a
// queue, so that the sink's preroll does not hold the probe back) or the far end runs first.
class OrvoAecEndToEnd : public ::testing::TestWithParam<std::tuple<int, bool>> {
 protected:
  void SetUp() override {
    gchar* dir = g_dir_make_tmp("orvoaec-gst-XXXXXX", nullptr);
    ASSERT_NE(dir, nullptr);
    dir_ = dir;
    g_free(dir);
  }
  void TearDown() override {
    for (const char* f :
         {"far.wav", "mic.wav", "out.wav", "far.pcm", "mic1.pcm", "mic2.pcm", "cli.pcm"})
      g_remove((dir_ + "/" + f).c_str());
    g_rmdir(dir_.c_str());
  }
  std::string Path(const char* name) const { return dir_ + "/" + name; }
  std::string dir_;
};

TEST_P(OrvoAecEndToEnd, WavPipelinesEqualTheCommandLineSampleForSample) {
  const auto [channels, onePipeline] = GetParam();
  const size_t samples = 150 * kFrame + 321;  // 3 s and a partial frame
  Scene scene = MakeScene(samples, 21);
  WriteWav(Path("far.wav"), scene.farEnd, 1);
  WriteWav(Path("mic.wav"), channels == 2 ? Interleave(scene.mic[0], scene.mic[1]) : scene.mic[0],
           channels);

  const std::string farBranch =
      "filesrc location=" + Path("far.wav") + " ! wavparse ! orvoaecprobe name=e2efar ! ";
  const std::string micBranch = "filesrc location=" + Path("mic.wav") +
                                " ! wavparse ! orvoaecdsp probe=e2efar ! wavenc ! filesink "
                                "location=" +
                                Path("out.wav");
  if (onePipeline) {
    // The microphone side waits for far end that has not arrived yet, the probe for a
    // microphone side that lags: the result does not depend on thread timing.
    GstElement* both = Launch(farBranch + "queue ! fakesink " + micBranch);
    ASSERT_NE(both, nullptr);
    RunToEos(both);
    gst_element_set_state(both, GST_STATE_NULL);
    gst_object_unref(both);
  } else {
    // The far end plays through first; the probe keeps it.
    GstElement* far = Launch(farBranch + "fakesink");
    ASSERT_NE(far, nullptr);
    RunToEos(far);
    GstElement* mic = Launch(micBranch);
    ASSERT_NE(mic, nullptr);
    RunToEos(mic);
    gst_element_set_state(mic, GST_STATE_NULL);
    gst_element_set_state(far, GST_STATE_NULL);
    gst_object_unref(mic);
    gst_object_unref(far);
  }
  const std::vector<int16_t> gst = ReadWavMono(Path("out.wav"));
  ASSERT_EQ(gst.size(), samples);

  // The same samples for the command line, microphones extended by the processing delay.
  const int delay = orvo::Engine([](std::string_view) {}).ProcessingDelaySamples();
  std::vector<int16_t> mic1 = scene.mic[0], mic2 = scene.mic[1];
  mic1.resize(samples + delay);
  mic2.resize(samples + delay);
  WritePcm(Path("far.pcm"), scene.farEnd);
  WritePcm(Path("mic1.pcm"), mic1);
  WritePcm(Path("mic2.pcm"), mic2);
  std::string command = std::string("'") + ORVO_TEST_CLI_PATH + "' process --mic '" +
                        Path("mic1.pcm") + "' --ref '" + Path("far.pcm") + "' --out '" +
                        Path("cli.pcm") + "'";
  if (channels == 2) command += " --mic2 '" + Path("mic2.pcm") + "'";
  ASSERT_EQ(std::system((command + " >/dev/null 2>&1").c_str()), 0) << command;
  const std::vector<int16_t> cli = ReadPcm(Path("cli.pcm"));
  ASSERT_EQ(cli.size(), samples + delay);

  size_t differing = 0, firstDifference = samples;
  for (size_t n = 0; n < samples; ++n)
    if (gst[n] != cli[n + delay] && differing++ == 0) firstDifference = n;
  EXPECT_EQ(differing, 0u) << "first at sample " << firstDifference;
  // Something was really compared: the output is not silence (two microphones start later and
  // are suppressed harder in this scene).
  EXPECT_GT(std::count_if(gst.begin(), gst.end(), [](int16_t v) { return v != 0; }),
            static_cast<long>(samples / 20));
}

INSTANTIATE_TEST_SUITE_P(MicrophonesAndPipelines, OrvoAecEndToEnd,
                         ::testing::Combine(::testing::Values(1, 2), ::testing::Bool()));

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new orvo::gsttest::GstEnvironment);
  return RUN_ALL_TESTS();
}
