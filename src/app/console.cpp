// What the program tells the person at the console: banner, command line,
// announcements, hints and error blocks.
#include "app/console.h"

#include "data/device_profile.h"
#include "data/field_rules.h"
#include "data/walk_import.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QHostAddress>
#include <QLoggingCategory>
#include <QNetworkInterface>

#include <cerrno>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// --quiet: standard output carries no announcements, only what was asked for.
bool quietConsole = false;

// Every console line is flushed at once so that nothing is repeated by the
// daemon forks or lost when the process is killed.
void printLines(std::FILE *stream, std::initializer_list<const char *> lines)
{
    if (quietConsole && stream == stdout)
        return;
    for (const char *line : lines)
        std::fprintf(stream, "%s\n", line);
    std::fflush(stream);
}

void printLine(std::FILE *stream, const QString &line)
{
    if (quietConsole && stream == stdout)
        return;
    std::fprintf(stream, "%s\n", line.toLocal8Bit().constData());
    std::fflush(stream);
}

// The broadcast address of one of this host's IPv4 networks (127.255.255.255
// on the loopback's /8 among them).
bool isDirectedBroadcast(const QHostAddress &address)
{
    bool isIpv4 = false;
    const quint32 ip = address.toIPv4Address(&isIpv4);
    if (!isIpv4)
        return false;
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &interface : interfaces) {
        const QList<QNetworkAddressEntry> entries = interface.addressEntries();
        for (const QNetworkAddressEntry &entry : entries) {
            const int prefix = entry.prefixLength();
            if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol && prefix >= 1 && prefix <= 30
                && (entry.ip().toIPv4Address() | (0xffffffffu >> prefix)) == ip)
                return true;
        }
    }
    return false;
}

bool addressAllowed(const QString &text)
{
    const QHostAddress address(text);
    if (address.protocol() != QAbstractSocket::IPv4Protocol && address.protocol() != QAbstractSocket::IPv6Protocol) {
        printLine(stderr, QStringLiteral("ERROR: Invalid address \"%1\": give an IPv4 or IPv6 address of this host")
                              .arg(text));
        return false;
    }
    // Replies to a request come from the address it was sent to; from a group
    // or a broadcast address every one of them would fail in sendto.
    if (address.isMulticast() || address.isBroadcast() || isDirectedBroadcast(address)) {
        printLine(stderr, QStringLiteral("ERROR: Invalid address \"%1\": a broadcast or multicast address cannot "
                                         "answer requests; give a unicast address of this host")
                              .arg(text));
        return false;
    }
    return true;
}

// "port 1161", or with --address "127.0.0.2 port 1161": where the agent listens.
QString listenPlace(const Settings &settings)
{
    const QString port = QStringLiteral("port ") + QString::number(settings.port);
    return settings.addressGiven ? settings.address + QLatin1Char(' ') + port : port;
}

// Why the endpoint cannot be bound, found by binding it as the library would:
// Net-SNMP says only that it failed. 0 when it can be bound now, the failure
// lying elsewhere.
int bindError(const Settings &settings)
{
    addrinfo hints = {};
    hints.ai_family = settings.addressGiven ? AF_UNSPEC : AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
    // As the agent names it; glibc takes the zone of "fe80::1%eth0" too.
    const QByteArray host = QHostAddress(settings.address).toString().toLocal8Bit();
    const QByteArray port = QByteArray::number(settings.port);
    addrinfo *found = nullptr;
    if (getaddrinfo(settings.addressGiven ? host.constData() : nullptr, port.constData(), &hints, &found) != 0)
        return 0;
    int error = 0;
    const int fd = socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, 0);
    if (fd < 0 || bind(fd, found->ai_addr, found->ai_addrlen) != 0)
        error = errno;
    if (fd >= 0)
        close(fd);
    freeaddrinfo(found);
    return error;
}

// Root, or a process granted CAP_NET_BIND_SERVICE (bit 10 of its effective
// set), as a service unit running under an unprivileged user is.
bool mayBindLowPorts()
{
    if (geteuid() == 0)
        return true;
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return false;
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("CapEff:"))
            return line.mid(7).trimmed().toULongLong(nullptr, 16) & (1ull << 10);
    }
    return false;
}

