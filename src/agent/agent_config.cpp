// The agent configuration file that the Net-SNMP library reads at start-up.
#include "agent/agent_config.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

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
    QFile file(path);
    // A short write (a full disk) must not be reported as written.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text) || file.write(content) != content.size()
        || !file.flush()) {
        qWarning() << "Cannot write SNMP config to" << path << "-" << qPrintable(file.errorString());
        return QString();
    }
    file.close();
    qDebug() << "Wrote SNMP config to" << path;
    return path;
}
