// SETs of table cells: what the table data set helper cannot be handed, and,
// with stream control on (--writable-tables), the value checks it does not
// make and one log line per cell.
#include "agent/cell_writes.h"

#include "agent/set_value_guard.h"
#include "agent/wire_encoding.h"

#include <QDebug>
#include <QHostAddress>

#include <algorithm>
#include <iterator>
#include <utility>
#include <vector>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

namespace {

struct TableColumns
{
    const ColumnInfo *columns;
    size_t count;
    bool cellsWritable;
    CellStore store;

    const ColumnInfo *find(unsigned number) const
    {
        for (size_t i = 0; i < count; ++i) {
            if (columns[i].number == number)
                return &columns[i];
        }
        return nullptr;
    }
};

// The helper answers notWritable and wrongType itself; this adds what the MIB
// module's SYNTAX and rules say about the value. Rows that do not exist are
// left to the helper (noCreation).
int checkValue(const ColumnInfo &column, const netsnmp_variable_list *binding)
{
    if (column.writable && column.type == ASN_IPADDRESS && binding->type == misSizedIpAddressTag)
        return SNMP_ERR_WRONGLENGTH;
    if (!column.writable || binding->type != column.type)
        return SNMP_ERR_NOERROR;
    switch (column.type) {
    case ASN_IPADDRESS:
        if (binding->val_len != 4)
            return SNMP_ERR_WRONGLENGTH;
        return addressAllowed(column.rule, ipv4FromOctets(binding->val.string)) ? SNMP_ERR_NOERROR
                                                                                : SNMP_ERR_WRONGVALUE;
    case ASN_OCTET_STR:
        return binding->val_len <= size_t(maximumTextLength(column.rule)) ? SNMP_ERR_NOERROR
                                                                         : SNMP_ERR_WRONGLENGTH;
    default:
        return integerAllowed(column.rule, *binding->val.integer) ? SNMP_ERR_NOERROR : SNMP_ERR_WRONGVALUE;
    }
}

void logCellSet(const ColumnInfo &column, long row, const netsnmp_variable_list *binding)
{
    const QByteArray cell = QByteArray(column.name) + '.' + QByteArray::number(qint64(row)) + " set to";
    if (column.type == ASN_INTEGER)
        qDebug() << cell.constData() << qint64(*binding->val.integer);
    else if (column.type == ASN_IPADDRESS)
        qDebug() << cell.constData() << qPrintable(QHostAddress(ipv4FromOctets(binding->val.string)).toString());
    else
        qDebug() << cell.constData()
                 << textFromLatin1Octets(reinterpret_cast<const char *>(binding->val.string), qsizetype(binding->val_len));
}

// A SET may name one cell twice; the last value is the one kept and logged.
bool namedAgainLater(const netsnmp_request_info *request)
{
    const netsnmp_variable_list *name = request->requestvb;
    for (const netsnmp_request_info *later = request->next; later; later = later->next) {
        if (snmp_oid_compare(name->name, name->name_length, later->requestvb->name, later->requestvb->name_length)
            == 0)
            return true;
    }
    return false;
}

long rowOf(netsnmp_request_info *request)
{
    const netsnmp_table_request_info *info = netsnmp_extract_table_info(request);
    return info && info->indexes ? *info->indexes->val.integer : 0;
}

void relink(const std::vector<netsnmp_request_info *> &requests)
{
    for (size_t i = 0; i < requests.size(); ++i) {
        requests[i]->next = i + 1 < requests.size() ? requests[i + 1] : nullptr;
        requests[i]->prev = i > 0 ? requests[i - 1] : nullptr;
    }
}

std::vector<netsnmp_request_info *> listed(netsnmp_request_info *requests)
{
    std::vector<netsnmp_request_info *> all;
    for (netsnmp_request_info *request = requests; request; request = request->next)
        all.push_back(request);
    return all;
}

// The requests the table helper resolved into a row and a declared column.
std::vector<netsnmp_request_info *> withTableInfo(const std::vector<netsnmp_request_info *> &all)
{
    std::vector<netsnmp_request_info *> cells;
    std::copy_if(all.begin(), all.end(), std::back_inserter(cells),
                 [](netsnmp_request_info *request) { return netsnmp_extract_table_info(request) != nullptr; });
    return cells;
}

// Hands `some` of the requests on, then puts the whole list back as it was.
int callNextWith(const std::vector<netsnmp_request_info *> &some, const std::vector<netsnmp_request_info *> &all,
                 netsnmp_mib_handler *handler, netsnmp_handler_registration *reginfo,
                 netsnmp_agent_request_info *reqinfo)
{
    if (some.empty())
        return SNMP_ERR_NOERROR;
    relink(some);
    const int status = netsnmp_call_next_handler(handler, reginfo, reqinfo, some.front());
    relink(all);
    return status;
}

// Cells outside the declared columns carry no table information. The table
// helper looks only at the first request's after RESERVE1 and, when that
// one has none, calls nothing below it, so the row copies the data set
// helper made for the real cells are never freed. It is therefore handed
// the cells that have table information alone from then on.
int handleTableInfoFirst(netsnmp_mib_handler *handler, netsnmp_handler_registration *reginfo,
                         netsnmp_agent_request_info *reqinfo, netsnmp_request_info *requests)
{
    if (!MODE_IS_SET(reqinfo->mode) || reqinfo->mode == MODE_SET_RESERVE1)
        return netsnmp_call_next_handler(handler, reginfo, reqinfo, requests);
    const std::vector<netsnmp_request_info *> all = listed(requests);
    const std::vector<netsnmp_request_info *> cells = withTableInfo(all);
    return callNextWith(cells, all, handler, reginfo, reqinfo);
}

// The table data set helper keys the row copy it edits on the first varbind
// of the requests it is handed, so cells of two rows in one call would all
// land in the first row. It is therefore handed one row's requests at a time.
// Cells outside the declared columns, which the table helper has already
// refused, are not handed on at all: the helper dereferences their missing
// table information in the later SET phases.
int passRowByRow(netsnmp_mib_handler *handler, netsnmp_handler_registration *reginfo,
                 netsnmp_agent_request_info *reqinfo, netsnmp_request_info *requests)
{
    int result = SNMP_ERR_NOERROR;
    const std::vector<netsnmp_request_info *> all = listed(requests);
    const std::vector<netsnmp_request_info *> resolved = withTableInfo(all);
    std::vector<bool> passed(resolved.size(), false);
    for (size_t first = 0; first < resolved.size(); ++first) {
        if (passed[first])
            continue;
        std::vector<netsnmp_request_info *> row;
        for (size_t i = first; i < resolved.size(); ++i) {
            if (!passed[i] && rowOf(resolved[i]) == rowOf(resolved[first])) {
                row.push_back(resolved[i]);
                passed[i] = true;
            }
        }
        const int status = callNextWith(row, all, handler, reginfo, reqinfo);
        if (result == SNMP_ERR_NOERROR)
            result = status;
    }
    return result;
}

int handleCellWrites(netsnmp_mib_handler *handler, netsnmp_handler_registration *reginfo,
                     netsnmp_agent_request_info *reqinfo, netsnmp_request_info *requests)
{
    if (!MODE_IS_SET(reqinfo->mode))
        return netsnmp_call_next_handler(handler, reginfo, reqinfo, requests);
    const auto *table = static_cast<const TableColumns *>(handler->myvoid);
    for (netsnmp_request_info *request = requests; request; request = request->next) {
        const netsnmp_table_request_info *info = netsnmp_extract_table_info(request);
        const ColumnInfo *column = info ? table->find(info->colnum) : nullptr;
        if (reqinfo->mode == MODE_SET_RESERVE1 && table->cellsWritable && column && !request->processed
            && netsnmp_extract_table_row(request)) {
            if (const int error = checkValue(*column, request->requestvb))
                netsnmp_set_request_error(reqinfo, request, error);
        }
    }
    const int result = passRowByRow(handler, reginfo, reqinfo, requests);
    if (reqinfo->mode == MODE_SET_COMMIT) {
        for (netsnmp_request_info *request = requests; request; request = request->next) {
            const netsnmp_table_request_info *info = netsnmp_extract_table_info(request);
            const ColumnInfo *column = info ? table->find(info->colnum) : nullptr;
            if (column && !namedAgainLater(request)) {
                logCellSet(*column, rowOf(request), request->requestvb);
                table->store(qint32(rowOf(request)), size_t(column - table->columns), request->requestvb);
            }
        }
    }
    return result;
}

} // namespace

void guardCellWrites(netsnmp_handler_registration *registration, const ColumnInfo *columns, size_t count,
                     bool cellsWritable, CellStore store)
{
    netsnmp_mib_handler *gate = netsnmp_create_handler("vivoe_cell_writes", handleCellWrites);
    gate->myvoid = new TableColumns{columns, count, cellsWritable, std::move(store)};
    gate->data_free = [](void *table) { delete static_cast<TableColumns *>(table); };
    netsnmp_inject_handler_before(registration, gate, TABLE_DATA_SET_NAME);
    netsnmp_inject_handler_before(registration, netsnmp_create_handler("vivoe_table_info_first", handleTableInfoFirst),
                                  TABLE_HANDLER_NAME);
}
