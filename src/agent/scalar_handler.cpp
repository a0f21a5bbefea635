// The one node handler behind all seventeen VIVOE scalars. The scalar helper
// in front of it limits requests to instance .0 and turns GETNEXT into GET,
// so only GET and the SET phases arrive here.
#include "agent/scalar_handler.h"

#include "agent/mib_tree.h"
#include "agent/wire_encoding.h"
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

ScalarValue storedValue(const ScalarObject &object)
{
    if (object.settableInteger)
        return *object.settableInteger;
    return *object.settableText;
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

constexpr char undoName[] = "vivoe_scalar_undo";

// The new value takes effect in ACTION so that later varbinds see it; the
// old one is kept on the request until the SET is committed or undone, since
// a later varbind of the same SET may still fail in ACTION.
void applySet(const ScalarObject &object, netsnmp_request_info *request)
{
    netsnmp_request_add_list_data(request,
                                  netsnmp_create_data_list(undoName, new ScalarValue(storedValue(object)),
                                                           [](void *old) { delete static_cast<ScalarValue *>(old); }));
    store(object, requestedValue(object, request->requestvb));
}

void undoSet(const ScalarObject &object, netsnmp_request_info *request)
{
    if (const auto *old = static_cast<const ScalarValue *>(netsnmp_request_get_list_data(request, undoName)))
        store(object, *old);
}

void logSet(const ScalarObject &object)
{
    const QByteArray line = QByteArray(object.name) + " set to";
    if (object.settableInteger)
        qDebug() << line.constData() << *object.settableInteger;
    else
        qDebug() << line.constData() << *object.settableText;
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
            applySet(*object, requests);
        return SNMP_ERR_NOERROR;
    case MODE_SET_UNDO:
        if (object && object->writable())
            undoSet(*object, requests);
        return SNMP_ERR_NOERROR;
    case MODE_SET_COMMIT:
        if (object && object->writable())
            logSet(*object);
        return SNMP_ERR_NOERROR;
    case MODE_SET_RESERVE2:
    case MODE_SET_FREE:
        return SNMP_ERR_NOERROR;
    default:
        return SNMP_ERR_GENERR;
    }
}
