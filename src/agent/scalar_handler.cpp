// The one node handler behind all seventeen VIVOE scalars. The scalar helper
// in front of it limits requests to instance .0 and turns GETNEXT into GET,
// so only GET and the SET phases arrive here.
#include "agent/scalar_handler.h"

#include "agent/mib_tree.h"
#include "agent/wire_encoding.h"
#include "data/device_data.h"
#include "data/device_events.h"
#include "data/field_rules.h"

#include <QDebug>

#include <variant>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

namespace {

void answerGet(const ScalarObject &object, netsnmp_variable_list *binding)
{
    const ScalarValue value = object.read();
    if (const qint64 *number = std::get_if<qint64>(&value)) {
        snmp_set_var_typed_value(binding, ASN_INTEGER, number, sizeof *number);
    } else {
        const QByteArray octets = latin1Octets(std::get<QString>(value));
        snmp_set_var_typed_value(binding, ASN_OCTET_STR, octets.constData(), octets.size());
    }
}

void checkSetValue(const ScalarObject &object, netsnmp_agent_request_info *reqinfo, netsnmp_request_info *request)
{
    const netsnmp_variable_list *binding = request->requestvb;
    if ((object.settableInteger && binding->type != ASN_INTEGER)
        || (object.settableText && binding->type != ASN_OCTET_STR))
        netsnmp_set_request_error(reqinfo, request, SNMP_ERR_WRONGTYPE);
    // The MIB says Integer32; a longer INTEGER arrives widened (set_value_guard.h).
    else if (object.settableInteger && !integerAllowed(FieldRule::Integer32, *binding->val.integer))
        netsnmp_set_request_error(reqinfo, request, SNMP_ERR_WRONGVALUE);
}

void store(const ScalarObject &object, const ScalarValue &value)
{
    if (object.settableInteger)
        *object.settableInteger = std::get<qint64>(value);
    else
        *object.settableText = std::get<QString>(value);
}

ScalarValue requestedValue(const ScalarObject &object, const netsnmp_variable_list *binding)
{
    if (object.settableInteger)
        return qint64(*binding->val.integer);
    return textFromLatin1Octets(reinterpret_cast<const char *>(binding->val.string),
                                static_cast<qsizetype>(binding->val_len));
}

QByteArray undoKey(const ScalarObject &object)
{
    return QByteArray("vivoe_undo_") + object.name;
}

void freeStoredValue(void *value)
{
    delete static_cast<ScalarValue *>(value);
}

// The new value takes effect in ACTION so that later varbinds see it; the
// value from before the SET is kept with the SET until it is committed or
// undone, since a later varbind may still fail in ACTION. One value per
// object: a SET may name the same object twice.
void applySet(const ScalarObject &object, netsnmp_agent_request_info *reqinfo, netsnmp_request_info *request)
{
    const QByteArray key = undoKey(object);
    if (!netsnmp_agent_get_list_data(reqinfo, key.constData())) {
        auto *before = new ScalarValue(object.read());
        netsnmp_agent_add_list_data(reqinfo, netsnmp_create_data_list(key.constData(), before, freeStoredValue));
    }
    store(object, requestedValue(object, request->requestvb));
}

void undoSet(const ScalarObject &object, netsnmp_agent_request_info *reqinfo)
{
    const QByteArray key = undoKey(object);
    if (const auto *old = static_cast<const ScalarValue *>(netsnmp_agent_get_list_data(reqinfo, key.constData())))
        store(object, *old);
}

// Once per object and SET, with the value it keeps.
void logSet(const ScalarObject &object, netsnmp_agent_request_info *reqinfo)
{
    if (netsnmp_agent_remove_list_data(reqinfo, undoKey(object).constData()) != 0)
        return;
    const QByteArray line = QByteArray(object.name) + " set to";
    if (object.settableInteger)
        qDebug() << line.constData() << *object.settableInteger;
    else
        qDebug() << line.constData() << *object.settableText;
    if (object.settableInteger == &channelReset)
        Q_EMIT DeviceEvents::instance().channelsReset();
    else if (object.settableInteger == &deviceReset)
        Q_EMIT DeviceEvents::instance().deviceResetCommitted();
}

} // namespace

int handleScalarRequest(netsnmp_mib_handler *, netsnmp_handler_registration *reginfo,
                        netsnmp_agent_request_info *reqinfo, netsnmp_request_info *requests)
{
    if (!requests)
        return SNMP_ERR_NOERROR;
    // Every registered name is in the table; an unknown one is left alone.
    const ScalarObject *object = findScalar(reginfo->handlerName);
    switch (reqinfo->mode) {
    case MODE_GET:
        if (object)
            answerGet(*object, requests->requestvb);
        return SNMP_ERR_NOERROR;
    case MODE_SET_RESERVE1:
        if (object)
            checkSetValue(*object, reqinfo, requests);
        return SNMP_ERR_NOERROR;
    case MODE_SET_ACTION:
        if (object && object->writable())
            applySet(*object, reqinfo, requests);
        return SNMP_ERR_NOERROR;
    case MODE_SET_UNDO:
        if (object && object->writable())
            undoSet(*object, reqinfo);
        return SNMP_ERR_NOERROR;
    case MODE_SET_COMMIT:
        if (object && object->writable())
            logSet(*object, reqinfo);
        return SNMP_ERR_NOERROR;
    case MODE_SET_RESERVE2:
    case MODE_SET_FREE:
        return SNMP_ERR_NOERROR;
    default:
        return SNMP_ERR_GENERR;
    }
}
