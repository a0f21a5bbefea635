// The streams of all channels: each channel whose row says so sends its
// video and announces it; a committed change restarts what it touches.
#pragma once

#include "stream/stream_control.h"
#include "stream/stream_spec.h"

#include <QMap>
#include <QObject>

class ChannelPipeline;
class QTimer;
class SapAnnouncer;

class ChannelStreams : public QObject, public StreamControl
{
    Q_OBJECT

public:
    explicit ChannelStreams(const StreamSettings &settings);
    ~ChannelStreams() override;

    void apply(const ChannelEntry &channel) override;
    void restartAll() override;

private:
    struct Running
    {
        StreamSpec spec;
        ChannelPipeline *pipeline = nullptr;
        SapAnnouncer *announcer = nullptr;
        bool started = false; // and said so
    };

    // A channel that could not start, tried again after `delay` ms.
    struct Retry
    {
        StreamSpec spec;
        int delay = 0;
        QString problem; // as last logged: said once, not at every try
        QTimer *timer = nullptr;
    };

    void settle();
    void queue(const StreamSpec &spec);
    void scheduleNext();
    void startNext();
    void startOver();
    void start(const StreamSpec &spec);
    void follow(const Running &stream);
    void retryLater(const StreamSpec &spec, const QString &problem);
    void forget(qint32 index);
    void stop(qint32 index);

    StreamSettings settings;
    // Rows changed since the last pass: the cells of one SET arrive one by one.
    QMap<qint32, ChannelEntry> changed;
    bool restartPending = false;
    // Started one after another, each built off the main thread, so that
    // SNMP is answered meanwhile and each start counts what the last took.
    QMap<qint32, StreamSpec> queued;
    bool startScheduled = false;
    ChannelPipeline *starting = nullptr;
    QMap<qint32, Retry> retries;
    QMap<qint32, Running> running;
};
