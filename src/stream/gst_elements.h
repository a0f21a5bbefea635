// Small GStreamer helpers that the live pipeline and a loop's preparation
// share: elements made, a caps filter, a chain added to a bin and linked.
#pragma once

#include <QList>
#include <QString>

#include <gst/gst.h>

// The Debian package that ships a GStreamer element, for a warning.
QString packageOf(const char *factory);

// The elements named, made, or none after `problem` names the missing one
// and its Debian package.
QList<GstElement *> makeElements(const QList<const char *> &factories, QString &problem);

// A capsfilter holding `caps` (taken), or null when the element is missing.
GstElement *capsFilter(GstCaps *caps);

// Adds `ordered` to `bin` and links each to the next. A null element (a
// missing caps filter) is reported and the others are released unadded.
bool linkInOrder(GstElement *bin, const QList<GstElement *> &ordered, QString &problem);
