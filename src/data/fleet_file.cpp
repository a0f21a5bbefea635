// Fleet files: the devices of a lab or a vehicle in one JSON file, each with
// its address, port, profile and options, a range of alike devices in one
// entry. Checked whole, as a profile is, before any device starts.
#include "data/fleet_file.h"

#include "data/device_profile.h"
#include "data/field_rules.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <array>
#include <cmath>
#include <tuple>
#include <vector>

namespace {

const QStringList fleetKeys = {
    QStringLiteral("address"), QStringLiteral("port"),   QStringLiteral("profile"),
    QStringLiteral("count"),   QStringLiteral("first"),  QStringLiteral("writableTables"),
    QStringLiteral("stream"),  QStringLiteral("channelMulticastAddresses"),
};

// The first place that is not as expected, as a profile's reader words it.
struct Problem
{
    QString place;
    QString problem;

    bool fail(const QString &at, const QString &expected, const QString &found = QString())
    {
        place = at;
        problem = (found.isEmpty() ? QString() : found + QStringLiteral(", ")) + QStringLiteral("expected ") + expected;
        return false;
    }
};

// The k-th address from base on; none past the end of the address space.
std::optional<QHostAddress> addressPlus(const QHostAddress &base, quint32 k)
{
    if (base.protocol() == QAbstractSocket::IPv4Protocol) {
        const quint64 sum = quint64(base.toIPv4Address()) + k;
        return sum > 0xffffffffu ? std::nullopt : std::optional(QHostAddress(quint32(sum)));
    }
    Q_IPV6ADDR bytes = base.toIPv6Address();
    quint64 carry = k;
    for (int i = 15; i >= 0 && carry; --i) {
        carry += bytes[i];
        bytes[i] = quint8(carry & 0xff);
        carry >>= 8;
    }
    if (carry)
        return std::nullopt;
    QHostAddress address(bytes);
    address.setScopeId(base.scopeId());
    return address;
}

// One entry of "devices": what every device of its range shares.
class Entry : public FleetEntry
{
public:
    bool read(Problem &p, const QStringList &deviceKeys)
    {
        for (auto it = object.begin(); it != object.end(); ++it) {
            if (!fleetKeys.contains(it.key()) && !deviceKeys.contains(it.key()))
                return p.fail(at + it.key(), QStringLiteral("one of ") + (fleetKeys + deviceKeys).join(QLatin1String(", ")),
                              QStringLiteral("unknown key"));
        }
        const QJsonValue addressValue = object.value(QLatin1String("address"));
        address = QHostAddress(addressValue.toString());
        if (!addressValue.isString() || address.isNull() || address.isMulticast() || address == QHostAddress::Broadcast)
            return p.fail(at + QStringLiteral("address"), QStringLiteral("a unicast IPv4 or IPv6 address"),
                          addressValue.isUndefined() ? QStringLiteral("missing") : QString());
        return integer(p, QStringLiteral("port"), 1, 65535, port) && integer(p, QStringLiteral("count"), 1, maximumFleetSize, count)
               && integer(p, QStringLiteral("first"), 0, 999999999, first)
               && boolean(p, QStringLiteral("writableTables"), writableTables)
               && boolean(p, QStringLiteral("stream"), stream);
    }

    // The device numbered n, the k-th of the range.
    static bool device(const FleetEntry &e, Problem &p, qint64 n, quint32 k, FleetDevice &device)
    {
        QJsonObject values = e.profile;
        for (auto it = e.object.begin(); it != e.object.end(); ++it) {
            if (fleetKeys.contains(it.key()))
                continue;
            const std::optional<QString> text = expandDeviceNumber(it.value().toString(), n);
            if (it.value().isString() && !text)
                return p.fail(e.at + it.key(), QStringLiteral("{n} or {n:0W} where a brace stands"));
            values.insert(it.key(), it.value().isString() ? QJsonValue(*text) : it.value());
        }
        if (e.object.contains(QLatin1String("channelMulticastAddresses")) && !groups(e, p, k, values))
            return false;
        QString place, problem;
        const std::optional<DeviceProfile> made = profileFromJson(values, place, problem);
        if (!made) {
            // The device of a range that fails is named by its number.
            p.place = (e.count > 1 ? QStringLiteral("%1 (n = %2).").arg(e.at.chopped(1)).arg(n) : e.at) + place;
            p.problem = problem;
            return false;
        }
        device.address = addressPlus(e.address, k)->toString();
        device.port = e.port;
        device.writableTables = e.writableTables;
        device.stream = e.stream;
        device.profile = *made;
        return true;
    }

private:
    bool integer(Problem &p, const QString &key, int low, int high, int &target)
    {
        const QJsonValue value = object.value(key);
        if (value.isUndefined())
            return true;
        const double number = value.toDouble();
        if (!value.isDouble() || std::floor(number) != number || number < low || number > high)
            return p.fail(at + key, QStringLiteral("an integer from %1 to %2").arg(low).arg(high));
        target = int(number);
        return true;
    }

    bool boolean(Problem &p, const QString &key, bool &target)
    {
        const QJsonValue value = object.value(key);
        if (!value.isUndefined() && !value.isBool())
            return p.fail(at + key, QStringLiteral("true or false"));
        target = value.toBool();
        return true;
    }

