// One channel's video as GStreamer sends it. Every value of the row is handed
// over as an element or caps property, never as pipeline text to parse, so
// that a manager's description is drawn as text and nothing else.
#include "stream/channel_pipeline.h"

#include "stream/loop_source.h"

#include <QMetaObject>

#include <algorithm>
#include <utility>

#include <gst/gst.h>

namespace {

// Where Debian ships each element, for the warning when one is missing.
const std::pair<const char *, const char *> elementPackages[] = {
    {"x264enc", "gstreamer1.0-plugins-ugly"}, {"rtph264pay", "gstreamer1.0-plugins-good"},
    {"rtpvrawpay", "gstreamer1.0-plugins-good"}, {"udpsink", "gstreamer1.0-plugins-good"},
    {"textoverlay", "gstreamer1.0-x"}, {"clockoverlay", "gstreamer1.0-x"},
};

QString packageOf(const char *factory)
{
    for (const auto &[element, package] : elementPackages) {
        if (qstrcmp(element, factory) == 0)
            return QLatin1String(package);
    }
    return QStringLiteral("gstreamer1.0-plugins-base");
}

GstElement *capsFilter(GstCaps *caps)
{
    GstElement *filter = gst_element_factory_make("capsfilter", nullptr);
    if (filter)
        g_object_set(filter, "caps", caps, nullptr);
    gst_caps_unref(caps);
    return filter;
}

// The overlays' text is Pango markup: a description's '<' or '&' must show as such.
QByteArray markupOf(const QString &text)
{
    gchar *escaped = g_markup_escape_text(text.toUtf8().constData(), -1);
    QByteArray markup(escaped);
    g_free(escaped);
    return markup;
}

// The elements named, made, or null after `problem` names the missing one.
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

} // namespace

ChannelPipeline::ChannelPipeline(const StreamSpec &spec, const StreamSettings &settings, QObject *parent)
    : QObject(parent), spec(spec), settings(settings)
{
}

ChannelPipeline::~ChannelPipeline()
{
    if (!pipeline)
        return;
    // Joins the streaming threads; nothing is posted to this object after it.
    gst_element_set_state(pipeline, GST_STATE_NULL);
    GstBus *bus = gst_element_get_bus(pipeline);
    gst_bus_set_sync_handler(bus, nullptr, nullptr, nullptr);
    gst_object_unref(bus);
    gst_object_unref(pipeline);
}

bool ChannelPipeline::start(QString &problem)
{
    pipeline = gst_pipeline_new(nullptr);
    if (spec.source != QLatin1String("live"))
        return prepareLoop(problem);
    if (!build(problem))
        return false;
    watchBus();
    if (gst_element_set_state(pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        problem = QStringLiteral("the pipeline does not start");
        return false;
    }
    return true;
}

bool ChannelPipeline::build(QString &problem)
{
    const bool h264 = spec.encoding == QLatin1String("H264");
    QList<const char *> factories{"videotestsrc", "textoverlay", "clockoverlay", "videoconvert"};
    factories << (h264 ? QList<const char *>{"x264enc", "rtph264pay"} : QList<const char *>{"rtpvrawpay"}) << "udpsink";
    QList<GstElement *> made = makeElements(factories, problem);
    if (made.isEmpty())
        return false;
    GstElement *source = made.takeFirst();
    GstElement *sink = made.takeLast();
    GstElement *payloader = made.takeLast();
    GstElement *encoder = h264 ? made.takeLast() : nullptr;
    GstElement *convert = made.takeLast();

    g_object_set(source, "is-live", TRUE, nullptr);
    QList<GstElement *> ordered{source, capsFilter(gst_caps_new_simple("video/x-raw", "width", G_TYPE_INT, spec.width,
                                                                       "height", G_TYPE_INT, spec.height, "framerate",
                                                                       GST_TYPE_FRACTION, spec.frameRate, 1, nullptr))};
    ordered << drawOverlays(made.at(0), made.at(1)) << convert;
    ordered << capsFilter(gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING,
                                              h264 ? "I420" : spec.rawFormat.toLatin1().constData(), nullptr));
    if (encoder)
        ordered << configureEncoder(encoder, payloader);
    g_object_set(payloader, "pt", guint(spec.payloadType), nullptr);
    ordered << payloader << configureSink(sink);
    if (!linkAll(ordered, problem))
        return false;
    watchFirstPacket(payloader);
    return true;
}

