// The SNMP agent of the simulated camera: owns the Net-SNMP master agent,
// its configuration file and the event-loop hooks that drive it.
#pragma once

#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QVarLengthArray>

#include <optional>

class QSocketNotifier;
class QTimer;

class VivoeMibServer : public QObject
{
    Q_OBJECT

public:
    explicit VivoeMibServer(QObject *parent = nullptr);
    ~VivoeMibServer() override;

    // start() after stop() is a reboot: the engine comes back as after a
    // power cycle, its registrations made afresh from the device data.
    bool start(int port);
    void stop();

    // Stream control: table cells declared writable accept SET. Set before start.
    void setWritableTables(bool writable) { writableTables = writable; }
    // One IPv4 or IPv6 address to listen on; empty for all IPv4 addresses.
    void setListenAddress(const QString &address) { listenAddress = address; }
    // --verbose: a log line for each refused request. Set before start.
    void setRefusalLog(bool enabled) { refusalLog = enabled; }

private:
    void initializeMibData();
    void registerMibHandlers();
    void readRequest(int descriptor);
    void restListener(int descriptor);
    void runTimedWork();
    void followLibrary();
    void watchLibraryDescriptors(const QVarLengthArray<int, 4> &descriptors);
    void unwatchLibraryDescriptors();

    bool running;
    // Single shot, armed at the library's next deadline; idle when nothing is due.
    QTimer *libraryTimer;
    bool writableTables = false;
    QString listenAddress;
    bool refusalLog = false;
    // Wake-ups on request arrival, one per descriptor the library reads.
    QList<QSocketNotifier *> requestNotifiers;
    // Listening TCP sockets left unwatched for a while because a connection
    // could not be accepted, and the pause each takes at its next failure.
    QSet<int> restingListeners;
    QHash<int, int> listenerPauses;
    // Set by stop(): a start after it is a restart of the same engine.
    std::optional<unsigned long> bootsBeforeStop;
};
