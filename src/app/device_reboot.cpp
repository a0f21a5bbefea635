// A reboot of the simulated device on a committed SET of deviceReset, when a
// reboot time is set: silent for that long, then back as after a power cycle.
#include "app/device_reboot.h"

#include "agent/vivoe_mib_server.h"
#include "data/device_data.h"
#include "data/device_events.h"

#include <QCoreApplication>
#include <QDebug>

DeviceReboot::DeviceReboot(const Settings &settings, VivoeMibServer &server,
                           std::unique_ptr<ChannelStreaming> &streaming)
    : settings(settings), server(server), streaming(streaming),
      seconds(settings.rebootSeconds >= 0 ? settings.rebootSeconds : deviceProfile().rebootSeconds)
{
    silence.setSingleShot(true);
    connect(&silence, &QTimer::timeout, this, &DeviceReboot::comeBack);
    // Queued: the SET's answer goes out in the agent pass that committed it,
    // before the agent stops.
    if (seconds > 0)
        connect(&DeviceEvents::instance(), &DeviceEvents::deviceResetCommitted, this, &DeviceReboot::goSilent,
                Qt::QueuedConnection);
}

void DeviceReboot::goSilent()
{
    // A second SET read before the first one's reboot began finds it under way.
    if (silence.isActive())
        return;
    qDebug() << "Device rebooting: silent for" << seconds << "seconds";
    streaming.reset();
    // Its sockets closed, the engine's boots saved: nothing answers any more.
    server.stop();
    silence.start(seconds * 1000);
}

void DeviceReboot::comeBack()
{
    restoreProfileValues();
    if (!server.start(settings.port) || (settings.stream && !(streaming = ChannelStreaming::start(settings)))) {
        qWarning() << "Device did not come back from its reboot";
        QCoreApplication::exit(1);
        return;
    }
    qDebug() << "Device back from reboot";
}
