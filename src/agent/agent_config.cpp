// The agent configuration file that the Net-SNMP library reads at start-up.
#include "agent/agent_config.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

QString chooseConfigDirectory()
{
    // A search path given in SNMPCONFPATH replaces the library's default one:
    // the file goes where the library will read it, in the first directory of
    // that path the agent may write.
    const QStringList searchPath = qEnvironmentVariable("SNMPCONFPATH").split(QLatin1Char(':'), Qt::SkipEmptyParts);
    for (const QString &directory : searchPath) {
        if (QDir().mkpath(directory) && QFileInfo(directory).isWritable())
            return directory;
    }
    const QString systemDirectory = QStringLiteral("/etc/snmp");
    if (QFileInfo(systemDirectory).isWritable())
        return systemDirectory;
    return QDir::home().filePath(QStringLiteral(".snmp"));
}

QString writeAgentConfig(const QString &directory)
{
    QDir().mkpath(directory);
    const QString path = directory + QLatin1Char('/') + QLatin1String(agentName) + QStringLiteral(".conf");
    const QByteArray content("# Auto-generated VIVOE MIB Server config\n"
                             "rocommunity maplet\n"
                             "agentXSocket /dev/null\n");
    // The same at almost every start: left alone, it costs no disk sync, and a
    // thousand devices starting together do not take turns writing it.
    QFile current(path);
    if (current.open(QIODevice::ReadOnly) && current.read(content.size() + 1) == content) {
        qDebug() << "SNMP config in" << path << "is up to date";
        return path;
    }
    // Written aside and renamed into place: an agent starting beside this
    // one reads the old file or the new one, never a partial one.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text) || file.write(content) != content.size()
        || !file.commit()) {
        qWarning() << "Cannot write SNMP config to" << path << "-" << qPrintable(file.errorString());
        return QString();
    }
    qDebug() << "Wrote SNMP config to" << path;
    return path;
}

void logLocalConfigFiles()
{
    // The library's own search: SNMPCONFPATH alone when it is set, otherwise
    // its default path and then the state directory.
    const char *given = netsnmp_getenv("SNMPCONFPATH");
    const QString path = given ? QFile::decodeName(given)
                               : QFile::decodeName(get_configuration_directory()) + QLatin1Char(':')
                                     + QFile::decodeName(get_persistent_directory());
    const QStringList directories = path.split(QLatin1Char(':'), Qt::SkipEmptyParts);
    for (const QString &directory : directories) {
        const QFileInfo file(directory + QLatin1Char('/') + QLatin1String(agentName) + QStringLiteral(".local.conf"));
        if (file.isFile() && file.isReadable())
            qDebug() << "Read SNMP config from" << file.filePath();
    }
}
