#include "iphone/backup2tool.h"

#include "iphone/cftype.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QProcess>
#include <QtDebug>

#include <stdexcept>

#ifdef Q_OS_UNIX
#include <csignal>
#include <unistd.h>
#endif

int backup2tool::pollIntervalMs = 200;
int backup2tool::startTimeoutMs = 60000;

backup2tool_op::backup2tool_op(int op)
    : op(op)
{ }

backup2tool::backup2tool(AMDeviceRef deviceHandle, const QString &udid, const QDir &root,
                         QObject *parent)
    : QObject(parent)
    , m_device(deviceHandle)
    , m_udid(udid)
    , m_root(root)
{ }

backup2tool::~backup2tool() = default;

void backup2tool::cancel()
{
    m_cancel = true;
}

QStringList backup2tool::arguments(int op, const QString &udid, const QDir &root)
{
    const QString rootPath = QDir::toNativeSeparators(root.absolutePath());
    switch (op) {
    case backup2tool_op::Backup:
        return {"-u", udid, "--backup", "--target", udid, "--root", rootPath};
    case backup2tool_op::Restore:
        return {"-u", udid, "--restore", "--target", udid, "--root", rootPath, "--source", udid};
    default:
        throw std::runtime_error("unknown backup2tool_op.");
    }
}

QString backup2tool::programPath()
{
#ifdef Q_OS_WIN
    QDir programFiles(QDir::rootPath() + QStringLiteral("Program Files (x86)"));
    if (!programFiles.exists())
        programFiles.setPath(QDir::rootPath() + QStringLiteral("Program Files"));
    QString path = programFiles.absoluteFilePath(
            QStringLiteral("Common Files/Apple/Mobile Device Support/AppleMobileBackup.exe"));
    if (!QFileInfo::exists(path)) {
        const QString common = qEnvironmentVariable("CommonProgramFiles");
        if (!common.isEmpty() && QDir(common).exists())
            path = QDir(common).absoluteFilePath(
                    QStringLiteral("Apple/Mobile Device Support/AppleMobileBackup.exe"));
    }
    return path;
#else
    const QString configured = qEnvironmentVariable("PELICORDE_MOBILEBACKUP_TOOL");
    if (!configured.isEmpty())
        return configured;
    return QDir(QCoreApplication::applicationDirPath()).absoluteFilePath("AppleMobileBackup");
#endif
}

qint64 backup2tool::estimateFromUsage(qint64 totalCapacity, qint64 available)
{
    // Wrapping subtraction: a device that lies must not overflow.
    const qint64 used = qint64(quint64(totalCapacity) - quint64(available));
    const qint64 mib = used / 1024 / 1024;
    if (mib > 0)
        return qint64(double(mib) * 0.03);
    return 60;
}

qint64 backup2tool::estimateSeconds(AMDeviceRef device)
{
    if (!device)
        return 60;
    try {
        const QList<CFType> values = mobiledevice_copy_value(
                device, QStringList {QString()}, QStringLiteral("com.apple.disk_usage"));
        if (values.isEmpty() || values.first().isEmpty())
            return 60;
        const CFType &usage = values.first();
        return estimateFromUsage(usage.value(QStringLiteral("TotalDataCapacity")).toInt64(0),
                                 usage.value(QStringLiteral("AmountDataAvailable")).toInt64(0));
    } catch (const std::exception &e) {
        qDebug("backup2tool: no disk usage (%s); estimating 60 s", e.what());
        return 60;
    }
}

double backup2tool::progressFor(qint64 elapsed, qint64 estimate)
{
    // An estimate of 0 s (a few MiB in use) is already over.
    if (estimate <= 0)
        return 99;
    const double p = double(elapsed) / double(estimate) * 99;
    return p < 0 ? 0 : (p > 99 ? 99 : p);
}

bool backup2tool::outputFailed(const QString &output)
{
    return output.contains(QLatin1String("error"), Qt::CaseInsensitive);
}

namespace {

// Stops the tool and everything it started, and reaps it: nothing is left
// running or unreaped behind a cancelled or failed run.
void stopProcess(QProcess &process)
{
    if (process.state() == QProcess::NotRunning)
        return;
#ifdef Q_OS_UNIX
    const qint64 pid = process.processId();
    if (pid > 0)
        ::kill(-pid_t(pid), SIGKILL); // its process group
#endif
    process.kill();
    if (!process.waitForFinished(10000))
        qWarning("backup2tool: the tool did not end after being killed");
}

QString outputText(QProcess &process)
{
    QByteArray bytes = process.readAllStandardError() + '\n' + process.readAllStandardOutput();
    const int nul = bytes.indexOf('\0');
    if (nul >= 0)
        bytes.truncate(nul);
    return QString::fromLatin1(bytes);
}

} // namespace

void backup2tool::run(const backup2tool_op &op)
{
    // A cancel that arrived before this call is kept: nobody would press it
    // again to stop the tool.
    m_progress = 0;
    m_cancelled = false;
    const QStringList args = arguments(op.op, m_udid, m_root);
    const qint64 estimate = estimateSeconds(m_device);
    if (m_cancel) {
        m_cancelled = true;
        return;
    }

    const QString program = programPath();
    qDebug("backup2tool: %s %s (estimate %lld s)", qUtf8Printable(program),
           qUtf8Printable(args.join(QLatin1Char(' '))), static_cast<long long>(estimate));
    QProcess process;
    process.setProgram(program);
    process.setArguments(args);
    process.setStandardInputFile(QProcess::nullDevice());
#ifdef Q_OS_UNIX
    // A process group of its own, so that a cancel reaches whatever the tool
    // starts in turn.
    process.setChildProcessModifier([] { ::setpgid(0, 0); });
#endif
    process.start(QIODevice::ReadOnly);
    if (!process.waitForStarted(startTimeoutMs)) {
        qDebug("backup2tool: not started: %s", qUtf8Printable(process.errorString()));
        stopProcess(process);
        throw std::runtime_error("can not start AppleMobileBackup process.");
    }

    const qint64 start = QDateTime::currentSecsSinceEpoch();
    if (m_cancel) {
        stopProcess(process);
        m_cancelled = true;
        return;
    }
    for (;;) {
        process.waitForFinished(pollIntervalMs);
        if (process.state() == QProcess::NotRunning)
            break;
        const qint64 elapsed = QDateTime::currentSecsSinceEpoch() - start;
        m_progress = progressFor(elapsed, estimate);
        emit update(m_progress, QString(), QStringLiteral("%1 seconds passed").arg(elapsed));
        if (m_cancel) {
            stopProcess(process);
            // The tool may have ended on its own just before it was to be
            // stopped: then it has done its work (a restore is on the
            // phone), and that is the outcome, as for a tool that ended
            // before the check. Only a tool that was stopped was cancelled.
            if (process.state() == QProcess::NotRunning
                && process.exitStatus() == QProcess::NormalExit)
                break;
            m_cancelled = true;
            qDebug("backup2tool: cancelled");
            return;
        }
    }

    const QString output = outputText(process);
    qDebug("backup2tool: output: %s", qUtf8Printable(output));
    if (process.exitStatus() == QProcess::CrashExit)
        throw std::runtime_error(
                ("AppleMobileBackup process ended abnormally.\n" + output).toUtf8().toStdString());
    if (outputFailed(output))
        throw std::runtime_error(output.toUtf8().toStdString());
}
