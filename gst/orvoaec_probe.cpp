#include "gst/orvoaec_probe.hpp"

#include <gst/audio/audio.h>

#include <atomic>
#include <chrono>
#include <memory>

#include "gst/far_end_store.hpp"

GST_DEBUG_CATEGORY_STATIC(orvoaec_probe_debug);
#define GST_CAT_DEFAULT orvoaec_probe_debug

namespace {

// Far-end history kept per probe. Live readers need well under a second; ten seconds let a
// file's far end be played through first and the microphone file processed afterwards.
constexpr size_t kStoreSeconds = 10;

constexpr const char* kProbeCaps =
    "audio/x-raw, format = (string) S16LE, rate = (int) 48000, "
    "channels = (int) 1, layout = (string) interleaved";

// How long a probe that is not live waits for the microphone side to catch up before it
// overwrites far-end samples nobody has read.
constexpr std::chrono::milliseconds kReaderPatience{500};

struct ProbeState {
  // Shared with the DSP elements; it outlives this element while a reader holds it.
  std::shared_ptr<orvo::gstplugin::FarEndStore> store;
  std::atomic<bool> flushing{false};
  bool liveKnown = false;
  bool live = true;
};

}  // namespace

struct _GstOrvoAecProbe {
  GstBaseTransform parent;
  ProbeState* state;
};

G_DEFINE_TYPE(GstOrvoAecProbe, gst_orvoaec_probe, GST_TYPE_BASE_TRANSFORM)
GST_ELEMENT_REGISTER_DEFINE(orvoaecprobe, "orvoaecprobe", GST_RANK_NONE, GST_TYPE_ORVOAEC_PROBE)

static GstFlowReturn gst_orvoaec_probe_transform_ip(GstBaseTransform* trans, GstBuffer* buffer) {
  GstOrvoAecProbe* self = GST_ORVOAEC_PROBE(trans);
  GstMapInfo map;
  if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) {
    GST_ELEMENT_ERROR(self, RESOURCE, READ, (nullptr), ("cannot map the far-end buffer"));
    return GST_FLOW_ERROR;
  }
  const auto* samples = reinterpret_cast<const int16_t*>(map.data);
  const size_t count = map.size / sizeof(int16_t);
  ProbeState& st = *self->state;
  auto& store = *st.store;
  if (!st.liveKnown) {
    // A live playback path runs in real time; otherwise the probe may run ahead of the
    // microphone side and is held back so that no far end is lost.
    GstQuery* query = gst_query_new_latency();
    gboolean live = FALSE;
    if (gst_pad_peer_query(GST_BASE_TRANSFORM_SINK_PAD(trans), query))
      gst_query_parse_latency(query, &live, nullptr, nullptr);
    gst_query_unref(query);
    st.live = live != FALSE;
    st.liveKnown = true;
  }
  GstClockTime runningTime = GST_CLOCK_TIME_NONE;
  if (GST_BUFFER_PTS_IS_VALID(buffer))
    runningTime =
        gst_segment_to_running_time(&trans->segment, GST_FORMAT_TIME, GST_BUFFER_PTS(buffer));
  if (GST_CLOCK_TIME_IS_VALID(runningTime) && st.live)
    store.Write(orvo::gstplugin::RunningTimeToPosition(runningTime), samples, count);
  else if (GST_CLOCK_TIME_IS_VALID(runningTime))
    store.WritePaced(orvo::gstplugin::RunningTimeToPosition(runningTime), samples, count,
                     kReaderPatience, st.flushing);
  else
    store.Append(samples, count);
  gst_buffer_unmap(buffer, &map);
  return GST_FLOW_OK;
}

