// The VIVOE MIB as a manager sees it: every object, type and value in walk
// order, through Net-SNMP's tools and through an independent SNMP stack, and
// the SET semantics once write access is granted.
#include "agent_process.h"
#include "varbind.h"

#include <QTest>

#include <csignal>

namespace {

const QString root = QStringLiteral("1.3.6.1.4.1.35990.3.1");

VarBind text(const QString &suffix, const char *value)
{
    return {root + QLatin1Char('.') + suffix, QStringLiteral("STRING"), hexOf(QByteArray(value))};
}

VarBind integer(const QString &suffix, qint64 value)
{
    return {root + QLatin1Char('.') + suffix, QStringLiteral("INTEGER"), QString::number(value)};
}

VarBind address(const QString &suffix, const char *value)
{
    return {root + QLatin1Char('.') + suffix, QStringLiteral("IPADDRESS"), QString::fromLatin1(value)};
}

// Table cells, column by column, each column with one value per row.
struct Column
{
    int number;
    char type; // s text, i integer, a address
    const char *values[2];
};

void appendTable(QList<VarBind> &binds, const QString &entry, const QList<Column> &columns)
{
    for (const Column &column : columns) {
        for (int row = 1; row <= 2; ++row) {
            const QString suffix = entry + QStringLiteral(".%1.%2").arg(column.number).arg(row);
            const char *value = column.values[row - 1];
            if (column.type == 's')
                binds << text(suffix, value);
            else if (column.type == 'a')
                binds << address(suffix, value);
            else
                binds << integer(suffix, QByteArray(value).toLongLong());
        }
    }
}

// The whole MIB of the simulated camera in walk order. The Ethernet rows
// depend on the host and are checked for shape only.
QList<VarBind> expectedMib(const QList<VarBind> &ethernetCells)
{
    QList<VarBind> binds{
        text(QStringLiteral("1.1.0"), "Grovenmarch Kestrunevale Day/Night Vision Camera"),
        text(QStringLiteral("1.2.0"), "Grovenmarch Defence"),
        text(QStringLiteral("1.3.0"), "KESTRUNEVALE-DN-2CH"),
        text(QStringLiteral("1.4.0"), "KSV-2025-001234"),
        text(QStringLiteral("1.5.0"), "v3.2"),
        text(QStringLiteral("1.6.0"), "v2.4.1"),
        text(QStringLiteral("1.7.0"), "v1.8.3"),
        text(QStringLiteral("1.8.0"), "Issue 3"),
        integer(QStringLiteral("1.9.0"), 1),
        text(QStringLiteral("1.10.0"), "Kestrunevale Day/Night Vision Camera"),
        integer(QStringLiteral("1.11.0"), ethernetCells.size() / 5),
    };
    binds << ethernetCells;
    binds << text(QStringLiteral("1.13.0"), "5855-99-123-4567") << integer(QStringLiteral("1.14.0"), 1)
          << integer(QStringLiteral("1.15.0"), 1) << integer(QStringLiteral("2.1.0"), 2);
    appendTable(binds, QStringLiteral("2.2.1"),
                {{2, 'i', {"1", "1"}},         {3, 'i', {"1", "1"}},       {4, 's', {"H264", "H264"}},
                 {5, 's', {"4:2:0", "4:2:0"}}, {6, 'i', {"8", "8"}},       {7, 'i', {"25", "25"}},
                 {8, 's', {"BT709", "BT709"}}, {9, 'i', {"2", "2"}},       {10, 'i', {"1", "1"}},
                 {11, 'i', {"2", "2"}},        {12, 'i', {"1920", "1920"}}, {13, 'i', {"1080", "1080"}},
                 {14, 'i', {"0", "0"}},        {15, 'i', {"0", "0"}},      {16, 'i', {"0", "0"}},
                 {17, 'i', {"0", "0"}},        {18, 'i', {"0", "0"}},      {19, 'i', {"0", "0"}},
                 {20, 'i', {"96", "96"}}});
    binds << integer(QStringLiteral("3.1.0"), 0) << integer(QStringLiteral("3.2.0"), 2);
    appendTable(binds, QStringLiteral("3.3.1"),
                {{2, 'i', {"1", "1"}},
                 {3, 's', {"LSAS-Day-1", "LSAS-Day-2"}},
                 {4, 'i', {"2", "2"}},
                 {5, 'i', {"1", "2"}},
                 {6, 's', {"H264", "H264"}},
                 {7, 's', {"4:2:0", "4:2:0"}},
                 {8, 'i', {"8", "8"}},
                 {9, 'i', {"25", "25"}},
                 {10, 's', {"BT709", "BT709"}},
                 {11, 'i', {"2", "2"}},
                 {12, 'i', {"15", "15"}},
                 {13, 'i', {"2000000", "2000000"}},
                 {14, 'i', {"1920", "1920"}},
                 {15, 'i', {"1080", "1080"}},
                 {16, 'i', {"0", "0"}},
                 {17, 'i', {"0", "0"}},
                 {18, 'i', {"0", "0"}},
                 {19, 'i', {"0", "0"}},
                 {20, 'i', {"96", "96"}},
                 {21, 'a', {"239.192.1.1", "239.192.1.2"}},
                 {22, 'i', {"0", "0"}},
                 {23, 'i', {"30", "30"}},
                 {24, 'i', {"1", "2"}},
                 {25, 'a', {"0.0.0.0", "0.0.0.0"}}});
    return binds;
}

// The Ethernet cells of a walk, checked for shape: five columns of N rows each.
QList<VarBind> ethernetCellsOf(const QList<VarBind> &walk)
{
    QList<VarBind> cells;
    for (const VarBind &bind : walk) {
        if (bind.oid.startsWith(root + QStringLiteral(".1.12.")))
            cells << bind;
    }
    const qsizetype rows = cells.size() / 5;
    const char *types[] = {"INTEGER", "STRING", "IPADDRESS", "IPADDRESS", "IPADDRESS"};
    for (qsizetype i = 0; i < cells.size(); ++i) {
        const int column = int(i / rows) + 2;
        const qsizetype row = i % rows + 1;
        if (cells[i].oid != root + QStringLiteral(".1.12.1.%1.%2").arg(column).arg(row)
            || cells[i].type != QLatin1String(types[column - 2])
            || (column == 6 && cells[i].value != QStringLiteral("0.0.0.0")))
            return {};
    }
    return cells;
}

QList<VarBind> withoutEndMarker(QList<VarBind> binds)
{
    if (!binds.isEmpty() && binds.last().type == QStringLiteral("EndOfMibView"))
        binds.removeLast();
    return binds;
}

ToolResult pysnmp(quint16 port, const QStringList &args)
{
    return runTool(QStringLiteral("/usr/bin/python3"),
                   QStringList{QStringLiteral(PYSNMP_CLIENT), QString::number(port)} + args);
}

} // namespace

class MibObjectsTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void walksReturnWholeMib_data();
    void walksReturnWholeMib();
    void noValueOutsideServedInstances_data();
    void noValueOutsideServedInstances();
    void setSemantics_data();
    void setSemantics();

private:
    AgentProcess agent;
    QList<VarBind> golden;
};

void MibObjectsTest::initTestCase()
{
    QVERIFY2(agent.startServing(), qPrintable(agent.stderrText()));
    const QList<VarBind> walk = withoutEndMarker(parseNetSnmpOutput(
        agent.snmp(QStringLiteral("snmpwalk"), {QStringLiteral("-Ox"), QStringLiteral("1.3.6.1.4.1.35990")}).out));
    const QList<VarBind> ethernetCells = ethernetCellsOf(walk);
    QCOMPARE(ethernetCells.size() % 5, 0);
    golden = expectedMib(ethernetCells);
    QCOMPARE(golden.size(), 17 + ethernetCells.size() + 19 * 2 + 24 * 2);
}

void MibObjectsTest::walksReturnWholeMib_data()
{
    QTest::addColumn<QString>("client");
    QTest::addColumn<QStringList>("args");
    QTest::newRow("snmpwalk") << QStringLiteral("snmpwalk") << QStringList{};
    QTest::newRow("snmpbulkwalk") << QStringLiteral("snmpbulkwalk") << QStringList{};
    QTest::newRow("snmpwalk SNMPv1") << QStringLiteral("snmpwalk") << QStringList{QStringLiteral("-v1")};
    QTest::newRow("pysnmp GETNEXT") << QStringLiteral("pysnmp") << QStringList{QStringLiteral("walk")};
    QTest::newRow("pysnmp GETBULK") << QStringLiteral("pysnmp") << QStringList{QStringLiteral("bulkwalk")};
}

