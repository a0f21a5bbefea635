// One channel's video as GStreamer sends it. Every value of the row is handed
// over as an element or caps property, never as pipeline text to parse, so
// that a manager's description is drawn as text and nothing else.
#include "stream/channel_pipeline.h"

#include "stream/gst_elements.h"
#include "stream/loop_source.h"

#include <QDateTime>
#include <QMetaObject>
#include <QMutex>
#include <QSemaphore>
#include <QThreadPool>

#include <algorithm>
#include <utility>

#include <cerrno>
#include <cstring>
#include <ctime>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gst/gst.h>
#include <gst/rtp/gstrtcpbuffer.h>
#include <gst/rtp/gstrtpbuffer.h>

namespace {

// The overlays' text is Pango markup: a description's '<' or '&' must show as such.
QByteArray markupOf(const QString &text)
{
    gchar *escaped = g_markup_escape_text(text.toUtf8().constData(), -1);
    QByteArray markup(escaped);
    g_free(escaped);
    return markup;
}

constexpr int streamingNiceness = 10;

// Setting a pipeline to NULL joins its streaming threads, which takes a while
// for big pictures: done here, so that SNMP is answered meanwhile. Threads
// end as soon as they are idle.
QThreadPool &stoppers()
{
    static QThreadPool pool;
    pool.setExpiryTimeout(0);
    return pool;
}

// Starts are built here, one at a time (the owner waits for each), not
// behind the stops, on a thread kept for them.
QThreadPool &starters()
{
    static QThreadPool pool;
    static const bool kept = [] {
        pool.setMaxThreadCount(1);
        pool.setExpiryTimeout(-1);
        return true;
    }();
    Q_UNUSED(kept);
    return pool;
}

// GStreamer's error and the last line of its debug text, where the cause is
// ("Could not join multicast group: ... No such device").
QString errorText(GstMessage *message)
{
    GError *error = nullptr;
    gchar *debug = nullptr;
    gst_message_parse_error(message, &error, &debug);
    QString text = QString::fromUtf8(error ? error->message : "unknown error");
    const QString detail = QString::fromUtf8(debug ? debug : "");
    if (detail.contains(QLatin1Char('\n')))
        text += QStringLiteral(" (%1)").arg(detail.section(QLatin1Char('\n'), -1).trimmed());
    g_clear_error(&error);
    g_free(debug);
    return text;
}

// A streaming thread says so from itself as it begins: it and the encoder's
// threads it makes yield the CPU to the main thread, so that the answers to
// SNMP never wait for more video than the CPUs can encode.
void yieldToSnmp(GstMessage *message)
{
    GstStreamStatusType type = GST_STREAM_STATUS_TYPE_CREATE;
    gst_message_parse_stream_status(message, &type, nullptr);
    if (type != GST_STREAM_STATUS_TYPE_ENTER)
        return;
    setpriority(PRIO_PROCESS, id_t(gettid()), streamingNiceness);
    // A paced RAW stream waits some 30 us between its packets: the default
    // slack of 50 us would make it late, then catch up in a burst.
    prctl(PR_SET_TIMERSLACK, 1000UL);
}

// Sending without joining the group, a pipeline starts whether or not the
// group has a route, then loses every packet: the kernel is asked first, the
// way it will route them (from --address, on its interface).
bool routed(const StreamSpec &spec, const StreamSettings &settings, QString &problem)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in from{}, to{};
    from.sin_family = to.sin_family = AF_INET;
    to.sin_port = htons(quint16(spec.port));
    inet_pton(AF_INET, spec.group.toLatin1().constData(), &to.sin_addr);
    ip_mreqn via{};
    if (!settings.interfaceName.isEmpty())
        via.imr_ifindex = int(if_nametoindex(settings.interfaceName.toUtf8().constData()));
    const bool reached = fd >= 0
                         && (settings.sourceAddress.isEmpty()
                             || (inet_pton(AF_INET, settings.sourceAddress.toLatin1().constData(), &from.sin_addr) == 1
                                 && bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof from) == 0))
                         && setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &via, sizeof via) == 0
                         && ::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0;
    const int error = errno;
    if (fd >= 0)
        close(fd);
    if (!reached)
        problem = QStringLiteral("no route to %1 (%2)").arg(spec.group, QString::fromLocal8Bit(strerror(error)));
    return reached;
}

