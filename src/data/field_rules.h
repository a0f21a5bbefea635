// The values the MIB module allows in the device's writable fields. Whatever
// sets a field, a manager's SET or a device profile, applies the same rules.
#pragma once

#include <QString>

#include <optional>

enum class FieldRule {
    Integer32,        // any Integer32
    Port,             // a UDP port, 0 (none) to 65535
    RtpPayloadType,   // 0 to 127: seven bits in the RTP header
    MulticastTtl,     // 1 to 255: how many routers a stream may cross
    RebootSeconds,    // 0 (no reboot) to 3600: how long a reboot keeps the device silent
    Dscp,             // 0 to 63: the six bits of the IP header's DS field
    VideoFormatIndex, // the index of an existing videoFormats row
    Ipv4Address,      // any IPv4 address
    MulticastAddress, // a multicast group (224.0.0.0/4), or 0.0.0.0 for none
    DisplayText,      // a DisplayString: at most 255 octets
    ChannelSource,    // "live", "loop" or the absolute path of a video clip
};

bool integerAllowed(FieldRule rule, qint64 value);
bool addressAllowed(FieldRule rule, quint32 address);
int maximumTextLength(FieldRule rule);
bool channelSourceAllowed(const QString &source);

// Exactly four dotted decimal octets, each 0 to 255 without leading zeros,
// and nothing around them: the address in host order. The shorthand that
// inet_aton takes ("239.1", "0350.1.1.1", "4009754881") would otherwise be
// served as another address than the one written.
std::optional<quint32> dottedQuad(const QString &text);
