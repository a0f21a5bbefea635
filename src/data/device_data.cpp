// The simulated camera's data: identity values, the settable objects and the
// rows of its three tables. Process-wide, filled once at start-up.
#include "data/device_data.h"

#include "agent/vivoe_mib_server.h"
#include "data/ethernet_discovery.h"

#include <QDebug>

QString deviceDesc() { return deviceProfile().deviceDesc; }
QString deviceManufacturer() { return deviceProfile().deviceManufacturer; }
QString devicePartNumber() { return deviceProfile().devicePartNumber; }
QString deviceSerialNumber() { return deviceProfile().deviceSerialNumber; }
QString deviceHardwareVersion() { return deviceProfile().deviceHardwareVersion; }
QString deviceSoftwareVersion() { return deviceProfile().deviceSoftwareVersion; }
QString deviceFirmwareVersion() { return deviceProfile().deviceFirmwareVersion; }
QString deviceMibVersion() { return deviceProfile().deviceMibVersion; }
int deviceType() { return deviceProfile().deviceType; }

// Filled from the profile in use by initializeMibData.
QString deviceUserDesc = builtInProfile().deviceUserDesc;
QString deviceNatoStockNumber = builtInProfile().deviceNatoStockNumber;
qint64 deviceMode = builtInProfile().deviceMode;
qint64 deviceReset = builtInProfile().deviceReset;
qint64 channelReset = builtInProfile().channelReset;
bool dataInitialized = false;

QMap<qint32, EthernetInterfaceEntry> ethernetInterfaces;
QMap<qint32, VideoFormatEntry> videoFormats;
QMap<qint32, ChannelEntry> channels;

namespace {

// ---- USER CUSTOMIZATION SECTION: video channels and formats ----
// Both channels are day channels of the same 1080p25 H.264 stream; each one
// refers to the video format row of its own index. A device profile
// (--profile, start from --print-profile) changes all of this without a rebuild.
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

DeviceProfile &activeProfile()
{
    static DeviceProfile profile = builtInProfile();
    return profile;
}

} // namespace

DeviceProfile builtInProfile()
{
    DeviceProfile profile;
    // ---- USER CUSTOMIZATION SECTION: device identity ----
    profile.deviceDesc = QStringLiteral("Grovenmarch Kestrunevale Day/Night Vision Camera");
    profile.deviceManufacturer = QStringLiteral("Grovenmarch Defence");
    profile.devicePartNumber = QStringLiteral("KESTRUNEVALE-DN-2CH");
    profile.deviceSerialNumber = QStringLiteral("KSV-2025-001234");
    profile.deviceHardwareVersion = QStringLiteral("v3.2");
    profile.deviceSoftwareVersion = QStringLiteral("v2.4.1");
    profile.deviceFirmwareVersion = QStringLiteral("v1.8.3");
    profile.deviceMibVersion = QStringLiteral("Issue 3");
    profile.deviceType = 1;
    profile.deviceNatoStockNumber = QStringLiteral("5855-99-123-4567");
    profile.deviceUserDesc = QStringLiteral("Kestrunevale Day/Night Vision Camera");
    profile.deviceMode = 1;
    profile.deviceReset = 1;
    profile.channelReset = 0;
    // ---- end of USER CUSTOMIZATION SECTION ----
    profile.channels = {defaultChannel(1), defaultChannel(2)};
    profile.videoFormats = {defaultVideoFormat(1), defaultVideoFormat(2)};
    return profile;
}

void useDeviceProfile(const DeviceProfile &profile)
{
    activeProfile() = profile;
}

const DeviceProfile &deviceProfile()
{
    return activeProfile();
}

void restoreProfileValues()
{
    const DeviceProfile &profile = deviceProfile();
    channels.clear();
    videoFormats.clear();
    ethernetInterfaces.clear();
    for (const ChannelEntry &channel : profile.channels)
        channels.insert(channel.index, channel);
    for (const VideoFormatEntry &format : profile.videoFormats)
        videoFormats.insert(format.index, format);
    deviceUserDesc = profile.deviceUserDesc;
    deviceNatoStockNumber = profile.deviceNatoStockNumber;
    deviceMode = profile.deviceMode;
    deviceReset = profile.deviceReset;
    channelReset = profile.channelReset;
    discoverEthernetInterfaces();
}

void VivoeMibServer::initializeMibData()
{
    if (dataInitialized)
        return;
    restoreProfileValues();
    dataInitialized = true;
    const DeviceProfile &profile = deviceProfile();
    qDebug() << "VIVOE MIB data initialized:" << profile.deviceDesc << channels.size() << "channels,"
             << videoFormats.size() << "video formats," << ethernetInterfaces.size() << "ethernet interfaces";
}