// How long a stopping stream may take to send its RTCP BYE.
constexpr int byeWaitMs = 300;

// What a RAW stream may send per second: its pictures and 20 % more, so that
// each frame's packets spread over most of the frame interval instead of
// leaving in one burst that a receiver's socket buffer cannot hold.
guint64 rawPace(const StreamSpec &spec)
{
    return guint64(rawBitRate(spec)) * 6 / 5;
}

// Holds each packet back until the pace allows it. Unlike the sink's own
// max-bitrate, time left unused (the pause after each frame) is not saved
// up: that credit went out as a burst at twice the pace at every frame's
// start. A little running ahead is allowed, to sleep less often.
struct Pace
{
    double nanosecondsPerByte;
    qint64 next = 0;
};

constexpr qint64 paceAheadNs = 50000;

qint64 monotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void paceSending(GstElement *sink, guint64 bitsPerSecond)
{
    auto probe = [](GstPad *, GstPadProbeInfo *info, gpointer data) -> GstPadProbeReturn {
        auto &pace = *static_cast<Pace *>(data);
        const gsize size = (info->type & GST_PAD_PROBE_TYPE_BUFFER_LIST)
                               ? gst_buffer_list_calculate_size(GST_PAD_PROBE_INFO_BUFFER_LIST(info))
                               : gst_buffer_get_size(GST_PAD_PROBE_INFO_BUFFER(info));
        const qint64 now = monotonicNs();
        pace.next = std::max(pace.next, now);
        if (pace.next - now > paceAheadNs) {
            const timespec until{time_t(pace.next / 1000000000), long(pace.next % 1000000000)};
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
        }
        pace.next += qint64(double(size) * pace.nanosecondsPerByte);
        return GST_PAD_PROBE_OK;
    };
    GstPad *pad = gst_element_get_static_pad(sink, "sink");
    gst_pad_add_probe(pad, GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST), probe,
                      new Pace{8e9 / double(bitsPerSecond)}, [](gpointer pace) { delete static_cast<Pace *>(pace); });
    gst_object_unref(pad);
}

// RFC 4175's extended sequence number, which the payloader leaves at 0: the
// high 16 bits of a 32-bit packet counter.
struct SequenceHigh
{
    quint16 high = 0;
    int last = -1;
};

void extendSequence(GstBuffer *buffer, SequenceHigh &state)
{
    GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
    if (!gst_rtp_buffer_map(buffer, GST_MAP_READWRITE, &rtp))
        return;
    const int sequence = gst_rtp_buffer_get_seq(&rtp);
    if (sequence < state.last)
        ++state.high;
    state.last = sequence;
    if (gst_rtp_buffer_get_payload_len(&rtp) >= 2)
        GST_WRITE_UINT16_BE(gst_rtp_buffer_get_payload(&rtp), state.high);
    gst_rtp_buffer_unmap(&rtp);
}

