// Discovery of real interfaces: the agent runs inside a network namespace the
// test builds (veth pairs, a bridge, a tun device), and its ethernetIfTable is
// read there over SNMP. Needs root; skipped otherwise.
#include "agent_process.h"

#include <QCoreApplication>
#include <QFile>
#include <QMap>
#include <QTest>

#include <csignal>
#include <cstring>
#include <iterator>
#include <memory>
#include <thread>

#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

const QString namespacePrefix = QStringLiteral("vivoe-disc-");
const QString tableOid = QStringLiteral(".1.3.6.1.4.1.35990.3.1.1.12");

// Run in this order, so the interfaces' kernel indexes follow it; tun0 exists
// already. Skipped kinds sit between the listed ones: a wrongly consumed row
// index would show as a gap.
const char *const fixtureCommands[] = {
    "link set lo up",
    "link add one address 02:00:00:00:01:01 type veth peer name one-peer",
    "link add v6only address 02:00:00:00:02:01 type veth peer name v6only-peer",
    "link add two address 02:00:00:00:03:01 type veth peer name two-peer",
    "link add nocarrier address 02:00:00:00:04:01 type veth peer name nocarrier-peer",
    // A new bridge keeps its carrier until its ports are evaluated, which a port
    // or an address of our choosing would trigger: so none, and a speed of -1.
    "link add br0 type bridge",
    "link set tun0 up",
    "link set one-peer up",
    "link set one up",
    "link set v6only-peer up",
    "link set v6only up",
    "link set two-peer up",
    "link set two up",
    "link set nocarrier up", // its peer stays down: no carrier
    "link set br0 up",
    "addr add 203.0.113.201/30 dev tun0",
    "addr add 192.0.2.1/24 dev one",
    "addr add 2001:db8:2::1/64 dev v6only",
    "addr add 198.51.100.1/25 dev two",
    "addr add 203.0.113.1/28 dev two",
    "addr add 203.0.113.65/27 dev nocarrier",
    "addr add 198.51.100.129/26 dev br0",
};

// Up with carrier, so the kernel flags them RUNNING; the loopback is up too.
const char *const runningInterfaces[] = {"lo", "tun0", "one", "v6only", "two", "br0"};

struct ExpectedRow
{
    const char *description;
    int index;
    const char *name;
    const char *hardwareAddress; // null: whatever the kernel picked
    const char *address;
    const char *netmask;
    const char *speedFile; // what the kernel shows in <name>/speed
    int speed;
};

const ExpectedRow expectedRows[] = {
    {"tun: no hardware address", 1, "tun0", "", "203.0.113.201", "255.255.255.252", "10000", 10000},
    {"veth, one address", 2, "one", "02:00:00:00:01:01", "192.0.2.1", "255.255.255.0", "10000", 10000},
    {"veth, two addresses: the first", 3, "two", "02:00:00:00:03:01", "198.51.100.1", "255.255.255.128",
     "10000", 10000},
    {"bridge: unknown speed", 4, "br0", nullptr, "198.51.100.129", "255.255.255.192", "-1", 1000},
};

ToolResult ip(const QStringList &args)
{
    return runTool(QStringLiteral("ip"), args);
}

// `ip -n <namespace> <command>`
ToolResult ipIn(const QString &networkNamespace, const char *command)
{
    return ip(QStringList{QStringLiteral("-n"), networkNamespace}
              + QString::fromLatin1(command).split(QLatin1Char(' ')));
}

// A namespace of ours whose test process is gone: an earlier run was killed.
bool isLeftover(const QString &name)
{
    if (!name.startsWith(namespacePrefix))
        return false;
    QFile comm(QStringLiteral("/proc/%1/comm").arg(name.mid(namespacePrefix.size())));
    return !comm.open(QIODevice::ReadOnly) || !comm.readAll().startsWith("tst_interface");
}

void removeLeftoverNamespaces()
{
    const QStringList lines = ip({QStringLiteral("netns"), QStringLiteral("list")})
                                  .out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &line : lines) {
        const QString name = line.section(QLatin1Char(' '), 0, 0);
        if (!isLeftover(name))
            continue;
        // An agent from that run would keep the namespace alive after its name is gone.
        const QStringList pids = ip({QStringLiteral("netns"), QStringLiteral("pids"), name})
                                     .out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        for (const QString &pid : pids)
            ::kill(static_cast<pid_t>(pid.toInt()), SIGKILL);
        ip({QStringLiteral("netns"), QStringLiteral("del"), name});
    }
}

