#include "gst/orvoaec_dsp.hpp"

#include <gst/audio/audio.h>
#include <gst/base/gstadapter.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "gst/far_end_store.hpp"
#include "orvoaec/engine.hpp"

GST_DEBUG_CATEGORY_STATIC(orvoaec_dsp_debug);
#define GST_CAT_DEFAULT orvoaec_dsp_debug

namespace {

using orvo::gstplugin::FarEndStore;
using orvo::gstplugin::kSampleRate;

constexpr int kFrame = orvo::Engine::kFrameSamples;
constexpr int kDefaultDenoiseMode = 1;
// Input timestamps this close to the expected ones count as continuous.
constexpr GstClockTime kTimestampTolerance = 10 * GST_MSECOND;
// Longer gaps in the input are not filled with silence: the stream restarts there.
constexpr GstClockTime kLongestFilledGap = GST_SECOND;
// How often (in frames) a missing probe is looked for again.
constexpr int kProbeRetryFrames = 50;
// Pipelines that are not live: how long a frame waits for the far end to arrive while the
// probe keeps writing.
constexpr std::chrono::milliseconds kFarEndPatience{200};

constexpr const char* kSinkCaps =
    "audio/x-raw, format = (string) S16LE, rate = (int) 48000, channels = (int) [ 1, 2 ], "
    "layout = (string) interleaved";
constexpr const char* kSrcCaps =
    "audio/x-raw, format = (string) S16LE, rate = (int) 48000, channels = (int) 1, "
    "layout = (string) interleaved";

enum {
  PROP_0,
  PROP_PROBE,
  PROP_CONFIG,
  PROP_DENOISE_MODE,
  PROP_DOUBLE_TALK,
  PROP_SELECTED_MIC,
};

// A run of engine input samples that are either real input or padding. The queue of runs,
// which starts with the engine's processing delay as padding, describes the engine's output
// sample by sample: real samples go downstream, padding is dropped.
struct Run {
  int64_t length;
  bool real;
};

// Everything the streaming thread owns between READY->PAUSED and PAUSED->READY.
struct Stream {
  std::unique_ptr<orvo::Engine> engine;
  GstAdapter* adapter = nullptr;
  int channels = 0;  // 0 until the caps arrive
  GstSegment segment;

  bool haveBase = false;
  GstClockTime baseTime = 0;  // timestamp of the first sample since the (re)start
  uint64_t received = 0;      // samples since the base that entered the adapter
  uint64_t fed = 0;           // samples since the base that entered the engine
  uint64_t sent = 0;          // samples since the base that went downstream
  bool discont = true;

  std::deque<Run> runs;
  int64_t lastPosition = 0;  // far-end position of the last frame

  std::mutex storeMutex;  // guards `store` against the flush thread's wake-up
  std::shared_ptr<FarEndStore> store;
  std::atomic<bool> cancel{false};  // flushing or stopping: do not wait for the far end
  bool liveKnown = false;
  bool live = true;
  uint64_t stalledAt = ~uint64_t{0};  // far-end write count when waiting last gave up
  std::string storeFor;               // probe name the store was looked up for
  bool lookedUp = false;
  bool warnedMissing = false;
  int retryCountdown = 0;

  bool doubleTalk = false;
  int selectedMic = 0;

  std::vector<int16_t> mic = std::vector<int16_t>(2 * kFrame);
  std::vector<int16_t> ref = std::vector<int16_t>(kFrame);
  std::vector<int16_t> out = std::vector<int16_t>(kFrame);
  std::vector<int16_t> pending;  // output collected for the next buffer

  ~Stream() {
    if (adapter != nullptr) g_object_unref(adapter);
    if (store) store->DetachReader();
  }
};

}  // namespace

struct _GstOrvoAecDsp {
  GstElement parent;
  GstPad* sinkpad;
  GstPad* srcpad;

  // Properties, under the object lock.
  gchar* probeName;
  gchar* configPath;
  gint denoiseMode;
  // Read-only state published by the streaming thread.
  gint doubleTalk;    // atomic
  gint selectedMic;   // atomic
  gint delaySamples;  // atomic; the engine's processing delay, for the latency query

  Stream* stream;  // streaming thread's state, null outside PAUSED/PLAYING
};

