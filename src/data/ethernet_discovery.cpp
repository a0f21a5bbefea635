// Turns the host's real network interfaces into the camera's Ethernet rows.
#include "data/ethernet_discovery.h"

#include <QDebug>
#include <QFile>
#include <QNetworkInterface>

QList<InterfaceRecord> hostInterfaceRecords()
{
    QList<InterfaceRecord> records;
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &netInterface : interfaces) {
        InterfaceRecord record;
        record.name = netInterface.name();
        record.loopback = netInterface.flags().testFlag(QNetworkInterface::IsLoopBack);
        record.running = netInterface.flags().testFlag(QNetworkInterface::IsRunning);
        record.hardwareAddress = netInterface.hardwareAddress();
        const QList<QNetworkAddressEntry> entries = netInterface.addressEntries();
        for (const QNetworkAddressEntry &entry : entries) {
            if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol) {
                record.ipv4Address = entry.ip().toString();
                record.ipv4Netmask = entry.netmask().toString();
                break;
            }
        }
        records.append(record);
    }
    return records;
}

qint32 readLinkSpeed(const QString &sysfsNetDir, const QString &name)
{
    QFile file(QStringLiteral("%1/%2/speed").arg(sysfsNetDir, name));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return 1000;
    bool ok = false;
    // Reading a virtual device's speed fails with EINVAL: readAll is then empty.
    const int speed = QString::fromUtf8(file.readAll().trimmed()).toInt(&ok, 10);
    return ok && speed > 0 ? speed : 1000;
}

QList<DiscoveredInterface> selectEthernetInterfaces(const QList<InterfaceRecord> &records,
                                                    const QString &sysfsNetDir)
{
    QList<DiscoveredInterface> selected;
    qint32 index = 1;
    for (const InterfaceRecord &record : records) {
        if (record.loopback || !record.running || record.ipv4Address.isEmpty())
            continue;
        EthernetInterfaceEntry entry;
        entry.index = index++;
        entry.macAddress = record.hardwareAddress;
        entry.ipAddress = record.ipv4Address;
        entry.subnetMask = record.ipv4Netmask;
        entry.speedMbps = readLinkSpeed(sysfsNetDir, record.name);
        selected.append({record.name, entry});
    }
    return selected;
}

void discoverEthernetInterfaces()
{
    const QList<DiscoveredInterface> found =
        selectEthernetInterfaces(hostInterfaceRecords(), QStringLiteral("/sys/class/net"));
    for (const DiscoveredInterface &item : found) {
        const EthernetInterfaceEntry &entry = item.entry;
        ethernetInterfaces.insert(entry.index, entry);
        qDebug() << "  Interface" << entry.index << item.name << entry.macAddress << entry.ipAddress
                 << entry.subnetMask << entry.speedMbps << "Mbps";
    }
}