// "-p, --port <port>": how Qt's help text names an option.
QString synopsis(const QCommandLineOption &option)
{
    QStringList names;
    for (const QString &name : option.names())
        names.append((name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name);
    const QString value = option.valueName().isEmpty() ? QString() : QStringLiteral(" <%1>").arg(option.valueName());
    return names.join(QStringLiteral(", ")) + value;
}

struct HelpGroup
{
    const char *heading;
    QCommandLineOption first;
};

// Qt lists every option in one block: each group's heading goes before its
// first option, and what Qt cannot say follows the options.
QString groupedHelp(const QString &qtHelp, const QList<HelpGroup> &groups)
{
    QString help = qtHelp;
    help.replace(QStringLiteral("\nOptions:\n"), QStringLiteral("\n"));
    for (const HelpGroup &group : groups) {
        const QString line = QStringLiteral("\n  ") + synopsis(group.first) + QLatin1Char(' ');
        const QString separator = &group == &groups.first() ? QString() : QStringLiteral("\n");
        help.insert(help.indexOf(line) + 1, separator + QLatin1String(group.heading) + QLatin1Char('\n'));
    }
    return help
           + QStringLiteral(
               "\nConfiguration files:\n"
               "  vivoe_kestrunevale.conf        Written at every start: into the first writable\n"
               "                                 directory of SNMPCONFPATH, else /etc/snmp when\n"
               "                                 writable (root), else ~/.snmp\n"
               "  vivoe_kestrunevale.local.conf  Yours (snmpd.conf syntax): read from every\n"
               "                                 directory of SNMPCONFPATH, else of Net-SNMP's\n"
               "                                 path (/etc/snmp, also for an ordinary user's\n"
               "                                 agent, and ~/.snmp), and from the state directory\n"
               "  State directory                $STATE_DIRECTORY, else /var/lib/vivoe-mib-server\n"
               "                                 (root), else ~/.local/state/vivoe-mib-server\n"
               "\nExit status:\n"
               "  0  Stopped by SIGINT, SIGTERM or SIGHUP; help, version or profile printed\n"
               "  1  Command-line error, refused port or address, failed start\n"
               "\nSee vivoe-mib-server(8).\n");
}

// The banner is printed before the command line is parsed: --quiet, -q, or
// -q among the other flag letters ("-dq").
bool quietRequested(const QStringList &arguments)
{
    return std::any_of(arguments.cbegin() + 1, arguments.cend(), [](const QString &argument) {
        const bool shortFlags = argument.size() > 1 && argument.startsWith(QLatin1Char('-'))
                                && std::all_of(argument.cbegin() + 1, argument.cend(), [](QChar letter) {
                                       return letter == QLatin1Char('d') || letter == QLatin1Char('q');
                                   });
        return argument == QLatin1String("--quiet") || (shortFlags && argument.contains(QLatin1Char('q')));
    });
}

// --reboot-seconds as the profile's rebootSeconds allows it; -1 when not given.
int rebootSecondsOption(const QCommandLineParser &parser, const QCommandLineOption &option)
{
    if (!parser.isSet(option))
        return -1;
    bool isNumber = false;
    const int seconds = parser.value(option).toInt(&isNumber);
    if (isNumber && integerAllowed(FieldRule::RebootSeconds, seconds))
        return seconds;
    printLine(stderr, QStringLiteral("ERROR: Invalid reboot time \"%1\": give a number of seconds from 0 to 3600")
                          .arg(parser.value(option)));
    std::exit(1);
}

const char rule[] = "==========================================================";

// The first names, then a count: a walk of many rows may lack most of their cells.
QString missingNames(const QStringList &names)
{
    constexpr qsizetype shown = 40;
    if (names.size() <= shown)
        return names.join(QLatin1String(", "));
    return names.first(shown).join(QLatin1String(", ")) + QStringLiteral(" and %1 more").arg(names.size() - shown);
}

} // namespace

