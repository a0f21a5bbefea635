// Announces one stream the way SAP listeners (VLC among them) find streams:
// SAP (RFC 2974) packets carrying the stream's SDP (RFC 4566), sent to the
// announcement address of the group's scope.
#pragma once

#include "stream/stream_control.h"
#include "stream/stream_spec.h"

#include <QByteArray>
#include <QObject>

class QTimer;
class QUdpSocket;

class SapAnnouncer : public QObject
{
    Q_OBJECT

public:
    SapAnnouncer(const StreamSpec &spec, const StreamSettings &settings, QObject *parent = nullptr);
    // Sends the deletion of what it announced, if anything.
    ~SapAnnouncer() override;

    // Announces the stream the payloader's caps describe, now and then every
    // announce interval.
    void announce(const QString &payloaderCaps);

private:
    void send(bool deletion);

    StreamSpec spec;
    StreamSettings settings;
    QUdpSocket *socket;
    QTimer *repeat;
    QByteArray sdp;
    quint16 messageHash = 0;
    bool sendFailed = false;
};

// The SDP of a stream: o= from this device, s= the channel's description,
// i= the device's, c= the group with its TTL, and the media GStreamer's SDP
// library makes of the payloader's caps.
QByteArray streamSdp(const StreamSpec &spec, const StreamSettings &settings, const QString &payloaderCaps,
                     quint64 sessionId, quint64 version);
