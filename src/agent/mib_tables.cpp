// The three VIVOE conceptual tables, built once from the device data as
// Net-SNMP table data sets; the library serves them from then on.
#include "agent/mib_tables.h"

#include "agent/cell_writes.h"
#include "agent/mib_tree.h"
#include "agent/wire_encoding.h"
#include "data/device_data.h"
#include "data/device_events.h"

#include <QHostAddress>
#include <QMap>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

namespace {

enum class Cell { Integer, Text, Ipv4, HardwareAddress };

// One declared column and the entry field its cell is made from.
template <typename Entry>
struct TableColumn
{
    ColumnInfo info;
    Cell kind;
    qint32 Entry::*integer;
    QString Entry::*text = nullptr;
};

template <typename Entry>
QByteArray cellOctets(const TableColumn<Entry> &column, const Entry &entry)
{
    switch (column.kind) {
    case Cell::Integer:
        return integerOctets(entry.*column.integer);
    case Cell::Text:
        return latin1Octets(entry.*column.text);
    case Cell::Ipv4:
        return ipv4Octets(entry.*column.text);
    case Cell::HardwareAddress:
        return hardwareAddressOctets(entry.*column.text);
    }
    return {};
}

// The committed value back into the device data, as the cell encodes it.
template <typename Entry>
void storeCell(const TableColumn<Entry> &column, Entry &entry, const netsnmp_variable_list *binding)
{
    if (column.kind == Cell::Integer)
        entry.*column.integer = qint32(*binding->val.integer);
    else if (column.kind == Cell::Text)
        entry.*column.text = textFromLatin1Octets(reinterpret_cast<const char *>(binding->val.string),
                                                  qsizetype(binding->val_len));
    else if (column.kind == Cell::Ipv4)
        entry.*column.text = QHostAddress(ipv4FromOctets(binding->val.string)).toString();
}

template <typename Entry, size_t N>
void registerTable(const char *name, unsigned group, unsigned member, const TableColumn<Entry> (&columns)[N],
                   QMap<qint32, Entry> &entries, bool writableCells, void (*changed)(qint32 row) = nullptr)
{
    netsnmp_table_data_set *dataSet = netsnmp_create_table_data_set(name);
    netsnmp_table_set_add_indexes(dataSet, ASN_INTEGER, 0);
    // Column 1 is the index and lives only in the instance OID.
    for (const TableColumn<Entry> &column : columns)
        netsnmp_table_set_add_default_row(dataSet, column.info.number, column.info.type, column.info.writable,
                                          nullptr, 0);

    for (const Entry &entry : std::as_const(entries)) {
        netsnmp_table_row *row = netsnmp_create_table_data_row();
        const int index = entry.index;
        snmp_varlist_add_variable(&row->indexes, nullptr, 0, ASN_INTEGER, &index, sizeof index);
        for (const TableColumn<Entry> &column : columns) {
            const QByteArray octets = cellOctets(column, entry);
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
    guardCellWrites(registration, infos, N, writableCells,
                    [&columns, &entries, changed](qint32 row, size_t column, const netsnmp_variable_list *binding) {
                        storeCell(columns[column], entries[row], binding);
                        if (changed)
                            changed(row);
                    });
}

using Rule = FieldRule;

const TableColumn<EthernetInterfaceEntry> ethernetIfColumns[] = {
    {{2, "ethernetIfSpeed", ASN_INTEGER, false, Rule::Integer32}, Cell::Integer, &EthernetInterfaceEntry::speedMbps},
    {{3, "ethernetIfMacAddress", ASN_OCTET_STR, false, Rule::Integer32}, Cell::HardwareAddress, nullptr, &EthernetInterfaceEntry::macAddress},
    {{4, "ethernetIfIpAddress", ASN_IPADDRESS, true, Rule::Ipv4Address}, Cell::Ipv4, nullptr, &EthernetInterfaceEntry::ipAddress},
    {{5, "ethernetIfSubnetMask", ASN_IPADDRESS, true, Rule::Ipv4Address}, Cell::Ipv4, nullptr, &EthernetInterfaceEntry::subnetMask},
    {{6, "ethernetIfAuxiliaryAddress", ASN_IPADDRESS, true, Rule::Ipv4Address}, Cell::Ipv4, nullptr, &EthernetInterfaceEntry::auxiliaryAddress},
};

const TableColumn<VideoFormatEntry> videoFormatColumns[] = {
    {{2, "videoFormatType", ASN_INTEGER, false, Rule::Integer32}, Cell::Integer, &VideoFormatEntry::formatType},
    {{3, "videoFormatStatus", ASN_INTEGER, false, Rule::Integer32}, Cell::Integer, &VideoFormatEntry::status},
    {{4, "videoFormatEncoding", ASN_OCTET_STR, false, Rule::DisplayText}, Cell::Text, nullptr, &VideoFormatEntry::encoding},
    {{5, "videoFormatSampling", ASN_OCTET_STR, false, Rule::DisplayText}, Cell::Text, nullptr, &VideoFormatEntry::sampling},
    {{6, "videoFormatBitDepth", ASN_INTEGER, false, Rule::Integer32}, Cell::Integer, &VideoFormatEntry::bitDepth},
    {{7, "videoFormatFrameRate", ASN_INTEGER, false, Rule::Integer32}, Cell::Integer, &VideoFormatEntry::frameRate},
    {{8, "videoFormatColorimetry", ASN_OCTET_STR, false, Rule::DisplayText}, Cell::Text, nullptr, &VideoFormatEntry::colorimetry},
    {{9, "videoFormatInterlaced", ASN_INTEGER, false, Rule::Integer32}, Cell::Integer, &VideoFormatEntry::interlaced},
    {{10, "videoFormatCompressionFactor", ASN_INTEGER, true, Rule::Integer32}, Cell::Integer, &VideoFormatEntry::compressionFactor},
    {{11, "videoFormatCompressionRate", ASN_INTEGER, true, Rule::Integer32}, Cell::Integer, &VideoFormatEntry::compressionRate},
    {{12, "videoFormatMaxHorizontalPixels", ASN_INTEGER, false, Rule::Integer32}, Cell::Integer, &VideoFormatEntry::maxHorizontalPixels},
    {{13, "videoFormatMaxVerticalPixels", ASN_INTEGER, false, Rule::Integer32}, Cell::Integer, &VideoFormatEntry::maxVerticalPixels},
    {{14, "videoFormatRoiHorizontalPixels", ASN_INTEGER, true, Rule::Integer32}, Cell::Integer, &VideoFormatEntry::roiHorizontalPixels},
    {{15, "videoFormatRoiVerticalPixels", ASN_INTEGER, true, Rule::Integer32}, Cell::Integer, &VideoFormatEntry::roiVerticalPixels},
    {{16, "videoFormatRoiOriginTop", ASN_INTEGER, true, Rule::Integer32}, Cell::Integer, &VideoFormatEntry::roiOriginTop},
    {{17, "videoFormatRoiOriginLeft", ASN_INTEGER, true, Rule::Integer32}, Cell::Integer, &VideoFormatEntry::roiOriginLeft},
    {{18, "videoFormatRoiExtentBottom", ASN_INTEGER, true, Rule::Integer32}, Cell::Integer, &VideoFormatEntry::roiExtentBottom},
    {{19, "videoFormatRoiExtentRight", ASN_INTEGER, true, Rule::Integer32}, Cell::Integer, &VideoFormatEntry::roiExtentRight},
    {{20, "videoFormatRtpPayloadType", ASN_INTEGER, true, Rule::RtpPayloadType}, Cell::Integer, &VideoFormatEntry::rtpPayloadType},
};

const TableColumn<ChannelEntry> channelColumns[] = {
    {{2, "channelType", ASN_INTEGER, false, Rule::Integer32}, Cell::Integer, &ChannelEntry::channelType},
    {{3, "channelUserDesc", ASN_OCTET_STR, true, Rule::DisplayText}, Cell::Text, nullptr, &ChannelEntry::userDesc},
    {{4, "channelStatus", ASN_INTEGER, true, Rule::Integer32}, Cell::Integer, &ChannelEntry::status},
    {{5, "channelVideoFormatIndex", ASN_INTEGER, true, Rule::VideoFormatIndex}, Cell::Integer, &ChannelEntry::videoFormatIndex},
    {{6, "channelEncoding", ASN_OCTET_STR, true, Rule::DisplayText}, Cell::Text, nullptr, &ChannelEntry::encoding},
    {{7, "channelSampling", ASN_OCTET_STR, true, Rule::DisplayText}, Cell::Text, nullptr, &ChannelEntry::sampling},
    {{8, "channelBitDepth", ASN_INTEGER, false, Rule::Integer32}, Cell::Integer, &ChannelEntry::bitDepth},
    {{9, "channelFrameRate", ASN_INTEGER, true, Rule::Integer32}, Cell::Integer, &ChannelEntry::frameRate},
    {{10, "channelColorimetry", ASN_OCTET_STR, false, Rule::DisplayText}, Cell::Text, nullptr, &ChannelEntry::colorimetry},
    {{11, "channelInterlaced", ASN_INTEGER, false, Rule::Integer32}, Cell::Integer, &ChannelEntry::interlaced},
    {{12, "channelCompressionFactor", ASN_INTEGER, false, Rule::Integer32}, Cell::Integer, &ChannelEntry::compressionFactor},
    {{13, "channelCompressionRate", ASN_INTEGER, true, Rule::Integer32}, Cell::Integer, &ChannelEntry::compressionRate},
    {{14, "channelHorizontalPixels", ASN_INTEGER, true, Rule::Integer32}, Cell::Integer, &ChannelEntry::horizontalPixels},
    {{15, "channelVerticalPixels", ASN_INTEGER, true, Rule::Integer32}, Cell::Integer, &ChannelEntry::verticalPixels},
    {{16, "channelRoiOriginTop", ASN_INTEGER, true, Rule::Integer32}, Cell::Integer, &ChannelEntry::roiOriginTop},
    {{17, "channelRoiOriginLeft", ASN_INTEGER, true, Rule::Integer32}, Cell::Integer, &ChannelEntry::roiOriginLeft},
    {{18, "channelRoiExtentBottom", ASN_INTEGER, true, Rule::Integer32}, Cell::Integer, &ChannelEntry::roiExtentBottom},
    {{19, "channelRoiExtentRight", ASN_INTEGER, true, Rule::Integer32}, Cell::Integer, &ChannelEntry::roiExtentRight},
    {{20, "channelRtpPayloadType", ASN_INTEGER, true, Rule::RtpPayloadType}, Cell::Integer, &ChannelEntry::rtpPayloadType},
    {{21, "channelMulticastAddress", ASN_IPADDRESS, true, Rule::MulticastAddress}, Cell::Ipv4, nullptr, &ChannelEntry::multicastAddress},
    {{22, "channelMulticastPort", ASN_INTEGER, true, Rule::Port}, Cell::Integer, &ChannelEntry::multicastPort},
    {{23, "channelAnnounceInterval", ASN_INTEGER, true, Rule::Integer32}, Cell::Integer, &ChannelEntry::announceInterval},
    {{24, "channelDefaultVideoFormatIndex", ASN_INTEGER, true, Rule::VideoFormatIndex}, Cell::Integer, &ChannelEntry::defaultVideoFormatIndex},
    {{25, "channelDefaultMulticastAddress", ASN_IPADDRESS, true, Rule::MulticastAddress}, Cell::Ipv4, nullptr, &ChannelEntry::defaultMulticastAddress},
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
    registerTable("channelTable", 3, 3, channelColumns, channels, writableCells,
                  [](qint32 row) { Q_EMIT DeviceEvents::instance().channelChanged(row); });
}
