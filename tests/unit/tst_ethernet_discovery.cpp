// Interface selection and link speed parsing on hand-made input: which host
// interfaces become rows, under which index, and what speed they report.
#include "data/ethernet_discovery.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

InterfaceRecord record(const char *name, bool running, const char *ipv4 = "", bool loopback = false)
{
    InterfaceRecord r;
    r.name = QString::fromLatin1(name);
    r.running = running;
    r.loopback = loopback;
    r.ipv4Address = QString::fromLatin1(ipv4);
    return r;
}

} // namespace

class EthernetDiscoveryTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void selectionNumbersWithoutGaps();
    void linkSpeed_data();
    void linkSpeed();
};

void EthernetDiscoveryTest::selectionNumbersWithoutGaps()
{
    const QList<InterfaceRecord> records{record("zeta", true, "203.0.113.9"), record("lo", true, "127.0.0.1", true),
                                         record("v6only", true), record("down", false, "192.0.2.5"),
                                         record("alpha", true, "192.0.2.2")};
    QTemporaryDir sysfs;
    QStringList rows;
    for (const DiscoveredInterface &item : selectEthernetInterfaces(records, sysfs.path()))
        rows << QStringLiteral("%1 %2 %3").arg(item.entry.index).arg(item.name).arg(item.entry.speedMbps);
    QCOMPARE(rows, (QStringList{QStringLiteral("1 zeta 1000"), QStringLiteral("2 alpha 1000")}));
}

void EthernetDiscoveryTest::linkSpeed_data()
{
    QTest::addColumn<QByteArray>("content"); // null: no speed file at all
    QTest::addColumn<int>("speed");
    QTest::newRow("10000 with newline") << QByteArray("10000\n") << 10000;
    QTest::newRow("blanks around") << QByteArray(" 100 \n") << 100;
    QTest::newRow("unknown -1") << QByteArray("-1\n") << 1000;
    QTest::newRow("zero") << QByteArray("0") << 1000;
    QTest::newRow("absent") << QByteArray() << 1000;
    QTest::newRow("empty, as a failed read leaves it") << QByteArray("") << 1000;
    QTest::newRow("trailing garbage") << QByteArray("100Mb") << 1000;
    QTest::newRow("just beyond 32 bits") << QByteArray("2147483648") << 1000;
}

void EthernetDiscoveryTest::linkSpeed()
{
    QFETCH(QByteArray, content);
    QFETCH(int, speed);
    QTemporaryDir sysfs;
    QFile file(sysfs.filePath(QStringLiteral("eth0/speed")));
    if (!content.isNull()) {
        QVERIFY(QDir(sysfs.path()).mkpath(QStringLiteral("eth0")) && file.open(QIODevice::WriteOnly));
        file.write(content);
        file.close();
    }
    QCOMPARE(readLinkSpeed(sysfs.path(), QStringLiteral("eth0")), speed);
}

QTEST_APPLESS_MAIN(EthernetDiscoveryTest)
#include "tst_ethernet_discovery.moc"
