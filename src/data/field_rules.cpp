// The values the MIB module allows in the device's writable fields. Whatever
// sets a field, a manager's SET or a device profile, applies the same rules.
#include "data/field_rules.h"

#include "data/device_data.h"

#include <limits>

bool integerAllowed(FieldRule rule, qint64 value)
{
    switch (rule) {
    case FieldRule::Port:
        return value >= 0 && value <= 65535;
    case FieldRule::RtpPayloadType:
        return value >= 0 && value <= 127;
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
