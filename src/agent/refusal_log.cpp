// One log line for each request the agent refuses (--verbose): a manager whose
// request is dropped sees only a timeout, so the reason has to be told here.
#include "agent/refusal_log.h"

#include <QDebug>
#include <QSet>
#include <QString>

#include <array>
#include <chrono>

#include <netdb.h>
#include <sys/socket.h>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>
#include <net-snmp/agent/agent_callbacks.h>
#include <net-snmp/library/snmp_secmod.h>

namespace {

enum Cause { UnknownCommunity, AccessDenied, SetRefused, SecurityFailure, causeCount };

// At most this many lines per cause and second: a flood of bad requests must
// not flood the log too. The count of those left out goes with the next line.
constexpr int linesPerSecond = 3;

struct RateLimit
{
    std::chrono::steady_clock::time_point windowStart;
    int logged = 0;
    int suppressed = 0;
};
std::array<RateLimit, causeCount> limits;

void logRefusal(Cause cause, const QString &line)
{
    RateLimit &limit = limits[cause];
    const auto now = std::chrono::steady_clock::now();
    if (now - limit.windowStart >= std::chrono::seconds(1)) {
        limit.windowStart = now;
        limit.logged = 0;
    }
    if (limit.logged == linesPerSecond) {
        ++limit.suppressed;
        return;
    }
    ++limit.logged;
    if (limit.suppressed)
        qInfo().noquote() << line << QStringLiteral("(%1 more like it not logged)").arg(limit.suppressed);
    else
        qInfo().noquote() << line;
    limit.suppressed = 0;
}

// "127.0.0.1:40001" or "[::1]:40001": UDP transports keep the remote address
// first in what they attach to a PDU.
QString senderOf(const netsnmp_pdu *pdu)
{
    if (!pdu || !pdu->transport_data || pdu->transport_data_length < int(sizeof(sockaddr_in)))
        return QStringLiteral("an unknown sender");
    const auto *address = static_cast<const sockaddr *>(pdu->transport_data);
    const socklen_t length = address->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    char host[NI_MAXHOST];
    char port[NI_MAXSERV];
    if ((address->sa_family != AF_INET && address->sa_family != AF_INET6)
        || size_t(pdu->transport_data_length) < length
        || getnameinfo(address, length, host, sizeof host, port, sizeof port, NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return QStringLiteral("an unknown sender");
    const QString text = QString::fromLatin1(host);
    return (address->sa_family == AF_INET6 ? QLatin1Char('[') + text + QLatin1Char(']') : text) + QLatin1Char(':')
           + QString::fromLatin1(port);
}

QString oidText(const oid *name, size_t length)
{
    QString text;
    for (size_t i = 0; i < length; ++i)
        text += (i ? QLatin1String(".") : QLatin1String("")) + QString::number(name[i]);
    return text;
}

const char *errorName(int status)
{
    static const char *const names[] = {"noError", "tooBig", "noSuchName", "badValue", "readOnly", "genErr",
                                        "noAccess", "wrongType", "wrongLength", "wrongEncoding", "wrongValue",
                                        "noCreation", "inconsistentValue", "resourceUnavailable", "commitFailed",
                                        "undoFailed", "authorizationError", "notWritable", "inconsistentName"};
    return status >= 0 && size_t(status) < sizeof names / sizeof *names ? names[status] : "error";
}

// Called after the access control's own verdict: on the whole request first
// (a v1 or v2c request it refuses there is dropped without an answer), then
// on each object. Objects out of view are the normal end of a walk; a SET to
// one is refused with noAccess, logged once per request.
int afterAccessCheck(int, int minor, void *serverArgument, void *)
{
    static const netsnmp_pdu *lastRefusedSet = nullptr;
    static long lastRefusedId = -1;
    const auto *view = static_cast<const view_parameters *>(serverArgument);
    if (!view || view->errorcode == VACM_SUCCESS || !view->pdu)
        return 0;
    const netsnmp_pdu *pdu = view->pdu;
    const QString sender = senderOf(pdu);
    if (minor == SNMPD_CALLBACK_ACM_CHECK_INITIAL && view->errorcode == VACM_NOSECNAME) {
        logRefusal(UnknownCommunity, QStringLiteral("Refused request from %1: unknown community").arg(sender));
    } else if (pdu->command == SNMP_MSG_SET && (pdu != lastRefusedSet || pdu->reqid != lastRefusedId)) {
        lastRefusedSet = pdu;
        lastRefusedId = pdu->reqid;
        const QString object = minor == SNMPD_CALLBACK_ACM_CHECK ? QLatin1Char(' ') + oidText(view->name, view->namelen)
                                                                 : QString();
        logRefusal(AccessDenied, QStringLiteral("Refused SET from %1: no write access%2").arg(sender, object));
    } else if (minor == SNMPD_CALLBACK_ACM_CHECK_INITIAL) {
        logRefusal(AccessDenied, QStringLiteral("Refused request from %1: no access").arg(sender));
    }
    return 0;
}

// First in every registration's chain: sees what the handlers below refused.
int logRefusedSet(netsnmp_mib_handler *handler, netsnmp_handler_registration *registration,
                  netsnmp_agent_request_info *reqinfo, netsnmp_request_info *requests)
{
    const int result = netsnmp_call_next_handler(handler, registration, reqinfo, requests);
    if (reqinfo->mode != MODE_SET_RESERVE1 && reqinfo->mode != MODE_SET_RESERVE2 && reqinfo->mode != MODE_SET_ACTION
        && reqinfo->mode != MODE_SET_COMMIT)
        return result;
    for (netsnmp_request_info *request = requests; request; request = request->next) {
        if (request->status == SNMP_ERR_NOERROR)
            continue;
        const netsnmp_pdu *pdu = reqinfo->asp ? reqinfo->asp->pdu : nullptr;
        logRefusal(SetRefused, QStringLiteral("Refused SET from %1: %2 %3 (%4)")
                                   .arg(senderOf(pdu), QLatin1String(errorName(request->status)),
                                        oidText(request->requestvb->name, request->requestvb->name_length),
                                        QString::fromUtf8(registration->handlerName)));
        break;
    }
    return result;
}

SecmodInMsg *previousDecode = nullptr;

// AES in CFB mode decrypts with any key: a wrong one shows only in a
// plaintext that is no BER sequence of its own length opening with the
// contextEngineID.
bool looksDecrypted(const u_char *data, size_t size)
{
    if (size < 2 || data[0] != (ASN_SEQUENCE | ASN_CONSTRUCTOR))
        return false;
    size_t octets = data[1] & 0x80 ? data[1] & 0x7f : 0;
    size_t length = octets ? 0 : data[1];
    if (octets > 4 || 2 + octets > size)
        return false;
    for (size_t i = 0; i < octets; ++i)
        length = length << 8 | data[2 + i];
    return 2 + octets + length <= size && 2 + octets < size && data[2 + octets] == ASN_OCTET_STR;
}

int decodeLogged(struct snmp_secmod_incoming_params *parms)
{
    const int result = previousDecode(parms);
    const bool undecryptable = result == SNMPERR_SUCCESS && parms->secLevel == SNMP_SEC_LEVEL_AUTHPRIV
                               && parms->scopedPdu && *parms->scopedPdu && parms->scopedPduLen
                               && !looksDecrypted(*parms->scopedPdu, *parms->scopedPduLen);
    const char *why = result == SNMPERR_USM_AUTHENTICATIONFAILURE             ? "authentication failed for user"
                      : result == SNMPERR_USM_DECRYPTIONERROR || undecryptable ? "decryption failed for user"
                      : result == SNMPERR_USM_UNKNOWNSECURITYNAME              ? "unknown user"
                                                                               : nullptr;
    if (why) {
        const QByteArray user(parms->secName, parms->secNameLen ? int(*parms->secNameLen) : 0);
        logRefusal(SecurityFailure, QStringLiteral("Refused SNMPv3 request from %1: %2 \"%3\"")
                                        .arg(senderOf(parms->pdu), QLatin1String(why), QString::fromUtf8(user)));
    }
    return result;
}

} // namespace

void logRefusedRequests()
{
    // Lowest priority: after the access control has recorded its verdict.
    for (const int check : {SNMPD_CALLBACK_ACM_CHECK_INITIAL, SNMPD_CALLBACK_ACM_CHECK})
        netsnmp_register_callback(SNMP_CALLBACK_APPLICATION, check, afterAccessCheck, nullptr,
                                  NETSNMP_CALLBACK_LOWEST_PRIORITY);
    QSet<netsnmp_handler_registration *> registrations;
    for (netsnmp_subtree *subtree = netsnmp_subtree_find_first(""); subtree; subtree = subtree->next) {
        if (subtree->reginfo && !registrations.contains(subtree->reginfo)) {
            registrations.insert(subtree->reginfo);
            netsnmp_inject_handler(subtree->reginfo, netsnmp_create_handler("refusalLog", logRefusedSet));
        }
    }
    // The library registers its security model anew at every start.
    struct snmp_secmod_def *usm = find_sec_mod(USM_SEC_MODEL_NUMBER);
    if (usm && usm->decode && usm->decode != decodeLogged) {
        previousDecode = usm->decode;
        usm->decode = decodeLogged;
    }
}
