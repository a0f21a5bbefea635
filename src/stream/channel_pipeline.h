// One channel's video as GStreamer sends it: a live test pattern with the
// channel's description and a clock drawn on it, encoded and packetised as
// its row says, to its multicast group.
#pragma once

#include "stream/stream_control.h"
#include "stream/stream_spec.h"

#include <QList>
#include <QObject>

#include <functional>
#include <memory>

typedef struct _GstElement GstElement;
struct PipelineWatch;

class LoopSource;

class ChannelPipeline : public QObject
{
    Q_OBJECT

public:
    ChannelPipeline(const StreamSpec &spec, const StreamSettings &settings, QObject *parent = nullptr);
    // Waits for a start in progress (only at shutdown: owners release()).
    ~ChannelPipeline() override;

    // Builds and plays the pipeline off the main thread, where building a
    // big picture's text overlays and encoder waits on the streaming threads
    // of the others; started() or notStarted() follows. A loop or clip is
    // prepared first, in GStreamer's threads: its pipeline plays once it is
    // ready.
    void start();
    // Stops the stream and deletes this, once a start in progress is over.
    void release();
    // Returns once every pipeline deleted so far has stopped: they stop off
    // the main thread.
    static void waitForStopped();
    // Stops `pipeline` and drops it off the main thread, then calls `then` on
    // that thread; waitForStopped() waits for it too.
    static void stopLater(GstElement *pipeline, std::function<void()> then = nullptr);

Q_SIGNALS:
    void started();
    // `problem` names what is missing, the lack of a route or GStreamer's
    // own reason.
    void notStarted(const QString &problem);
    // The first RTP packet has left; `caps` are the payloader's, as text.
    void flowing(const QString &caps);
    // GStreamer reported an error; the pipeline sends no more.
    void failed(const QString &message);

private:
    void finish(bool built, const QString &problem);
    bool build(QString &problem);
    bool play(QString &problem);
    bool send(GstElement *payloader, QString &problem);
    bool prepareLoop(QString &problem);
    bool buildLooped(QString &problem);
    QList<GstElement *> drawOverlays(GstElement *description, GstElement *clock) const;
    QList<GstElement *> configureEncoder(GstElement *encoder, GstElement *payloader) const;
    GstElement *configureSink(GstElement *sink, int port) const;
    bool linkSession(GstElement *payloader, const QList<GstElement *> &session, QString &problem);
    void watchBye(GstElement *rtcpSink);
    void watchBus();
    void watchFirstPacket(GstElement *payloader);

    friend struct PipelineWatch;

    StreamSpec spec;
    StreamSettings settings;
    GstElement *pipeline = nullptr;
    GstElement *rtpbin = nullptr; // the pipeline's
    GstElement *rtcpSink = nullptr; // the pipeline's
    bool playing = false;
    bool building = false;
    bool released = false;
    QString heldFailure; // reported while building
    // Shared with GStreamer's threads, which may outlive this object.
    std::shared_ptr<PipelineWatch> watch;
    LoopSource *loop = nullptr;
};
