// A shutdown signal must reach the event loop even when it arrives before the
// loop runs, and must be handled there, not inside the signal handler.
#include "app/process_control.h"

#include <QCoreApplication>
#include <QTest>
#include <QTimer>

#include <csignal>

class SignalHandoverTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void signalBeforeLoopEndsLoop_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::addColumn<int>("count");
        QTest::newRow("SIGTERM") << int(SIGTERM) << 1;
        QTest::newRow("SIGINT") << int(SIGINT) << 1;
        QTest::newRow("SIGHUP twice") << int(SIGHUP) << 2;
    }

    void signalBeforeLoopEndsLoop()
    {
        QFETCH(int, signalNumber);
        QFETCH(int, count);
        setupSignalHandlers();
        for (int i = 0; i < count; ++i) {
            QTest::ignoreMessage(QtDebugMsg, qPrintable(QStringLiteral("Received signal %1 - shutting down gracefully")
                                                            .arg(signalNumber)));
            raise(signalNumber);
        }
        // The watchdog dies with this row, so it can never end a later one.
        QTimer watchdog;
        connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(99); });
        watchdog.start(5000);
        QCOMPARE(QCoreApplication::exec(), 0);
    }
};

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    SignalHandoverTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_signal_handover.moc"
