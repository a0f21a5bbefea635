// What the agent's process sees of the channels' streams. The streams live
// in a module of their own, loaded only with --stream, so that no other run
// loads GStreamer or pays its memory.
#pragma once

#include "data/device_data.h"

#include <QString>

struct StreamSettings
{
    QString deviceDescription; // the SDP's i= line
    QString originAddress;     // this device's IPv4 address, in o= and the SAP header
    QString sourceAddress;     // the IPv4 address to send from; empty for the route's choice
    QString interfaceName;     // the interface to send on; empty for the route's choice
    int ttl = 1;
    int dscp = 0; // of RTP, RTCP and SAP packets
};

class StreamControl
{
public:
    virtual ~StreamControl() = default;
    // Starts, restarts or stops the channel's stream as its row now says.
    virtual void apply(const ChannelEntry &channel) = 0;
    // Every streaming channel starts afresh.
    virtual void restartAll() = 0;
};

// The module's one entry point: null, and `error` says why, when GStreamer
// cannot be initialised.
using CreateStreamControl = StreamControl *(*)(const StreamSettings &settings, QString &error);
inline constexpr char createStreamControlName[] = "vivoeCreateStreamControl";
