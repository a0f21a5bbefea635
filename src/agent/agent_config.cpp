// The agent configuration file that the Net-SNMP library reads at start-up.
#include "agent/agent_config.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

QString chooseConfigDirectory()
{
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