void numberExtendedSequence(GstElement *payloader)
{
    auto probe = [](GstPad *, GstPadProbeInfo *info, gpointer data) -> GstPadProbeReturn {
        auto &state = *static_cast<SequenceHigh *>(data);
        if (info->type & GST_PAD_PROBE_TYPE_BUFFER) {
            GstBuffer *buffer = gst_buffer_make_writable(GST_PAD_PROBE_INFO_BUFFER(info));
            extendSequence(buffer, state);
            GST_PAD_PROBE_INFO_DATA(info) = buffer;
        } else if (info->type & GST_PAD_PROBE_TYPE_BUFFER_LIST) {
            GstBufferList *list = gst_buffer_list_make_writable(GST_PAD_PROBE_INFO_BUFFER_LIST(info));
            for (guint i = 0; i < gst_buffer_list_length(list); ++i)
                extendSequence(gst_buffer_list_get_writable(list, i), state);
            GST_PAD_PROBE_INFO_DATA(info) = list;
        }
        return GST_PAD_PROBE_OK;
    };
    GstPad *pad = gst_element_get_static_pad(payloader, "src");
    gst_pad_add_probe(pad, GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST), probe,
                      new SequenceHigh, [](gpointer state) { delete static_cast<SequenceHigh *>(state); });
    gst_object_unref(pad);
}

bool carriesBye(GstBuffer *buffer)
{
    GstRTCPBuffer rtcp = GST_RTCP_BUFFER_INIT;
    if (!gst_rtcp_buffer_map(buffer, GST_MAP_READ, &rtcp))
        return false;
    bool bye = false;
    GstRTCPPacket packet;
    for (bool more = gst_rtcp_buffer_get_first_packet(&rtcp, &packet); more && !bye;
         more = gst_rtcp_packet_move_to_next(&packet))
        bye = gst_rtcp_packet_get_type(&packet) == GST_RTCP_TYPE_BYE;
    gst_rtcp_buffer_unmap(&rtcp);
    return bye;
}

// The end of the stream makes the RTP session send its BYE: waited for
// briefly (`ended` is released as the BYE reaches the RTCP sink, or on an
// error), so the BYE leaves before the sockets close. Given to the session
// itself, not to the source, it need not wait for a picture to be drawn and
// encoded. A pipeline that already failed ends at once.
void sayBye(GstElement *rtpbin, QSemaphore &ended)
{
    GstPad *pad = gst_element_get_static_pad(rtpbin, "send_rtp_sink_0");
    if (pad && gst_pad_send_event(pad, gst_event_new_eos()))
        ended.tryAcquire(1, byeWaitMs);
    if (pad)
        gst_object_unref(pad);
}

// The BYE is seen before the RTCP sink sends it, on the thread that sends
// it: the stop waits for that thread to leave the sink, or the socket closes
// first.
void waitForRtcpSent(GstElement *rtcpSink)
{
    GstPad *pad = gst_element_get_static_pad(rtcpSink, "sink");
    GST_PAD_STREAM_LOCK(pad);
    GST_PAD_STREAM_UNLOCK(pad);
    gst_object_unref(pad);
}

} // namespace

// What GStreamer's threads reach of a pipeline object: the object while it
// lives, the first error, the cause of those after it, kept for start() to
// report, and the BYE, which a stop waits for.
struct PipelineWatch
{
    QMutex mutex;
    ChannelPipeline *owner = nullptr;
    QString firstError;
    QString caps; // the payloader's, as the first packet leaves
    QSemaphore ended;
    QSemaphore built; // released as a start off the main thread ends

    // An error while the pipeline is being built is held: a start that
    // fails names it, one that does not is followed by it.
    void report(const QString &text)
    {
        QMutexLocker lock(&mutex);
        if (firstError.isEmpty())
            firstError = text;
        if (ChannelPipeline *pipeline = owner)
            QMetaObject::invokeMethod(pipeline, [pipeline, text] {
                if (!pipeline->building)
                    Q_EMIT pipeline->failed(text);
                else if (pipeline->heldFailure.isEmpty())
                    pipeline->heldFailure = text;
            }, Qt::QueuedConnection);
    }
    // A reference for GStreamer to hold, dropped by unshare() when it lets go.
    static gpointer share(const std::shared_ptr<PipelineWatch> &watch)
    {
        return new std::shared_ptr<PipelineWatch>(watch);
    }
    static void unshare(gpointer data) { delete static_cast<std::shared_ptr<PipelineWatch> *>(data); }
    static PipelineWatch &of(gpointer data) { return **static_cast<std::shared_ptr<PipelineWatch> *>(data); }
};

