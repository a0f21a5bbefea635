// Runs the real agent binary for black-box tests: on a free loopback port,
// with a private home directory, optionally as the unprivileged user nobody
// or inside a network namespace.
#include "agent_process.h"

#include <QDir>
#include <QFile>
#include <QTest>
#include <QUdpSocket>

#include <csignal>

#include <pwd.h>
#include <unistd.h>

quint16 freeUdpPort()
{
    QUdpSocket socket;
    socket.bind(QHostAddress::AnyIPv4, 0);
    return socket.localPort();
}

ToolResult runTool(const QString &program, const QStringList &args,
                   const QProcessEnvironment &env, int timeoutMs)
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, args);
    ToolResult result;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        result.err = QStringLiteral("timed out: ") + program;
        return result;
    }
    result.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    result.out = QString::fromLatin1(p.readAllStandardOutput());
    result.err = QString::fromLatin1(p.readAllStandardError());
    return result;
}

AgentProcess::AgentProcess(User user)
    : user(user), env(QProcessEnvironment::systemEnvironment())
{
    env.insert(QStringLiteral("HOME"), homeDir.path());
    // Keep the agent away from any site-wide persistent state.
    env.insert(QStringLiteral("SNMP_PERSISTENT_DIR"), homeDir.path() + QStringLiteral("/persist"));
    if (user == User::Nobody) {
        const passwd *pw = getpwnam("nobody");
        if (pw && chown(homeDir.path().toLocal8Bit().constData(), pw->pw_uid, pw->pw_gid) != 0)
            qWarning("cannot hand the test home to nobody");
        // The build tree may sit below a directory nobody cannot enter.
        QFile::copy(QStringLiteral(AGENT_BINARY), binaryPath());
        QFile::setPermissions(binaryPath(), QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther
                                                | QFile::ExeOther | QFile::ReadGroup | QFile::ExeGroup);
    }
}

AgentProcess::~AgentProcess()
{
    if (proc.state() != QProcess::NotRunning) {
        proc.kill();
        proc.waitForFinished(5000);
    }
}

QString AgentProcess::binaryPath() const
{
    if (user == User::Root)
        return QStringLiteral(AGENT_BINARY);
    return homeDir.path() + QStringLiteral("/vivoe-mib-server");
}

QStringList AgentProcess::namespacePrefix() const
{
    if (networkNamespace.isEmpty())
        return {};
    return {QStringLiteral("netns"), QStringLiteral("exec"), networkNamespace};
}

void AgentProcess::grantWriteAccess(const QString &community)
{
    const QString extraDir = homeDir.path() + QStringLiteral("/write-access");
    QDir().mkpath(extraDir);
    QFile file(extraDir + QStringLiteral("/vivoe_kestrunevale.local.conf"));
    if (file.open(QIODevice::WriteOnly))
        file.write(QStringLiteral("rwcommunity %1 127.0.0.1\n").arg(community).toLatin1());
    const QString agentConfigDir =
        user == User::Root ? QStringLiteral("/etc/snmp") : homeDir.path() + QStringLiteral("/.snmp");
    env.insert(QStringLiteral("SNMPCONFPATH"), agentConfigDir + QLatin1Char(':') + extraDir);
}

void AgentProcess::launch(const QStringList &args)
{
    proc.setProcessEnvironment(env);
    if (user == User::Root && !networkNamespace.isEmpty()) {
        // ip execs the agent in place, so the process id stays the agent's.
        proc.start(QStringLiteral("ip"), namespacePrefix() + QStringList{binaryPath()} + args);
    } else if (user == User::Root) {
        proc.start(binaryPath(), args);
    } else {
        proc.start(QStringLiteral("setpriv"),
                   QStringList{QStringLiteral("--reuid=nobody"), QStringLiteral("--regid=nogroup"),
                               QStringLiteral("--clear-groups"), binaryPath()}
                       + args);
    }
    proc.waitForStarted();
}

bool AgentProcess::startServing(const QStringList &extraArgs)
{
    agentPort = freeUdpPort();
    launch(QStringList{QStringLiteral("--port"), QString::number(agentPort)} + extraArgs);
    return waitForStderr(QStringLiteral("VIVOE MIB Server started successfully"));
}

std::optional<int> AgentProcess::waitForExit(int timeoutMs)
{
    if (proc.state() != QProcess::NotRunning && !proc.waitForFinished(timeoutMs))
        return std::nullopt;
    if (proc.exitStatus() != QProcess::NormalExit)
        return -1; // killed by a signal: never a clean exit
    return proc.exitCode();
}

bool AgentProcess::waitForStderr(const QString &text, int timeoutMs)
{
    return QTest::qWaitFor([&] { return stderrText().contains(text) || proc.state() == QProcess::NotRunning; },
                           timeoutMs)
           && stderrText().contains(text);
}

void AgentProcess::sendSignal(int signalNumber)
{
    // processId() is 0 once the agent has exited, and kill(0, ...) would
    // signal our own process group.
    const qint64 pid = proc.processId();
    if (pid > 0 && proc.state() == QProcess::Running)
        ::kill(static_cast<pid_t>(pid), signalNumber);
}

QString AgentProcess::stdoutText()
{
    out += proc.readAllStandardOutput();
    return QString::fromUtf8(out);
}

QString AgentProcess::stderrText()
{
    err += proc.readAllStandardError();
    return QString::fromUtf8(err);
}

ToolResult AgentProcess::snmp(const QString &tool, const QStringList &args, const QString &community)
{
    const QStringList common{QStringLiteral("-v2c"), QStringLiteral("-c"), community,
                             QStringLiteral("-On"), QStringLiteral("-t"), QStringLiteral("2"),
                             QStringLiteral("-r"), QStringLiteral("1"),
                             QStringLiteral("127.0.0.1:%1").arg(agentPort)};
    if (networkNamespace.isEmpty())
        return runTool(tool, common + args);
    return runTool(QStringLiteral("ip"), namespacePrefix() + QStringList{tool} + common + args);
}
