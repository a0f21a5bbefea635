// Device profiles as JSON files: what --profile reads and --print-profile
// writes, so that another device needs no rebuild.
#include "data/device_profile.h"

#include "data/field_rules.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <cerrno>
#include <cmath>
#include <limits>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// One JSON member and the record field it fills: an integer, a text, or an
// IPv4 address kept as dotted text.
template <typename Record>
struct Field
{
    const char *name;
    qint32 Record::*integer;
    QString Record::*text;
    FieldRule rule;
    bool optional = false; // older profiles lack it: the record's default stands
};

template <typename Record>
Field<Record> integer(const char *name, qint32 Record::*member, FieldRule rule = FieldRule::Integer32)
{
    return {name, member, nullptr, rule};
}

template <typename Record>
Field<Record> text(const char *name, QString Record::*member, FieldRule rule = FieldRule::DisplayText)
{
    return {name, nullptr, member, rule};
}

template <typename Record>
Field<Record> optionalText(const char *name, QString Record::*member, FieldRule rule)
{
    return {name, nullptr, member, rule, true};
}

template <typename Record>
Field<Record> address(const char *name, QString Record::*member, FieldRule rule = FieldRule::Ipv4Address)
{
    return {name, nullptr, member, rule};
}

using P = DeviceProfile;
const QList<Field<P>> deviceFields = {
    text("deviceDesc", &P::deviceDesc), text("deviceManufacturer", &P::deviceManufacturer),
    text("devicePartNumber", &P::devicePartNumber), text("deviceSerialNumber", &P::deviceSerialNumber),
    text("deviceHardwareVersion", &P::deviceHardwareVersion),
    text("deviceSoftwareVersion", &P::deviceSoftwareVersion),
    text("deviceFirmwareVersion", &P::deviceFirmwareVersion), text("deviceMibVersion", &P::deviceMibVersion),
    integer("deviceType", &P::deviceType), text("deviceNatoStockNumber", &P::deviceNatoStockNumber),
    text("deviceUserDesc", &P::deviceUserDesc), integer("deviceMode", &P::deviceMode),
    integer("deviceReset", &P::deviceReset), integer("channelReset", &P::channelReset),
};

using F = VideoFormatEntry;
const QList<Field<F>> videoFormatFields = {
    integer("index", &F::index), integer("formatType", &F::formatType), integer("status", &F::status),
    text("encoding", &F::encoding), text("sampling", &F::sampling), integer("bitDepth", &F::bitDepth),
    integer("frameRate", &F::frameRate), text("colorimetry", &F::colorimetry),
    integer("interlaced", &F::interlaced), integer("compressionFactor", &F::compressionFactor),
    integer("compressionRate", &F::compressionRate), integer("maxHorizontalPixels", &F::maxHorizontalPixels),
    integer("maxVerticalPixels", &F::maxVerticalPixels), integer("roiHorizontalPixels", &F::roiHorizontalPixels),
    integer("roiVerticalPixels", &F::roiVerticalPixels), integer("roiOriginTop", &F::roiOriginTop),
    integer("roiOriginLeft", &F::roiOriginLeft), integer("roiExtentBottom", &F::roiExtentBottom),
    integer("roiExtentRight", &F::roiExtentRight),
    integer("rtpPayloadType", &F::rtpPayloadType, FieldRule::RtpPayloadType),
};

