// How much of OpenSSL the SNMPv3 engine sets up at start, where a hundred
// agents on one host each pay for it.
#pragma once

// Call before the library's first use of OpenSSL: init_snmp draws the USM
// salts from it.
void keepCryptoLean();

// In a fleet's parent, before its devices are forked: what each device's
// engine would set up of OpenSSL by itself (its algorithm tables), set up
// once and shared by all of them.
void prepareCryptoForDevices();