G_DEFINE_TYPE(GstOrvoAecDsp, gst_orvoaec_dsp, GST_TYPE_ELEMENT)
GST_ELEMENT_REGISTER_DEFINE(orvoaecdsp, "orvoaecdsp", GST_RANK_NONE, GST_TYPE_ORVOAEC_DSP)

static GstStaticPadTemplate sink_template =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS(kSinkCaps));
static GstStaticPadTemplate src_template =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS(kSrcCaps));

// ---------------------------------------------------------------------------------------------
// Engine set-up

// Builds a fresh engine with the element's settings. Fails (with an error posted) when the
// configuration file cannot be used.
static std::unique_ptr<orvo::Engine> make_engine(GstOrvoAecDsp* self) {
  GST_OBJECT_LOCK(self);
  const std::string config = self->configPath != nullptr ? self->configPath : "";
  const int denoiseMode = self->denoiseMode;
  GST_OBJECT_UNLOCK(self);

  // Log lines go to the debug log; while the configuration loads they are also collected, so
  // that a rejected file can be reported with the loader's own words.
  auto collected = std::make_shared<std::string>();
  auto collecting = std::make_shared<bool>(false);
  auto engine = std::make_unique<orvo::Engine>([self, collected, collecting](std::string_view t) {
    std::string_view line = t;
    while (!line.empty() && line.back() == '\n')
      line.remove_suffix(1);
    GST_INFO_OBJECT(self, "%.*s", static_cast<int>(line.size()), line.data());
    if (*collecting) collected->append(t);
  });
  engine->SetDenoiseMode(denoiseMode);
  if (!config.empty()) {
    if (!g_file_test(config.c_str(), G_FILE_TEST_IS_REGULAR)) {
      GST_ELEMENT_ERROR(self, RESOURCE, NOT_FOUND,
                        ("Configuration file \"%s\" not found.", config.c_str()), (nullptr));
      return nullptr;
    }
    *collecting = true;
    engine->LoadConfigFile(config);
    *collecting = false;
    if (collected->find("Configuration not loaded") != std::string::npos) {
      GST_ELEMENT_ERROR(self, RESOURCE, READ,
                        ("Configuration file \"%s\" could not be used.", config.c_str()),
                        ("%s", collected->c_str()));
      return nullptr;
    }
  }
  g_atomic_int_set(&self->delaySamples, engine->ProcessingDelaySamples());
  return engine;
}

// Forgets all timing and buffered samples; the engine's delay becomes leading padding again.
static void reset_timeline(Stream& s) {
  if (s.adapter != nullptr) gst_adapter_clear(s.adapter);
  s.haveBase = false;
  s.baseTime = 0;
  s.received = s.fed = s.sent = 0;
  s.discont = true;
  s.runs.clear();
  if (s.engine) s.runs.push_back({s.engine->ProcessingDelaySamples(), false});
  s.lastPosition = 0;
  s.pending.clear();
  s.liveKnown = false;
  s.stalledAt = ~uint64_t{0};
  s.cancel = false;
}

// ---------------------------------------------------------------------------------------------
// Frame processing

static void resolve_store(GstOrvoAecDsp* self, Stream& s) {
  GST_OBJECT_LOCK(self);
  const std::string name = self->probeName != nullptr ? self->probeName : "";
  GST_OBJECT_UNLOCK(self);
  const bool stale = !s.lookedUp || name != s.storeFor || (s.store && s.store->Closed());
  if (!stale && (s.store || s.retryCountdown-- > 0)) return;
  {
    auto found = orvo::gstplugin::probe_registry::Find(name.empty() ? nullptr : name.c_str());
    if (found != s.store) {
      if (found) found->AttachReader();
      if (s.store) s.store->DetachReader();
    }
    std::lock_guard<std::mutex> lock(s.storeMutex);
    s.store = std::move(found);
  }
  s.storeFor = name;
  s.lookedUp = true;
  s.retryCountdown = kProbeRetryFrames;
  if (!s.store && !s.warnedMissing) {
    s.warnedMissing = true;
    if (name.empty())
      GST_ELEMENT_WARNING(self, STREAM, FAILED, ("No orvoaecprobe element found."),
                          ("processing against a silent far end until a probe appears"));
    else
      GST_ELEMENT_WARNING(self, STREAM, FAILED,
                          ("No orvoaecprobe element named \"%s\".", name.c_str()),
                          ("processing against a silent far end until it appears"));
  } else if (s.store) {
    s.warnedMissing = false;
  }
}

