// Variable bindings in one canonical text form, so that answers from
// Net-SNMP's tools and from an independent client can be compared.
#include "varbind.h"

#include <QStringList>

namespace {

VarBind parseNetSnmpLine(const QString &line)
{
    VarBind bind;
    const int equals = line.indexOf(QStringLiteral(" = "));
    bind.oid = line.left(equals).mid(1);
    const QString rest = line.mid(equals + 3).trimmed();
    if (rest == QStringLiteral("\"\"")) {
        bind.type = QStringLiteral("STRING");
        return bind;
    }
    const int colon = rest.indexOf(QStringLiteral(": "));
    const QString type = colon < 0 ? rest : rest.left(colon);
    const QString value = colon < 0 ? QString() : rest.mid(colon + 2);
    if (type == QStringLiteral("Hex-STRING")) {
        bind.type = QStringLiteral("STRING");
        bind.value = QString(value).remove(QLatin1Char(' ')).toLower();
    } else if (type == QStringLiteral("INTEGER") || type == QStringLiteral("IpAddress")) {
        bind.type = type.toUpper();
        bind.value = value;
    } else if (rest.startsWith(QStringLiteral("No Such Object"))) {
        bind.type = QStringLiteral("NoSuchObject");
    } else if (rest.startsWith(QStringLiteral("No Such Instance"))) {
        bind.type = QStringLiteral("NoSuchInstance");
    } else if (rest.startsWith(QStringLiteral("No more variables"))) {
        bind.type = QStringLiteral("EndOfMibView");
    } else {
        bind.type = rest; // unexpected: keep it visible in a failed comparison
    }
    return bind;
}

} // namespace

QList<VarBind> parseNetSnmpOutput(const QString &text)
{
    // Long hex strings continue on lines of their own.
    QStringList joined;
    for (const QString &line : text.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        if (line == QStringLiteral("End of MIB")) // SNMPv1 walks end with this
            continue;
        if (line.startsWith(QLatin1Char('.')) || joined.isEmpty())
            joined << line;
        else
            joined.last() += QLatin1Char(' ') + line;
    }
    QList<VarBind> binds;
    for (const QString &line : joined)
        binds << parseNetSnmpLine(line);
    return binds;
}

QList<VarBind> parseCanonicalLines(const QString &text)
{
    QList<VarBind> binds;
    for (const QString &line : text.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QStringList fields = line.split(QLatin1Char(' '));
        binds << VarBind{fields.value(0), fields.value(1), fields.value(2)};
    }
    return binds;
}

QString toText(const QList<VarBind> &binds)
{
    QStringList lines;
    for (const VarBind &bind : binds)
        lines << bind.oid + QLatin1Char(' ') + bind.type + QLatin1Char(' ') + bind.value;
    return lines.join(QLatin1Char('\n'));
}

QString hexOf(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex());
}
