// The three VIVOE conceptual tables, built once from the device data as
// Net-SNMP table data sets; the library serves them from then on.
#pragma once

// With writableCells, the cells of the columns the MIB module declares
// writable accept SETs (stream control); otherwise every cell is read-only.
void registerEthernetIfTable(bool writableCells);
void registerVideoFormatTable(bool writableCells);
void registerChannelTable(bool writableCells);
