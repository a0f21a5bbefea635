// The octets the agent puts on the wire for texts, addresses and hardware
// addresses; a slip here is invisible to a client built on the same library.
#include "agent/wire_encoding.h"

#include <QTest>

class WireEncodingTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void latin1Text_data();
    void latin1Text();
    void ipv4Address_data();
    void ipv4Address();
    void hardwareAddress_data();
    void hardwareAddress();
    void integerIsNative64Bit();
};

void WireEncodingTest::latin1Text_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("octets");
    QTest::newRow("ascii") << QStringLiteral("H264") << QByteArray("H264");
    QTest::newRow("e acute is one byte") << QStringLiteral("caf\u00e9") << QByteArray("caf\xe9");
    QTest::newRow("empty") << QString() << QByteArray();
    QTest::newRow("embedded zero") << QString::fromLatin1("a\0b", 3) << QByteArray("a\0b", 3);
}

void WireEncodingTest::latin1Text()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, octets);
    QCOMPARE(latin1Octets(text), octets);
    QCOMPARE(textFromLatin1Octets(octets.constData(), octets.size()), text);
}

void WireEncodingTest::ipv4Address_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("octets");
    QTest::newRow("multicast group") << QStringLiteral("239.192.1.1") << QByteArray("\xef\xc0\x01\x01", 4);
    QTest::newRow("netmask") << QStringLiteral("255.255.255.0") << QByteArray("\xff\xff\xff\x00", 4);
    QTest::newRow("zero") << QStringLiteral("0.0.0.0") << QByteArray(4, '\0');
    QTest::newRow("not an address") << QStringLiteral("camera") << QByteArray(4, '\0');
    QTest::newRow("IPv6") << QStringLiteral("2001:db8::1") << QByteArray(4, '\0');
    QTest::newRow("empty") << QString() << QByteArray(4, '\0');
}

void WireEncodingTest::ipv4Address()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, octets);
    QCOMPARE(ipv4Octets(text), octets);
}

void WireEncodingTest::hardwareAddress_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("octets");
    QTest::newRow("six pairs") << QStringLiteral("00:1A:2B:3C:4D:5E") << QByteArray("\x00\x1a\x2b\x3c\x4d\x5e", 6);
    QTest::newRow("no address") << QString() << QByteArray();
    QTest::newRow("adjacent colons") << QStringLiteral("AA::BB") << QByteArray("\xaa\x00\xbb", 3);
    QTest::newRow("non-hex part") << QStringLiteral("AA:zz:BB") << QByteArray("\xaa\x00\xbb", 3);
    QTest::newRow("no colon") << QStringLiteral("7f") << QByteArray("\x7f", 1);
}

void WireEncodingTest::hardwareAddress()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, octets);
    QCOMPARE(hardwareAddressOctets(text), octets);
}

void WireEncodingTest::integerIsNative64Bit()
{
    const QByteArray octets = integerOctets(-5);
    QCOMPARE(octets.size(), 8);
    qint64 value = 0;
    memcpy(&value, octets.constData(), sizeof value);
    QCOMPARE(value, qint64(-5));
}

QTEST_APPLESS_MAIN(WireEncodingTest)
#include "tst_wire_encoding.moc"
