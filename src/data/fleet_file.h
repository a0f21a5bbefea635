// Fleet files: the devices of a lab or a vehicle in one JSON file, each with
// its address, port, profile and options, a range of alike devices in one
// entry. Checked whole, as a profile is, before any device starts.
#pragma once

#include "data/device_data.h"

#include <QHostAddress>
#include <QJsonObject>
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

// One entry of a fleet file as checked: a device, or a range of alike ones.
struct FleetEntry
{
    QString at;           // "devices[1].": where it stands in the file
    QJsonObject object;   // as written: among others, the devices' own values
    QJsonObject profile;  // the profile it names, as profileObject gives it
    QHostAddress address; // of its first device
    int port = 161, count = 1, first = 1;
    bool writableTables = false, stream = false;
};

// A checked fleet. A device is made only in the process that runs it: the
// parent keeps the entries alone, so that the memory every device shares
// with it stays small and is not strewn with what each device discards.
class Fleet
{
public:
    QList<FleetEntry> entries;

    qsizetype size() const;
    // "127.0.0.2 port 1161": the k-th device, the first 0, as logs name it.
    QString endpoint(qsizetype k) const;
    FleetDevice device(qsizetype k) const;
};

// Reads and checks a fleet file, every profile it names and every device of
// every range. On failure `error` is one line naming the file, the place in
// it (e.g. devices[1].count) and what was expected.
std::optional<Fleet> loadFleet(const QString &path, QString &error);
