// The values the MIB module allows in the device's writable fields. Whatever
// sets a field, a manager's SET or a device profile, applies the same rules.
#include "data/field_rules.h"

#include "data/device_data.h"

#include <QStringList>

#include <algorithm>
#include <limits>

bool integerAllowed(FieldRule rule, qint64 value)
{
    switch (rule) {
    case FieldRule::Port:
        return value >= 0 && value <= 65535;
    case FieldRule::RtpPayloadType:
        return value >= 0 && value <= 127;
    case FieldRule::MulticastTtl:
        return value >= 1 && value <= 255;
    case FieldRule::RebootSeconds:
        return value >= 0 && value <= 3600;
    case FieldRule::Dscp:
        return value >= 0 && value <= 63;
    case FieldRule::VideoFormatIndex:
        return value >= 1 && value <= std::numeric_limits<qint32>::max() && videoFormats.contains(qint32(value));
    default:
        return value >= std::numeric_limits<qint32>::min() && value <= std::numeric_limits<qint32>::max();
    }
}

bool addressAllowed(FieldRule rule, quint32 address)
{
    return rule != FieldRule::MulticastAddress || address == 0 || (address >> 28) == 0xe;
}

int maximumTextLength(FieldRule rule)
{
    return rule == FieldRule::DisplayText ? 255 : 65535;
}

bool channelSourceAllowed(const QString &source)
{
    // A relative path would depend on the directory the agent runs in (a daemon's is /).
    return source == QLatin1String("live") || source == QLatin1String("loop")
           || (source.startsWith(QLatin1Char('/')) && source.size() < 4096 && !source.contains(QChar(0)));
}

std::optional<quint32> dottedQuad(const QString &text)
{
    const QStringList parts = text.split(QLatin1Char('.'));
    if (parts.size() != 4)
        return std::nullopt;
    quint32 address = 0;
    for (const QString &part : parts) {
        bool isNumber = false;
        const uint octet = part.toUInt(&isNumber, 10);
        const bool digitsOnly = std::all_of(part.begin(), part.end(), [](QChar c) { return c.isDigit() && c.unicode() < 128; });
        if (!isNumber || !digitsOnly || part.size() > 3 || octet > 255 || (part.size() > 1 && part.startsWith(QLatin1Char('0'))))
            return std::nullopt;
        address = address << 8 | octet;
    }
    return address;
}
