// Where the SNMPv3 engine keeps its state (engine ID, boot count, users
// created at run time) from one start to the next.
#pragma once

#include <QString>

// One directory per listening endpoint, so that two agents on one host never
// share an engine ID, below systemd's $STATE_DIRECTORY, else below
// /var/lib/vivoe-mib-server for root or the user's XDG state directory.
QString engineStateDirectory(const QString &endpoint);

// Once the library has read its configuration and state: when the directory
// cannot be written, says so once and stops the library from trying, which
// it would otherwise complain about at every save.
void keepEngineStateIfWritable(const QString &directory);
