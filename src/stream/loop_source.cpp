// A channel's pictures made once and sent over and over. The preparation is a
// pipeline of its own, run by GStreamer's threads; its frames are handed to
// the Qt thread by a queued call, never waited for there.
#include "stream/loop_source.h"

#include "stream/channel_pipeline.h"
#include "stream/clip_source.h"
#include "stream/gst_elements.h"

#include <QDebug>
#include <QMetaObject>
#include <QMutex>

#include <algorithm>
#include <utility>

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>

namespace {

// The pattern's loop: two key-frame intervals of a second.
constexpr int patternSeconds = 2;
// What one loop may hold: a longer clip is cut at a key frame before it.
constexpr qint64 maximumLoopBytes = qint64(256) << 20;

} // namespace

// Written by the preparation's streaming thread until it is done, then only
// read: by the Qt thread once, and by the appsrcs playing it.
struct LoopFrames
{
    ~LoopFrames()
    {
        for (GstBuffer *buffer : std::as_const(buffers))
            gst_buffer_unref(buffer);
        if (caps)
            gst_caps_unref(caps);
    }

    QList<GstBuffer *> buffers;
    qsizetype lastKeyFrame = 0;
    GstCaps *caps = nullptr;
    qint64 bytes = 0;
    qsizetype maximumFrames = 0; // for raw video: a second at most
    GstClockTime duration = 0;   // of one round
    bool parameterSetsInBand = false;
    std::atomic<bool> done{false};
    std::atomic<bool> converted{false};
};

// What the preparation's threads reach of the loop: the object while it lives,
// the frames, and the preparation itself, held until whoever comes first (its
// end, its failure, or the object's deletion) stops it.
struct PreparationWatch
{
    QMutex mutex;
    LoopSource *owner = nullptr;
    GstElement *preparation = nullptr;
    std::shared_ptr<LoopFrames> frames;

    // Called on any thread. The preparation stops off the main thread, its
    // threads joined, and only then does the owner, if any, hear of it:
    // no streaming thread writes the frames any more.
    static void stop(const std::shared_ptr<PreparationWatch> &watch, const QString &problem)
    {
        QMutexLocker lock(&watch->mutex);
        if (GstElement *stopping = std::exchange(watch->preparation, nullptr)) {
            ChannelPipeline::stopLater(stopping, [watch, problem] {
                QMutexLocker lock(&watch->mutex);
                if (LoopSource *source = watch->owner)
                    QMetaObject::invokeMethod(source, [source, problem] { source->finish(problem); },
                                              Qt::QueuedConnection);
            });
        }
    }
    // Once: the first of the preparation's ends is the one reported.
    static void end(const std::shared_ptr<PreparationWatch> &watch, const QString &problem)
    {
        if (!watch->frames->done.exchange(true))
            stop(watch, problem);
    }
    // A reference for GStreamer to hold, dropped by unshare() when it lets go.
    static gpointer share(const std::shared_ptr<PreparationWatch> &watch)
    {
        return new std::shared_ptr<PreparationWatch>(watch);
    }
    static void unshare(gpointer data) { delete static_cast<std::shared_ptr<PreparationWatch> *>(data); }
    static const std::shared_ptr<PreparationWatch> &of(gpointer data)
    {
        return *static_cast<std::shared_ptr<PreparationWatch> *>(data);
    }
};

namespace {

// One appsrc's place in the loop: the next frame, and how far the rounds so
// far have moved the timestamps on.
struct LoopPlayer
{
    std::shared_ptr<const LoopFrames> frames;
    qsizetype next = 0;
    GstClockTime shift = 0;
};

// Takes one frame; false once the loop is full. A loop starts at a key frame
// and ends before one.
bool take(LoopFrames &frames, GstSample *sample)
{
    GstBuffer *buffer = gst_sample_get_buffer(sample);
    if (!buffer || (frames.buffers.isEmpty() && GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT)))
        return true;
    const bool key = !GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
    const qint64 size = qint64(gst_buffer_get_size(buffer));
    if (frames.bytes + size > maximumLoopBytes) {
        for (qsizetype i = frames.lastKeyFrame; i < frames.buffers.size(); ++i) {
            frames.bytes -= qint64(gst_buffer_get_size(frames.buffers.at(i)));
            gst_buffer_unref(frames.buffers.at(i));
        }
        frames.buffers.resize(frames.lastKeyFrame);
        return false;
    }
    if (key)
        frames.lastKeyFrame = frames.buffers.size();
    if (!frames.caps)
        frames.caps = gst_caps_ref(gst_sample_get_caps(sample));
    // A copy of the metadata alone, the picture shared: its timestamps are ours to set.
    frames.buffers.append(gst_buffer_copy(buffer));
    frames.bytes += size;
    return frames.maximumFrames == 0 || frames.buffers.size() < frames.maximumFrames;
}

