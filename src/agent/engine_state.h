// Where the SNMPv3 engine keeps its state (engine ID, boot count, users
// created at run time) from one start to the next.
#pragma once

#include <QStringList>

// One directory per listening endpoint, so that two agents on one host never
// share an engine ID, below systemd's $STATE_DIRECTORY, else below
// /var/lib/vivoe-mib-server for root or the user's XDG state directory.
QString engineStateDirectory(const QString &endpoint);

// Once the library has read its configuration and state: when the directory
// cannot be written, says so once and stops the library from trying, which
// it would otherwise complain about at every save.
void keepEngineStateIfWritable(const QString &directory);

// The directories of the path that do not exist yet, innermost first: what a
// start creates and, when it fails, removes again with removeStateDirectories.
QStringList missingDirectories(const QString &directory);
// The innermost whole, as the library fills it at start-up; the others only
// while empty, since another agent may have begun to use them meanwhile.
void removeStateDirectories(const QStringList &directories);

// Saves the engine state as the library's snmp_store does (the last file kept
// aside until the new one is whole), but with one disk sync for the file
// where the library makes one per line.
void storeEngineState();
// snmp_shutdown after a storeEngineState, without the library's own store.
void shutDownWithoutStore();
// After the engine started again in this process (a reboot): its boot count
// one above the run before, as a new process would have it.
void countEngineRestart(unsigned long bootsBefore);
