// Where the VIVOE objects live and what each scalar holds: one row per
// scalar serves both its registration and the handler's dispatch.
#include "agent/mib_tree.h"

#include "agent/scalar_handler.h"
#include "data/device_data.h"

#include <QStringList>

#include <cstring>
#include <type_traits>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

static_assert(std::is_same_v<oid, unsigned long>, "vivoeOid hands out Net-SNMP sub-identifiers");

// Member 12 of the device group is ethernetIfTable, hence the gap.
const std::array<ScalarObject, 17> scalarObjects = {{
    {"deviceDesc", 1, 1, [] { return ScalarValue(deviceDesc()); }, nullptr, nullptr},
    {"deviceManufacturer", 1, 2, [] { return ScalarValue(deviceManufacturer()); }, nullptr, nullptr},
    {"devicePartNumber", 1, 3, [] { return ScalarValue(devicePartNumber()); }, nullptr, nullptr},
    {"deviceSerialNumber", 1, 4, [] { return ScalarValue(deviceSerialNumber()); }, nullptr, nullptr},
    {"deviceHardwareVersion", 1, 5, [] { return ScalarValue(deviceHardwareVersion()); }, nullptr, nullptr},
    {"deviceSoftwareVersion", 1, 6, [] { return ScalarValue(deviceSoftwareVersion()); }, nullptr, nullptr},
    {"deviceFirmwareVersion", 1, 7, [] { return ScalarValue(deviceFirmwareVersion()); }, nullptr, nullptr},
    {"deviceMibVersion", 1, 8, [] { return ScalarValue(deviceMibVersion()); }, nullptr, nullptr},
    {"deviceType", 1, 9, [] { return ScalarValue(qint64(deviceType())); }, nullptr, nullptr},
    {"deviceUserDesc", 1, 10, [] { return ScalarValue(deviceUserDesc); }, nullptr, &deviceUserDesc},
    {"ethernetIfNumber", 1, 11, [] { return ScalarValue(qint64(ethernetInterfaces.size())); }, nullptr, nullptr},
    {"deviceNatoStockNumber", 1, 13, [] { return ScalarValue(deviceNatoStockNumber); }, nullptr, nullptr},
    {"deviceMode", 1, 14, [] { return ScalarValue(deviceMode); }, &deviceMode, nullptr},
    {"deviceReset", 1, 15, [] { return ScalarValue(deviceReset); }, &deviceReset, nullptr},
    {"videoFormatNumber", 2, 1, [] { return ScalarValue(qint64(videoFormats.size())); }, nullptr, nullptr},
    {"channelReset", 3, 1, [] { return ScalarValue(channelReset); }, &channelReset, nullptr},
    {"channelNumber", 3, 2, [] { return ScalarValue(qint64(channels.size())); }, nullptr, nullptr},
}};

const ScalarObject *findScalar(const char *name)
{
    for (const ScalarObject &object : scalarObjects) {
        if (name && std::strcmp(object.name, name) == 0)
            return &object;
    }
    return nullptr;
}

std::array<unsigned long, 11> vivoeOid(unsigned group, unsigned member)
{
    return {1, 3, 6, 1, 4, 1, 35990, 3, 1, group, member};
}

std::array<unsigned long, 9> vivoeObjectId()
{
    return {1, 3, 6, 1, 4, 1, 35990, 3, 1};
}

QString vivoeObjectIdText()
{
    QStringList parts;
    for (unsigned long id : vivoeObjectId())
        parts << QString::number(id);
    return parts.join(QLatin1Char('.'));
}

void registerScalars()
{
    for (const ScalarObject &object : scalarObjects) {
        // The scalar helper appends the instance .0 itself.
        const std::array<oid, 11> id = vivoeOid(object.group, object.member);
        netsnmp_register_scalar(netsnmp_create_handler_registration(
            object.name, handleScalarRequest, id.data(), id.size(),
            object.writable() ? HANDLER_CAN_RWRITE : HANDLER_CAN_RONLY));
    }
}