ChannelPipeline::ChannelPipeline(const StreamSpec &spec, const StreamSettings &settings, QObject *parent)
    : QObject(parent), spec(spec), settings(settings)
{
}

ChannelPipeline::~ChannelPipeline()
{
    if (!pipeline)
        return;
    if (building)
        watch->built.acquire();
    {
        // Nothing is posted to this object from here on.
        QMutexLocker lock(&watch->mutex);
        watch->owner = nullptr;
    }
    // The BYE and the stop, off the main thread; the pipeline holds its rtpbin.
    GstElement *session = playing ? rtpbin : nullptr;
    stoppers().start([pipeline = pipeline, session, rtcpSink = rtcpSink, watch = watch] {
        if (session) {
            sayBye(session, watch->ended); // at the usual priority: the BYE is short and due at once
            waitForRtcpSent(rtcpSink);
        }
        setpriority(PRIO_PROCESS, id_t(gettid()), streamingNiceness);
        gst_element_set_state(pipeline, GST_STATE_NULL);
        gst_object_unref(pipeline);
    });
}

void ChannelPipeline::stopLater(GstElement *pipeline, std::function<void()> then)
{
    stoppers().start([pipeline, then = std::move(then)] {
        setpriority(PRIO_PROCESS, id_t(gettid()), streamingNiceness);
        gst_element_set_state(pipeline, GST_STATE_NULL);
        gst_object_unref(pipeline);
        if (then)
            then();
    });
}

void ChannelPipeline::waitForStopped()
{
    stoppers().waitForDone();
}

void ChannelPipeline::start()
{
    pipeline = gst_pipeline_new(nullptr);
    watch = std::make_shared<PipelineWatch>();
    watch->owner = this;
    if (spec.source != QLatin1String("live")) {
        QString problem;
        const bool prepared = routed(spec, settings, problem) && prepareLoop(problem);
        QMetaObject::invokeMethod(this, [this, prepared, problem] { finish(prepared, problem); }, Qt::QueuedConnection);
        return;
    }
    building = true;
    // This object lives until the start is over: release() leaves its
    // deletion to finish(), the destructor (at shutdown) waits.
    starters().start([this, watch = watch] {
        QString problem;
        const bool built = routed(spec, settings, problem) && build(problem) && play(problem);
        QMetaObject::invokeMethod(this, [this, built, problem] { finish(built, problem); }, Qt::QueuedConnection);
        watch->built.release();
    });
}

void ChannelPipeline::finish(bool built, const QString &problem)
{
    building = false;
    if (released)
        return deleteLater();
    if (!built)
        return Q_EMIT notStarted(problem);
    Q_EMIT started();
    if (!heldFailure.isEmpty())
        Q_EMIT failed(heldFailure);
}

void ChannelPipeline::release()
{
    released = true;
    if (!building)
        deleteLater();
}

