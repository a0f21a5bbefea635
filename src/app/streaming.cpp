// The channels' streams (--stream): the stream module loaded, and kept in
// step with the device data as managers change it.
#include "app/streaming.h"

#include "data/device_data.h"
#include "data/device_events.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QHostAddress>
#include <QLibrary>
#include <QNetworkInterface>

#include <cstdio>
#include <utility>

namespace {

// Next to the binary in the build tree, below the library directory once installed.
QStringList moduleCandidates()
{
    const QString binaryDir = QCoreApplication::applicationDirPath();
    return {binaryDir + QStringLiteral("/libvivoe-stream.so"),
            binaryDir + QStringLiteral("/" VIVOE_STREAM_MODULE_DIR "/libvivoe-stream.so")};
}

CreateStreamControl loadModule(QString &error)
{
    for (const QString &path : moduleCandidates()) {
        if (!QFileInfo::exists(path))
            continue;
        QLibrary module(path);
        if (auto create = reinterpret_cast<CreateStreamControl>(module.resolve(createStreamControlName)))
            return create;
        error = module.errorString();
        return nullptr;
    }
    error = QStringLiteral("libvivoe-stream.so not found next to the binary or in " VIVOE_STREAM_MODULE_DIR);
    return nullptr;
}

// Sent from the interface that owns --address, announced as coming from it.
StreamSettings streamSettings(const Settings &settings)
{
    StreamSettings stream;
    stream.deviceDescription = deviceDesc();
    stream.ttl = deviceProfile().multicastTtl;
    stream.dscp = deviceProfile().dscp;
    const QHostAddress address(settings.address);
    if (settings.addressGiven && address.protocol() == QAbstractSocket::IPv4Protocol)
        stream.sourceAddress = address.toString();
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &interface : interfaces) {
        const QList<QNetworkAddressEntry> entries = interface.addressEntries();
        for (const QNetworkAddressEntry &entry : entries) {
            if (settings.addressGiven && entry.ip().isEqual(address, QHostAddress::StrictConversion))
                stream.interfaceName = interface.name();
        }
    }
    stream.originAddress = !stream.sourceAddress.isEmpty() ? stream.sourceAddress
                           : !ethernetInterfaces.isEmpty() ? ethernetInterfaces.first().ipAddress
                                                           : QStringLiteral("127.0.0.1");
    return stream;
}

} // namespace

std::unique_ptr<ChannelStreaming> ChannelStreaming::start(const Settings &settings)
{
    QString error;
    const CreateStreamControl create = loadModule(error);
    std::unique_ptr<StreamControl> control(create ? create(streamSettings(settings), error) : nullptr);
    if (!control) {
        std::fprintf(stderr, "ERROR: Cannot stream: %s\n", qPrintable(error));
        std::fflush(stderr);
        return nullptr;
    }
    return std::unique_ptr<ChannelStreaming>(new ChannelStreaming(std::move(control)));
}

ChannelStreaming::ChannelStreaming(std::unique_ptr<StreamControl> streams) : control(std::move(streams))
{
    // Queued: a SET's answer goes out before its stream changes.
    connect(&DeviceEvents::instance(), &DeviceEvents::channelChanged, this,
            [this](qint32 index) { control->apply(channels.value(index)); }, Qt::QueuedConnection);
    connect(&DeviceEvents::instance(), &DeviceEvents::channelsReset, this, [this] { control->restartAll(); },
            Qt::QueuedConnection);
    for (const ChannelEntry &channel : std::as_const(channels))
        control->apply(channel);
}
