// The program as a console user meets it: banner and options, the privilege
// rule, the configuration file, daemon mode, signals and the sockets it opens.
#include "agent_process.h"

#include <QDir>
#include <QFile>
#include <QTest>
#include <QUdpSocket>

#include <csignal>

namespace {

const char configText[] = "# Auto-generated VIVOE MIB Server config\n"
                          "rocommunity maplet\n"
                          "agentXSocket /dev/null\n";

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

// Sockets held by a process, as "proto local-address" lines from ss.
QStringList socketsOf(qint64 pid)
{
    const ToolResult ss = runTool(QStringLiteral("ss"), {QStringLiteral("-H"), QStringLiteral("-tulnpa")});
    QStringList sockets;
    const QString needle = QStringLiteral("pid=%1,").arg(pid);
    for (const QString &line : ss.out.split(QLatin1Char('\n'))) {
        if (!line.contains(needle))
            continue;
        const QStringList fields = line.simplified().split(QLatin1Char(' '));
        sockets << fields.value(0) + QLatin1Char(' ') + fields.value(4);
    }
    return sockets;
}

bool processGone(qint64 pid)
{
    return !QFileInfo::exists(QStringLiteral("/proc/%1").arg(pid));
}

} // namespace

class ProcessShellTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void bannerPrecedesFrameworkOutput_data();
    void bannerPrecedesFrameworkOutput();
    void privilegeRuleForOrdinaryUser_data();
    void privilegeRuleForOrdinaryUser();
    void ordinaryUserMayUsePort1024();
    void rootRefusesPortZero_data();
    void rootRefusesPortZero();
    void ordinaryUserRunsCleanlyFromHome();
    void rootWritesSystemConfig();
    void portInUseFails();
    void signalStopsOnce_data();
    void signalStopsOnce();
    void daemonDetachesAndServes();
    void daemonOutlivesItsLogReader();
};

void ProcessShellTest::bannerPrecedesFrameworkOutput_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("stdoutAfterBanner");
    QTest::addColumn<QString>("stderrText");
    QTest::newRow("help") << QStringList{QStringLiteral("--help")} << 0
                          << QStringLiteral("Usage:") << QString();
    QTest::newRow("version") << QStringList{QStringLiteral("--version")} << 0
                             << QStringLiteral("VIVOE MIB Server 1.0.0") << QString();
    QTest::newRow("unknown option") << QStringList{QStringLiteral("--bogus")} << 1 << QString()
                                    << QStringLiteral("Unknown option 'bogus'");
    QTest::newRow("port without value") << QStringList{QStringLiteral("--port")} << 1 << QString()
                                        << QStringLiteral("Missing value after '--port'");
}

void ProcessShellTest::bannerPrecedesFrameworkOutput()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, stdoutAfterBanner);
    QFETCH(QString, stderrText);
    AgentProcess agent;
    agent.launch(args);
    QCOMPARE(agent.waitForExit(), exitCode);
    const QString out = agent.stdoutText();
    QVERIFY2(out.startsWith(QStringLiteral("==========================================================\n"
                                           "VIVOE MIB SNMP Server v1.0.0 - TEMPLATE EXAMPLE\n")),
             qPrintable(out));
    const QString bannerEnd = QStringLiteral("comments\n==========================================================\n\n");
    QVERIFY(out.contains(bannerEnd));
    QVERIFY(out.mid(out.indexOf(bannerEnd) + bannerEnd.size()).startsWith(stdoutAfterBanner));
    QVERIFY2(agent.stderrText().contains(stderrText), qPrintable(agent.stderrText()));
    QVERIFY(!QFile::exists(agent.home() + QStringLiteral("/.snmp")));
}

void ProcessShellTest::privilegeRuleForOrdinaryUser_data()
{
    QTest::addColumn<QString>("portText");
    QTest::addColumn<QString>("shownPort");
    QTest::newRow("default 161") << QString() << QStringLiteral("161");
    QTest::newRow("1023") << QStringLiteral("1023") << QStringLiteral("1023");
    QTest::newRow("-5") << QStringLiteral("-5") << QStringLiteral("-5");
    QTest::newRow("abc") << QStringLiteral("abc") << QStringLiteral("0");
    QTest::newRow("empty") << QStringLiteral("") << QStringLiteral("0");
    QTest::newRow("2^32") << QStringLiteral("4294967296") << QStringLiteral("0");
}