// Timestamps from 0, a round as long as its frames, and the duration of one
// round; a loop without timestamps is given the row's rate.
void settleTimestamps(LoopFrames &frames, int frameRate)
{
    const GstClockTime period = gst_util_uint64_scale_int(GST_SECOND, 1, frameRate);
    const bool timed = std::all_of(frames.buffers.cbegin(), frames.buffers.cend(),
                                   [](GstBuffer *buffer) { return GST_BUFFER_PTS_IS_VALID(buffer); });
    GstClockTime start = GST_CLOCK_TIME_NONE;
    for (qsizetype i = 0; i < frames.buffers.size(); ++i) {
        GstBuffer *buffer = frames.buffers.at(i);
        if (!timed)
            GST_BUFFER_PTS(buffer) = GST_BUFFER_DTS(buffer) = GstClockTime(i) * period;
        start = std::min({start, GST_BUFFER_PTS(buffer), GST_BUFFER_DTS(buffer)}); // NONE is the largest
    }
    frames.duration = 0;
    for (GstBuffer *buffer : std::as_const(frames.buffers)) {
        GST_BUFFER_PTS(buffer) -= start;
        if (GST_BUFFER_DTS_IS_VALID(buffer))
            GST_BUFFER_DTS(buffer) -= start;
        GST_BUFFER_FLAG_UNSET(buffer, GST_BUFFER_FLAG_DISCONT);
        const GstClockTime length = GST_BUFFER_DURATION_IS_VALID(buffer) ? GST_BUFFER_DURATION(buffer) : period;
        frames.duration = std::max(frames.duration, GST_BUFFER_PTS(buffer) + length);
    }
}

// Whether the access unit holds an SPS: H.264 as the caps say, NAL units
// after length fields (avc) or after start codes (byte-stream).
bool holdsSps(GstBuffer *buffer, int lengthSize)
{
    GstMapInfo map;
    if (!gst_buffer_map(buffer, &map, GST_MAP_READ))
        return false;
    bool found = false;
    for (gsize at = 0; !found && at + gsize(std::max(lengthSize, 3)) < map.size;) {
        if (lengthSize > 0) {
            gsize size = 0;
            for (int i = 0; i < lengthSize; ++i)
                size = size << 8 | map.data[at + i];
            found = (map.data[at + gsize(lengthSize)] & 0x1f) == 7;
            at += gsize(lengthSize) + size;
        } else if (map.data[at] == 0 && map.data[at + 1] == 0 && map.data[at + 2] == 1) {
            found = (map.data[at + 3] & 0x1f) == 7;
            at += 3;
        } else {
            ++at;
        }
    }
    gst_buffer_unmap(buffer, &map);
    return found;
}

// x264, and many a camera's recorder, write the parameter sets before every
// key frame themselves; the payloader must then add none of its own.
bool keyFramesHoldSps(const LoopFrames &frames)
{
    const GstStructure *structure = gst_caps_get_structure(frames.caps, 0);
    if (!gst_structure_has_name(structure, "video/x-h264"))
        return false;
    int lengthSize = 0;
    if (g_strcmp0(gst_structure_get_string(structure, "stream-format"), "avc") == 0) {
        lengthSize = 4;
        const GValue *codecData = gst_structure_get_value(structure, "codec_data");
        GstBuffer *record = codecData && G_VALUE_HOLDS(codecData, GST_TYPE_BUFFER) ? gst_value_get_buffer(codecData)
                                                                                    : nullptr;
        guint8 sizeByte = 3;
        if (record && gst_buffer_get_size(record) > 4)
            gst_buffer_extract(record, 4, &sizeByte, 1);
        lengthSize = (sizeByte & 3) + 1;
    }
    return std::all_of(frames.buffers.cbegin(), frames.buffers.cend(), [lengthSize](GstBuffer *buffer) {
        return GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT) || holdsSps(buffer, lengthSize);
    });
}

} // namespace

