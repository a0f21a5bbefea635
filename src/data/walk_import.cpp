// Device profiles from a walk of a real device, as Net-SNMP's snmpwalk prints
// it or as snmpsim records it (.snmprec), so that a simulated copy of a camera
// needs no hand-written JSON.
#include "data/walk_import.h"

#include "data/device_profile.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSet>

#include <algorithm>
#include <limits>
#include <utility>

namespace {

const char vivoeRoot[] = "1.3.6.1.4.1.35990.3.1";
const char vivoeModule[] = "VIVOE-CAMERA-SIM-MIB";

enum class Syntax { Integer, Text, Address };
const char *const walkTypes[] = {"an INTEGER", "a STRING or Hex-STRING", "an IpAddress"};
const char *const recordTags[] = {"tag 2 (Integer32)", "tag 4 or 4x (OCTET STRING)", "tag 64 or 64x (IpAddress)"};

// An object that a profile member comes from, under its OID below the VIVOE
// root without the instance. The row counts fill no member: they only tell an
// empty table from one the walk did not reach. The Ethernet objects are not
// here: the agent discovers its interfaces from the host.
struct WalkObject
{
    const char *oid;
    const char *name;  // as a walk with the MIB module loaded names it
    const char *key;   // the profile member, in a row of `table` for a column
    Syntax syntax;
    const char *table; // the profile array of a column's or a row count's table
};

using S = Syntax;
const WalkObject walkObjects[] = {
    {"1.1", "deviceDesc", "deviceDesc", S::Text, nullptr},
    {"1.2", "deviceManufacturer", "deviceManufacturer", S::Text, nullptr},
    {"1.3", "devicePartNumber", "devicePartNumber", S::Text, nullptr},
    {"1.4", "deviceSerialNumber", "deviceSerialNumber", S::Text, nullptr},
    {"1.5", "deviceHardwareVersion", "deviceHardwareVersion", S::Text, nullptr},
    {"1.6", "deviceSoftwareVersion", "deviceSoftwareVersion", S::Text, nullptr},
    {"1.7", "deviceFirmwareVersion", "deviceFirmwareVersion", S::Text, nullptr},
    {"1.8", "deviceMibVersion", "deviceMibVersion", S::Text, nullptr},
    {"1.9", "deviceType", "deviceType", S::Integer, nullptr},
    {"1.10", "deviceUserDesc", "deviceUserDesc", S::Text, nullptr},
    {"1.13", "deviceNatoStockNumber", "deviceNatoStockNumber", S::Text, nullptr},
    {"1.14", "deviceMode", "deviceMode", S::Integer, nullptr},
    {"1.15", "deviceReset", "deviceReset", S::Integer, nullptr},
    {"2.1", "videoFormatNumber", nullptr, S::Integer, "videoFormats"},
    {"2.2.1.2", "videoFormatType", "formatType", S::Integer, "videoFormats"},
    {"2.2.1.3", "videoFormatStatus", "status", S::Integer, "videoFormats"},
    {"2.2.1.4", "videoFormatEncoding", "encoding", S::Text, "videoFormats"},
    {"2.2.1.5", "videoFormatSampling", "sampling", S::Text, "videoFormats"},
    {"2.2.1.6", "videoFormatBitDepth", "bitDepth", S::Integer, "videoFormats"},
    {"2.2.1.7", "videoFormatFrameRate", "frameRate", S::Integer, "videoFormats"},
    {"2.2.1.8", "videoFormatColorimetry", "colorimetry", S::Text, "videoFormats"},
    {"2.2.1.9", "videoFormatInterlaced", "interlaced", S::Integer, "videoFormats"},
    {"2.2.1.10", "videoFormatCompressionFactor", "compressionFactor", S::Integer, "videoFormats"},
    {"2.2.1.11", "videoFormatCompressionRate", "compressionRate", S::Integer, "videoFormats"},
    {"2.2.1.12", "videoFormatMaxHorizontalPixels", "maxHorizontalPixels", S::Integer, "videoFormats"},
    {"2.2.1.13", "videoFormatMaxVerticalPixels", "maxVerticalPixels", S::Integer, "videoFormats"},
    {"2.2.1.14", "videoFormatRoiHorizontalPixels", "roiHorizontalPixels", S::Integer, "videoFormats"},
    {"2.2.1.15", "videoFormatRoiVerticalPixels", "roiVerticalPixels", S::Integer, "videoFormats"},
    {"2.2.1.16", "videoFormatRoiOriginTop", "roiOriginTop", S::Integer, "videoFormats"},
    {"2.2.1.17", "videoFormatRoiOriginLeft", "roiOriginLeft", S::Integer, "videoFormats"},
    {"2.2.1.18", "videoFormatRoiExtentBottom", "roiExtentBottom", S::Integer, "videoFormats"},
    {"2.2.1.19", "videoFormatRoiExtentRight", "roiExtentRight", S::Integer, "videoFormats"},
    {"2.2.1.20", "videoFormatRtpPayloadType", "rtpPayloadType", S::Integer, "videoFormats"},
    {"3.1", "channelReset", "channelReset", S::Integer, nullptr},
    {"3.2", "channelNumber", nullptr, S::Integer, "channels"},
    {"3.3.1.2", "channelType", "channelType", S::Integer, "channels"},
    {"3.3.1.3", "channelUserDesc", "userDesc", S::Text, "channels"},
    {"3.3.1.4", "channelStatus", "status", S::Integer, "channels"},
    {"3.3.1.5", "channelVideoFormatIndex", "videoFormatIndex", S::Integer, "channels"},
    {"3.3.1.6", "channelEncoding", "encoding", S::Text, "channels"},
    {"3.3.1.7", "channelSampling", "sampling", S::Text, "channels"},
    {"3.3.1.8", "channelBitDepth", "bitDepth", S::Integer, "channels"},
    {"3.3.1.9", "channelFrameRate", "frameRate", S::Integer, "channels"},
    {"3.3.1.10", "channelColorimetry", "colorimetry", S::Text, "channels"},
    {"3.3.1.11", "channelInterlaced", "interlaced", S::Integer, "channels"},
    {"3.3.1.12", "channelCompressionFactor", "compressionFactor", S::Integer, "channels"},
    {"3.3.1.13", "channelCompressionRate", "compressionRate", S::Integer, "channels"},
    {"3.3.1.14", "channelHorizontalPixels", "horizontalPixels", S::Integer, "channels"},
    {"3.3.1.15", "channelVerticalPixels", "verticalPixels", S::Integer, "channels"},
    {"3.3.1.16", "channelRoiOriginTop", "roiOriginTop", S::Integer, "channels"},
    {"3.3.1.17", "channelRoiOriginLeft", "roiOriginLeft", S::Integer, "channels"},
    {"3.3.1.18", "channelRoiExtentBottom", "roiExtentBottom", S::Integer, "channels"},
    {"3.3.1.19", "channelRoiExtentRight", "roiExtentRight", S::Integer, "channels"},
    {"3.3.1.20", "channelRtpPayloadType", "rtpPayloadType", S::Integer, "channels"},
    {"3.3.1.21", "channelMulticastAddress", "multicastAddress", S::Address, "channels"},
    {"3.3.1.22", "channelMulticastPort", "multicastPort", S::Integer, "channels"},
    {"3.3.1.23", "channelAnnounceInterval", "announceInterval", S::Integer, "channels"},
    {"3.3.1.24", "channelDefaultVideoFormatIndex", "defaultVideoFormatIndex", S::Integer, "channels"},
    {"3.3.1.25", "channelDefaultMulticastAddress", "defaultMulticastAddress", S::Address, "channels"},
};

// The profile's arrays and the tables a walk names them by.
const std::pair<const char *, const char *> walkTables[] = {{"videoFormats", "videoFormatTable"},
                                                            {"channels", "channelTable"}};

bool isColumn(const WalkObject &object)
{
    return object.table && object.key;
}

// One object of the walk: where it stands, what it names and its value as
// printed, a text that runs over several lines joined by newlines.
struct Varbind
{
    int line = 0;
    bool vivoe = false;                 // below the VIVOE root
    const WalkObject *object = nullptr; // null: nothing a profile takes
    QString instance;                   // as a walk names it: deviceDesc.0, channelType.3
    qint64 row = 0;                     // of a column; -1 when the instance is no number
    QString type;                       // as snmpwalk prints it (STRING, INTEGER ...), or the .snmprec tag
    QString value;
};

void setInstance(const WalkObject &object, const QString &instance, Varbind &varbind)
{
    bool isNumber = false;
    const qint64 row = instance.toLongLong(&isNumber);
    varbind.row = isNumber ? row : -1;
    // A scalar has the one instance 0; anything else under it is no object of ours.
    if (!isColumn(object) && instance != QLatin1String("0"))
        return;
    varbind.object = &object;
    varbind.instance = QLatin1String(object.name) + QLatin1Char('.') + instance;
}

void locateNumeric(const QString &oid, Varbind &varbind)
{
    const QString root = QLatin1String(vivoeRoot) + QLatin1Char('.');
    if (!oid.startsWith(root))
        return;
    varbind.vivoe = true;
    const QString below = oid.mid(root.size());
    const qsizetype dot = below.lastIndexOf(QLatin1Char('.'));
    for (const WalkObject &object : walkObjects) {
        if (dot > 0 && below.left(dot) == QLatin1String(object.oid))
            return setInstance(object, below.mid(dot + 1), varbind);
    }
}

void locateNamed(const QString &module, const QString &name, const QString &instance, Varbind &varbind)
{
    // What a walk shows with the IETF modules but not ours loaded.
    if (module == QLatin1String("SNMPv2-SMI") && name == QLatin1String("enterprises"))
        return locateNumeric(QStringLiteral("1.3.6.1.4.1.") + instance, varbind);
    if (module != QLatin1String(vivoeModule))
        return;
    varbind.vivoe = true;
    for (const WalkObject &object : walkObjects) {
        if (name == QLatin1String(object.name))
            return setInstance(object, instance, varbind);
    }
}

// Finds what an OID as snmpwalk prints it names: numeric (-On), from iso, or
// by module and name. False when the text is no OID.
bool locate(const QString &text, Varbind &varbind)
{
    static const QRegularExpression numeric(QStringLiteral(R"(^\.?(\d+(?:\.\d+)*)$)"));
    static const QRegularExpression iso(QStringLiteral(R"(^iso((?:\.\d+)+)$)"));
    static const QRegularExpression named(QStringLiteral(R"(^([A-Za-z][\w-]*)::([A-Za-z][\w-]*)(?:\.(.+))?$)"));
    if (const QRegularExpressionMatch match = numeric.match(text); match.hasMatch())
        locateNumeric(match.captured(1), varbind);
    else if (const QRegularExpressionMatch match = iso.match(text); match.hasMatch())
        locateNumeric(QLatin1Char('1') + match.captured(1), varbind);
    else if (const QRegularExpressionMatch match = named.match(text); match.hasMatch())
        locateNamed(match.captured(1), match.captured(2), match.captured(3), varbind);
    else
        return false;
    return true;
}

// Where the quote that closes a quoted text stands, from `from` on; -1 when
// it does not. Net-SNMP escapes the quotes and backslashes inside.
qsizetype closingQuote(const QString &text, qsizetype from)
{
    for (qsizetype i = from; i < text.size(); ++i) {
        if (text.at(i) == QLatin1Char('\\'))
            ++i;
        else if (text.at(i) == QLatin1Char('"'))
            return i;
    }
    return -1;
}

bool isQuoted(const QString &value)
{
    return value.startsWith(QLatin1Char('"')) && closingQuote(value, 1) == value.size() - 1;
}

// A STRING as snmpwalk printed it: quoted with escapes, or as it is where
// the MIB module gives the object a display hint.
QString printedText(const QString &value)
{
    if (!isQuoted(value))
        return value;
    QString text;
    for (qsizetype i = 1; i < value.size() - 1; ++i) {
        if (value.at(i) == QLatin1Char('\\'))
            ++i;
        text += value.at(i);
    }
    return text;
}

// Hex-STRING octets in pairs over several lines, or a .snmprec run of digits.
std::optional<QByteArray> hexOctets(QString hex)
{
    static const QRegularExpression pairs(QStringLiteral("^([0-9A-Fa-f]{2})*$"));
    static const QRegularExpression space(QStringLiteral("\\s"));
    hex.remove(space);
    if (!pairs.match(hex).hasMatch())
        return std::nullopt;
    return QByteArray::fromHex(hex.toLatin1());
}

std::optional<QJsonValue> integerValue(const QString &value)
{
    // 5, 1000 Mbit/s with the units of the MIB module, day(1) with an enumeration
    static const QRegularExpression integer(QStringLiteral(R"(^(?:(-?\d+)(?: .*)?|[A-Za-z][\w-]*\((-?\d+)\))$)"));
    const QRegularExpressionMatch match = integer.match(value);
    bool isNumber = false;
    const qint64 number = (match.captured(1) + match.captured(2)).toLongLong(&isNumber);
    return isNumber ? std::optional<QJsonValue>(double(number)) : std::nullopt;
}

std::optional<QJsonValue> textValue(const std::optional<QByteArray> &octets)
{
    return octets ? std::optional<QJsonValue>(QString::fromLatin1(*octets)) : std::nullopt;
}

std::optional<QJsonValue> addressValue(const std::optional<QByteArray> &octets)
{
    if (!octets || octets->size() != 4)
        return std::nullopt;
    const auto octet = [&octets](int i) { return QString::number(quint8(octets->at(i))); };
    return QJsonValue(QStringList{octet(0), octet(1), octet(2), octet(3)}.join(QLatin1Char('.')));
}

// The value as the profile wants it; nothing when the type is not the one
// of the object or the value is unreadable.
std::optional<QJsonValue> profileValue(const Varbind &varbind)
{
    const QString &type = varbind.type;
    switch (varbind.object->syntax) {
    case Syntax::Integer:
        if (type == QLatin1String("INTEGER") || type == QLatin1String("2"))
            return integerValue(varbind.value);
        break;
    case Syntax::Text:
        if (type == QLatin1String("STRING"))
            return QJsonValue(printedText(varbind.value));
        if (type == QLatin1String("4"))
            return QJsonValue(varbind.value);
        if (type == QLatin1String("Hex-STRING") || type == QLatin1String("4x"))
            return textValue(hexOctets(varbind.value));
        break;
    case Syntax::Address:
        if (type == QLatin1String("IpAddress") || type == QLatin1String("64"))
            return QJsonValue(varbind.value);
        if (type == QLatin1String("64x"))
            return addressValue(hexOctets(varbind.value));
        break;
    }
    return std::nullopt;
}

// The first place that is not as expected.
struct Complaint
{
    int line = 0;
    QString problem;