void MibObjectsTest::walksReturnWholeMib()
{
    QFETCH(QString, client);
    QFETCH(QStringList, args);
    QList<VarBind> walk;
    if (client == QStringLiteral("pysnmp")) {
        const ToolResult result = pysnmp(agent.port(), args << QStringLiteral("1.3.6.1.4.1.35990"));
        QVERIFY2(result.exitCode == 0, qPrintable(result.err));
        walk = parseCanonicalLines(result.out);
    } else {
        const ToolResult result =
            agent.snmp(client, args << QStringLiteral("-Ox") << QStringLiteral("1.3.6.1.4.1.35990"));
        QVERIFY2(result.exitCode == 0, qPrintable(result.err));
        walk = withoutEndMarker(parseNetSnmpOutput(result.out));
    }
    QVERIFY2(walk == golden, qPrintable(toText(walk)));
}

void MibObjectsTest::noValueOutsideServedInstances_data()
{
    QTest::addColumn<QString>("oid");
    QTest::newRow("scalar without .0") << root + QStringLiteral(".1.1");
    QTest::newRow("scalar at .1") << root + QStringLiteral(".1.1.1");
    QTest::newRow("table as scalar") << root + QStringLiteral(".1.12.0");
    QTest::newRow("index column") << root + QStringLiteral(".2.2.1.1.1");
    QTest::newRow("past last video format column") << root + QStringLiteral(".2.2.1.21.1");
    QTest::newRow("past last channel column") << root + QStringLiteral(".3.3.1.26.1");
    QTest::newRow("past last ethernet column") << root + QStringLiteral(".1.12.1.7.1");
    QTest::newRow("missing channel row") << root + QStringLiteral(".3.3.1.3.3");
}

void MibObjectsTest::noValueOutsideServedInstances()
{
    QFETCH(QString, oid);
    const ToolResult net = agent.snmp(QStringLiteral("snmpget"), {oid});
    const QList<VarBind> netBinds = parseNetSnmpOutput(net.out);
    QCOMPARE(netBinds.size(), 1);
    QVERIFY2(netBinds[0].type.startsWith(QStringLiteral("NoSuch")), qPrintable(net.out));

    const ToolResult py = pysnmp(agent.port(), {QStringLiteral("get"), oid});
    QVERIFY2(py.out.startsWith(oid + QStringLiteral(" NoSuch")), qPrintable(py.out + py.err));
}

