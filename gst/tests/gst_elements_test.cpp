// orvoaecprobe and orvoaecdsp through GstHarness and small pipelines: caps, framing, timestamps,
// end of stream, far-end alignment, probe pairing, latency, renegotiation, seeks, state changes.
#include <gst/audio/audio.h>
#include <gst/check/gstharness.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <tuple>

#include "gst/far_end_store.hpp"
#include "gst/tests/gst_test_support.hpp"

namespace {

using namespace orvo::gsttest;

std::string MicCaps(int channels, int rate = kRate, const char* format = "S16LE") {
  return "audio/x-raw,format=" + std::string(format) + ",rate=" + std::to_string(rate) +
         ",channels=" + std::to_string(channels) + ",layout=interleaved";
}

GstBuffer* MakeBuffer(const int16_t* samples, size_t values, GstClockTime pts,
                      GstClockTime duration) {
  GstBuffer* b = gst_buffer_new_allocate(nullptr, values * 2, nullptr);
  gst_buffer_fill(b, 0, samples, values * 2);
  GST_BUFFER_PTS(b) = pts;
  GST_BUFFER_DURATION(b) = duration;
  return b;
}

GstClockTime SampleTime(uint64_t n) {
  return gst_util_uint64_scale(n, GST_SECOND, kRate);
}

// Pushes `data` (interleaved, `channels`) in buffers whose sizes cycle through `sizes`,
// timestamped from `start` on.
void PushInPieces(GstHarness* h, const std::vector<int16_t>& data, int channels,
                  const std::vector<size_t>& sizes, GstClockTime start = 0) {
  const size_t frames = data.size() / channels;
  size_t at = 0, k = 0;
  while (at < frames) {
    const size_t n = std::min(sizes[k++ % sizes.size()], frames - at);
    ASSERT_EQ(gst_harness_push(
                  h, MakeBuffer(data.data() + at * channels, n * channels, start + SampleTime(at),
                                SampleTime(at + n) - SampleTime(at))),
              GST_FLOW_OK);
    at += n;
  }
}

struct Output {
  std::vector<int16_t> samples;
  std::vector<GstBuffer*> buffers;
  ~Output() {
    for (GstBuffer* b : buffers)
      gst_buffer_unref(b);
  }
};

void PullAll(GstHarness* h, Output& out) {
  while (GstBuffer* b = gst_harness_try_pull(h)) {
    GstMapInfo map;
    gst_buffer_map(b, &map, GST_MAP_READ);
    const auto* s = reinterpret_cast<const int16_t*>(map.data);
    out.samples.insert(out.samples.end(), s, s + map.size / 2);
    gst_buffer_unmap(b, &map);
    out.buffers.push_back(b);
  }
}

// Output timestamps start at `start`, each buffer continues the previous one, and durations
// match the sample counts.
void ExpectContinuous(const Output& out, GstClockTime start) {
  uint64_t samples = 0;
  for (size_t i = 0; i < out.buffers.size(); ++i) {
    GstBuffer* b = out.buffers[i];
    const uint64_t n = gst_buffer_get_size(b) / 2;
    EXPECT_EQ(GST_BUFFER_PTS(b), start + SampleTime(samples)) << "buffer " << i;
    EXPECT_EQ(GST_BUFFER_DURATION(b), SampleTime(samples + n) - SampleTime(samples))
        << "buffer " << i;
    EXPECT_EQ(GST_BUFFER_FLAG_IS_SET(b, GST_BUFFER_FLAG_DISCONT), i == 0) << "buffer " << i;
    samples += n;
  }
}

// A probe fed with the whole far end before the microphone arrives, so that results do not
// depend on thread timing.
struct FedProbe {
  GstHarness* h;
  FedProbe(const char* name, const std::vector<int16_t>& farEnd, GstClockTime start = 0,
           const GstSegment* segment = nullptr) {
    GstElement* probe = gst_element_factory_make("orvoaecprobe", name);
    h = gst_harness_new_with_element(probe, "sink", "src");
    gst_object_unref(probe);
    gst_harness_set_src_caps_str(h, MicCaps(1).c_str());
    if (segment) gst_harness_push_event(h, gst_event_new_segment(segment));
    PushInPieces(h, farEnd, 1, {1024}, start);
    // Passed through unchanged.
    Output out;
    PullAll(h, out);
    EXPECT_EQ(out.samples, farEnd);
    // The far end has ended: readers need not wait for more.
    gst_harness_push_event(h, gst_event_new_eos());
  }
  ~FedProbe() { gst_harness_teardown(h); }
};

GstHarness* NewDsp(const char* probeName = nullptr, int channels = 1) {
  GstElement* dsp = gst_element_factory_make("orvoaecdsp", nullptr);
  if (probeName) g_object_set(dsp, "probe", probeName, nullptr);
  GstHarness* h = gst_harness_new_with_element(dsp, "sink", "src");
  gst_object_unref(dsp);
  gst_harness_set_src_caps_str(h, MicCaps(channels).c_str());
  return h;
}

// ---------------------------------------------------------------------------------------------

TEST(OrvoAecCaps, AcceptsMonoAndStereoS16At48kAndOffersMonoOut) {
  for (int channels : {1, 2}) {
    GstHarness* h = NewDsp(nullptr, channels);
    std::vector<int16_t> zeros(kFrame * channels);
    ASSERT_EQ(gst_harness_push(h, MakeBuffer(zeros.data(), zeros.size(), 0, SampleTime(kFrame))),
              GST_FLOW_OK);
    GstCaps* out = gst_pad_get_current_caps(h->sinkpad);
    ASSERT_NE(out, nullptr);
    GstAudioInfo info;
    ASSERT_TRUE(gst_audio_info_from_caps(&info, out));
    EXPECT_EQ(GST_AUDIO_INFO_CHANNELS(&info), 1);
    EXPECT_EQ(GST_AUDIO_INFO_RATE(&info), kRate);
    EXPECT_EQ(GST_AUDIO_INFO_FORMAT(&info), GST_AUDIO_FORMAT_S16LE);
    gst_caps_unref(out);
    gst_harness_teardown(h);
  }
}

TEST(OrvoAecCaps, RefusesOtherRatesFormatsAndChannelCounts) {
  GstElement* dsp = gst_element_factory_make("orvoaecdsp", nullptr);
  GstElement* probe = gst_element_factory_make("orvoaecprobe", nullptr);
  GstPad* dspSink = gst_element_get_static_pad(dsp, "sink");
  GstPad* probeSink = gst_element_get_static_pad(probe, "sink");
  for (const std::string& bad : {MicCaps(1, 44100), MicCaps(1, 16000), MicCaps(1, kRate, "F32LE"),
                                 MicCaps(1, kRate, "S16BE"), MicCaps(3), MicCaps(2, 44100)}) {
    GstCaps* caps = gst_caps_from_string(bad.c_str());
    EXPECT_FALSE(gst_pad_query_accept_caps(dspSink, caps)) << bad;
    EXPECT_FALSE(gst_pad_query_accept_caps(probeSink, caps)) << bad;
    gst_caps_unref(caps);
  }
  GstCaps* stereo = gst_caps_from_string(MicCaps(2).c_str());
  EXPECT_TRUE(gst_pad_query_accept_caps(dspSink, stereo));
  EXPECT_FALSE(gst_pad_query_accept_caps(probeSink, stereo));  // the far end is one channel
  gst_caps_unref(stereo);
  gst_object_unref(dspSink);
  gst_object_unref(probeSink);
  gst_object_unref(dsp);
  gst_object_unref(probe);

  // Buffers in a refused format do not get through.
  GstHarness* h = gst_harness_new("orvoaecdsp");
  gst_harness_set_src_caps_str(h, MicCaps(1, 44100).c_str());
  std::vector<int16_t> zeros(kFrame);
  EXPECT_EQ(gst_harness_push(h, MakeBuffer(zeros.data(), zeros.size(), 0, SampleTime(kFrame))),
            GST_FLOW_NOT_NEGOTIATED);
  gst_harness_teardown(h);
}

TEST(OrvoAecCaps, OffersNothingWhenDownstreamCannotTakeMono) {
  GstHarness* h = gst_harness_new("orvoaecdsp");
  gst_harness_set_sink_caps_str(h, MicCaps(2).c_str());
  GstCaps* offered = gst_pad_peer_query_caps(h->srcpad, nullptr);
  EXPECT_TRUE(gst_caps_is_empty(offered));
  gst_caps_unref(offered);
  gst_harness_teardown(h);
}

// Odd buffer sizes, one and two microphones: every input sample comes out once, in order, as
// the engine processes whole frames; timestamps continue without gaps; the partial last frame's
// padding is not in the output.
class OrvoAecFraming : public ::testing::TestWithParam<int> {};

TEST_P(OrvoAecFraming, OddBufferSizesGiveTheFrameExactOutputWithContinuousTimestamps) {
  const int channels = GetParam();
  // Long enough for the two-microphone output to start (about 27 frames in).
  const size_t samples = 12 * 4800 + 1234;  // ends in a partial frame
  Scene scene = MakeScene(samples);
  const std::vector<int16_t> mic =
      channels == 2 ? Interleave(scene.mic[0], scene.mic[1]) : scene.mic[0];
  FedProbe probe("far", scene.farEnd);
  GstHarness* h = NewDsp("far", channels);
  PushInPieces(h, mic, channels, {1, 479, 961, 4800});
  ASSERT_TRUE(gst_harness_push_event(h, gst_event_new_eos()));
  Output out;
  PullAll(h, out);
  EXPECT_EQ(out.samples.size(), samples);
  EXPECT_EQ(out.samples, ExpectedOutput({{channels, mic}}, scene.farEnd));
  ExpectContinuous(out, 0);
  ASSERT_FALSE(out.buffers.empty());
  GstBuffer* last = out.buffers.back();
  EXPECT_EQ(GST_BUFFER_PTS(last) + GST_BUFFER_DURATION(last), SampleTime(samples));
  gst_harness_teardown(h);
}

INSTANTIATE_TEST_SUITE_P(Channels, OrvoAecFraming, ::testing::Values(1, 2));

TEST(OrvoAecFraming, ShortTimestampGapIsFilledWithSilence) {
  const size_t gap = 3000;  // 62.5 ms of lost capture
  Scene scene = MakeScene(2000 + gap, 4);
  std::vector<int16_t> before(scene.mic[0].begin(), scene.mic[0].begin() + 1000);
  std::vector<int16_t> after(scene.mic[0].begin() + 1000, scene.mic[0].begin() + 2000);
  FedProbe probe("far", scene.farEnd);
  GstHarness* h = NewDsp("far");
  PushInPieces(h, before, 1, {500});
  PushInPieces(h, after, 1, {500}, SampleTime(1000 + gap));
  gst_harness_push_event(h, gst_event_new_eos());
  Output out;
  PullAll(h, out);
  std::vector<int16_t> filled = before;
  filled.resize(1000 + gap);
  filled.insert(filled.end(), after.begin(), after.end());
  EXPECT_EQ(out.samples, ExpectedOutput({{1, filled}}, scene.farEnd));
  ExpectContinuous(out, 0);
  gst_harness_teardown(h);
}

TEST(OrvoAecFraming, OutputIsTheInputDelayedByNothing) {
  // With the far end silent and no suppression of a clean tone, the output lines up with the
  // input: the element has removed the engine's processing delay from the timeline.
  const size_t samples = 48000;
  std::vector<int16_t> mic(samples);
  for (size_t n = 0; n < samples; ++n)
    mic[n] = static_cast<int16_t>(8000 * std::sin(2 * 3.14159265 * 300 * n / kRate) *
                                  ((n / 4800) % 2 == 0 ? 1 : 0));
  GstElement* dsp = gst_element_factory_make("orvoaecdsp", nullptr);
  g_object_set(dsp, "probe", "none-here", "denoise-mode", 0, nullptr);
  GstHarness* h = gst_harness_new_with_element(dsp, "sink", "src");
  gst_object_unref(dsp);
  gst_harness_set_src_caps_str(h, MicCaps(1).c_str());
  PushInPieces(h, mic, 1, {480});
  gst_harness_push_event(h, gst_event_new_eos());
  Output out;
  PullAll(h, out);
  ASSERT_EQ(out.samples.size(), samples);
  // Lag of the best match between input and output envelopes, searched over +-50 ms.
  auto energyAt = [&](const std::vector<int16_t>& x, int64_t lag) {
    double sum = 0;
    for (size_t n = 9600; n + 2400 < samples; ++n) {
      const int64_t m = static_cast<int64_t>(n) + lag;
      sum += static_cast<double>(x[m]) * mic[n];
    }
    return sum;
  };
  int64_t best = 0;
  double bestValue = -1e300;
  for (int64_t lag = -2400; lag <= 2400; lag += 1) {
    const double v = energyAt(out.samples, lag);
    if (v > bestValue) bestValue = v, best = lag;
  }
  EXPECT_LE(std::abs(best), 2) << "output lags the input by " << best << " samples";
  gst_harness_teardown(h);
}

TEST(OrvoAecFarEnd, AlignedByRunningTimeNotByTimestamp) {
  const size_t samples = 8 * kFrame + 100;
  Scene scene = MakeScene(samples, 7);
  // The far end starts 100 ms (4800 samples) of running time after the microphone; the
  // microphone's timestamps start at 5 s inside a segment that starts there (running time 0).
  std::vector<int16_t> farEnd(scene.farEnd.begin(), scene.farEnd.end() - 4800);
  FedProbe probe("far", farEnd, SampleTime(4800));
  GstHarness* h = NewDsp("far");
  GstSegment segment;
  gst_segment_init(&segment, GST_FORMAT_TIME);
  segment.start = segment.time = 5 * GST_SECOND;
  gst_harness_push_event(h, gst_event_new_segment(&segment));
  PushInPieces(h, scene.mic[0], 1, {960}, 5 * GST_SECOND);
  gst_harness_push_event(h, gst_event_new_eos());
  Output out;
  PullAll(h, out);
  ExpectContinuous(out, 5 * GST_SECOND);
  EXPECT_EQ(out.samples, ExpectedOutput({{1, scene.mic[0]}}, farEnd, -4800));
  // And it differs from a pairing by sample index, so the test can tell the two apart.
  EXPECT_NE(out.samples, ExpectedOutput({{1, scene.mic[0]}}, farEnd, 0));
  gst_harness_teardown(h);
}

TEST(OrvoAecFarEnd, MissingProbeMeansSilentFarEndAndOneWarning) {
  const size_t samples = 6 * kFrame;
  Scene scene = MakeScene(samples, 3);
  FedProbe other("other", scene.farEnd);  // present, but not the one asked for
  GstHarness* h = NewDsp("absent");
  GstBus* bus = gst_bus_new();
  gst_element_set_bus(h->element, bus);
  PushInPieces(h, scene.mic[0], 1, {700});
  gst_harness_push_event(h, gst_event_new_eos());
  Output out;
  PullAll(h, out);
  EXPECT_EQ(out.samples, ExpectedOutput({{1, scene.mic[0]}}, {}));
  int warnings = 0;
  while (GstMessage* m = gst_bus_pop_filtered(bus, GST_MESSAGE_WARNING)) {
    GError* err = nullptr;
    gst_message_parse_warning(m, &err, nullptr);
    EXPECT_NE(std::strstr(err->message, "absent"), nullptr) << err->message;
    g_error_free(err);
    gst_message_unref(m);
    ++warnings;
  }
  EXPECT_EQ(warnings, 1);
  gst_element_set_bus(h->element, nullptr);
  gst_object_unref(bus);
  gst_harness_teardown(h);
}

TEST(OrvoAecFarEnd, TwoPairsDoNotMixAndTheDefaultIsTheFirstProbe) {
  const size_t samples = 6 * kFrame;
  Scene a = MakeScene(samples, 11), b = MakeScene(samples, 12);
  FedProbe probeA("farA", a.farEnd);
  FedProbe probeB("farB", b.farEnd);
  GstHarness* dspA = NewDsp("farA");
  GstHarness* dspB = NewDsp("farB");
  GstHarness* dspDefault = NewDsp(nullptr);
  for (GstHarness* h : {dspA, dspB, dspDefault}) {
    PushInPieces(h, h == dspB ? b.mic[0] : a.mic[0], 1, {480});
    gst_harness_push_event(h, gst_event_new_eos());
  }
  Output outA, outB, outDefault;
  PullAll(dspA, outA);
  PullAll(dspB, outB);
  PullAll(dspDefault, outDefault);
  EXPECT_EQ(outA.samples, ExpectedOutput({{1, a.mic[0]}}, a.farEnd));
  EXPECT_EQ(outB.samples, ExpectedOutput({{1, b.mic[0]}}, b.farEnd));
  EXPECT_EQ(outDefault.samples, outA.samples);
  for (GstHarness* h : {dspA, dspB, dspDefault})
    gst_harness_teardown(h);
}

TEST(OrvoAecLatency, ReportsFramingPlusTheEngineDelay) {
  for (int denoise : {0, 1}) {
    GstElement* dsp = gst_element_factory_make("orvoaecdsp", nullptr);
    g_object_set(dsp, "denoise-mode", denoise, nullptr);
    GstHarness* h = gst_harness_new_with_element(dsp, "sink", "src");
    gst_object_unref(dsp);
    gst_harness_set_src_caps_str(h, MicCaps(1).c_str());
    gst_harness_set_upstream_latency(h, 10 * GST_MSECOND);
    orvo::Engine engine([](std::string_view) {});
    engine.SetDenoiseMode(denoise);
    const GstClockTime own =
        gst_util_uint64_scale_ceil(kFrame + engine.ProcessingDelaySamples(), GST_SECOND, kRate);
    EXPECT_EQ(gst_harness_query_latency(h), 10 * GST_MSECOND + own) << "denoise " << denoise;
    gst_harness_teardown(h);
  }
}

TEST(OrvoAecRenegotiation, OneToTwoMicrophonesMidStreamKeepsEverySample) {
  Scene scene = MakeScene(3000 + 40 * kFrame, 5);
  Chunk first{1, std::vector<int16_t>(scene.mic[0].begin(), scene.mic[0].begin() + 3000)};
  Chunk second{2,
               Interleave(std::vector<int16_t>(scene.mic[0].begin() + 3000, scene.mic[0].end()),
                          std::vector<int16_t>(scene.mic[1].begin() + 3000, scene.mic[1].end()))};
  FedProbe probe("far", scene.farEnd);
  GstHarness* h = NewDsp("far", 1);
  PushInPieces(h, first.samples, 1, {700});
  gst_harness_set_src_caps_str(h, MicCaps(2).c_str());
  PushInPieces(h, second.samples, 2, {700}, SampleTime(3000));
  gst_harness_push_event(h, gst_event_new_eos());
  Output out;
  PullAll(h, out);
  EXPECT_EQ(out.samples.size(), 3000u + 40 * kFrame);
  EXPECT_EQ(out.samples, ExpectedOutput({first, second}, scene.farEnd));
  ExpectContinuous(out, 0);
  gst_harness_teardown(h);
}

TEST(OrvoAecState, DoubleTalkAndSelectedMicMessagesFollowTheEngine) {
  const size_t samples = 150 * kFrame;
  Scene scene = MakeScene(samples, 9);
  // The second microphone carries a loud near-end talker for a while: a reason to switch.
  for (size_t n = 40 * kFrame; n < 100 * kFrame; ++n)
    scene.mic[1][n] = static_cast<int16_t>(
        std::clamp(scene.mic[1][n] + 12000 * std::sin(2 * 3.14159265 * 250 * n / kRate) *
                                         std::sin(2 * 3.14159265 * 3 * n / kRate),
                   -32768.0, 32767.0));
  const std::vector<int16_t> mic = Interleave(scene.mic[0], scene.mic[1]);
  std::vector<std::pair<bool, int>> states;
  ExpectedOutput({{2, mic}}, scene.farEnd, 0, 1, &states);
  std::vector<std::pair<bool, int>> changes;
  std::pair<bool, int> last{false, 0};
  for (const auto& st : states)
    if (st != last) changes.push_back(last = st);
  ASSERT_FALSE(changes.empty()) << "the scene must make the engine change its state";

  FedProbe probe("far", scene.farEnd);
  GstHarness* h = NewDsp("far", 2);
  GstBus* bus = gst_bus_new();
  gst_element_set_bus(h->element, bus);
  PushInPieces(h, mic, 2, {4800 * 2});
  gst_harness_push_event(h, gst_event_new_eos());
  std::vector<std::pair<bool, int>> posted;
  while (GstMessage* m = gst_bus_pop_filtered(bus, GST_MESSAGE_ELEMENT)) {
    const GstStructure* st = gst_message_get_structure(m);
    if (gst_structure_has_name(st, "orvoaecdsp")) {
      gboolean dt;
      gint mic;
      ASSERT_TRUE(gst_structure_get_boolean(st, "double-talk", &dt));
      ASSERT_TRUE(gst_structure_get_int(st, "selected-mic", &mic));
      posted.push_back({dt != FALSE, mic});
    }
    gst_message_unref(m);
  }
  EXPECT_EQ(posted, changes);
  gboolean dt;
  gint selected;
  g_object_get(h->element, "double-talk", &dt, "selected-mic", &selected, nullptr);
  EXPECT_EQ(std::make_pair(dt != FALSE, selected), states.back());
  gst_element_set_bus(h->element, nullptr);
  gst_object_unref(bus);
  gst_harness_teardown(h);
}

TEST(OrvoAecState, ConfigAndDenoiseModeApplyAtStartAndAreCheckedThere) {
  GstElement* dsp = gst_element_factory_make("orvoaecdsp", nullptr);
  g_object_set(dsp, "config", "/nonexistent/config.yml", nullptr);
  EXPECT_EQ(gst_element_set_state(dsp, GST_STATE_PAUSED), GST_STATE_CHANGE_FAILURE);
  gst_element_set_state(dsp, GST_STATE_NULL);
  g_object_set(dsp, "config", nullptr, nullptr);
  ASSERT_NE(gst_element_set_state(dsp, GST_STATE_PAUSED), GST_STATE_CHANGE_FAILURE);
  g_object_set(dsp, "denoise-mode", 0, nullptr);  // ignored while running
  gint mode;
  g_object_get(dsp, "denoise-mode", &mode, nullptr);
  EXPECT_EQ(mode, 1);
  gst_element_set_state(dsp, GST_STATE_NULL);
  gst_object_unref(dsp);
}

// ---------------------------------------------------------------------------------------------
// The far-end store behind the probe

std::vector<int16_t> Ramp(int16_t from, size_t n) {
  std::vector<int16_t> v(n);
  for (size_t i = 0; i < n; ++i)
    v[i] = static_cast<int16_t>(from + static_cast<int>(i));
  return v;
}

TEST(FarEndStore, ReadsByPositionWithSilenceAroundAndInGaps) {
  orvo::gstplugin::FarEndStore store(1000);
  std::vector<int16_t> out(10);
  EXPECT_EQ(store.Read(0, out.data(), 10), 0u);  // nothing yet
  const auto a = Ramp(1, 100), b = Ramp(500, 100);
  store.Write(200, a.data(), a.size());
  store.Write(300 + 30, b.data(), b.size());  // within 1 ms (48 samples): continues
  store.Write(400 + 60, a.data(), a.size());  // 60 samples later: a silent gap
  EXPECT_EQ(store.Read(195, out.data(), 10), 5u);
  EXPECT_EQ(out, (std::vector<int16_t>{0, 0, 0, 0, 0, 1, 2, 3, 4, 5}));
  EXPECT_EQ(store.Read(298, out.data(), 4), 4u);
  EXPECT_EQ(std::vector<int16_t>(out.begin(), out.begin() + 4),
            (std::vector<int16_t>{99, 100, 500, 501}));
  EXPECT_EQ(store.Read(398, out.data(), 4), 4u);
  EXPECT_EQ(std::vector<int16_t>(out.begin(), out.begin() + 4),
            (std::vector<int16_t>{598, 599, 0, 0}));
  EXPECT_EQ(store.Read(458, out.data(), 4), 4u);
  EXPECT_EQ(std::vector<int16_t>(out.begin(), out.begin() + 4), (std::vector<int16_t>{0, 0, 1, 2}));
}

TEST(FarEndStore, KeepsOnlyTheNewestCapacityAndRestartsOnAJumpBack) {
  orvo::gstplugin::FarEndStore store(256);
  const auto a = Ramp(0, 300);
  store.Write(0, a.data(), a.size());
  std::vector<int16_t> out(4);
  EXPECT_EQ(store.Read(42, out.data(), 4), 2u);  // 0..43 are gone; 44 and 45 kept
  EXPECT_EQ(out, (std::vector<int16_t>{0, 0, 44, 45}));
  const auto b = Ramp(1000, 10);
  store.Write(100, b.data(), b.size());  // far before the end: a new start
  EXPECT_EQ(store.Read(100, out.data(), 4), 4u);
  EXPECT_EQ(out, (std::vector<int16_t>{1000, 1001, 1002, 1003}));
  EXPECT_EQ(store.Read(200, out.data(), 4), 0u);
  store.Clear();
  EXPECT_EQ(store.Read(100, out.data(), 4), 0u);
}

TEST(FarEndStore, PacedWriterWaitsForTheReaderAndWaitingReaderForTheWriter) {
  orvo::gstplugin::FarEndStore store(1000);
  std::atomic<bool> cancel{false};
  store.AttachReader();
  const auto block = Ramp(0, 500);
  store.WritePaced(0, block.data(), 500, std::chrono::milliseconds(2000), cancel);
  store.WritePaced(500, block.data(), 500, std::chrono::milliseconds(2000), cancel);
  // A third block would overwrite samples 0..499 that nobody has read: it waits for the reader.
  std::thread writer(
      [&] { store.WritePaced(1000, block.data(), 500, std::chrono::milliseconds(2000), cancel); });
  std::vector<int16_t> out(500);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(store.Read(0, out.data(), 500), 500u);  // still there
  EXPECT_EQ(out, block);
  EXPECT_EQ(store.Read(500, out.data(), 500), 500u);  // moves on: the writer may go on
  writer.join();
  // A reader asking for what is not written yet is served once it arrives.
  std::thread late([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    store.Write(1500, block.data(), 500);
  });
  EXPECT_EQ(store.ReadWhenAvailable(1500, out.data(), 500, std::chrono::milliseconds(2000), cancel),
            500u);
  late.join();
  // Once the far end has ended the reader does not wait.
  store.SetEnded();
  EXPECT_EQ(store.ReadWhenAvailable(5000, out.data(), 10, std::chrono::milliseconds(5000), cancel),
            0u);
  store.DetachReader();
}

// ---------------------------------------------------------------------------------------------
// Pipelines

GstMessage* RunToEnd(GstElement* pipeline) {
  GstBus* bus = gst_element_get_bus(pipeline);
  GstMessage* m = gst_bus_timed_pop_filtered(
      bus, 20 * GST_SECOND, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  gst_object_unref(bus);
  return m;
}

TEST(OrvoAecPipeline, StateCyclesNullPlayingNullRepeatedly) {
  GError* error = nullptr;
  GstElement* pipeline = gst_parse_launch(
      "audiotestsrc num-buffers=30 samplesperbuffer=777 wave=pink-noise ! "
      "audio/x-raw,rate=48000,channels=1,format=S16LE ! orvoaecprobe name=p ! fakesink "
      "audiotestsrc num-buffers=30 samplesperbuffer=500 ! audio/x-raw,rate=48000,channels=2,"
      "format=S16LE ! orvoaecdsp probe=p ! fakesink",
      &error);
  ASSERT_NE(pipeline, nullptr) << (error ? error->message : "");
  for (int round = 0; round < 5; ++round) {
    ASSERT_NE(gst_element_set_state(pipeline, GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    if (round % 2 == 0) {  // every other round ends mid-stream
      GstMessage* m = RunToEnd(pipeline);
      ASSERT_NE(m, nullptr);
      EXPECT_EQ(GST_MESSAGE_TYPE(m), GST_MESSAGE_EOS);
      gst_message_unref(m);
    }
    ASSERT_EQ(gst_element_set_state(pipeline, GST_STATE_NULL), GST_STATE_CHANGE_SUCCESS);
  }
  gst_object_unref(pipeline);
}

// What left the DSP element since the last flush.
struct Seen {
  std::mutex mutex;
  std::vector<std::tuple<GstClockTime, GstClockTime, bool, uint64_t>>
      buffers;  // pts, dur, discont, n
};

GstPadProbeReturn Watch(GstPad*, GstPadProbeInfo* info, gpointer data) {
  auto* seen = static_cast<Seen*>(data);
  std::lock_guard<std::mutex> lock(seen->mutex);
  if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER) {
    GstBuffer* b = GST_PAD_PROBE_INFO_BUFFER(info);
    seen->buffers.emplace_back(GST_BUFFER_PTS(b), GST_BUFFER_DURATION(b),
                               GST_BUFFER_FLAG_IS_SET(b, GST_BUFFER_FLAG_DISCONT),
                               gst_buffer_get_size(b) / 2);
  } else if (GST_EVENT_TYPE(GST_PAD_PROBE_INFO_EVENT(info)) == GST_EVENT_FLUSH_STOP) {
    seen->buffers.clear();
  }
  return GST_PAD_PROBE_OK;
}

TEST(OrvoAecPipeline, FlushingSeekRestartsCleanlyAtTheNewPosition) {
  GError* error = nullptr;
  GstElement* pipeline = gst_parse_launch(
      "audiotestsrc samplesperbuffer=441 ! audio/x-raw,rate=48000,channels=1,format=S16LE ! "
      "orvoaecdsp name=d ! fakesink sync=false",
      &error);
  ASSERT_NE(pipeline, nullptr) << (error ? error->message : "");
  GstElement* dsp = gst_bin_get_by_name(GST_BIN(pipeline), "d");
  GstPad* src = gst_element_get_static_pad(dsp, "src");
  Seen seen;
  gst_pad_add_probe(
      src, static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_FLUSH),
      Watch, &seen, nullptr);
  ASSERT_NE(gst_element_set_state(pipeline, GST_STATE_PAUSED), GST_STATE_CHANGE_FAILURE);
  ASSERT_EQ(gst_element_get_state(pipeline, nullptr, nullptr, 10 * GST_SECOND),
            GST_STATE_CHANGE_SUCCESS);
  ASSERT_TRUE(gst_element_seek(pipeline, 1.0, GST_FORMAT_TIME, GST_SEEK_FLAG_FLUSH,
                               GST_SEEK_TYPE_SET, GST_SECOND, GST_SEEK_TYPE_SET, 2 * GST_SECOND));
  ASSERT_NE(gst_element_set_state(pipeline, GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
  GstMessage* m = RunToEnd(pipeline);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(GST_MESSAGE_TYPE(m), GST_MESSAGE_EOS);
  gst_message_unref(m);
  {
    std::lock_guard<std::mutex> lock(seen.mutex);
    ASSERT_FALSE(seen.buffers.empty());
    uint64_t total = 0;
    for (size_t i = 0; i < seen.buffers.size(); ++i) {
      const auto& [pts, dur, discont, n] = seen.buffers[i];
      EXPECT_EQ(pts, GST_SECOND + SampleTime(total)) << "buffer " << i;
      EXPECT_EQ(dur, SampleTime(total + n) - SampleTime(total)) << "buffer " << i;
      EXPECT_EQ(discont, i == 0) << "buffer " << i;
      total += n;
    }
    EXPECT_EQ(total, static_cast<uint64_t>(kRate));  // exactly the second asked for
  }
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(src);
  gst_object_unref(dsp);
  gst_object_unref(pipeline);
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new orvo::gsttest::GstEnvironment);
  return RUN_ALL_TESTS();
}
