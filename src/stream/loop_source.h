// A channel's pictures made once and sent over and over: the test pattern
// encoded once when the stream starts, or a user's clip, held in memory and
// played from an appsrc whose timestamps run on across the seam, so that
// receivers see one continuous stream and the host runs no encoder.
#pragma once

#include "stream/stream_spec.h"

#include <QList>
#include <QObject>
#include <QString>

#include <memory>

typedef struct _GstElement GstElement;

struct LoopFrames;
struct PreparationWatch;

class LoopSource : public QObject
{
    Q_OBJECT

public:
    explicit LoopSource(const StreamSpec &spec, QObject *parent = nullptr);
    // Stops a preparation still running, off the main thread; the frames live
    // on with any appsrc made from them.
    ~LoopSource() override;

    // Starts making the loop in GStreamer's threads; ready() or failed()
    // follows on this object's thread. False, with `problem`, when an element
    // it needs is missing.
    bool prepare(QString &problem);
    // An appsrc playing the loop on and on, for the channel's pipeline to own:
    // what the payloader takes, encoded H.264 or raw video. Only once ready.
    GstElement *makeSource() const;
    // Every key frame of an H.264 loop carries its SPS and PPS already.
    bool parameterSetsInBand() const;

Q_SIGNALS:
    void ready();
    // `reason` names the clip, if it is one, and what is wrong with it.
    void failed(const QString &reason);

private:
    bool buildPattern(GstElement *sink, QString &problem);
    void watchBus();
    void finish(const QString &problem);

    friend struct PreparationWatch;

    StreamSpec spec;
    GstElement *preparation = nullptr; // the watch's, while it is being built
    std::shared_ptr<LoopFrames> frames;
    // Shared with the preparation's threads, which may outlive this object.
    std::shared_ptr<PreparationWatch> watch;
};

// The encoder a loop is made with, for the pattern and for converted clips:
// whole key-frame intervals of a second, one slice a picture, no B-frames,
// SPS/PPS before every key frame.
QList<GstElement *> loopEncoder(const StreamSpec &spec, QString &problem);