bool ChannelPipeline::play(QString &problem)
{
    watchBus();
    if (gst_element_set_state(pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        QMutexLocker lock(&watch->mutex);
        problem = QStringLiteral("the pipeline does not start: %1")
                      .arg(watch->firstError.isEmpty() ? QStringLiteral("no reason given") : watch->firstError);
        return false;
    }
    playing = true;
    return true;
}

bool ChannelPipeline::build(QString &problem)
{
    const bool h264 = spec.encoding == QLatin1String("H264");
    // For RAW a queue stands where the encoder would: sending, paced over the
    // frame interval, runs on a thread of its own beside the drawing.
    QList<const char *> factories{"videotestsrc", "textoverlay", "textoverlay", "videoconvert"};
    factories << (h264 ? QList<const char *>{"x264enc", "rtph264pay"} : QList<const char *>{"queue", "rtpvrawpay"});
    QList<GstElement *> made = makeElements(factories, problem);
    if (made.isEmpty())
        return false;
    GstElement *source = made.takeFirst();
    GstElement *payloader = made.takeLast();
    GstElement *encoder = made.takeLast();
    GstElement *convert = made.takeLast();

    g_object_set(source, "is-live", TRUE, nullptr);
    QList<GstElement *> ordered{source, capsFilter(gst_caps_new_simple("video/x-raw", "width", G_TYPE_INT, spec.width,
                                                                       "height", G_TYPE_INT, spec.height, "framerate",
                                                                       GST_TYPE_FRACTION, spec.frameRate, 1, nullptr))};
    ordered << drawOverlays(made.at(0), made.at(1)) << convert;
    // The colorimetry becomes the H.264 encoder's colour description, or the
    // RAW payloader's.
    ordered << capsFilter(gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING,
                                              h264 ? "I420" : spec.rawFormat.toLatin1().constData(), "colorimetry",
                                              G_TYPE_STRING, spec.colorimetry.toLatin1().constData(), nullptr));
    if (h264) {
        ordered << configureEncoder(encoder, payloader);
    } else {
        g_object_set(encoder, "max-size-buffers", 2u, "max-size-bytes", 0u, "max-size-time", guint64(0), nullptr);
        gst_util_set_object_arg(G_OBJECT(encoder), "leaky", "downstream");
        ordered << encoder;
    }
    ordered << payloader;
    return linkInOrder(pipeline, ordered, problem) && send(payloader, problem);
}

// What every channel's payloader feeds, live or looped: an RTP session with
// its RTCP on the next port, RAW paced and numbered as RFC 4175 says.
bool ChannelPipeline::send(GstElement *payloader, QString &problem)
{
    const QList<GstElement *> session = makeElements({"rtpbin", "udpsink", "udpsink"}, problem);
    if (session.isEmpty())
        return false;
    for (GstElement *element : session)
        gst_bin_add(GST_BIN(pipeline), element);
    g_object_set(payloader, "pt", guint(spec.payloadType), nullptr);
    if (spec.encoding == QLatin1String("RAW")) {
        // One line per chunk: the sink's pace then holds packet by packet.
        g_object_set(payloader, "chunks-per-frame", spec.height, nullptr);
        numberExtendedSequence(payloader);
    }
    if (!linkSession(payloader, session, problem))
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
        if (!buildLooped(problem) || !play(problem))
            Q_EMIT failed(problem);
    });
    return loop->prepare(problem);
}

// The loop's frames take the place of the live picture and its encoder: they
// enter the payloader as the encoder's output would.
bool ChannelPipeline::buildLooped(QString &problem)
{
    const bool h264 = spec.encoding == QLatin1String("H264");
    QList<GstElement *> made = makeElements({h264 ? "rtph264pay" : "rtpvrawpay"}, problem);
    if (made.isEmpty())
        return false;
    GstElement *payloader = made.first();
    GstElement *source = loop->makeSource();
    if (!source) {
        gst_object_unref(payloader);
        problem = QStringLiteral("GStreamer element \"appsrc\" is missing (Debian package %1)").arg(packageOf("appsrc"));
        return false;
    }
    // SPS and PPS once with every key frame: the payloader's, unless the loop's own are there.
    if (h264)
        g_object_set(payloader, "config-interval", loop->parameterSetsInBand() ? 0 : -1, nullptr);
    return linkInOrder(pipeline, {source, payloader}, problem) && send(payloader, problem);
}

