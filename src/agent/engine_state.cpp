// Where the SNMPv3 engine keeps its state (engine ID, boot count, users
// created at run time) from one start to the next.
#include "agent/engine_state.h"

#include "agent/agent_config.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

namespace {

// Set while the library writes its state: its fsync after every line waits
// for the one storeEngineState makes for the whole file.
thread_local bool syncsDeferred = false;

bool persistentSaveDisabled()
{
    return netsnmp_ds_get_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE)
           || netsnmp_ds_get_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE)
           || netsnmp_ds_get_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD);
}

void syncPersistentFile()
{
    const char *given = netsnmp_getenv("SNMP_PERSISTENT_FILE");
    const QByteArray path = given ? QByteArray(given)
                                  : QByteArray(get_persistent_directory()) + '/' + agentName + ".conf";
    const int fd = open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    syscall(SYS_fsync, fd);
    close(fd);
}

} // namespace

// Takes the place of the C library's fsync for the whole program, the
// Net-SNMP library's calls included; outside a store it is the same call.
extern "C" int fsync(int fd)
{
    return syncsDeferred ? 0 : int(syscall(SYS_fsync, fd));
}

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

void keepEngineStateIfWritable(const QString &directory)
{
    errno = 0;
    if (QDir().mkpath(directory) && access(QFile::encodeName(directory).constData(), W_OK) == 0)
        return;
    qWarning().noquote() << QStringLiteral("Cannot keep SNMPv3 engine state in \"%1\" (%2): the engine ID and boots "
                                           "will not be kept across restarts")
                                .arg(directory, errno ? qt_error_string(errno) : QStringLiteral("not a directory"));
    // The library's stores look at the load switch, its save pass at the other.
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
}

QStringList missingDirectories(const QString &directory)
{
    QStringList missing;
    QString path = QDir::cleanPath(directory);
    while (!QFileInfo::exists(path)) {
        missing.append(path);
        // "." or "/" are their own parents: a lost working directory must not loop.
        const QString parent = QFileInfo(path).path();
        if (parent == path)
            break;
        path = parent;
    }
    return missing;
}

void removeStateDirectories(const QStringList &directories)
{
    if (directories.isEmpty())
        return;
    QDir(directories.first()).removeRecursively();
    for (qsizetype i = 1; i < directories.size(); ++i)
        QDir().rmdir(directories.at(i));
}

void storeEngineState()
{
    if (persistentSaveDisabled())
        return;
    // The last state is renamed aside, then the new file written line by line.
    syncsDeferred = true;
    snmp_save_persistent(agentName);
    snmp_call_callbacks(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_STORE_DATA, nullptr);
    syncsDeferred = false;
    // Before the copy of the last state is removed: a crash in between leaves
    // one whole file or the other.
    syncPersistentFile();
    snmp_clean_persistent(agentName);
}

void shutDownWithoutStore()
{
    // As keepEngineStateIfWritable says: the lines look at the load switch.
    const int switches[] = {NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD};
    int before[2];
    for (int i = 0; i < 2; ++i) {
        before[i] = netsnmp_ds_get_boolean(NETSNMP_DS_LIBRARY_ID, switches[i]);
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, switches[i], 1);
    }
    snmp_shutdown(agentName);
    for (int i = 0; i < 2; ++i)
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, switches[i], before[i]);
}

void countEngineRestart(unsigned long bootsBefore)
{
    // The library counts one boot more whenever its engine time goes back,
    // and it does when the engine starts again in one process: let it see
    // that now, then put the count where a new process would have it
    // (the token's handler stores the number it is given plus one).
    snmpv3_local_snmpEngineTime();
    QByteArray previous = QByteArray::number(qulonglong(bootsBefore));
    engineBoots_conf("engineBoots", previous.data());
}
