// One channel's video as GStreamer sends it: a live test pattern with the
// channel's description and a clock drawn on it, encoded and packetised as
// its row says, to its multicast group.
#pragma once

#include "stream/stream_control.h"
#include "stream/stream_spec.h"

#include <QList>
#include <QObject>

typedef struct _GstElement GstElement;

class LoopSource;

class ChannelPipeline : public QObject
{
    Q_OBJECT

public:
    ChannelPipeline(const StreamSpec &spec, const StreamSettings &settings, QObject *parent = nullptr);
    ~ChannelPipeline() override;

    // Builds and plays the pipeline; false, with `problem` naming what is
    // missing, when an element cannot be made. A loop or clip is prepared
    // first, in GStreamer's threads: its pipeline plays once it is ready.
    bool start(QString &problem);

Q_SIGNALS:
    // The first RTP packet has left; `caps` are the payloader's, as text.
    void flowing(const QString &caps);
    // GStreamer reported an error; the pipeline sends no more.
    void failed(const QString &message);

private:
    bool build(QString &problem);
    bool prepareLoop(QString &problem);
    bool buildLooped(QString &problem);
    QList<GstElement *> drawOverlays(GstElement *description, GstElement *clock) const;
    QList<GstElement *> configureEncoder(GstElement *encoder, GstElement *payloader) const;
    GstElement *configureSink(GstElement *sink) const;
    bool linkAll(const QList<GstElement *> &ordered, QString &problem);
    void watchBus();
    void watchFirstPacket(GstElement *payloader);

    StreamSpec spec;
    StreamSettings settings;
    GstElement *pipeline = nullptr;
    LoopSource *loop = nullptr;
};
