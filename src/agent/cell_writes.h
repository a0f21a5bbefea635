// SETs of table cells: what the table data set helper cannot be handed, and,
// with stream control on (--writable-tables), the value checks it does not
// make and one log line per cell.
#pragma once

#include "data/field_rules.h"

#include <QtGlobal>

#include <cstddef>
#include <functional>

struct netsnmp_handler_registration_s;

// One column as the MIB module declares it.
struct ColumnInfo
{
    unsigned number;
    const char *name; // the MIB module's column name, for log lines
    unsigned char type;
    bool writable;
    FieldRule rule;
};

struct variable_list;

// Takes a committed cell's value into the device data: the row's index, the
// column's place in `columns`, and the value.
using CellStore = std::function<void(qint32 row, size_t column, const variable_list *binding)>;

// Puts the gate in front of the table data set helper of a registered table;
// `cellsWritable` as the table's cells were marked. `columns` must outlive
// the registration.
void guardCellWrites(netsnmp_handler_registration_s *registration, const ColumnInfo *columns, size_t count,
                     bool cellsWritable, CellStore store);