    bool fail(int at, const QString &what)
    {
        line = at;
        problem = what;
        return false;
    }
};

// Reads the lines of snmpwalk output or of a .snmprec file into varbinds.
class WalkReader : public Complaint
{
public:
    QList<Varbind> varbinds;
    bool recording = false; // .snmprec, told from the first line

    bool read(const QStringList &lines);

private:
    // What the last varbind's value may run on into.
    enum class Open { Nothing, QuotedText, PlainText, HexOctets };
    Open open = Open::Nothing;
    int heldBlankLines = 0; // inside a text, or after its end

    QString expected() const;
    bool readWalkLine(int number, const QString &line);
    bool readRecordLine(int number, const QString &line);
    bool startVarbind(int number, const QString &line);
};

bool WalkReader::read(const QStringList &lines)
{
    static const QRegularExpression record(QStringLiteral(R"(^\.?\d+(?:\.\d+)*\|)"));
    const auto first = std::find_if(lines.cbegin(), lines.cend(), [](const QString &line) {
        return !line.trimmed().isEmpty();
    });
    recording = first != lines.cend() && record.match(*first).hasMatch();
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (!(recording ? readRecordLine(int(i + 1), lines.at(i)) : readWalkLine(int(i + 1), lines.at(i))))
            return false;
    }
    if (open == Open::QuotedText)
        return fail(varbinds.constLast().line, QStringLiteral("a STRING without its closing quote, expected "
                                                              "the quote before the end of the file"));
    return !varbinds.isEmpty() || fail(int(lines.size() + 1), QStringLiteral("end of file, expected ") + expected());
}

