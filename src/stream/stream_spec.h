// What a channel row asks its stream to be, checked before any element is
// made: the encoding, picture, destination and announcement of one stream.
#pragma once

#include "data/device_data.h"

#include <QString>

#include <optional>

struct StreamSpec
{
    qint32 index = 0;
    QString encoding;  // "H264" or "RAW", as the log names it
    QString rawFormat; // GStreamer's name of the RAW sampling: UYVY, I420 or RGB
    QString colorimetry;    // GStreamer's name: bt601, bt709 or smpte240m
    QString sdpColorimetry; // RFC 4175's: BT601-5, BT709-2 or SMPTE240M
    int width = 0;
    int height = 0;
    int frameRate = 0;
    int bitRate = 0; // bits/s, for H.264
    int payloadType = 0;
    QString group;
    int port = 0;
    int announceInterval = 0; // seconds
    QString description;
    QString source; // "live", "loop" or a clip's path

    bool operator==(const StreamSpec &other) const;
};

// The stream the row describes, or nothing, with `problem` naming the row's
// value and the values accepted.
std::optional<StreamSpec> streamSpecFor(const ChannelEntry &channel, QString &problem);

// Bits per second of a RAW stream's pictures as they are.
qint64 rawBitRate(const StreamSpec &spec);

// Where SAP listeners of the group's scope listen (RFC 2974).
QString sapAddressFor(const QString &group);
