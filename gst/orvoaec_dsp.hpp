// orvoaecdsp: echo cancellation and noise suppression of the capture path with one orvo::Engine
// per element; the far end comes from an orvoaecprobe element on the playback path.
#pragma once

#include <gst/gst.h>

G_BEGIN_DECLS

#define GST_TYPE_ORVOAEC_DSP (gst_orvoaec_dsp_get_type())
G_DECLARE_FINAL_TYPE(GstOrvoAecDsp, gst_orvoaec_dsp, GST, ORVOAEC_DSP, GstElement)

GST_ELEMENT_REGISTER_DECLARE(orvoaecdsp);

G_END_DECLS
