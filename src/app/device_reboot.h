// A reboot of the simulated device on a committed SET of deviceReset, when a
// reboot time is set: silent for that long, then back as after a power cycle.
#pragma once

#include "app/console.h"
#include "app/streaming.h"

#include <QObject>
#include <QTimer>

#include <memory>

class VivoeMibServer;

class DeviceReboot : public QObject
{
public:
    // Acts only when --reboot-seconds, else the profile's rebootSeconds, is
    // above 0; `streaming` is null without --stream.
    DeviceReboot(const Settings &settings, VivoeMibServer &server, std::unique_ptr<ChannelStreaming> &streaming);

private:
    void goSilent();
    void comeBack();

    const Settings &settings;
    VivoeMibServer &server;
    std::unique_ptr<ChannelStreaming> &streaming;
    int seconds;
    QTimer silence;
};