void setApplicationIdentity()
{
    QCoreApplication::setApplicationName(QStringLiteral("VIVOE MIB Server"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0.0"));
    QCoreApplication::setOrganizationName(QStringLiteral("Velkor Systems"));
}

void printBanner(const QCoreApplication &app)
{
    // `--print-profile > device.json` must give a loadable file.
    const QStringList arguments = app.arguments();
    const bool profileOnStdout = std::any_of(arguments.cbegin(), arguments.cend(), [](const QString &argument) {
        return argument == QLatin1String("--print-profile")
               || argument.startsWith(QLatin1String("--profile-from-walk"));
    });
    if (arguments.isEmpty() || quietRequested(arguments))
        return;
    std::FILE *stream = profileOnStdout ? stderr : stdout;
    printLines(stream, {rule,
                        "VIVOE MIB SNMP Server v1.0.0 - TEMPLATE EXAMPLE",
                        "Grovenmarch Kestrunevale Camera Simulator",
                        "Copyright (C) 2025 Velkor Systems. All rights reserved.",
                        rule,
                        "",
                        "*** IMPORTANT: THIS IS A TEMPLATE EXAMPLE ***",
                        "This server provides example implementations of:",
                        "- VIVOE MIB device information objects",
                        "- Day/Night video channel configurations",
                        "- Ethernet interface simulation",
                        "- Video format specifications",
                        "",
                        "Customize the implementation in vivoe_mib_server",
                        "Look for 'USER CUSTOMIZATION SECTION' comments",
                        rule,
                        ""});
}

Settings parseCommandLine(const QCoreApplication &app)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("VIVOE MIB SNMP Server - Template Example"));
    QCommandLineOption portOption(
        {QStringLiteral("p"), QStringLiteral("port")},
        QStringLiteral("SNMP port number (default: 161; below 1024 needs root or CAP_NET_BIND_SERVICE)"),
        QStringLiteral("port"), QStringLiteral("161"));
    QCommandLineOption daemonOption({QStringLiteral("d"), QStringLiteral("daemon")},
                                    QStringLiteral("Run as daemon (background process)"));
    QCommandLineOption writableTablesOption(
        QStringLiteral("writable-tables"),
        QStringLiteral("Let managers with write access SET the table columns the MIB declares writable "
                       "(stream control)"));
    QCommandLineOption streamOption(
        QStringLiteral("stream"),
        QStringLiteral("Send the video of every channel whose channelStatus is 1, announced by SAP"));
    QCommandLineOption addressOption(
        QStringLiteral("address"),
        QStringLiteral("Listen on this one IPv4 or IPv6 address only (default: all IPv4 addresses)"),
        QStringLiteral("address"));
    QCommandLineOption profileOption(QStringLiteral("profile"),
                                     QStringLiteral("Simulate the device this JSON file describes"),
                                     QStringLiteral("file"));
    QCommandLineOption printProfileOption(
        QStringLiteral("print-profile"),
        QStringLiteral("Print the device profile in use as JSON (a start for your own) and exit"));
    QCommandLineOption walkOption(
        QStringLiteral("profile-from-walk"),
        QStringLiteral("Print the profile of the device this walk (snmpwalk output or .snmprec) shows, and exit"),
        QStringLiteral("file"));
    QCommandLineOption rebootOption(
        QStringLiteral("reboot-seconds"),
        QStringLiteral("On a SET of deviceReset, reboot: silent for this long, then back as after a power cycle "
                       "(default: the profile's rebootSeconds, 0: only store the value)"),
        QStringLiteral("seconds"));
    // Read before the parser, by launchFleet; here for --help.
    QCommandLineOption fleetOption(QStringLiteral("fleet"),
                                   QStringLiteral("Run every device a JSON fleet file lists, one process each (with "
                                                  "--daemon alone)"),
                                   QStringLiteral("file"));
    QCommandLineOption verboseOption(
        QStringLiteral("verbose"),
        QStringLiteral("Log each refused request: unknown community, SET refused, SNMPv3 user failing "
                       "authentication (a few lines per second per cause at most)"));
    QCommandLineOption quietOption({QStringLiteral("q"), QStringLiteral("quiet")},
                                   QStringLiteral("Show only warnings and errors, no banner"));
    for (const QCommandLineOption *option : {&portOption, &addressOption, &daemonOption, &profileOption,
                                             &writableTablesOption, &streamOption, &rebootOption, &fleetOption,
                                             &printProfileOption, &walkOption, &verboseOption, &quietOption})
        parser.addOption(*option);
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    // As QCommandLineParser::process would, but a help or version text that
    // cannot be written is a failure, not a success.
    if (!parser.parse(app.arguments())) {
        printLine(stderr, QCoreApplication::applicationName() + QStringLiteral(": ") + parser.errorText());
        printLine(stderr, QStringLiteral("Usage: %1 [options]; --help lists them")
                              .arg(QCoreApplication::arguments().constFirst()));
        std::exit(1);
    }
    if (parser.isSet(versionOption))
        std::exit(printOutput(QCoreApplication::applicationName().toLocal8Bit() + ' '
                              + QCoreApplication::applicationVersion().toLocal8Bit() + '\n')
                      ? 0
                      : 1);
    if (parser.isSet(helpOption) || parser.isSet(QStringLiteral("help-all")))
        std::exit(printOutput(groupedHelp(parser.helpText(), {{"Listening:", portOption},
                                                              {"Device:", profileOption},
                                                              {"Profiles (printed, then exit):", printProfileOption},
                                                              {"Logging:", verboseOption},
                                                              {"General:", helpOption}})
                                  .toLocal8Bit())
                      ? 0
                      : 1);
    // "vivoe-mib-server 1161" (--port forgotten) must not start on port 161.
    if (!parser.positionalArguments().isEmpty()) {
        printLine(stderr, QStringLiteral("ERROR: Unexpected argument \"%1\"").arg(parser.positionalArguments().first()));
        printLine(stderr, QStringLiteral("Usage: %1 [options]; --help lists them")
                              .arg(QCoreApplication::arguments().constFirst()));
        std::exit(1);
    }

    Settings settings;
    settings.portText = parser.value(portOption);
    settings.port = settings.portText.toInt(); // malformed text gives 0
    settings.daemon = parser.isSet(daemonOption);
    settings.writableTables = parser.isSet(writableTablesOption);
    settings.stream = parser.isSet(streamOption);
    // An environment file's trailing blank must not end up in hints and names.
    settings.address = parser.value(addressOption).trimmed();
    settings.addressGiven = parser.isSet(addressOption);
    settings.profilePath = parser.value(profileOption);
    settings.printProfile = parser.isSet(printProfileOption);
    settings.walkPath = parser.value(walkOption);
    settings.verbose = parser.isSet(verboseOption);
    settings.quiet = parser.isSet(quietOption);
    if (settings.verbose && settings.quiet) {
        printLines(stderr, {"ERROR: --verbose and --quiet exclude each other"});
        std::exit(1);
    }
    if (settings.quiet) {
        quietConsole = true;
        QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false\ndefault.info=false"));
    }
    settings.rebootSeconds = rebootSecondsOption(parser, rebootOption);
    return settings;
}

