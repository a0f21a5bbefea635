// The simulated camera's data: identity values, the settable objects and the
// rows of its three tables. Process-wide, filled once at start-up.
#include "data/device_data.h"

#include "agent/vivoe_mib_server.h"
#include "data/ethernet_discovery.h"

#include <QDebug>

// ---- USER CUSTOMIZATION SECTION: device identity ----
// Replace these with the values of the real device.
QString deviceDesc() { return QStringLiteral("Grovenmarch Kestrunevale Day/Night Vision Camera"); }
QString deviceManufacturer() { return QStringLiteral("Grovenmarch Defence"); }
QString devicePartNumber() { return QStringLiteral("KESTRUNEVALE-DN-2CH"); }
QString deviceSerialNumber() { return QStringLiteral("KSV-2025-001234"); }
QString deviceHardwareVersion() { return QStringLiteral("v3.2"); }
QString deviceSoftwareVersion() { return QStringLiteral("v2.4.1"); }
QString deviceFirmwareVersion() { return QStringLiteral("v1.8.3"); }
QString deviceMibVersion() { return QStringLiteral("Issue 3"); }
int deviceType() { return 1; }

QString deviceUserDesc = QStringLiteral("Kestrunevale Day/Night Vision Camera");
QString deviceNatoStockNumber = QStringLiteral("5855-99-123-4567");
qint64 deviceMode = 1;
qint64 deviceReset = 1;
qint64 channelReset = 0;
bool dataInitialized = false;

QMap<qint32, EthernetInterfaceEntry> ethernetInterfaces;
QMap<qint32, VideoFormatEntry> videoFormats;
QMap<qint32, ChannelEntry> channels;

namespace {

// ---- USER CUSTOMIZATION SECTION: video channels and formats ----
// Both channels are day channels of the same 1080p25 H.264 stream; each one
// refers to the video format row of its own index.
ChannelEntry defaultChannel(qint32 index)
{
    ChannelEntry channel;
    channel.index = index;
    channel.channelType = 1;
    channel.userDesc = QStringLiteral("LSAS-Day-%1").arg(index);
    channel.status = 2;
    channel.videoFormatIndex = index;
    channel.encoding = QStringLiteral("H264");
    channel.sampling = QStringLiteral("4:2:0");
    channel.bitDepth = 8;
    channel.frameRate = 25;
    channel.colorimetry = QStringLiteral("BT709");
    channel.interlaced = 2;
    channel.compressionFactor = 15;
    channel.compressionRate = 2000000;
    channel.horizontalPixels = 1920;
    channel.verticalPixels = 1080;
    channel.rtpPayloadType = 96;
    channel.multicastAddress = QStringLiteral("239.192.1.%1").arg(index);
    channel.multicastPort = 0;
    channel.announceInterval = 30;
    channel.defaultVideoFormatIndex = index;
    channel.defaultMulticastAddress = QStringLiteral("0.0.0.0");
    return channel;
}

VideoFormatEntry defaultVideoFormat(qint32 index)
{
    VideoFormatEntry format;
    format.index = index;
    format.formatType = 1;
    format.status = 1;
    format.encoding = QStringLiteral("H264");
    format.sampling = QStringLiteral("4:2:0");
    format.bitDepth = 8;
    format.frameRate = 25;
    format.colorimetry = QStringLiteral("BT709");
    format.interlaced = 2;
    format.compressionFactor = 1;
    format.compressionRate = 2;
    format.maxHorizontalPixels = 1920;
    format.maxVerticalPixels = 1080;
    format.rtpPayloadType = 96;
    return format;
}
// ---- end of USER CUSTOMIZATION SECTION ----

} // namespace

void VivoeMibServer::initializeMibData()
{
    if (dataInitialized)
        return;
    channels.insert(1, defaultChannel(1));
    channels.insert(2, defaultChannel(2));
    videoFormats.insert(1, defaultVideoFormat(1));
    videoFormats.insert(2, defaultVideoFormat(2));
    discoverEthernetInterfaces();
    dataInitialized = true;
    qDebug() << "VIVOE MIB data initialized: Grovenmarch Kestrunevale" << channels.size() << "channels,"
             << videoFormats.size() << "video formats," << ethernetInterfaces.size() << "ethernet interfaces";
}
