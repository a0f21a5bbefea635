// The SNMP agent of the simulated camera: owns the Net-SNMP master agent,
// its configuration file and the event-loop hook that drives it.
#include "agent/vivoe_mib_server.h"

#include "agent/agent_config.h"
#include "agent/mib_tables.h"
#include "agent/mib_tree.h"
#include "data/device_data.h"

#include <QDebug>
#include <QTimer>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>
#include <net-snmp/agent/mib_modules.h>

namespace {

const char agentName[] = "vivoe_kestrunevale";

// Library settings beyond the master-agent role: nothing may listen but the
// UDP port we were given, and nothing may write outside the user's reach.
void configureLibrary(const QString &listenSpec)
{
    // The library's informational lines ("Created directory: ...") are noise
    // on our console; its warnings and errors still go to standard error.
    static bool logHandlerInstalled = false;
    if (!logHandlerInstalled) {
        netsnmp_register_loghandler(NETSNMP_LOGHANDLER_STDERR, LOG_WARNING);
        logHandlerInstalled = true;
    }
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 0);
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_MASTER, 0);
    // One "Connection from" line per request would flood the console.
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_DONT_LOG_TCPWRAPPERS_CONNECTS, 1);
    // Debian's agent library opens the SMUX TCP port 199 unless told not to.
    static char noSmux[] = "-smux";
    add_to_init_list(noSmux);
    // The simulator keeps no state across runs; the default persistent
    // directory (/var/lib/snmp) is not writable by an ordinary user anyway.
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
    netsnmp_ds_set_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_PORTS,
                          listenSpec.toUtf8().constData());
}

} // namespace

VivoeMibServer::VivoeMibServer(QObject *parent)
    : QObject(parent), running(false), pollTimer(nullptr)
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
    qDebug() << "Starting VIVOE MIB Server on port" << port;
    writeAgentConfig(chooseConfigDirectory());
    configureLibrary(QStringLiteral("udp:%1").arg(port));

    init_agent(agentName);
    registerMibHandlers();
    init_snmp(agentName);
    if (init_master_agent() != 0) {
        qWarning() << "Failed to open SNMP listening port" << port;
        return false;
    }
    qDebug() << "SNMP agent listening on UDP port" << port;

    pollTimer = new QTimer(this);
    connect(pollTimer, &QTimer::timeout, this, &VivoeMibServer::processSnmpRequests);
    pollTimer->start(10);
    running = true;
    qDebug() << "VIVOE MIB Server started successfully";
    return true;
}

void VivoeMibServer::stop()
{
    if (!running)
        return;
    qDebug() << "Stopping VIVOE MIB Server";
    if (pollTimer) {
        pollTimer->stop();
        delete pollTimer;
        pollTimer = nullptr;
    }
    snmp_shutdown(agentName);
    running = false;
    qDebug() << "VIVOE MIB Server stopped";
}

void VivoeMibServer::processSnmpRequests()
{
    if (running)
        agent_check_and_process(0);
}


void VivoeMibServer::registerMibHandlers()
{
    registerScalars();
    registerEthernetIfTable();
    registerVideoFormatTable();
    registerChannelTable();
    qDebug() << "VIVOE MIB handlers registered:" << ethernetInterfaces.size() << "ethernet interfaces,"
             << videoFormats.size() << "video formats," << channels.size() << "channels";
}
