#pragma once

#include "iphone/mobiledevice.h"

#include <QDir>
#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>

// One operation for backup2tool::run: 0 backs the device up, 1 restores
// the device's backup folder to it.
struct backup2tool_op
{
    enum { Backup = 0, Restore = 1 };
    explicit backup2tool_op(int op);

    int op;
    // Options of the operation, kept for callers; run does not read them.
    bool option1 = true, option2 = true, option3 = true, option4 = true, option5 = true;
    QString text;
};

// Runs the phone maker's command-line backup tool for one device as a child
// process: a full backup of the device into root/UDID, or a restore of that
// folder to the device. run works synchronously on the calling (worker)
// thread, reports an estimated percentage through update about every
// 200 ms, and stops the tool when cancel is called from another thread.
class backup2tool : public QObject
{
    Q_OBJECT
public:
    backup2tool(AMDeviceRef deviceHandle, const QString &udid, const QDir &root,
                QObject *parent = nullptr);
    ~backup2tool() override;

    // Returns when the tool has ended with success, or has been stopped by
    // a cancel (then wasCancelled() is true; a cancel that came before run
    // started the tool keeps it from starting at all). Throws
    // std::runtime_error on failure: an unknown op, a tool that cannot be
    // started, a tool that crashed, or output holding "error" in any case.
    void run(const backup2tool_op &op);

    QString &statusText() { return m_statusText; }
    QString &detailText() { return m_detailText; }
    double progress() const { return m_progress; }
    bool wasCancelled() const { return m_cancelled; }
    QString udid() const { return m_udid; }
    QDir root() const { return m_root; }

    // The tool's command line for op (throws for an unknown op). The root is
    // given as an absolute path with the platform's native separators.
    static QStringList arguments(int op, const QString &udid, const QDir &root);
    // Where the tool is. On Windows: under the system drive's program files
    // (or the "CommonProgramFiles" folder); elsewhere the program named by
    // the environment variable PELICORDE_MOBILEBACKUP_TOOL, else
    // "AppleMobileBackup" beside this program.
    static QString programPath();
    // Seconds the operation is expected to take from the storage in use on
    // the device: 0.03 s per MiB, 60 when nothing is known.
    static qint64 estimateFromUsage(qint64 totalCapacity, qint64 available);
    // The same from the device's "com.apple.disk_usage" lockdown domain
    // (its own session); 60 when the device cannot be asked.
    static qint64 estimateSeconds(AMDeviceRef device);
    // The percentage shown after elapsed of estimate seconds: 0 to 99.
    static double progressFor(qint64 elapsed, qint64 estimate);
    // True when the tool's output means failure.
    static bool outputFailed(const QString &output);

    // Poll interval and the wait for the tool to start (tests shorten them).
    static int pollIntervalMs;
    static int startTimeoutMs;

signals:
    void update(double progress, QString status, QString text);

public slots:
    void cancel();

private:
    AMDeviceRef m_device;
    QString m_udid;
    QDir m_root;
    QString m_statusText;
    QString m_detailText;
    std::atomic<double> m_progress {0};
    std::atomic_bool m_cancel {false};
    std::atomic_bool m_cancelled {false};
};
