// Notifications this agent sends on its own account.
#include "agent/notifications.h"

#include "agent/mib_tree.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

void sendColdStart()
{
    const std::array<oid, 9> enterprise = vivoeObjectId();
    // v1 sinks get it as the enterprise field, v2c and inform sinks as snmpTrapEnterprise.0.
    netsnmp_send_traps(SNMP_TRAP_COLDSTART, 0, enterprise.data(), enterprise.size(), nullptr, nullptr, 0);
}
