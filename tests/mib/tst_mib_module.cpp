// Keeps mibs/VIVOE-CAMERA-SIM-MIB.txt and the agent from drifting apart: the
// module must lint clean, give every registration its served OID and access,
// and name every object that a walk of the running agent returns.
#include "agent/mib_tree.h"
#include "agent_process.h"

#include <QRegularExpression>
#include <QSet>
#include <QTest>

namespace {

const QString moduleName = QStringLiteral("VIVOE-CAMERA-SIM-MIB");

// Only this module and the base modules it imports: anything the module fails
// to name then shows up as a number.
QStringList mibOptions()
{
    return {QStringLiteral("-m"), moduleName, QStringLiteral("-M"), QStringLiteral(MIB_DIR ":" BASE_MIB_DIR)};
}

QString servedOid(unsigned group, unsigned member)
{
    QString text;
    for (unsigned long id : vivoeOid(group, member))
        text += QLatin1Char('.') + QString::number(id);
    return text;
}

QSet<QString> scalarNames()
{
    QSet<QString> names;
    for (const ScalarObject &object : scalarObjects)
        names.insert(QString::fromLatin1(object.name));
    return names;
}

// The module's readable objects, from the access flags in snmptranslate's tree,
// less those a walk cannot show: a host without a running IPv4 interface leaves
// ethernetIfTable empty.
QSet<QString> objectsExpectedInWalk(const QString &walkOutput)
{
    const ToolResult tree
        = runTool(QStringLiteral("snmptranslate"), mibOptions() + QStringList{QStringLiteral("-Tp"), QStringLiteral(".1.3.6.1.4.1.35990.3.1")});
    static const QRegularExpression readable(QStringLiteral(R"(\+-- -R[-W]- +\S+ +(\w+)\()"));
    const bool noInterfaces = walkOutput.contains(moduleName + QStringLiteral("::ethernetIfNumber.0 = INTEGER: 0"));
    const QSet<QString> scalars = scalarNames();
    QSet<QString> names;
    for (auto it = readable.globalMatch(tree.out); it.hasNext();) {
        const QString name = it.next().captured(1);
        if (!(noInterfaces && name.startsWith(QStringLiteral("ethernetIf")) && !scalars.contains(name)))
            names.insert(name);
    }
    return names;
}

QByteArray listed(const QString &what, const QSet<QString> &names)
{
    QStringList sorted = names.values();
    sorted.sort();
    return (what + sorted.join(QLatin1Char(' '))).toLatin1();
}

} // namespace

class MibModuleTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void lintsClean();
    void registrationsTranslate_data();
    void registrationsTranslate();
    void walkIsNamedThroughout();
};

void MibModuleTest::lintsClean()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("SMIPATH"), QStringLiteral(BASE_MIB_DIR));
    const ToolResult lint = runTool(QStringLiteral("smilint"),
                                    {QStringLiteral("-l"), QStringLiteral("4"), QStringLiteral("-s"),
                                     QStringLiteral(MIB_DIR "/VIVOE-CAMERA-SIM-MIB.txt")},
                                    env);
    // smilint exits 0 whatever it finds, so its silence is the verdict.
    QCOMPARE(lint.exitCode, 0);
    QCOMPARE(lint.out + lint.err, QString());
}

void MibModuleTest::registrationsTranslate_data()
{
    QTest::addColumn<QString>("oid");
    QTest::addColumn<QString>("access");
    for (const ScalarObject &object : scalarObjects) {
        QTest::newRow(object.name) << servedOid(object.group, object.member)
                                   << QString::fromLatin1(object.writable() ? "read-write" : "read-only");
    }
    // As mib_tables.cpp registers them.
    QTest::newRow("ethernetIfTable") << servedOid(1, 12) << QStringLiteral("not-accessible");
    QTest::newRow("videoFormatTable") << servedOid(2, 2) << QStringLiteral("not-accessible");
    QTest::newRow("channelTable") << servedOid(3, 3) << QStringLiteral("not-accessible");
}

void MibModuleTest::registrationsTranslate()
{
    QFETCH(QString, oid);
    QFETCH(QString, access);
    const QString name = moduleName + QStringLiteral("::") + QString::fromLatin1(QTest::currentDataTag());
    const ToolResult details = runTool(QStringLiteral("snmptranslate"),
                                       mibOptions() + QStringList{QStringLiteral("-On"), QStringLiteral("-Td"), name});
    QCOMPARE(details.err, QString());
    QCOMPARE(details.out.section(QLatin1Char('\n'), 0, 0), oid);
    static const QRegularExpression maxAccess(QStringLiteral(R"(^\s*MAX-ACCESS\s+(\S+)$)"),
                                              QRegularExpression::MultilineOption);
    QCOMPARE(maxAccess.match(details.out).captured(1), access);
}

void MibModuleTest::walkIsNamedThroughout()
{
    AgentProcess agent;
    QVERIFY2(agent.startServing(), qPrintable(agent.stderrText()));
    const QStringList query = QStringLiteral("-OS -v2c -c maplet -t 2 -r 1 127.0.0.1:%1 1.3.6.1.4.1.35990")
                                  .arg(agent.port())
                                  .split(QLatin1Char(' '));
    const ToolResult walk = runTool(QStringLiteral("snmpwalk"), mibOptions() + query);
    QCOMPARE(walk.exitCode, 0);
    QCOMPARE(walk.err, QString()); // Net-SNMP's own complaints about the module land here

    static const QRegularExpression named(QStringLiteral(R"(^VIVOE-CAMERA-SIM-MIB::(\w+)\.(\d+) = (.*)$)"));
    const QSet<QString> scalars = scalarNames();
    QSet<QString> walked;
    const QStringList lines = walk.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &line : lines) {
        const QRegularExpressionMatch match = named.match(line);
        QVERIFY2(match.hasMatch(), qPrintable(line));
        QVERIFY2(!match.captured(3).startsWith(QStringLiteral("Wrong Type")), qPrintable(line));
        if (match.captured(3).startsWith(QStringLiteral("No more variables")))
            continue; // the end-of-view marker repeats the last name
        // Scalars answer at instance 0, table cells at their row's index.
        QVERIFY2((match.captured(2) == QStringLiteral("0")) == scalars.contains(match.captured(1)), qPrintable(line));
        walked.insert(match.captured(1));
    }
    const QSet<QString> expected = objectsExpectedInWalk(walk.out);
    QVERIFY2(walked.contains(expected), listed(QStringLiteral("not served: "), expected - walked).constData());
    QVERIFY2(expected.contains(walked),
             listed(QStringLiteral("not readable in the module: "), walked - expected).constData());
}

QTEST_GUILESS_MAIN(MibModuleTest)
#include "tst_mib_module.moc"
