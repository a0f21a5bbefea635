// A fleet of devices from one command (--fleet FILE): one process per device,
// forked from a parent that has loaded the libraries once, so that their
// relocated data is shared instead of repeated in every device.
#include "app/fleet_launcher.h"

#include "agent/crypto_footprint.h"
#include "app/process_control.h"
#include "app/readiness.h"
#include "data/fleet_file.h"

#include <QDebug>
#include <QFile>
#include <QHash>
#include <QList>
#include <QString>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <csignal>
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
// A device that keeps dying is started again at most this often a minute.
constexpr int restartsPerMinute = 5;
// What SIGTERM leaves running after this is killed, so that stopping takes
// at most 2 s. The engine state was saved at the start: a device killed
// while it saves it again keeps the previous copy, which the next start reads.
constexpr std::chrono::milliseconds stopGrace(1500);

void printLine(std::FILE *stream, const QString &line)
{
    std::fprintf(stream, "%s\n", line.toLocal8Bit().constData());
    std::fflush(stream);
}

// The fleet file named by --fleet, when the command line asks for a fleet;
// empty otherwise. A request for help or the version is the parser's.
QString fleetPath(int argc, char **argv, bool &daemon)
{
    QString path;
    bool others = false;
    for (int i = 1; i < argc; ++i) {
        const QByteArray argument(argv[i]);
        if (argument == "--fleet" && i + 1 < argc)
            path = QFile::decodeName(argv[++i]);
        else if (argument.startsWith("--fleet="))
            path = QFile::decodeName(argument.mid(8));
        else if (argument == "-d" || argument == "--daemon")
            daemon = true;
        else if (argument == "-h" || argument == "--help" || argument == "--help-all" || argument == "-v"
                 || argument == "--version")
            return QString();
        else
            others = true;
    }
    if (!path.isEmpty() && others) {
        printLine(stderr, QStringLiteral("ERROR: --fleet takes no other option than --daemon: the fleet file gives "
                                         "each device its address, port, profile and options"));
        std::exit(1);
    }
    return path;
}

struct Device
{
    enum class State { Starting, Listening, Waiting, Failed };
    pid_t pid = 0;
    State state = State::Starting;
    QList<Clock::time_point> restarts; // within the last minute
    Clock::time_point restartAt;
};

// A stop request waiting while a thousand devices are forked must not wait
// for the last of them.
bool stopRequested(const sigset_t &handled)
{
    sigset_t pending;
    sigpending(&pending);
    for (int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
        if (sigismember(&handled, signalNumber) && sigismember(&pending, signalNumber))
            return true;
    }
    return false;
}

QString exitReason(int status)
{
    return WIFSIGNALED(status) ? QStringLiteral("killed by signal %1").arg(WTERMSIG(status))
                               : QStringLiteral("exit status %1").arg(WEXITSTATUS(status));
}

class FleetParent
{
public:
    explicit FleetParent(const Fleet &fleet);
    // In the parent: the fleet's exit status. In a device: null, and device()
    // says which one it is.
    std::optional<int> run();
    qsizetype device() const { return child; }
    int readinessDescriptor() const { return sockets[1]; }

private:
    bool fork(Device &device);
    void readReports();
    bool reapChildren();
    void deviceEnded(Device &device, int status);
    void restartDue();
    void settle();
    int stopAll(int signalNumber);
    int pollTimeout() const;
    // Made when a line names it: a thousand strings kept in the parent would
    // strew the heap every device shares.
    QString name(const Device &device) const { return fleet.endpoint(&device - devices.data()); }

    const Fleet &fleet;
    QList<Device> devices;
    QHash<pid_t, qsizetype> byPid;
    sigset_t previousMask;
    int signals = -1;
    int sockets[2] = {-1, -1}; // [0] the parent reads the devices' reports, [1] the devices write
    qsizetype child = -1;
    bool settled = false;
    bool anyFailed = false;
};

FleetParent::FleetParent(const Fleet &fleet) : fleet(fleet)
{
    devices.resize(fleet.size());
    byPid.reserve(devices.size());
}