QList<GstElement *> ChannelPipeline::drawOverlays(GstElement *description, GstElement *clock) const
{
    // The overlays scale their text with the picture (auto-resize).
    const char font[] = "Sans 18";
    g_object_set(description, "text", markupOf(spec.description).constData(), "font-desc", font,
                 "shaded-background", TRUE, nullptr);
    gst_util_set_object_arg(G_OBJECT(description), "valignment", "top");
    gst_util_set_object_arg(G_OBJECT(description), "halignment", "left");
    g_object_set(clock, "font-desc", font, "shaded-background", TRUE, nullptr);
    gst_util_set_object_arg(G_OBJECT(clock), "valignment", "bottom");
    gst_util_set_object_arg(G_OBJECT(clock), "halignment", "right");
    // Wall-clock time to the millisecond and a running frame number, written
    // as each picture passes: glass-to-glass latency and lost pictures can be
    // read off a screenshot.
    auto stamp = [](GstPad *pad, GstPadProbeInfo *, gpointer count) -> GstPadProbeReturn {
        const QString text = QStringLiteral("%1  #%2").arg(
            QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")),
            QString::number((*static_cast<quint64 *>(count))++));
        GstElement *overlay = gst_pad_get_parent_element(pad);
        g_object_set(overlay, "text", text.toLatin1().constData(), nullptr);
        gst_object_unref(overlay);
        return GST_PAD_PROBE_OK;
    };
    GstPad *pad = gst_element_get_static_pad(clock, "video_sink");
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, stamp, new quint64(0),
                      [](gpointer count) { delete static_cast<quint64 *>(count); });
    gst_object_unref(pad);
    return {description, clock};
}

QList<GstElement *> ChannelPipeline::configureEncoder(GstElement *encoder, GstElement *payloader) const
{
    // One key frame a second, each with SPS and PPS in band (config-interval -1).
    g_object_set(encoder, "bitrate", guint(std::max(1, spec.bitRate / 1000)), "key-int-max", guint(spec.frameRate),
                 nullptr);
    gst_util_set_object_arg(G_OBJECT(encoder), "tune", "zerolatency");
    gst_util_set_object_arg(G_OBJECT(encoder), "speed-preset", "ultrafast");
    // The encoder itself puts SPS and PPS before each key frame, once; the
    // payloader would add them again before every slice of it.
    g_object_set(payloader, "config-interval", 0, nullptr);
    // Constrained baseline: what every decoder of a vehicle display takes.
    return {encoder, capsFilter(gst_caps_new_simple("video/x-h264", "stream-format", G_TYPE_STRING, "avc", "profile",
                                                    G_TYPE_STRING, "constrained-baseline", nullptr))};
}

GstElement *ChannelPipeline::configureSink(GstElement *sink, int port) const
{
    // Sending needs no membership: joining would make snooping switches
    // forward every group back to the camera.
    g_object_set(sink, "host", spec.group.toLatin1().constData(), "port", port, "ttl-mc", settings.ttl,
                 "auto-multicast", FALSE, "async", FALSE, "qos-dscp", settings.dscp, nullptr);
    if (!settings.sourceAddress.isEmpty())
        g_object_set(sink, "bind-address", settings.sourceAddress.toLatin1().constData(), nullptr);
    if (!settings.interfaceName.isEmpty())
        g_object_set(sink, "multicast-iface", settings.interfaceName.toUtf8().constData(), nullptr);
    return sink;
}

bool ChannelPipeline::linkSession(GstElement *payloader, const QList<GstElement *> &session, QString &problem)
{
    rtpbin = session.at(0);
    rtcpSink = session.at(2);
    GstElement *rtpSink = session.at(1);
    // Sender reports map RTP time to the system's wall clock; the CNAME names the device.
    gst_util_set_object_arg(G_OBJECT(rtpbin), "ntp-time-source", "ntp");
    GstStructure *sdes = nullptr;
    g_object_get(rtpbin, "sdes", &sdes, nullptr);
    if (sdes) {
        gst_structure_set(sdes, "cname", G_TYPE_STRING, settings.originAddress.toLatin1().constData(), "name",
                          G_TYPE_STRING, settings.deviceDescription.toUtf8().constData(), nullptr);
        g_object_set(rtpbin, "sdes", sdes, nullptr);
        gst_structure_free(sdes);
    }
    configureSink(rtpSink, spec.port);
    if (spec.encoding == QLatin1String("RAW"))
        paceSending(rtpSink, rawPace(spec));
    configureSink(rtcpSink, spec.port + 1);
    g_object_set(rtcpSink, "sync", FALSE, nullptr);
    watchBye(rtcpSink);
    if (gst_element_link_pads(payloader, "src", rtpbin, "send_rtp_sink_0")
        && gst_element_link_pads(rtpbin, "send_rtp_src_0", rtpSink, "sink")
        && gst_element_link_pads(rtpbin, "send_rtcp_src_0", rtcpSink, "sink"))
        return true;
    problem = QStringLiteral("GStreamer cannot link %1 to its RTP session").arg(QLatin1String(GST_OBJECT_NAME(payloader)));
    return false;
}