static gboolean gst_orvoaec_probe_sink_event(GstBaseTransform* trans, GstEvent* event) {
  GstOrvoAecProbe* self = GST_ORVOAEC_PROBE(trans);
  ProbeState& st = *self->state;
  switch (GST_EVENT_TYPE(event)) {
    case GST_EVENT_FLUSH_START:
      st.flushing = true;
      st.store->Wake();
      break;
    case GST_EVENT_FLUSH_STOP:
      st.store->Clear();
      st.flushing = false;
      st.liveKnown = false;
      break;
    case GST_EVENT_EOS:
      st.store->SetEnded();
      break;
    default:
      break;
  }
  return GST_BASE_TRANSFORM_CLASS(gst_orvoaec_probe_parent_class)->sink_event(trans, event);
}

static gboolean gst_orvoaec_probe_start(GstBaseTransform* trans) {
  ProbeState& st = *GST_ORVOAEC_PROBE(trans)->state;
  st.flushing = false;
  st.liveKnown = false;
  return TRUE;
}

static gboolean gst_orvoaec_probe_stop(GstBaseTransform* trans) {
  GST_ORVOAEC_PROBE(trans)->state->store->Clear();
  return TRUE;
}

static GstStateChangeReturn gst_orvoaec_probe_change_state(GstElement* element,
                                                           GstStateChange transition) {
  if (transition == GST_STATE_CHANGE_PAUSED_TO_READY) {
    // A write held back for the reader must not delay stopping.
    ProbeState& st = *GST_ORVOAEC_PROBE(element)->state;
    st.flushing = true;
    st.store->Wake();
  }
  return GST_ELEMENT_CLASS(gst_orvoaec_probe_parent_class)->change_state(element, transition);
}

static void gst_orvoaec_probe_finalize(GObject* object) {
  GstOrvoAecProbe* self = GST_ORVOAEC_PROBE(object);
  orvo::gstplugin::probe_registry::Remove(GST_ELEMENT(self));
  self->state->store->Close();
  delete self->state;
  self->state = nullptr;
  G_OBJECT_CLASS(gst_orvoaec_probe_parent_class)->finalize(object);
}

static void gst_orvoaec_probe_class_init(GstOrvoAecProbeClass* klass) {
  GObjectClass* gobjectClass = G_OBJECT_CLASS(klass);
  GstElementClass* elementClass = GST_ELEMENT_CLASS(klass);
  GstBaseTransformClass* transClass = GST_BASE_TRANSFORM_CLASS(klass);

  GST_DEBUG_CATEGORY_INIT(orvoaec_probe_debug, "orvoaecprobe", 0, "ORVOAEC far-end probe");

  gobjectClass->finalize = gst_orvoaec_probe_finalize;
  transClass->transform_ip = gst_orvoaec_probe_transform_ip;
  transClass->sink_event = gst_orvoaec_probe_sink_event;
  transClass->start = gst_orvoaec_probe_start;
  transClass->stop = gst_orvoaec_probe_stop;
  elementClass->change_state = gst_orvoaec_probe_change_state;
  transClass->passthrough_on_same_caps = TRUE;
  transClass->transform_ip_on_passthrough = TRUE;

  GstCaps* caps = gst_caps_from_string(kProbeCaps);
  gst_element_class_add_pad_template(
      elementClass, gst_pad_template_new("sink", GST_PAD_SINK, GST_PAD_ALWAYS, caps));
  gst_element_class_add_pad_template(
      elementClass, gst_pad_template_new("src", GST_PAD_SRC, GST_PAD_ALWAYS, caps));
  gst_caps_unref(caps);
  gst_element_class_set_static_metadata(
      elementClass, "ORVOAEC far-end probe", "Generic/Audio",
      "Passes the playback signal through and keeps it, with its running time, as the far end "
      "of the orvoaecdsp elements",
      "ORVOAEC developers");
}

static void gst_orvoaec_probe_init(GstOrvoAecProbe* self) {
  self->state = new ProbeState;
  self->state->store =
      std::make_shared<orvo::gstplugin::FarEndStore>(kStoreSeconds * orvo::gstplugin::kSampleRate);
  gst_base_transform_set_passthrough(GST_BASE_TRANSFORM(self), TRUE);
  orvo::gstplugin::probe_registry::Add(GST_ELEMENT(self), self->state->store);
}
