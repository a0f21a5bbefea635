// A user's clip as a channel's pictures. decodebin stops at H.264 of the
// row's size, which is taken as it is, never decoded; anything else it
// decodes, and the pictures are scaled, timed and encoded once as the row says.
#include "stream/clip_source.h"

#include "stream/gst_elements.h"
#include "stream/loop_source.h"

#include <QFile>

#include <cerrno>

#include <sys/stat.h>

#include <gst/gst.h>

namespace {

struct ClipLink
{
    GstElement *sink; // the preparation's
    StreamSpec spec;
    std::atomic<bool> *converted;
    std::atomic<bool> linked{false};
};

bool h264AsItIs(const StreamSpec &spec, const GstStructure *structure)
{
    int width = 0;
    int height = 0;
    return spec.encoding == QLatin1String("H264") && gst_structure_has_name(structure, "video/x-h264")
           && gst_structure_get_int(structure, "width", &width) && gst_structure_get_int(structure, "height", &height)
           && width == spec.width && height == spec.height;
}

// What decodebin hands on undecoded: raw media, and for an H.264 row, H.264
// of the row's size in whole access units.
GstCaps *finalCaps(const StreamSpec &spec)
{
    GstCaps *caps = gst_caps_from_string("video/x-raw(ANY); audio/x-raw(ANY); text/x-raw(ANY)");
    if (spec.encoding != QLatin1String("H264"))
        return caps;
    for (const char *format : {"avc", "byte-stream"})
        gst_caps_append_structure(caps, gst_structure_new("video/x-h264", "stream-format", G_TYPE_STRING, format,
                                                          "alignment", G_TYPE_STRING, "au", "width", G_TYPE_INT,
                                                          spec.width, "height", G_TYPE_INT, spec.height, nullptr));
    return caps;
}

// Decoded pictures as the row says: scaled with borders, at its rate, and
// encoded once for an H.264 row.
QList<GstElement *> conversion(const StreamSpec &spec, QString &problem)
{
    QList<GstElement *> chain = makeElements({"videoconvert", "videoscale", "videorate", "capsfilter"}, problem);
    if (chain.isEmpty())
        return {};
    const bool raw = spec.encoding == QLatin1String("RAW");
    GstCaps *caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING,
                                        raw ? spec.rawFormat.toLatin1().constData() : "I420", "width", G_TYPE_INT,
                                        spec.width, "height", G_TYPE_INT, spec.height, "framerate", GST_TYPE_FRACTION,
                                        spec.frameRate, 1, "pixel-aspect-ratio", GST_TYPE_FRACTION, 1, 1,
                                        "colorimetry", G_TYPE_STRING, spec.colorimetry.toLatin1().constData(), nullptr);
    g_object_set(chain.constLast(), "caps", caps, nullptr);
    gst_caps_unref(caps);
    if (raw)
        return chain;
    const QList<GstElement *> encoder = loopEncoder(spec, problem);
    if (encoder.isEmpty()) {
        for (GstElement *element : std::as_const(chain))
            gst_object_unref(element);
        return {};
    }
    return chain << encoder;
}

// Called on a streaming thread for each stream of the clip: the first video
// goes to the loop, anything else is read and dropped.
void linkStream(GstElement *decoder, GstPad *pad, gpointer data)
{
    auto *link = static_cast<ClipLink *>(data);
    GstCaps *caps = gst_pad_get_current_caps(pad);
    if (!caps)
        caps = gst_pad_query_caps(pad, nullptr);
    const GstStructure *structure = gst_caps_get_structure(caps, 0);
    const QByteArray name = structure ? gst_structure_get_name(structure) : "";
    QString problem;
    QList<GstElement *> chain;
    bool video = name.startsWith("video/") && !link->linked.exchange(true);
    if (!video) {
        chain = makeElements({"fakesink"}, problem);
        if (!chain.isEmpty())
            g_object_set(chain.first(), "sync", FALSE, "async", FALSE, nullptr);
    } else if (!h264AsItIs(link->spec, structure)) {
        *link->converted = true;
        chain = name == "video/x-raw" ? conversion(link->spec, problem) : QList<GstElement *>();
        if (problem.isEmpty() && chain.isEmpty())
            problem = QStringLiteral("no decoder for its video (%1)").arg(QLatin1String(name));
    }
    gst_caps_unref(caps);
    GstElement *bin = GST_ELEMENT(gst_object_get_parent(GST_OBJECT(decoder)));
    for (GstElement *element : std::as_const(chain))
        gst_bin_add(GST_BIN(bin), element);
    if (video)
        chain << link->sink;
    bool linked = problem.isEmpty();
    for (qsizetype i = 1; linked && i < chain.size(); ++i)
        linked = gst_element_link(chain[i - 1], chain[i]);
    for (GstElement *element : std::as_const(chain))
        gst_element_sync_state_with_parent(element);
    GstPad *input = linked ? gst_element_get_static_pad(chain.first(), "sink") : nullptr;
    if (!input || gst_pad_link(pad, input) != GST_PAD_LINK_OK) {
        const QByteArray text = (problem.isEmpty() ? QStringLiteral("its video cannot be converted") : problem).toUtf8();
        GST_ELEMENT_ERROR(decoder, STREAM, DECODE, ("%s", text.constData()), (nullptr));
    }
    if (input)
        gst_object_unref(input);
    gst_object_unref(bin);
}

void noMoreStreams(GstElement *decoder, gpointer data)
{
    if (!static_cast<ClipLink *>(data)->linked)
        GST_ELEMENT_ERROR(decoder, STREAM, WRONG_TYPE, ("no video in it"), (nullptr));
}

} // namespace

bool addClipReader(GstElement *preparation, GstElement *sink, const StreamSpec &spec, std::atomic<bool> *converted,
                   QString &problem)
{
    // Only a regular file: reading a FIFO or a device would block or never end.
    struct stat status = {};
    const QByteArray path = QFile::encodeName(spec.source);
    const int found = stat(path.constData(), &status) == 0 ? 0 : errno;
    if (found != 0 || !S_ISREG(status.st_mode)) {
        problem = QStringLiteral("clip \"%1\": %2")
                      .arg(spec.source, found != 0 ? qt_error_string(found) : QStringLiteral("not a regular file"));
        return false;
    }
    QList<GstElement *> reader = makeElements({"filesrc", "decodebin"}, problem);
    if (reader.isEmpty())
        return false;
    g_object_set(reader.at(0), "location", path.constData(), nullptr);
    GstCaps *caps = finalCaps(spec);
    g_object_set(reader.at(1), "caps", caps, nullptr);
    gst_caps_unref(caps);
    auto *link = new ClipLink{sink, spec, converted};
    g_signal_connect_data(reader.at(1), "pad-added", G_CALLBACK(linkStream), link,
                          [](gpointer data, GClosure *) { delete static_cast<ClipLink *>(data); }, GConnectFlags(0));
    g_signal_connect(reader.at(1), "no-more-pads", G_CALLBACK(noMoreStreams), link);
    gst_bin_add_many(GST_BIN(preparation), reader.at(0), reader.at(1), nullptr);
    return gst_element_link(reader.at(0), reader.at(1))
           || (problem = QStringLiteral("GStreamer cannot link filesrc to decodebin"), false);
}