QList<GstElement *> loopEncoder(const StreamSpec &spec, QString &problem)
{
    QList<GstElement *> made = makeElements({"x264enc"}, problem);
    if (made.isEmpty())
        return {};
    // Made once, so no need for zerolatency's slices: one slice a picture,
    // after the parameter sets x264 writes before each key frame.
    g_object_set(made.first(), "bitrate", guint(std::max(1, spec.bitRate / 1000)), "key-int-max",
                 guint(spec.frameRate), "bframes", 0, "sliced-threads", FALSE, "option-string", "scenecut=0", nullptr);
    gst_util_set_object_arg(G_OBJECT(made.first()), "speed-preset", "ultrafast");
    made << capsFilter(gst_caps_new_simple("video/x-h264", "stream-format", G_TYPE_STRING, "avc", "alignment",
                                           G_TYPE_STRING, "au", "profile", G_TYPE_STRING, "constrained-baseline",
                                           nullptr));
    return made;
}

LoopSource::LoopSource(const StreamSpec &spec, QObject *parent)
    : QObject(parent), spec(spec), frames(std::make_shared<LoopFrames>()), watch(std::make_shared<PreparationWatch>())
{
    watch->owner = this;
    watch->frames = frames;
}

LoopSource::~LoopSource()
{
    {
        // Nothing is posted to this object from here on.
        QMutexLocker lock(&watch->mutex);
        watch->owner = nullptr;
    }
    PreparationWatch::stop(watch, QString());
}

bool LoopSource::prepare(QString &problem)
{
    const bool raw = spec.encoding == QLatin1String("RAW");
    if (raw) {
        // A second of frames at most, and no more than a loop may hold.
        const qint64 frameBytes = qint64(spec.width) * spec.height * (spec.rawFormat == QLatin1String("RGB") ? 3 : 2);
        frames->maximumFrames = qsizetype(std::clamp<qint64>(maximumLoopBytes / frameBytes, 1, spec.frameRate));
    }
    QList<GstElement *> sink = makeElements({"appsink"}, problem);
    if (sink.isEmpty())
        return false;
    g_object_set(sink.first(), "sync", FALSE, "enable-last-sample", FALSE, nullptr);
    preparation = gst_pipeline_new(nullptr);
    watch->preparation = preparation; // stopped by the watch, in the end
    gst_bin_add(GST_BIN(preparation), sink.first());
    const bool clip = spec.source != QLatin1String("loop");
    if (!(clip ? addClipReader(preparation, sink.first(), spec, &frames->converted, problem)
               : buildPattern(sink.first(), problem)))
        return false;

    // Called on the preparation's streaming thread.
    GstAppSinkCallbacks callbacks = {};
    callbacks.new_sample = [](GstAppSink *appSink, gpointer data) -> GstFlowReturn {
        const std::shared_ptr<PreparationWatch> &watch = PreparationWatch::of(data);
        GstSample *sample = gst_app_sink_pull_sample(appSink);
        const bool more = sample && !watch->frames->done && take(*watch->frames, sample);
        if (sample)
            gst_sample_unref(sample);
        if (more)
            return GST_FLOW_OK;
        PreparationWatch::end(watch, QString());
        return GST_FLOW_EOS;
    };
    callbacks.eos = [](GstAppSink *, gpointer data) { PreparationWatch::end(PreparationWatch::of(data), QString()); };
    gst_app_sink_set_callbacks(GST_APP_SINK(sink.first()), &callbacks, PreparationWatch::share(watch),
                               PreparationWatch::unshare);
    watchBus();
    // A failure to start has posted its reason on the bus by now, and that is reported.
    if (gst_element_set_state(preparation, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE)
        PreparationWatch::end(watch, QStringLiteral("does not start"));
    return true;
}

bool LoopSource::buildPattern(GstElement *sink, QString &problem)
{
    const bool raw = spec.encoding == QLatin1String("RAW");
    QList<GstElement *> ordered =
        makeElements({"videotestsrc", "textoverlay", "timeoverlay", "videoconvert"}, problem);
    const QList<GstElement *> encoder = raw || ordered.isEmpty() ? QList<GstElement *>() : loopEncoder(spec, problem);
    if (ordered.isEmpty() || (!raw && encoder.isEmpty())) {
        for (GstElement *element : std::as_const(ordered))
            gst_object_unref(element);
        return false;
    }
    const int count = raw ? int(frames->maximumFrames) : patternSeconds * spec.frameRate;
    g_object_set(ordered.at(0), "num-buffers", count, nullptr);
    // The description as on the live picture; instead of a clock that cannot
    // tick, the place in the loop.
    gchar *markup = g_markup_escape_text(spec.description.toUtf8().constData(), -1);
    g_object_set(ordered.at(1), "text", markup, "font-desc", "Sans 18", "shaded-background", TRUE, nullptr);
    g_free(markup);
    gst_util_set_object_arg(G_OBJECT(ordered.at(1)), "valignment", "top");
    gst_util_set_object_arg(G_OBJECT(ordered.at(1)), "halignment", "left");
    g_object_set(ordered.at(2), "font-desc", "Sans 18", "shaded-background", TRUE, nullptr);
    gst_util_set_object_arg(G_OBJECT(ordered.at(2)), "valignment", "bottom");
    gst_util_set_object_arg(G_OBJECT(ordered.at(2)), "halignment", "right");
    ordered.insert(1, capsFilter(gst_caps_new_simple("video/x-raw", "width", G_TYPE_INT, spec.width, "height",
                                                     G_TYPE_INT, spec.height, "framerate", GST_TYPE_FRACTION,
                                                     spec.frameRate, 1, nullptr)));
    // The colorimetry the SDP announces, as on the live picture.
    ordered << capsFilter(gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING,
                                              raw ? spec.rawFormat.toLatin1().constData() : "I420", "colorimetry",
                                              G_TYPE_STRING, spec.colorimetry.toLatin1().constData(), nullptr));
    ordered << encoder;
    if (!linkInOrder(preparation, ordered, problem))
        return false;
    return gst_element_link(ordered.constLast(), sink)
           || (problem = QStringLiteral("GStreamer cannot link the loop's frames to memory"), false);
}