// Far-end position of the next frame: its first real sample's running time, or straight on from
// the previous frame when it holds padding only or its time lies outside the segment.
static int64_t frame_position(const Stream& s, int realSamples) {
  if (realSamples > 0) {
    const GstClockTime pts = s.baseTime + gst_util_uint64_scale(s.fed, GST_SECOND, kSampleRate);
    GstClockTime rt = pts;
    if (s.segment.format == GST_FORMAT_TIME)
      rt = gst_segment_to_running_time(&s.segment, GST_FORMAT_TIME, pts);
    if (GST_CLOCK_TIME_IS_VALID(rt)) return orvo::gstplugin::RunningTimeToPosition(rt);
  }
  return s.lastPosition + kFrame;
}

static void publish_state(GstOrvoAecDsp* self, Stream& s, bool doubleTalk, int selectedMic,
                          int64_t position) {
  if (doubleTalk == s.doubleTalk && selectedMic == s.selectedMic) return;
  const bool talkChanged = doubleTalk != s.doubleTalk;
  const bool micChanged = selectedMic != s.selectedMic;
  s.doubleTalk = doubleTalk;
  s.selectedMic = selectedMic;
  g_atomic_int_set(&self->doubleTalk, doubleTalk ? 1 : 0);
  g_atomic_int_set(&self->selectedMic, selectedMic);
  const GstClockTime rt = gst_util_uint64_scale(
      static_cast<guint64>(std::max<int64_t>(position, 0)), GST_SECOND, kSampleRate);
  GstStructure* st =
      gst_structure_new("orvoaecdsp", "double-talk", G_TYPE_BOOLEAN, doubleTalk, "selected-mic",
                        G_TYPE_INT, selectedMic, "running-time", G_TYPE_UINT64, rt, nullptr);
  GST_DEBUG_OBJECT(self, "double talk %d%s, selected microphone %d%s", doubleTalk,
                   talkChanged ? " (changed)" : "", selectedMic, micChanged ? " (changed)" : "");
  gst_element_post_message(GST_ELEMENT(self), gst_message_new_element(GST_OBJECT(self), st));
  if (talkChanged) g_object_notify(G_OBJECT(self), "double-talk");
  if (micChanged) g_object_notify(G_OBJECT(self), "selected-mic");
}

// Runs one frame from s.mic (`realSamples` real, the rest padding) and collects its output.
static void process_frame(GstOrvoAecDsp* self, Stream& s, int realSamples) {
  resolve_store(self, s);
  const int64_t position = frame_position(s, realSamples);
  s.lastPosition = position;
  if (!s.liveKnown) {
    // Live capture never waits: the far end is played before its echo is captured. Otherwise
    // both branches run as fast as they can and the far end may not be there yet.
    GstQuery* query = gst_query_new_latency();
    gboolean live = FALSE;
    if (gst_pad_peer_query(self->sinkpad, query))
      gst_query_parse_latency(query, &live, nullptr, nullptr);
    gst_query_unref(query);
    s.live = live != FALSE;
    s.liveKnown = true;
  }
  if (s.store) {
    size_t stored;
    if (!s.live && realSamples > 0 && s.store->WriteCount() != s.stalledAt) {
      stored =
          s.store->ReadWhenAvailable(position, s.ref.data(), kFrame, kFarEndPatience, s.cancel);
      if (stored < static_cast<size_t>(kFrame)) s.stalledAt = s.store->WriteCount();
    } else {
      stored = s.store->Read(position, s.ref.data(), kFrame);
    }
    GST_LOG_OBJECT(self, "frame at far-end position %" G_GINT64_FORMAT ": %zu far-end samples",
                   position, stored);
  } else {
    std::fill(s.ref.begin(), s.ref.end(), int16_t{0});
  }

  const int mode = s.channels == 2 ? 3 : 1;
  s.engine->AddFarEnd(s.ref.data());
  const int selected = s.engine->Process(s.mic.data(), s.ref.data(), s.out.data(), false, mode, 1);
  publish_state(self, s, s.engine->IsDoubleTalk(), selected, position);

  s.fed += static_cast<uint64_t>(realSamples);
  if (realSamples > 0) s.runs.push_back({realSamples, true});
  if (realSamples < kFrame) s.runs.push_back({kFrame - realSamples, false});

  // The 960 output samples are the next 960 of the run queue.
  int at = 0;
  while (at < kFrame && !s.runs.empty()) {
    Run& run = s.runs.front();
    const int take = static_cast<int>(std::min<int64_t>(run.length, kFrame - at));
    if (run.real) s.pending.insert(s.pending.end(), s.out.begin() + at, s.out.begin() + at + take);
    at += take;
    run.length -= take;
    if (run.length == 0) s.runs.pop_front();
  }
}

