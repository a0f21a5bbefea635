// Keeps Net-SNMP from silently wrapping over-long INTEGERs into range.
#include "agent/integer_guard.h"

#include <cstdint>
#include <cstring>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

// The agent's first listening session; exported, though in no installed header.
extern "C" netsnmp_session *main_session;

namespace {

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
        size_t octets = data[at] & 0x80 ? data[at++] & 0x7f : 0;
        length = octets ? 0 : data[at++];
        if (octets > 3 || at + octets > size)
            return false;
        while (octets--)
            length = length << 8 | data[at++];
        return length <= size - at;
    }
    bool enter(uint8_t expected) { return enter() && tag == expected; }
    bool skip(uint8_t expected) { return enter(expected) && (at += length, true); }
};

void widenOversizedIntegers(uint8_t *data, size_t size)
{
    BerCursor ber{data, size};
    // Message, version 0 or 1 (v1, v2c), community, SET PDU, its three integers.
    if (!ber.enter(0x30) || !ber.enter(0x02) || ber.length != 1 || data[ber.at] > 1)
        return;
    ber.at += ber.length;
    if (!ber.skip(0x04) || !ber.enter(0xa3) || !ber.skip(0x02) || !ber.skip(0x02) || !ber.skip(0x02)
        || !ber.enter(0x30))
        return;
    for (const size_t end = ber.at + ber.length; ber.at < end;) {
        if (!ber.enter(0x30))
            return;
        const size_t next = ber.at + ber.length;
        if (!ber.skip(0x06) || !ber.enter())
            return;
        // The library parses up to 8 octets; 00 FF.. stays above INT32_MAX after its cut.
        if (ber.tag == 0x02 && ber.length > 4 && ber.length <= 8) {
            std::memset(data + ber.at, 0xff, ber.length);
            data[ber.at] = 0;
        }
        ber.at = next;
    }
}

int receiveGuarded(netsnmp_transport *transport, void *buffer, int size, void **opaque, int *opaqueLength)
{
    const int received = libraryReceive(transport, buffer, size, opaque, opaqueLength);
    if (received > 0)
        widenOversizedIntegers(static_cast<uint8_t *>(buffer), static_cast<size_t>(received));
    return received;
}

} // namespace

void guardOversizedIntegers()
{
    netsnmp_transport *transport = main_session ? snmp_sess_transport(snmp_sess_pointer(main_session)) : nullptr;
    if (!transport || transport->f_recv == receiveGuarded)
        return;
    libraryReceive = transport->f_recv;
    transport->f_recv = receiveGuarded;
}
