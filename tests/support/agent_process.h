// Runs the real agent binary for black-box tests: on a free loopback port,
// with a private home directory, optionally as the unprivileged user nobody
// or inside a network namespace.
#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTemporaryDir>

#include <optional>

// A UDP port that was free a moment ago.
quint16 freeUdpPort();

struct ToolResult
{
    int exitCode = -1;
    QString out;
    QString err;
};

// Runs a command to completion (bounded by timeoutMs) and collects its output.
ToolResult runTool(const QString &program, const QStringList &args,
                   const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment(),
                   int timeoutMs = 20000);

class AgentProcess
{
public:
    enum class User { Root, Nobody };

    explicit AgentProcess(User user = User::Root);
    ~AgentProcess();

    QString home() const { return homeDir.path(); }
    QProcessEnvironment &environment() { return env; }
    QProcess &process() { return proc; }

    // Grants read-write access to `community` from 127.0.0.1 the way an
    // operator would: a .local.conf in Net-SNMP's configuration search path.
    // Call before launching.
    void grantWriteAccess(const QString &community = QStringLiteral("private"));

    // Runs the agent and the SNMP tools inside this network namespace
    // (`ip netns exec`), as root. Call before launching.
    void useNetworkNamespace(const QString &name) { networkNamespace = name; }

    // Starts the binary with these arguments; does not wait.
    void launch(const QStringList &args);
    // Starts on a free port and waits for the start-up line. False if it died.
    bool startServing(const QStringList &extraArgs = {});
    quint16 port() const { return agentPort; }

    // Waits for the process to end; returns its exit code, or nullopt on timeout.
    std::optional<int> waitForExit(int timeoutMs = 10000);
    bool waitForStderr(const QString &text, int timeoutMs = 10000);
    void sendSignal(int signalNumber);

    QString stdoutText();
    QString stderrText();

    // SNMP tools against this agent, v2c, community maplet unless given.
    ToolResult snmp(const QString &tool, const QStringList &args,
                    const QString &community = QStringLiteral("maplet"));

private:
    QString binaryPath() const;
    QStringList namespacePrefix() const;

    User user;
    QTemporaryDir homeDir;
    QProcessEnvironment env;
    QProcess proc;
    quint16 agentPort = 0;
    QString networkNamespace;
    QByteArray out, err;
};
