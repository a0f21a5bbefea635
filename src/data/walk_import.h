// Device profiles from a walk of a real device, as Net-SNMP's snmpwalk prints
// it or as snmpsim records it (.snmprec), so that a simulated copy of a camera
// needs no hand-written JSON.
#pragma once

#include "data/device_data.h"

#include <QString>
#include <QStringList>

#include <optional>

struct WalkImport
{
    DeviceProfile profile;
    // What the walk lacks and `base` gave, as a walk names it
    // (deviceMibVersion.0, channelUserDesc.3, channelTable).
    QStringList filledIn;
};

// Reads a walk of the VIVOE subtree into a profile that has passed the checks
// of loadProfile. On failure `error` is one line naming the file, the line in
// it and what was expected there.
std::optional<WalkImport> profileFromWalk(const QString &path, const DeviceProfile &base, QString &error);