void ProcessShellTest::privilegeRuleForOrdinaryUser()
{
    QFETCH(QString, portText);
    QFETCH(QString, shownPort);
    AgentProcess agent(AgentProcess::User::Nobody);
    QStringList args{QStringLiteral("--daemon")}; // refused before any fork
    if (!portText.isNull())
        args << QStringLiteral("--port=") + portText;
    agent.launch(args);
    QCOMPARE(agent.waitForExit(), 1);
    QCOMPARE(agent.stderrText(), QStringLiteral("ERROR: Port %1 requires root privileges\n"
                                                "Run with sudo or choose port >= 1024\n")
                                     .arg(shownPort));
    QVERIFY(!agent.stdoutText().contains(QStringLiteral("Starting")));
    QVERIFY(!QFile::exists(agent.home() + QStringLiteral("/.snmp")));
}

void ProcessShellTest::ordinaryUserMayUsePort1024()
{
    AgentProcess agent(AgentProcess::User::Nobody);
    agent.launch({QStringLiteral("--port=1024")});
    // Whether 1024 happens to be free here or not, the privilege rule passes it.
    QVERIFY(agent.waitForStderr(QStringLiteral("Starting VIVOE MIB Server on port 1024")));
    QVERIFY(agent.waitForStderr(QStringLiteral("VIVOE MIB Server started successfully"))
            || agent.stderrText().contains(QStringLiteral("ERROR: Failed to start VIVOE MIB Server on port 1024")));
    agent.sendSignal(SIGTERM);
    QVERIFY(agent.waitForExit().has_value());
    QVERIFY(!agent.stderrText().contains(QStringLiteral("requires root privileges")));
}

void ProcessShellTest::rootRefusesPortZero_data()
{
    QTest::addColumn<QString>("portText");
    QTest::newRow("0") << QStringLiteral("0");
    QTest::newRow("abc") << QStringLiteral("abc");
    QTest::newRow("empty") << QStringLiteral("");
    QTest::newRow("2^32") << QStringLiteral("4294967296");
}

void ProcessShellTest::rootRefusesPortZero()
{
    QFETCH(QString, portText);
    AgentProcess agent;
    agent.launch({QStringLiteral("--port=") + portText});
    QCOMPARE(agent.waitForExit(), 1);
    QCOMPARE(agent.stderrText(),
             QStringLiteral("ERROR: Invalid port \"%1\": give a port number from 1 to 65535\n").arg(portText));
}

void ProcessShellTest::ordinaryUserRunsCleanlyFromHome()
{
    AgentProcess agent(AgentProcess::User::Nobody);
    const QString config = agent.home() + QStringLiteral("/.snmp/vivoe_kestrunevale.conf");
    writeFile(config, "rwcommunity private\nolder content that must go\n");
    runTool(QStringLiteral("chown"), {QStringLiteral("-R"), QStringLiteral("nobody"), agent.home()});
    // Leaves out Debian's snmp.conf ("mibs :"), as on a machine without it:
    // the library must still not parse and complain about MIB files.
    agent.environment().insert(QStringLiteral("SNMPCONFPATH"), QFileInfo(config).path());
    QVERIFY2(agent.startServing(), qPrintable(agent.stderrText()));
    QCOMPARE(readFile(config), QByteArray(configText));
    QCOMPARE(socketsOf(agent.process().processId()),
             QStringList{QStringLiteral("udp 0.0.0.0:%1").arg(agent.port())});
    const ToolResult get = agent.snmp(QStringLiteral("snmpget"), {QStringLiteral("1.3.6.1.4.1.35990.3.1.1.1.0")});
    QCOMPARE(get.exitCode, 0);
    agent.sendSignal(SIGTERM);
    QCOMPARE(agent.waitForExit(), 0);
    // Only the program's own log lines: no library noise at start or stop.
    const QStringList expected{
        QStringLiteral("Starting VIVOE MIB Server on port %1").arg(agent.port()),
        QStringLiteral("Wrote SNMP config to \"%1\"").arg(config),
        QStringLiteral("SNMP agent listening on UDP port %1").arg(agent.port()),
        QStringLiteral("VIVOE MIB Server started successfully"),
        QStringLiteral("Received signal 15 - shutting down gracefully"),
        QStringLiteral("Stopping VIVOE MIB Server"),
        QStringLiteral("VIVOE MIB Server stopped")};
    QStringList lines = agent.stderrText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    lines.removeIf([](const QString &l) { return l.startsWith(QStringLiteral("VIVOE MIB data initialized"))
                                                 || l.startsWith(QStringLiteral("VIVOE MIB handlers registered"))
                                                 || l.startsWith(QStringLiteral("  Interface")); });
    QVERIFY2(lines == expected, qPrintable(lines.join(QLatin1Char('\n'))));
}

