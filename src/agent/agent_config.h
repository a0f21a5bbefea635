// The agent configuration file that the Net-SNMP library reads at start-up.
#pragma once

#include <QString>

// "/etc/snmp" when writable, otherwise ~/.snmp.
QString chooseConfigDirectory();

// Creates the directory if needed and writes the three-line configuration.
// Returns the file path, or an empty string when it could not be written.
QString writeAgentConfig(const QString &directory);
