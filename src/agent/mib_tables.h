// The three VIVOE conceptual tables, built once from the device data as
// Net-SNMP table data sets; the library serves them from then on.
#pragma once

void registerEthernetIfTable();
void registerVideoFormatTable();
void registerChannelTable();
