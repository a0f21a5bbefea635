// The SNMP agent of the simulated camera: owns the Net-SNMP master agent,
// its configuration file and the event-loop hook that drives it.
#include "agent/vivoe_mib_server.h"

#include "agent/agent_config.h"
#include "agent/crypto_footprint.h"
#include "agent/engine_state.h"
#include "agent/mib_tables.h"
#include "agent/mib_tree.h"
#include "agent/notifications.h"
#include "agent/refusal_log.h"
#include "agent/set_value_guard.h"
#include "agent/standard_modules.h"
#include "data/device_data.h"

#include <QDebug>
#include <QFile>
#include <QHostAddress>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <optional>

#include <dirent.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>
#include <net-snmp/agent/mib_modules.h>
#include <net-snmp/agent/agent_sysORTable.h>
#include <net-snmp/library/large_fd_set.h>

namespace {

// 65535 less the IPv4 and UDP headers.
constexpr int maxUdpPayload = 65507;
// Descriptors no TCP connection may take: each request needs one for a while
// (hosts.allow), and so does saving the engine's state.
constexpr long reservedDescriptors = 16;
// How long a listening socket rests after a connection could not be
// accepted: doubled at each failure in a row.
constexpr int firstListenerPause = 50; // ms
constexpr int lastListenerPause = 1600;

long freeDescriptors()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return LONG_MAX;
    long open = 0;
    if (DIR *descriptors = opendir("/proc/self/fd")) {
        while (readdir(descriptors))
            ++open;
        closedir(descriptors);
        open -= 3; // ".", ".." and the directory's own
    }
    return long(std::min<rlim_t>(limit.rlim_cur, LONG_MAX)) - open;
}

bool isListening(int descriptor)
{
    int listening = 0;
    socklen_t size = sizeof listening;
    return getsockopt(descriptor, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0 && listening;
}

// What the library waits for between passes: the descriptors it reads, ascending,
// and how long until its next timed work (an alarm, an inform's retry), if any.
struct LibraryWait
{
    QVarLengthArray<int, 4> descriptors;
    std::optional<std::chrono::milliseconds> nextDeadline;
};

LibraryWait libraryWait()
{
    netsnmp_large_fd_set readable;
    netsnmp_large_fd_set_init(&readable, FD_SETSIZE);
    int count = 0;
    // In, 1 asks for the earliest deadline whatever it is; out, 1 means nothing is due.
    int block = 1;
    timeval timeout{};
    snmp_select_info2(&count, &readable, &timeout, &block);
    LibraryWait wait;
    for (int fd = 0; fd < count; ++fd) {
        if (NETSNMP_LARGE_FD_ISSET(fd, &readable))
            wait.descriptors.append(fd);
    }
    netsnmp_large_fd_set_cleanup(&readable);
    // Rounded up: a timer that fired before the deadline would find nothing
    // due and cost one more wake-up.
    if (!block)
        wait.nextDeadline = std::chrono::milliseconds(timeout.tv_sec * 1000 + (timeout.tv_usec + 999) / 1000);
    return wait;
}

// Library settings beyond the master-agent role: nothing may listen but the
// UDP port we were given, and nothing may write outside the user's reach.
void configureLibrary(const QString &listenAddress, const QString &stateDirectory)
{
    static bool prepared = false;
    if (!prepared) {
        // The library's informational lines ("Created directory: ...") are
        // noise on our console; its warnings and errors still reach stderr.
        netsnmp_register_loghandler(NETSNMP_LOGHANDLER_STDERR, LOG_WARNING);
        // Debian's agent library opens the SMUX TCP port 199 unless told not to.
        static char noSmux[] = "-smux";
        add_to_init_list(noSmux);
        // The agent never looks up a MIB name. Without Debian's "mibs :" line
        // in snmp.conf the library would parse every module it can find at
        // start-up and print its complaints about them.
        qputenv("MIBS", QByteArray());
        // A search path given in SNMPCONFPATH replaces the whole default one,
        // the directory of saved state included: without it the engine would
        // forget its ID and boots.
        if (qEnvironmentVariableIsSet("SNMPCONFPATH"))
            qputenv("SNMPCONFPATH", qgetenv("SNMPCONFPATH") + ':' + QFile::encodeName(stateDirectory));
        keepCryptoLean();
        prepared = true;
    }
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 0);
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_MASTER, 0);
    // One "Connection from" line per request would flood the console.
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_DONT_LOG_TCPWRAPPERS_CONNECTS, 1);
    // The engine's ID and boot count must survive a restart, or SNMPv3
    // managers lose the agent; snmpd's /var/lib/snmp is not ours to share.
    netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_PERSISTENT_DIR, stateDirectory.toUtf8().constData());

    // Left alone, the library builds answers bigger than a UDP datagram; such
    // an answer fails in sendto, is never sent and logs every varbind. With
    // this limit the requester gets tooBig instead.
    netsnmp_ds_set_int(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_MSG_SEND_MAX, maxUdpPayload);
    netsnmp_ds_set_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_PORTS, listenAddress.toUtf8().constData());
}

