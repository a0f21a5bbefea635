// Committed changes of the device data, for whatever acts on them.
#include "data/device_events.h"

DeviceEvents &DeviceEvents::instance()
{
    static DeviceEvents events;
    return events;
}