std::optional<int> FleetParent::run()
{
    // Blocked before the first fork, so that no death or stop request is lost;
    // each device restores the mask before anything else.
    sigset_t handled;
    sigemptyset(&handled);
    for (int signalNumber : {SIGCHLD, SIGTERM, SIGINT, SIGHUP})
        sigaddset(&handled, signalNumber);
    sigprocmask(SIG_BLOCK, &handled, &previousMask);
    signal(SIGPIPE, SIG_IGN);
    const int passCredentials = 1;
    signals = signalfd(-1, &handled, SFD_CLOEXEC);
    // One datagram socket for every device: the kernel names the sender's pid,
    // so a thousand devices need no thousand pipes.
    if (signals < 0 || socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, sockets) != 0
        || setsockopt(sockets[0], SOL_SOCKET, SO_PASSCRED, &passCredentials, sizeof passCredentials) != 0) {
        qWarning() << "Cannot supervise a fleet:" << qPrintable(qt_error_string(errno));
        return 1;
    }
    // What the fleet's checks left free is merged now and given back: else
    // every device's first allocations would rewrite the heap pages it lies in
    // and so copy them, the more the larger the fleet.
    prepareCryptoForDevices();
    malloc_trim(0);
    for (Device &device : devices) {
        if (stopRequested(handled))
            break; // the loop below reads the request and stops what started
        if (!fork(device))
            return std::nullopt;
    }
    for (;;) {
        pollfd watched[] = {{signals, POLLIN, 0}, {sockets[0], POLLIN, 0}};
        if (poll(watched, 2, pollTimeout()) < 0 && errno != EINTR)
            return 1;
        if (watched[1].revents & POLLIN)
            readReports();
        signalfd_siginfo info;
        while (watched[0].revents & POLLIN && read(signals, &info, sizeof info) == sizeof info) {
            if (info.ssi_signo != SIGCHLD)
                return stopAll(int(info.ssi_signo));
            if (!reapChildren())
                return 1;
            watched[0].revents = 0; // one read drains every queued SIGCHLD
        }
        restartDue();
        if (child >= 0)
            return std::nullopt;
    }
}

// Returns false in the forked device, true in the parent.
bool FleetParent::fork(Device &device)
{
    const pid_t parent = getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        close(signals);
        close(sockets[0]);
        // SIGPIPE stays ignored, as for a daemon: a log line to a reader that
        // went away must not end the device.
        sigprocmask(SIG_SETMASK, &previousMask, nullptr);
        // A parent killed outright must not leave its devices running.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(1);
        child = &device - devices.data();
        return false;
    }
    if (pid < 0) {
        qWarning().noquote() << "Cannot start device" << name(device) << "-" << qt_error_string(errno);
        device.state = Device::State::Failed;
        anyFailed = true;
        return true;
    }
    device.pid = pid;
    device.state = Device::State::Starting;
    byPid.insert(pid, &device - devices.data());
    return true;
}

void FleetParent::readReports()
{
    char report = 0;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
    iovec data{&report, 1};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    for (;;) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        if (recvmsg(sockets[0], &message, MSG_DONTWAIT) != 1)
            break;
        const cmsghdr *header = CMSG_FIRSTHDR(&message);
        if (!header || header->cmsg_type != SCM_CREDENTIALS)
            continue;
        ucred sender;
        std::memcpy(&sender, CMSG_DATA(header), sizeof sender);
        const auto found = byPid.constFind(sender.pid);
        if (found != byPid.cend() && devices[*found].state == Device::State::Starting)
            devices[*found].state = Device::State::Listening;
    }
    settle();
}

bool FleetParent::reapChildren()
{
    int status = 0;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
        const auto found = byPid.constFind(pid);
        if (found == byPid.cend())
            continue;
        Device &device = devices[*found];
        byPid.erase(found);
        device.pid = 0;
        deviceEnded(device, status);
    }
    settle();
    // Nothing running and nothing to restart: the fleet is over.
    for (const Device &device : std::as_const(devices)) {
        if (device.state != Device::State::Failed)
            return true;
    }
    qWarning() << "No device of the fleet runs: stopping";
    return false;
}

void FleetParent::deviceEnded(Device &device, int status)
{
    if (device.state == Device::State::Starting) {
        // Its own log said why (the address taken, say); the others run on.
        qWarning().noquote() << "Device" << name(device) << QStringLiteral("failed to start (%1)").arg(exitReason(status));
        device.state = Device::State::Failed;
        anyFailed = true;
        return;
    }
    const Clock::time_point now = Clock::now();
    while (!device.restarts.isEmpty() && now - device.restarts.first() >= std::chrono::minutes(1))
        device.restarts.removeFirst();
    device.restartAt = device.restarts.size() < restartsPerMinute ? now : device.restarts.first() + std::chrono::minutes(1);
    device.state = Device::State::Waiting;
    qWarning().noquote() << "Device" << name(device) << QStringLiteral("stopped (%1): restarting it").arg(exitReason(status))
                         << (device.restartAt > now ? QStringLiteral("in %1 s, after %2 restarts this minute")
                                                          .arg(std::chrono::ceil<std::chrono::seconds>(device.restartAt - now).count())
                                                          .arg(restartsPerMinute)
                                                    : QStringLiteral("now"));
}

void FleetParent::restartDue()
{
    const Clock::time_point now = Clock::now();
    for (Device &device : devices) {
        if (device.state != Device::State::Waiting || device.restartAt > now)
            continue;
        device.restarts.append(now);
        if (!fork(device))
            return;
    }
}

