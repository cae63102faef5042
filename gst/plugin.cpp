// The orvoaec GStreamer plugin: orvoaecprobe and orvoaecdsp.
#include <gst/gst.h>

#include "gst/orvoaec_dsp.hpp"
#include "gst/orvoaec_probe.hpp"

#ifndef PACKAGE
#define PACKAGE "orvoaec"
#endif

static gboolean plugin_init(GstPlugin* plugin) {
  gboolean ok = GST_ELEMENT_REGISTER(orvoaecprobe, plugin);
  ok &= GST_ELEMENT_REGISTER(orvoaecdsp, plugin);
  return ok;
}

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, orvoaec,
                  "ORVOAEC echo cancellation and noise suppression", plugin_init, ORVO_VERSION,
                  "Proprietary", "ORVOAEC", "ORVOAEC project")