static bool real_samples_pending(const Stream& s) {
  return std::any_of(s.runs.begin(), s.runs.end(), [](const Run& r) { return r.real; });
}

// Sends the collected output as one buffer, timestamped from the input timeline.
static GstFlowReturn push_pending(GstOrvoAecDsp* self, Stream& s) {
  if (s.pending.empty()) return GST_FLOW_OK;
  const gsize bytes = s.pending.size() * sizeof(int16_t);
  GstBuffer* buffer = gst_buffer_new_allocate(nullptr, bytes, nullptr);
  gst_buffer_fill(buffer, 0, s.pending.data(), bytes);
  const GstClockTime start = s.baseTime + gst_util_uint64_scale(s.sent, GST_SECOND, kSampleRate);
  s.sent += s.pending.size();
  const GstClockTime end = s.baseTime + gst_util_uint64_scale(s.sent, GST_SECOND, kSampleRate);
  GST_BUFFER_PTS(buffer) = start;
  GST_BUFFER_DTS(buffer) = GST_CLOCK_TIME_NONE;
  GST_BUFFER_DURATION(buffer) = end - start;
  GST_BUFFER_OFFSET(buffer) = GST_BUFFER_OFFSET_NONE;
  if (s.discont) {
    GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DISCONT);
    s.discont = false;
  }
  s.pending.clear();
  return gst_pad_push(self->srcpad, buffer);
}

// Runs every whole frame the adapter holds.
static void process_adapter(GstOrvoAecDsp* self, Stream& s) {
  const gsize frameBytes = static_cast<gsize>(kFrame * s.channels) * sizeof(int16_t);
  while (gst_adapter_available(s.adapter) >= frameBytes) {
    gst_adapter_copy(s.adapter, s.mic.data(), 0, frameBytes);
    gst_adapter_flush(s.adapter, frameBytes);
    process_frame(self, s, kFrame);
  }
}

// Completes the partial frame with silence (dropped again from the output); with `all`, also
// runs silent frames until every input sample has come out of the engine.
static void drain(GstOrvoAecDsp* self, Stream& s, bool all) {
  if (s.channels == 0 || !s.engine) return;
  process_adapter(self, s);
  const gsize left = gst_adapter_available(s.adapter);
  if (left > 0) {
    const int real = static_cast<int>(left / (sizeof(int16_t) * s.channels));
    std::fill(s.mic.begin(), s.mic.end(), int16_t{0});
    gst_adapter_copy(s.adapter, s.mic.data(), 0, left);
    gst_adapter_flush(s.adapter, left);
    process_frame(self, s, real);
  }
  if (!all) return;
  while (real_samples_pending(s)) {
    std::fill(s.mic.begin(), s.mic.end(), int16_t{0});
    process_frame(self, s, 0);
  }
}

// ---------------------------------------------------------------------------------------------
// Pads

