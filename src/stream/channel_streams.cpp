// The streams of all channels, started, restarted and stopped as their rows
// change.
#include "stream/channel_streams.h"

#include "stream/channel_pipeline.h"
#include "stream/sap_announcer.h"

#include <QDebug>
#include <QTimer>

#include <algorithm>
#include <limits>

#include <dirent.h>
#include <malloc.h>
#include <sys/resource.h>

#include <gst/gst.h>

namespace {

// What a stream may hold (its sockets, GStreamer's wake-up pipes and polls,
// the announcement's socket; a loop's or clip's preparation, stopped before
// the stream's own pipeline is built, holds fewer: its pipes and the clip),
// and what no stream ever takes, so that SNMP keeps answering: GLib aborts
// the process when it cannot make a pipe.
constexpr int descriptorsPerStream = 16;
constexpr int reservedDescriptors = 64;
constexpr int firstRetryDelay = 1000; // ms, doubled at each failure
constexpr int lastRetryDelay = 30000;
constexpr int maximumArenas = 4096;

bool descriptorsLeft(QString &problem)
{
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    const qint64 allowed = qint64(std::min<rlim_t>(limit.rlim_cur, std::numeric_limits<int>::max()));
    qint64 open = 0;
    if (DIR *descriptors = opendir("/proc/self/fd")) {
        while (readdir(descriptors))
            ++open;
        closedir(descriptors);
        open -= 3; // ".", ".." and the directory's own
    }
    if (allowed - open >= descriptorsPerStream + reservedDescriptors)
        return true;
    // No count of those open: the text stays the same from one try to the next, said once.
    problem = QStringLiteral("too few free descriptors (limit %1; a stream needs %2, %3 are kept for SNMP)")
                  .arg(allowed)
                  .arg(descriptorsPerStream)
                  .arg(reservedDescriptors);
    return false;
}

} // namespace

ChannelStreams::ChannelStreams(const StreamSettings &settings) : settings(settings) {}

ChannelStreams::~ChannelStreams()
{
    const QList<qint32> indexes = running.keys();
    for (qint32 index : indexes)
        stop(index);
    // Released, but no event loop is left to delete them: a start in
    // progress is waited for here.
    qDeleteAll(findChildren<ChannelPipeline *>(Qt::FindDirectChildrenOnly));
    ChannelPipeline::waitForStopped();
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
        // Every streaming channel anew, and every one waiting to try again at once.
        const QList<Running> all = running.values();
        for (const Running &stream : all) {
            stop(stream.spec.index);
            queue(stream.spec);
        }
        for (Retry &retry : retries) {
            retry.delay = 0;
            queue(retry.spec);
        }
    }
    const QMap<qint32, ChannelEntry> rows = std::exchange(changed, {});
    for (const ChannelEntry &channel : rows) {
        QString problem;
        const std::optional<StreamSpec> spec = channel.status == 1 ? streamSpecFor(channel, problem) : std::nullopt;
        if (spec && running.contains(channel.index) && running.value(channel.index).spec == *spec)
            continue;
        forget(channel.index);
        if (running.contains(channel.index))
            stop(channel.index);
        if (spec)
            queue(*spec);
        else if (!problem.isEmpty())
            qWarning().noquote() << QStringLiteral("channel %1 not streaming: %2").arg(QString::number(channel.index), problem);
    }
}

void ChannelStreams::queue(const StreamSpec &spec)
{
    if (Retry *retry = retries.contains(spec.index) ? &retries[spec.index] : nullptr)
        retry->timer->stop();
    queued.insert(spec.index, spec);
    scheduleNext();
}

void ChannelStreams::scheduleNext()
{
    if (!std::exchange(startScheduled, true))
        QTimer::singleShot(0, this, &ChannelStreams::startNext);
}

void ChannelStreams::startNext()
{
    startScheduled = false;
    if (starting || queued.isEmpty())
        return;
    start(queued.take(queued.firstKey()));
    if (!starting)
        scheduleNext();
}

// The next start may count the descriptors this one took.
void ChannelStreams::startOver()
{
    starting = nullptr;
    scheduleNext();
}

// A row changed: what was pending for the channel no longer holds.
void ChannelStreams::forget(qint32 index)
{
    queued.remove(index);
    delete retries.take(index).timer;
}

void ChannelStreams::retryLater(const StreamSpec &spec, const QString &problem)
{
    Retry &retry = retries[spec.index];
    if (retry.problem != problem)
        qWarning().noquote() << QStringLiteral("channel %1 not streaming: %2").arg(QString::number(spec.index), problem);
    retry.spec = spec;
    retry.problem = problem;
    retry.delay = retry.delay ? std::min(2 * retry.delay, lastRetryDelay) : firstRetryDelay;
    if (!retry.timer) {
        retry.timer = new QTimer(this);
        retry.timer->setSingleShot(true);
        connect(retry.timer, &QTimer::timeout, this, [this, index = spec.index] { queue(retries.value(index).spec); });
    }
    retry.timer->start(retry.delay);
}

void ChannelStreams::start(const StreamSpec &spec)
{
    QString problem;
    if (!descriptorsLeft(problem))
        return retryLater(spec, problem);
    Running stream{spec, new ChannelPipeline(spec, settings, this), new SapAnnouncer(spec, settings, this)};
    follow(stream);
    running.insert(spec.index, stream);
    starting = stream.pipeline;
    stream.pipeline->start();
}

void ChannelStreams::follow(const Running &stream)
{
    const StreamSpec spec = stream.spec;
    connect(stream.pipeline, &ChannelPipeline::started, this, [this, spec] {
        startOver();
        running[spec.index].started = true;
        delete retries.take(spec.index).timer;
        qDebug().noquote() << QStringLiteral("channel %1 streaming %2 %3x%4@%5 to %6:%7")
                                  .arg(QString::number(spec.index), spec.encoding, QString::number(spec.width),
                                       QString::number(spec.height), QString::number(spec.frameRate), spec.group,
                                       QString::number(spec.port));
    });
    // Said only by a pipeline still running: a released one says nothing more.
    connect(stream.pipeline, &ChannelPipeline::notStarted, this, [this, spec](const QString &problem) {
        startOver();
        const Running failed = running.take(spec.index);
        failed.pipeline->release();
        delete failed.announcer;
        retryLater(spec, problem);
    });
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
}

void ChannelStreams::stop(qint32 index)
{
    const Running stream = running.take(index);
    if (stream.pipeline == starting)
        startOver();
    stream.pipeline->release();
    delete stream.announcer; // sends the deletion
    if (stream.started) // a start cut short said nothing yet
        qDebug().noquote() << QStringLiteral("channel %1 stopped").arg(index);
}

extern "C" Q_DECL_EXPORT StreamControl *vivoeCreateStreamControl(const StreamSettings &settings, QString &error)
{
    // A malloc arena for each thread: with the default of eight per core the
    // main thread shares its arena with streaming threads, which hold it for
    // long while the CPUs are busy with video, and SNMP waits for them.
    mallopt(M_ARENA_MAX, maximumArenas);
    GError *failure = nullptr;
    if (!gst_init_check(nullptr, nullptr, &failure)) {
        error = QString::fromUtf8(failure ? failure->message : "GStreamer cannot be initialised");
        g_clear_error(&failure);
        return nullptr;
    }
    return new ChannelStreams(settings);
}
