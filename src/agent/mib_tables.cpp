// The three VIVOE conceptual tables, built once from the device data as
// Net-SNMP table data sets; the library serves them from then on.
#include "agent/mib_tables.h"

#include "agent/mib_tree.h"
#include "agent/wire_encoding.h"
#include "data/device_data.h"

#include <QMap>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

namespace {

// One declared column: number, type, declared writability and the encoder of
// its cell. Declared writability is what the MIB says; no cell is actually
// marked writable, so the library refuses every SET of a cell.
template <typename Entry>
struct TableColumn
{
    unsigned number;
    u_char type;
    bool writable;
    QByteArray (*cell)(const Entry &);
};

template <typename Entry, size_t N>
void registerTable(const char *name, unsigned group, unsigned member, const TableColumn<Entry> (&columns)[N],
                   const QMap<qint32, Entry> &entries)
{
    netsnmp_table_data_set *dataSet = netsnmp_create_table_data_set(name);
    netsnmp_table_set_add_indexes(dataSet, ASN_INTEGER, 0);
    // Column 1 is the index and lives only in the instance OID.
    for (const TableColumn<Entry> &column : columns)
        netsnmp_table_set_add_default_row(dataSet, column.number, column.type, column.writable, nullptr, 0);

    for (const Entry &entry : entries) {
        netsnmp_table_row *row = netsnmp_create_table_data_row();
        const int index = entry.index;
        snmp_varlist_add_variable(&row->indexes, nullptr, 0, ASN_INTEGER, &index, sizeof index);
        for (const TableColumn<Entry> &column : columns) {
            const QByteArray octets = column.cell(entry);
            netsnmp_set_row_column(row, column.number, column.type, octets.constData(), octets.size());
        }
        netsnmp_table_dataset_add_row(dataSet, row);
    }

    const std::array<oid, 11> id = vivoeOid(group, member);
    netsnmp_register_table_data_set(
        netsnmp_create_handler_registration(name, nullptr, id.data(), id.size(), HANDLER_CAN_RWRITE),
        dataSet, nullptr);
}

const TableColumn<EthernetInterfaceEntry> ethernetIfColumns[] = {
    {2, ASN_INTEGER, false, [](const EthernetInterfaceEntry &e) { return integerOctets(e.speedMbps); }},
    {3, ASN_OCTET_STR, false, [](const EthernetInterfaceEntry &e) { return hardwareAddressOctets(e.macAddress); }},
    {4, ASN_IPADDRESS, true, [](const EthernetInterfaceEntry &e) { return ipv4Octets(e.ipAddress); }},
    {5, ASN_IPADDRESS, true, [](const EthernetInterfaceEntry &e) { return ipv4Octets(e.subnetMask); }},
    {6, ASN_IPADDRESS, true, [](const EthernetInterfaceEntry &e) { return ipv4Octets(e.auxiliaryAddress); }},
};

const TableColumn<VideoFormatEntry> videoFormatColumns[] = {
    {2, ASN_INTEGER, false, [](const VideoFormatEntry &e) { return integerOctets(e.formatType); }},
    {3, ASN_INTEGER, false, [](const VideoFormatEntry &e) { return integerOctets(e.status); }},
    {4, ASN_OCTET_STR, false, [](const VideoFormatEntry &e) { return latin1Octets(e.encoding); }},
    {5, ASN_OCTET_STR, false, [](const VideoFormatEntry &e) { return latin1Octets(e.sampling); }},
    {6, ASN_INTEGER, false, [](const VideoFormatEntry &e) { return integerOctets(e.bitDepth); }},
    {7, ASN_INTEGER, false, [](const VideoFormatEntry &e) { return integerOctets(e.frameRate); }},
    {8, ASN_OCTET_STR, false, [](const VideoFormatEntry &e) { return latin1Octets(e.colorimetry); }},
    {9, ASN_INTEGER, false, [](const VideoFormatEntry &e) { return integerOctets(e.interlaced); }},
    {10, ASN_INTEGER, true, [](const VideoFormatEntry &e) { return integerOctets(e.compressionFactor); }},
    {11, ASN_INTEGER, true, [](const VideoFormatEntry &e) { return integerOctets(e.compressionRate); }},
    {12, ASN_INTEGER, false, [](const VideoFormatEntry &e) { return integerOctets(e.maxHorizontalPixels); }},
    {13, ASN_INTEGER, false, [](const VideoFormatEntry &e) { return integerOctets(e.maxVerticalPixels); }},
    {14, ASN_INTEGER, true, [](const VideoFormatEntry &e) { return integerOctets(e.roiHorizontalPixels); }},
    {15, ASN_INTEGER, true, [](const VideoFormatEntry &e) { return integerOctets(e.roiVerticalPixels); }},
    {16, ASN_INTEGER, true, [](const VideoFormatEntry &e) { return integerOctets(e.roiOriginTop); }},
    {17, ASN_INTEGER, true, [](const VideoFormatEntry &e) { return integerOctets(e.roiOriginLeft); }},
    {18, ASN_INTEGER, true, [](const VideoFormatEntry &e) { return integerOctets(e.roiExtentBottom); }},
    {19, ASN_INTEGER, true, [](const VideoFormatEntry &e) { return integerOctets(e.roiExtentRight); }},
    {20, ASN_INTEGER, true, [](const VideoFormatEntry &e) { return integerOctets(e.rtpPayloadType); }},
};

const TableColumn<ChannelEntry> channelColumns[] = {
    {2, ASN_INTEGER, false, [](const ChannelEntry &e) { return integerOctets(e.channelType); }},
    {3, ASN_OCTET_STR, true, [](const ChannelEntry &e) { return latin1Octets(e.userDesc); }},
    {4, ASN_INTEGER, true, [](const ChannelEntry &e) { return integerOctets(e.status); }},
    {5, ASN_INTEGER, true, [](const ChannelEntry &e) { return integerOctets(e.videoFormatIndex); }},
    {6, ASN_OCTET_STR, false, [](const ChannelEntry &e) { return latin1Octets(e.encoding); }},
    {7, ASN_OCTET_STR, false, [](const ChannelEntry &e) { return latin1Octets(e.sampling); }},
    {8, ASN_INTEGER, false, [](const ChannelEntry &e) { return integerOctets(e.bitDepth); }},
    {9, ASN_INTEGER, false, [](const ChannelEntry &e) { return integerOctets(e.frameRate); }},
    {10, ASN_OCTET_STR, false, [](const ChannelEntry &e) { return latin1Octets(e.colorimetry); }},
    {11, ASN_INTEGER, false, [](const ChannelEntry &e) { return integerOctets(e.interlaced); }},
    {12, ASN_INTEGER, false, [](const ChannelEntry &e) { return integerOctets(e.compressionFactor); }},
    {13, ASN_INTEGER, true, [](const ChannelEntry &e) { return integerOctets(e.compressionRate); }},
    {14, ASN_INTEGER, true, [](const ChannelEntry &e) { return integerOctets(e.horizontalPixels); }},
    {15, ASN_INTEGER, true, [](const ChannelEntry &e) { return integerOctets(e.verticalPixels); }},
    {16, ASN_INTEGER, true, [](const ChannelEntry &e) { return integerOctets(e.roiOriginTop); }},
    {17, ASN_INTEGER, true, [](const ChannelEntry &e) { return integerOctets(e.roiOriginLeft); }},
    {18, ASN_INTEGER, true, [](const ChannelEntry &e) { return integerOctets(e.roiExtentBottom); }},
    {19, ASN_INTEGER, true, [](const ChannelEntry &e) { return integerOctets(e.roiExtentRight); }},
    {20, ASN_INTEGER, false, [](const ChannelEntry &e) { return integerOctets(e.rtpPayloadType); }},
    {21, ASN_IPADDRESS, true, [](const ChannelEntry &e) { return ipv4Octets(e.multicastAddress); }},
    {22, ASN_INTEGER, true, [](const ChannelEntry &e) { return integerOctets(e.multicastPort); }},
    {23, ASN_INTEGER, true, [](const ChannelEntry &e) { return integerOctets(e.announceInterval); }},
    {24, ASN_INTEGER, true, [](const ChannelEntry &e) { return integerOctets(e.defaultVideoFormatIndex); }},
    {25, ASN_IPADDRESS, true, [](const ChannelEntry &e) { return ipv4Octets(e.defaultMulticastAddress); }},
};

} // namespace

void registerEthernetIfTable()
{
    registerTable("ethernetIfTable", 1, 12, ethernetIfColumns, ethernetInterfaces);
}

void registerVideoFormatTable()
{
    registerTable("videoFormatTable", 2, 2, videoFormatColumns, videoFormats);
}

void registerChannelTable()
{
    registerTable("channelTable", 3, 3, channelColumns, channels);
}