QString WalkReader::expected() const
{
    if (varbinds.isEmpty())
        return QStringLiteral("OID = TYPE: VALUE as snmpwalk prints it, or OID|TAG|VALUE as in a .snmprec file");
    return recording ? QStringLiteral("OID|TAG|VALUE as in a .snmprec file")
                     : QStringLiteral("OID = TYPE: VALUE as snmpwalk prints it");
}

bool WalkReader::readWalkLine(int number, const QString &line)
{
    static const QRegularExpression hexLine(QStringLiteral("^([0-9A-Fa-f]{2} ?)+$"));
    if (open == Open::QuotedText) {
        varbinds.last().value += QLatin1Char('\n') + line;
        if (closingQuote(line, 0) != -1)
            open = Open::Nothing;
        return true;
    }
    if (startVarbind(number, line))
        return true;
    if (line.trimmed().isEmpty()) {
        heldBlankLines += open == Open::PlainText;
        return true;
    }
    if (line == QLatin1String("End of MIB")) { // how an SNMPv1 walk ends
        open = Open::Nothing;
        return true;
    }
    if (open == Open::PlainText) {
        varbinds.last().value += QString(heldBlankLines + 1, QLatin1Char('\n')) + line;
        heldBlankLines = 0;
        return true;
    }
    if (open == Open::HexOctets && hexLine.match(line).hasMatch()) {
        varbinds.last().value += QLatin1Char(' ') + line;
        return true;
    }
    return fail(number, QStringLiteral("expected ") + expected());
}