    // One group per channel of the profile, in its order, each k further on;
    // 0.0.0.0 (none) stays none.
    static bool groups(const FleetEntry &e, Problem &p, quint32 k, QJsonObject &values)
    {
        const QString &at = e.at;
        const QJsonObject &object = e.object;
        const QString key = QStringLiteral("channelMulticastAddresses");
        const QJsonArray given = object.value(key).toArray();
        QJsonArray rows = values.value(QLatin1String("channels")).toArray();
        if (!object.value(key).isArray() || given.size() != rows.size())
            return p.fail(at + key, QStringLiteral("an array of %1 addresses, one per channel of the profile").arg(rows.size()));
        for (qsizetype c = 0; c < rows.size(); ++c) {
            const std::optional<quint32> group = dottedQuad(given.at(c).toString());
            const quint64 moved = group && *group ? quint64(*group) + k : 0;
            if (!group || !addressAllowed(FieldRule::MulticastAddress, quint32(moved)) || moved > 0xffffffffu)
                return p.fail(QStringLiteral("%1%2[%3]").arg(at, key).arg(c),
                              QStringLiteral("a multicast address (224.0.0.0/4) or 0.0.0.0 for every device of the range"));
            QJsonObject row = rows.at(c).toObject();
            row.insert(QLatin1String("multicastAddress"), QHostAddress(quint32(moved)).toString());
            rows.replace(c, row);
        }
        values.insert(QLatin1String("channels"), rows);
        return true;
    }
};

class FleetReader
{
public:
    explicit FleetReader(const QString &path) : directory(QFileInfo(path).absolutePath()) {}

    Problem p;

    bool read(const QJsonObject &top, Fleet &fleet)
    {
        if (top.size() != 1 || !top.value(QLatin1String("devices")).isArray()
            || top.value(QLatin1String("devices")).toArray().isEmpty())
            return p.fail(QStringLiteral("devices"), QStringLiteral("a non-empty array of devices, the only member"));
        const QJsonArray entries = top.value(QLatin1String("devices")).toArray();
        qint64 total = 0;
        for (qsizetype i = 0; i < entries.size(); ++i) {
            Entry entry;
            entry.at = QStringLiteral("devices[%1]").arg(i);
            if (!entries.at(i).isObject())
                return p.fail(entry.at, QStringLiteral("an object"));
            entry.object = entries.at(i).toObject();
            entry.at += QLatin1Char('.');
            if (!entry.read(p, deviceKeys()) || !profileOf(entry))
                return false;
            if ((total += entry.count) > maximumFleetSize)
                return p.fail(entry.at + QStringLiteral("count"), QStringLiteral("at most %1 devices in all").arg(maximumFleetSize));
            fleet.entries.append(entry);
        }
        // Sized at once: it must not grow between what each check discards.
        endpoints.reserve(size_t(total));
        for (qsizetype i = 0; i < fleet.entries.size(); ++i) {
            if (!check(fleet.entries.at(i), i))
                return false;
        }
        return usedOnce(fleet);
    }

private:
    QString directory;
    QHash<QString, QJsonObject> profiles; // read once, whatever the number of devices naming one
    // Every device's address and port, and where it stands: one block, not
    // a thousand small ones left among the checks' garbage, which the memory
    // every device shares with the parent would carry.
    struct Endpoint
    {
        std::array<quint8, 16> address;
        size_t zone; // of a link-local IPv6 address, hashed
        int port;
        qsizetype entry;
        int k;

        auto key() const { return std::tie(address, zone, port); }
        auto order() const { return std::tie(address, zone, port, entry, k); }
    };
    std::vector<Endpoint> endpoints;

    static QStringList deviceKeys()
    {
        static const QStringList keys = [] {
            QStringList names = profileObject(builtInProfile()).keys();
            names.removeAll(QStringLiteral("videoFormats"));
            names.removeAll(QStringLiteral("channels"));
            return names;
        }();
        return keys;
    }

    bool profileOf(Entry &entry)
    {
        const QJsonValue given = entry.object.value(QLatin1String("profile"));
        if (given.isUndefined()) {
            entry.profile = profileObject(builtInProfile());
            return true;
        }
        if (!given.isString() || given.toString().isEmpty())
            return p.fail(entry.at + QStringLiteral("profile"), QStringLiteral("the path of a profile"));
        const QString path = QDir(directory).filePath(given.toString());
        if (!profiles.contains(path)) {
            QString error;
            const std::optional<DeviceProfile> profile = loadProfile(path, error);
            if (!profile) {
                p.place = entry.at + QStringLiteral("profile");
                p.problem = error;
                return false;
            }
            profiles.insert(path, profileObject(*profile));
        }
        entry.profile = profiles.value(path);
        return true;
    }

