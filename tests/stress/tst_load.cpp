// Several managers walking the whole tree at once, with GETNEXT and GETBULK:
// every walk must come back complete and identical to a lone one. Then the
// agent is stopped by SIGTERM in the middle of such load.
#include "agent_process.h"

#include <QTest>

#include <csignal>
#include <memory>
#include <vector>

namespace {

const QString vivoeOid = QStringLiteral("1.3.6.1.4.1.35990");
constexpr int clientCount = 4;
constexpr int loadMs = 4000;
// Far more than fit into loadMs; only a bound in case walks come back instantly.
constexpr int maxWalksPerClient = 500;

int objectCount(const QString &walk)
{
    // The tree ends the agent's MIB view, and the tools say so in a line of their own.
    const QStringList lines = walk.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    return int(lines.size() - lines.filter(QStringLiteral("No more variables left")).size());
}

// snmpwalk and snmpbulkwalk alternate between the clients.
QString toolFor(int client)
{
    return client % 2 ? QStringLiteral("snmpbulkwalk") : QStringLiteral("snmpwalk");
}

// One manager walking the tree again and again until stopped.
struct WalkingClient
{
    QString tool;
    QProcess process;
    QStringList args;
    QString reference;
    int walks = 0;
    QStringList faults;
    bool stopping = false;

    void walkAgain()
    {
        if (stopping || walks >= maxWalksPerClient)
            return;
        process.start(tool, args);
    }

    void walked()
    {
        const QString out = QString::fromLatin1(process.readAllStandardOutput());
        const QString err = QString::fromLatin1(process.readAllStandardError());
        if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0 || out != reference) {
            if (!stopping)
                faults << QStringLiteral("%1 walk %2: exit %3, %4 lines, %5")
                              .arg(tool).arg(walks + 1).arg(process.exitCode())
                              .arg(out.count(QLatin1Char('\n'))).arg(err.trimmed());
        } else {
            ++walks;
        }
    }
};

class Load
{
public:
    Load(quint16 port, const QString &walkReference)
    {
        for (int i = 0; i < clientCount; ++i) {
            auto client = std::make_unique<WalkingClient>();
            client->tool = toolFor(i);
            client->args = QStringList{QStringLiteral("-v2c"), QStringLiteral("-c"), QStringLiteral("maplet"),
                                       QStringLiteral("-On"), QStringLiteral("-t"), QStringLiteral("3"),
                                       QStringLiteral("-r"), QStringLiteral("1"),
                                       QStringLiteral("127.0.0.1:%1").arg(port), vivoeOid};
            client->reference = walkReference;
            WalkingClient *c = client.get();
            QObject::connect(&c->process, &QProcess::finished, &c->process, [c] {
                c->walked();
                // Restart from the event loop, not from inside the finished signal.
                QMetaObject::invokeMethod(&c->process, [c] { c->walkAgain(); }, Qt::QueuedConnection);
            });
            clients.push_back(std::move(client));
        }
    }

    void start()
    {
        for (auto &client : clients)
            client->walkAgain();
    }

    // Starts no more walks; those still running may fail without blame,
    // since the agent may be going away under them.
    void stopWalking()
    {
        for (auto &client : clients)
            client->stopping = true;
    }

    bool waitIdle(int timeoutMs)
    {
        return QTest::qWaitFor([&] {
            for (auto &client : clients) {
                if (client->process.state() != QProcess::NotRunning)
                    return false;
            }
            return true;
        }, timeoutMs);
    }

    int inFlight() const
    {
        int count = 0;
        for (const auto &client : clients)
            count += client->process.state() != QProcess::NotRunning ? 1 : 0;
        return count;
    }

    int walks(const QString &tool) const
    {
        int count = 0;
        for (const auto &client : clients)
            count += client->tool == tool ? client->walks : 0;
        return count;
    }

    QStringList faults() const
    {
        QStringList all;
        for (const auto &client : clients)
            all += client->faults;
        return all;
    }

private:
    std::vector<std::unique_ptr<WalkingClient>> clients;
};

} // namespace

class LoadTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void concurrentWalksAreComplete();
    void sigtermUnderLoad();

private:
    std::unique_ptr<AgentProcess> agent;
    QString reference;
};

void LoadTest::init()
{
    agent = std::make_unique<AgentProcess>();
    QVERIFY2(agent->startServing(), qPrintable(agent->stderrText()));
    const ToolResult walk = agent->snmp(QStringLiteral("snmpwalk"), {vivoeOid});
    QCOMPARE(walk.exitCode, 0);
    reference = walk.out;
    QVERIFY(objectCount(reference) > 100);
    // GETBULK sees exactly what GETNEXT sees.
    QCOMPARE(agent->snmp(QStringLiteral("snmpbulkwalk"), {vivoeOid}).out, reference);
}

void LoadTest::concurrentWalksAreComplete()
{
    Load load(agent->port(), reference);
    load.start();
    QTest::qWait(loadMs);
    load.stopWalking();
    QVERIFY(load.waitIdle(30000));
    QVERIFY2(load.faults().isEmpty(), qPrintable(load.faults().join(QLatin1Char('\n'))));
    const int objects = objectCount(reference);
    const int walks = load.walks(QStringLiteral("snmpwalk"));
    const int bulkWalks = load.walks(QStringLiteral("snmpbulkwalk"));
    // A walk asks once per object plus once to leave the tree; a bulk walk
    // (10 repetitions per request) a tenth of that.
    qInfo("%d clients in %d ms: %d walks and %d bulk walks of %d objects, about %d requests",
          clientCount, loadMs, walks, bulkWalks, objects, walks * (objects + 1) + bulkWalks * (objects / 10 + 1));
    QVERIFY(walks > 0);
    QVERIFY(bulkWalks > 0);
    QCOMPARE(agent->snmp(QStringLiteral("snmpwalk"), {vivoeOid}).out, reference);
}

void LoadTest::sigtermUnderLoad()
{
    Load load(agent->port(), reference);
    load.start();
    // Both kinds of walk have been served, and all four are under way now.
    QVERIFY(QTest::qWaitFor([&] { return load.walks(QStringLiteral("snmpwalk")) > 0
                                         && load.walks(QStringLiteral("snmpbulkwalk")) > 0
                                         && load.inFlight() == clientCount; }, 20000));
    load.stopWalking();
    agent->sendSignal(SIGTERM);
    QCOMPARE(agent->waitForExit(10000), 0);
    QVERIFY(load.waitIdle(30000));
    QVERIFY2(load.faults().isEmpty(), qPrintable(load.faults().join(QLatin1Char('\n'))));
    const QString err = agent->stderrText();
    QCOMPARE(err.count(QStringLiteral("Stopping VIVOE MIB Server")), 1);
    QCOMPARE(err.count(QStringLiteral("VIVOE MIB Server stopped")), 1);
    QCOMPARE(agent->stdoutText().count(QStringLiteral("VIVOE MIB Server stopped")), 1);
}

QTEST_GUILESS_MAIN(LoadTest)
#include "tst_load.moc"
