// The SNMPv2 entity around the VIVOE objects: Net-SNMP's own modules for the
// system and snmp groups and the SNMPv3 framework, set up for this device.
#include "agent/standard_modules.h"

#include "agent/mib_tree.h"
#include "data/device_data.h"

#include <QByteArray>

#include <cstring>

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
// Counted up by the system, sysORTable and snmp modules as they start; the
// third one lists SNMPv2-MIB in sysORTable.
extern int system_module_count;
}

namespace {

// The system module keeps its texts in buffers of its own (SYS_STRING_LEN,
// 256 octets), reached through their watcher registrations; writing them
// there keeps syscontact/syslocation lines and SETs working as with snmpd.
void setWatchedText(const oid *name, size_t length, const QByteArray &text)
{
    constexpr qsizetype capacity = 256;
    netsnmp_subtree *subtree = netsnmp_subtree_find(name, length, nullptr, "");
    netsnmp_mib_handler *watcher =
        subtree && subtree->reginfo ? netsnmp_find_handler_by_name(subtree->reginfo, "watcher") : nullptr;
    if (!watcher || !watcher->myvoid)
        return;
    char *buffer = static_cast<char *>(static_cast<netsnmp_watcher_info *>(watcher->myvoid)->data);
    const QByteArray kept = text.left(capacity - 1);
    std::memcpy(buffer, kept.constData(), size_t(kept.size()) + 1);
}

// After the configuration files: this device's description wins over the
// library's uname text and any sysdescr line. It is not handed over as a
// line of them, whose parser would lose a leading '#' and the outer spaces.
int describeDevice(int, int, void *, void *)
{
    const oid sysDescr[] = {1, 3, 6, 1, 2, 1, 1, 1, 0};
    setWatchedText(sysDescr, OID_LENGTH(sysDescr), deviceDesc().toLatin1());
    return SNMPERR_SUCCESS;
}

// Read after the configuration files, like a line of them: this device's
// identity wins over the library's Linux OID.
void configure(const QByteArray &line)
{
    QByteArray copy = line;
    netsnmp_config(copy.data());
}

} // namespace

void registerStandardModules()
{
    // Nothing counts it down again: after a stop (a reboot) the third module
    // would not be the third any more, and SNMPv2-MIB would be missing.
    system_module_count = 0;
    init_system_mib();
    init_sysORTable();
    init_snmp_mib();
    init_setSerialNo();
    init_snmpEngine();
    init_snmpMPDStats();
    init_usmStats();
    init_usmUser();

    snmp_register_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_POST_READ_CONFIG, describeDevice, nullptr);
    configure("sysobjectid " + vivoeObjectIdText().toLatin1());
    // The library's build says "root" and "Unknown"; SNMPv2-MIB wants the
    // empty string when nothing is known.
    const oid sysContact[] = {1, 3, 6, 1, 2, 1, 1, 4, 0};
    const oid sysLocation[] = {1, 3, 6, 1, 2, 1, 1, 6, 0};
    setWatchedText(sysContact, OID_LENGTH(sysContact), {});
    setWatchedText(sysLocation, OID_LENGTH(sysLocation), {});
}
