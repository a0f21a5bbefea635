// Announces one stream by SAP (RFC 2974) with its SDP (RFC 4566).
#include "stream/sap_announcer.h"

#include <QDebug>
#include <QHash>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QRandomGenerator>
#include <QTimer>
#include <QUdpSocket>
#include <QVariant>
#include <QtEndian>

#include <algorithm>
#include <limits>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gst/gst.h>
#include <gst/sdp/sdp.h>

namespace {

constexpr quint16 sapPort = 9875;
// Version 1, IPv4 origin, no authentication, not encrypted or compressed;
// the T bit marks a deletion.
constexpr char sapVersion1 = 0x20;
constexpr char sapDeletion = 0x04;
constexpr char payloadType[] = "application/sdp";

// SDP text fields end at a line break; a manager's description must not add lines.
QByteArray sdpText(const QString &text)
{
    QString clean = text;
    for (QChar &character : clean) {
        if (character.unicode() < 0x20 || character.unicode() == 0x7f)
            character = QLatin1Char(' ');
    }
    return clean.isEmpty() ? QByteArray(" ") : clean.toUtf8();
}

// The address the kernel sends to the group from when no --address binds one.
QString routeSourceFor(const QString &group)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(9);
    to.sin_addr.s_addr = htonl(QHostAddress(group).toIPv4Address());
    sockaddr_in from = {};
    socklen_t size = sizeof from;
    const bool known = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0
                       && getsockname(fd, reinterpret_cast<sockaddr *>(&from), &size) == 0;
    if (fd >= 0)
        close(fd);
    // A route without a source address of its own leaves it to each packet.
    return known && from.sin_addr.s_addr != INADDR_ANY ? QHostAddress(ntohl(from.sin_addr.s_addr)).toString() : QString();
}

// A deletion names the session by its origin line alone.
QByteArray originLine(const QByteArray &sdp)
{
    const qsizetype start = sdp.indexOf("\no=") + 1;
    return sdp.mid(start, sdp.indexOf('\n', start) + 1 - start);
}

// The session of a channel: random per process, so that no other agent of the
// host, nor this one before a restart, names the same o= line (a deletion
// names its session by it). Below 2^62, so that signed parsers take it too.
quint64 sessionIdOf(qint32 index)
{
    static const quint64 base = QRandomGenerator::system()->generate64() >> 2;
    return (base + quint64(quint32(index))) & ((quint64(1) << 62) - 1);
}

// Each new SDP of a session, a higher version.
quint64 nextVersion(qint32 index)
{
    static QHash<qint32, quint64> versions;
    return ++versions[index];
}

} // namespace

QByteArray streamSdp(const StreamSpec &spec, const StreamSettings &settings, const QString &payloaderCaps,
                     quint64 sessionId, quint64 version)
{
    GstSDPMessage *message = nullptr;
    gst_sdp_message_new(&message);
    gst_sdp_message_set_version(message, "0");
    gst_sdp_message_set_origin(message, "-", QByteArray::number(sessionId).constData(),
                               QByteArray::number(version).constData(), "IN", "IP4",
                               settings.originAddress.toLatin1().constData());
    gst_sdp_message_set_session_name(message, sdpText(spec.description).constData());
    gst_sdp_message_set_information(message, sdpText(settings.deviceDescription).constData());
    gst_sdp_message_set_connection(message, "IN", "IP4", spec.group.toLatin1().constData(), guint(settings.ttl), 0);
    gst_sdp_message_add_time(message, "0", "0", nullptr);

    GstSDPMedia *media = nullptr;
    gst_sdp_media_new(&media);
    gst_sdp_media_set_media(media, "video");
    gst_sdp_media_set_port_info(media, guint(spec.port), 1);
    gst_sdp_media_set_proto(media, "RTP/AVP");
    GstCaps *caps = gst_caps_from_string(payloaderCaps.toUtf8().constData());
    // The RAW payloader calls every RGB stream SMPTE240M; the row knows better.
    if (caps && !gst_caps_is_empty(caps) && gst_structure_has_field(gst_caps_get_structure(caps, 0), "colorimetry"))
        gst_caps_set_simple(caps, "colorimetry", G_TYPE_STRING, spec.sdpColorimetry.toLatin1().constData(), nullptr);
    if (caps && !gst_caps_is_empty(caps))
        gst_sdp_media_set_media_from_caps(caps, media);
    if (caps)
        gst_caps_unref(caps);
    // Older payloaders do not put the frame rate in their caps.
    if (!gst_sdp_media_get_attribute_val(media, "framerate"))
        gst_sdp_media_add_attribute(media, "framerate", QByteArray::number(spec.frameRate).constData());
    // RFC 4570: receivers join the group for this sender alone.
    const QString source = settings.sourceAddress.isEmpty() ? routeSourceFor(spec.group) : settings.sourceAddress;
    if (!source.isEmpty())
        gst_sdp_media_add_attribute(media, "source-filter",
                                    QStringLiteral(" incl IN IP4 %1 %2").arg(spec.group, source).toLatin1().constData());
    // What the stream takes, in kbit/s: the encoder's target, or the pictures as they are.
    const qint64 bitsPerSecond = spec.encoding == QLatin1String("H264") ? spec.bitRate : rawBitRate(spec);
    gst_sdp_media_add_bandwidth(media, "AS", guint((bitsPerSecond + 999) / 1000));
    gst_sdp_message_add_media(message, media);
    gst_sdp_media_free(media);

    gchar *text = gst_sdp_message_as_text(message);
    const QByteArray sdp(text);
    g_free(text);
    gst_sdp_message_free(message);
    return sdp;
}