bool listeningAllowed(const Settings &settings)
{
    // Net-SNMP would bind a random port for 0 and still look successful, and
    // refuse the others only after everything else was set up. No privilege
    // makes such a port valid, so this comes before the privilege rule.
    if (settings.port < 1 || settings.port > 65535) {
        printLine(stderr, QStringLiteral("ERROR: Invalid port \"%1\": give a port number from 1 to 65535")
                              .arg(settings.portText));
        return false;
    }
    if (settings.port < 1024 && !mayBindLowPorts()) {
        printLine(stderr, QStringLiteral("ERROR: Port %1 requires root privileges").arg(settings.port));
        printLines(stderr, {"Run with sudo or choose port >= 1024"});
        return false;
    }
    return !settings.addressGiven || addressAllowed(settings.address);
}

bool useProfileOption(const Settings &settings)
{
    if (settings.profilePath.isEmpty())
        return true;
    QString error;
    const std::optional<DeviceProfile> profile = loadProfile(settings.profilePath, error);
    if (!profile) {
        printLine(stderr, QStringLiteral("ERROR: ") + error);
        return false;
    }
    qDebug() << "Device profile read from" << settings.profilePath;
    useDeviceProfile(*profile);
    return true;
}

bool printOutput(const QByteArray &text)
{
    errno = 0;
    if (std::fwrite(text.constData(), 1, size_t(text.size()), stdout) == size_t(text.size())
        && std::fflush(stdout) == 0)
        return true;
    printLine(stderr, QStringLiteral("ERROR: Cannot write to standard output: ") + qt_error_string(errno));
    return false;
}