// Creates a tun device inside the namespace and keeps it attached, which is
// what makes the kernel report it RUNNING. Only the calling thread may switch
// namespace, hence the short-lived thread. Closing the descriptor removes it.
int openTunDevice(const QString &networkNamespace, const char *name)
{
    int tunFd = -1;
    std::thread([&] {
        const QByteArray nsPath = QStringLiteral("/run/netns/%1").arg(networkNamespace).toLocal8Bit();
        const int nsFd = ::open(nsPath.constData(), O_RDONLY | O_CLOEXEC);
        if (nsFd < 0)
            return;
        const bool entered = ::setns(nsFd, CLONE_NEWNET) == 0;
        ::close(nsFd);
        // Close-on-exec: the agent and the tools must not hold the device too.
        const int fd = entered ? ::open("/dev/net/tun", O_RDWR | O_CLOEXEC) : -1;
        ifreq request{};
        request.ifr_flags = IFF_TUN | IFF_NO_PI;
        std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
        if (fd >= 0 && ::ioctl(fd, TUNSETIFF, &request) == 0)
            tunFd = fd;
        else if (fd >= 0)
            ::close(fd);
    }).join();
    return tunFd;
}

// Fields after the name per interface, as `ip -br link` shows them:
// operational state, then the hardware address if there is one.
QMap<QString, QStringList> briefLinks(const QString &networkNamespace)
{
    QMap<QString, QStringList> links;
    const QString out = ipIn(networkNamespace, "-br link").out;
    for (const QString &line : out.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QStringList fields = line.simplified().split(QLatin1Char(' '));
        links.insert(fields.first().section(QLatin1Char('@'), 0, 0), fields.mid(1));
    }
    return links;
}

bool isRunningState(const QString &state)
{
    return state == QStringLiteral("UP") || state == QStringLiteral("UNKNOWN");
}

// snmpget -On output for a hardware address: Net-SNMP shows a zero-length
// octet string as "" with no type.
QString hardwareAddressValue(const QString &text)
{
    if (text.isEmpty())
        return QStringLiteral("\"\"");
    return QStringLiteral("Hex-STRING: ") + QString(text).replace(QLatin1Char(':'), QLatin1Char(' '))
        + QLatin1Char(' ');
}

} // namespace

class InterfaceDiscoveryTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void rowCells_data();
    void rowCells();
    void onlyQualifyingInterfacesListed();

private:
    void buildNamespace();
    void checkFixture();
    QString hardwareAddress(const ExpectedRow &row) const;
    QString debugLine(const ExpectedRow &row) const;
    ToolResult getEthernetIfNumber();

    QString networkNamespace;
    bool namespaceCreated = false;
    int tunFd = -1;
    QString bridgeAddress;
    std::unique_ptr<AgentProcess> agent;
};

void InterfaceDiscoveryTest::initTestCase()
{
    if (::geteuid() != 0)
        QSKIP("needs root to create a network namespace (ip netns add); run as root to cover discovery");
    removeLeftoverNamespaces();
    networkNamespace = namespacePrefix + QString::number(QCoreApplication::applicationPid());
    const ToolResult add = ip({QStringLiteral("netns"), QStringLiteral("add"), networkNamespace});
    QVERIFY2(add.exitCode == 0, qPrintable(QStringLiteral("cannot create a network namespace: ") + add.err));
    namespaceCreated = true;
    buildNamespace();
    if (QTest::currentTestFailed())
        return;

    agent = std::make_unique<AgentProcess>();
    agent->useNetworkNamespace(networkNamespace);
    QVERIFY2(agent->startServing(), qPrintable(agent->stderrText()));
    QVERIFY2(QTest::qWaitFor([&] { return getEthernetIfNumber().exitCode == 0; }, 20000),
             "the agent never answered inside the namespace");
}

void InterfaceDiscoveryTest::buildNamespace()
{
    tunFd = openTunDevice(networkNamespace, "tun0");
    QVERIFY2(tunFd >= 0, "cannot create a tun device in the namespace");
    for (const char *command : fixtureCommands) {
        const ToolResult result = ipIn(networkNamespace, command);
        QVERIFY2(result.exitCode == 0,
                 qPrintable(QString::fromLatin1(command) + QStringLiteral(": ") + result.err));
    }
    checkFixture();
}

// What the rows expect of the kernel: any difference is the machine's, not the agent's.
void InterfaceDiscoveryTest::checkFixture()
{
    // Operational states settle asynchronously, and discovery runs only once.
    QMap<QString, QStringList> links;
    const bool settled = QTest::qWaitFor(
        [&] {
            links = briefLinks(networkNamespace);
            for (const char *name : runningInterfaces) {
                if (!isRunningState(links.value(QString::fromLatin1(name)).value(0)))
                    return false;
            }
            return links.value(QStringLiteral("nocarrier")).value(0) == QStringLiteral("LOWERLAYERDOWN");
        },
        10000);
    QVERIFY2(settled, qPrintable(ipIn(networkNamespace, "-br link").out));
    bridgeAddress = links.value(QStringLiteral("br0")).value(1).toUpper();

    for (const ExpectedRow &row : expectedRows) {
        const QString path = QStringLiteral("/sys/class/net/%1/speed").arg(QString::fromLatin1(row.name));
        const QString speed = ip({QStringLiteral("netns"), QStringLiteral("exec"), networkNamespace,
                                  QStringLiteral("cat"), path})
                                  .out.trimmed();
        QVERIFY2(speed == QString::fromLatin1(row.speedFile),
                 qPrintable(QStringLiteral("%1 reads \"%2\", not \"%3\"")
                                .arg(path, speed, QString::fromLatin1(row.speedFile))));
    }
}