// What to listen on: Net-SNMP's transport specification, and the name of the
// endpoint's engine state directory.
struct Endpoint
{
    QString transport;
    QString stateName;
    bool ipv6;
};

Endpoint endpointFor(const QString &address, int port)
{
    // The address may carry a zone ("fe80::1%2"): no arg() may see its '%'.
    const QString number = QString::number(port);
    const QString host = QHostAddress(address).toString();
    if (address.isEmpty())
        return {QStringLiteral("udp:") + number, QStringLiteral("udp-") + number, false};
    if (QHostAddress(address).protocol() == QAbstractSocket::IPv6Protocol) {
        // Net-SNMP splits its search path, the state directory included, at ':'.
        const QString pathSafe = QString(host).replace(QLatin1Char(':'), QLatin1Char('_'));
        return {QStringLiteral("udp6:[%1]:%2").arg(host, number), QStringLiteral("udp6-%1-%2").arg(pathSafe, number),
                true};
    }
    return {QStringLiteral("udp:%1:%2").arg(host, number), QStringLiteral("udp-%1-%2").arg(host, number), false};
}

// Log lines name the address only when one was chosen: port 1161, or
// address "127.0.0.2" port 1161.
struct ListenPlace
{
    const QString &address;
    int port;
};

QDebug operator<<(QDebug debug, const ListenPlace &place)
{
    if (!place.address.isEmpty())
        debug << "address" << place.address;
    return debug << "port" << place.port;
}

} // namespace

VivoeMibServer::VivoeMibServer(QObject *parent)
    : QObject(parent), running(false), libraryTimer(nullptr)
{
    initializeMibData();
}

VivoeMibServer::~VivoeMibServer()
{
    stop();
}

bool VivoeMibServer::start(int port)
{
    if (running) {
        qDebug() << "VIVOE MIB Server already running";
        return true;
    }
    qDebug() << "Starting VIVOE MIB Server on" << ListenPlace{listenAddress, port};
    if (bootsBeforeStop) {
        // A start after a stop (a reboot) first ends the agent library as
        // snmpd does when it exits: no registration of the last run is left,
        // and init_agent runs afresh. The library frees no table data set
        // there, so each reboot leaves those of the last run allocated.
        shutdown_master_agent();
        shutdown_agent();
    }
    // Without its file the library would grant no access at all: the agent
    // would look started and answer nobody. The warning says why.
    if (writeAgentConfig(chooseConfigDirectory()).isEmpty())
        return false;
    const Endpoint endpoint = endpointFor(listenAddress, port);
    // Taken before the library creates them: a start that fails leaves none behind.
    const QStringList newStateDirectories = missingDirectories(engineStateDirectory(endpoint.stateName));
    configureLibrary(endpoint.transport, engineStateDirectory(endpoint.stateName));
    // The file grants its community over IPv4 only, and stays the same for
    // every agent that shares it; an IPv6 agent adds its own grant.
    if (endpoint.ipv6) {
        char ipv6Community[] = "rocommunity6 maplet";
        netsnmp_config(ipv6Community);
    }

    init_agent(agentName);
    registerStandardModules();
    registerMibHandlers();
    init_snmp(agentName);
    if (bootsBeforeStop)
        countEngineRestart(*bootsBeforeStop);
    keepEngineStateIfWritable(engineStateDirectory(endpoint.stateName));
    logLocalConfigFiles();
    if (init_master_agent() != 0) {
        qWarning() << "Failed to open SNMP listening" << ListenPlace{listenAddress, port};
        removeStateDirectories(newStateDirectories);
        return false;
    }
    qDebug() << "SNMP agent listening on UDP" << ListenPlace{listenAddress, port};
    guardSetValues();
    if (refusalLog)
        logRefusedRequests();
    // As snmpd does: saved at once, so that a crash still counts this boot.
    storeEngineState();
    sendColdStart();

    libraryTimer = new QTimer(this);
    libraryTimer->setSingleShot(true);
    // A coarse timer may fire early, and find nothing due yet.
    libraryTimer->setTimerType(Qt::PreciseTimer);
    connect(libraryTimer, &QTimer::timeout, this, &VivoeMibServer::runTimedWork);
    running = true;
    // The coldStart to an inform sink already waits for its answer.
    followLibrary();
    qDebug() << "VIVOE MIB Server started successfully";
    return true;
}

