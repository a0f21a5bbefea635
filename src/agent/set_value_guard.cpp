// Keeps Net-SNMP's parser from mangling or dropping SET values before the
// agent can refuse them with the error a manager expects.
#include "agent/set_value_guard.h"

#include <QDebug>

#include <array>
#include <cstring>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>
#include <net-snmp/library/snmp_secmod.h>
#include <net-snmp/library/snmpusm.h>

// The library's list of open sessions, listening ones and those accepted on
// them; exported, though in no installed header.
extern "C" struct session_list *Sessions;

namespace {

constexpr uint8_t sequence = ASN_SEQUENCE | ASN_CONSTRUCTOR;
// 4294967295: what the library makes of 00 FF FF FF FF, outside Integer32.
constexpr uint8_t outOfRange[] = {ASN_INTEGER, 5, 0, 0xff, 0xff, 0xff, 0xff};

SecmodInMsg *libraryDecode = nullptr;

// A forward walk over BER headers the way the library's parser reads them.
// It remembers the length fields of the constructions it is inside, so that
// a value can be shortened and every enclosing length stays true. Anything
// malformed stops the walk; the library's parser then rejects it as before.
class BerWalk
{
public:
    BerWalk(uint8_t *data, size_t size) : data(data), size(size) {}

    uint8_t *data;
    size_t size;
    size_t at = 0;
    uint8_t tag = 0;
    size_t length = 0;

    // Reads the header at `at` and moves to its content.
    bool enter()
    {
        if (at + 2 > size)
            return false;
        headerAt = at;
        tag = data[at++];
        const uint8_t first = data[at++];
        const bool longForm = first & 0x80;
        size_t octets = longForm ? first & 0x7f : 0;
        length = longForm ? 0 : first;
        // Indefinite lengths, and lengths beyond the data, are not SNMP; the
        // library reads up to 8 length octets, and so must this walk.
        if ((longForm && octets == 0) || octets > sizeof(uint64_t) || at + octets > size)
            return false;
        while (octets--)
            length = length << 8 | data[at++];
        return length <= size - at;
    }
    bool enter(uint8_t expected) { return enter() && tag == expected; }
    bool skip(uint8_t expected) { return enter(expected) && (at += length, true); }
    // Enters a construction whose length must stay true when a value inside shrinks.
    bool open(uint8_t expected)
    {
        if (depth == enclosing.size() || !enter(expected))
            return false;
        enclosing[depth++] = {headerAt + 1, at - headerAt - 1, length};
        return true;
    }
    void close() { --depth; }

    // Replaces the value whose header was read last by `bytes`, no longer
    // than it; the rest of the data moves up and the walk goes on after it.
    void replaceLastValue(const uint8_t *bytes, size_t count)
    {
        const size_t end = at + length;
        const size_t removed = end - headerAt - count;
        std::memcpy(data + headerAt, bytes, count);
        std::memmove(data + headerAt + count, data + end, size - end);
        size -= removed;
        for (size_t i = 0; i < depth; ++i) {
            enclosing[i].length -= removed;
            writeLength(enclosing[i]);
        }
        at = headerAt + count;
        length = 0;
    }

private:
    struct Construction
    {
        size_t lengthAt;
        size_t lengthOctets; // as sent: 1 for the short form
        size_t length;
    };

    // Smaller than before, so it fits the octets it was sent in.
    void writeLength(const Construction &construction)
    {
        if (construction.lengthOctets == 1) {
            data[construction.lengthAt] = uint8_t(construction.length);
            return;
        }
        size_t value = construction.length;
        for (size_t i = construction.lengthOctets - 1; i > 0; --i, value >>= 8)
            data[construction.lengthAt + i] = uint8_t(value);
    }