    // Every device of the range made once, and dropped: the devices make
    // their own when they start.
    bool check(const FleetEntry &entry, qsizetype i)
    {
        for (int k = 0; k < entry.count; ++k) {
            const std::optional<QHostAddress> address = addressPlus(entry.address, quint32(k));
            if (!address || address->isMulticast() || *address == QHostAddress::Broadcast)
                return p.fail(entry.at + QStringLiteral("count"),
                              QStringLiteral("a range that stays within unicast addresses"));
            FleetDevice device;
            if (!Entry::device(entry, p, qint64(entry.first) + k, quint32(k), device))
                return false;
            Endpoint endpoint{{}, qHash(address->scopeId()), entry.port, i, k};
            const Q_IPV6ADDR bytes = address->toIPv6Address();
            std::copy(std::begin(bytes.c), std::end(bytes.c), endpoint.address.begin());
            endpoints.push_back(endpoint);
        }
        return true;
    }

    static QString placeOf(const FleetEntry &entry, int k)
    {
        return entry.count > 1 ? QStringLiteral("%1 (n = %2)").arg(entry.at.chopped(1)).arg(entry.first + k)
                               : entry.at.chopped(1);
    }

    // The first device in the file whose address and port an earlier one has.
    bool usedOnce(const Fleet &fleet)
    {
        std::sort(endpoints.begin(), endpoints.end(), [](const Endpoint &a, const Endpoint &b) { return a.order() < b.order(); });
        const Endpoint *twice = nullptr, *first = nullptr;
        for (size_t j = 1; j < endpoints.size(); ++j) {
            const Endpoint &e = endpoints[j];
            if (e.key() == endpoints[j - 1].key() && (!twice || std::tie(e.entry, e.k) < std::tie(twice->entry, twice->k))) {
                twice = &e;
                first = &endpoints[j - 1];
                while (first != endpoints.data() && (first - 1)->key() == e.key())
                    --first;
            }
        }
        if (!twice)
            return true;
        const FleetEntry &entry = fleet.entries.at(twice->entry);
        return p.fail(entry.at + QStringLiteral("address"), QStringLiteral("an address and port used once"),
                      QStringLiteral("%1 port %2 given twice, in %3 and %4")
                          .arg(addressPlus(entry.address, quint32(twice->k))->toString())
                          .arg(entry.port)
                          .arg(placeOf(fleet.entries.at(first->entry), first->k), placeOf(entry, twice->k)));
    }
};

} // namespace

std::optional<QString> expandDeviceNumber(const QString &text, qint64 n)
{
    QString result;
    qsizetype from = 0;
    for (qsizetype open = text.indexOf(QLatin1Char('{')); open >= 0; open = text.indexOf(QLatin1Char('{'), from)) {
        const qsizetype close = text.indexOf(QLatin1Char('}'), open);
        const QString inside = text.mid(open + 1, close - open - 1);
        int width = 0;
        bool widthOk = inside.size() == 4 && inside.startsWith(QLatin1String("n:0")) && inside.at(3).isDigit();
        if (widthOk)
            width = inside.at(3).digitValue();
        if (close < 0 || (inside != QLatin1String("n") && !widthOk))
            return std::nullopt;
        result += text.mid(from, open - from) + QStringLiteral("%1").arg(n, width, 10, QLatin1Char('0'));
        from = close + 1;
    }
    if (text.indexOf(QLatin1Char('}'), from) >= 0)
        return std::nullopt;
    return result + text.mid(from);
}

qsizetype Fleet::size() const
{
    qsizetype total = 0;
    for (const FleetEntry &entry : entries)
        total += entry.count;
    return total;
}

namespace {

// The entry of the k-th device, and k within it.
std::pair<const FleetEntry *, qsizetype> entryOf(const QList<FleetEntry> &entries, qsizetype k)
{
    for (const FleetEntry &entry : entries) {
        if (k < entry.count)
            return {&entry, k};
        k -= entry.count;
    }
    return {nullptr, 0};
}

} // namespace

QString Fleet::endpoint(qsizetype k) const
{
    const auto [entry, within] = entryOf(entries, k);
    return QStringLiteral("%1 port %2").arg(addressPlus(entry->address, quint32(within))->toString()).arg(entry->port);
}

FleetDevice Fleet::device(qsizetype k) const
{
    const auto [entry, within] = entryOf(entries, k);
    Problem checkedBefore;
    FleetDevice device;
    Entry::device(*entry, checkedBefore, qint64(entry->first) + within, quint32(within), device);
    return device;
}

std::optional<Fleet> loadFleet(const QString &path, QString &error)
{
    QString problem;
    const std::optional<QByteArray> content = readDeviceFile(path, problem);
    if (!content) {
        error = QStringLiteral("Cannot read fleet \"%1\": %2").arg(path, problem);
        return std::nullopt;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(*content, &parseError);
    FleetReader reader(path);
    Fleet fleet;
    if (document.isNull())
        reader.p.fail(lineAndColumn(*content, parseError.offset), QStringLiteral("JSON (%1)").arg(parseError.errorString()));
    else if (!document.isObject())
        reader.p.fail(QStringLiteral("the top level"), QStringLiteral("an object"));
    else if (reader.read(document.object(), fleet))
        return fleet;
    error = QStringLiteral("Invalid fleet \"%1\": %2: %3").arg(path, reader.p.place, reader.p.problem);
    return std::nullopt;
}
