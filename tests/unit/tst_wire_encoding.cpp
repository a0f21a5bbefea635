// The octets the agent puts on the wire for texts, integers, addresses and
// hardware addresses; a slip here is invisible to a client of the same library.
#include "agent/wire_encoding.h"

#include <QTest>

#include <cstring>

enum class Encoding { Latin1, Ipv4, Hardware };

class WireEncodingTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void encodings_data();
    void encodings();
    void integerIsNative64Bit();
};

void WireEncodingTest::encodings_data()
{
    QTest::addColumn<Encoding>("encoding");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("octets");
    QTest::newRow("e acute is one byte") << Encoding::Latin1 << QStringLiteral("caf\u00e9") << QByteArray("caf\xe9");
    QTest::newRow("empty text") << Encoding::Latin1 << QString() << QByteArray();
    QTest::newRow("embedded zero") << Encoding::Latin1 << QString::fromLatin1("a\0b", 3) << QByteArray("a\0b", 3);
    QTest::newRow("network order") << Encoding::Ipv4 << QStringLiteral("239.192.1.2") << QByteArray("\xef\xc0\x01\x02");
    QTest::newRow("not an address") << Encoding::Ipv4 << QStringLiteral("camera") << QByteArray(4, '\0');
    QTest::newRow("IPv6") << Encoding::Ipv4 << QStringLiteral("2001:db8::1") << QByteArray(4, '\0');
    QTest::newRow("six pairs") << Encoding::Hardware << QStringLiteral("00:1A:2B:3C:4D:5E")
                               << QByteArray("\x00\x1a\x2b\x3c\x4d\x5e", 6);
    QTest::newRow("no hardware address") << Encoding::Hardware << QString() << QByteArray();
    QTest::newRow("adjacent colons") << Encoding::Hardware << QStringLiteral("AA::BB") << QByteArray("\xaa\x00\xbb", 3);
    QTest::newRow("non-hex part") << Encoding::Hardware << QStringLiteral("AA:zz") << QByteArray("\xaa\x00", 2);
}

void WireEncodingTest::encodings()
{
    QFETCH(Encoding, encoding);
    QFETCH(QString, text);
    QFETCH(QByteArray, octets);
    switch (encoding) {
    case Encoding::Latin1:
        QCOMPARE(latin1Octets(text), octets);
        QCOMPARE(textFromLatin1Octets(octets.constData(), octets.size()), text);
        break;
    case Encoding::Ipv4:
        QCOMPARE(ipv4Octets(text), octets);
        break;
    case Encoding::Hardware:
        QCOMPARE(hardwareAddressOctets(text), octets);
        break;
    }
}

void WireEncodingTest::integerIsNative64Bit()
{
    const QByteArray octets = integerOctets(-5);
    qint64 value = 0;
    QCOMPARE(octets.size(), 8);
    std::memcpy(&value, octets.constData(), sizeof value);
    QCOMPARE(value, qint64(-5));
}

QTEST_APPLESS_MAIN(WireEncodingTest)
#include "tst_wire_encoding.moc"
