// A user's clip as a channel's pictures: read once into the loop, as it is
// when it is H.264 at the row's size, converted once otherwise.
#pragma once

#include "stream/stream_spec.h"

#include <QString>

#include <atomic>

typedef struct _GstElement GstElement;

// Adds to `preparation` what reads the clip at spec.source and hands its
// pictures to `sink`, linked once the clip's streams are known. `converted`
// says, by then, whether they are decoded and encoded again. A clip without
// video, or that cannot be read or decoded, ends in an error on the bus.
bool addClipReader(GstElement *preparation, GstElement *sink, const StreamSpec &spec, std::atomic<bool> *converted,
                   QString &problem);
