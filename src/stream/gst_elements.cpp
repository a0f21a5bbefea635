// Small GStreamer helpers shared by the live pipeline and a loop's preparation.
#include "stream/gst_elements.h"

GstElement *capsFilter(GstCaps *caps)
{
    GstElement *filter = gst_element_factory_make("capsfilter", nullptr);
    if (filter)
        g_object_set(filter, "caps", caps, nullptr);
    gst_caps_unref(caps);
    return filter;
}

bool linkInOrder(GstElement *bin, const QList<GstElement *> &ordered, QString &problem)
{
    // Only a caps filter can be missing here: the other elements were checked when made.
    if (ordered.contains(nullptr)) {
        for (GstElement *element : ordered) {
            if (element)
                gst_object_unref(element);
        }
        problem = QStringLiteral("GStreamer element \"capsfilter\" is missing (Debian package libgstreamer1.0-0)");
        return false;
    }
    for (GstElement *element : ordered)
        gst_bin_add(GST_BIN(bin), element);
    for (qsizetype i = 1; i < ordered.size(); ++i) {
        if (!gst_element_link(ordered[i - 1], ordered[i])) {
            problem = QStringLiteral("GStreamer cannot link %1 to %2")
                          .arg(QLatin1String(GST_OBJECT_NAME(ordered[i - 1])), QLatin1String(GST_OBJECT_NAME(ordered[i])));
            return false;
        }
    }
    return true;
}
