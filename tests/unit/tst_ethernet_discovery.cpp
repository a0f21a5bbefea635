// Interface selection and link speed parsing on hand-made input: which host
// interfaces become rows, under which index, and what speed they report.
#include "data/ethernet_discovery.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

enum Flags { Running = 1, Loopback = 2 };

InterfaceRecord record(const char *name, int flags, const char *ipv4 = "")
{
    InterfaceRecord r;
    r.name = QString::fromLatin1(name);
    r.running = flags & Running;
    r.loopback = flags & Loopback;
    r.ipv4Address = QString::fromLatin1(ipv4);
    r.ipv4Netmask = r.ipv4Address.isEmpty() ? QString() : QStringLiteral("255.255.255.0");
    return r;
}

void writeSpeedFile(const QString &sysfsNetDir, const QString &name, const QByteArray &content)
{
    QVERIFY(QDir(sysfsNetDir).mkpath(name));
    QFile file(sysfsNetDir + QLatin1Char('/') + name + QStringLiteral("/speed"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

} // namespace

class EthernetDiscoveryTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void selection_data();
    void selection();
    void linkSpeed_data();
    void linkSpeed();
};

void EthernetDiscoveryTest::selection_data()
{
    QTest::addColumn<QList<InterfaceRecord>>("records");
    QTest::addColumn<QStringList>("rows"); // "index name" per selected entry, in order

    QTest::newRow("nothing") << QList<InterfaceRecord>{} << QStringList{};
    QTest::newRow("no IPv4 consumes no index")
        << QList<InterfaceRecord>{record("eth0", Running), record("eth1", Running, "192.0.2.3"),
                                  record("eth2", Running), record("eth3", Running, "192.0.2.4")}
        << QStringList{QStringLiteral("1 eth1"), QStringLiteral("2 eth3")};
    QTest::newRow("indexes 1, 2, 3 in input order without gaps")
        << QList<InterfaceRecord>{record("zeta", Running, "203.0.113.9"),
                                  record("lo", Running | Loopback, "127.0.0.1"),
                                  record("alpha", Running, "192.0.2.2"),
                                  record("down", 0, "192.0.2.5"),
                                  record("v6", Running),
                                  record("mid", Running, "198.51.100.7")}
        << QStringList{QStringLiteral("1 zeta"), QStringLiteral("2 alpha"), QStringLiteral("3 mid")};
}

void EthernetDiscoveryTest::selection()
{
    QFETCH(QList<InterfaceRecord>, records);
    QFETCH(QStringList, rows);
    QTemporaryDir sysfs;
    QStringList selected;
    for (const DiscoveredInterface &item : selectEthernetInterfaces(records, sysfs.path()))
        selected << QStringLiteral("%1 %2").arg(item.entry.index).arg(item.name);
    QCOMPARE(selected, rows);
}

void EthernetDiscoveryTest::linkSpeed_data()
{
    QTest::addColumn<bool>("present");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("speed");

    QTest::newRow("10000 with newline") << true << QByteArray("10000\n") << 10000;
    QTest::newRow("blanks around") << true << QByteArray(" 100 \n") << 100;
    QTest::newRow("unknown -1") << true << QByteArray("-1\n") << 1000;
    QTest::newRow("zero") << true << QByteArray("0") << 1000;
    QTest::newRow("absent") << false << QByteArray() << 1000;
    // What a read that fails with EINVAL leaves behind.
    QTest::newRow("empty") << true << QByteArray("") << 1000;
    QTest::newRow("not a number") << true << QByteArray("abc") << 1000;
    QTest::newRow("trailing garbage") << true << QByteArray("100Mb") << 1000;
    QTest::newRow("just beyond 32 bits") << true << QByteArray("2147483648") << 1000;
}

void EthernetDiscoveryTest::linkSpeed()
{
    QFETCH(bool, present);
    QFETCH(QByteArray, content);
    QFETCH(int, speed);
    QTemporaryDir sysfs;
    if (present)
        writeSpeedFile(sysfs.path(), QStringLiteral("eth0"), content);
    QCOMPARE(readLinkSpeed(sysfs.path(), QStringLiteral("eth0")), speed);
}

QTEST_APPLESS_MAIN(EthernetDiscoveryTest)
#include "tst_ethernet_discovery.moc"
