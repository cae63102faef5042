// orvoaecprobe: a pass-through element for the playback path that keeps the far-end signal, with
// its running time, for the orvoaecdsp elements of the process.
#pragma once

#include <gst/base/gstbasetransform.h>
#include <gst/gst.h>

G_BEGIN_DECLS

#define GST_TYPE_ORVOAEC_PROBE (gst_orvoaec_probe_get_type())
G_DECLARE_FINAL_TYPE(GstOrvoAecProbe, gst_orvoaec_probe, GST, ORVOAEC_PROBE, GstBaseTransform)

GST_ELEMENT_REGISTER_DECLARE(orvoaecprobe);

G_END_DECLS
