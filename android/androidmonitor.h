#pragma once

#include "android/adbclient.h"

#include <QFuture>
#include <QThreadPool>
#include <QHash>
#include <QMutex>
#include <QThread>
#include <QWaitCondition>

#include <atomic>

// Follows Android phones as they come and go. After start, a loop on a
// thread of Qt's global thread pool starts the adb server once and then asks
// adb for the device listing at every pass, turning the differences into
// deviceConnected and deviceDisconnected (emitted in the loop's thread, so
// receivers in the GUI thread get them queued). The thread object itself is
// never started.
class AndroidMonitor : public QThread
{
    Q_OBJECT
public:
    explicit AndroidMonitor(QObject *parent = nullptr);
    // Stops the loop (waiting for the adb run in progress, not for the
    // pause between passes) and then the adb server, when this program
    // started it (adbServerStartedHere).
    ~AndroidMonitor() override;

    // Runs monitorLoop on Qt's global thread pool. Call once, after the
    // signals are connected.
    void start();
    void monitorLoop();

    // The pause between two passes, 3000 ms unless changed. Safe from any
    // thread; a pause in progress ends at once and the next one is the new
    // length.
    void setPollInterval(int ms);

    // The serials of the latest successful listing, whatever their state
    // (ready or not), sorted. Safe from any thread.
    QStringList seenSerials() const;

signals:
    // A serial appeared in the listing, or a listed phone became ready
    // ("unauthorized" until the user allows this computer, then "device").
    void deviceConnected(AdbDevice device);
    // A serial left the listing.
    void deviceDisconnected(QString serial);

private:
    void startServer();
    void pass();
    // Sleeps for ms unless a stop is requested first; false when stopping.
    bool pause(int ms);

    std::atomic<bool> stopRequested {false};
    // Serials reported as connected, each with whether it was reported ready.
    // Written by the loop only; every write holds m_serialsMutex, so that
    // other threads can read it through seenSerials.
    QHash<QString, bool> knownSerials;
    mutable QMutex m_serialsMutex;
    // The loop runs for the monitor's whole life on a thread of its own
    // pool: held in Qt's global pool it would take one of the few threads
    // (as few as the cores) that Qt's own drawing waits for, and two windows
    // on a two-core machine would leave painting waiting for ever.
    QThreadPool m_loopPool;
    QFuture<void> loopFuture;

    QMutex m_pauseMutex;
    QWaitCondition m_wake;
    std::atomic<int> m_pollInterval {3000};
    QString m_lastFailure;
};