// Once every device listens or has failed, the fleet has started.
void FleetParent::settle()
{
    if (settled)
        return;
    int listening = 0;
    for (const Device &device : std::as_const(devices)) {
        if (device.state == Device::State::Starting)
            return;
        listening += device.state != Device::State::Failed;
    }
    settled = true;
    if (!listening)
        return;
    qDebug().noquote() << QStringLiteral("Fleet started: %1 of %2 devices listening").arg(listening).arg(devices.size());
    if (listening == devices.size())
        reportReadiness();
    else
        reportPartialReadiness();
}

int FleetParent::pollTimeout() const
{
    std::optional<Clock::time_point> next;
    for (const Device &device : devices) {
        if (device.state == Device::State::Waiting && (!next || device.restartAt < *next))
            next = device.restartAt;
    }
    if (!next)
        return -1;
    return int(std::chrono::ceil<std::chrono::milliseconds>(std::max(*next - Clock::now(), Clock::duration::zero())).count());
}

int FleetParent::stopAll(int signalNumber)
{
    qDebug() << "Received signal" << signalNumber << "- stopping the fleet";
    for (const Device &device : std::as_const(devices)) {
        if (device.pid > 0)
            kill(device.pid, SIGTERM);
    }
    const Clock::time_point deadline = Clock::now() + stopGrace;
    int status = 0;
    while (!byPid.isEmpty()) {
        const pid_t pid = waitpid(-1, &status, WNOHANG);
        // A device that had not yet set up its signal handling ends by the
        // SIGTERM itself, which is no failure; a failing exit status is.
        if (pid > 0) {
            const auto found = byPid.constFind(pid);
            if (found != byPid.cend() && WIFEXITED(status) && WEXITSTATUS(status) != 0) {
                qWarning().noquote() << "Device" << name(devices[*found]) << "stopped with" << exitReason(status);
                anyFailed = true;
            }
            byPid.remove(pid);
            continue;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd watched{signals, POLLIN, 0};
        if (pid < 0 || left <= 0 || poll(&watched, 1, int(left)) < 0)
            break;
        signalfd_siginfo info;
        [[maybe_unused]] const ssize_t drained = read(signals, &info, sizeof info);
    }
    for (auto it = byPid.cbegin(); it != byPid.cend(); ++it) {
        qWarning().noquote() << "Device" << name(devices[*it]) << "did not stop in time: killed";
        kill(it.key(), SIGKILL);
        waitpid(it.key(), &status, 0);
    }
    qDebug() << "Fleet stopped";
    return anyFailed ? 1 : 0;
}

// What the device's own run sequence reads: its command line without --fleet
// or --daemon, its profile, and a log whose every line names it.
char **deviceArgv = nullptr;

void becomeDevice(const FleetDevice &device, int readiness, int &argc, char **&argv)
{
    reportReadinessTo(readiness);
    // The console lines of a thousand devices (banner, hints) would bury the
    // fleet's; each device's log on standard error says all.
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    const QString place = device.address.contains(QLatin1Char(':'))
                              ? QStringLiteral("[%1]:%2").arg(device.address).arg(device.port)
                              : QStringLiteral("%1:%2").arg(device.address).arg(device.port);
    qSetMessagePattern(place + QStringLiteral(": %{if-category}%{category}: %{endif}%{message}"));
    useDeviceProfile(device.profile);
    QList<QByteArray> arguments = {argv[0], "--address", device.address.toLatin1(), "--port",
                                   QByteArray::number(device.port)};
    if (device.writableTables)
        arguments << "--writable-tables";
    if (device.stream)
        arguments << "--stream";
    // Lives as long as the process, as the original argv does.
    deviceArgv = new char *[arguments.size() + 1]();
    for (qsizetype i = 0; i < arguments.size(); ++i)
        deviceArgv[i] = strdup(arguments.at(i).constData());
    argc = int(arguments.size());
    argv = deviceArgv;
}

// Never freed, and held here so that a leak checker sees them held: each
// device makes itself from the parent's copy, and runs with its own argv.
const Fleet *fleet = nullptr;
FleetParent *parent = nullptr;

} // namespace

void launchFleet(int &argc, char **&argv)
{
    bool daemon = false;
    const QString path = fleetPath(argc, argv, daemon);
    if (path.isEmpty())
        return;
    QString error;
    fleet = new Fleet(loadFleet(path, error).value_or(Fleet()));
    if (fleet->entries.isEmpty()) {
        printLine(stderr, QStringLiteral("ERROR: ") + error);
        std::exit(1);
    }
    printLine(stdout, QStringLiteral("Starting a fleet of %1 devices from \"%2\"").arg(fleet->size()).arg(path));
    if (daemon) {
        printLine(stdout, QStringLiteral("Starting as daemon..."));
        daemonize();
    }
    qSetMessagePattern(QStringLiteral("fleet: %{if-category}%{category}: %{endif}%{message}"));
    parent = new FleetParent(*fleet);
    if (const std::optional<int> status = parent->run())
        std::exit(*status);
    becomeDevice(fleet->device(parent->device()), parent->readinessDescriptor(), argc, argv);
}
