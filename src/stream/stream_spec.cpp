// What a channel row asks its stream to be, checked before any element is
// made.
#include "stream/stream_spec.h"

#include <QHostAddress>
#include <QStringList>

#include <algorithm>
#include <tuple>
#include <utility>

namespace {

// The largest picture and rate the encoders are asked for; more is a typo.
constexpr int maximumSide = 8192;
constexpr int maximumFrameRate = 240;
// x264enc takes its bit rate in kbit/s, at most 2,048,000 of them.
constexpr qint32 maximumBitRate = 2048000000;
// RFC 3551 assigns the static payload types below 96 to other codecs; the
// payloaders send H.264 and RAW only with a dynamic one.
constexpr int firstDynamicPayloadType = 96;

// channelSampling texts and the 8-bit GStreamer format of each.
const std::pair<const char *, const char *> rawSamplings[] = {
    {"4:2:2", "UYVY"}, {"YCbCr-4:2:2", "UYVY"}, {"4:2:0", "I420"}, {"YCbCr-4:2:0", "I420"}, {"RGB", "RGB"},
};

// channelColorimetry texts, GStreamer's name and RFC 4175's spelling of each.
const std::tuple<const char *, const char *, const char *> colorimetries[] = {
    {"BT601", "bt601", "BT601-5"}, {"BT601-5", "bt601", "BT601-5"}, {"BT709", "bt709", "BT709-2"},
    {"BT709-2", "bt709", "BT709-2"}, {"SMPTE240M", "smpte240m", "SMPTE240M"},
};

QString rawSamplingNames()
{
    QStringList names;
    for (const auto &[name, format] : rawSamplings)
        names << QLatin1String(name);
    return names.join(QLatin1String(", "));
}

bool inRange(int value, int first, int last)
{
    return value >= first && value <= last;
}

} // namespace

bool StreamSpec::operator==(const StreamSpec &other) const
{
    return std::tie(index, encoding, rawFormat, width, height, frameRate, bitRate, payloadType, group, port,
                    announceInterval, description, colorimetry, source)
           == std::tie(other.index, other.encoding, other.rawFormat, other.width, other.height, other.frameRate,
                       other.bitRate, other.payloadType, other.group, other.port, other.announceInterval,
                       other.description, other.colorimetry, other.source);
}

std::optional<StreamSpec> streamSpecFor(const ChannelEntry &channel, QString &problem)
{
    StreamSpec spec;
    spec.index = channel.index;
    spec.encoding = channel.encoding;
    if (channel.encoding == QLatin1String("RAW")) {
        const auto *known = std::find_if(std::begin(rawSamplings), std::end(rawSamplings),
                                         [&](const auto &sampling) { return channel.sampling == QLatin1String(sampling.first); });
        if (known == std::end(rawSamplings)) {
            problem = QStringLiteral("channelSampling \"%1\" is not one of %2").arg(channel.sampling, rawSamplingNames());
            return std::nullopt;
        }
        spec.rawFormat = QLatin1String(known->second);
    } else if (channel.encoding != QLatin1String("H264")) {
        problem = QStringLiteral("channelEncoding \"%1\" is not one of H264, RAW").arg(channel.encoding);
        return std::nullopt;
    }
    const auto *colorimetry = std::find_if(std::begin(colorimetries), std::end(colorimetries),
                                           [&](const auto &known) {
                                               return channel.colorimetry == QLatin1String(std::get<0>(known));
                                           });
    if (colorimetry == std::end(colorimetries)) {
        problem = QStringLiteral("channelColorimetry \"%1\" is not one of BT601, BT601-5, BT709, BT709-2, SMPTE240M")
                      .arg(channel.colorimetry);
        return std::nullopt;
    }
    spec.colorimetry = QLatin1String(std::get<1>(*colorimetry));
    spec.sdpColorimetry = QLatin1String(std::get<2>(*colorimetry));
    const std::tuple<const char *, int, int> numbers[] = {
        {"channelHorizontalPixels", channel.horizontalPixels, maximumSide},
        {"channelVerticalPixels", channel.verticalPixels, maximumSide},
        {"channelFrameRate", channel.frameRate, maximumFrameRate}};
    for (const auto &[name, value, last] : numbers) {
        if (!inRange(value, 1, last)) {
            problem = QStringLiteral("%1 %2 is not from 1 to %3").arg(QLatin1String(name)).arg(value).arg(last);
            return std::nullopt;
        }
    }
    if (spec.encoding == QLatin1String("H264") && !inRange(channel.compressionRate, 1000, maximumBitRate)) {
        problem = QStringLiteral("channelCompressionRate %1 is not a bit rate from 1000 to %2 bits/s")
                      .arg(channel.compressionRate)
                      .arg(maximumBitRate);
        return std::nullopt;
    }
    if (!inRange(channel.rtpPayloadType, firstDynamicPayloadType, 127)) {
        problem = QStringLiteral("channelRtpPayloadType %1 is not a dynamic payload type from 96 to 127")
                      .arg(channel.rtpPayloadType);
        return std::nullopt;
    }
    const QHostAddress group(channel.multicastAddress);
    if (!group.isMulticast() || group.protocol() != QAbstractSocket::IPv4Protocol) {
        problem = QStringLiteral("channelMulticastAddress %1 is not a group in 224.0.0.0/4").arg(channel.multicastAddress);
        return std::nullopt;
    }
    spec.width = channel.horizontalPixels;
    spec.height = channel.verticalPixels;
    spec.frameRate = channel.frameRate;
    spec.bitRate = channel.compressionRate;
    spec.payloadType = channel.rtpPayloadType;
    spec.group = group.toString();
    // The port a manager left unset: one RTP/RTCP pair per channel from 5004.
    const qint64 port = channel.multicastPort > 0 ? channel.multicastPort : 5004 + 2 * (qint64(channel.index) - 1);
    if (port > 65535) {
        problem = QStringLiteral("channelMulticastPort 0 would mean port %1 for this row; give a port from 1 to 65535")
                      .arg(port);
        return std::nullopt;
    }
    if (port == 65535) {
        problem = QStringLiteral("channelMulticastPort 65535 leaves no port for RTCP (port + 1); give a port from 1 to 65534");
        return std::nullopt;
    }
    spec.port = int(port);
    spec.announceInterval = std::max(1, channel.announceInterval);
    spec.description = channel.userDesc;
    spec.source = channel.source;
    return spec;
}

qint64 rawBitRate(const StreamSpec &spec)
{
    const qint64 bitsPerPixel = spec.rawFormat == QLatin1String("RGB")    ? 24
                                : spec.rawFormat == QLatin1String("I420") ? 12
                                                                          : 16;
    return qint64(spec.width) * spec.height * bitsPerPixel * spec.frameRate;
}

QString sapAddressFor(const QString &group)
{
    const quint32 address = QHostAddress(group).toIPv4Address();
    if ((address >> 16) == 0xefff) // 239.255.0.0/16, IPv4 local scope
        return QStringLiteral("239.255.255.255");
    if ((address >> 18) == (0xefc0 >> 2)) // 239.192.0.0/14, organisation-local scope
        return QStringLiteral("239.195.255.255");
    if ((address >> 8) == 0xe00000) // 224.0.0.0/24, link-local
        return QStringLiteral("224.0.0.255");
    return QStringLiteral("224.2.127.254"); // global scope
}
