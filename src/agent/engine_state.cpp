// Where the SNMPv3 engine keeps its state (engine ID, boot count, users
// created at run time) from one start to the next.
#include "agent/engine_state.h"

#include <QDir>

#include <unistd.h>

QString engineStateDirectory(const QString &endpoint)
{
    // systemd may list several directories; ours is the first.
    QString base = qEnvironmentVariable("STATE_DIRECTORY").section(QLatin1Char(':'), 0, 0);
    if (base.isEmpty() && geteuid() == 0)
        base = QStringLiteral("/var/lib/vivoe-mib-server");
    if (base.isEmpty()) {
        const QString xdgState = qEnvironmentVariable("XDG_STATE_HOME");
        base = (xdgState.isEmpty() ? QDir::homePath() + QStringLiteral("/.local/state") : xdgState)
               + QStringLiteral("/vivoe-mib-server");
    }
    return base + QLatin1Char('/') + endpoint;
}
