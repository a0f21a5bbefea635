// What a manager may write: the value ranges the MIB module states, checked
// before anything changes.
#pragma once

#include <cstdint>

// Every INTEGER the MIB module declares is an Integer32; the library decodes
// up to 8 octets, so a 5-octet value arrives intact and must be refused.
inline bool fitsInteger32(long value)
{
    return value >= INT32_MIN && value <= INT32_MAX;
}