using C = ChannelEntry;
const QList<Field<C>> channelFields = {
    integer("index", &C::index), integer("channelType", &C::channelType), text("userDesc", &C::userDesc),
    integer("status", &C::status), integer("videoFormatIndex", &C::videoFormatIndex, FieldRule::VideoFormatIndex),
    text("encoding", &C::encoding), text("sampling", &C::sampling), integer("bitDepth", &C::bitDepth),
    integer("frameRate", &C::frameRate), text("colorimetry", &C::colorimetry),
    integer("interlaced", &C::interlaced), integer("compressionFactor", &C::compressionFactor),
    integer("compressionRate", &C::compressionRate), integer("horizontalPixels", &C::horizontalPixels),
    integer("verticalPixels", &C::verticalPixels), integer("roiOriginTop", &C::roiOriginTop),
    integer("roiOriginLeft", &C::roiOriginLeft), integer("roiExtentBottom", &C::roiExtentBottom),
    integer("roiExtentRight", &C::roiExtentRight), integer("rtpPayloadType", &C::rtpPayloadType, FieldRule::RtpPayloadType),
    address("multicastAddress", &C::multicastAddress, FieldRule::MulticastAddress),
    integer("multicastPort", &C::multicastPort, FieldRule::Port),
    integer("announceInterval", &C::announceInterval),
    integer("defaultVideoFormatIndex", &C::defaultVideoFormatIndex, FieldRule::VideoFormatIndex),
    address("defaultMulticastAddress", &C::defaultMulticastAddress, FieldRule::MulticastAddress),
    optionalText("source", &C::source, FieldRule::ChannelSource),
};

template <typename Record>
QJsonObject toJson(const Record &record, const QList<Field<Record>> &fields)
{
    QJsonObject object;
    for (const Field<Record> &field : fields) {
        object.insert(QLatin1String(field.name), field.integer ? QJsonValue(record.*field.integer)
                                                               : QJsonValue(record.*field.text));
    }
    return object;
}

template <typename Record>
QJsonArray toJson(const QList<Record> &records, const QList<Field<Record>> &fields)
{
    QJsonArray array;
    for (const Record &record : records)
        array.append(toJson(record, fields));
    return array;
}

// Reads a profile, remembering the first place that is not as expected.
class Reader
{
public:
    QString place;   // e.g. channels[1].multicastPort
    QString problem; // what was expected there

    bool fail(const QString &at, const QString &expected, const QString &found = QString())
    {
        place = at;
        problem = (found.isEmpty() ? QString() : found + QStringLiteral(", ")) + QStringLiteral("expected ") + expected;
        return false;
    }

    template <typename Record>
    bool read(const QJsonObject &object, const QString &at, const QList<Field<Record>> &fields, Record &record,
              const QStringList &others = {})
    {
        QStringList known = others;
        for (const Field<Record> &field : fields)
            known << QLatin1String(field.name);
        for (auto it = object.begin(); it != object.end(); ++it) {
            if (!known.contains(it.key()))
                return fail(at + it.key(), QStringLiteral("one of ") + known.join(QLatin1String(", ")),
                            QStringLiteral("unknown key"));
        }
        for (const Field<Record> &field : fields) {
            const QString key = QLatin1String(field.name);
            if (!object.contains(key) && field.optional)
                continue;
            if (!object.contains(key))
                return fail(at + key, field.integer ? QStringLiteral("an integer") : QStringLiteral("a text"),
                            QStringLiteral("missing"));
            if (!(field.integer ? readInteger(object.value(key), at + key, field.rule, record.*field.integer)
                                : readText(object.value(key), at + key, field, record.*field.text)))
                return false;
        }
        return true;
    }

    template <typename Record>
    bool readList(const QJsonObject &object, const QString &key, const QList<Field<Record>> &fields,
                  QList<Record> &records)
    {
        if (!object.value(key).isArray())
            return fail(key, QStringLiteral("an array of objects"));
        const QJsonArray array = object.value(key).toArray();
        QSet<qint32> indexes;
        for (qsizetype i = 0; i < array.size(); ++i) {
            const QString at = QStringLiteral("%1[%2]").arg(key).arg(i);
            Record record;
            if (!array.at(i).isObject())
                return fail(at, QStringLiteral("an object"));
            if (!read(array.at(i).toObject(), at + QLatin1Char('.'), fields, record))
                return false;
            if (record.index <= 0 || indexes.contains(record.index))
                return fail(at + QStringLiteral(".index"), QStringLiteral("a positive index used once"));
            indexes.insert(record.index);
            records.append(record);
        }
        return true;
    }