bool WalkReader::startVarbind(int number, const QString &line)
{
    // TYPE: VALUE, "" for an empty text, or "No Such Object ..." and the like;
    // a MIB module that disagrees with the device's type prefixes its complaint.
    static const QRegularExpression varbindLine(QStringLiteral(
        R"(^(.+?) = (?:Wrong Type \(should be [^)]*\): )?(?:([A-Za-z][\w -]*): ?(.*)|("")|No .*)$)"));
    const QRegularExpressionMatch match = varbindLine.match(line);
    Varbind varbind;
    if (!match.hasMatch() || !locate(match.captured(1), varbind))
        return false;
    open = Open::Nothing;
    heldBlankLines = 0;
    if (!match.hasCaptured(2) && !match.hasCaptured(4))
        return true; // no value: nothing to take
    varbind.line = number;
    varbind.type = match.hasCaptured(4) ? QStringLiteral("STRING") : match.captured(2);
    varbind.value = match.hasCaptured(4) ? match.captured(4) : match.captured(3);
    if (varbind.type == QLatin1String("Hex-STRING"))
        open = Open::HexOctets;
    else if (varbind.type == QLatin1String("STRING") && !isQuoted(varbind.value))
        open = varbind.value.startsWith(QLatin1Char('"')) && closingQuote(varbind.value, 1) == -1
                   ? Open::QuotedText
                   : Open::PlainText;
    varbinds.append(varbind);
    return true;
}

