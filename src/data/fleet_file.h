// Fleet files: the devices of a lab or a vehicle in one JSON file, each with
// its address, port, profile and options, a range of alike devices in one
// entry. Checked whole, as a profile is, before any device starts.
#pragma once

#include "data/device_data.h"

#include <QList>
#include <QString>

#include <optional>

struct FleetDevice
{
    QString address;
    int port = 161;
    bool writableTables = false;
    bool stream = false;
    DeviceProfile profile; // the entry's profile with this device's own values
};

// A fleet's devices never outnumber what one host can run side by side.
inline constexpr int maximumFleetSize = 65535;

// Expands "{n}" and "{n:0W}" (n zero-padded to W digits) in a text; false
// when a brace starts anything else.
std::optional<QString> expandDeviceNumber(const QString &text, qint64 n);

// Reads and checks a fleet file, every profile it names and every device of
// every range. On failure `error` is one line naming the file, the place in
// it (e.g. devices[1].count) and what was expected.
std::optional<QList<FleetDevice>> loadFleet(const QString &path, QString &error);
