// The one node handler behind all seventeen VIVOE scalars. The scalar helper
// in front of it limits requests to instance .0 and turns GETNEXT into GET,
// so only GET and the SET phases arrive here.
#include "agent/scalar_handler.h"

#include "agent/wire_encoding.h"
#include "data/device_data.h"

#include <QDebug>

#include <cstring>
#include <variant>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

namespace {

using ScalarValue = std::variant<QString, qint64>;

struct ReadableScalar
{
    const char *name;
    ScalarValue (*read)();
};

const ReadableScalar readableScalars[] = {
    {"deviceDesc", [] { return ScalarValue(deviceDesc()); }},
    {"deviceManufacturer", [] { return ScalarValue(deviceManufacturer()); }},
    {"devicePartNumber", [] { return ScalarValue(devicePartNumber()); }},
    {"deviceSerialNumber", [] { return ScalarValue(deviceSerialNumber()); }},
    {"deviceHardwareVersion", [] { return ScalarValue(deviceHardwareVersion()); }},
    {"deviceSoftwareVersion", [] { return ScalarValue(deviceSoftwareVersion()); }},
    {"deviceFirmwareVersion", [] { return ScalarValue(deviceFirmwareVersion()); }},
    {"deviceMibVersion", [] { return ScalarValue(deviceMibVersion()); }},
    {"deviceType", [] { return ScalarValue(qint64(deviceType())); }},
    {"deviceUserDesc", [] { return ScalarValue(deviceUserDesc); }},
    {"ethernetIfNumber", [] { return ScalarValue(qint64(ethernetInterfaces.size())); }},
    {"deviceNatoStockNumber", [] { return ScalarValue(deviceNatoStockNumber); }},
    {"deviceMode", [] { return ScalarValue(deviceMode); }},
    {"deviceReset", [] { return ScalarValue(deviceReset); }},
    {"videoFormatNumber", [] { return ScalarValue(qint64(videoFormats.size())); }},
    {"channelReset", [] { return ScalarValue(channelReset); }},
    {"channelNumber", [] { return ScalarValue(qint64(channels.size())); }},
};

// The integer objects that a SET may change, with the variable behind each.
struct SettableInteger
{
    const char *name;
    qint64 *variable;
};

const SettableInteger settableIntegers[] = {
    {"deviceMode", &deviceMode},
    {"deviceReset", &deviceReset},
    {"channelReset", &channelReset},
};

const char settableText[] = "deviceUserDesc";

bool sameName(const char *a, const char *b)
{
    return a && b && std::strcmp(a, b) == 0;
}

qint64 *settableInteger(const char *name)
{
    for (const SettableInteger &object : settableIntegers) {
        if (sameName(object.name, name))
            return object.variable;
    }
    return nullptr;
}

void answerGet(const char *name, netsnmp_variable_list *binding)
{
    for (const ReadableScalar &object : readableScalars) {
        if (!sameName(object.name, name))
            continue;
        const ScalarValue value = object.read();
        if (const qint64 *number = std::get_if<qint64>(&value)) {
            snmp_set_var_typed_value(binding, ASN_INTEGER, number, sizeof *number);
        } else {
            const QByteArray octets = latin1Octets(std::get<QString>(value));
            snmp_set_var_typed_value(binding, ASN_OCTET_STR, octets.constData(), octets.size());
        }
        return;
    }
}

void checkSetType(const char *name, netsnmp_agent_request_info *reqinfo, netsnmp_request_info *request)
{
    int required = 0;
    if (settableInteger(name))
        required = ASN_INTEGER;
    else if (sameName(name, settableText))
        required = ASN_OCTET_STR;
    if (required && request->requestvb->type != required)
        netsnmp_set_request_error(reqinfo, request, SNMP_ERR_WRONGTYPE);
}

void applySet(const char *name, const netsnmp_variable_list *binding)
{
    if (qint64 *variable = settableInteger(name)) {
        *variable = *binding->val.integer;
        qDebug() << (QByteArray(name) + " set to").constData() << *variable;
    } else if (sameName(name, settableText)) {
        deviceUserDesc = textFromLatin1Octets(reinterpret_cast<const char *>(binding->val.string),
                                              static_cast<qsizetype>(binding->val_len));
        qDebug() << "deviceUserDesc set to" << deviceUserDesc;
    }
}

} // namespace

int handleScalarRequest(netsnmp_mib_handler *, netsnmp_handler_registration *reginfo,
                        netsnmp_agent_request_info *reqinfo, netsnmp_request_info *requests)
{
    if (!requests)
        return SNMP_ERR_NOERROR;
    const char *name = reginfo->handlerName;
    switch (reqinfo->mode) {
    case MODE_GET:
        answerGet(name, requests->requestvb);
        return SNMP_ERR_NOERROR;
    case MODE_SET_RESERVE1:
        checkSetType(name, reqinfo, requests);
        return SNMP_ERR_NOERROR;
    case MODE_SET_ACTION:
        applySet(name, requests->requestvb);
        return SNMP_ERR_NOERROR;
    case MODE_SET_RESERVE2:
    case MODE_SET_COMMIT:
    case MODE_SET_FREE:
    case MODE_SET_UNDO:
        // New values take effect in ACTION; nothing is kept to undo.
        return SNMP_ERR_NOERROR;
    default:
        return SNMP_ERR_GENERR;
    }
}
