// Small GStreamer helpers that the live pipeline and a loop's preparation
// share: a caps filter, and a chain of elements added to a bin and linked.
#pragma once

#include <QList>
#include <QString>

#include <gst/gst.h>

// A capsfilter holding `caps` (taken), or null when the element is missing.
GstElement *capsFilter(GstCaps *caps);

// Adds `ordered` to `bin` and links each to the next. A null element (a
// missing caps filter) is reported and the others are released unadded.
bool linkInOrder(GstElement *bin, const QList<GstElement *> &ordered, QString &problem);