bool printProfile()
{
    return printOutput(profileJson(deviceProfile()));
}

bool printProfileFromWalk(const Settings &settings)
{
    QString error;
    const std::optional<WalkImport> walk = profileFromWalk(settings.walkPath, deviceProfile(), error);
    if (!walk) {
        printLine(stderr, QStringLiteral("ERROR: ") + error);
        return false;
    }
    if (!walk->filledIn.isEmpty()) {
        const QString source = settings.profilePath.isEmpty() ? QStringLiteral("the built-in camera")
                                                              : QStringLiteral("\"%1\"").arg(settings.profilePath);
        printLine(stderr, QStringLiteral("Not in the walk, taken from %1: %2")
                              .arg(source, missingNames(walk->filledIn)));
    }
    useDeviceProfile(walk->profile);
    return printProfile();
}

void announceMode(const Settings &settings)
{
    if (settings.daemon) {
        printLines(stdout, {"Starting as daemon..."});
        return;
    }
    printLine(stdout, QStringLiteral("Starting in foreground mode on ") + listenPlace(settings));
    printLines(stdout, {"Press Ctrl+C to stop"});
}

void announceDaemonStarted(const Settings &settings)
{
    QDebug line = qDebug() << "VIVOE MIB Server daemon started on";
    if (settings.addressGiven)
        line << "address" << settings.address;
    line << "port" << settings.port;
}

void printStartFailure(const Settings &settings)
{
    printLine(stderr, QStringLiteral("ERROR: Failed to start VIVOE MIB Server on ") + listenPlace(settings));
    const int error = bindError(settings);
    if (error) {
        const QString address = settings.addressGiven ? settings.address : QStringLiteral("0.0.0.0");
        // One pass of arg(): a zone ("fe80::1%1") must not be taken for a marker.
        printLine(stderr, QStringLiteral("Cannot listen on %1 port %2: %3")
                              .arg(address, QString::number(settings.port), qt_error_string(error)));
    }
    if (error == EADDRINUSE)
        printLine(stderr, QStringLiteral("Another program uses that port (ss -lunp 'sport = :%1' shows which): stop "
                                         "it or choose another port")
                              .arg(settings.port));
    else if (error == EADDRNOTAVAIL)
        printLines(stderr, {"Give an address this host has (ip address lists them)"});
    else if (error == EACCES)
        printLines(stderr, {"Ports below 1024 need the capability CAP_NET_BIND_SERVICE, which root has unless it "
                            "was taken away"});
    else
        printLines(stderr, {"Make sure:", "1. Port is not already in use",
                            "2. You have sufficient privileges (sudo for port < 1024)",
                            "3. Net-SNMP libraries are installed"});
}

void printRunningHints(int port, const QString &address)
{
    // Without --address the agent listens on every IPv4 address, localhost too.
    const QString host = address.isEmpty() ? QStringLiteral("localhost") : address;
    // snmpwalk assumes UDP over IPv4 and port 161: anything else must be in the command.
    QString target = port == 161 ? host : QStringLiteral("%1:%2").arg(host, QString::number(port));
    if (host.contains(QLatin1Char(':')))
        target = QStringLiteral("udp6:[%1]:%2").arg(host, QString::number(port));
    printLines(stdout, {"", "VIVOE MIB Server is running!", "", "Test with Wexor SNMP Walk:", "1. Open Wexor application",
                        "2. Go to SNMP tab"});
    printLine(stdout, address.isEmpty() ? QStringLiteral("3. Enter IP: 127.0.0.1 or localhost")
                                        : QStringLiteral("3. Enter IP: %1").arg(address));
    printLines(stdout, {"4. Click 'SNMP Walk'", "", "Or test with snmpwalk command:"});
    printLine(stdout, QStringLiteral("snmpwalk -v2c -c maplet %1 1.3.6.1.4.1.35990").arg(target));
    printLines(stdout, {""});
}

void printStopped()
{
    printLines(stdout, {"VIVOE MIB Server stopped"});
}
