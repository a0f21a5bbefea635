// Keeps Net-SNMP's parser from mangling or dropping SET values before the
// agent can refuse them with the error a manager expects.
#pragma once

#include <cstddef>
#include <cstdint>

// The library's parser cuts an INTEGER of 5 to 8 octets down to 32 bits, so
// that a SET of 2^32+7 would arrive as 7 and be stored; it drops the whole
// message when an INTEGER has more than 8 octets or an IpAddress is not 4
// octets long, so that the manager gets no answer at all. Once the agent
// listens, this wraps the parsing of every complete message its sessions
// receive (v1, v2c), over any transport, and the USM's decoding of the
// plaintext scoped PDU (v3). In a SET, an INTEGER
// outside Integer32 is replaced by one the library keeps out of that range
// (4294967295), which the range checks refuse with wrongValue; an INTEGER
// within range but padded beyond 8 octets is shortened to its 4 octets; and
// an IpAddress of another length is retagged NsapAddress, which the cell
// checks refuse with wrongLength.
void guardSetValues();

// The tag a mis-sized IpAddress arrives with (ASN_NSAP).
inline constexpr unsigned char misSizedIpAddressTag = 0x45;

// The rewrite itself, on a whole v1/v2c message or on a v3 scoped PDU; the
// new size (a value may have been shortened). Anything it does not follow is
// left as it is for the library's parser to refuse.
size_t markRefusableMessageValues(uint8_t *data, size_t size);
size_t markRefusableScopedPduValues(uint8_t *data, size_t size);
