// Device profiles as JSON files: what --profile reads and --print-profile
// writes, so that another device needs no rebuild.
#pragma once

#include "data/device_data.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <optional>

// The profile as JSON, one member per field, loadable by loadProfile.
QJsonObject profileObject(const DeviceProfile &profile);
QByteArray profileJson(const DeviceProfile &profile);

// Files describing a device are read whole; nothing sane is larger.
inline constexpr qsizetype maximumDeviceFileSize = 16 << 20;

// The content of a regular file of at most maximumDeviceFileSize octets, or
// why it cannot be had: anything else (a FIFO, a device) is refused at once.
std::optional<QByteArray> readDeviceFile(const QString &path, QString &problem);

// Where a JSON parse error lies, as an editor shows it ("line 3, column 4"):
// Qt gives the error's octet offset in the file.
QString lineAndColumn(const QByteArray &content, int offset);

// The checks loadProfile makes, for a profile that comes as a JSON object from
// elsewhere (a walk). On failure `place` is e.g. channels[1].multicastPort and
// `problem` says what was expected there.
std::optional<DeviceProfile> profileFromJson(const QJsonObject &object, QString &place, QString &problem);

// Reads and checks a profile file. On failure `error` is one line naming the
// file, the place in it (e.g. channels[1].multicastPort) and what was expected.
std::optional<DeviceProfile> loadProfile(const QString &path, QString &error);
