// Telling whoever started the agent that it serves now: the shell that
// launched a daemon, and systemd for a Type=notify unit. Until then neither
// may take the start for a success.
#include "app/readiness.h"

#include <QDebug>
#include <QtGlobal>

#include <cerrno>
#include <cstdlib>

#include <dlfcn.h>
#include <unistd.h>

namespace {

int readinessPipe = -1;
constexpr char ready = 'R';

// libsystemd's sd_notify, loaded only when systemd asks for readiness: the
// library and those it pulls in would cost every other run memory for nothing.
void notifySystemd()
{
    if (!qEnvironmentVariableIsSet("NOTIFY_SOCKET"))
        return;
    void *systemd = dlopen("libsystemd.so.0", RTLD_NOW | RTLD_LOCAL);
    using Notify = int (*)(int, const char *);
    const auto notify = systemd ? reinterpret_cast<Notify>(dlsym(systemd, "sd_notify")) : nullptr;
    // systemd would only time the start out; the log says why.
    if (!notify)
        qWarning() << "Cannot tell systemd the agent is ready:" << dlerror();
    else if (const int result = notify(0, "READY=1"); result <= 0)
        qWarning() << "Cannot tell systemd the agent is ready:" << qPrintable(qt_error_string(-result));
}

} // namespace

bool waitForDetachedReadiness(int readDescriptor)
{
    char report = 0;
    ssize_t count;
    do {
        count = read(readDescriptor, &report, 1);
    } while (count < 0 && errno == EINTR);
    return count == 1 && report == ready;
}

void setReadinessPipe(int writeDescriptor)
{
    readinessPipe = writeDescriptor;
}

void reportReadiness()
{
    if (readinessPipe >= 0) {
        [[maybe_unused]] const ssize_t written = write(readinessPipe, &ready, 1);
        close(readinessPipe);
        readinessPipe = -1;
    }
    notifySystemd();
}

void reportReadinessTo(int writeDescriptor)
{
    if (readinessPipe >= 0)
        close(readinessPipe);
    readinessPipe = writeDescriptor;
    unsetenv("NOTIFY_SOCKET");
}

void reportPartialReadiness()
{
    if (readinessPipe >= 0) {
        // Anything but the ready byte fails the launching shell's wait.
        constexpr char partial = 'P';
        [[maybe_unused]] const ssize_t written = write(readinessPipe, &partial, 1);
        close(readinessPipe);
        readinessPipe = -1;
    }
    notifySystemd();
}
