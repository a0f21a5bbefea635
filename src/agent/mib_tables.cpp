// The three VIVOE conceptual tables, built once from the device data as
// Net-SNMP table data sets; the library serves them from then on.
#include "agent/mib_tables.h"

#include "agent/cell_writes.h"
#include "agent/mib_tree.h"
#include "agent/wire_encoding.h"
#include "data/device_data.h"

#include <QMap>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

namespace {

// One declared column and the encoder of its cell.
template <typename Entry>
struct TableColumn
{
    ColumnInfo info;
    QByteArray (*cell)(const Entry &);
};

template <typename Entry, size_t N>
void registerTable(const char *name, unsigned group, unsigned member, const TableColumn<Entry> (&columns)[N],
                   const QMap<qint32, Entry> &entries, bool writableCells)
{
    netsnmp_table_data_set *dataSet = netsnmp_create_table_data_set(name);
    netsnmp_table_set_add_indexes(dataSet, ASN_INTEGER, 0);
    // Column 1 is the index and lives only in the instance OID.
    for (const TableColumn<Entry> &column : columns)
        netsnmp_table_set_add_default_row(dataSet, column.info.number, column.info.type, column.info.writable,
                                          nullptr, 0);

    for (const Entry &entry : entries) {
        netsnmp_table_row *row = netsnmp_create_table_data_row();
        const int index = entry.index;
        snmp_varlist_add_variable(&row->indexes, nullptr, 0, ASN_INTEGER, &index, sizeof index);
        for (const TableColumn<Entry> &column : columns) {
            const QByteArray octets = column.cell(entry);
            netsnmp_set_row_column(row, column.info.number, column.info.type, octets.constData(), octets.size());
            // The default row's flag covers only rows created through SNMP.
            if (writableCells && column.info.writable)
                netsnmp_mark_row_column_writable(row, column.info.number, 1);
        }
        netsnmp_table_dataset_add_row(dataSet, row);
    }

    const std::array<oid, 11> id = vivoeOid(group, member);
    netsnmp_handler_registration *registration =
        netsnmp_create_handler_registration(name, nullptr, id.data(), id.size(), HANDLER_CAN_RWRITE);
    netsnmp_register_table_data_set(registration, dataSet, nullptr);
    static ColumnInfo infos[N];
    for (size_t i = 0; i < N; ++i)
        infos[i] = columns[i].info;
    guardCellWrites(registration, infos, N, writableCells);
}

using Rule = FieldRule;

const TableColumn<EthernetInterfaceEntry> ethernetIfColumns[] = {
    {{2, "ethernetIfSpeed", ASN_INTEGER, false, Rule::Integer32},
     [](const EthernetInterfaceEntry &e) { return integerOctets(e.speedMbps); }},
    {{3, "ethernetIfMacAddress", ASN_OCTET_STR, false, Rule::Integer32},
     [](const EthernetInterfaceEntry &e) { return hardwareAddressOctets(e.macAddress); }},
    {{4, "ethernetIfIpAddress", ASN_IPADDRESS, true, Rule::Ipv4Address},
     [](const EthernetInterfaceEntry &e) { return ipv4Octets(e.ipAddress); }},
    {{5, "ethernetIfSubnetMask", ASN_IPADDRESS, true, Rule::Ipv4Address},
     [](const EthernetInterfaceEntry &e) { return ipv4Octets(e.subnetMask); }},
    {{6, "ethernetIfAuxiliaryAddress", ASN_IPADDRESS, true, Rule::Ipv4Address},
     [](const EthernetInterfaceEntry &e) { return ipv4Octets(e.auxiliaryAddress); }},
};

const TableColumn<VideoFormatEntry> videoFormatColumns[] = {
    {{2, "videoFormatType", ASN_INTEGER, false, Rule::Integer32},
     [](const VideoFormatEntry &e) { return integerOctets(e.formatType); }},
    {{3, "videoFormatStatus", ASN_INTEGER, false, Rule::Integer32},
     [](const VideoFormatEntry &e) { return integerOctets(e.status); }},
    {{4, "videoFormatEncoding", ASN_OCTET_STR, false, Rule::DisplayText},
     [](const VideoFormatEntry &e) { return latin1Octets(e.encoding); }},
    {{5, "videoFormatSampling", ASN_OCTET_STR, false, Rule::DisplayText},
     [](const VideoFormatEntry &e) { return latin1Octets(e.sampling); }},
    {{6, "videoFormatBitDepth", ASN_INTEGER, false, Rule::Integer32},
     [](const VideoFormatEntry &e) { return integerOctets(e.bitDepth); }},
    {{7, "videoFormatFrameRate", ASN_INTEGER, false, Rule::Integer32},
     [](const VideoFormatEntry &e) { return integerOctets(e.frameRate); }},
    {{8, "videoFormatColorimetry", ASN_OCTET_STR, false, Rule::DisplayText},
     [](const VideoFormatEntry &e) { return latin1Octets(e.colorimetry); }},
    {{9, "videoFormatInterlaced", ASN_INTEGER, false, Rule::Integer32},
     [](const VideoFormatEntry &e) { return integerOctets(e.interlaced); }},
    {{10, "videoFormatCompressionFactor", ASN_INTEGER, true, Rule::Integer32},
     [](const VideoFormatEntry &e) { return integerOctets(e.compressionFactor); }},
    {{11, "videoFormatCompressionRate", ASN_INTEGER, true, Rule::Integer32},
     [](const VideoFormatEntry &e) { return integerOctets(e.compressionRate); }},
    {{12, "videoFormatMaxHorizontalPixels", ASN_INTEGER, false, Rule::Integer32},
     [](const VideoFormatEntry &e) { return integerOctets(e.maxHorizontalPixels); }},
    {{13, "videoFormatMaxVerticalPixels", ASN_INTEGER, false, Rule::Integer32},
     [](const VideoFormatEntry &e) { return integerOctets(e.maxVerticalPixels); }},
    {{14, "videoFormatRoiHorizontalPixels", ASN_INTEGER, true, Rule::Integer32},
     [](const VideoFormatEntry &e) { return integerOctets(e.roiHorizontalPixels); }},
    {{15, "videoFormatRoiVerticalPixels", ASN_INTEGER, true, Rule::Integer32},
     [](const VideoFormatEntry &e) { return integerOctets(e.roiVerticalPixels); }},
    {{16, "videoFormatRoiOriginTop", ASN_INTEGER, true, Rule::Integer32},
     [](const VideoFormatEntry &e) { return integerOctets(e.roiOriginTop); }},
    {{17, "videoFormatRoiOriginLeft", ASN_INTEGER, true, Rule::Integer32},
     [](const VideoFormatEntry &e) { return integerOctets(e.roiOriginLeft); }},
    {{18, "videoFormatRoiExtentBottom", ASN_INTEGER, true, Rule::Integer32},
     [](const VideoFormatEntry &e) { return integerOctets(e.roiExtentBottom); }},
    {{19, "videoFormatRoiExtentRight", ASN_INTEGER, true, Rule::Integer32},
     [](const VideoFormatEntry &e) { return integerOctets(e.roiExtentRight); }},
    {{20, "videoFormatRtpPayloadType", ASN_INTEGER, true, Rule::RtpPayloadType},
     [](const VideoFormatEntry &e) { return integerOctets(e.rtpPayloadType); }},
};

const TableColumn<ChannelEntry> channelColumns[] = {
    {{2, "channelType", ASN_INTEGER, false, Rule::Integer32},
     [](const ChannelEntry &e) { return integerOctets(e.channelType); }},
    {{3, "channelUserDesc", ASN_OCTET_STR, true, Rule::DisplayText},
     [](const ChannelEntry &e) { return latin1Octets(e.userDesc); }},
    {{4, "channelStatus", ASN_INTEGER, true, Rule::Integer32},
     [](const ChannelEntry &e) { return integerOctets(e.status); }},
    {{5, "channelVideoFormatIndex", ASN_INTEGER, true, Rule::VideoFormatIndex},
     [](const ChannelEntry &e) { return integerOctets(e.videoFormatIndex); }},
    {{6, "channelEncoding", ASN_OCTET_STR, false, Rule::DisplayText},
     [](const ChannelEntry &e) { return latin1Octets(e.encoding); }},
    {{7, "channelSampling", ASN_OCTET_STR, false, Rule::DisplayText},
     [](const ChannelEntry &e) { return latin1Octets(e.sampling); }},
    {{8, "channelBitDepth", ASN_INTEGER, false, Rule::Integer32},
     [](const ChannelEntry &e) { return integerOctets(e.bitDepth); }},
    {{9, "channelFrameRate", ASN_INTEGER, false, Rule::Integer32},
     [](const ChannelEntry &e) { return integerOctets(e.frameRate); }},
    {{10, "channelColorimetry", ASN_OCTET_STR, false, Rule::DisplayText},
     [](const ChannelEntry &e) { return latin1Octets(e.colorimetry); }},
    {{11, "channelInterlaced", ASN_INTEGER, false, Rule::Integer32},
     [](const ChannelEntry &e) { return integerOctets(e.interlaced); }},
    {{12, "channelCompressionFactor", ASN_INTEGER, false, Rule::Integer32},
     [](const ChannelEntry &e) { return integerOctets(e.compressionFactor); }},
    {{13, "channelCompressionRate", ASN_INTEGER, true, Rule::Integer32},
     [](const ChannelEntry &e) { return integerOctets(e.compressionRate); }},
    {{14, "channelHorizontalPixels", ASN_INTEGER, true, Rule::Integer32},
     [](const ChannelEntry &e) { return integerOctets(e.horizontalPixels); }},
    {{15, "channelVerticalPixels", ASN_INTEGER, true, Rule::Integer32},
     [](const ChannelEntry &e) { return integerOctets(e.verticalPixels); }},
    {{16, "channelRoiOriginTop", ASN_INTEGER, true, Rule::Integer32},
     [](const ChannelEntry &e) { return integerOctets(e.roiOriginTop); }},
    {{17, "channelRoiOriginLeft", ASN_INTEGER, true, Rule::Integer32},
     [](const ChannelEntry &e) { return integerOctets(e.roiOriginLeft); }},
    {{18, "channelRoiExtentBottom", ASN_INTEGER, true, Rule::Integer32},
     [](const ChannelEntry &e) { return integerOctets(e.roiExtentBottom); }},
    {{19, "channelRoiExtentRight", ASN_INTEGER, true, Rule::Integer32},
     [](const ChannelEntry &e) { return integerOctets(e.roiExtentRight); }},
    {{20, "channelRtpPayloadType", ASN_INTEGER, false, Rule::RtpPayloadType},
     [](const ChannelEntry &e) { return integerOctets(e.rtpPayloadType); }},
    {{21, "channelMulticastAddress", ASN_IPADDRESS, true, Rule::MulticastAddress},
     [](const ChannelEntry &e) { return ipv4Octets(e.multicastAddress); }},
    {{22, "channelMulticastPort", ASN_INTEGER, true, Rule::Port},
     [](const ChannelEntry &e) { return integerOctets(e.multicastPort); }},
    {{23, "channelAnnounceInterval", ASN_INTEGER, true, Rule::Integer32},
     [](const ChannelEntry &e) { return integerOctets(e.announceInterval); }},
    {{24, "channelDefaultVideoFormatIndex", ASN_INTEGER, true, Rule::VideoFormatIndex},
     [](const ChannelEntry &e) { return integerOctets(e.defaultVideoFormatIndex); }},
    {{25, "channelDefaultMulticastAddress", ASN_IPADDRESS, true, Rule::MulticastAddress},
     [](const ChannelEntry &e) { return ipv4Octets(e.defaultMulticastAddress); }},
};

} // namespace

void registerEthernetIfTable(bool writableCells)
{
    registerTable("ethernetIfTable", 1, 12, ethernetIfColumns, ethernetInterfaces, writableCells);
}

void registerVideoFormatTable(bool writableCells)
{
    registerTable("videoFormatTable", 2, 2, videoFormatColumns, videoFormats, writableCells);
}

void registerChannelTable(bool writableCells)
{
    registerTable("channelTable", 3, 3, channelColumns, channels, writableCells);
}
