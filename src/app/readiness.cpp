// Telling whoever started the agent that it serves now: the shell that
// launched a daemon, and systemd for a Type=notify unit. Until then neither
// may take the start for a success.
#include "app/readiness.h"

#include <cerrno>

#include <unistd.h>

#include <systemd/sd-daemon.h>

namespace {

int readinessPipe = -1;
constexpr char ready = 'R';

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
    // Does nothing unless systemd gave us NOTIFY_SOCKET.
    sd_notify(0, "READY=1");
}