// After the BYE the RTP session does not end its RTCP branch every time (not
// when its RTCP thread sends the BYE before the end of the stream is noted):
// the BYE itself is watched for.
void ChannelPipeline::watchBye(GstElement *rtcpSink)
{
    // Called on GStreamer's threads. The sink sends what passes here before
    // its socket can close: stopping waits for this thread.
    auto probe = [](GstPad *, GstPadProbeInfo *info, gpointer watch) -> GstPadProbeReturn {
        if (carriesBye(GST_PAD_PROBE_INFO_BUFFER(info)))
            PipelineWatch::of(watch).ended.release();
        return GST_PAD_PROBE_OK;
    };
    GstPad *pad = gst_element_get_static_pad(rtcpSink, "sink");
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, probe, PipelineWatch::share(watch), PipelineWatch::unshare);
    gst_object_unref(pad);
}

void ChannelPipeline::watchBus()
{
    // Called on GStreamer's threads. Every message is dropped here, so none
    // piles up on the bus (each holds its element); an error goes on to the
    // Qt thread, and a stop no longer waits for a BYE.
    auto handler = [](GstBus *, GstMessage *message, gpointer watch) -> GstBusSyncReply {
        if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
            PipelineWatch::of(watch).ended.release();
            PipelineWatch::of(watch).report(errorText(message));
        }
        if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_STREAM_STATUS)
            yieldToSnmp(message);
        // A dropped message is the handler's to free.
        gst_message_unref(message);
        return GST_BUS_DROP;
    };
    GstBus *bus = gst_element_get_bus(pipeline);
    gst_bus_set_sync_handler(bus, handler, PipelineWatch::share(watch), PipelineWatch::unshare);
    gst_object_unref(bus);
}

void ChannelPipeline::watchFirstPacket(GstElement *payloader)
{
    auto probe = [](GstPad *pad, GstPadProbeInfo *, gpointer data) -> GstPadProbeReturn {
        GstCaps *caps = gst_pad_get_current_caps(pad);
        gchar *text = caps ? gst_caps_to_string(caps) : nullptr;
        QString capsText = QString::fromUtf8(text ? text : "");
        g_free(text);
        if (caps)
            gst_caps_unref(caps);
        PipelineWatch &watch = PipelineWatch::of(data);
        QMutexLocker lock(&watch.mutex);
        watch.caps = std::move(capsText);
        // The text stays with the watch, whose last owner frees it: a free on
        // the main thread of what this thread allocated would wait for this
        // thread's malloc arena, held for long while the CPUs are busy.
        if (ChannelPipeline *pipeline = watch.owner)
            QMetaObject::invokeMethod(pipeline, [pipeline] {
                QMutexLocker lock(&pipeline->watch->mutex);
                const QString caps = pipeline->watch->caps;
                lock.unlock();
                Q_EMIT pipeline->flowing(caps);
            }, Qt::QueuedConnection);
        return GST_PAD_PROBE_REMOVE;
    };
    GstPad *pad = gst_element_get_static_pad(payloader, "src");
    gst_pad_add_probe(pad, GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST), probe,
                      PipelineWatch::share(watch), PipelineWatch::unshare);
    gst_object_unref(pad);
}
