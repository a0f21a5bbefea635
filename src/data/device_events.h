// Committed changes of the device data, for whatever acts on them (the
// channels' streams): the agent changes the data, the data says so.
#pragma once

#include <QObject>

class DeviceEvents : public QObject
{
    Q_OBJECT

public:
    static DeviceEvents &instance();

Q_SIGNALS:
    // A committed SET changed a cell of this channel row.
    void channelChanged(qint32 index);
    // A committed SET of channelReset: every channel starts afresh.
    void channelsReset();
    // A committed SET of deviceReset, whatever its value.
    void deviceResetCommitted();
};
