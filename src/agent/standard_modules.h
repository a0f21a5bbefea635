// The SNMPv2 entity around the VIVOE objects: Net-SNMP's own modules for the
// system and snmp groups and the SNMPv3 framework, set up for this device.
#pragma once

// Registers the library's modules; call between init_agent and init_snmp.
void registerStandardModules();