SapAnnouncer::SapAnnouncer(const StreamSpec &spec, const StreamSettings &settings, QObject *parent)
    : QObject(parent), spec(spec), settings(settings), socket(new QUdpSocket(this)), repeat(new QTimer(this))
{
    const QHostAddress source(settings.sourceAddress);
    socket->bind(settings.sourceAddress.isEmpty() ? QHostAddress(QHostAddress::AnyIPv4) : source, 0);
    socket->setSocketOption(QAbstractSocket::MulticastTtlOption, settings.ttl);
    socket->setSocketOption(QAbstractSocket::TypeOfServiceOption, settings.dscp << 2);
    if (!settings.interfaceName.isEmpty())
        socket->setMulticastInterface(QNetworkInterface::interfaceFromName(settings.interfaceName));
    // Beyond what a timer holds (24.8 days), the longest it holds.
    repeat->setInterval(int(std::min<qint64>(qint64(spec.announceInterval) * 1000, std::numeric_limits<int>::max())));
    connect(repeat, &QTimer::timeout, this, [this] { send(false); });
}

SapAnnouncer::~SapAnnouncer()
{
    if (!sdp.isEmpty())
        send(true);
}

void SapAnnouncer::announce(const QString &payloaderCaps)
{
    const QByteArray announced = streamSdp(spec, settings, payloaderCaps, sessionIdOf(spec.index),
                                           nextVersion(spec.index));
    // The hash tells listeners an announcement changed; a new SDP never keeps the old one.
    quint16 hash = qChecksum(QByteArrayView(announced));
    if (hash == 0 || (hash == messageHash && announced != sdp))
        hash = quint16(messageHash + 1) ? quint16(messageHash + 1) : 1;
    messageHash = hash;
    sdp = announced;
    send(false);
    repeat->start();
}

void SapAnnouncer::send(bool deletion)
{
    QByteArray packet(8, '\0');
    packet[0] = char(sapVersion1 | (deletion ? sapDeletion : 0));
    qToBigEndian(messageHash, packet.data() + 2);
    qToBigEndian(QHostAddress(settings.originAddress).toIPv4Address(), packet.data() + 4);
    packet.append(payloadType, sizeof payloadType); // with its terminating zero
    packet.append(deletion ? originLine(sdp) : sdp);
    // Said once: a network without a multicast route refuses every one.
    if (socket->writeDatagram(packet, QHostAddress(sapAddressFor(spec.group)), sapPort) < 0 && !sendFailed) {
        sendFailed = true;
        qWarning().noquote() << QStringLiteral("channel %1 announcements not sent: %2")
                                    .arg(QString::number(spec.index), socket->errorString());
    }
}
