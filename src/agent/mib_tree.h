// Where the VIVOE objects live and what each scalar holds: one row per
// scalar serves both its registration and the handler's dispatch.
#pragma once

#include <QString>

#include <array>
#include <variant>

using ScalarValue = std::variant<QString, qint64>;

struct ScalarObject
{
    const char *name; // registration name and handler dispatch key
    unsigned group;   // 1 device, 2 video formats, 3 channels
    unsigned member;
    ScalarValue (*read)();
    // The variable a SET replaces; at most one is set, none for read-only.
    qint64 *settableInteger;
    QString *settableText;

    bool writable() const { return settableInteger || settableText; }
};

// In registration order, which is also OID order.
extern const std::array<ScalarObject, 17> scalarObjects;

const ScalarObject *findScalar(const char *name);

// 1.3.6.1.4.1.35990.3.1.<group>.<member>, as Net-SNMP sub-identifiers.
std::array<unsigned long, 11> vivoeOid(unsigned group, unsigned member);

// The VIVOE MIB itself, 1.3.6.1.4.1.35990.3.1: this device's sysObjectID.
std::array<unsigned long, 9> vivoeObjectId();
QString vivoeObjectIdText();

void registerScalars();