static GstFlowReturn gst_orvoaec_dsp_chain(GstPad*, GstObject* parent, GstBuffer* buffer) {
  GstOrvoAecDsp* self = GST_ORVOAEC_DSP(parent);
  Stream* stream = self->stream;
  if (stream == nullptr || stream->channels == 0) {
    gst_buffer_unref(buffer);
    GST_ELEMENT_ERROR(self, CORE, NEGOTIATION, (nullptr), ("no caps before the first buffer"));
    return GST_FLOW_NOT_NEGOTIATED;
  }
  Stream& s = *stream;
  const uint64_t samples = gst_buffer_get_size(buffer) / (sizeof(int16_t) * s.channels);
  GstFlowReturn ret = GST_FLOW_OK;

  if (GST_BUFFER_PTS_IS_VALID(buffer)) {
    const GstClockTime pts = GST_BUFFER_PTS(buffer);
    if (!s.haveBase) {
      s.haveBase = true;
      s.baseTime = pts;
    } else {
      const GstClockTime expected =
          s.baseTime + gst_util_uint64_scale(s.received, GST_SECOND, kSampleRate);
      if (pts > expected + kTimestampTolerance && pts - expected <= kLongestFilledGap) {
        // A short gap (lost capture buffers): fill it with silence so time stays continuous.
        const uint64_t gap = gst_util_uint64_scale_round(pts - expected, kSampleRate, GST_SECOND);
        GST_DEBUG_OBJECT(self, "filling a gap of %" G_GUINT64_FORMAT " samples", gap);
        const gsize bytes = gap * s.channels * sizeof(int16_t);
        GstBuffer* silence = gst_buffer_new_allocate(nullptr, bytes, nullptr);
        gst_buffer_memset(silence, 0, 0, bytes);
        gst_adapter_push(s.adapter, silence);
        s.received += gap;
      } else if (pts + kTimestampTolerance < expected || pts > expected + kLongestFilledGap) {
        // A jump: everything so far goes out with its own timestamps, then time restarts.
        GST_DEBUG_OBJECT(self, "timestamp jump to %" GST_TIME_FORMAT ", restarting",
                         GST_TIME_ARGS(pts));
        drain(self, s, true);
        ret = push_pending(self, s);
        reset_timeline(s);  // the engine now holds its delay's worth of silence
        s.haveBase = true;
        s.baseTime = pts;
      }
    }
  } else if (!s.haveBase) {
    s.haveBase = true;
    s.baseTime = s.segment.format == GST_FORMAT_TIME && GST_CLOCK_TIME_IS_VALID(s.segment.start)
                     ? s.segment.start
                     : 0;
  }
  gst_adapter_push(s.adapter, buffer);
  s.received += samples;
  process_adapter(self, s);
  const GstFlowReturn pushed = push_pending(self, s);
  return ret != GST_FLOW_OK ? ret : pushed;
}

static GstCaps* output_caps() {
  return gst_caps_from_string(kSrcCaps);
}

static gboolean set_input_caps(GstOrvoAecDsp* self, GstCaps* caps) {
  GstAudioInfo info;
  if (!gst_audio_info_from_caps(&info, caps) || GST_AUDIO_INFO_RATE(&info) != kSampleRate ||
      GST_AUDIO_INFO_FORMAT(&info) != GST_AUDIO_FORMAT_S16LE ||
      GST_AUDIO_INFO_CHANNELS(&info) < 1 || GST_AUDIO_INFO_CHANNELS(&info) > 2 ||
      GST_AUDIO_INFO_LAYOUT(&info) != GST_AUDIO_LAYOUT_INTERLEAVED) {
    GST_WARNING_OBJECT(self, "refusing caps %" GST_PTR_FORMAT, caps);
    return FALSE;
  }
  Stream* s = self->stream;
  if (s == nullptr) return FALSE;
  const int channels = GST_AUDIO_INFO_CHANNELS(&info);
  if (s->channels != 0 && s->channels != channels) {
    // Finish the samples of the old format before the new format's arrive.
    drain(self, *s, false);
    if (push_pending(self, *s) < GST_FLOW_EOS) return FALSE;
  }
  GST_INFO_OBJECT(self, "%d microphone%s", channels, channels == 2 ? "s" : "");
  s->channels = channels;
  GstCaps* out = output_caps();
  GstCaps* current = gst_pad_get_current_caps(self->srcpad);
  gboolean ok = TRUE;
  if (current == nullptr || !gst_caps_is_equal(current, out))
    ok = gst_pad_push_event(self->srcpad, gst_event_new_caps(out));
  if (current != nullptr) gst_caps_unref(current);
  gst_caps_unref(out);
  return ok;
}

