// Where the VIVOE objects live: the scalar registration table and the OIDs of
// the three tables, all below 1.3.6.1.4.1.35990.3.1.
#pragma once

#include <array>

struct ScalarObject
{
    const char *name; // registration name and handler dispatch key
    unsigned group;   // 1 device, 2 video formats, 3 channels
    unsigned member;
    bool writable;
};

// In registration order, which is also OID order.
extern const std::array<ScalarObject, 17> scalarObjects;

// The nine sub-identifiers of 1.3.6.1.4.1.35990.3.1; a registration appends
// a group and a member number.
constexpr std::array<unsigned, 9> vivoeRoot = {1, 3, 6, 1, 4, 1, 35990, 3, 1};

void registerScalars();
