// Entry point of the VIVOE MIB server: wires the run sequence together.
#include "agent/vivoe_mib_server.h"
#include "app/console.h"
#include "app/device_reboot.h"
#include "app/fleet_launcher.h"
#include "app/process_control.h"
#include "app/readiness.h"
#include "app/streaming.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    ensureStandardDescriptors();
    raiseDescriptorLimit();
    // The plain Unix event dispatcher costs each agent 16 KiB less than the
    // GLib one; nothing here needs a GLib main loop.
    qputenv("QT_NO_GLIB", "1");
    // Before anything opens a descriptor: with --fleet only the fleet's
    // devices come back from here, each as its own command line.
    launchFleet(argc, argv);
    QCoreApplication app(argc, argv);
    setApplicationIdentity();
    printBanner(app);
    const Settings settings = parseCommandLine(app);
    if (!useProfileOption(settings))
        return 1;
    if (!settings.walkPath.isEmpty())
        return printProfileFromWalk(settings) ? 0 : 1;
    if (settings.printProfile)
        return printProfile() ? 0 : 1;
    if (!listeningAllowed(settings))
        return 1;
    announceMode(settings);
    if (settings.daemon)
        daemonize();
    setupSignalHandlers();

    VivoeMibServer server;
    server.setWritableTables(settings.writableTables);
    server.setListenAddress(settings.address);
    server.setRefusalLog(settings.verbose);
    activeServer = &server;
    if (!server.start(settings.port)) {
        activeServer = nullptr;
        printStartFailure(settings);
        return 1;
    }
    std::unique_ptr<ChannelStreaming> streaming;
    if (settings.stream && !(streaming = ChannelStreaming::start(settings))) {
        server.stop();
        activeServer = nullptr;
        return 1;
    }
    const DeviceReboot reboot(settings, server, streaming);
    reportReadiness();
    if (settings.daemon)
        announceDaemonStarted(settings);
    else
        printRunningHints(settings.port, settings.address);

    const int result = app.exec();
    streaming.reset();
    if (activeServer) {
        activeServer->stop();
        activeServer = nullptr;
    }
    if (!settings.daemon)
        printStopped();
    return result;
}
