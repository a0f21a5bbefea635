// The streams of all channels, started, restarted and stopped as their rows
// change.
#include "stream/channel_streams.h"

#include "stream/channel_pipeline.h"
#include "stream/sap_announcer.h"

#include <QDebug>
#include <QTimer>

#include <gst/gst.h>

ChannelStreams::ChannelStreams(const StreamSettings &settings) : settings(settings) {}

ChannelStreams::~ChannelStreams()
{
    const QList<qint32> indexes = running.keys();
    for (qint32 index : indexes)
        stop(index);
}

void ChannelStreams::apply(const ChannelEntry &channel)
{
    // Acted on once the event loop is back: after the SET's answer has gone,
    // and once for all the cells of a row that one SET changed.
    if (changed.isEmpty() && !restartPending)
        QTimer::singleShot(0, this, &ChannelStreams::settle);
    changed.insert(channel.index, channel);
}

void ChannelStreams::restartAll()
{
    if (changed.isEmpty() && !restartPending)
        QTimer::singleShot(0, this, &ChannelStreams::settle);
    restartPending = true;
}

void ChannelStreams::settle()
{
    if (std::exchange(restartPending, false)) {
        const QList<Running> all = running.values();
        for (const Running &stream : all) {
            stop(stream.spec.index);
            start(stream.spec);
        }
    }
    const QMap<qint32, ChannelEntry> rows = std::exchange(changed, {});
    for (const ChannelEntry &channel : rows) {
        QString problem;
        const std::optional<StreamSpec> spec = channel.status == 1 ? streamSpecFor(channel, problem) : std::nullopt;
        if (spec && running.contains(channel.index) && running.value(channel.index).spec == *spec)
            continue;
        if (running.contains(channel.index))
            stop(channel.index);
        if (spec)
            start(*spec);
        else if (!problem.isEmpty())
            qWarning().noquote() << QStringLiteral("channel %1 not streaming: %2").arg(QString::number(channel.index), problem);
    }
}

void ChannelStreams::start(const StreamSpec &spec)
{
    Running stream{spec, new ChannelPipeline(spec, settings, this), new SapAnnouncer(spec, settings, this)};
    QString problem;
    if (!stream.pipeline->start(problem)) {
        delete stream.pipeline;
        delete stream.announcer;
        qWarning().noquote() << QStringLiteral("channel %1 not streaming: %2").arg(QString::number(spec.index), problem);
        return;
    }
    connect(stream.pipeline, &ChannelPipeline::flowing, stream.announcer, &SapAnnouncer::announce);
    connect(stream.pipeline, &ChannelPipeline::failed, this,
            [this, index = spec.index, pipeline = stream.pipeline](const QString &message) {
                qWarning().noquote() << QStringLiteral("channel %1 pipeline error: %2").arg(QString::number(index), message);
                // Not inside the pipeline's own signal; and only if it still is this channel's.
                QMetaObject::invokeMethod(this, [this, index, pipeline] {
                    if (running.value(index).pipeline == pipeline)
                        stop(index);
                }, Qt::QueuedConnection);
            });
    running.insert(spec.index, stream);
    qDebug().noquote() << QStringLiteral("channel %1 streaming %2 %3x%4@%5 to %6:%7")
                              .arg(QString::number(spec.index), spec.encoding, QString::number(spec.width),
                                   QString::number(spec.height), QString::number(spec.frameRate), spec.group,
                                   QString::number(spec.port));
}

void ChannelStreams::stop(qint32 index)
{
    const Running stream = running.take(index);
    delete stream.pipeline;
    delete stream.announcer; // sends the deletion
    qDebug().noquote() << QStringLiteral("channel %1 stopped").arg(index);
}

extern "C" Q_DECL_EXPORT StreamControl *vivoeCreateStreamControl(const StreamSettings &settings, QString &error)
{
    GError *failure = nullptr;
    if (!gst_init_check(nullptr, nullptr, &failure)) {
        error = QString::fromUtf8(failure ? failure->message : "GStreamer cannot be initialised");
        g_clear_error(&failure);
        return nullptr;
    }
    return new ChannelStreams(settings);
}