    size_t headerAt = 0;
    // Message or scoped PDU, PDU, varbind list, varbind: no walk goes deeper.
    std::array<Construction, 4> enclosing;
    size_t depth = 0;
};

// The INTEGER content at the walk: octets beyond what its sign needs are
// dropped; an Integer32 fits in 4.
bool integerFitsInteger32(const uint8_t *content, size_t length, uint8_t (&minimal)[6])
{
    size_t first = 0;
    while (length - first > 1
           && ((content[first] == 0x00 && !(content[first + 1] & 0x80))
               || (content[first] == 0xff && (content[first + 1] & 0x80))))
        ++first;
    const size_t significant = length - first;
    if (significant > 4)
        return false;
    minimal[0] = ASN_INTEGER;
    minimal[1] = uint8_t(significant);
    std::memcpy(minimal + 2, content + first, significant);
    return true;
}

// One varbind's value, at the walk's position.
bool markValue(BerWalk &ber)
{
    const size_t tagAt = ber.at;
    if (!ber.enter())
        return false;
    if (ber.tag == ASN_INTEGER && ber.length > 4) {
        uint8_t minimal[6];
        if (!integerFitsInteger32(ber.data + ber.at, ber.length, minimal))
            ber.replaceLastValue(outOfRange, sizeof outOfRange);
        // Padded but within range: the library reads up to 8 octets itself.
        else if (ber.length > sizeof(long))
            ber.replaceLastValue(minimal, 2 + minimal[1]);
    }
    if (ber.tag == ASN_IPADDRESS && ber.length != 4)
        ber.data[tagAt] = misSizedIpAddressTag;
    ber.at += ber.length;
    return true;
}

// From the SET PDU's header on. The library parses each varbind's value and
// goes on right after it, whatever length the varbind's SEQUENCE claims; so
// does this walk, so that no varbind hides another from it.
void markSetPdu(BerWalk &ber)
{
    if (!ber.open(SNMP_MSG_SET) || !ber.skip(ASN_INTEGER) || !ber.skip(ASN_INTEGER) || !ber.skip(ASN_INTEGER)
        || !ber.open(sequence))
        return;
    for (size_t end = ber.at + ber.length; ber.at < end;) {
        const size_t sizeBefore = ber.size;
        if (!ber.open(sequence) || !ber.skip(ASN_OBJECT_ID) || !markValue(ber))
            return;
        ber.close();
        end -= sizeBefore - ber.size;
    }
}

// The library's state of a session (snmp_api.c), as far as its parse hook; in
// no installed header. An agent session is recognised by the two hooks the
// agent library sets on either side, which also proves the layout.
struct InternalSession
{
    void *requests;
    void *requestsEnd;
    int (*hookPre)(netsnmp_session *, netsnmp_transport *, void *, int);
    int (*hookParse)(netsnmp_session *, netsnmp_pdu *, u_char *, size_t);
    int (*hookPost)(netsnmp_session *, netsnmp_pdu *, int);
};

// Each complete message as the library hands it to its parser, whatever the
// transport cut it into: one datagram, part of one TCP read, or several
// reads put together. A value shortened leaves unused octets at the end,
// which the library skips with the message.
int parseGuarded(netsnmp_session *session, netsnmp_pdu *pdu, u_char *data, size_t length)
{
    length = markRefusableMessageValues(data, length);
    auto *listed = static_cast<struct session_list *>(snmp_sess_pointer(session));
    return listed ? snmp_parse(listed, session, pdu, data, length) : SNMPERR_BAD_SESSION;
}

bool guardSession(const session_list &listed)
{
    auto *internal = reinterpret_cast<InternalSession *>(listed.internal);
    if (!internal || internal->hookPre != netsnmp_agent_check_packet
        || internal->hookPost != netsnmp_agent_check_parse)
        return false;
    if (internal->hookParse && internal->hookParse != parseGuarded)
        return false;
    internal->hookParse = parseGuarded;
    return true;
}

// The scoped PDU is plaintext only here: decrypted, its authentication
// already checked, and not yet parsed.
int decodeGuarded(struct snmp_secmod_incoming_params *parms)
{
    const int result = libraryDecode(parms);
    if (result == SNMPERR_SUCCESS && parms->scopedPdu && *parms->scopedPdu && parms->scopedPduLen)
        *parms->scopedPduLen = markRefusableScopedPduValues(*parms->scopedPdu, *parms->scopedPduLen);
    return result;
}

} // namespace

size_t markRefusableMessageValues(uint8_t *data, size_t size)
{
    BerWalk ber(data, size);
    // Message, version 0 or 1 (v1, v2c), community, SET PDU.
    if (!ber.open(sequence) || !ber.enter(ASN_INTEGER) || ber.length < 1 || ber.length > 8)
        return size;
    int64_t version = data[ber.at] & 0x80 ? -1 : 0;
    for (size_t i = 0; i < ber.length; ++i)
        version = int64_t(uint64_t(version) << 8 | data[ber.at + i]);
    ber.at += ber.length;
    if ((version == SNMP_VERSION_1 || version == SNMP_VERSION_2c) && ber.skip(ASN_OCTET_STR))
        markSetPdu(ber);
    return ber.size;
}

size_t markRefusableScopedPduValues(uint8_t *data, size_t size)
{
    BerWalk ber(data, size);
    // contextEngineID and contextName, then the PDU.
    if (ber.open(sequence) && ber.skip(ASN_OCTET_STR) && ber.skip(ASN_OCTET_STR))
        markSetPdu(ber);
    return ber.size;
}

void guardSetValues()
{
    // Listening sessions, those of agentaddress lines included; the ones a
    // TCP listener accepts later copy its hooks.
    bool guarded = false;
    for (const session_list *session = Sessions; session; session = session->next)
        guarded = guardSession(*session) || guarded;
    if (!guarded)
        qWarning() << "SET values cannot be checked before parsing: this Net-SNMP keeps its sessions otherwise";
    struct snmp_secmod_def *usm = find_sec_mod(USM_SEC_MODEL_NUMBER);
    if (usm && usm->decode && usm->decode != decodeGuarded) {
        libraryDecode = usm->decode;
        usm->decode = decodeGuarded;
    }
}