void VivoeMibServer::stop()
{
    if (!running)
        return;
    qDebug() << "Stopping VIVOE MIB Server";
    delete libraryTimer;
    libraryTimer = nullptr;
    unwatchLibraryDescriptors();
    restingListeners.clear();
    listenerPauses.clear();
    bootsBeforeStop = snmpv3_local_snmpEngineBoots();
    storeEngineState();
    shutDownWithoutStore();
    running = false;
    qDebug() << "VIVOE MIB Server stopped";
}

// Called when a descriptor is readable: one datagram per call, so that a
// flood cannot starve signals or timed work; the event loop calls again while
// more is waiting.
void VivoeMibServer::readRequest(int descriptor)
{
    if (!running)
        return;
    const bool listener = isListening(descriptor);
    if (listener && freeDescriptors() <= reservedDescriptors) {
        restListener(descriptor);
        return;
    }
    const qsizetype watched = requestNotifiers.size();
    netsnmp_large_fd_set readable;
    netsnmp_large_fd_set_init(&readable, FD_SETSIZE);
    NETSNMP_LARGE_FD_SET(descriptor, &readable);
    snmp_read2(&readable);
    netsnmp_large_fd_set_cleanup(&readable);
    netsnmp_check_outstanding_agent_requests();
    // A SET may have changed what the library keeps (sysContact, users).
    snmp_store_if_needed();
    followLibrary();
    // No new connection to watch: accept() failed (the system's descriptors,
    // say) and the connection still waits, so the socket would wake us at once.
    if (listener && requestNotifiers.size() > watched)
        listenerPauses.remove(descriptor);
    else if (listener)
        restListener(descriptor);
}

void VivoeMibServer::restListener(int descriptor)
{
    int &pause = listenerPauses[descriptor];
    pause = std::clamp(pause * 2, firstListenerPause, lastListenerPause);
    restingListeners.insert(descriptor);
    followLibrary();
    QTimer::singleShot(pause, this, [this, descriptor] {
        restingListeners.remove(descriptor);
        if (running)
            followLibrary();
    });
}

// The library's own timed work: requests past their time (an inform sent
// again), then alarms that are due.
void VivoeMibServer::runTimedWork()
{
    if (!running)
        return;
    snmp_timeout();
    run_alarms();
    netsnmp_check_outstanding_agent_requests();
    followLibrary();
}

// After every pass: watch what the library reads now, and sleep until its next
// deadline, or until a datagram or a signal when nothing is due.
void VivoeMibServer::followLibrary()
{
    LibraryWait wait = libraryWait();
    wait.descriptors.removeIf([this](int descriptor) { return restingListeners.contains(descriptor); });
    watchLibraryDescriptors(wait.descriptors);
    if (!wait.nextDeadline) {
        libraryTimer->stop();
        return;
    }
    const int due = int(std::min<std::chrono::milliseconds::rep>(wait.nextDeadline->count(), INT_MAX));
    // Most passes leave the deadline where it was; the timer then stays as armed.
    if (libraryTimer->isActive() && std::abs(libraryTimer->remainingTime() - due) <= 1)
        return;
    libraryTimer->start(due);
}

void VivoeMibServer::watchLibraryDescriptors(const QVarLengthArray<int, 4> &descriptors)
{
    bool same = descriptors.size() == requestNotifiers.size();
    for (qsizetype i = 0; same && i < descriptors.size(); ++i)
        same = requestNotifiers[i]->socket() == descriptors[i];
    if (same)
        return;
    unwatchLibraryDescriptors();
    for (int fd : descriptors) {
        auto *notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, [this, fd] { readRequest(fd); });
        requestNotifiers.append(notifier);
    }
}

void VivoeMibServer::unwatchLibraryDescriptors()
{
    // This may run inside a notifier's own activated signal: silence them at
    // once, free them once the event loop is back.
    for (QSocketNotifier *notifier : std::as_const(requestNotifiers)) {
        notifier->setEnabled(false);
        notifier->deleteLater();
    }
    requestNotifiers.clear();
}

void VivoeMibServer::registerMibHandlers()
{
    registerScalars();
    registerEthernetIfTable(writableTables);
    registerVideoFormatTable(writableTables);
    registerChannelTable(writableTables);
    std::array<oid, 9> vivoeMib = vivoeObjectId();
    register_sysORTable(vivoeMib.data(), vivoeMib.size(), "VIVOE-CAMERA-SIM-MIB: the simulated camera's objects");
    qDebug() << "VIVOE MIB handlers registered:" << ethernetInterfaces.size() << "ethernet interfaces,"
             << videoFormats.size() << "video formats," << channels.size() << "channels";
}