void MibObjectsTest::setSemantics_data()
{
    QTest::addColumn<QString>("community");
    QTest::addColumn<QString>("oid");
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("error");    // empty when the SET must succeed
    QTest::addColumn<QString>("readBack"); // canonical value after the SET
    QTest::addColumn<QString>("logLine");  // empty when nothing may be logged

    const QString mode = root + QStringLiteral(".1.14.0");
    const QString userDesc = root + QStringLiteral(".1.10.0");
    const QString initialDesc = hexOf("Kestrunevale Day/Night Vision Camera");
    QTest::newRow("read-only community") << QStringLiteral("maplet") << mode << QStringLiteral("i")
                                         << QStringLiteral("-5") << QStringLiteral("noAccess")
                                         << QStringLiteral("1") << QString();
    QTest::newRow("deviceMode -5") << QStringLiteral("private") << mode << QStringLiteral("i") << QStringLiteral("-5")
                                   << QString() << QStringLiteral("-5") << QStringLiteral("deviceMode set to -5");
    QTest::newRow("deviceReset 0") << QStringLiteral("private") << root + QStringLiteral(".1.15.0")
                                   << QStringLiteral("i") << QStringLiteral("0") << QString() << QStringLiteral("0")
                                   << QStringLiteral("deviceReset set to 0");
    QTest::newRow("channelReset 1") << QStringLiteral("private") << root + QStringLiteral(".3.1.0")
                                    << QStringLiteral("i") << QStringLiteral("1") << QString() << QStringLiteral("1")
                                    << QStringLiteral("channelReset set to 1");
    QTest::newRow("string into deviceMode") << QStringLiteral("private") << mode << QStringLiteral("s")
                                            << QStringLiteral("abc") << QStringLiteral("wrongType")
                                            << QStringLiteral("1") << QString();
    QTest::newRow("integer into deviceUserDesc") << QStringLiteral("private") << userDesc << QStringLiteral("i")
                                                 << QStringLiteral("5") << QStringLiteral("wrongType") << initialDesc
                                                 << QString();
    QTest::newRow("deviceUserDesc byte E9") << QStringLiteral("private") << userDesc << QStringLiteral("x")
                                            << QStringLiteral("E9") << QString() << QStringLiteral("e9")
                                            << QStringLiteral("deviceUserDesc set to \"\u00e9\"");
    QTest::newRow("deviceUserDesc empty") << QStringLiteral("private") << userDesc << QStringLiteral("s") << QString()
                                          << QString() << QString() << QStringLiteral("deviceUserDesc set to \"\"");
    QTest::newRow("deviceDesc read-only") << QStringLiteral("private") << root + QStringLiteral(".1.1.0")
                                          << QStringLiteral("s") << QStringLiteral("x")
                                          << QStringLiteral("notWritable")
                                          << hexOf("Grovenmarch Kestrunevale Day/Night Vision Camera") << QString();
    QTest::newRow("channel column declared writable")
        << QStringLiteral("private") << root + QStringLiteral(".3.3.1.3.1") << QStringLiteral("s")
        << QStringLiteral("x") << QStringLiteral("notWritable") << hexOf("LSAS-Day-1") << QString();
    QTest::newRow("video format column read-only")
        << QStringLiteral("private") << root + QStringLiteral(".2.2.1.12.1") << QStringLiteral("i")
        << QStringLiteral("5") << QStringLiteral("notWritable") << QStringLiteral("1920") << QString();
    QTest::newRow("row that does not exist")
        << QStringLiteral("private") << root + QStringLiteral(".3.3.1.4.3") << QStringLiteral("i")
        << QStringLiteral("1") << QStringLiteral("noCreation") << QString() << QString();
}

void MibObjectsTest::setSemantics()
{
    QFETCH(QString, community);
    QFETCH(QString, oid);
    QFETCH(QString, type);
    QFETCH(QString, value);
    QFETCH(QString, error);
    QFETCH(QString, readBack);
    QFETCH(QString, logLine);
    AgentProcess writable;
    writable.grantWriteAccess(QStringLiteral("private"));
    QVERIFY2(writable.startServing(), qPrintable(writable.stderrText()));

    const ToolResult set = writable.snmp(QStringLiteral("snmpset"), {oid, type, value}, community);
    if (error.isEmpty())
        QVERIFY2(set.exitCode == 0, qPrintable(set.err));
    else
        QVERIFY2(set.err.contains(QStringLiteral("Reason: ") + error), qPrintable(set.out + set.err));

    const QList<VarBind> after =
        parseNetSnmpOutput(writable.snmp(QStringLiteral("snmpget"), {QStringLiteral("-Ox"), oid}).out);
    QCOMPARE(after.size(), 1);
    if (error == QStringLiteral("noCreation"))
        QCOMPARE(after[0].type, QStringLiteral("NoSuchInstance"));
    else
        QCOMPARE(after[0].value, readBack);
    const QList<VarBind> channelRows = parseNetSnmpOutput(
        writable.snmp(QStringLiteral("snmpwalk"), {root + QStringLiteral(".3.3.1.2")}).out);
    QCOMPARE(channelRows.size(), 2);

    // Stop first, so that every line the agent wrote has been read.
    writable.sendSignal(SIGTERM);
    QCOMPARE(writable.waitForExit(), 0);
    const QStringList setLines = writable.stderrText().split(QLatin1Char('\n')).filter(QStringLiteral(" set to "));
    QCOMPARE(setLines, logLine.isEmpty() ? QStringList{} : QStringList{logLine});
}

QTEST_GUILESS_MAIN(MibObjectsTest)
#include "tst_mib_objects.moc"
