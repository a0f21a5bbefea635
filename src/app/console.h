// What the program tells the person at the console: banner, command line,
// announcements, hints and error blocks.
#pragma once

#include <QString>

class QCoreApplication;

struct Settings
{
    int port = 161;
    bool daemon = false;
    bool writableTables = false;
    QString portText; // as given, for error messages
};

void setApplicationIdentity();
void printBanner();

// Parses the command line; help, version, parse errors and stray arguments
// end the process.
Settings parseCommandLine(const QCoreApplication &app);

// The privilege rule, then the range 1 to 65535; false after printing why.
bool portAllowed(const Settings &settings);

void announceMode(const Settings &settings);
void announceDaemonStarted(int port);
void printStartFailure(int port);
void printRunningHints(int port);
void printStopped();
