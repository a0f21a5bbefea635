// Keeps Net-SNMP's parser from mangling or dropping SET values before the
// agent can refuse them with the error a manager expects.
#include "agent/set_value_guard.h"

#include <cstdint>
#include <cstring>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

// The agent's first listening session; exported, though in no installed header.
extern "C" netsnmp_session *main_session;

namespace {

constexpr uint8_t sequence = ASN_SEQUENCE | ASN_CONSTRUCTOR;

using Receive = int (*)(netsnmp_transport *, void *, int, void **, int *);
Receive libraryReceive = nullptr;

// A forward walk over one datagram's BER headers. Anything malformed stops
// the walk; the library's own parser then rejects the datagram as before.
struct BerCursor
{
    uint8_t *data;
    size_t size;
    size_t at = 0;
    uint8_t tag = 0;
    size_t length = 0;

    // Reads the next header; `at` moves to its content.
    bool enter()
    {
        if (at + 2 > size)
            return false;
        tag = data[at++];
        const uint8_t first = data[at++];
        const bool longForm = first & 0x80;
        size_t octets = longForm ? first & 0x7f : 0;
        length = longForm ? 0 : first;
        // Indefinite lengths, and lengths beyond a datagram, are not SNMP;
        // the library reads up to 8 length octets, and so must this walk.
        if ((longForm && octets == 0) || octets > sizeof(uint64_t) || at + octets > size)
            return false;
        while (octets--)
            length = length << 8 | data[at++];
        return length <= size - at;
    }
    bool enter(uint8_t expected) { return enter() && tag == expected; }
    bool skip(uint8_t expected) { return enter(expected) && (at += length, true); }

    // The INTEGER content at the cursor, sign-extended; 1 to 8 octets.
    int64_t integer() const
    {
        uint64_t value = data[at] & 0x80 ? ~uint64_t(0) : 0;
        for (size_t i = 0; i < length; ++i)
            value = value << 8 | data[at + i];
        return int64_t(value);
    }
};

void markRefusableValues(uint8_t *data, size_t size)
{
    BerCursor ber{data, size};
    // Message, version 0 or 1 (v1, v2c), community, SET PDU, its three integers.
    if (!ber.enter(sequence) || !ber.enter(ASN_INTEGER) || ber.length < 1 || ber.length > 8)
        return;
    if (const int64_t version = ber.integer(); version != SNMP_VERSION_1 && version != SNMP_VERSION_2c)
        return;
    ber.at += ber.length;
    if (!ber.skip(ASN_OCTET_STR) || !ber.enter(SNMP_MSG_SET) || !ber.skip(ASN_INTEGER) || !ber.skip(ASN_INTEGER)
        || !ber.skip(ASN_INTEGER) || !ber.enter(sequence))
        return;
    for (const size_t end = ber.at + ber.length; ber.at < end;) {
        if (!ber.enter(sequence))
            return;
        const size_t next = ber.at + ber.length;
        if (!ber.skip(ASN_OBJECT_ID))
            return;
        const size_t tagAt = ber.at;
        if (!ber.enter())
            return;
        // The library parses up to 8 octets; 00 FF.. stays above INT32_MAX after its
        // cut. A value padded to more octets but within Integer32 survives the cut.
        if (ber.tag == ASN_INTEGER && ber.length > 4 && ber.length <= 8
            && (ber.integer() < INT32_MIN || ber.integer() > INT32_MAX)) {
            std::memset(data + ber.at, 0xff, ber.length);
            data[ber.at] = 0;
        }
        if (ber.tag == ASN_IPADDRESS && ber.length != 4)
            data[tagAt] = misSizedIpAddressTag;
        ber.at = next;
    }
}

int receiveGuarded(netsnmp_transport *transport, void *buffer, int size, void **opaque, int *opaqueLength)
{
    const int received = libraryReceive(transport, buffer, size, opaque, opaqueLength);
    if (received > 0)
        markRefusableValues(static_cast<uint8_t *>(buffer), static_cast<size_t>(received));
    return received;
}

} // namespace

void guardSetValues()
{
    netsnmp_transport *transport = main_session ? snmp_sess_transport(snmp_sess_pointer(main_session)) : nullptr;
    if (!transport || transport->f_recv == receiveGuarded)
        return;
    libraryReceive = transport->f_recv;
    transport->f_recv = receiveGuarded;
}
