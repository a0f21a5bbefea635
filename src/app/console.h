// What the program tells the person at the console: banner, command line,
// announcements, hints and error blocks.
#pragma once

#include <QByteArray>
#include <QString>

class QCoreApplication;

struct Settings
{
    int port = 161;
    bool daemon = false;
    bool writableTables = false;
    bool stream = false;
    QString address; // without --address: all IPv4 addresses
    bool addressGiven = false;
    QString profilePath; // empty: the built-in device
    bool printProfile = false;
    QString walkPath; // --profile-from-walk: print the profile of that walk
    QString portText; // as given, for error messages
    bool verbose = false; // a log line for each refused request
    bool quiet = false; // warnings and errors only
    int rebootSeconds = -1; // --reboot-seconds; -1: the profile's rebootSeconds
};

void setApplicationIdentity();
// On standard output, or standard error when stdout must hold the profile alone.
void printBanner(const QCoreApplication &app);

// Parses the command line; help, version, parse errors and stray arguments
// end the process. With --quiet, only warnings and errors are shown from then on.
Settings parseCommandLine(const QCoreApplication &app);

// The range 1 to 65535, the privilege rule, and a listening address that is
// an IPv4 or IPv6 address; false after printing why.
bool listeningAllowed(const Settings &settings);

// Makes the --profile file the device, or prints why it cannot be.
bool useProfileOption(const Settings &settings);
// Output the command exists for: false, after saying why, when it could not
// be written whole (a full disk, a closed pipe).
bool printOutput(const QByteArray &text);
bool printProfile();
// Prints the profile a walk of a real device describes, what the walk lacks
// taken from the profile in use; false after printing why it cannot.
bool printProfileFromWalk(const Settings &settings);

void announceMode(const Settings &settings);
void announceDaemonStarted(const Settings &settings);
// Names the cause of a failed start where the system can tell it.
void printStartFailure(const Settings &settings);
void printRunningHints(int port, const QString &address);
void printStopped();
