// The agent configuration file that the Net-SNMP library reads at start-up.
#pragma once

#include <QString>

// Given to the library at start-up and shutdown, and the base name of the
// configuration file it reads.
inline constexpr char agentName[] = "vivoe_kestrunevale";

// The first writable directory of SNMPCONFPATH when it is set; otherwise
// "/etc/snmp" when writable, otherwise ~/.snmp.
QString chooseConfigDirectory();

// Creates the directory if needed and writes the three-line configuration.
// Returns the file path, or an empty string when it could not be written.
QString writeAgentConfig(const QString &directory);

// Once the library has read its configuration: logs each .local.conf it read,
// so that an operator sees which grants and sinks are in force.
void logLocalConfigFiles();
