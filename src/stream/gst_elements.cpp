// Small GStreamer helpers shared by the live pipeline and a loop's preparation.
#include "stream/gst_elements.h"

#include <utility>

namespace {

// Where Debian ships each element, for the warning when one is missing.
const std::pair<const char *, const char *> elementPackages[] = {
    {"x264enc", "gstreamer1.0-plugins-ugly"}, {"rtph264pay", "gstreamer1.0-plugins-good"},
    {"rtpvrawpay", "gstreamer1.0-plugins-good"}, {"udpsink", "gstreamer1.0-plugins-good"},
    {"rtpbin", "gstreamer1.0-plugins-good"}, {"textoverlay", "gstreamer1.0-x"}, {"timeoverlay", "gstreamer1.0-x"},
    {"queue", "libgstreamer1.0-0"}, {"filesrc", "libgstreamer1.0-0"}, {"fakesink", "libgstreamer1.0-0"},
    {"capsfilter", "libgstreamer1.0-0"},
};

} // namespace

QString packageOf(const char *factory)
{
    for (const auto &[element, package] : elementPackages) {
        if (qstrcmp(element, factory) == 0)
            return QLatin1String(package);
    }
    return QStringLiteral("gstreamer1.0-plugins-base");
}

QList<GstElement *> makeElements(const QList<const char *> &factories, QString &problem)
{
    QList<GstElement *> made;
    for (const char *factory : factories) {
        if (GstElement *element = gst_element_factory_make(factory, nullptr)) {
            made.append(element);
            continue;
        }
        for (GstElement *element : std::as_const(made))
            gst_object_unref(element);
        problem = QStringLiteral("GStreamer element \"%1\" is missing (Debian package %2)")
                      .arg(QLatin1String(factory), packageOf(factory));
        return {};
    }
    return made;
}


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