static gboolean gst_orvoaec_dsp_sink_event(GstPad* pad, GstObject* parent, GstEvent* event) {
  GstOrvoAecDsp* self = GST_ORVOAEC_DSP(parent);
  Stream* s = self->stream;
  switch (GST_EVENT_TYPE(event)) {
    case GST_EVENT_CAPS: {
      GstCaps* caps;
      gst_event_parse_caps(event, &caps);
      const gboolean ok = set_input_caps(self, caps);
      gst_event_unref(event);
      return ok;
    }
    case GST_EVENT_SEGMENT:
      if (s != nullptr) {
        const GstSegment* segment;
        gst_event_parse_segment(event, &segment);
        gst_segment_copy_into(segment, &s->segment);
      }
      break;
    case GST_EVENT_FLUSH_START:
      if (s != nullptr) {
        s->cancel = true;
        std::lock_guard<std::mutex> lock(s->storeMutex);
        if (s->store) s->store->Wake();
      }
      break;
    case GST_EVENT_FLUSH_STOP:
      if (s != nullptr) {
        // Nothing of the old position may leak into the new one: a fresh engine.
        s->engine = make_engine(self);
        if (!s->engine) {
          gst_event_unref(event);
          return FALSE;
        }
        reset_timeline(*s);
        gst_segment_init(&s->segment, GST_FORMAT_TIME);
      }
      break;
    case GST_EVENT_EOS:
      if (s != nullptr) {
        drain(self, *s, true);
        push_pending(self, *s);
      }
      break;
    default:
      break;
  }
  return gst_pad_event_default(pad, parent, event);
}

static gboolean gst_orvoaec_dsp_sink_query(GstPad* pad, GstObject* parent, GstQuery* query) {
  GstOrvoAecDsp* self = GST_ORVOAEC_DSP(parent);
  if (GST_QUERY_TYPE(query) != GST_QUERY_CAPS) return gst_pad_query_default(pad, parent, query);
  // Any of the input formats, as long as downstream takes the one-channel output.
  GstCaps* filter;
  gst_query_parse_caps(query, &filter);
  GstCaps* out = output_caps();
  GstCaps* downstream = gst_pad_peer_query_caps(self->srcpad, out);
  GstCaps* result;
  if (gst_caps_is_empty(downstream)) {
    result = gst_caps_new_empty();
  } else {
    GstCaps* tmpl = gst_pad_get_pad_template_caps(pad);
    result = filter != nullptr ? gst_caps_intersect_full(filter, tmpl, GST_CAPS_INTERSECT_FIRST)
                               : gst_caps_ref(tmpl);
    gst_caps_unref(tmpl);
  }
  gst_caps_unref(downstream);
  gst_caps_unref(out);
  gst_query_set_caps_result(query, result);
  gst_caps_unref(result);
  return TRUE;
}

static gboolean gst_orvoaec_dsp_src_query(GstPad* pad, GstObject* parent, GstQuery* query) {
  GstOrvoAecDsp* self = GST_ORVOAEC_DSP(parent);
  switch (GST_QUERY_TYPE(query)) {
    case GST_QUERY_CAPS: {
      GstCaps* filter;
      gst_query_parse_caps(query, &filter);
      GstCaps* tmpl = gst_pad_get_pad_template_caps(pad);
      GstCaps* result = filter != nullptr
                            ? gst_caps_intersect_full(filter, tmpl, GST_CAPS_INTERSECT_FIRST)
                            : gst_caps_ref(tmpl);
      gst_caps_unref(tmpl);
      gst_query_set_caps_result(query, result);
      gst_caps_unref(result);
      return TRUE;
    }
    case GST_QUERY_LATENCY: {
      if (!gst_pad_peer_query(self->sinkpad, query)) return FALSE;
      gboolean live;
      GstClockTime min, max;
      gst_query_parse_latency(query, &live, &min, &max);
      // A sample leaves once its frame is complete and the engine's delay has passed.
      const GstClockTime own = gst_util_uint64_scale_ceil(
          static_cast<guint64>(kFrame + g_atomic_int_get(&self->delaySamples)), GST_SECOND,
          kSampleRate);
      GST_DEBUG_OBJECT(self, "adding %" GST_TIME_FORMAT " of latency", GST_TIME_ARGS(own));
      min += own;
      if (GST_CLOCK_TIME_IS_VALID(max)) max += own;
      gst_query_set_latency(query, live, min, max);
      return TRUE;
    }
    default:
      return gst_pad_query_default(pad, parent, query);
  }
}

