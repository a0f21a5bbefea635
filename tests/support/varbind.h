// Variable bindings in one canonical text form, so that answers from
// Net-SNMP's tools and from an independent client can be compared.
#pragma once

#include <QList>
#include <QString>

struct VarBind
{
    QString oid;   // dotted, no leading dot
    QString type;  // STRING, INTEGER, IPADDRESS, or an exception name
    QString value; // STRING as lowercase hex, INTEGER in decimal, IPADDRESS dotted

    bool operator==(const VarBind &other) const
    {
        return oid == other.oid && type == other.type && value == other.value;
    }
};

// Parses the output of snmpget/snmpwalk/snmpbulkwalk run with -On -Ox.
QList<VarBind> parseNetSnmpOutput(const QString &text);

// Parses the lines printed by tests/blackbox/pysnmp_client.py.
QList<VarBind> parseCanonicalLines(const QString &text);

QString toText(const QList<VarBind> &binds);
QString hexOf(const QByteArray &bytes);
