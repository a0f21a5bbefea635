// The simulated camera's data: identity values, the settable objects and the
// rows of its three tables. Process-wide, filled once at start-up.
#pragma once

#include <QList>
#include <QMap>
#include <QString>

// Identity values, fixed for the run by the device profile.
QString deviceDesc();
QString deviceManufacturer();
QString devicePartNumber();
QString deviceSerialNumber();
QString deviceHardwareVersion();
QString deviceSoftwareVersion();
QString deviceFirmwareVersion();
QString deviceMibVersion();
int deviceType();

// deviceUserDesc, deviceMode, deviceReset and channelReset are settable through
// SNMP; a committed SET of either reset is also announced by DeviceEvents.
extern QString deviceUserDesc;
extern QString deviceNatoStockNumber;
extern qint64 deviceMode;
extern qint64 deviceReset;
extern qint64 channelReset;
extern bool dataInitialized;

struct EthernetInterfaceEntry
{
    qint32 index = 0;
    qint32 speedMbps = 1000;
    QString macAddress;
    QString ipAddress;
    QString subnetMask;
    QString auxiliaryAddress = QStringLiteral("0.0.0.0");
};

struct VideoFormatEntry
{
    qint32 index = 0;
    qint32 formatType = 0;
    qint32 status = 0;
    QString encoding;
    QString sampling;
    qint32 bitDepth = 0;
    qint32 frameRate = 0;
    QString colorimetry;
    qint32 interlaced = 0;
    qint32 compressionFactor = 0;
    qint32 compressionRate = 0;
    qint32 maxHorizontalPixels = 0;
    qint32 maxVerticalPixels = 0;
    qint32 roiHorizontalPixels = 0;
    qint32 roiVerticalPixels = 0;
    qint32 roiOriginTop = 0;
    qint32 roiOriginLeft = 0;
    qint32 roiExtentBottom = 0;
    qint32 roiExtentRight = 0;
    qint32 rtpPayloadType = 0;
};

// The region-of-interest edges come last here but are served as columns
// 16 to 19, before rtpPayloadType.
struct ChannelEntry
{
    qint32 index = 0;
    qint32 channelType = 0;
    QString userDesc;
    qint32 status = 0;
    qint32 videoFormatIndex = 0;
    QString encoding;
    QString sampling;
    qint32 bitDepth = 0;
    qint32 frameRate = 0;
    QString colorimetry;
    qint32 interlaced = 0;
    qint32 compressionFactor = 0;
    qint32 compressionRate = 0;
    qint32 horizontalPixels = 0;
    qint32 verticalPixels = 0;
    qint32 rtpPayloadType = 0;
    QString multicastAddress;
    qint32 multicastPort = 0;
    qint32 announceInterval = 0;
    qint32 defaultVideoFormatIndex = 0;
    QString defaultMulticastAddress;
    qint32 roiOriginTop = 0;
    qint32 roiOriginLeft = 0;
    qint32 roiExtentBottom = 0;
    qint32 roiExtentRight = 0;
    // Where the pictures come from: "live", "loop" or a clip's path. Not in the
    // MIB: a profile's choice, never walked or set.
    QString source = QStringLiteral("live");
};

// Keyed by the entry's index; iteration order is the rows' order.
extern QMap<qint32, EthernetInterfaceEntry> ethernetInterfaces;
extern QMap<qint32, VideoFormatEntry> videoFormats;
extern QMap<qint32, ChannelEntry> channels;

// What a device is: identity, the first values of its settable objects, its
// video formats and channels. Its Ethernet rows come from the host.
struct DeviceProfile
{
    QString deviceDesc;
    QString deviceManufacturer;
    QString devicePartNumber;
    QString deviceSerialNumber;
    QString deviceHardwareVersion;
    QString deviceSoftwareVersion;
    QString deviceFirmwareVersion;
    QString deviceMibVersion;
    qint32 deviceType = 0;
    QString deviceNatoStockNumber;
    QString deviceUserDesc;
    qint32 deviceMode = 0;
    qint32 deviceReset = 0;
    qint32 channelReset = 0;
    qint32 multicastTtl = 1; // of the channels' streams and their announcements
    // After a committed SET of deviceReset: silent this long, then back as
    // after a power cycle; 0 only stores the value.
    qint32 rebootSeconds = 0;
    qint32 dscp = 0;         // their IP packets' differentiated services code point
    QList<VideoFormatEntry> videoFormats;
    QList<ChannelEntry> channels;
};

// The camera this program simulates unless told otherwise.
DeviceProfile builtInProfile();

// The profile the device data is filled from when the server is built; the
// built-in one unless this replaces it before.
void useDeviceProfile(const DeviceProfile &profile);
const DeviceProfile &deviceProfile();

// The settable objects and the table rows as a power cycle leaves them: the
// profile's values, and the Ethernet rows found on the host afresh.
void restoreProfileValues();
