// Device profiles as JSON files: what --profile reads and --print-profile
// writes, so that another device needs no rebuild.
#pragma once

#include "data/device_data.h"

#include <QByteArray>
#include <QString>

#include <optional>

// The profile as JSON, one member per field, loadable by loadProfile.
QByteArray profileJson(const DeviceProfile &profile);

// Files describing a device are read whole; nothing sane is larger.
inline constexpr qsizetype maximumDeviceFileSize = 16 << 20;

// The content of a regular file of at most maximumDeviceFileSize octets, or
// why it cannot be had: anything else (a FIFO, a device) is refused at once.
std::optional<QByteArray> readDeviceFile(const QString &path, QString &problem);

// Reads and checks a profile file. On failure `error` is one line naming the
// file, the place in it (e.g. channels[1].multicastPort) and what was expected.
std::optional<DeviceProfile> loadProfile(const QString &path, QString &error);
