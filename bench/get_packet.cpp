// BER encoding of one GET request and just enough decoding of the answer to
// tell a good response from an error or a stale one.
#include "get_packet.h"

#include <cstdlib>

namespace {

using Bytes = std::vector<uint8_t>;

void appendLength(Bytes &out, size_t length)
{
    if (length < 0x80) {
        out.push_back(static_cast<uint8_t>(length));
    } else if (length <= 0xff) {
        out.push_back(0x81);
        out.push_back(static_cast<uint8_t>(length));
    } else {
        out.push_back(0x82);
        out.push_back(static_cast<uint8_t>(length >> 8));
        out.push_back(static_cast<uint8_t>(length));
    }
}

Bytes tlv(uint8_t tag, const Bytes &content)
{
    Bytes out{tag};
    appendLength(out, content.size());
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

Bytes encodeOid(const std::vector<uint32_t> &oid)
{
    Bytes content;
    const uint32_t first = oid.size() >= 2 ? oid[0] * 40 + oid[1] : 0;
    for (size_t i = 1; i < oid.size(); ++i) {
        const uint32_t arc = i == 1 ? first : oid[i];
        Bytes base128{static_cast<uint8_t>(arc & 0x7f)};
        for (uint32_t rest = arc >> 7; rest != 0; rest >>= 7)
            base128.insert(base128.begin(), static_cast<uint8_t>(0x80 | (rest & 0x7f)));
        content.insert(content.end(), base128.begin(), base128.end());
    }
    return tlv(0x06, content);
}

// One TLV header: tag, then a short or long-form length that fits the input.
bool readHeader(const uint8_t *data, size_t size, size_t &pos, uint8_t &tag, size_t &length)
{
    if (pos + 2 > size)
        return false;
    tag = data[pos++];
    uint8_t first = data[pos++];
    if (first < 0x80) {
        length = first;
    } else {
        const int count = first & 0x7f;
        if (count == 0 || count > 4 || pos + count > size)
            return false;
        length = 0;
        for (int i = 0; i < count; ++i)
            length = (length << 8) | data[pos++];
    }
    return length <= size - pos;
}

bool readInteger(const uint8_t *data, size_t size, size_t &pos, int64_t &value)
{
    uint8_t tag = 0;
    size_t length = 0;
    if (!readHeader(data, size, pos, tag, length) || tag != 0x02 || length == 0 || length > 8)
        return false;
    value = (data[pos] & 0x80) ? -1 : 0;
    for (size_t i = 0; i < length; ++i)
        value = static_cast<int64_t>((static_cast<uint64_t>(value) << 8) | data[pos++]);
    return true;
}

bool enter(const uint8_t *data, size_t size, size_t &pos, uint8_t wanted)
{
    uint8_t tag = 0;
    size_t length = 0;
    return readHeader(data, size, pos, tag, length) && tag == wanted;
}

bool skip(const uint8_t *data, size_t size, size_t &pos, uint8_t wanted)
{
    uint8_t tag = 0;
    size_t length = 0;
    if (!readHeader(data, size, pos, tag, length) || tag != wanted)
        return false;
    pos += length;
    return true;
}

} // namespace

std::optional<std::vector<uint32_t>> parseOid(const std::string &text)
{
    std::vector<uint32_t> arcs;
    const char *cursor = text.c_str();
    if (*cursor == '.')
        ++cursor;
    while (*cursor != '\0') {
        char *end = nullptr;
        const unsigned long arc = std::strtoul(cursor, &end, 10);
        if (end == cursor || arc > 0xffffffffUL || (*end != '.' && *end != '\0'))
            return std::nullopt;
        arcs.push_back(static_cast<uint32_t>(arc));
        cursor = *end == '.' ? end + 1 : end;
    }
    if (arcs.size() < 2)
        return std::nullopt;
    return arcs;
}

GetPacket encodeGetRequest(const std::string &community, const std::vector<uint32_t> &oid)
{
    const Bytes requestId{0x02, 0x04, 0x01, 0x00, 0x00, 0x00};
    const Bytes zero{0x02, 0x01, 0x00};
    const Bytes varBind = tlv(0x30, concat({encodeOid(oid), Bytes{0x05, 0x00}}));
    const Bytes pduContent = concat({requestId, zero, zero, tlv(0x30, varBind)});
    const Bytes pdu = tlv(0xa0, pduContent);
    const Bytes version{0x02, 0x01, 0x01}; // v2c
    const Bytes message = tlv(0x30, concat({version, tlv(0x04, Bytes(community.begin(), community.end())), pdu}));

    GetPacket packet;
    packet.bytes = message;
    packet.requestIdOffset = message.size() - pduContent.size() + 2;
    return packet;
}

void setRequestId(GetPacket &packet, uint32_t requestId)
{
    for (int i = 0; i < 4; ++i)
        packet.bytes[packet.requestIdOffset + i] = static_cast<uint8_t>(requestId >> (24 - 8 * i));
}

ResponseCheck checkGetResponse(const uint8_t *data, size_t size, uint32_t requestId)
{
    size_t pos = 0;
    int64_t id = 0;
    int64_t errorStatus = 0;
    int64_t errorIndex = 0;
    if (!enter(data, size, pos, 0x30) || !skip(data, size, pos, 0x02) || !skip(data, size, pos, 0x04) ||
        !enter(data, size, pos, 0xa2) || !readInteger(data, size, pos, id))
        return ResponseCheck::Malformed;
    if (id != requestId)
        return ResponseCheck::OtherRequest;
    if (!readInteger(data, size, pos, errorStatus) || !readInteger(data, size, pos, errorIndex))
        return ResponseCheck::Malformed;
    if (errorStatus != 0)
        return ResponseCheck::Error;
    if (!enter(data, size, pos, 0x30) || !enter(data, size, pos, 0x30) || !skip(data, size, pos, 0x06) || pos >= size)
        return ResponseCheck::Malformed;
    // noSuchObject, noSuchInstance and endOfMibView are context tags 0x80..0x82
    const uint8_t valueTag = data[pos];
    return valueTag >= 0x80 && valueTag <= 0x82 ? ResponseCheck::Error : ResponseCheck::Ok;
}
