// Keeps Net-SNMP from silently wrapping over-long INTEGERs into range.
#pragma once

// The library's parser cuts an INTEGER of more than 4 octets down to 32 bits,
// so that a SET of 2^32+7 would arrive as 7 and be stored. Once the agent
// listens, this wraps its receive function: in a v1/v2c SET, such a value is
// replaced before parsing by one the library keeps out of the Integer32 range
// (4294967295), which the range checks then refuse with wrongValue. SNMPv3
// messages are left alone: their PDU is encrypted or authenticated.
void guardOversizedIntegers();
