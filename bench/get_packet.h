// Pre-encoded SNMPv2c GET requests and a minimal check of their responses:
// the load loop then costs two system calls per request, so the server under
// test, not the client, sets the pace.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct GetPacket {
    std::vector<uint8_t> bytes;
    size_t requestIdOffset = 0; // four bytes, big-endian, patched per request
};

enum class ResponseCheck { Ok, OtherRequest, Error, Malformed };

// "1.3.6.1.2.1.1.1.0" (a leading dot is allowed) to its arcs.
std::optional<std::vector<uint32_t>> parseOid(const std::string &text);

GetPacket encodeGetRequest(const std::string &community, const std::vector<uint32_t> &oid);

// Request ids stay within 0x01000000..0x7fffffff so that four content bytes
// are the minimal INTEGER encoding every decoder accepts.
void setRequestId(GetPacket &packet, uint32_t requestId);

// Ok: a GetResponse to this request with a value; Error: error-status set or
// an exception value (noSuchObject...); OtherRequest: a late answer to an
// earlier request.
ResponseCheck checkGetResponse(const uint8_t *data, size_t size, uint32_t requestId);