bool WalkReader::readRecordLine(int number, const QString &line)
{
    static const QRegularExpression recordLine(QStringLiteral(R"(^\.?(\d+(?:\.\d+)*)\|(\d+x?)\|(.*)$)"));
    if (line.trimmed().isEmpty())
        return true;
    const QRegularExpressionMatch match = recordLine.match(line);
    if (!match.hasMatch())
        return fail(number, QStringLiteral("expected ") + expected());
    Varbind varbind;
    varbind.line = number;
    locateNumeric(match.captured(1), varbind);
    varbind.type = match.captured(2);
    varbind.value = match.captured(3);
    varbinds.append(varbind);
    return true;
}

// The profile a walk describes, over a base profile that gives what the walk lacks.
class ProfileBuilder : public Complaint
{
public:
    QStringList filledIn;

    bool take(const QList<Varbind> &varbinds, bool recording, int lineCount);
    // Why the rows taken cannot fit a profile file, before any is built; empty when they may.
    QString tooManyRows(const QJsonObject &base) const;
    QJsonObject build(const QJsonObject &base);
    // The line and object a place of the profile came from.
    QString origin(const QString &place) const;

private:
    struct Cell
    {
        QJsonValue value;
        int line = 0;
    };
    QHash<QString, Cell> cells;              // by instance: deviceDesc.0, channelType.3
    QHash<QString, QSet<qint32>> rows;       // by profile array
    QHash<QString, qint64> counts;           // likewise, the row count the walk states
    QHash<QString, std::pair<int, QString>> origins; // by profile place: line, instance

