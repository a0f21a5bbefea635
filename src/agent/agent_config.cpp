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
    return QDir::homePath() + QStringLiteral("/.snmp");
}

QString writeAgentConfig(const QString &directory)
{
    QDir().mkpath(directory);
    const QString path = directory + QStringLiteral("/vivoe_kestrunevale.conf");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text))
        return QString();
    const QByteArray content("# Auto-generated VIVOE MIB Server config\n"
                             "rocommunity maplet\n"
                             "agentXSocket /dev/null\n");
    // A short write (a full disk) must not be reported as written.
    const bool written = file.write(content) == content.size() && file.flush();
    file.close();
    if (!written)
        return QString();
    qDebug() << "Wrote SNMP config to" << path;
    return path;
}
