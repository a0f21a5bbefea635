// Keeps Net-SNMP's parser from mangling or dropping SET values before the
// agent can refuse them with the error a manager expects.
#pragma once

// The library's parser cuts an INTEGER of more than 4 octets down to 32 bits,
// so that a SET of 2^32+7 would arrive as 7 and be stored, and it drops the
// whole message when an IpAddress is not 4 octets long, so that the manager
// gets no answer at all. Once the agent listens, this wraps its receive
// function. In a v1/v2c SET, an over-long INTEGER is replaced by one the
// library keeps out of the Integer32 range (4294967295), which the range
// checks refuse with wrongValue, and an IpAddress of another length is
// retagged NsapAddress, which the cell checks refuse with wrongLength.
// SNMPv3 messages are left alone: their PDU is encrypted or authenticated.
void guardSetValues();

// The tag a mis-sized IpAddress arrives with (ASN_NSAP).
inline constexpr unsigned char misSizedIpAddressTag = 0x45;
