#pragma once

#include "android/adbclient.h"

#include <QHash>
#include <QMutex>
#include <QThread>
#include <QWaitCondition>

#include <atomic>

// Follows Android phones as they come and go. After start, a loop on this
// thread (a thread of its own: the loop never ends while the program runs,
// and on Qt's global thread pool it would take a thread that Qt's painting
// waits for) starts the adb server once and then asks adb for the device
// listing at every pass, turning the differences into deviceConnected and
// deviceDisconnected (emitted in the loop's thread, so receivers in the GUI
// thread get them queued).
class AndroidMonitor : public QThread
{
    Q_OBJECT
public:
    explicit AndroidMonitor(QObject *parent = nullptr);
    // Stops the loop (an adb run in progress is killed, the pause between
    // passes cut short), joins the thread and then stops the adb server,
    // when this program started it (adbServerStartedHere).
    ~AndroidMonitor() override;

    // Starts the thread, which runs monitorLoop. Call once, after the
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

protected:
    void run() override;

private:
    // True once the destructor asks the loop to end; the adb runs of the
    // loop poll it and are killed when it turns true.
    bool stopping() const { return stopRequested.load(); }
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

    QMutex m_pauseMutex;
    QWaitCondition m_wake;
    std::atomic<int> m_pollInterval {3000};
    QString m_lastFailure;
};