QString InterfaceDiscoveryTest::hardwareAddress(const ExpectedRow &row) const
{
    return row.hardwareAddress ? QString::fromLatin1(row.hardwareAddress) : bridgeAddress;
}

QString InterfaceDiscoveryTest::debugLine(const ExpectedRow &row) const
{
    return QStringLiteral("  Interface %1 \"%2\" \"%3\" \"%4\" \"%5\" %6 Mbps")
        .arg(row.index)
        .arg(QString::fromLatin1(row.name), hardwareAddress(row), QString::fromLatin1(row.address),
             QString::fromLatin1(row.netmask))
        .arg(row.speed);
}

ToolResult InterfaceDiscoveryTest::getEthernetIfNumber()
{
    return agent->snmp(QStringLiteral("snmpget"), {QStringLiteral("1.3.6.1.4.1.35990.3.1.1.11.0")});
}

void InterfaceDiscoveryTest::cleanupTestCase()
{
    std::optional<int> exitCode = 0;
    if (agent) {
        agent->process().terminate();
        exitCode = agent->waitForExit();
        agent.reset();
    }
    if (tunFd >= 0)
        ::close(tunFd);
    tunFd = -1;
    if (namespaceCreated)
        ip({QStringLiteral("netns"), QStringLiteral("del"), networkNamespace});
    namespaceCreated = false;
    QCOMPARE(exitCode, 0);
}

void InterfaceDiscoveryTest::rowCells_data()
{
    QTest::addColumn<int>("row");
    for (int i = 0; i < int(std::size(expectedRows)); ++i)
        QTest::newRow(expectedRows[i].description) << i;
}

void InterfaceDiscoveryTest::rowCells()
{
    QFETCH(int, row);
    const ExpectedRow &expected = expectedRows[row];
    const QString entry = tableOid + QStringLiteral(".1.%1.") + QString::number(expected.index);
    const QStringList want{
        entry.arg(2) + QStringLiteral(" = INTEGER: %1").arg(expected.speed),
        entry.arg(3) + QStringLiteral(" = ") + hardwareAddressValue(hardwareAddress(expected)),
        entry.arg(4) + QStringLiteral(" = IpAddress: ") + QString::fromLatin1(expected.address),
        entry.arg(5) + QStringLiteral(" = IpAddress: ") + QString::fromLatin1(expected.netmask),
        entry.arg(6) + QStringLiteral(" = IpAddress: 0.0.0.0")};

    QStringList oids;
    for (const QString &line : want)
        oids << line.section(QLatin1Char(' '), 0, 0);
    const ToolResult get = agent->snmp(QStringLiteral("snmpget"), oids);
    QCOMPARE(get.exitCode, 0);
    QCOMPARE(get.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts), want);
}

void InterfaceDiscoveryTest::onlyQualifyingInterfacesListed()
{
    const int rows = int(std::size(expectedRows));
    QCOMPARE(getEthernetIfNumber().out,
             QStringLiteral(".1.3.6.1.4.1.35990.3.1.1.11.0 = INTEGER: %1\n").arg(rows));

    // Every column holds exactly rows 1..n: nothing skipped, nothing extra.
    QStringList wantOids;
    for (int column = 2; column <= 6; ++column) {
        for (int index = 1; index <= rows; ++index)
            wantOids << tableOid + QStringLiteral(".1.%1.%2").arg(column).arg(index);
    }
    const ToolResult walk = agent->snmp(QStringLiteral("snmpwalk"), {tableOid});
    QCOMPARE(walk.exitCode, 0);
    QStringList walkedOids;
    for (const QString &line : walk.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        walkedOids << line.section(QLatin1Char(' '), 0, 0);
    QCOMPARE(walkedOids, wantOids);

    // One debug line per stored entry, in index order, then the summary.
    QStringList wantLog;
    for (const ExpectedRow &row : expectedRows)
        wantLog << debugLine(row);
    wantLog << QStringLiteral("VIVOE MIB data initialized: Grovenmarch Kestrunevale 2 channels, "
                              "2 video formats, %1 ethernet interfaces")
                   .arg(rows);
    QStringList log;
    for (const QString &line : agent->stderrText().split(QLatin1Char('\n'))) {
        if (line.startsWith(QStringLiteral("  Interface"))
            || line.startsWith(QStringLiteral("VIVOE MIB data initialized")))
            log << line;
    }
    QCOMPARE(log, wantLog);
}

QTEST_GUILESS_MAIN(InterfaceDiscoveryTest)
#include "tst_interface_discovery.moc"
