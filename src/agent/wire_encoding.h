// Pure conversions between the device data and the octets put on the wire.
// They know nothing of the agent, so the handler, the tables and the tests
// share them.
#pragma once

#include <QByteArray>
#include <QString>

// One byte per character; characters above U+00FF cannot be represented and
// become '?'.
QByteArray latin1Octets(const QString &text);
QString textFromLatin1Octets(const char *data, qsizetype length);

// The native 8-byte form in which the library takes an INTEGER.
QByteArray integerOctets(qint64 value);

// 4 octets in network order; 0.0.0.0 for a text that is not an IPv4 address.
QByteArray ipv4Octets(const QString &text);
// The address in 4 octets of network order, as a number.
quint32 ipv4FromOctets(const unsigned char *octets);

// "00:1A:2B" gives 00 1A 2B; every part that is not hexadecimal gives 00. An
// empty text means "no hardware address" and gives no octets at all.
QByteArray hardwareAddressOctets(const QString &text);
