// The streams of all channels: each channel whose row says so sends its
// video and announces it; a committed change restarts what it touches.
#pragma once

#include "stream/stream_control.h"
#include "stream/stream_spec.h"

#include <QMap>
#include <QObject>

class ChannelPipeline;
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
    };

    void settle();
    void start(const StreamSpec &spec);
    void stop(qint32 index);

    StreamSettings settings;
    // Rows changed since the last pass: the cells of one SET arrive one by one.
    QMap<qint32, ChannelEntry> changed;
    bool restartPending = false;
    QMap<qint32, Running> running;
};