    QJsonArray buildRows(const QString &table, const char *tableName, const QJsonArray &baseRows);
    void fill(QJsonObject &target, const WalkObject &object, const QString &instance, const QString &place);
};

// deviceType.0: found STRING: "Camera", expected an INTEGER
QString wrongType(const Varbind &varbind, bool recording)
{
    QString value = varbind.value.section(QLatin1Char('\n'), 0, 0);
    if (value.size() > 40)
        value = value.left(40) + QStringLiteral("...");
    const QString found = varbind.type + (recording ? QStringLiteral("|") : QStringLiteral(": ")) + value;
    const char *expected = (recording ? recordTags : walkTypes)[int(varbind.object->syntax)];
    return QStringLiteral("%1: found %2, expected %3").arg(varbind.instance, found, QLatin1String(expected));
}

bool ProfileBuilder::take(const QList<Varbind> &varbinds, bool recording, int lineCount)
{
    bool vivoe = false;
    for (const Varbind &varbind : varbinds) {
        vivoe = vivoe || varbind.vivoe;
        if (!varbind.object)
            continue;
        const WalkObject &object = *varbind.object;
        const std::optional<QJsonValue> value = profileValue(varbind);
        if (!value)
            return fail(varbind.line, wrongType(varbind, recording));
        if (isColumn(object)) {
            if (varbind.row < 1 || varbind.row > std::numeric_limits<qint32>::max())
                return fail(varbind.line, varbind.instance + QStringLiteral(": expected a row index from 1 to "
                                                                           "2147483647"));
            rows[QLatin1String(object.table)].insert(qint32(varbind.row));
        } else if (!object.key) {
            counts.insert(QLatin1String(object.table), qint64(value->toDouble()));
        }
        cells.insert(varbind.instance, {*value, varbind.line});
    }
    return vivoe || fail(lineCount + 1, QStringLiteral("end of file without an object below %1, expected a walk "
                                                       "of a VIVOE device")
                                            .arg(QLatin1String(vivoeRoot)));
}

// The least text a row adds to the profile: every member a row built on the
// base's has, with the shortest value.
qsizetype leastRowSize(const QJsonArray &baseRows)
{
    QJsonObject row = baseRows.isEmpty() ? QJsonObject() : baseRows.first().toObject();
    for (auto member = row.begin(); member != row.end(); ++member)
        *member = 0;
    return QJsonDocument(QJsonArray{row}).toJson(QJsonDocument::Indented).size() - 4; // "[\n", "]\n"
}

QString ProfileBuilder::tooManyRows(const QJsonObject &base) const
{
    qsizetype least = 0;
    QStringList tables;
    for (const auto &[table, tableName] : walkTables) {
        const qsizetype count = rows.value(QLatin1String(table)).size();
        least += count * leastRowSize(base.value(QLatin1String(table)).toArray());
        tables << QStringLiteral("%1 rows of %2").arg(count).arg(QLatin1String(tableName));
    }
    if (least <= maximumDeviceFileSize)
        return QString();
    return tables.join(QLatin1String(" and ")) + QStringLiteral(": the profile would be larger than %1 MiB")
                                                     .arg(maximumDeviceFileSize >> 20);
}

QJsonObject ProfileBuilder::build(const QJsonObject &base)
{
    QJsonObject profile = base;
    for (const WalkObject &object : walkObjects) {
        if (!object.table)
            fill(profile, object, QLatin1String(object.name) + QStringLiteral(".0"), QLatin1String(object.key));
    }
    for (const auto &[table, tableName] : walkTables) {
        const QString key = QLatin1String(table);
        profile.insert(key, buildRows(key, tableName, base.value(key).toArray()));
    }
    // A walked camera sends live pictures, whatever the base profile's channels do.
    QJsonArray channels = profile.value(QStringLiteral("channels")).toArray();
    for (QJsonValueRef channel : channels) {
        QJsonObject row = channel.toObject();
        row.remove(QStringLiteral("source"));
        channel = row;
    }
    profile.insert(QStringLiteral("channels"), channels);
    return profile;
}