// ---------------------------------------------------------------------------------------------
// Element

static GstStateChangeReturn gst_orvoaec_dsp_change_state(GstElement* element,
                                                         GstStateChange transition) {
  GstOrvoAecDsp* self = GST_ORVOAEC_DSP(element);
  if (transition == GST_STATE_CHANGE_READY_TO_PAUSED) {
    auto stream = std::make_unique<Stream>();
    stream->engine = make_engine(self);
    if (!stream->engine) return GST_STATE_CHANGE_FAILURE;
    stream->adapter = gst_adapter_new();
    gst_segment_init(&stream->segment, GST_FORMAT_TIME);
    reset_timeline(*stream);
    g_atomic_int_set(&self->doubleTalk, 0);
    g_atomic_int_set(&self->selectedMic, 0);
    self->stream = stream.release();
  }
  if (transition == GST_STATE_CHANGE_PAUSED_TO_READY && self->stream != nullptr) {
    Stream& s = *self->stream;
    s.cancel = true;
    std::lock_guard<std::mutex> lock(s.storeMutex);
    if (s.store) s.store->Wake();
  }
  const GstStateChangeReturn ret =
      GST_ELEMENT_CLASS(gst_orvoaec_dsp_parent_class)->change_state(element, transition);
  if (transition == GST_STATE_CHANGE_PAUSED_TO_READY ||
      (transition == GST_STATE_CHANGE_READY_TO_PAUSED && ret == GST_STATE_CHANGE_FAILURE)) {
    delete self->stream;  // the pads are inactive: no streaming thread uses it any more
    self->stream = nullptr;
  }
  return ret;
}

static gboolean element_is_running(GstOrvoAecDsp* self) {
  GST_OBJECT_LOCK(self);
  const gboolean running =
      GST_STATE(self) > GST_STATE_READY || GST_STATE_PENDING(self) > GST_STATE_READY;
  GST_OBJECT_UNLOCK(self);
  return running;
}

static void gst_orvoaec_dsp_set_property(GObject* object, guint id, const GValue* value,
                                         GParamSpec* pspec) {
  GstOrvoAecDsp* self = GST_ORVOAEC_DSP(object);
  if ((id == PROP_CONFIG || id == PROP_DENOISE_MODE) && element_is_running(self)) {
    // The engine's delay and tuning are fixed for a run; they apply from the next start.
    GST_WARNING_OBJECT(self, "%s can only be changed in the NULL or READY state",
                       g_param_spec_get_name(pspec));
    return;
  }
  GST_OBJECT_LOCK(self);
  switch (id) {
    case PROP_PROBE:
      g_free(self->probeName);
      self->probeName = g_value_dup_string(value);
      break;
    case PROP_CONFIG:
      g_free(self->configPath);
      self->configPath = g_value_dup_string(value);
      break;
    case PROP_DENOISE_MODE:
      self->denoiseMode = g_value_get_int(value);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
      break;
  }
  GST_OBJECT_UNLOCK(self);
}

static void gst_orvoaec_dsp_get_property(GObject* object, guint id, GValue* value,
                                         GParamSpec* pspec) {
  GstOrvoAecDsp* self = GST_ORVOAEC_DSP(object);
  GST_OBJECT_LOCK(self);
  switch (id) {
    case PROP_PROBE:
      g_value_set_string(value, self->probeName);
      break;
    case PROP_CONFIG:
      g_value_set_string(value, self->configPath);
      break;
    case PROP_DENOISE_MODE:
      g_value_set_int(value, self->denoiseMode);
      break;
    case PROP_DOUBLE_TALK:
      g_value_set_boolean(value, g_atomic_int_get(&self->doubleTalk) != 0);
      break;
    case PROP_SELECTED_MIC:
      g_value_set_int(value, g_atomic_int_get(&self->selectedMic));
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
      break;
  }
  GST_OBJECT_UNLOCK(self);
}