bool ChannelPipeline::prepareLoop(QString &problem)
{
    loop = new LoopSource(spec, this);
    connect(loop, &LoopSource::failed, this, &ChannelPipeline::failed);
    connect(loop, &LoopSource::ready, this, [this] {
        QString problem;
        if (!buildLooped(problem)) {
            Q_EMIT failed(problem);
            return;
        }
        watchBus();
        if (gst_element_set_state(pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE)
            Q_EMIT failed(QStringLiteral("the pipeline does not start"));
    });
    return loop->prepare(problem);
}

// The loop's frames take the place of the live picture and its encoder: they
// enter the payloader as the encoder's output would.
bool ChannelPipeline::buildLooped(QString &problem)
{
    const bool h264 = spec.encoding == QLatin1String("H264");
    GstElement *source = loop->makeSource();
    QList<GstElement *> made = makeElements({h264 ? "rtph264pay" : "rtpvrawpay", "udpsink"}, problem);
    if (!source || made.isEmpty()) {
        for (GstElement *element : made << source) {
            if (element)
                gst_object_unref(element);
        }
        if (!source)
            problem = QStringLiteral("GStreamer element \"appsrc\" is missing (Debian package %1)").arg(packageOf("appsrc"));
        return false;
    }
    GstElement *payloader = made.first();
    g_object_set(payloader, "pt", guint(spec.payloadType), nullptr);
    // SPS and PPS once with every key frame: the payloader's, unless the loop's own are there.
    if (h264)
        g_object_set(payloader, "config-interval", loop->parameterSetsInBand() ? 0 : -1, nullptr);
    if (!linkAll({source, payloader, configureSink(made.last())}, problem))
        return false;
    watchFirstPacket(payloader);
    return true;
}

QList<GstElement *> ChannelPipeline::drawOverlays(GstElement *description, GstElement *clock) const
{
    // The overlays scale their text with the picture (auto-resize).
    const char font[] = "Sans 18";
    g_object_set(description, "text", markupOf(spec.description).constData(), "font-desc", font,
                 "shaded-background", TRUE, nullptr);
    gst_util_set_object_arg(G_OBJECT(description), "valignment", "top");
    gst_util_set_object_arg(G_OBJECT(description), "halignment", "left");
    g_object_set(clock, "time-format", "%Y-%m-%d %H:%M:%S", "font-desc", font, "shaded-background", TRUE,
                 nullptr);
    gst_util_set_object_arg(G_OBJECT(clock), "valignment", "bottom");
    gst_util_set_object_arg(G_OBJECT(clock), "halignment", "right");
    return {description, clock};
}

QList<GstElement *> ChannelPipeline::configureEncoder(GstElement *encoder, GstElement *payloader) const
{
    // One key frame a second, each with SPS and PPS in band (config-interval -1).
    g_object_set(encoder, "bitrate", guint(std::max(1, spec.bitRate / 1000)), "key-int-max", guint(spec.frameRate),
                 nullptr);
    gst_util_set_object_arg(G_OBJECT(encoder), "tune", "zerolatency");
    gst_util_set_object_arg(G_OBJECT(encoder), "speed-preset", "ultrafast");
    g_object_set(payloader, "config-interval", -1, nullptr);
    // Constrained baseline: what every decoder of a vehicle display takes.
    return {encoder, capsFilter(gst_caps_new_simple("video/x-h264", "stream-format", G_TYPE_STRING, "avc", "profile",
                                                    G_TYPE_STRING, "constrained-baseline", nullptr))};
}

GstElement *ChannelPipeline::configureSink(GstElement *sink) const
{
    g_object_set(sink, "host", spec.group.toLatin1().constData(), "port", spec.port, "ttl-mc", settings.ttl,
                 "auto-multicast", TRUE, "async", FALSE, nullptr);
    if (!settings.sourceAddress.isEmpty())
        g_object_set(sink, "bind-address", settings.sourceAddress.toLatin1().constData(), nullptr);
    if (!settings.interfaceName.isEmpty())
        g_object_set(sink, "multicast-iface", settings.interfaceName.toUtf8().constData(), nullptr);
    return sink;
}

bool ChannelPipeline::linkAll(const QList<GstElement *> &ordered, QString &problem)
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
        gst_bin_add(GST_BIN(pipeline), element);
    for (qsizetype i = 1; i < ordered.size(); ++i) {
        if (!gst_element_link(ordered[i - 1], ordered[i])) {
            problem = QStringLiteral("GStreamer cannot link %1 to %2")
                          .arg(QLatin1String(GST_OBJECT_NAME(ordered[i - 1])), QLatin1String(GST_OBJECT_NAME(ordered[i])));
            return false;
        }
    }
    return true;
}

void ChannelPipeline::watchBus()
{
    // Called on GStreamer's threads. Every message is dropped here, so none
    // piles up on the bus (each holds its element); an error goes on to the
    // Qt thread.
    auto handler = [](GstBus *, GstMessage *message, gpointer self) -> GstBusSyncReply {
        if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
            GError *error = nullptr;
            gst_message_parse_error(message, &error, nullptr);
            const QString text = QString::fromUtf8(error ? error->message : "unknown error");
            g_clear_error(&error);
            auto *pipeline = static_cast<ChannelPipeline *>(self);
            QMetaObject::invokeMethod(pipeline, [pipeline, text] { Q_EMIT pipeline->failed(text); }, Qt::QueuedConnection);
        }
        // A dropped message is the handler's to free.
        gst_message_unref(message);
        return GST_BUS_DROP;
    };
    GstBus *bus = gst_element_get_bus(pipeline);
    gst_bus_set_sync_handler(bus, handler, this, nullptr);
    gst_object_unref(bus);
}

void ChannelPipeline::watchFirstPacket(GstElement *payloader)
{
    auto probe = [](GstPad *pad, GstPadProbeInfo *, gpointer self) -> GstPadProbeReturn {
        GstCaps *caps = gst_pad_get_current_caps(pad);
        gchar *text = caps ? gst_caps_to_string(caps) : nullptr;
        const QString capsText = QString::fromUtf8(text ? text : "");
        g_free(text);
        if (caps)
            gst_caps_unref(caps);
        auto *pipeline = static_cast<ChannelPipeline *>(self);
        QMetaObject::invokeMethod(pipeline, [pipeline, capsText] { Q_EMIT pipeline->flowing(capsText); },
                                  Qt::QueuedConnection);
        return GST_PAD_PROBE_REMOVE;
    };
    GstPad *pad = gst_element_get_static_pad(payloader, "src");
    gst_pad_add_probe(pad, GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST), probe, this,
                      nullptr);
    gst_object_unref(pad);
}
