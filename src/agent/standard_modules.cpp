// The SNMPv2 entity around the VIVOE objects: Net-SNMP's own modules for the
// system and snmp groups and the SNMPv3 framework, set up for this device.
#include "agent/standard_modules.h"

#include "agent/mib_tree.h"
#include "data/device_data.h"

#include <QByteArray>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

// libnetsnmpmibs exports these but installs no header for them.
extern "C" {
void init_system_mib(void);
void init_sysORTable(void);
void init_snmp_mib(void);
void init_setSerialNo(void);
void init_snmpEngine(void);
void init_snmpMPDStats(void);
void init_usmStats(void);
void init_usmUser(void);
}

namespace {

// The library's build fills sysContact and sysLocation with "root" and
// "Unknown"; SNMPv2-MIB wants the empty string when nothing is known. The
// buffers are the modules' own, reached through their watcher registrations,
// so syscontact/syslocation lines and SETs still work as with snmpd.
void clearWatchedText(const oid *name, size_t length)
{
    netsnmp_subtree *subtree = netsnmp_subtree_find(name, length, nullptr, "");
    netsnmp_mib_handler *watcher =
        subtree && subtree->reginfo ? netsnmp_find_handler_by_name(subtree->reginfo, "watcher") : nullptr;
    if (watcher && watcher->myvoid)
        static_cast<char *>(static_cast<netsnmp_watcher_info *>(watcher->myvoid)->data)[0] = '\0';
}

// Read after the configuration files, like a line of them: this device's
// description and identity win over the library's uname text and Linux OID.
void configure(const QByteArray &line)
{
    QByteArray copy = line;
    netsnmp_config(copy.data());
}

} // namespace

void registerStandardModules()
{
    init_system_mib();
    init_sysORTable();
    init_snmp_mib();
    init_setSerialNo();
    init_snmpEngine();
    init_snmpMPDStats();
    init_usmStats();
    init_usmUser();

    configure("sysdescr " + deviceDesc().toLatin1());
    configure("sysobjectid " + vivoeObjectIdText().toLatin1());
    const oid sysContact[] = {1, 3, 6, 1, 2, 1, 1, 4, 0};
    const oid sysLocation[] = {1, 3, 6, 1, 2, 1, 1, 6, 0};
    clearWatchedText(sysContact, OID_LENGTH(sysContact));
    clearWatchedText(sysLocation, OID_LENGTH(sysLocation));
}
