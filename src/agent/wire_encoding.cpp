// Pure conversions between the device data and the octets put on the wire.
#include "agent/wire_encoding.h"

#include <QHostAddress>
#include <QStringList>

#include <cstring>

QByteArray latin1Octets(const QString &text)
{
    return text.toLatin1();
}

QString textFromLatin1Octets(const char *data, qsizetype length)
{
    return QString::fromLatin1(data, length);
}

QByteArray integerOctets(qint64 value)
{
    QByteArray octets(sizeof value, Qt::Uninitialized);
    std::memcpy(octets.data(), &value, sizeof value);
    return octets;
}

QByteArray ipv4Octets(const QString &text)
{
    bool isIpv4 = false;
    const quint32 address = QHostAddress(text).toIPv4Address(&isIpv4);
    const quint32 value = isIpv4 ? address : 0;
    QByteArray octets(4, Qt::Uninitialized);
    for (int i = 0; i < 4; ++i)
        octets[i] = static_cast<char>(value >> (24 - 8 * i));
    return octets;
}

quint32 ipv4FromOctets(const unsigned char *octets)
{
    return quint32(octets[0]) << 24 | quint32(octets[1]) << 16 | quint32(octets[2]) << 8 | octets[3];
}

QByteArray hardwareAddressOctets(const QString &text)
{
    QByteArray octets;
    if (text.isEmpty())
        return octets;
    const QStringList parts = text.split(QLatin1Char(':'));
    for (const QString &part : parts)
        octets.append(static_cast<char>(part.toInt(nullptr, 16) & 0xff));
    return octets;
}