static void gst_orvoaec_dsp_finalize(GObject* object) {
  GstOrvoAecDsp* self = GST_ORVOAEC_DSP(object);
  delete self->stream;
  g_free(self->probeName);
  g_free(self->configPath);
  G_OBJECT_CLASS(gst_orvoaec_dsp_parent_class)->finalize(object);
}

static void gst_orvoaec_dsp_class_init(GstOrvoAecDspClass* klass) {
  GObjectClass* gobjectClass = G_OBJECT_CLASS(klass);
  GstElementClass* elementClass = GST_ELEMENT_CLASS(klass);

  GST_DEBUG_CATEGORY_INIT(orvoaec_dsp_debug, "orvoaecdsp", 0, "ORVOAEC echo canceller");

  gobjectClass->set_property = gst_orvoaec_dsp_set_property;
  gobjectClass->get_property = gst_orvoaec_dsp_get_property;
  gobjectClass->finalize = gst_orvoaec_dsp_finalize;
  elementClass->change_state = gst_orvoaec_dsp_change_state;

  const auto rw = static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS);
  const auto rwReady = static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS |
                                                GST_PARAM_MUTABLE_READY);
  const auto ro = static_cast<GParamFlags>(G_PARAM_READABLE | G_PARAM_STATIC_STRINGS);
  g_object_class_install_property(
      gobjectClass, PROP_PROBE,
      g_param_spec_string("probe", "Probe",
                          "Name of the orvoaecprobe element that taps the far end (default: the "
                          "first probe created in this process)",
                          nullptr, rw));
  g_object_class_install_property(
      gobjectClass, PROP_CONFIG,
      g_param_spec_string("config", "Configuration file",
                          "YAML configuration file (config.yml keys) applied when the element "
                          "starts; unset keeps the built-in defaults",
                          nullptr, rwReady));
  g_object_class_install_property(
      gobjectClass, PROP_DENOISE_MODE,
      g_param_spec_int("denoise-mode", "Denoise mode",
                       "0: no neural suppressor, 1: neural suppressor, 2: neural suppressor and "
                       "strong post filter, 3: strong post filter only",
                       0, 3, kDefaultDenoiseMode, rwReady));
  g_object_class_install_property(
      gobjectClass, PROP_DOUBLE_TALK,
      g_param_spec_boolean("double-talk", "Double talk",
                           "Whether the last processed frame was double talk", FALSE, ro));
  g_object_class_install_property(
      gobjectClass, PROP_SELECTED_MIC,
      g_param_spec_int("selected-mic", "Selected microphone",
                       "Microphone channel (0 or 1) that the last processed frame came from", 0, 1,
                       0, ro));

  gst_element_class_add_static_pad_template(elementClass, &sink_template);
  gst_element_class_add_static_pad_template(elementClass, &src_template);
  gst_element_class_set_static_metadata(
      elementClass, "ORVOAEC echo canceller", "Filter/Effect/Audio",
      "Cancels the far-end echo in one or two microphone channels and reduces noise; the far "
      "end comes from an orvoaecprobe element",
      "ORVOAEC developers");
}

static void gst_orvoaec_dsp_init(GstOrvoAecDsp* self) {
  self->sinkpad = gst_pad_new_from_static_template(&sink_template, "sink");
  gst_pad_set_chain_function(self->sinkpad, GST_DEBUG_FUNCPTR(gst_orvoaec_dsp_chain));
  gst_pad_set_event_function(self->sinkpad, GST_DEBUG_FUNCPTR(gst_orvoaec_dsp_sink_event));
  gst_pad_set_query_function(self->sinkpad, GST_DEBUG_FUNCPTR(gst_orvoaec_dsp_sink_query));
  gst_element_add_pad(GST_ELEMENT(self), self->sinkpad);

  self->srcpad = gst_pad_new_from_static_template(&src_template, "src");
  gst_pad_set_query_function(self->srcpad, GST_DEBUG_FUNCPTR(gst_orvoaec_dsp_src_query));
  gst_pad_use_fixed_caps(self->srcpad);
  gst_element_add_pad(GST_ELEMENT(self), self->srcpad);

  self->probeName = nullptr;
  self->configPath = nullptr;
  self->denoiseMode = kDefaultDenoiseMode;
  self->doubleTalk = 0;
  self->selectedMic = 0;
  self->delaySamples = 0;
  self->stream = nullptr;
}