void LoopSource::watchBus()
{
    // As the channel's pipeline does: every message dropped, an error handed
    // to the Qt thread, once.
    auto handler = [](GstBus *, GstMessage *message, gpointer data) -> GstBusSyncReply {
        if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
            GError *error = nullptr;
            gst_message_parse_error(message, &error, nullptr);
            const QString text = QString::fromUtf8(error ? error->message : "unknown error");
            g_clear_error(&error);
            PreparationWatch::end(PreparationWatch::of(data), text);
        }
        gst_message_unref(message);
        return GST_BUS_DROP;
    };
    GstBus *bus = gst_element_get_bus(preparation);
    gst_bus_set_sync_handler(bus, handler, PreparationWatch::share(watch), PreparationWatch::unshare);
    gst_object_unref(bus);
}

void LoopSource::finish(const QString &problem)
{
    const bool clip = spec.source != QLatin1String("loop");
    const QString what = clip ? QStringLiteral("clip \"%1\"").arg(spec.source) : QStringLiteral("loop");
    const QString reason = !problem.isEmpty() ? problem
                           : frames->buffers.isEmpty()
                               ? QStringLiteral("no picture of at most %1 MiB a key-frame interval in it")
                                     .arg(maximumLoopBytes >> 20)
                               : QString();
    if (!reason.isEmpty()) {
        Q_EMIT failed(QStringLiteral("%1: %2").arg(what, reason));
        return;
    }
    settleTimestamps(*frames, spec.frameRate);
    frames->parameterSetsInBand = keyFramesHoldSps(*frames);
    qDebug().noquote() << QStringLiteral("channel %1 %2 ready%3: %4 frames, %5 s, %6 bytes held")
                              .arg(QString::number(spec.index), what,
                                   !clip ? QString()
                                   : frames->converted ? QStringLiteral(", converted")
                                                       : QStringLiteral(", sent as it is"),
                                   QString::number(frames->buffers.size()),
                                   QString::number(double(frames->duration) / GST_SECOND, 'f', 2),
                                   QString::number(frames->bytes));
    Q_EMIT ready();
}

bool LoopSource::parameterSetsInBand() const
{
    return frames->parameterSetsInBand;
}

GstElement *LoopSource::makeSource() const
{
    GstElement *source = gst_element_factory_make("appsrc", nullptr);
    if (!source)
        return nullptr;
    g_object_set(source, "caps", frames->caps, "format", GST_FORMAT_TIME, nullptr);
    // Called on the appsrc's streaming thread whenever its queue is empty;
    // the sink's clock paces it.
    GstAppSrcCallbacks callbacks = {};
    callbacks.need_data = [](GstAppSrc *appSrc, guint, gpointer data) {
        auto *player = static_cast<LoopPlayer *>(data);
        GstBuffer *out = gst_buffer_copy(player->frames->buffers.at(player->next));
        GST_BUFFER_PTS(out) += player->shift;
        if (GST_BUFFER_DTS_IS_VALID(out))
            GST_BUFFER_DTS(out) += player->shift;
        if (++player->next == player->frames->buffers.size()) {
            player->next = 0;
            player->shift += player->frames->duration;
        }
        gst_app_src_push_buffer(appSrc, out);
    };
    gst_app_src_set_callbacks(GST_APP_SRC(source), &callbacks, new LoopPlayer{frames},
                              [](gpointer data) { delete static_cast<LoopPlayer *>(data); });
    return source;
}
