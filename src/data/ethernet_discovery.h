// Turns the host's real network interfaces into the camera's Ethernet rows.
#pragma once

#include "data/device_data.h"

#include <QList>
#include <QString>

// What discovery needs to know of one host interface.
struct InterfaceRecord
{
    QString name;
    bool loopback = false;
    bool running = false;
    QString ipv4Address; // first IPv4 entry, empty when there is none
    QString ipv4Netmask;
    QString hardwareAddress;
};

struct DiscoveredInterface
{
    QString name;
    EthernetInterfaceEntry entry;
};

QList<InterfaceRecord> hostInterfaceRecords();

// Link speed in Mbit/s from <sysfsNetDir>/<name>/speed; 1000 when the file is
// missing, unreadable, not a 32-bit integer, zero or negative.
qint32 readLinkSpeed(const QString &sysfsNetDir, const QString &name);

// Running, non-loopback interfaces with an IPv4 address, indexed 1, 2, ...
QList<DiscoveredInterface> selectEthernetInterfaces(const QList<InterfaceRecord> &records,
                                                    const QString &sysfsNetDir);

// Fills ethernetInterfaces from the host, one debug line per stored entry.
void discoverEthernetInterfaces();