    // A member older profiles do not have: the default stands without it.
    bool readOptional(const QJsonObject &object, const QString &key, FieldRule rule, qint32 &target)
    {
        return !object.contains(key) || readInteger(object.value(key), key, rule, target);
    }

private:
    bool readInteger(const QJsonValue &value, const QString &at, FieldRule rule, qint32 &target)
    {
        const double number = value.toDouble();
        if (!value.isDouble() || std::floor(number) != number)
            return fail(at, QStringLiteral("an integer"));
        // Video format indexes are checked once the profile's formats are known.
        const FieldRule range = rule == FieldRule::VideoFormatIndex ? FieldRule::Integer32 : rule;
        if (number < std::numeric_limits<qint32>::min() || number > std::numeric_limits<qint32>::max()
            || !integerAllowed(range, qint64(number)))
            return fail(at, rangeOf(rule));
        target = qint32(number);
        return true;
    }

    template <typename Record>
    bool readText(const QJsonValue &value, const QString &at, const Field<Record> &field, QString &target)
    {
        if (!value.isString())
            return fail(at, QStringLiteral("a text"));
        target = value.toString();
        if (field.rule == FieldRule::ChannelSource)
            return channelSourceAllowed(target)
                   || fail(at, QStringLiteral("\"live\", \"loop\" or the absolute path of a video clip"));
        if (field.rule == FieldRule::Ipv4Address || field.rule == FieldRule::MulticastAddress) {
            const std::optional<quint32> ip = dottedQuad(target);
            return (ip && addressAllowed(field.rule, *ip)) || fail(at, rangeOf(field.rule));
        }
        for (QChar character : std::as_const(target)) {
            if (character.unicode() > 0xff)
                return fail(at, QStringLiteral("Latin-1 text"));
        }
        return target.size() <= maximumTextLength(field.rule)
               || fail(at, QStringLiteral("at most %1 characters").arg(maximumTextLength(field.rule)));
    }

    static QString rangeOf(FieldRule rule)
    {
        switch (rule) {
        case FieldRule::Port:
            return QStringLiteral("an integer from 0 to 65535");
        case FieldRule::RtpPayloadType:
            return QStringLiteral("an integer from 0 to 127");
        case FieldRule::MulticastTtl:
            return QStringLiteral("an integer from 1 to 255");
        case FieldRule::RebootSeconds:
            return QStringLiteral("an integer from 0 to 3600");
        case FieldRule::Dscp:
            return QStringLiteral("an integer from 0 to 63");
        case FieldRule::MulticastAddress:
            return QStringLiteral("a multicast address (224.0.0.0/4) or 0.0.0.0, in dotted decimal");
        case FieldRule::Ipv4Address:
            return QStringLiteral("an IPv4 address in dotted decimal");
        default:
            return QStringLiteral("an integer from -2147483648 to 2147483647");
        }
    }
};

bool checkFormatIndexes(Reader &reader, const DeviceProfile &profile)
{
    QSet<qint32> formats;
    for (const VideoFormatEntry &format : profile.videoFormats)
        formats.insert(format.index);
    for (qsizetype i = 0; i < profile.channels.size(); ++i) {
        const ChannelEntry &channel = profile.channels.at(i);
        for (const auto &[key, value] : {std::pair{"videoFormatIndex", channel.videoFormatIndex},
                                         std::pair{"defaultVideoFormatIndex", channel.defaultVideoFormatIndex}}) {
            if (!formats.contains(value))
                return reader.fail(QStringLiteral("channels[%1].%2").arg(i).arg(QLatin1String(key)),
                                   QStringLiteral("the index of one of the videoFormats"));
        }
    }
    return true;
}

} // namespace

QString lineAndColumn(const QByteArray &content, int offset)
{
    const QByteArray before = content.left(offset);
    const QString line = QString::fromUtf8(before.mid(before.lastIndexOf('\n') + 1));
    return QStringLiteral("line %1, column %2").arg(before.count('\n') + 1).arg(line.size() + 1);
}

