// The channels' streams (--stream): the stream module loaded, and kept in
// step with the device data as managers change it.
#pragma once

#include "app/console.h"
#include "stream/stream_control.h"

#include <QObject>

#include <memory>

class ChannelStreaming : public QObject
{
public:
    // Loads the module and starts every channel whose row says so; null
    // after printing why when streaming cannot be had at all.
    static std::unique_ptr<ChannelStreaming> start(const Settings &settings);
    // Stops every stream, each announced as deleted.
    ~ChannelStreaming() override = default;

private:
    explicit ChannelStreaming(std::unique_ptr<StreamControl> control);

    std::unique_ptr<StreamControl> control;
};