QJsonObject baseRow(const QJsonArray &rows, qint32 index)
{
    for (const QJsonValue &row : rows) {
        if (row.toObject().value(QStringLiteral("index")).toInt() == index)
            return row.toObject();
    }
    return rows.isEmpty() ? QJsonObject() : rows.first().toObject();
}

QJsonArray ProfileBuilder::buildRows(const QString &table, const char *tableName, const QJsonArray &baseRows)
{
    QList<qint32> indexes = rows.value(table).values();
    std::sort(indexes.begin(), indexes.end());
    // No rows and no count of none: the walk stopped before the table.
    if (indexes.isEmpty() && counts.value(table, -1) != 0) {
        filledIn << QLatin1String(tableName);
        return baseRows;
    }
    QJsonArray built;
    for (qint32 index : std::as_const(indexes)) {
        QJsonObject row = baseRow(baseRows, index);
        row.insert(QStringLiteral("index"), index);
        for (const WalkObject &object : walkObjects) {
            if (isColumn(object) && table == QLatin1String(object.table))
                fill(row, object, QStringLiteral("%1.%2").arg(QLatin1String(object.name)).arg(index),
                     QStringLiteral("%1[%2].%3").arg(table).arg(built.size()).arg(QLatin1String(object.key)));
        }
        built.append(row);
    }
    return built;
}

void ProfileBuilder::fill(QJsonObject &target, const WalkObject &object, const QString &instance,
                          const QString &place)
{
    const Cell cell = cells.value(instance);
    if (cell.line == 0)
        filledIn << instance;
    else
        target.insert(QLatin1String(object.key), cell.value);
    origins.insert(place, {cell.line, instance});
}

QString ProfileBuilder::origin(const QString &place) const
{
    // Rows of a table the walk has none of leave no places behind.
    const std::pair<int, QString> found = origins.value(place, {0, place});
    if (found.first == 0)
        return found.second + QStringLiteral(" (not in the walk)");
    return QStringLiteral("line %1: %2").arg(QString::number(found.first), found.second);
}

std::optional<QStringList> readLines(const QString &path, QString &error)
{
    QString reason;
    const std::optional<QByteArray> content = readDeviceFile(path, reason);
    if (!content) {
        error = QStringLiteral("Cannot read walk \"%1\": %2").arg(path, reason);
        return std::nullopt;
    }
    // snmpwalk prints a text's octets as they are, and the device's texts are Latin-1.
    QStringList lines = QString::fromLatin1(*content).split(QLatin1Char('\n'));
    if (lines.constLast().isEmpty())
        lines.removeLast();
    for (QString &line : lines) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
    }
    return lines;
}

} // namespace

std::optional<WalkImport> profileFromWalk(const QString &path, const DeviceProfile &base, QString &error)
{
    const std::optional<QStringList> lines = readLines(path, error);
    if (!lines)
        return std::nullopt;
    WalkReader reader;
    ProfileBuilder builder;
    const QJsonObject baseObject = profileObject(base);
    QString place;
    QString problem;
    if (!reader.read(*lines))
        problem = QStringLiteral("line %1: %2").arg(QString::number(reader.line), reader.problem);
    else if (!builder.take(reader.varbinds, reader.recording, int(lines->size())))
        problem = QStringLiteral("line %1: %2").arg(QString::number(builder.line), builder.problem);
    else
        problem = builder.tooManyRows(baseObject);
    if (problem.isEmpty()) {
        if (std::optional<DeviceProfile> profile = profileFromJson(builder.build(baseObject), place, problem)) {
            // Long texts in rows few enough: what --profile would refuse all the same.
            if (profileJson(*profile).size() <= maximumDeviceFileSize)
                return WalkImport{*profile, builder.filledIn};
            problem = QStringLiteral("the profile would be larger than %1 MiB").arg(maximumDeviceFileSize >> 20);
        } else {
            problem = builder.origin(place) + QStringLiteral(": ") + problem;
        }
    }
    error = QStringLiteral("Invalid walk \"%1\": %2").arg(path, problem);
    return std::nullopt;
}