QJsonObject profileObject(const DeviceProfile &profile)
{
    QJsonObject object = toJson(profile, deviceFields);
    object.insert(QStringLiteral("multicastTtl"), profile.multicastTtl);
    object.insert(QStringLiteral("rebootSeconds"), profile.rebootSeconds);
    object.insert(QStringLiteral("dscp"), profile.dscp);
    object.insert(QStringLiteral("videoFormats"), toJson(profile.videoFormats, videoFormatFields));
    object.insert(QStringLiteral("channels"), toJson(profile.channels, channelFields));
    return object;
}

QByteArray profileJson(const DeviceProfile &profile)
{
    return QJsonDocument(profileObject(profile)).toJson(QJsonDocument::Indented);
}

std::optional<DeviceProfile> profileFromJson(const QJsonObject &object, QString &place, QString &problem)
{
    Reader reader;
    DeviceProfile profile;
    if (reader.read(object, QString(), deviceFields, profile,
                    {QStringLiteral("videoFormats"), QStringLiteral("channels"), QStringLiteral("multicastTtl"),
                     QStringLiteral("rebootSeconds"), QStringLiteral("dscp")})
        && reader.readOptional(object, QStringLiteral("multicastTtl"), FieldRule::MulticastTtl, profile.multicastTtl)
        && reader.readOptional(object, QStringLiteral("rebootSeconds"), FieldRule::RebootSeconds,
                               profile.rebootSeconds)
        && reader.readOptional(object, QStringLiteral("dscp"), FieldRule::Dscp, profile.dscp)
        && reader.readList(object, QStringLiteral("videoFormats"), videoFormatFields, profile.videoFormats)
        && reader.readList(object, QStringLiteral("channels"), channelFields, profile.channels)
        && checkFormatIndexes(reader, profile))
        return profile;
    place = reader.place;
    problem = reader.problem;
    return std::nullopt;
}

std::optional<QByteArray> readDeviceFile(const QString &path, QString &problem)
{
    // Not blocking: a FIFO without a writer must be refused, not waited on.
    const int fd = open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat status = {};
    if (fd < 0 || fstat(fd, &status) != 0) {
        problem = qt_error_string(errno);
        if (fd >= 0)
            close(fd);
        return std::nullopt;
    }
    QFile file;
    file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle);
    if (!S_ISREG(status.st_mode)) {
        problem = QStringLiteral("not a regular file");
        return std::nullopt;
    }
    // A device, /dev/zero say, or a huge file would only exhaust memory.
    const QByteArray content = file.read(maximumDeviceFileSize + 1);
    if (content.size() > maximumDeviceFileSize) {
        problem = QStringLiteral("larger than %1 MiB").arg(maximumDeviceFileSize >> 20);
        return std::nullopt;
    }
    if (file.error() != QFileDevice::NoError) {
        problem = file.errorString();
        return std::nullopt;
    }
    return content;
}

std::optional<DeviceProfile> loadProfile(const QString &path, QString &error)
{
    QString problem;
    const std::optional<QByteArray> content = readDeviceFile(path, problem);
    if (!content) {
        error = QStringLiteral("Cannot read profile \"%1\": %2").arg(path, problem);
        return std::nullopt;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(*content, &parseError);
    Reader reader;
    if (document.isNull())
        reader.fail(lineAndColumn(*content, parseError.offset),
                    QStringLiteral("JSON (%1)").arg(parseError.errorString()));
    else if (!document.isObject())
        reader.fail(QStringLiteral("the top level"), QStringLiteral("an object"));
    else if (std::optional<DeviceProfile> profile = profileFromJson(document.object(), reader.place, reader.problem))
        return profile;
    error = QStringLiteral("Invalid profile \"%1\": %2: %3").arg(path, reader.place, reader.problem);
    return std::nullopt;
}