void ProcessShellTest::rootWritesSystemConfig()
{
    if (!QFileInfo(QStringLiteral("/etc/snmp")).isWritable())
        QSKIP("needs root and an existing /etc/snmp");
    const QString config = QStringLiteral("/etc/snmp/vivoe_kestrunevale.conf");
    writeFile(config, "stale\n");
    AgentProcess agent;
    QVERIFY2(agent.startServing(), qPrintable(agent.stderrText()));
    QCOMPARE(readFile(config), QByteArray(configText));
    QVERIFY(!QFile::exists(agent.home() + QStringLiteral("/.snmp")));
    // As root the library would also open SMUX (TCP 199): only our UDP port.
    QCOMPARE(socketsOf(agent.process().processId()),
             QStringList{QStringLiteral("udp 0.0.0.0:%1").arg(agent.port())});
}

void ProcessShellTest::portInUseFails()
{
    QUdpSocket holder;
    QVERIFY(holder.bind(QHostAddress::AnyIPv4, 0));
    AgentProcess agent;
    agent.launch({QStringLiteral("--port"), QString::number(holder.localPort())});
    QCOMPARE(agent.waitForExit(), 1);
    const QString err = agent.stderrText();
    QVERIFY2(err.contains(QStringLiteral("Failed to open SNMP listening port %1\n").arg(holder.localPort())),
             qPrintable(err));
    QVERIFY(err.endsWith(QStringLiteral("ERROR: Failed to start VIVOE MIB Server on port %1\n"
                                        "Make sure:\n"
                                        "1. Port is not already in use\n"
                                        "2. You have sufficient privileges (sudo for port < 1024)\n"
                                        "3. Net-SNMP libraries are installed\n")
                             .arg(holder.localPort())));
    QVERIFY(!agent.stdoutText().contains(QStringLiteral("is running")));
}

void ProcessShellTest::signalStopsOnce_data()
{
    QTest::addColumn<QList<int>>("signalNumbers");
    QTest::newRow("SIGINT") << QList<int>{SIGINT};
    QTest::newRow("SIGTERM") << QList<int>{SIGTERM};
    QTest::newRow("SIGHUP") << QList<int>{SIGHUP};
    QTest::newRow("SIGTERM then SIGINT at once") << QList<int>{SIGTERM, SIGINT};
}

void ProcessShellTest::signalStopsOnce()
{
    QFETCH(QList<int>, signalNumbers);
    AgentProcess agent;
    QVERIFY2(agent.startServing(), qPrintable(agent.stderrText()));
    for (int signalNumber : signalNumbers)
        agent.sendSignal(signalNumber);
    QCOMPARE(agent.waitForExit(), 0);
    const QString out = agent.stdoutText();
    const QString err = agent.stderrText();
    QCOMPARE(out.count(QStringLiteral("VIVOE MIB Server stopped")), 1);
    QVERIFY(out.endsWith(QStringLiteral("VIVOE MIB Server stopped\n")));
    QCOMPARE(err.count(QStringLiteral("Stopping VIVOE MIB Server")), 1);
    QVERIFY(err.contains(QStringLiteral("Received signal %1 - shutting down gracefully\n"
                                        "Stopping VIVOE MIB Server\n"
                                        "VIVOE MIB Server stopped\n")
                             .arg(signalNumbers.first())));
}

