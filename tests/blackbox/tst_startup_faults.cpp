// Start-up with nowhere to write the configuration: as the user nobody, with
// no usable home and no writable system directory. The agent must start with
// whatever configuration Net-SNMP can read, say why its own is missing, and
// stop cleanly: never crash.
#include "agent_process.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <csignal>

namespace {

const QString deviceDescOid = QStringLiteral("1.3.6.1.4.1.35990.3.1.1.1.0");

// Made by root (the test): nobody may read it but not write it.
QString readOnlyDirectory(const QString &path)
{
    QDir().mkpath(path);
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                                    | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
    return path;
}

// The library's whole configuration search path for one run, holding the
// agent's own file when wanted.
QString configSearchPath(const QString &path, bool withAgentConfig)
{
    readOnlyDirectory(path);
    QFile agentConf(path + QStringLiteral("/vivoe_kestrunevale.conf"));
    if (withAgentConfig && agentConf.open(QIODevice::WriteOnly))
        agentConf.write("rocommunity maplet 127.0.0.1\n");
    return path;
}

enum class Home { ReadOnly, Missing, Unset };

} // namespace

class StartupFaultsTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void startsWithoutWritableConfigDirectory_data();
    void startsWithoutWritableConfigDirectory();
};

void StartupFaultsTest::startsWithoutWritableConfigDirectory_data()
{
    QTest::addColumn<Home>("home");
    QTest::addColumn<bool>("readableConfig"); // one waits elsewhere in the search path
    QTest::newRow("home not writable") << Home::ReadOnly << false;
    QTest::newRow("no HOME") << Home::Unset << false;
    QTest::newRow("read-only config found elsewhere") << Home::Missing << true;
}

void StartupFaultsTest::startsWithoutWritableConfigDirectory()
{
    QFETCH(Home, home);
    QFETCH(bool, readableConfig);
    AgentProcess agent(AgentProcess::User::Nobody);
    QProcessEnvironment &env = agent.environment();
    const QString homePath = home == Home::ReadOnly ? readOnlyDirectory(agent.home() + QStringLiteral("/locked"))
                                                    : QStringLiteral("/nonexistent/vivoe-home");
    if (home == Home::Unset)
        env.remove(QStringLiteral("HOME"));
    else
        env.insert(QStringLiteral("HOME"), homePath);
    // The library's default, which nobody cannot write either.
    env.remove(QStringLiteral("SNMP_PERSISTENT_DIR"));
    // Only what this row provides: no config left in /etc/snmp by other runs.
    env.insert(QStringLiteral("SNMPCONFPATH"),
               configSearchPath(agent.home() + QStringLiteral("/site"), readableConfig));

    QVERIFY2(agent.startServing(), qPrintable(agent.stderrText()));
    const QString warning = home == Home::Unset
                                ? QStringLiteral("Cannot write SNMP config to \"")
                                : QStringLiteral("Cannot write SNMP config to \"%1/.snmp/vivoe_kestrunevale.conf\" - ")
                                      .arg(homePath);
    QVERIFY2(agent.stderrText().contains(warning), qPrintable(agent.stderrText()));
    // One short try: without a community the agent stays silent.
    const ToolResult get = runTool(QStringLiteral("snmpget"),
                                   {QStringLiteral("-v2c"), QStringLiteral("-c"), QStringLiteral("maplet"),
                                    QStringLiteral("-t"), QStringLiteral("1"), QStringLiteral("-r"),
                                    QStringLiteral("0"), QStringLiteral("127.0.0.1:%1").arg(agent.port()),
                                    deviceDescOid});
    QCOMPARE(get.exitCode == 0, readableConfig);
    if (readableConfig)
        QVERIFY2(get.out.contains(QStringLiteral("Grovenmarch Kestrunevale")), qPrintable(get.out));
    QCOMPARE(agent.process().state(), QProcess::Running);

    agent.sendSignal(SIGTERM);
    QCOMPARE(agent.waitForExit(), 0);
    QCOMPARE(agent.stderrText().count(QStringLiteral("VIVOE MIB Server stopped")), 1);
}

QTEST_GUILESS_MAIN(StartupFaultsTest)
#include "tst_startup_faults.moc"
