// Process control for the agent: detaching into the background and turning
// shutdown signals into an orderly stop on the main thread.
#include "app/process_control.h"

#include "agent/vivoe_mib_server.h"
#include "app/readiness.h"

#include <QCoreApplication>
#include <QDebug>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

VivoeMibServer *activeServer = nullptr;

namespace {

// Self-pipe: the handler writes the signal number, the event loop reads it.
int signalPipe[2] = {-1, -1};

void failDaemonStep(const char *message)
{
    std::fprintf(stderr, "%s\n", message);
    std::fflush(stderr);
    std::exit(1);
}

void shutDownOnSignal(int signalNumber)
{
    qDebug() << "Received signal" << signalNumber << "- shutting down gracefully";
    if (activeServer)
        activeServer->stop();
    QCoreApplication::quit();
}

// Runs on the main thread between event-loop iterations, never inside an agent
// pass or a log write. A signal that came before the loop started waits in the
// pipe and is handled as soon as exec() begins, so it is never lost.
void drainSignalPipe()
{
    unsigned char signalNumber = 0;
    while (read(signalPipe[0], &signalNumber, 1) == 1)
        shutDownOnSignal(signalNumber);
}

} // namespace

void ensureStandardDescriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        // open() takes the lowest free number, which is this one.
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF && open("/dev/null", O_RDWR) != fd)
            std::exit(1);
    }
}

void raiseDescriptorLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

void daemonize()
{
    // The launching process stays until the detached one listens or fails,
    // so that the shell's exit status tells the truth.
    int readiness[2] = {-1, -1};
    if (pipe2(readiness, O_CLOEXEC) != 0)
        failDaemonStep("Failed to create the daemon's readiness pipe");
    pid_t pid = fork();
    if (pid < 0)
        failDaemonStep("Fork failed");
    if (pid > 0) {
        close(readiness[1]);
        std::exit(waitForDetachedReadiness(readiness[0]) ? 0 : 1);
    }
    close(readiness[0]);
    setReadinessPipe(readiness[1]);
    if (setsid() < 0)
        failDaemonStep("Failed to create new session");
    // The shell that started us may stop reading our output at any time; the
    // first log line after that must not kill the daemon (see also below).
    signal(SIGPIPE, SIG_IGN);
    pid = fork();
    if (pid < 0)
        failDaemonStep("Second fork failed");
    if (pid > 0)
        std::exit(0);
}

void setupSignalHandlers()
{
    if (signalPipe[0] < 0) {
        if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
            std::perror("signal pipe");
            return;
        }
        auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read,
                                             QCoreApplication::instance());
        QObject::connect(notifier, &QSocketNotifier::activated, notifier, &drainSignalPipe);
    }
    signal(SIGINT, signalHandler);
    signal(SIGTERM, signalHandler);
    signal(SIGHUP, signalHandler);
    // Once the reader of our output is gone, a log line must fail quietly
    // instead of killing the agent.
    signal(SIGPIPE, SIG_IGN);
}

void signalHandler(int signalNumber)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    // A full pipe means shutdown is already pending; dropping the byte is fine.
    [[maybe_unused]] const ssize_t written = write(signalPipe[1], &byte, 1);
    errno = savedErrno;
}