// The detached daemon is no child of ours: it is found by its socket and
// killed by the guard whatever the test's outcome.
struct DetachedAgent
{
    quint16 port = freeUdpPort();
    qint64 pid = 0;

    ~DetachedAgent()
    {
        if (pid > 0 && !processGone(pid))
            ::kill(static_cast<pid_t>(pid), SIGKILL);
    }

    bool find()
    {
        return QTest::qWaitFor([&] {
            const ToolResult ss = runTool(QStringLiteral("ss"), {QStringLiteral("-H"), QStringLiteral("-lunp"),
                                                                 QStringLiteral("sport = :%1").arg(port)});
            const int at = ss.out.indexOf(QStringLiteral("pid="));
            if (at >= 0)
                pid = ss.out.mid(at + 4).section(QLatin1Char(','), 0, 0).toLongLong();
            return pid > 0;
        }, 10000);
    }

    ToolResult snmp(const QString &tool, const QStringList &args, const QString &community)
    {
        return runTool(tool, QStringList{QStringLiteral("-v2c"), QStringLiteral("-c"), community,
                                         QStringLiteral("127.0.0.1:%1").arg(port)}
                                 + args);
    }

    bool stop()
    {
        ::kill(static_cast<pid_t>(pid), SIGTERM);
        return QTest::qWaitFor([&] { return processGone(pid); }, 10000);
    }
};

void ProcessShellTest::daemonDetachesAndServes()
{
    AgentProcess agent;
    const QString outFile = agent.home() + QStringLiteral("/stdout");
    const QString errFile = agent.home() + QStringLiteral("/stderr");
    // Files, not pipes: the detached process keeps writing after the launcher exits.
    agent.process().setStandardOutputFile(outFile);
    agent.process().setStandardErrorFile(errFile);
    DetachedAgent daemon;
    agent.launch({QStringLiteral("-d"), QStringLiteral("-p"), QString::number(daemon.port)});
    QCOMPARE(agent.waitForExit(3000), 0);
    QVERIFY2(daemon.find(), readFile(errFile).constData());
    QVERIFY(daemon.pid != agent.process().processId());
    QCOMPARE(daemon.snmp(QStringLiteral("snmpget"), {QStringLiteral("1.3.6.1.4.1.35990.3.1.1.1.0")},
                         QStringLiteral("maplet")).exitCode,
             0);
    QVERIFY(daemon.stop());

    const QByteArray out = readFile(outFile);
    QVERIFY2(out.endsWith("Starting as daemon...\n"), out.constData());
    QCOMPARE(out.count("Starting as daemon..."), 1);
    const QByteArray err = readFile(errFile);
    QVERIFY(err.startsWith(QStringLiteral("VIVOE MIB Server daemon started on port %1\n").arg(daemon.port).toLatin1()));
    QVERIFY(err.endsWith("Received signal 15 - shutting down gracefully\n"
                         "Stopping VIVOE MIB Server\n"
                         "VIVOE MIB Server stopped\n"));
}

void ProcessShellTest::daemonOutlivesItsLogReader()
{
    AgentProcess agent;
    agent.grantWriteAccess(QStringLiteral("private"));
    DetachedAgent daemon;
    agent.launch({QStringLiteral("-d"), QStringLiteral("-p"), QString::number(daemon.port)});
    // The launcher has exited and its pipes are closed: nobody reads the log.
    QCOMPARE(agent.waitForExit(3000), 0);
    QVERIFY(daemon.find());
    const QString mode = QStringLiteral("1.3.6.1.4.1.35990.3.1.1.14.0");
    QCOMPARE(daemon.snmp(QStringLiteral("snmpset"), {mode, QStringLiteral("i"), QStringLiteral("7")},
                         QStringLiteral("private")).exitCode,
             0);
    const ToolResult get = daemon.snmp(QStringLiteral("snmpget"), {mode}, QStringLiteral("maplet"));
    QVERIFY2(get.out.contains(QStringLiteral("INTEGER: 7")), qPrintable(get.out + get.err));
    QVERIFY(daemon.stop());
}

QTEST_GUILESS_MAIN(ProcessShellTest)
#include "tst_process_shell.moc"
