// Where the VIVOE objects live: the scalar registration table and the OIDs of
// the three tables, all below 1.3.6.1.4.1.35990.3.1.
#include "agent/mib_tree.h"

#include "agent/scalar_handler.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

// Member 12 of the device group is ethernetIfTable, hence the gap.
const std::array<ScalarObject, 17> scalarObjects = {{
    {"deviceDesc", 1, 1, false},
    {"deviceManufacturer", 1, 2, false},
    {"devicePartNumber", 1, 3, false},
    {"deviceSerialNumber", 1, 4, false},
    {"deviceHardwareVersion", 1, 5, false},
    {"deviceSoftwareVersion", 1, 6, false},
    {"deviceFirmwareVersion", 1, 7, false},
    {"deviceMibVersion", 1, 8, false},
    {"deviceType", 1, 9, false},
    {"deviceUserDesc", 1, 10, true},
    {"ethernetIfNumber", 1, 11, false},
    {"deviceNatoStockNumber", 1, 13, false},
    {"deviceMode", 1, 14, true},
    {"deviceReset", 1, 15, true},
    {"videoFormatNumber", 2, 1, false},
    {"channelReset", 3, 1, true},
    {"channelNumber", 3, 2, false},
}};

void registerScalars()
{
    for (const ScalarObject &object : scalarObjects) {
        // The scalar helper appends the instance .0 itself.
        const oid id[] = {vivoeRoot[0], vivoeRoot[1], vivoeRoot[2], vivoeRoot[3], vivoeRoot[4], vivoeRoot[5],
                          vivoeRoot[6], vivoeRoot[7], vivoeRoot[8], object.group, object.member};
        netsnmp_register_scalar(netsnmp_create_handler_registration(
            object.name, handleScalarRequest, id, OID_LENGTH(id),
            object.writable ? HANDLER_CAN_RWRITE : HANDLER_CAN_RONLY));
    }
}
